// Random sequences of commands, ticks and user actions on a few windows, with
// the table's invariants checked after every step. The seed is printed with
// any failure, so a failing sequence replays exactly.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <vector>

#include "tracking/tracking_scenario.h"

namespace kestra::testing {
namespace {

class TableInvariantTest : public TrackingScenario, public ::testing::WithParamInterface<unsigned> {
  protected:
    static bool holdsOverlay(const EffectEngine& engine) {
        return engine.engineAttached || engine.overlay.layerWindow != nullptr;
    }

    void checkInvariants() {
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
                ASSERT_NE(engine.analyzer.seenColourTable, nullptr) << "record " << i;
                for (HWND other : overlayExclusions) {
                    const auto& own = engine.mainCapture.exclusions;
                    ASSERT_NE(std::find(own.begin(), own.end(), other), own.end())
                        << "record " << i << " captures another overlay";
                }
            } else {
                ASSERT_EQ(engine.mainCapture.hostWindow, nullptr) << "record " << i;
                ASSERT_EQ(engine.frameCopy, nullptr) << "record " << i;
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
};

TEST_P(TableInvariantTest, HoldAcrossRandomSequences) {
    const unsigned seed = GetParam();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    std::vector<HWND> targets;
    for (int i = 0; i < 4; ++i) {
        targets.push_back(createTarget(RECT{100 + 150 * i, 100 + 60 * i, 500 + 150 * i, 400 + 60 * i},
                                       documentContent(), i % 2 == 0 ? "even" : "odd"));
    }
    auto pick = [&](std::size_t n) { return static_cast<std::size_t>(rng() % n); };

    for (int step = 0; step < 250; ++step) {
        SCOPED_TRACE("step " + std::to_string(step));
        const HWND target = targets[pick(targets.size())];
        switch (pick(12)) {
            case 0:
                trackDark(target);
                break;
            case 1:
                trackGlass(target);
                break;
            case 2:  // dark off
                applyCommand(SetDarkCommand{target, false});
                break;
            case 3:  // glass off
                applyCommand(StopGlassCommand{target});
                break;
            case 4:  // untrack without teardown
                applyCommand(UntrackWindowCommand{target});
                break;
            case 5:
                desk->window(target).minimise();
                break;
            case 6:
                desk->window(target).restore();
                break;
            case 7:
                if (pick(2) == 0) {
                    desk->window(target).hide();
                } else {
                    desk->window(target).showNoActivate();
                }
                break;
            case 8:
                desk->window(target).moveBy(static_cast<int>(pick(7)) - 3, static_cast<int>(pick(7)) - 3);
                break;
            case 9:
                desk->window(target).resize(300 + static_cast<int>(pick(120)),
                                            200 + static_cast<int>(pick(120)));
                break;
            default:
                if (!activeList.empty()) {
                    tick(recordAt(activeList[pick(activeList.size())]));
                }
                break;
        }
        desk->runFor(static_cast<std::int64_t>(1 + pick(40)));
        checkInvariants();
        if (HasFatalFailure()) {
            return;
        }
    }
    // Ticking every record once more brings every showable one over its target.
    for (int index : activeList) {
        tick(recordAt(index));
        tick(recordAt(index));
        const TrackedWindow& record = recordAt(index);
        if (record.live && record.engine.engineAttached) {
            EXPECT_TRUE(sameRect(desk->window(record.engine.overlay.layerWindow).rect(), record.captureRect))
                << "record " << index;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Seeds, TableInvariantTest, ::testing::Values(1u, 2u, 20261207u));

}  // namespace
}  // namespace kestra::testing
