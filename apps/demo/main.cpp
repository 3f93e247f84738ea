// kestra-demo.exe: shows the helper's effects on real windows from a console.
//
//   kestra-demo list                      visible top-level windows
//   kestra-demo dark Notepad              dark effect on the first window whose title contains "Notepad"
//   kestra-demo glass 0x1A2B --radius 40  glass effect with settings
//   kestra-demo interactive               the window in front after 3 s; keys toggle the effects
//
// It starts kestra-helper.exe from its own folder through the client
// library, whose hidden window receives the helper's frames, and ends the
// helper in order on Ctrl+C, Ctrl+Break or when the console closes: the
// effects are switched off, the client's window is destroyed, and the helper
// ends at its next liveness check with -1000 (the controller window is gone).
//
// Exit codes: 0 the helper was started and ended in order (or list/help),
// 1 the helper could not be started or failed, 2 bad arguments or no such window.
#include <conio.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

#include "demo_options.h"
#include "kestra/client.h"

namespace {

using kestra::demo::Mode;
using kestra::demo::Options;

std::atomic<bool> g_stopRequested{false};
std::atomic<bool> g_consoleClosing{false};
HANDLE g_cleanedUp = nullptr;  // set once the helper has been ended

BOOL WINAPI onConsoleEvent(DWORD event) {
    g_stopRequested = true;
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
        // Windows ends the process when this handler returns (and after about
        // five seconds in any case): wait here for the main thread's clean-up.
        g_consoleClosing = true;
        WaitForSingleObject(g_cleanedUp, 4500);
    }
    return TRUE;
}

std::string windowTitle(HWND window) {
    char title[256] = {};
    const int length = GetWindowTextA(window, title, sizeof(title));
    return std::string(title, length > 0 ? static_cast<std::size_t>(length) : 0);
}

struct Listed {
    HWND window;
    std::string title;
    RECT rect;
};

BOOL CALLBACK collectWindow(HWND window, LPARAM data) {
    auto* windows = reinterpret_cast<std::vector<Listed>*>(data);
    if (!IsWindowVisible(window) || window == GetConsoleWindow()) {
        return TRUE;
    }
    std::string title = windowTitle(window);
    if (title.empty()) {
        return TRUE;
    }
    RECT rect{};
    GetWindowRect(window, &rect);
    windows->push_back(Listed{window, std::move(title), rect});
    return TRUE;
}

// Visible top-level windows with a title, from the top of the z-order down.
std::vector<Listed> visibleWindows() {
    std::vector<Listed> windows;
    EnumWindows(collectWindow, reinterpret_cast<LPARAM>(&windows));
    return windows;
}

void printWindow(const Listed& w) {
    std::printf("%s  %5ldx%-5ld  %s\n", kestra::protocol::formatHandle(w.window).c_str(),
                static_cast<long>(w.rect.right - w.rect.left), static_cast<long>(w.rect.bottom - w.rect.top),
                w.title.c_str());
}

HWND findTarget(const std::string& wanted) {
    if (std::optional<unsigned long long> handle = kestra::demo::readHandleArgument(wanted)) {
        HWND window = reinterpret_cast<HWND>(static_cast<std::uintptr_t>(*handle));
        return IsWindow(window) ? window : nullptr;
    }
    for (const Listed& w : visibleWindows()) {
        if (kestra::demo::titleMatches(w.title, wanted)) {
            return w.window;
        }
    }
    return nullptr;
}

std::string helperPath() {
    char path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string folder(path, length);
    const std::size_t slash = folder.find_last_of("\\/");
    folder = slash == std::string::npos ? std::string() : folder.substr(0, slash + 1);
    return folder + "kestra-helper.exe";
}

// Handles what arrives for this thread's windows (the client's hidden window).
void pumpMessages() {
    MSG message{};
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE) != FALSE) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
}

bool report(const char* what, const kestra::Result<void>& result) {
    if (result) {
        std::printf("%s: done\n", what);
    } else {
        std::printf("%s: failed: %s\n", what, result.error().message.c_str());
    }
    std::fflush(stdout);
    return result.ok();
}

class Demo {
  public:
    explicit Demo(const Options& options) : options_(options) {
        if (options.verbose) {
            client_.setTrace([](kestra::FrameDirection direction, std::string_view bytes) {
                std::printf("  %s %.*s\n", direction == kestra::FrameDirection::Sent ? "->" : "<-",
                            static_cast<int>(bytes.size()), bytes.data());
            });
        }
    }

    bool start() {
        const std::string path = helperPath();
        std::printf("starting %s\n", path.c_str());
        kestra::Result<HWND> helper = client_.start(path, nullptr, options_.startTimeoutMs);
        if (!helper) {
            std::printf("could not start the helper: %s\n", helper.error().message.c_str());
            return false;
        }
        std::printf("helper window %s\n", kestra::protocol::formatHandle(*helper).c_str());
        std::fflush(stdout);
        return true;
    }

