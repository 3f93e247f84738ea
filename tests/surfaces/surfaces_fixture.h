// A simulated desktop prepared the way start-up leaves it for the surfaces:
// the helper's window class registered, the Magnification API initialised,
// the module instance stored and the overlay class registered.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "platform/clock.h"
#include "platform/rect.h"
#include "platform/sim/desktop.h"
#include "support/engine_process.h"
#include "surfaces/magnifier_capture.h"
#include "surfaces/overlay_layer.h"

namespace kestra::testing {

inline sim::DesktopOptions desktopOptions() {
    sim::DesktopOptions options;
    options.width = 1280;
    options.height = 800;
    return options;
}

// A fault for one function, narrowed to a class or a window.
inline sim::Fault faultFor(std::string function, int remaining, std::string className = {},
                           HWND window = nullptr) {
    sim::Fault fault;
    fault.function = std::move(function);
    fault.remaining = remaining;
    fault.className = std::move(className);
    fault.window = window;
    return fault;
}

class SurfacesTest : public ::testing::Test {
  protected:
    sim::Desktop desk{desktopOptions()};
    sim::App& app = desk.app("target-app");

    void SetUp() override {
        resetSurfacesState();
        resetClockOrigin();
        ASSERT_NE(kestra::testing::registerHelperClassForTests(), 0);
        ASSERT_TRUE(MagInitialize());
        moduleInstance = GetModuleHandleA(nullptr);
        ASSERT_EQ(registerOverlayClass(moduleInstance), 0);
    }

    void TearDown() override { resetSurfacesState(); }

    HWND appWindow(const RECT& r, sim::Colour colour, bool visible = true) {
        sim::WindowOptions options;
        options.rect = r;
        options.content = sim::Content::solid(colour);
        options.visible = visible;
        return app.createWindow(options);
    }

    // Moves the virtual clock on, so that the capture's filter refresh is due.
    void passTime(std::int64_t ms) { desk.runFor(ms); }

    std::vector<std::vector<HWND>> filterListsSet() {
        std::vector<std::vector<HWND>> lists;
        for (const sim::CallEntry& entry : desk.callLog().named("MagSetWindowFilterList")) {
            lists.push_back(entry.handles);
        }
        return lists;
    }
};

}  // namespace kestra::testing
