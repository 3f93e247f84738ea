// Scenarios of the tick: hiding, minimising and restoring targets, releasing
// and untracking in every state, and long attach/suspend/untrack cycles that
// must leave nothing behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "tracking/tracking_scenario.h"

namespace kestra::testing {
namespace {

class TickTest : public TrackingScenario {
  protected:
    // Where most tests put their target.
    const RECT targetRect{300, 200, 800, 600};

    // Minimises the target and runs `ticks` cycles: the record suspends.
    void minimiseAndTick(HWND target, TrackedWindow& record, int ticks) {
        desk->window(target).minimise();
        tickTimes(record, ticks);
    }

    // Restores the target and runs `ticks` cycles: the record resumes.
    void restoreAndTick(HWND target, TrackedWindow& record, int ticks) {
        desk->window(target).restore();
        tickTimes(record, ticks);
    }

    // Restores the target and runs one cycle whose resume cannot capture.
    void restoreWithFailingCapture(HWND target, TrackedWindow& record) {
        desk->window(target).restore();
        desk->failNext("MagSetWindowSource");
        tick(record);
    }

    struct SuspendedTarget {
        HWND target;
        int index;
        HWND keptOverlay;
    };

    // A dark target that ran two cycles and was then minimised for
    // `minimisedTicks` cycles.
    SuspendedTarget suspendedDarkTarget(int minimisedTicks) {
        const HWND target = createTarget(targetRect);
        const int index = trackDark(target);
        TrackedWindow& record = recordAt(index);
        tickTimes(record, 2);
        const HWND overlay = record.engine.overlay.layerWindow;
        minimiseAndTick(target, record, minimisedTicks);
        return {target, index, overlay};
    }
};

// The inverted page colour that the dark effect shows over the paper.
sim::Colour invertedPaper() {
    return sim::bgra(static_cast<std::uint8_t>(255 - sim::redOf(kPaper)),
                     static_cast<std::uint8_t>(255 - sim::greenOf(kPaper)),
                     static_cast<std::uint8_t>(255 - sim::blueOf(kPaper)));
}

bool sameColour(sim::Colour a, sim::Colour b) {
    return (a & 0xFFFFFFu) == (b & 0xFFFFFFu);
}

// A window system may leave the overlay stacked under its target although
// the z-order says otherwise (Wine without a window manager, after the target
// was activated while its overlay was hidden); the simulated desktop keeps an
// owned window above its owner, so the raises are counted. While the target
// is in front its overlay is raised once a follow period, the first time
// within one of the target coming to the front; over a target behind other
// windows it is never raised.
TEST_F(TickTest, OverlayIsRaisedWhileItsTargetIsInFront) {
    const HWND target = createTarget(targetRect);
    const HWND other = createTarget(RECT{900, 100, 1100, 300}, documentContent(), "other");
    desk->window(other).activate();
    TrackedWindow& record = recordAt(trackDark(target));
    tickTimes(record, 2);
    const HWND overlay = record.engine.overlay.layerWindow;
    const auto raises = [&] {
        int count = 0;
        for (const sim::CallEntry& e : callsAbout(desk->callLog(), overlay, "SetWindowPos")) {
            count += e.other == HWND_TOP && (e.code & SWP_NOACTIVATE) != 0 ? 1 : 0;
        }
        return count;
    };
    desk->callLog().enable();
    tickTimes(record, 3 * kFollowPeriodMs / 16);
    EXPECT_EQ(raises(), 0) << "raised over a target in the background";

    desk->window(target).activate();
    tickTimes(record, kFollowPeriodMs / 16 + 1);
    EXPECT_EQ(raises(), 1) << "not raised within a follow period of the target coming to the front";
    tickTimes(record, 3 * kFollowPeriodMs / 16);
    EXPECT_GE(raises(), 3);
    EXPECT_LE(raises(), 4) << "raised more often than once a follow period";
    EXPECT_EQ(GetForegroundWindow(), target);
    EXPECT_TRUE(sameColour(desk->pixelAt(700, 250), invertedPaper()));
}

TEST_F(TickTest, FirstTickTakesPlacementAndPresentsTheInvertedTarget) {
    const HWND target = createTarget(targetRect);
    TrackedWindow& record = recordAt(trackDark(target));
    tickTimes(record, 2);
    EXPECT_TRUE(record.live);
    EXPECT_TRUE(sameRect(record.previousRect, RECT{300, 200, 800, 600})) << describe(record.previousRect);
    // A person sees the inverted page where the paper was.
    EXPECT_TRUE(sameColour(desk->pixelAt(700, 250), invertedPaper()));
    // The overlay is not what the capture sees: the target shows through it.
    EXPECT_TRUE(sameColour(
        desk->compose(record.captureRect, {record.engine.overlay.layerWindow}).pixel(400, 50), kPaper));
}

TEST_F(TickTest, MinimiseSuspendsAndRestoreResumesTheDarkEffect) {
    const HWND target = createTarget(targetRect);
    TrackedWindow& record = recordAt(trackDark(target));
    EffectEngine& engine = record.engine;
    tickTimes(record, 2);
    const HWND overlay = engine.overlay.layerWindow;
    const sim::Counts attachedCounts = desk->counts();

    desk->callLog().enable();
    minimiseAndTick(target, record, 5);
    // Suspended once: overlay hidden and kept, captures and buffers gone.
    EXPECT_FALSE(record.live);
    EXPECT_FALSE(engine.engineAttached);
    EXPECT_TRUE(engine.darkEnabled);
    EXPECT_TRUE(IsWindow(overlay));
    EXPECT_FALSE(IsWindowVisible(overlay));
    EXPECT_TRUE(showsWere(overlay, {SW_HIDE}));
    EXPECT_EQ(engine.mainCapture.hostWindow, nullptr);
    EXPECT_EQ(engine.mainCapture.exclusions, (std::vector<HWND>{overlay}));
    EXPECT_EQ(engine.frameCopy.get(), nullptr);
    EXPECT_EQ(engine.analyzer.seenColourTable.get(), nullptr);
    EXPECT_EQ(engine.analyzer.regionMask.get(), nullptr);
    EXPECT_LT(desk->counts().heapBlocks, attachedCounts.heapBlocks);
    EXPECT_LT(desk->counts().helperWindows, attachedCounts.helperWindows);
    // Every hidden tick slept one millisecond.
    int oneMsSleeps = 0;
    for (const sim::CallEntry& e : desk->callLog().named("Sleep")) {
        oneMsSleeps += e.code == 1 ? 1 : 0;
    }
    EXPECT_EQ(oneMsSleeps, 5);
    EXPECT_EQ(effectCount, 1);
    EXPECT_EQ(overlayExclusions, (std::vector<HWND>{overlay}));

    desk->callLog().clear();
    restoreAndTick(target, record, 2);
    EXPECT_TRUE(record.live);
    EXPECT_TRUE(engine.engineAttached);
    EXPECT_EQ(engine.overlay.layerWindow, overlay);
    EXPECT_EQ(showCommands(overlay).front(), SW_SHOWNOACTIVATE);
    EXPECT_TRUE(IsWindowVisible(overlay));
    EXPECT_TRUE(sameRect(desk->window(overlay).rect(), desk->window(target).rect()));
    EXPECT_TRUE(sameColour(desk->pixelAt(700, 250), invertedPaper()));
    const sim::Counts resumed = desk->counts();
    EXPECT_EQ(resumed.helperWindows, attachedCounts.helperWindows);
    EXPECT_EQ(resumed.dibSections, attachedCounts.dibSections);
}

TEST_F(TickTest, HiddenTargetResumesGlassWithTheOverlayShown) {
    const HWND target = createTarget(targetRect);
    TrackedWindow& record = recordAt(trackGlass(target));
    EffectEngine& engine = record.engine;
    ASSERT_TRUE(engine.glassEnabled);
    tickTimes(record, 2);
    ASSERT_TRUE(engine.glassEnabled);

    desk->window(target).hide();
    tickTimes(record, 2);
    EXPECT_TRUE(engine.glassEnabled) << "the setting survives the suspend";
    EXPECT_EQ(engine.backdropCapture.hostWindow, nullptr);
    EXPECT_EQ(engine.monitorCapture.hostWindow, nullptr);
    EXPECT_EQ(engine.analyzer.backdropImage.get(), nullptr);
    EXPECT_EQ(engine.backdropCopy.get(), nullptr);
    EXPECT_EQ(engine.analyzer.backgroundColourTable.get(), nullptr);
    EXPECT_FALSE(engine.monitorBackdropActive);

    desk->window(target).showNoActivate();
    tickTimes(record, 2);
    EXPECT_TRUE(engine.engineAttached);
    EXPECT_TRUE(engine.glassEnabled);
    EXPECT_NE(engine.backdropCapture.hostWindow, nullptr);
    EXPECT_NE(engine.monitorCapture.hostWindow, nullptr);
    EXPECT_NE(engine.analyzer.backdropImage.get(), nullptr);
    EXPECT_TRUE(IsWindowVisible(engine.overlay.layerWindow));
}

TEST_F(TickTest, GlassLooksTheSameAfterMinimiseAndRestore) {
    const HWND target = createTarget(targetRect);
    TrackedWindow& record = recordAt(trackGlass(target));
    record.engine.darkEnabled = true;
    tickTimes(record, 3);
    const RECT area{300, 200, 800, 600};
    const sim::Image before = desk->screenshot().crop(area);
    ASSERT_NE(before, desk->compose(area, {record.engine.overlay.layerWindow})) << "the glass effect shows";

    minimiseAndTick(target, record, 3);
    EXPECT_EQ(desk->screenshot().crop(area), desk->compose(area, {record.engine.overlay.layerWindow}))
        << "nothing of the overlay shows while the target is minimised";
    restoreAndTick(target, record, 3);
    EXPECT_TRUE(record.engine.glassEnabled);
    EXPECT_EQ(desk->screenshot().crop(area), before);
}

TEST_F(TickTest, ResumedCaptureLeavesOutOverlaysAttachedWhileItWasSuspended) {
    const HWND first = createTarget(RECT{100, 100, 700, 500});
    TrackedWindow& a = recordAt(trackDark(first));
    tickTimes(a, 2);
    minimiseAndTick(first, a, 1);
    // A second window, overlapping the first, gets the dark effect meanwhile.
    const HWND second = createTarget(RECT{400, 300, 900, 700}, documentContent(), "other");
    TrackedWindow& b = recordAt(trackDark(second));
    tickTimes(b, 2);
    const HWND otherOverlay = b.engine.overlay.layerWindow;

    restoreAndTick(first, a, 2);
    ASSERT_TRUE(a.engine.engineAttached);
    const std::vector<HWND>& own = a.engine.mainCapture.exclusions;
    EXPECT_NE(std::find(own.begin(), own.end(), otherOverlay), own.end());
    const std::vector<HWND> applied = desk->filterList(a.engine.mainCapture.magnifierWindow);
    EXPECT_NE(std::find(applied.begin(), applied.end(), otherOverlay), applied.end())
        << "the Magnifier control of the resumed capture leaves the other overlay out";
}

TEST_F(TickTest, OverlayHiddenForDarkContentGetsNoSecondHideAndReturnsOnRestore) {
    const HWND target = createTarget(targetRect, sim::Content::solid(sim::bgra(12, 12, 16)));
    TrackedWindow& record = recordAt(trackDark(target));
    EffectEngine& engine = record.engine;
    desk->callLog().enable();
    tickTimes(record, 3);
    ASSERT_TRUE(engine.overlayHiddenDark) << "a dark target hides its overlay";
    const HWND overlay = engine.overlay.layerWindow;
    ASSERT_TRUE(showsWere(overlay, {SW_HIDE}));

    minimiseAndTick(target, record, 2);
    EXPECT_TRUE(showsWere(overlay, {SW_HIDE})) << "no extra hide while suspending";
    EXPECT_FALSE(engine.overlayHiddenDark);

    desk->window(target).restore();
    tick(record);
    EXPECT_TRUE(showsWere(overlay, {SW_HIDE, SW_SHOWNOACTIVATE}));
}

TEST_F(TickTest, UntrackWhileSuspendedDestroysTheKeptOverlay) {
    const auto [target, index, overlay] = suspendedDarkTarget(2);
    TrackedWindow& record = recordAt(index);
    ASSERT_TRUE(IsWindow(overlay));

    untrack(index);
    --effectCount;  // as the untrack path of the scheduler does for a vanished target
    EXPECT_FALSE(IsWindow(overlay));
    EXPECT_TRUE(overlayExclusions.empty());
    EXPECT_EQ(record.engine.overlay.layerWindow, nullptr);
    EXPECT_EQ(record.target, nullptr);
    EXPECT_TRUE(activeList.empty());
    expectNothingHeld("after untracking a suspended record");
}

TEST_F(TickTest, ReleaseWhileSuspendedDestroysTheKeptOverlay) {
    const HWND target = createTarget(targetRect);
    const int index = trackGlass(target);
    TrackedWindow& record = recordAt(index);
    record.engine.darkEnabled = true;
    tickTimes(record, 2);
    const HWND overlay = record.engine.overlay.layerWindow;
    desk->window(target).hide();
    tickTimes(record, 2);
    ASSERT_TRUE(IsWindow(overlay));

    releaseTracked(index);
    EXPECT_EQ(effectCount, 0);
    EXPECT_FALSE(IsWindow(overlay));
    EXPECT_FALSE(record.engine.glassEnabled);
    EXPECT_FALSE(record.engine.darkEnabled);
    EXPECT_TRUE(record.engine.backdropCapture.exclusions.empty());
    EXPECT_TRUE(record.engine.mainCapture.exclusions.empty());
    expectNothingHeld("after tearing down a suspended record");
}

TEST_F(TickTest, AttachWhileSuspendedReplacesTheKeptOverlay) {
    // The dark command may arrive while the target is minimised.
    const auto [target, index, kept] = suspendedDarkTarget(2);
    TrackedWindow& record = recordAt(index);
    ASSERT_FALSE(record.engine.engineAttached);

    trackDark(target);
    EXPECT_TRUE(record.engine.engineAttached);
    EXPECT_FALSE(IsWindow(kept));
    EXPECT_EQ(effectCount, 1);
    EXPECT_EQ(overlayExclusions, (std::vector<HWND>{record.engine.overlay.layerWindow}));

    restoreAndTick(target, record, 2);
    EXPECT_TRUE(IsWindowVisible(record.engine.overlay.layerWindow));
    switchEffectsOff(index);
    expectNothingHeld("after untracking");
}

TEST_F(TickTest, ResumeWithAFailingCaptureKeepsTheRecordSuspended) {
    const auto [target, index, overlay] = suspendedDarkTarget(1);
    TrackedWindow& record = recordAt(index);

    restoreWithFailingCapture(target, record);
    EXPECT_FALSE(record.engine.engineAttached);
    EXPECT_TRUE(IsWindow(overlay)) << "the kept overlay stays for the next resume";
    EXPECT_FALSE(IsWindowVisible(overlay));
    EXPECT_EQ(overlayExclusions, (std::vector<HWND>{overlay}));

    // Hidden and shown again: resumed.
    desk->window(target).minimise();
    tick(record);
    restoreAndTick(target, record, 2);
    EXPECT_TRUE(record.engine.engineAttached);
    EXPECT_TRUE(IsWindowVisible(overlay));
}

// After a failed resume the record stays live. A dark command then attaches
// a new overlay; the first tick must still resume the suspended glass, or the
// new overlay would never get a frame.
TEST_F(TickTest, ReattachAfterAFailedResumeRestartsGlassAtTheFirstTick) {
    const HWND target = createTarget(targetRect);
    const int index = trackGlass(target);
    TrackedWindow& record = recordAt(index);
    EffectEngine& engine = record.engine;
    tickTimes(record, 2);
    ASSERT_TRUE(engine.glassEnabled);
    minimiseAndTick(target, record, 1);
    restoreWithFailingCapture(target, record);
    ASSERT_FALSE(engine.engineAttached);
    ASSERT_TRUE(record.live);

    trackDark(target);
    ASSERT_TRUE(engine.engineAttached);
    EXPECT_FALSE(record.live) << "live again only from the first showable tick";
    desk->callLog().enable();
    tickTimes(record, 3);
    EXPECT_TRUE(record.live);
    EXPECT_TRUE(engine.glassEnabled);
    EXPECT_NE(engine.backdropCapture.hostWindow, nullptr) << "glass restarted";
    EXPECT_NE(engine.analyzer.backdropImage.get(), nullptr);
    EXPECT_GE(callsNamed("BitBlt"), 1) << "the new overlay shows a frame";
    EXPECT_TRUE(IsWindowVisible(engine.overlay.layerWindow));
    switchEffectsOff(index);
    expectNothingHeld("after untracking");
}

TEST_F(TickTest, AttachToAHiddenTargetHidesTheOverlayAtTheFirstTick) {
    sim::WindowOptions options;
    options.rect = RECT{300, 200, 800, 600};
    options.content = documentContent();
    options.visible = false;
    const HWND target = desk->app("target").createWindow(options);
    TrackedWindow& record = recordAt(trackDark(target));
    ASSERT_TRUE(record.engine.engineAttached);
    const HWND overlay = record.engine.overlay.layerWindow;
    tick(record);
    EXPECT_FALSE(IsWindowVisible(overlay)) << "no overlay over a window nobody sees";
    EXPECT_FALSE(record.engine.engineAttached);
    EXPECT_TRUE(record.engine.darkEnabled);
    EXPECT_EQ(desk->screenshot().crop(RECT{300, 200, 800, 600}),
              desk->compose(RECT{300, 200, 800, 600}, {overlay}));

    desk->window(target).showNoActivate();
    tickTimes(record, 2);
    EXPECT_TRUE(record.engine.engineAttached);
    EXPECT_TRUE(IsWindowVisible(overlay));
}

TEST_F(TickTest, EmptyFrameNeedsNoBuffersAndIsNoFailure) {
    const HWND target = createTarget(RECT{300, 200, 620, 440});
    TrackedWindow& record = recordAt(trackDark(target));
    EffectEngine& engine = record.engine;
    const int blocks = desk->counts().heapBlocks;
    EXPECT_EQ(engine.configureFrame(0, 0, nullptr), 0);
    EXPECT_EQ(engine.frameCopy.get(), nullptr);
    EXPECT_EQ(engine.analyzer.regionMask.get(), nullptr);
    EXPECT_LT(desk->counts().heapBlocks, blocks);
    // The next cycle sees the capture's buffer differ and sizes everything.
    tickTimes(record, 2);
    EXPECT_EQ(engine.analyzer.width, 320);
    EXPECT_NE(engine.frameCopy.get(), nullptr);
    EXPECT_NE(engine.analyzer.regionMask.get(), nullptr);
}

// The scheduler's untracking of a target that no longer exists.
void untrackVanished(int index) {
    untrackRecord(trackedWindows[static_cast<std::size_t>(index)]);
    activeList.erase(std::find(activeList.begin(), activeList.end(), index));
    --effectCount;
    refreshExclusions();
}

TEST_F(TickTest, DestroyedTargetIsReleasedWithoutLeaks) {
    const HWND target = createTarget(targetRect);
    const int index = trackGlass(target);
    tickTimes(recordAt(index), 2);
    desk->window(target).destroy();
    // Ticks that still come before the scheduler notices see a hidden target.
    tickTimes(recordAt(index), 2);
    ASSERT_FALSE(IsWindow(target));
    untrackVanished(index);
    EXPECT_EQ(effectCount, 0);
    EXPECT_TRUE(overlayExclusions.empty());
    EXPECT_EQ(recordAt(index).target, nullptr);
    expectNothingHeld("after untracking a destroyed target");
}

TEST_F(TickTest, DestroyedSuspendedTargetIsReleasedWithoutLeaks) {
    const HWND target = createTarget(targetRect);
    const int index = trackDark(target);
    tickTimes(recordAt(index), 2);
    minimiseAndTick(target, recordAt(index), 2);
    desk->window(target).destroy();
    untrackVanished(index);
    EXPECT_TRUE(overlayExclusions.empty());
    expectNothingHeld("after untracking a destroyed, suspended target");
}

TEST_F(TickTest, RepeatedCyclesLeaveNothingBehind) {
    const HWND first = createTarget(RECT{100, 100, 420, 340});
    const HWND second = createTarget(RECT{600, 300, 900, 560}, documentContent(), "other");
    for (int round = 0; round < 12; ++round) {
        const int a = trackDark(first);
        const int b = trackGlass(second);
        tickTimes(recordAt(a), 2);
        tickTimes(recordAt(b), 2);
        desk->window(first).minimise();
        desk->window(second).hide();
        tickTimes(recordAt(a), 2);
        tickTimes(recordAt(b), 2);
        desk->window(first).restore();
        desk->window(second).showNoActivate();
        tickTimes(recordAt(a), 2);
        tickTimes(recordAt(b), 2);
        ASSERT_TRUE(recordAt(a).engine.engineAttached) << "round " << round;
        ASSERT_TRUE(recordAt(b).engine.glassEnabled) << "round " << round;
        if (round % 3 == 0) {
            // Gone while suspended.
            desk->window(second).hide();
            tickTimes(recordAt(b), 1);
        }
        switchEffectsOff(a);
        if (round % 2 == 0) {
            recordAt(b).engine.stopGlass(true);
            switchEffectsOff(b);
        } else {
            untrack(b);
            --effectCount;
        }
        desk->window(second).showNoActivate();
        ASSERT_TRUE(activeList.empty()) << "round " << round;
        ASSERT_EQ(effectCount, 0) << "round " << round;
        ASSERT_TRUE(overlayExclusions.empty()) << "round " << round;
        expectNothingHeld("after a round of attach, suspend, resume and release");
    }
    EXPECT_EQ(trackedWindows.size(), 2u) << "freed slots are reused";
}

}  // namespace
}  // namespace kestra::testing
