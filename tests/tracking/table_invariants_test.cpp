// Random sequences of commands, ticks and user actions on a few windows, with
// the table's invariants checked after every step. The seed is printed with
// any failure, so a failing sequence replays exactly.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <vector>

#include "support/table_invariants.h"
#include "tracking/tracking_scenario.h"

namespace kestra::testing {
namespace {

class TableInvariantTest : public TrackingScenario, public ::testing::WithParamInterface<unsigned> {
  protected:
    void checkInvariants() { expectTableInvariants(); }
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
