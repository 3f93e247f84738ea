// The helper's cost while nothing on screen changes, on Wine with the
// Magnification stand-in beside it: three still, light windows with
// published pixels, the real kestra-helper.exe, the dark effect on two of
// them and glass on the third. Once the effects are in place and every
// window has had time to go still, the program prints
//     idle-cpu: ready
// and keeps the scene still for kStillMs more, then ends the helper through
// its controller going away (exit code -1000 at its next liveness check is
// not waited for: the helper is ended here). The CPU time itself is read from
// the Linux side by scripts/wine-tests.sh (/proc/<pid>/stat of the helper's
// process), since GetProcessTimes under-reports under Wine. The program
// fails (exit 1) when a step of the set-up is not answered.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "published_window.h"
#include "wine_support.h"

namespace {

// After the commands: the glass backdrop goes idle after 1 s without change,
// the windows rest after 1 s; 3 s leaves room for a slow start.
constexpr DWORD kSettleMs = 3000;
// The script measures 5 s from "ready"; the scene stays still a little
// longer than that.
constexpr DWORD kStillMs = 7000;

int fail(const char* what) {
    std::printf("idle-cpu: FAILED: %s\n", what);
    std::fflush(stdout);
    return 1;
}

}  // namespace

int main() {
    std::vector<std::unique_ptr<winetest::PublishedWindow>> windows;
    windows.push_back(std::make_unique<winetest::PublishedWindow>(60, 60, false, "still target", false));
    windows.push_back(std::make_unique<winetest::PublishedWindow>(420, 60, false, "still target", false));
    windows.push_back(std::make_unique<winetest::PublishedWindow>(60, 320, false, "still target", false));
    for (const auto& w : windows) {
        if (!w->published()) {
            return fail("a window's pixels could not be published");
        }
    }
    winetest::pumpMessages();

    winetest::RecordingWindow controller("idle-cpu controller");
    winetest::ChildProcess helperProcess;
    if (!helperProcess.start(winetest::ownFolder() + "kestra-helper.exe",
                             winetest::handleText(controller.hwnd()))) {
        return fail("kestra-helper.exe did not start");
    }
    if (!winetest::pumpUntil([&] { return !controller.frames().empty(); }, 20000)) {
        helperProcess.terminate();
        return fail("no announcement");
    }
    HWND helper = reinterpret_cast<HWND>(
        static_cast<std::uintptr_t>(std::stoull(controller.frames()[0].bytes.substr(0, 16), nullptr, 16)));

    // Dark on the first two, glass on the third (radius 10, brightness 0.9,
    // live backdrop, content opacity 0.5, dark mode, photo and foreground
    // opacity 1).
    const std::vector<std::pair<int, std::string>> commands = {
        {1, winetest::handleText(windows[0]->hwnd()) + "|1"},
        {1, winetest::handleText(windows[1]->hwnd()) + "|1"},
        {2, winetest::handleText(windows[2]->hwnd()) + ",10,0.9,0,0.5,1,1,1"},
    };
    int requestId = 1;
    for (const auto& [command, payload] : commands) {
        controller.clear();
        winetest::sendFrame(controller.hwnd(), helper,
                            winetest::requestFrame(controller.hwnd(), command, payload, requestId++));
        if (controller.frames().size() != 1) {
            helperProcess.terminate();
            return fail("a command was not answered");
        }
    }
    winetest::pumpUntil([] { return false; }, kSettleMs);
    if (!helperProcess.running()) {
        return fail("the helper ended early");
    }
    std::printf("idle-cpu: ready (helper process %lu, 2 dark and 1 glass window, all still)\n",
                static_cast<unsigned long>(helperProcess.processId()));
    std::fflush(stdout);
    winetest::pumpUntil([] { return false; }, kStillMs);
    const bool stillRunning = helperProcess.running();
    std::printf("idle-cpu: done\n");
    std::fflush(stdout);
    helperProcess.terminate();
    return stillRunning ? 0 : fail("the helper ended while it was measured");
}
