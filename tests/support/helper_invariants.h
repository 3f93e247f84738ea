// Invariants of the whole helper process on the simulated desktop, beside the
// table's own (table_invariants.h): checked by the long random runs after
// every step and at every settled point, and usable by any scenario test.
//   - the table's invariants, among them that no window of the helper has
//     the focus;
//   - the helper's windows, GDI objects and heap stay within a bound that
//     grows with the number of tracked windows;
//   - once everything has stood still, every visible window of the helper is
//     the overlay of a tracked, showable target and lies exactly over it;
//   - after the process has gone (its state reset, its windows destroyed as
//     the system destroys them) nothing of it is left.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <vector>

#include "analysis/frame_analyzer.h"
#include "host/helper_main.h"
#include "platform/sim/desktop.h"
#include "platform/win32.h"
#include "support/table_invariants.h"
#include "surfaces/overlay_layer.h"
#include "tracking/tracked_window.h"

namespace kestra::testing {

// Upper bounds of what the helper holds while `records` windows are tracked:
// per record an overlay and three captures (host and Magnifier control each),
// their DCs and bitmaps, and the frame-sized buffers and the colour table of
// its engine, frames being at most the size of the virtual screen.
struct ResourceBound {
    int windows = 0;
    int gdiObjects = 0;
    std::size_t heapBytes = 0;
};

inline ResourceBound resourceBoundFor(std::size_t records, const RECT& screen) {
    const auto screenBytes = static_cast<std::size_t>(screen.right - screen.left) *
                             static_cast<std::size_t>(screen.bottom - screen.top) * 4;
    ResourceBound bound;
    bound.windows = 1 + 7 * static_cast<int>(records);
    bound.gdiObjects = 2 + 8 * static_cast<int>(records);
    bound.heapBytes =
        (std::size_t{1} << 20) + records * (2 * std::size_t{kColourTableBytes} + 32 * screenBytes);
    return bound;
}

// The tracked records now, whether or not their engine is attached.
inline std::size_t trackedRecordCount() {
    std::size_t count = 0;
    for (const TrackedWindow& record : trackedWindows) {
        count += record.target != nullptr ? 1 : 0;
    }
    return count;
}

inline void expectResourcesBounded(const sim::Desktop& desk) {
    const sim::Counts counts = desk.counts();
    const std::size_t records = trackedRecordCount();
    const ResourceBound bound = resourceBoundFor(records, desk.virtualScreen());
    ASSERT_LE(counts.helperWindows, bound.windows) << records << " records tracked";
    ASSERT_LE(counts.gdiObjects, bound.gdiObjects) << records << " records tracked";
    ASSERT_LE(counts.heapBytes, bound.heapBytes) << records << " records tracked";
    ASSERT_EQ(counts.badHeapFrees, 0);
}

// Where the overlay of a target must lie: the target's rectangle, widened to
// its monitor's left and right edges when the target is maximised.
inline RECT expectedOverlayRect(const sim::Desktop& desk, HWND target, bool asMaximised) {
    sim::Window window(const_cast<sim::Desktop&>(desk), target);
    RECT rect = window.rect();
    if (asMaximised) {
        const LONG cx = rect.left + (rect.right - rect.left) / 2;
        const LONG cy = rect.top + (rect.bottom - rect.top) / 2;
        const std::vector<RECT> monitors = desk.monitors();
        RECT monitor = monitors.front();
        for (const RECT& m : monitors) {
            if (m.left <= cx && cx <= m.right && m.top <= cy && cy <= m.bottom) {
                monitor = m;
                break;
            }
        }
        rect.left = monitor.left;
        rect.right = monitor.right;
    }
    return rect;
}

// After every target has stood still for a while (the helper has ticked each
// of them since): the only visible windows of the helper are overlays, each
// the overlay of a tracked record whose target is visible and not minimised,
// lying exactly over that target.
inline void expectOverlaysOverStillTargets(const sim::Desktop& desk) {
    for (HWND window : desk.helperWindows()) {
        if (!IsWindowVisible(window)) {
            continue;
        }
        ASSERT_EQ(desk.className(window), kOverlayClassName) << "a visible helper window that is no overlay";
        const TrackedWindow* owner = nullptr;
        for (const TrackedWindow& record : trackedWindows) {
            if (record.target != nullptr && record.engine.overlay.layerWindow == window) {
                owner = &record;
            }
        }
        ASSERT_NE(owner, nullptr) << "a visible overlay that belongs to no tracked window";
        sim::Window target(const_cast<sim::Desktop&>(desk), owner->target);
        ASSERT_TRUE(target.exists()) << "a visible overlay over a window that is gone";
        ASSERT_TRUE(target.visible()) << "a visible overlay over a hidden window";
        ASSERT_FALSE(target.minimised()) << "a visible overlay over a minimised window";
        // The helper reads the maximised state when the target's rectangle
        // changes: a window that stops being maximised while keeping the
        // rectangle it had maximised may keep the overlay read then.
        const bool maximised = sim::Window(const_cast<sim::Desktop&>(desk), owner->target).maximised();
        const RECT want = expectedOverlayRect(desk, owner->target, maximised);
        const RECT wasMaximised = expectedOverlayRect(desk, owner->target, true);
        const RECT got = sim::Window(const_cast<sim::Desktop&>(desk), window).rect();
        auto same = [](const RECT& a, const RECT& b) {
            return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
        };
        const RECT targetRect = sim::Window(const_cast<sim::Desktop&>(desk), owner->target).rect();
        const bool spansMonitor = !same(wasMaximised, targetRect) && wasMaximised.left >= targetRect.left &&
                                  wasMaximised.right <= targetRect.right;
        ASSERT_TRUE(same(got, want) || (spansMonitor && same(got, wasMaximised)))
            << "overlay at {" << got.left << ", " << got.top << ", " << got.right << ", " << got.bottom
            << "}, its still target at {" << want.left << ", " << want.top << ", " << want.right << ", "
            << want.bottom << "}";
    }
}

// Everything the process-wide invariants of one step ask: the table's
// (focus included) and the resource bounds.
inline void expectHelperInvariants(const sim::Desktop& desk) {
    expectTableInvariants();
    if (::testing::Test::HasFatalFailure()) {
        return;
    }
    expectResourcesBounded(desk);
}

// What the system does when the helper process ends: its state goes (here:
// reset to a fresh process's), its windows are destroyed. Nothing of it may
// be left on the desktop afterwards.
inline void endHelperProcess(sim::Desktop& desk) {
    desk.clearFaults();
    resetProcessState();
    for (HWND window : desk.helperWindows()) {
        DestroyWindow(window);
    }
    const sim::Counts counts = desk.counts();
    EXPECT_EQ(counts.helperWindows, 0);
    // The overlay class's background brush lives as long as the class, that
    // is as long as the process: the system frees it with the process.
    EXPECT_LE(counts.brushes, 1);
    EXPECT_EQ(counts.gdiObjects - counts.brushes, 0)
        << counts.windowDCs << " window DCs, " << counts.memoryDCs << " memory DCs, " << counts.dibSections
        << " DIB sections, " << counts.bitmaps << " bitmaps";
    EXPECT_EQ(counts.heapBlocks, 0);
    EXPECT_EQ(counts.heapBytes, 0u);
    EXPECT_EQ(counts.badHeapFrees, 0);
}

}  // namespace kestra::testing
