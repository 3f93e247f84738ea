// Scenario fixture for the frame cycles: a fresh simulated desktop, a fresh
// process state (tracking tables, surfaces, analysis, clock), the helper's
// window class registered as the process entry would, and helpers that attach
// a target, run ticks on the virtual clock and read what a person would see.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <random>
#include <vector>

#include "analysis/frame_analyzer.h"
#include "engine/effect_engine.h"
#include "host/command_apply.h"
#include "platform/clock.h"
#include "platform/rect.h"
#include "platform/sim/desktop.h"
#include "platform/win32.h"
#include "support/call_sequence.h"
#include "support/commands.h"
#include "support/table_invariants.h"
#include "support/tracking_process.h"
#include "surfaces/overlay_layer.h"
#include "tracking/tracked_window.h"

namespace kestra::testing {

// Noise that never repeats a colour along a row for long, so every probe block
// of it is busy; colours stay clear of `avoid` (the window's background).
inline sim::Image noiseImage(int width, int height, std::uint32_t seed, sim::Colour avoid) {
    sim::Image img(width, height);
    std::mt19937 rng(seed);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            sim::Colour c;
            do {
                c = sim::bgra(static_cast<std::uint8_t>(rng() % 200), static_cast<std::uint8_t>(rng() % 200),
                              static_cast<std::uint8_t>(rng() % 200));
            } while ((c & 0xFFFFFFu) == (avoid & 0xFFFFFFu));
            img.setPixel(x, y, c);
        }
    }
    return img;
}

class CycleScenario : public ::testing::Test {
  protected:
    virtual sim::DesktopOptions desktopOptions() { return {}; }

    void SetUp() override {
        desk = std::make_unique<sim::Desktop>(desktopOptions());
        ASSERT_TRUE(startTrackingProcess());
        // Let the clock leave its origin, as a running process has.
        desk->runFor(5);
    }

    void TearDown() override {
        if (desk) {
            SCOPED_TRACE("the table at the end of the scenario");
            expectTableInvariants();
        }
        resetTrackingState();
        resetSurfacesState();
        resetAnalysisState();
        if (desk) {
            const sim::Counts left = desk->counts();
            EXPECT_EQ(left.dibSections, 0) << "DIB sections left after releasing every engine";
            EXPECT_EQ(left.memoryDCs, 0) << "memory DCs left after releasing every engine";
        }
        desk.reset();
    }

    // Tracks a window with the dark command: attach, count the effect,
    // switch the dark effect on.
    TrackedWindow& trackDark(HWND target) {
        applyCommand(SetDarkCommand{target, true});
        TrackedWindow& record = trackedWindows[static_cast<std::size_t>(findTracked(target))];
        EXPECT_TRUE(record.engine.engineAttached) << "the dark command attaches";
        return record;
    }

    // Tracks a window and starts its glass with the glass command: default
    // settings but the radius.
    TrackedWindow& trackGlass(HWND target, std::int32_t radius = 50) {
        StartGlassCommand start = glassStartKeepingSettings(target);
        start.blurRadius = radius;
        applyCommand(start);
        TrackedWindow& record = trackedWindows[static_cast<std::size_t>(findTracked(target))];
        EXPECT_TRUE(record.engine.engineAttached) << "the glass command attaches";
        EXPECT_TRUE(record.engine.glassEnabled) << "the glass command starts glass";
        return record;
    }

    HWND createWindow(const RECT& rect, sim::Content content, const char* app = "target") {
        sim::WindowOptions options;
        options.rect = rect;
        options.content = std::move(content);
        return desk->app(app).createWindow(options);
    }

    // The overlay window's pixels as a person would see them over the target.
    sim::Image overlayShot(const TrackedWindow& record) const {
        return desk->screenshot().crop(record.captureRect);
    }

    // What the main capture sees: the screen under the overlay.
    sim::Image targetShot(const TrackedWindow& record) const {
        return desk->compose(record.captureRect, {record.engine.overlay.layerWindow});
    }

    int blits() const { return static_cast<int>(desk->callLog().named("BitBlt").size()); }

    // Checks that `window` was given exactly these show commands, in order.
    ::testing::AssertionResult showsWere(HWND window, const std::vector<int>& commands) const {
        std::vector<ExpectedCall> rows;
        for (int command : commands) {
            rows.push_back({"ShowWindow", command, window});
        }
        return callSequence(callsAbout(desk->callLog(), window, "ShowWindow"), rows);
    }

    std::unique_ptr<sim::Desktop> desk;
};

}  // namespace kestra::testing