    bool setDark(HWND target, bool on) {
        dark_ = on;
        return report(on ? "dark on" : "dark off", client_.setDark(target, on));
    }

    bool setGlass(HWND target, bool on) {
        glass_ = on;
        return report(on ? "glass on" : "glass off",
                      on ? client_.startGlass(target, options_.glass) : client_.stopGlass(target));
    }

    // Waits for Ctrl+C or the console closing, the target closing or the
    // helper ending; keys toggle the effects when `keys` is set.
    void run(HWND target, bool keys) {
        while (!g_stopRequested) {
            if (!IsWindow(target)) {
                std::printf("the window was closed\n");
                break;
            }
            if (!client_.running()) {
                std::printf("the helper ended: %s\n",
                            kestra::describeExitCode(client_.exitCode().value_or(0)).c_str());
                break;
            }
            if (keys && _kbhit() != 0) {
                const int key = _getch();
                if (key == 'd' || key == 'D') {
                    setDark(target, !dark_);
                } else if (key == 'g' || key == 'G') {
                    setGlass(target, !glass_);
                } else if (key == 'q' || key == 'Q' || key == 27) {
                    break;
                }
            }
            pumpMessages();
            Sleep(50);
        }
    }

    // Switches the effects off and ends the helper. Returns 0 when it ended in order.
    int finish(HWND target) {
        if (client_.running() && IsWindow(target)) {
            client_.untrack(target);
        }
        std::printf("ending the helper (it notices within about ten seconds)...\n");
        std::fflush(stdout);
        // Console closing: Windows ends this process about five seconds after
        // the event, so the helper is left to notice on its own that the
        // client's window is gone (it ends with -1000 at its next liveness check).
        const bool closing = g_consoleClosing;
        kestra::Result<int> code =
            client_.stop(closing ? 4000 : 15000, closing ? kestra::Client::AfterTimeout::LetItEnd
                                                         : kestra::Client::AfterTimeout::Terminate);
        if (!code) {
            std::printf("%s\n", code.error().message.c_str());
            return 1;
        }
        std::printf("helper ended with %s\n", kestra::describeExitCode(*code).c_str());
        std::fflush(stdout);
        return *code == -1000 || *code == 0 ? 0 : 1;
    }

  private:
    Options options_;
    kestra::Client client_;
    bool dark_ = false;
    bool glass_ = false;
};

int runOnTarget(const Options& options) {
    HWND target = nullptr;
    if (options.mode == Mode::Interactive) {
        std::printf("bring the window you want to the front\n");
        for (int second = 3; second > 0 && !g_stopRequested; --second) {
            std::printf("%d...\n", second);
            std::fflush(stdout);
            Sleep(1000);
        }
        target = GetForegroundWindow();
        if (target == nullptr || target == GetConsoleWindow()) {
            std::printf("the console is in front: nothing to do\n");
            return 2;
        }
    } else {
        target = findTarget(options.target);
        if (target == nullptr) {
            std::printf("no visible window matches '%s' (try: kestra-demo list)\n", options.target.c_str());
            return 2;
        }
    }
    std::printf("target %s \"%s\"\n", kestra::protocol::formatHandle(target).c_str(),
                windowTitle(target).c_str());
    Demo demo(options);
    if (!demo.start()) {
        return 1;
    }
    bool applied = false;
    if (options.mode == Mode::Glass) {
        applied = demo.setGlass(target, true);
    } else {
        applied = demo.setDark(target, true);
    }
    if (options.mode == Mode::Interactive) {
        std::printf("keys: d dark on/off, g glass on/off, q quit (or Ctrl+C)\n");
    } else {
        std::printf("press Ctrl+C to end\n");
    }
    std::fflush(stdout);
    if (applied) {
        demo.run(target, options.mode == Mode::Interactive);
    }
    const int code = demo.finish(target);
    return applied ? code : 1;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> arguments(argv + 1, argv + argc);
    const kestra::demo::Parsed parsed = kestra::demo::parseArguments(arguments);
    if (!parsed.options) {
        std::fprintf(stderr, "kestra-demo: %s\n%s", parsed.error.c_str(), kestra::demo::usageText());
        return 2;
    }
    const Options& options = *parsed.options;
    switch (options.mode) {
        case Mode::Help:
            std::printf("%s", kestra::demo::usageText());
            return 0;
        case Mode::List:
            for (const Listed& w : visibleWindows()) {
                printWindow(w);
            }
            return 0;
        default:
            break;
    }
    g_cleanedUp = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
    const int code = runOnTarget(options);
    SetEvent(g_cleanedUp);
    return code;
}
