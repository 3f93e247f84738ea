// The effect engine's lifecycle on the simulated desktop: attach, glass start
// and stop (also failing), settings that re-arm work, following and the
// release of everything.
#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <vector>

#include "backdrop/backdrop_buffer.h"
#include "tracking/tracking_scenario.h"

namespace kestra::testing {
namespace {

using LifecycleTest = TrackingScenario;

TEST_F(LifecycleTest, AttachOnAnAttachedEngineChangesNothing) {
    TrackedWindow& record = recordAt(trackDark(createTarget(RECT{200, 200, 600, 500})));
    EffectEngine& engine = record.engine;
    const HWND overlay = engine.overlay.layerWindow;
    const std::uint8_t* copy = engine.frameCopy.get();
    const sim::Counts before = desk->counts();
    EXPECT_EQ(engine.attachEngine(true), AttachResult::attached);
    EXPECT_EQ(engine.attachEngine(false), AttachResult::attached);
    EXPECT_EQ(engine.overlay.layerWindow, overlay);
    EXPECT_EQ(engine.frameCopy.get(), copy);
    EXPECT_EQ(desk->counts().helperWindows, before.helperWindows);
    EXPECT_EQ(desk->counts().heapBlocks, before.heapBlocks);
}

TEST_F(LifecycleTest, SetContentOpacityStoresItsComplementAndReArmsTheTest) {
    EffectEngine& engine = recordAt(addTracked(createTarget(RECT{200, 200, 600, 500}))).engine;
    engine.lastDarknessTest = 12345;
    engine.setContentOpacity(0.2);
    EXPECT_FLOAT_EQ(engine.analyzer.contentOpacity, 0.2f);
    EXPECT_FLOAT_EQ(engine.analyzer.contentOpacityComplement, 1.0f - 0.2f);
    EXPECT_EQ(engine.analyzer.contentOpacityHigh, 1) << "exactly 0.2 counts as high";
    EXPECT_EQ(engine.lastDarknessTest, -2000);

    engine.setContentOpacity(0.19);
    EXPECT_EQ(engine.analyzer.contentOpacityHigh, 0);
    engine.lastDarknessTest = 777;
    engine.setContentOpacity(-1.0);
    EXPECT_FLOAT_EQ(engine.analyzer.contentOpacity, 0.19f) << "-1 re-arms only";
    EXPECT_EQ(engine.lastDarknessTest, -2000);
}

TEST_F(LifecycleTest, StartGlassCreatesTheBackdropAndEntersIdle) {
    TrackedWindow& record = recordAt(trackDark(createTarget(RECT{200, 200, 600, 500})));
    EffectEngine& engine = record.engine;
    engine.lastDarknessTest = 999;
    ASSERT_EQ(engine.startGlass(), GlassStartResult::started);
    EXPECT_TRUE(engine.glassEnabled);
    EXPECT_TRUE(engine.backdropIdle);
    EXPECT_FALSE(engine.backdropRecomposed);
    EXPECT_EQ(engine.lastDarknessTest, -2000);
    EXPECT_NE(engine.backdropCapture.hostWindow, nullptr);
    EXPECT_NE(engine.monitorCapture.hostWindow, nullptr);
    EXPECT_EQ(engine.backdropCapture.exclusions,
              (std::vector<HWND>{engine.targetWindow, engine.overlay.layerWindow}));
    EXPECT_EQ(engine.monitorCapture.exclusions, engine.backdropCapture.exclusions);
    EXPECT_EQ(engine.backdropCapture.filterMode, FilterMode::windowsInFront);
    EXPECT_EQ(engine.backdropBuffer.width, 400);
    EXPECT_EQ(engine.backdropBuffer.height, 300);
    EXPECT_EQ(engine.backdropBuffer.byteSize, 400 * 300 * 4);
    EXPECT_NE(engine.analyzer.backdropImage.get(), nullptr);
    EXPECT_NE(engine.analyzer.backgroundColourTable.get(), nullptr);
    EXPECT_EQ(engine.analyzer.recolourMask, engine.analyzer.regionMask.get());
    EXPECT_TRUE(sameRect(engine.savedMonitorRect, record.monitorRect));
    // The backdrop copy holds the capture as taken, the image is toned.
    EXPECT_EQ(std::memcmp(engine.backdropCopy.get(),
                          desk->compose(record.captureRect, {engine.targetWindow, engine.overlay.layerWindow})
                              .pixels.data(),
                          400 * 300 * 4),
              0);
}

TEST_F(LifecycleTest, StartGlassTwiceKeepsOneSetOfResources) {
    TrackedWindow& record = recordAt(trackDark(createTarget(RECT{200, 200, 600, 500})));
    EffectEngine& engine = record.engine;
    ASSERT_EQ(engine.startGlass(), GlassStartResult::started);
    const sim::Counts once = desk->counts();
    engine.wallpaperOnlyBackdrop = true;
    engine.backdropIdle = false;
    ASSERT_EQ(engine.startGlass(), GlassStartResult::started);
    const sim::Counts twice = desk->counts();
    EXPECT_EQ(twice.helperWindows, once.helperWindows);
    EXPECT_EQ(twice.heapBlocks, once.heapBlocks);
    EXPECT_EQ(engine.backdropCapture.filterMode, FilterMode::allWindows) << "filter modes re-applied";
    EXPECT_EQ(engine.monitorCapture.filterMode, FilterMode::allWindows);
    EXPECT_TRUE(engine.backdropIdle);
    engine.stopGlass(true);
    EXPECT_FALSE(engine.glassEnabled);
    const sim::Counts stopped = desk->counts();
    EXPECT_LT(stopped.helperWindows, once.helperWindows);
    EXPECT_EQ(engine.analyzer.backgroundColourTable.get(), nullptr);
    EXPECT_EQ(engine.analyzer.recolourMask, nullptr);
    EXPECT_NE(engine.analyzer.regionMask.get(), nullptr) << "the region mask stays with the frame";
}

TEST_F(LifecycleTest, StartGlassShowsAnOverlayHiddenForDarkContent) {
    TrackedWindow& record = recordAt(trackDark(createTarget(RECT{200, 200, 600, 500})));
    EffectEngine& engine = record.engine;
    ShowWindow(engine.overlay.layerWindow, SW_HIDE);
    engine.overlayHiddenDark = true;
    ASSERT_EQ(engine.startGlass(), GlassStartResult::started);
    EXPECT_FALSE(engine.overlayHiddenDark);
    EXPECT_TRUE(IsWindowVisible(engine.overlay.layerWindow));
}

// The wallpaper-only command stores its exclusions also while glass is off;
// the slot may then go to another window, whose glass must leave out its own
// target and overlay, not the earlier ones.
TEST_F(LifecycleTest, StartGlassExcludesTheCurrentTargetAfterExclusionsStoredWithoutGlass) {
    const HWND first = createTarget(RECT{100, 100, 500, 400});
    const int index = trackDark(first);
    tickTimes(recordAt(index), 2);
    EffectEngine& engine = recordAt(index).engine;
    const HWND firstLayer = engine.overlay.layerWindow;
    engine.wallpaperOnlyBackdrop = false;
    engine.assignBackdropExclusions();
    engine.refreshGlass();
    ASSERT_EQ(engine.backdropCapture.exclusions, (std::vector<HWND>{first, firstLayer}));
    switchEffectsOff(index);

    const HWND second = createTarget(RECT{600, 100, 1000, 400}, documentContent(), "other");
    desk->runFor(20);
    ASSERT_EQ(trackGlass(second), index) << "the free slot is reused";
    ASSERT_TRUE(engine.glassEnabled);
    const std::vector<HWND> expected{second, engine.overlay.layerWindow};
    EXPECT_EQ(engine.backdropCapture.exclusions, expected);
    EXPECT_EQ(engine.monitorCapture.exclusions, expected);
    // The backdrop is what lies behind the new target, without the target.
    EXPECT_EQ(std::memcmp(engine.backdropCopy.get(),
                          desk->compose(recordAt(index).captureRect, expected).pixels.data(), 400 * 300 * 4),
              0);
}

TEST_F(LifecycleTest, StopGlassWithoutGlassReleasesNothing) {
    TrackedWindow& record = recordAt(trackDark(createTarget(RECT{200, 200, 600, 500})));
    EffectEngine& engine = record.engine;
    ASSERT_EQ(engine.analyzer.allocateGlassBuffers(), 0);
    engine.stopGlass(true);
    EXPECT_NE(engine.analyzer.backgroundColourTable.get(), nullptr);
    EXPECT_NE(engine.analyzer.visitedMask.get(), nullptr);
    engine.analyzer.releaseGlassBuffers();
}

// Each failing step of startGlass leaves glassEnabled clear and nothing of
// the glass resources behind.
struct GlassFailure {
    const char* name;
    sim::Fault fault;
    GlassStartResult status;
};

void PrintTo(const GlassFailure& failure, std::ostream* os) {
    *os << failure.name;
}

class StartGlassFailureTest : public TrackingScenario, public ::testing::WithParamInterface<GlassFailure> {};

TEST_P(StartGlassFailureTest, ReleasesWhatItCreated) {
    TrackedWindow& record = recordAt(trackDark(createTarget(RECT{200, 200, 600, 500})));
    EffectEngine& engine = record.engine;
    const sim::Counts before = desk->counts();
    desk->addFault(GetParam().fault);
    EXPECT_EQ(engine.startGlass(), GetParam().status);
    desk->clearFaults();
    EXPECT_FALSE(engine.glassEnabled);
    EXPECT_EQ(engine.backdropCapture.hostWindow, nullptr);
    EXPECT_EQ(engine.monitorCapture.hostWindow, nullptr);
    EXPECT_EQ(engine.analyzer.backdropImage.get(), nullptr);
    EXPECT_EQ(engine.backdropCopy.get(), nullptr);
    EXPECT_EQ(engine.analyzer.backgroundColourTable.get(), nullptr);
    const sim::Counts after = desk->counts();
    EXPECT_EQ(after.helperWindows, before.helperWindows);
    EXPECT_EQ(after.heapBlocks, before.heapBlocks);
    // The dark cycle goes on, and a later start succeeds.
    tickTimes(record, 2);
    EXPECT_TRUE(engine.engineAttached);
    EXPECT_EQ(engine.startGlass(), GlassStartResult::started);
    tickTimes(record, 2);
    EXPECT_TRUE(engine.glassEnabled);
}

sim::Fault fault(const char* function, const char* className = "", std::size_t minBytes = 0) {
    sim::Fault f;
    f.function = function;
    f.className = className;
    f.minBytes = minBytes;
    return f;
}

INSTANTIATE_TEST_SUITE_P(
    EachStep, StartGlassFailureTest,
    ::testing::Values(GlassFailure{"BackdropHost", fault("CreateWindowExA", "KESTRAHELPER"),
                                   GlassStartResult::noBackdropCapture},
                      GlassFailure{"FirstBackdropFrame", fault("MagSetWindowSource"),
                                   GlassStartResult::noBackdropFrame},
                      GlassFailure{"ColourTable", fault("HeapAlloc", "", kColourTableBytes),
                                   GlassStartResult::noGlassBuffers}),
    [](const ::testing::TestParamInfo<GlassFailure>& param) { return std::string(param.param.name); });

TEST_F(LifecycleTest, FollowTargetWithoutGlassOnlyMovesTheOverlay) {
    const HWND target = createTarget(RECT{200, 200, 600, 500});
    TrackedWindow& record = recordAt(trackDark(target));
    EffectEngine& engine = record.engine;
    desk->callLog().enable();
    record.captureRect = RECT{210, 220, 610, 520};
    engine.followTarget();
    EXPECT_TRUE(sameRect(desk->window(engine.overlay.layerWindow).rect(), RECT{210, 220, 610, 520}));
    EXPECT_FALSE(engine.monitorBackdropActive);
    EXPECT_EQ(engine.lastFollow, 0);
    EXPECT_EQ(callsNamed("MagSetWindowSource"), 0);
}

TEST_F(LifecycleTest, FollowTargetOfAMaximisedTargetTakesNoMonitorCapture) {
    const HWND target = createTarget(RECT{200, 200, 600, 500});
    TrackedWindow& record = recordAt(trackGlass(target));
    EffectEngine& engine = record.engine;
    ASSERT_TRUE(engine.glassEnabled);
    desk->runFor(50);
    desk->callLog().enable();
    record.placement.showCmd = SW_SHOWMAXIMIZED;
    record.captureRect = RECT{0, 0, 1920, 1080};
    engine.followTarget();
    EXPECT_FALSE(engine.monitorBackdropActive);
    EXPECT_EQ(callsNamed("MagSetWindowSource"), 0);
    EXPECT_EQ(engine.lastFollow, static_cast<std::int32_t>(nowMs()));
    EXPECT_EQ(engine.savedPlacement.showCmd, static_cast<UINT>(SW_SHOWMAXIMIZED));
    EXPECT_TRUE(sameRect(desk->window(engine.overlay.layerWindow).rect(), RECT{0, 0, 1920, 1080}));

    // Restored from maximised: the move after it still takes none.
    record.placement.showCmd = SW_SHOWNORMAL;
    record.captureRect = RECT{200, 200, 600, 500};
    engine.followTarget();
    EXPECT_FALSE(engine.monitorBackdropActive);
    // The next one does.
    engine.followTarget();
    EXPECT_TRUE(engine.monitorBackdropActive);
}

TEST_F(LifecycleTest, SuspendDuringFollowingEndsTheFollowingMode) {
    const HWND target = createTarget(RECT{200, 200, 600, 500});
    TrackedWindow& record = recordAt(trackGlass(target));
    EffectEngine& engine = record.engine;
    tickTimes(record, 2);
    desk->window(target).moveBy(10, 0);
    tick(record);
    ASSERT_TRUE(engine.monitorBackdropActive);
    desk->window(target).minimise();
    tick(record);
    EXPECT_FALSE(engine.monitorBackdropActive);
    EXPECT_EQ(engine.monitorBuffer.frame, nullptr);
    // Back within the following second: the glass cycle must not read the
    // destroyed monitor frame.
    desk->window(target).restore();
    tickTimes(record, 3);
    EXPECT_TRUE(engine.glassEnabled);
}

TEST_F(LifecycleTest, ResizeUnderGlassResizesTheBackdropToo) {
    const HWND target = createTarget(RECT{200, 200, 600, 500});
    TrackedWindow& record = recordAt(trackGlass(target));
    EffectEngine& engine = record.engine;
    tickTimes(record, 2);
    desk->window(target).resize(431, 287);
    tickTimes(record, 2);
    EXPECT_EQ(engine.analyzer.width, 431);
    EXPECT_EQ(engine.backdropBuffer.width, 431);
    EXPECT_EQ(engine.backdropBuffer.height, 287);
    EXPECT_EQ(engine.backdropBuffer.byteSize, 431 * 287 * 4);
    EXPECT_NE(engine.analyzer.backdropImage.get(), nullptr);
    EXPECT_EQ(engine.analyzer.recolourMask, engine.analyzer.regionMask.get());
    EXPECT_NE(engine.analyzer.backgroundColourTable.get(), nullptr);
    EXPECT_EQ(engine.backdropBuffer.frame, engine.backdropCapture.frameBits);
}

TEST_F(LifecycleTest, ComposeBackdropWithANegativeRadiusDoesNotBlur) {
    TrackedWindow& record = recordAt(trackGlass(createTarget(RECT{200, 200, 600, 500})));
    EffectEngine& engine = record.engine;
    ASSERT_TRUE(engine.glassEnabled);
    engine.blurRadius = -5;
    engine.backdropBuffer.backdropBrightness = 1.0f;
    engine.composeBackdrop();
    EXPECT_EQ(std::memcmp(engine.analyzer.backdropImage.get(), engine.backdropBuffer.frame,
                          static_cast<std::size_t>(engine.backdropBuffer.byteSize)),
              0);
}

TEST_F(LifecycleTest, RefreshGlassWithoutGlassDoesNothing) {
    TrackedWindow& record = recordAt(trackDark(createTarget(RECT{200, 200, 600, 500})));
    EffectEngine& engine = record.engine;
    desk->callLog().enable();
    engine.refreshGlass();
    EXPECT_FALSE(engine.backdropRecomposed);
    EXPECT_EQ(callsNamed("MagSetWindowSource"), 0);
}

TEST_F(LifecycleTest, RefreshGlassRecomposesWithNewSettings) {
    TrackedWindow& record = recordAt(trackGlass(createTarget(RECT{200, 200, 600, 500})));
    EffectEngine& engine = record.engine;
    engine.blurRadius = 0;
    engine.backdropBuffer.backdropBrightness = 0.5f;
    engine.refreshGlass();
    EXPECT_TRUE(engine.backdropRecomposed);
    // Unblurred and halved: each colour byte is half of the captured one.
    const std::uint8_t* captured = engine.backdropCopy.get();
    const std::uint8_t* image = engine.analyzer.backdropImage.get();
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(image[i], static_cast<std::uint8_t>(static_cast<float>(captured[i]) * 0.5f))
            << "byte " << i;
    }
}

TEST_F(LifecycleTest, FrameCopyAllocationFailureFailsAttach) {
    // A frame larger than a colour table, so that only the frame copy fails.
    const HWND target = createTarget(RECT{0, 0, 1920, 2300});
    sim::Fault big = fault("HeapAlloc", "", 1920u * 2300u * 4u);
    desk->addFault(big);
    const int index = addTracked(target);
    EXPECT_EQ(attach(recordAt(index)), -1);
    EXPECT_FALSE(recordAt(index).engine.engineAttached);
    EXPECT_EQ(recordAt(index).engine.frameCopy.get(), nullptr);
    expectNothingHeld("after a failed frame copy");
}

TEST_F(LifecycleTest, BackdropCopyAllocationFailureFailsStartGlass) {
    // A backdrop larger than a colour table, so that only its copies fail.
    TrackedWindow& record = recordAt(trackDark(createTarget(RECT{0, 0, 1920, 2300})));
    EffectEngine& engine = record.engine;
    ASSERT_TRUE(engine.engineAttached);
    const sim::Counts before = desk->counts();
    desk->addFault(fault("HeapAlloc", "", 1920u * 2300u * 4u));
    EXPECT_EQ(engine.startGlass(), GlassStartResult::noGlassBuffers);
    desk->clearFaults();
    EXPECT_FALSE(engine.glassEnabled);
    EXPECT_EQ(engine.backdropCopy.get(), nullptr);
    EXPECT_EQ(engine.analyzer.backdropImage.get(), nullptr);
    EXPECT_EQ(desk->counts().heapBlocks, before.heapBlocks);
    EXPECT_EQ(desk->counts().helperWindows, before.helperWindows);
}

}  // namespace
}  // namespace kestra::testing
