// Runs the real helper entry on a simulated desktop, with a controller window
// of another application that starts it and talks to it through real frames.
// A script's steps are external events on the virtual clock: they run inside
// the helper's PeekMessageA, where the system delivers messages sent from
// other processes, so every command goes through the window procedure, the
// framing and the command set exactly as in the product.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "channel/framing.h"
#include "host/helper_main.h"
#include "platform/sim/desktop.h"
#include "support/table_invariants.h"
#include "tracking/tracked_window.h"

namespace kestra::testing {

// Options of a window of another application; designated initialisers would
// leave the other members to -Wmissing-field-initializers.
inline sim::WindowOptions windowOptions(RECT rect, const std::string& title, bool activate = true) {
    sim::WindowOptions options;
    options.rect = rect;
    options.title = title;
    options.content = sim::Content::solid(sim::bgra(240, 240, 240));
    options.activate = activate;
    return options;
}

class HelperRun : public ::testing::Test {
  protected:
    sim::Desktop desk;
    sim::Controller controller{desk};
    sim::App& apps = desk.app("apps");

    void SetUp() override { resetProcessState(); }
    void TearDown() override {
        {
            SCOPED_TRACE("the table when the run ended");
            expectTableInvariants();
        }
        resetProcessState();
    }

    // A small visible target window of another application.
    HWND makeTarget(RECT rect = {100, 100, 164, 148}) {
        HWND target = apps.createWindow(windowOptions(rect, "target"));
        targets.push_back(target);
        return target;
    }
    std::vector<HWND> targets;

    // Runs helperMain with the given command line; returns its exit code.
    int runHelper(const std::string& commandLine) { return helperMain(nullptr, commandLine.c_str()); }
    // Runs helperMain with the controller's handle on the command line.
    int runHelper() { return runHelper(formatHandle(controller.hwnd())); }

    // The helper window as the announcement named it (null before it).
    HWND announcedHelper() const {
        if (controller.received().empty()) {
            return nullptr;
        }
        return readHandle(controller.received().front().bytes.substr(0, 16)).value_or(nullptr);
    }

    static std::string requestFrame(HWND sender, std::int32_t command, const std::string& payload,
                                    std::int32_t requestId) {
        return formatRequestFrame(sender, command, payload, requestId);
    }

    // Sends one request from the controller to the helper now and returns the
    // frames that reached the controller while it was being handled.
    std::vector<std::string> request(std::int32_t command, const std::string& payload,
                                     std::int32_t requestId = 7) {
        const std::size_t before = controller.received().size();
        controller.send(announcedHelper(), requestFrame(controller.hwnd(), command, payload, requestId));
        std::vector<std::string> frames;
        for (std::size_t i = before; i < controller.received().size(); ++i) {
            frames.push_back(controller.received()[i].bytes);
        }
        return frames;
    }

    // The exact reply the helper sends for a request id.
    std::string replyFrame(std::int32_t requestId) const {
        return formatReplyFrame(announcedHelper(), requestId, {});
    }

    // Index of the record tracking a window, -1 when none.
    static int indexOf(HWND window) { return window != nullptr ? findTracked(window) : -1; }
    static TrackedWindow& recordOf(HWND window) {
        return trackedWindows[static_cast<std::size_t>(findTracked(window))];
    }
    static bool isActive(HWND window) {
        const int index = indexOf(window);
        for (int entry : activeList) {
            if (entry == index && index >= 0) {
                return true;
            }
        }
        return false;
    }

    // Runs the helper with `script` as the controller's first action at
    // `atMs`; afterwards every target window is destroyed, so the scheduler
    // drops what is still tracked and the helper ends with 0 (at once, or at
    // the first liveness check when nothing is tracked any more). Returns the
    // exit code.
    int runScript(const std::function<void()>& script, std::int64_t atMs = 50) {
        desk.at(atMs, script);
        desk.at(atMs + 1, [this] {
            for (HWND target : targets) {
                desk.window(target).destroy();
            }
        });
        return runHelper();
    }
};

}  // namespace kestra::testing
