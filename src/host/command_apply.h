// Applying the controller's commands to the tracked windows, and the handler
// the channel calls with every request.
#pragma once

#include <cstdint>
#include <string>

#include "channel/command_set.h"
#include "platform/win32.h"

namespace kestra {

// Everything a command does to the tracked-window table before its reply.
// Commands 1 and 2 track their window; the others act only on a window that
// is tracked already. A window whose dark and glass effects are both off is
// released and untracked.
void applyCommand(const Command& command);

// The handler installed as commandHandler at start-up: reads the command,
// applies it, and answers every command 1 to 11 with one empty reply as its
// last step; other numbers are not answered.
void handleCommand(HWND peer, std::int32_t command, std::string payload, std::int32_t requestId);

}  // namespace kestra
