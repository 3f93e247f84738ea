// The tracked-window table: slots, activeList order, overlay exclusions, the
// effect count, attach and its failures, release and untrack in every state.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "tracking/tracking_scenario.h"

namespace kestra::testing {
namespace {

HWND fakeHandle(std::uintptr_t n) {
    return reinterpret_cast<HWND>(0x10000 + n * 16);
}

class TableTest : public TrackingScenario {
  protected:
    // Two targets side by side, owned by different applications.
    HWND leftTarget() { return createTarget(RECT{100, 100, 500, 400}); }
    HWND rightTarget() { return createTarget(RECT{600, 100, 1000, 400}, documentContent(), "other"); }

    // The next overlay window cannot be created.
    void failOverlayCreation() {
        sim::Fault fault;
        fault.function = "CreateWindowExA";
        fault.className = kOverlayClassName;
        desk->addFault(fault);
    }

    // Tracks the target and checks that its attach fails; returns the index.
    int addWithFailingAttach(HWND target) {
        const int index = addTracked(target);
        EXPECT_EQ(attach(recordAt(index)), -1);
        return index;
    }
};

TEST_F(TableTest, AddTrackedFindsAnExistingRecordWithoutASecondActiveEntry) {
    const int first = addTracked(fakeHandle(1));
    const int second = addTracked(fakeHandle(2));
    EXPECT_EQ(addTracked(fakeHandle(1)), first);
    EXPECT_EQ(findTracked(fakeHandle(2)), second);
    EXPECT_EQ(findTracked(fakeHandle(3)), -1);
    EXPECT_EQ(activeList, (std::vector<int>{first, second}));
    EXPECT_EQ(trackedWindows.size(), 2u);
}

TEST_F(TableTest, FreedSlotIsReusedAndAppendedAtTheEndOfTheActiveList) {
    for (std::uintptr_t n = 0; n < 3; ++n) {
        addTracked(fakeHandle(n));
    }
    untrack(1);
    EXPECT_EQ(activeList, (std::vector<int>{0, 2}));
    EXPECT_EQ(recordAt(1).target, nullptr);
    EXPECT_EQ(findTracked(nullptr), 1);

    untrack(2);
    EXPECT_EQ(addTracked(fakeHandle(7)), 1);
    EXPECT_EQ(addTracked(fakeHandle(8)), 2);
    EXPECT_EQ(activeList, (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(trackedWindows.size(), 3u);

    // Untracking an index that is not active changes nothing.
    untrack(5);
    EXPECT_EQ(activeList, (std::vector<int>{0, 1, 2}));
}

TEST_F(TableTest, NewRecordIsWiredToItsOwnFields) {
    TrackedWindow& record = recordAt(addTracked(fakeHandle(1)));
    const EffectEngine& engine = record.engine;
    EXPECT_EQ(engine.mainCapture.sourceRect, &record.captureRect);
    EXPECT_EQ(engine.mainCapture.filterMode, FilterMode::windowsInFront);
    EXPECT_EQ(engine.backdropCapture.sourceRect, &record.captureRect);
    EXPECT_EQ(engine.monitorCapture.sourceRect, &record.monitorRect);
    EXPECT_EQ(engine.overlay.layerRect, &record.captureRect);
    EXPECT_EQ(engine.targetRect, &record.captureRect);
    EXPECT_EQ(engine.monitorRect, &record.monitorRect);
    EXPECT_EQ(engine.placement, &record.placement);
    EXPECT_TRUE(sameRect(record.previousRect, RECT{-1, -1, -1, -1}));
    EXPECT_TRUE(sameRect(record.captureRect, RECT{0, 0, 0, 0}));
    EXPECT_FALSE(record.live);
    EXPECT_TRUE(engine.glassDarkMode);
    EXPECT_EQ(engine.blurRadius, 50);
    EXPECT_EQ(engine.lastDarknessTest, -2000);
    EXPECT_EQ(engine.backdropBuffer.width, -1);
    EXPECT_FLOAT_EQ(engine.monitorBuffer.backdropBrightness, 0.75f);
}

TEST_F(TableTest, RecordsKeepTheirAddressesBeyondAHundred) {
    std::vector<const TrackedWindow*> addresses;
    for (std::uintptr_t n = 0; n < 250; ++n) {
        const int index = addTracked(fakeHandle(n));
        addresses.push_back(&recordAt(index));
    }
    for (std::size_t i = 0; i < addresses.size(); ++i) {
        const TrackedWindow& record = trackedWindows[i];
        ASSERT_EQ(&record, addresses[i]) << "record " << i << " moved";
        ASSERT_EQ(record.engine.targetRect, &record.captureRect) << "record " << i;
        ASSERT_EQ(record.engine.placement, &record.placement) << "record " << i;
    }
}

TEST_F(TableTest, AttachCreatesOverlayAndCaptureAndListsTheOverlay) {
    const HWND target = createTarget(RECT{200, 150, 700, 500});
    const int index = trackDark(target);
    TrackedWindow& record = recordAt(index);
    const EffectEngine& engine = record.engine;
    ASSERT_TRUE(engine.engineAttached);
    EXPECT_EQ(engine.targetWindow, target);
    EXPECT_TRUE(IsWindow(engine.overlay.layerWindow));
    EXPECT_TRUE(IsWindowVisible(engine.overlay.layerWindow));
    EXPECT_NE(engine.mainCapture.hostWindow, nullptr);
    EXPECT_EQ(overlayExclusions, (std::vector<HWND>{engine.overlay.layerWindow}));
    EXPECT_EQ(engine.mainCapture.exclusions, (std::vector<HWND>{engine.overlay.layerWindow}));
    EXPECT_TRUE(sameRect(record.captureRect, RECT{200, 150, 700, 500})) << describe(record.captureRect);
    EXPECT_TRUE(sameRect(desk->window(engine.overlay.layerWindow).rect(), record.captureRect));
    EXPECT_EQ(engine.analyzer.width, 500);
    EXPECT_EQ(engine.analyzer.height, 350);
    EXPECT_NE(engine.frameCopy.get(), nullptr);
    EXPECT_NE(engine.analyzer.seenColourTable.get(), nullptr);
    EXPECT_EQ(engine.lastColourLearning, -2500);
}

TEST_F(TableTest, AttachOfAnAttachedRecordKeepsOneExclusion) {
    const int index = trackDark(createTarget(RECT{200, 150, 700, 500}));
    const HWND overlay = recordAt(index).engine.overlay.layerWindow;
    EXPECT_EQ(attach(recordAt(index)), 0);
    EXPECT_EQ(recordAt(index).engine.overlay.layerWindow, overlay);
    EXPECT_EQ(overlayExclusions, (std::vector<HWND>{overlay}));
    EXPECT_EQ(recordAt(index).engine.mainCapture.exclusions, (std::vector<HWND>{overlay}));
}

TEST_F(TableTest, SecondAttachReachesTheFirstCaptureThroughRefreshExclusions) {
    const int a = trackDark(leftTarget());
    const int b = trackDark(rightTarget());
    ASSERT_EQ(effectCount, 2);
    const std::vector<HWND> both{recordAt(a).engine.overlay.layerWindow,
                                 recordAt(b).engine.overlay.layerWindow};
    EXPECT_EQ(overlayExclusions, both);
    EXPECT_EQ(recordAt(a).engine.mainCapture.exclusions, both);
    EXPECT_EQ(recordAt(b).engine.mainCapture.exclusions, both);
}

TEST_F(TableTest, RefreshExclusionsWithNoEffectsChangesNoList) {
    const int a = trackDark(leftTarget());
    const std::vector<HWND> before = recordAt(a).engine.mainCapture.exclusions;
    overlayExclusions.push_back(fakeHandle(99));
    effectCount = 0;
    refreshExclusions();
    EXPECT_EQ(recordAt(a).engine.mainCapture.exclusions, before);
    effectCount = 1;
    refreshExclusions();
    EXPECT_EQ(recordAt(a).engine.mainCapture.exclusions, overlayExclusions);
    overlayExclusions.pop_back();
}

TEST_F(TableTest, FailedOverlayCreationFailsAttachAndChangesNoList) {
    const HWND target = leftTarget();
    failOverlayCreation();
    const int index = addWithFailingAttach(target);
    EXPECT_FALSE(recordAt(index).engine.engineAttached);
    EXPECT_TRUE(overlayExclusions.empty());
    EXPECT_EQ(activeList, (std::vector<int>{index}));
    expectNothingHeld("after a failed attach");
}

TEST_F(TableTest, FailedCaptureFailsAttachAndDestroysTheNewOverlay) {
    const HWND target = leftTarget();
    desk->failNext("MagSetWindowSource");
    const int index = addWithFailingAttach(target);
    EXPECT_EQ(recordAt(index).engine.overlay.layerWindow, nullptr);
    EXPECT_TRUE(overlayExclusions.empty());
    expectNothingHeld("after a failed first capture");
    // A later attach succeeds and starts from clean lists.
    EXPECT_EQ(attach(recordAt(index)), 0);
    EXPECT_EQ(recordAt(index).engine.mainCapture.exclusions, overlayExclusions);
}

TEST_F(TableTest, FailedColourTableAllocationFailsAttachWithoutLeaks) {
    const HWND target = leftTarget();
    sim::Fault fault;
    fault.function = "HeapAlloc";
    fault.minBytes = kColourTableBytes;
    desk->addFault(fault);
    const int index = addWithFailingAttach(target);
    EXPECT_FALSE(recordAt(index).engine.engineAttached);
    EXPECT_EQ(recordAt(index).engine.analyzer.seenColourTable.get(), nullptr);
    EXPECT_TRUE(overlayExclusions.empty());
    expectNothingHeld("after a failed colour table");
    EXPECT_EQ(attach(recordAt(index)), 0);
    EXPECT_TRUE(recordAt(index).engine.engineAttached);
}

TEST_F(TableTest, FailedAttachIsNotGivenACaptureByItsFirstTick) {
    const HWND target = leftTarget();
    failOverlayCreation();
    const int index = trackDark(target);
    TrackedWindow& record = recordAt(index);
    ASSERT_FALSE(record.engine.engineAttached);
    tickTimes(record, 3);
    EXPECT_FALSE(record.engine.engineAttached);
    EXPECT_EQ(record.engine.mainCapture.hostWindow, nullptr);
    expectNothingHeld("after ticks of a record whose attach failed");

    // Only a successful attach brings it in.
    ASSERT_EQ(attach(record), 0);
    ++effectCount;
    tickTimes(record, 2);
    EXPECT_TRUE(record.engine.engineAttached);
    EXPECT_TRUE(IsWindowVisible(record.engine.overlay.layerWindow));
}

TEST_F(TableTest, UntrackingAnUnattachedRecordOnlyFreesTheSlot) {
    const int index = addTracked(fakeHandle(1));
    overlayExclusions.push_back(fakeHandle(50));
    untrackRecord(recordAt(index));
    EXPECT_EQ(recordAt(index).target, nullptr);
    EXPECT_EQ(overlayExclusions, (std::vector<HWND>{fakeHandle(50)}));
    EXPECT_EQ(activeList, (std::vector<int>{index}));
    // The rest of untrack, which untrackRecord is one step of: the table is
    // whole again for the check at the end of the scenario.
    overlayExclusions.clear();
    untrack(index);
}

TEST_F(TableTest, ReleaseKeepsTheRecordTracked) {
    const HWND target = leftTarget();
    const int index = trackDark(target);
    const HWND overlay = recordAt(index).engine.overlay.layerWindow;
    ASSERT_EQ(effectCount, 1);
    releaseTracked(index);
    EXPECT_EQ(effectCount, 0);
    EXPECT_FALSE(IsWindow(overlay));
    EXPECT_TRUE(overlayExclusions.empty());
    EXPECT_FALSE(recordAt(index).engine.engineAttached);
    EXPECT_FALSE(recordAt(index).engine.darkEnabled);
    EXPECT_EQ(recordAt(index).target, target);
    EXPECT_EQ(activeList, (std::vector<int>{index}));
    expectNothingHeld("after release");
    untrack(index);
    EXPECT_TRUE(activeList.empty());
    EXPECT_EQ(recordAt(index).target, nullptr);
}

TEST_F(TableTest, ReleasingANeverAttachedRecordKeepsTheCount) {
    // The dark-off command for an untracked window: addTracked, release,
    // untrack. The count of attached engines must not drift below them.
    const int attached = trackDark(leftTarget());
    const int never = addTracked(fakeHandle(3));
    switchEffectsOff(never);
    EXPECT_EQ(effectCount, 1);
    const int second = trackDark(rightTarget());
    ASSERT_EQ(effectCount, 2);
    // The first capture learned of the second overlay.
    EXPECT_EQ(recordAt(attached).engine.mainCapture.exclusions.size(), 2u);
    EXPECT_NE(std::find(recordAt(attached).engine.mainCapture.exclusions.begin(),
                        recordAt(attached).engine.mainCapture.exclusions.end(),
                        recordAt(second).engine.overlay.layerWindow),
              recordAt(attached).engine.mainCapture.exclusions.end());
}

TEST_F(TableTest, ResetReleasesEveryEngineAndEmptiesTheTables) {
    trackDark(leftTarget());
    trackGlass(rightTarget());
    ASSERT_EQ(effectCount, 2);
    resetTrackingState();
    EXPECT_TRUE(trackedWindows.empty());
    EXPECT_TRUE(activeList.empty());
    EXPECT_TRUE(overlayExclusions.empty());
    EXPECT_TRUE(monitorRects.empty());
    EXPECT_EQ(effectCount, 0);
    expectNothingHeld("after reset");
}

TEST_F(TableTest, InitialiseTrackingWithoutMagnificationRegistersNoOverlayClass) {
    resetTrackingState();
    resetSurfacesState();
    desk->failNext("MagInitialize");
    initialiseTracking(GetModuleHandleA(nullptr));
    EXPECT_EQ(moduleInstance, nullptr);
}

}  // namespace
}  // namespace kestra::testing
