// Placement and monitors: moves, resizes, maximised targets, monitor choice
// on multi-monitor desktops, and the following backdrop on a second monitor.
#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "tracking/tracking_scenario.h"

namespace kestra::testing {
namespace {

int callbackRemovals(sim::Desktop& desk, HWND magnifier) {
    int n = 0;
    for (const sim::CallEntry& e : desk.callLog().named("MagSetImageScalingCallback")) {
        n += (e.window == magnifier && e.code == 0) ? 1 : 0;
    }
    return n;
}

std::vector<RECT> overlayMoves(sim::Desktop& desk, HWND overlay) {
    std::vector<RECT> moves;
    for (const sim::CallEntry& e : desk.callLog().named("SetWindowPos")) {
        if (e.window == overlay) {
            EXPECT_EQ(e.code, 0x418);
            EXPECT_EQ(e.other, HWND_TOP);
            moves.push_back(e.rect);
        }
    }
    return moves;
}

// The backdrop image's middle pixel (B, G, R, A).
const std::uint8_t* backdropCentre(const EffectEngine& engine) {
    const int w = engine.backdropBuffer.width;
    const int h = engine.backdropBuffer.height;
    return engine.analyzer.backdropImage.get() + (static_cast<std::size_t>(h / 2) * w + w / 2) * 4;
}

class PlacementTest : public TrackingScenario {
  protected:
    // Tracks the target with the dark effect and runs `ticks` cycles.
    TrackedWindow& trackDarkAndTick(HWND target, int ticks) {
        TrackedWindow& record = recordAt(trackDark(target));
        tickTimes(record, ticks);
        return record;
    }

    struct Watched {
        HWND overlay;
        HWND magnifier;
    };

