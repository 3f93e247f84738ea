// Scenario fixture for the tracked-window table and the engine lifecycle: a
// fresh simulated desktop and process state, the helper class registered as
// the process entry would, and helpers that drive records through the
// product's command step and ticks. TearDown checks the table's invariants,
// and that releasing every engine leaves no helper window, device context, DIB
// section or heap block behind.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "analysis/frame_analyzer.h"
#include "engine/effect_engine.h"
#include "host/command_apply.h"
#include "platform/clock.h"
#include "platform/sim/desktop.h"
#include "platform/win32.h"
#include "support/call_sequence.h"
#include "support/commands.h"
#include "support/table_invariants.h"
#include "support/tracking_process.h"
#include "surfaces/overlay_layer.h"
#include "tracking/tracked_window.h"

namespace kestra::testing {

inline constexpr sim::Colour kPaper = sim::bgra(240, 236, 230);
inline constexpr sim::Colour kInk = sim::bgra(20, 24, 30);

inline int rectWidth(const RECT& r) {
    return r.right - r.left;
}
inline int rectHeight(const RECT& r) {
    return r.bottom - r.top;
}
inline bool sameRect(const RECT& a, const RECT& b) {
    return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}
inline std::string describe(const RECT& r) {
    return "{" + std::to_string(r.left) + ", " + std::to_string(r.top) + ", " + std::to_string(r.right) +
           ", " + std::to_string(r.bottom) + "}";
}

// A light page with dark text-like bars: not dark content, no photo regions.
inline sim::Content documentContent() {
    return sim::Content::painter([](sim::Image& img) {
        img.fill(kPaper);
        for (int y = 30; y + 6 < img.height - 20; y += 24) {
            img.fillRect(RECT{40, y, img.width / 2, y + 6}, kInk);
        }
    });
}

class TrackingScenario : public ::testing::Test {
  protected:
    virtual sim::DesktopOptions desktopOptions() { return {}; }

    void SetUp() override {
        desk = std::make_unique<sim::Desktop>(desktopOptions());
        ASSERT_TRUE(startTrackingProcess());
        desk->runFor(5);
        baseline = desk->counts();
    }

    void TearDown() override {
        if (desk) {
            SCOPED_TRACE("the table at the end of the scenario");
            expectTableInvariants();
        }
        resetTrackingState();
        if (desk) {
            expectNothingHeld("after releasing every engine");
        }
        resetSurfacesState();
        resetAnalysisState();
        desk.reset();
    }

    // Nothing of any engine is left: helper windows, DCs, DIB sections and
    // heap blocks are back to what the fresh process had.
    void expectNothingHeld(const char* when) const {
        const sim::Counts now = desk->counts();
        EXPECT_EQ(now.helperWindows, baseline.helperWindows) << "helper windows " << when;
        EXPECT_EQ(now.windowDCs, baseline.windowDCs) << "window DCs " << when;
        EXPECT_EQ(now.memoryDCs, baseline.memoryDCs) << "memory DCs " << when;
        EXPECT_EQ(now.dibSections, baseline.dibSections) << "DIB sections " << when;
        EXPECT_EQ(now.gdiObjects, baseline.gdiObjects) << "GDI objects " << when;
        EXPECT_EQ(now.heapBlocks, baseline.heapBlocks) << "heap blocks " << when;
    }

    HWND createTarget(const RECT& rect, sim::Content content = documentContent(),
                      const char* app = "target") {
        sim::WindowOptions options;
        options.rect = rect;
        options.content = std::move(content);
        return desk->app(app).createWindow(options);
    }

    static TrackedWindow& recordAt(int index) { return trackedWindows[static_cast<std::size_t>(index)]; }

    // The dark command for a window: track, attach, count, switch on.
    int trackDark(HWND target) {
        applyCommand(SetDarkCommand{target, true});
        return findTracked(target);
    }

    // The glass command for an attached or new window, with the settings the
    // window has (a new record's defaults).
    int trackGlass(HWND target) {
        applyCommand(glassStartKeepingSettings(target));
        return findTracked(target);
    }

    // The commands that switch a record's effects off: glass off while it
    // runs, then dark off while the record is still tracked. Either ends
    // tracking once both are off.
    void switchEffectsOff(int index) {
        const HWND target = recordAt(index).target;
        if (recordAt(index).engine.glassEnabled) {
            applyCommand(StopGlassCommand{target});
        }
        if (findTracked(target) == index) {
            applyCommand(SetDarkCommand{target, false});
        }
    }

    // Ticks the record n times, 16 ms of desktop time apart.
    void tickTimes(TrackedWindow& record, int n) {
        for (int i = 0; i < n; ++i) {
            tick(record);
            desk->runFor(16);
        }
    }

    int callsNamed(const char* function) const {
        return static_cast<int>(desk->callLog().named(function).size());
    }

    // The show commands given to `window`, in order.
    std::vector<int> showCommands(HWND window) const {
        std::vector<int> commands;
        for (const sim::CallEntry& e : callsAbout(desk->callLog(), window, "ShowWindow")) {
            commands.push_back(static_cast<int>(e.code));
        }
        return commands;
    }

    // Checks that `window` was given exactly these show commands, in order.
    ::testing::AssertionResult showsWere(HWND window, const std::vector<int>& commands) const {
        std::vector<ExpectedCall> rows;
        for (int command : commands) {
            rows.push_back({"ShowWindow", command, window});
        }
        return callSequence(callsAbout(desk->callLog(), window, "ShowWindow"), rows);
    }

    std::unique_ptr<sim::Desktop> desk;
    sim::Counts baseline;
};

}  // namespace kestra::testing
