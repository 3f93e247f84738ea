// libFuzzer target: frames into the real helper window procedure on a
// simulated desktop, as the channel fuzzer of tests/soak sends them. Build
// with clang and -DKESTRA_BUILD_FUZZ=ON; run
//   fuzz_channel -max_total_time=60
// The input is a list of frames separated by the two bytes FF FE; the first
// byte of each frame picks its receiver (the helper window mostly, else one
// of the helper's other windows) and its sender. After every frame:
// a frame that is exactly a well-formed request 1 to 11 from a peer is
// answered exactly once, to that peer; no frame is answered more than once.
// One scheduler step follows every input, so engines attach and tick.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "channel/command_set.h"
#include "channel/framing.h"
#include "host/command_apply.h"
#include "host/helper_main.h"
#include "host/tick_scheduler.h"
#include "platform/sim/desktop.h"
#include "platform/win32.h"
#include "surfaces/overlay_layer.h"
#include "tracking/tracked_window.h"

namespace {

using namespace kestra;

// The helper's start-up without its main loop: the class, the helper window,
// the command set and tracking, on a small desktop with a controller, another
// peer and a few windows to name.
struct Session {
    sim::Desktop desk{options()};
    sim::Controller controller{desk};
    sim::Controller peer{desk, "peer"};
    std::vector<HWND> targets;

    static sim::DesktopOptions options() {
        sim::DesktopOptions o;
        o.width = 160;
        o.height = 100;
        return o;
    }

    Session() {
        resetProcessState();
        sharedWindowProc = helperWindowProc;
        WNDCLASSEXA helperClass{};
        helperClass.cbSize = sizeof(WNDCLASSEXA);
        helperClass.lpfnWndProc = helperWindowProc;
        helperClass.hInstance = GetModuleHandleA(nullptr);
        helperClass.lpszClassName = kHelperClassName;
        if (RegisterClassExA(&helperClass) == 0) {
            __builtin_trap();
        }
        helperWindow = CreateWindowExA(WS_EX_CLIENTEDGE, kHelperClassName, nullptr, WS_OVERLAPPEDWINDOW, 0, 0,
                                       0, 0, nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
        commandHandler = handleCommand;
        initialiseTracking(GetModuleHandleA(nullptr));
        for (int i = 0; i < 3; ++i) {
            sim::WindowOptions w;
            w.rect = RECT{10 + 40 * i, 10 + 20 * i, 40 + 40 * i, 34 + 20 * i};
            w.activate = false;
            targets.push_back(desk.app("apps").createWindow(w));
        }
    }
};

bool isDecimal(std::string_view text, bool allowSign) {
    if (!text.empty() && allowSign && text[0] == '-') {
        text.remove_prefix(1);
    }
    if (text.empty() || (text.size() > 1 && text[0] == '0') || text.size() > 10) {
        return false;
    }
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
    }
    return true;
}

// The peer a frame names when it is exactly a well-formed request 1 to 11
// ("<sender>[.2.]REQ[.1.]<command>[.2.]<payload>[.2.]<id>", nothing escaped,
// canonical numbers), else null.
const sim::Controller* wellFormedSender(const Session& s, std::string_view frame) {
    if (frame.size() > kMaxFrameBytes || frame.find('\0') != std::string_view::npos || frame.size() < 16) {
        return nullptr;
    }
    const sim::Controller* sender = nullptr;
    for (const sim::Controller* peer : {&s.controller, &s.peer}) {
        if (frame.substr(0, 16) == formatHandle(peer->hwnd())) {
            sender = peer;
        }
    }
    const std::string_view head = "[.2.]REQ[.1.]";
    if (sender == nullptr || frame.substr(16, head.size()) != head) {
        return nullptr;
    }
    const std::string_view body = frame.substr(16 + head.size());
    if (body.find("[.1.]") != std::string_view::npos) {
        return nullptr;
    }
    const std::size_t first = body.find(kFieldSeparator);
    const std::size_t last = body.rfind(kFieldSeparator);
    if (first == std::string_view::npos || first == last ||
        body.substr(first + 5, last - first - 5).find(kFieldSeparator) != std::string_view::npos) {
        return nullptr;
    }
    const std::string_view command = body.substr(0, first);
    const std::string_view id = body.substr(last + 5);
    if (!isDecimal(command, false) || !isDecimal(id, true) || !isAnsweredCommand(readInteger(command)) ||
        std::to_string(readInteger(id)) != id) {
        return nullptr;
    }
    return sender;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Session* session = new Session();  // one process for the whole run, as the helper is
    Session& s = *session;
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    std::size_t at = 0;
    while (at <= input.size()) {
        std::size_t end = input.find("\xFF\xFE", at);
        if (end == std::string_view::npos) {
            end = input.size();
        }
        std::string_view frame = input.substr(at, end - at);
        at = end + 2;
        const std::uint8_t route = frame.empty() ? 0 : static_cast<std::uint8_t>(frame[0]);
        if (!frame.empty()) {
            frame.remove_prefix(1);
        }
        HWND to = helperWindow;
        const std::vector<HWND> own = s.desk.helperWindows();
        if ((route & 0x0F) == 0x0F && own.size() > 1) {
            to = own[(route >> 4) % own.size()];
        }
        s.controller.clearReceived();
        s.peer.clearReceived();
        sim::Controller& sender = (route & 0x10) != 0 ? s.peer : s.controller;
        sender.send(to, std::string(frame));
        const std::size_t replies = s.controller.received().size() + s.peer.received().size();
        if (replies > 1) {
            __builtin_trap();  // one frame answered more than once
        }
        const sim::Controller* asker = to == helperWindow ? wellFormedSender(s, frame) : nullptr;
        if (asker != nullptr && asker->received().size() != 1) {
            __builtin_trap();  // a well-formed request 1 to 11 not answered exactly once
        }
        if (to != helperWindow && replies != 0) {
            __builtin_trap();  // a frame to another window of the helper answered
        }
    }
    schedulerStep();
    return 0;
}