    // Turns the call log on; returns the record's overlay and main capture
    // control, whose calls the tests then count.
    Watched watchCalls(const TrackedWindow& record) {
        desk->callLog().enable();
        return {record.engine.overlay.layerWindow, record.engine.mainCapture.magnifierWindow};
    }
};

TEST_F(PlacementTest, MoveByOnePixelFollowsWithoutResizing) {
    const HWND target = createTarget(RECT{300, 200, 800, 600});
    TrackedWindow& record = trackDarkAndTick(target, 2);
    const int dibs = desk->counts().dibSections;
    const HBITMAP surface = record.engine.overlay.bitmap;
    const auto [overlay, magnifier] = watchCalls(record);

    desk->window(target).moveBy(1, 0);
    tick(record);
    const std::vector<RECT> moves = overlayMoves(*desk, overlay);
    ASSERT_EQ(moves.size(), 1u);
    EXPECT_TRUE(sameRect(moves[0], RECT{301, 200, 500, 400})) << describe(moves[0]);
    EXPECT_EQ(callbackRemovals(*desk, magnifier), 0) << "no capture resize";
    EXPECT_EQ(record.engine.overlay.bitmap, surface) << "no new surface";
    EXPECT_EQ(desk->counts().dibSections, dibs);
    EXPECT_TRUE(sameRect(desk->window(overlay).rect(), RECT{301, 200, 801, 600}));

    // An unchanged target costs no follow-up at all.
    desk->callLog().clear();
    tick(record);
    EXPECT_TRUE(overlayMoves(*desk, overlay).empty());
    EXPECT_EQ(callsNamed("EnumDisplayMonitors"), 0);
}

TEST_F(PlacementTest, ResizeByOnePixelFollowsAndResizesTheBuffers) {
    const HWND target = createTarget(RECT{300, 200, 800, 600});
    TrackedWindow& record = trackDarkAndTick(target, 2);
    const auto [overlay, magnifier] = watchCalls(record);

    desk->window(target).resize(501, 400);
    tick(record);
    EXPECT_EQ(overlayMoves(*desk, overlay).size(), 1u);
    EXPECT_EQ(callbackRemovals(*desk, magnifier), 1);
    EXPECT_EQ(record.engine.overlay.bitmapInfo.bmiHeader.biWidth, 501);
    const EffectEngine& engine = record.engine;
    EXPECT_EQ(engine.analyzer.width, 501);
    EXPECT_EQ(engine.overlay.width, 501u);
    EXPECT_EQ(engine.analyzer.byteSize, 501 * 400 * 4);
    EXPECT_EQ(engine.overlay.byteSize, 501 * 400 * 4);
    EXPECT_EQ(engine.analyzer.frame, engine.mainCapture.frameBits);
    EXPECT_EQ(engine.mainCapture.frameHeader.width, 501u);
    EXPECT_EQ(desk->counts().dibSections, 1) << "one surface, the old one released";

    // What a person sees still covers the whole resized target.
    tickTimes(record, 2);
    EXPECT_TRUE(sameRect(desk->window(overlay).rect(), RECT{300, 200, 801, 600}));
}

TEST_F(PlacementTest, SameResizeFoundByAttachOnlyFollows) {
    const HWND target = createTarget(RECT{300, 200, 800, 600});
    TrackedWindow& record = trackDarkAndTick(target, 2);
    const auto [overlay, magnifier] = watchCalls(record);

    desk->window(target).resize(501, 400);
    followPlacement(record, false);
    EXPECT_EQ(overlayMoves(*desk, overlay).size(), 1u);
    EXPECT_EQ(callbackRemovals(*desk, magnifier), 0);
    EXPECT_EQ(record.engine.overlay.bitmapInfo.bmiHeader.biWidth, 500);
    EXPECT_EQ(record.engine.analyzer.width, 500);
    EXPECT_TRUE(sameRect(record.previousRect, RECT{300, 200, 801, 600}));
}

TEST_F(PlacementTest, FirstCheckOfANewRecordAlwaysUpdates) {
    const HWND target = createTarget(RECT{0, 0, 0, 0});
    TrackedWindow& record = recordAt(addTracked(target));
    record.captureRect = RECT{5, 5, 9, 9};
    followPlacement(record, false);
    EXPECT_TRUE(sameRect(record.captureRect, RECT{0, 0, 0, 0})) << describe(record.captureRect);
    EXPECT_TRUE(sameRect(record.previousRect, RECT{0, 0, 0, 0}));
    EXPECT_TRUE(sameRect(record.monitorRect, RECT{0, 0, 1920, 1080}));
}

TEST_F(PlacementTest, MaximisedTargetTakesTheMonitorsLeftAndRight) {
    const HWND target = createTarget(RECT{300, 200, 800, 600});
    TrackedWindow& record = trackDarkAndTick(target, 2);
    desk->window(target).maximise();
    tickTimes(record, 2);
    const RECT window = desk->window(target).rect();
    ASSERT_LT(window.left, 0) << "the maximised frame reaches beyond the monitor: " << describe(window);
    EXPECT_TRUE(sameRect(record.windowRect, window));
    EXPECT_EQ(record.captureRect.left, 0);
    EXPECT_EQ(record.captureRect.right, 1920);
    EXPECT_EQ(record.captureRect.top, window.top);
    EXPECT_EQ(record.captureRect.bottom, window.bottom);
    EXPECT_TRUE(sameRect(desk->window(record.engine.overlay.layerWindow).rect(), record.captureRect));
    EXPECT_EQ(record.engine.analyzer.width, 1920);
}

TEST_F(PlacementTest, NoMonitorEnumeratedFallsBackToTheDesktopWindow) {
    desk->failAlways("EnumDisplayMonitors");
    enumerateMonitors();
    ASSERT_EQ(monitorRects.size(), 1u);
    RECT desktop{};
    ASSERT_TRUE(GetWindowRect(GetDesktopWindow(), &desktop));
    EXPECT_TRUE(sameRect(monitorRects[0], desktop));
    desk->clearFaults();
}

class TwoMonitorTest : public PlacementTest {
  protected:
    sim::DesktopOptions desktopOptions() override {
        sim::DesktopOptions options;
        options.extraMonitors.push_back(RECT{1920, 0, 3840, 1080});
        // Red wallpaper on the first monitor, blue on the second.
        options.wallpaper = sim::Content::painter([](sim::Image& img) {
            img.fill(sim::bgra(200, 40, 40));
            img.fillRect(RECT{1920, 0, img.width, img.height}, sim::bgra(40, 40, 200));
        });
        return options;
    }
};

TEST_F(TwoMonitorTest, MonitorsAreListedInEnumerationOrder) {
    enumerateMonitors();
    ASSERT_EQ(monitorRects.size(), 2u);
    EXPECT_TRUE(sameRect(monitorRects[0], RECT{0, 0, 1920, 1080}));
    EXPECT_TRUE(sameRect(monitorRects[1], RECT{1920, 0, 3840, 1080}));
}

TEST_F(TwoMonitorTest, WindowCentredOnTheSharedEdgeBelongsToTheFirst) {
    TrackedWindow& onEdge = recordAt(addTracked(createTarget(RECT{1820, 300, 2020, 500})));
    followPlacement(onEdge, false);
    EXPECT_TRUE(sameRect(onEdge.monitorRect, RECT{0, 0, 1920, 1080})) << describe(onEdge.monitorRect);

    TrackedWindow& right =
        recordAt(addTracked(createTarget(RECT{1822, 300, 2020, 500}, documentContent(), "b")));
    followPlacement(right, false);
    EXPECT_TRUE(sameRect(right.monitorRect, RECT{1920, 0, 3840, 1080})) << describe(right.monitorRect);

    // A centre outside every monitor takes the first.
    TrackedWindow& below =
        recordAt(addTracked(createTarget(RECT{2500, 1500, 2700, 1700}, documentContent(), "c")));
    followPlacement(below, false);
    EXPECT_TRUE(sameRect(below.monitorRect, RECT{0, 0, 1920, 1080})) << describe(below.monitorRect);
}

TEST_F(TwoMonitorTest, MaximisedOnTheSecondMonitorUsesItsEdges) {
    const HWND target = createTarget(RECT{2200, 200, 2800, 600});
    TrackedWindow& record = trackDarkAndTick(target, 1);
    desk->window(target).maximise();
    tickTimes(record, 1);
    EXPECT_EQ(record.captureRect.left, 1920);
    EXPECT_EQ(record.captureRect.right, 3840);
    EXPECT_TRUE(sameRect(record.monitorRect, RECT{1920, 0, 3840, 1080}));
}

// While a glass target moves, its backdrop is cut out of one blurred capture
// of its monitor. On a monitor whose left edge is at x 1920 that cut must
// come from the target's place on that monitor: here the blue wallpaper.
TEST_F(TwoMonitorTest, FollowingBackdropOnTheSecondMonitorShowsWhatLiesBehind) {
    const HWND target = createTarget(RECT{2400, 300, 2800, 600});
    TrackedWindow& record = recordAt(trackGlass(target));
    EffectEngine& engine = record.engine;
    ASSERT_TRUE(engine.glassEnabled);
    tickTimes(record, 3);
    desk->window(target).moveBy(20, 10);
    tick(record);
    ASSERT_TRUE(engine.monitorBackdropActive);
    EXPECT_TRUE(sameRect(engine.savedMonitorRect, RECT{1920, 0, 3840, 1080}))
        << describe(engine.savedMonitorRect);
    tick(record);
    ASSERT_NE(engine.analyzer.backdropImage.get(), nullptr);
    // The middle of the backdrop image: blue wallpaper, toned by 0.75.
    const std::uint8_t* centre = backdropCentre(engine);
    EXPECT_NEAR(centre[0], 150, 3) << "blue";
    EXPECT_NEAR(centre[1], 30, 3) << "green";
    EXPECT_NEAR(centre[2], 30, 3) << "red";
}

TEST_F(PlacementTest, FollowingBackdropOnThePrimaryMonitorIsTheTargetsPart) {
    const HWND target = createTarget(RECT{400, 300, 800, 600});
    TrackedWindow& record = recordAt(trackGlass(target));
    EffectEngine& engine = record.engine;
    tickTimes(record, 3);
    desk->window(target).moveBy(5, 0);
    tick(record);
    ASSERT_TRUE(engine.monitorBackdropActive);
    EXPECT_TRUE(sameRect(engine.savedMonitorRect, RECT{0, 0, 1920, 1080}));
    EXPECT_EQ(engine.monitorBuffer.frame, engine.monitorCapture.frameBits);
    EXPECT_EQ(engine.monitorBuffer.byteSize, 1920 * 1080 * 4);
    tick(record);
    // The default wallpaper (32, 64, 112) toned by 0.75 behind the target.
    const std::uint8_t* centre = backdropCentre(engine);
    EXPECT_NEAR(centre[0], 84, 2) << "blue";
    EXPECT_NEAR(centre[1], 48, 2) << "green";
    EXPECT_NEAR(centre[2], 24, 2) << "red";
}

}  // namespace
}  // namespace kestra::testing
