// The tracked-window table's invariants, checked after every step of the
// random sequence test and at the end of every scenario:
//   - activeList names each index once, and a record is tracked (has a
//     target) exactly while it is listed;
//   - only tracked records hold an overlay, and every overlay is a window;
//   - an attached engine has its main capture and colour table and leaves
//     every listed overlay out of its capture; a detached one has no main
//     capture, frame copy or backdrop capture, and its kept overlay is hidden;
//   - glass on a live attached record has both glass captures;
//   - overlayExclusions lists exactly the overlays that exist.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <set>
#include <vector>

#include "engine/effect_engine.h"
#include "platform/win32.h"
#include "tracking/tracked_window.h"

namespace kestra::testing {

inline bool holdsOverlay(const EffectEngine& engine) {
    return engine.engineAttached || engine.overlay.layerWindow != nullptr;
}

// Fails the running test (fatally) at the first invariant that does not hold.
inline void expectTableInvariants() {
    std::set<int> active(activeList.begin(), activeList.end());
    ASSERT_EQ(active.size(), activeList.size()) << "an index occurs twice in activeList";
    std::vector<HWND> overlays;
    for (std::size_t i = 0; i < trackedWindows.size(); ++i) {
        const TrackedWindow& record = trackedWindows[i];
        const EffectEngine& engine = record.engine;
        const bool listed = active.count(static_cast<int>(i)) != 0;
        ASSERT_EQ(listed, record.target != nullptr) << "record " << i << ": tracked exactly while listed";
        if (holdsOverlay(engine)) {
            ASSERT_NE(record.target, nullptr) << "record " << i << ": a free slot holds an overlay";
            ASSERT_TRUE(IsWindow(engine.overlay.layerWindow)) << "record " << i;
            overlays.push_back(engine.overlay.layerWindow);
        }
        if (engine.engineAttached) {
            ASSERT_NE(engine.mainCapture.hostWindow, nullptr) << "record " << i;
            ASSERT_NE(engine.analyzer.seenColourTable.get(), nullptr) << "record " << i;
            for (HWND other : overlayExclusions) {
                const auto& own = engine.mainCapture.exclusions;
                ASSERT_NE(std::find(own.begin(), own.end(), other), own.end())
                    << "record " << i << " captures another overlay";
            }
        } else {
            ASSERT_EQ(engine.mainCapture.hostWindow, nullptr) << "record " << i;
            ASSERT_EQ(engine.frameCopy.get(), nullptr) << "record " << i;
            ASSERT_EQ(engine.backdropCapture.hostWindow, nullptr) << "record " << i;
            if (engine.overlay.layerWindow != nullptr) {
                ASSERT_FALSE(IsWindowVisible(engine.overlay.layerWindow))
                    << "record " << i << ": a suspended overlay shows";
            }
        }
        // Glass resumed on a live record has its captures; one attached
        // while suspended gets them back at its next showable tick.
        if (engine.glassEnabled && engine.engineAttached && record.live) {
            ASSERT_NE(engine.backdropCapture.hostWindow, nullptr) << "record " << i;
            ASSERT_NE(engine.monitorCapture.hostWindow, nullptr) << "record " << i;
        }
    }
    std::vector<HWND> listed = overlayExclusions;
    std::sort(listed.begin(), listed.end());
    std::sort(overlays.begin(), overlays.end());
    ASSERT_EQ(listed, overlays) << "overlayExclusions lists exactly the existing overlays";
}

}  // namespace kestra::testing
