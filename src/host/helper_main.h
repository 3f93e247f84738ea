// The helper process: start-up from the command line, the hidden helper
// window, the announcement to the controller and the main loop.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/win32.h"

namespace kestra {

inline constexpr std::int32_t kLivenessPeriodMs = 10000;

// Exit codes of the process.
inline constexpr int kExitNothingTracked = 0;
inline constexpr int kExitClassNotRegistered = -1;
inline constexpr int kExitWindowNotCreated = -2;
inline constexpr int kExitNotAnnounced = -3;
inline constexpr int kExitControllerGone = -1000;

// The process entry: registers "KESTRAHELPER", creates the helper window,
// announces it to the controller named on the command line, starts tracking
// and runs the main loop. Returns the process exit code. The command line is
// read leniently, as readHandle reads (leading blanks, optional sign and
// "0x", either case, up to the first other character); when nothing reads,
// no controller is named and the announcement fails.
int helperMain(HINSTANCE instance, const char* commandLine);

// The window procedure of every window the process creates: the helper
// window, the capture host windows and the overlay windows.
LRESULT CALLBACK helperWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// The main loop: one message peek and one scheduler step per turn, with a
// liveness check of the controller window and of activeList about every ten
// seconds. After a round of turns that saw no change it waits for messages
// until the next due work (host/pacing.h). Returns the exit code.
int runMainLoop(HWND controller);

// Returns every process-wide state (channel, surfaces, tracking, scheduler,
// clock origin, recolouring colour) to its start values, as in a process that
// has just started.
void resetProcessState();

}  // namespace kestra
