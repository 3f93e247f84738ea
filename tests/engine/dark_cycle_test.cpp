// Scenario tests of the dark frame cycle on the simulated desktop: what the
// overlay shows over a target, when it is hidden for dark content, and when a
// still target presents nothing.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "cycle_scenario.h"

namespace kestra::testing {
namespace {

constexpr sim::Colour kPaper = sim::bgra(245, 245, 242);
constexpr sim::Colour kInk = sim::bgra(20, 24, 30);
constexpr sim::Colour kDarkPaper = sim::bgra(28, 30, 34);

// A light document: a few lines of dark "text" above and below a photo-like
// picture, which sits well inside the scan margins.
struct Document {
    RECT picture{120, 140, 440, 380};  // in window coordinates
    sim::Image photo = noiseImage(320, 240, 7, kPaper);

    sim::Content content() const {
        const sim::Image img = photo;
        const RECT pic = picture;
        return sim::Content::painter([img, pic](sim::Image& canvas) {
            canvas.fill(kPaper);
            for (int line = 0; line < 3; ++line) {
                canvas.fillRect(RECT{40, 30 + 30 * line, 700, 32 + 30 * line}, kInk);
            }
            for (int line = 0; line < 2; ++line) {
                canvas.fillRect(RECT{40, 450 + 30 * line, 600, 452 + 30 * line}, kInk);
            }
            canvas.draw(img, pic.left, pic.top);
        });
    }
};

bool inside(const RECT& r, int x, int y) {
    return x >= r.left && x < r.right && y >= r.top && y < r.bottom;
}

// Compares the overlay with the target: colour channels inverted outside the
// kept rectangle, everything unchanged inside it and on the last two rows,
// which the passes never touch. Returns a description of the first mismatches.
std::string compareInverted(const sim::Image& shown, const sim::Image& target, const RECT& kept) {
    std::string report;
    int mismatches = 0;
    if (shown.width != target.width || shown.height != target.height) {
        return "size differs";
    }
    for (int y = 0; y < target.height; ++y) {
        for (int x = 0; x < target.width; ++x) {
            const sim::Colour t = target.pixel(x, y);
            const bool untouched = inside(kept, x, y) || y >= target.height - 2;
            const sim::Colour want = untouched ? t : ((t & 0xFF000000u) | (~t & 0x00FFFFFFu));
            if (shown.pixel(x, y) != want) {
                if (++mismatches <= 5) {
                    report += "(" + std::to_string(x) + "," + std::to_string(y) + ") ";
                }
            }
        }
    }
    if (mismatches > 0) {
        report += std::to_string(mismatches) + " pixels differ";
    }
    return report;
}

using DarkCycleScenario = CycleScenario;

TEST_F(DarkCycleScenario, LightDocumentIsInvertedExceptItsPicture) {
    const Document doc;
    const HWND target = createWindow(RECT{200, 150, 1000, 750}, doc.content());
    TrackedWindow& record = trackDark(target);
    tick(record);

    const EffectEngine& engine = record.engine;
    ASSERT_TRUE(engine.engineAttached);
    EXPECT_FALSE(engine.overlayHiddenDark);
    EXPECT_TRUE(sameRect(desk->window(engine.overlay.layerWindow).rect(), desk->window(target).rect()));
    EXPECT_TRUE(desk->window(engine.overlay.layerWindow).visible());

    const sim::Image target0 = targetShot(record);
    EXPECT_EQ(compareInverted(overlayShot(record), target0, doc.picture), "");
    // The picture is shown byte for byte as the window has it.
    EXPECT_EQ(overlayShot(record).crop(doc.picture), target0.crop(doc.picture));
}

TEST_F(DarkCycleScenario, DarkWindowHidesTheOverlayUntilItTurnsLight) {
    const HWND target = createWindow(RECT{300, 200, 900, 600}, sim::Content::solid(kDarkPaper));
    TrackedWindow& record = trackDark(target);
    const HWND layer = record.engine.overlay.layerWindow;
    const HWND foreground = desk->foregroundWindow();
    desk->callLog().enable();

    tick(record);
    EXPECT_TRUE(record.engine.overlayHiddenDark);
    EXPECT_FALSE(desk->window(layer).visible());
    EXPECT_TRUE(showsWere(layer, {SW_HIDE}));
    EXPECT_EQ(blits(), 0);
    // A person sees the dark window itself.
    EXPECT_EQ(overlayShot(record), targetShot(record));

    // Turning light is noticed at the next darkness test only, 2000 ms on.
    const std::int32_t tested = record.engine.lastDarknessTest;
    desk->window(target).setContent(sim::Content::solid(kPaper));
    desk->runFor(100);
    tick(record);
    EXPECT_TRUE(record.engine.overlayHiddenDark);
    EXPECT_EQ(blits(), 0);

    // A still target keeps its last decision: the test waits for a cycle
    // whose frame changed or whose colour learning ran.
    desk->runUntil(desk->now() + (tested + 2001 - nowMs()));
    tick(record);
    EXPECT_TRUE(record.engine.overlayHiddenDark);
    EXPECT_EQ(blits(), 0);

    desk->runUntil(desk->now() + (record.engine.lastColourLearning + 2500 - nowMs()));
    tick(record);
    EXPECT_FALSE(record.engine.overlayHiddenDark);
    EXPECT_TRUE(showsWere(layer, {SW_HIDE, SW_SHOWNOACTIVATE}));
    EXPECT_EQ(blits(), 1) << "the cycle that shows the overlay presents at once";
    EXPECT_TRUE(desk->window(layer).visible());
    EXPECT_EQ(desk->foregroundWindow(), foreground) << "showing the overlay never activates it";
    EXPECT_EQ(compareInverted(overlayShot(record), targetShot(record), RECT{0, 0, 0, 0}), "");
}

TEST_F(DarkCycleScenario, StillWindowPresentsOnlyWhenColourLearningFallsDue) {
    const Document doc;
    const HWND target = createWindow(RECT{100, 100, 900, 700}, doc.content());
    TrackedWindow& record = trackDark(target);
    desk->callLog().enable();

    tick(record);
    ASSERT_EQ(blits(), 1) << "the first cycle after attach learns colours and presents";
    const std::int32_t learned = record.engine.lastColourLearning;
    const sim::Image first = overlayShot(record);

    // Up to 2499 ms after the learning, a still target costs a comparison only.
    while (nowMs() - learned < 2400) {
        desk->runFor(100);
        tick(record);
    }
    desk->runUntil(desk->now() + (learned + 2499 - nowMs()));
    tick(record);
    EXPECT_EQ(blits(), 1);
    EXPECT_EQ(record.engine.lastColourLearning, learned);

    desk->runFor(1);
    tick(record);
    EXPECT_EQ(blits(), 2) << "the learning falls due at 2500 ms and counts as a change";
    EXPECT_EQ(record.engine.lastColourLearning, nowMs());
    EXPECT_EQ(overlayShot(record), first) << "the same frame is processed the same way";
}

TEST_F(DarkCycleScenario, ChangedFrameIsPresentedAtOnce) {
    const HWND target = createWindow(RECT{100, 100, 700, 500}, sim::Content::solid(kPaper));
    TrackedWindow& record = trackDark(target);
    tick(record);
    desk->callLog().enable();

    desk->runFor(20);
    desk->window(target).setContent(sim::Content::solid(sim::bgra(230, 240, 250)));
    tick(record);
    EXPECT_EQ(blits(), 1);
    EXPECT_EQ(compareInverted(overlayShot(record), targetShot(record), RECT{0, 0, 0, 0}), "");
    // The copy now holds the new frame as captured, before processing.
    const sim::Image captured = targetShot(record);
    ASSERT_NE(record.engine.frameCopy.get(), nullptr);
    EXPECT_EQ(std::memcmp(record.engine.frameCopy.get(), captured.pixels.data(), captured.pixels.size()), 0);
}

TEST_F(DarkCycleScenario, FailedCaptureKeepsTheLastImage) {
    const Document doc;
    const HWND target = createWindow(RECT{100, 100, 900, 700}, doc.content());
    TrackedWindow& record = trackDark(target);
    tick(record);
    const sim::Image shown = overlayShot(record);
    desk->callLog().enable();

    // The buffer still holds the processed frame: it must not be taken for a
    // new frame and processed again (that would show the window's own colours).
    desk->failNext("MagSetWindowSource");
    desk->runFor(20);
    tick(record);
    EXPECT_EQ(blits(), 0);
    EXPECT_EQ(overlayShot(record), shown);

    desk->runFor(20);
    tick(record);
    EXPECT_EQ(blits(), 0) << "the next good capture equals the copy";
    EXPECT_EQ(overlayShot(record), shown);
}

TEST_F(DarkCycleScenario, WithoutTheDarkEffectFramesArePresentedAsCaptured) {
    const HWND target = createWindow(RECT{100, 100, 700, 500}, sim::Content::solid(kDarkPaper));
    TrackedWindow& record = trackDark(target);
    record.engine.darkEnabled = false;
    desk->callLog().enable();

    tick(record);
    EXPECT_EQ(blits(), 1);
    EXPECT_FALSE(record.engine.overlayHiddenDark) << "no darkness test without the dark effect";
    EXPECT_TRUE(showsWere(record.engine.overlay.layerWindow, {}));
    EXPECT_EQ(overlayShot(record), targetShot(record));
}

TEST_F(DarkCycleScenario, ResizedTargetIsReconfiguredAndPresented) {
    const HWND target = createWindow(RECT{100, 100, 700, 500}, sim::Content::solid(kPaper));
    TrackedWindow& record = trackDark(target);
    tick(record);
    const std::uint8_t* before = record.engine.analyzer.frame;

    desk->runFor(20);
    desk->window(target).resize(500, 350);
    tick(record);
    const EffectEngine& engine = record.engine;
    EXPECT_EQ(engine.analyzer.width, 500);
    EXPECT_EQ(engine.analyzer.height, 350);
    EXPECT_EQ(engine.analyzer.frame, engine.mainCapture.frameBits);
    EXPECT_NE(engine.analyzer.frame, before);
    EXPECT_EQ(engine.overlay.byteSize, 500 * 350 * 4);
    EXPECT_TRUE(sameRect(desk->window(engine.overlay.layerWindow).rect(), desk->window(target).rect()));
    EXPECT_EQ(compareInverted(overlayShot(record), targetShot(record), RECT{0, 0, 0, 0}), "");
}

// A surface that could not be made when the target changed size is made
// again at the next cycle, which presents the frame: the overlay must not go
// on showing its bare background over a window that stands still.
TEST_F(DarkCycleScenario, SurfaceThatFailedIsMadeAgainAtTheNextCycle) {
    const HWND target = createWindow(RECT{100, 100, 700, 500}, sim::Content::solid(kPaper));
    TrackedWindow& record = trackDark(target);
    tick(record);

    desk->runFor(20);
    // At the resize, and again at the cycle's own attempt in the same tick.
    desk->failNext("CreateDIBSection", 2);
    desk->window(target).resize(500, 350);
    tick(record);
    const EffectEngine& engine = record.engine;
    ASSERT_EQ(engine.overlay.surfaceBits, nullptr) << "the surface of the new size failed";
    ASSERT_TRUE(desk->window(engine.overlay.layerWindow).visible());

    desk->runFor(20);
    tick(record);
    EXPECT_NE(engine.overlay.surfaceBits, nullptr);
    EXPECT_EQ(compareInverted(overlayShot(record), targetShot(record), RECT{0, 0, 0, 0}), "");
}

// A region mask that could not be made when the target changed size is made
// again at the next cycle: without it no pass runs, and the overlay would show
// the target uninverted until the next size change.
TEST_F(DarkCycleScenario, RegionMaskThatFailedIsMadeAgainAtTheNextCycle) {
    const HWND target = createWindow(RECT{100, 100, 700, 500}, sim::Content::solid(kPaper));
    TrackedWindow& record = trackDark(target);
    tick(record);

    desk->runFor(20);
    desk->failAlways("HeapAlloc");
    desk->window(target).resize(500, 350);
    tick(record);
    desk->clearFaults();
    const EffectEngine& engine = record.engine;
    ASSERT_EQ(engine.analyzer.regionMask, nullptr) << "the mask of the new size failed";

    desk->runFor(20);
    tick(record);
    EXPECT_NE(engine.analyzer.regionMask, nullptr);
    EXPECT_EQ(compareInverted(overlayShot(record), targetShot(record), RECT{0, 0, 0, 0}), "");
}

TEST_F(DarkCycleScenario, SameAddressWithANewSizeIsReconfigured) {
    const HWND target = createWindow(RECT{100, 100, 700, 500}, sim::Content::solid(kPaper));
    TrackedWindow& record = trackDark(target);
    tick(record);
    // A platform may hand a buffer of another size at the same address; the
    // analyzer must never keep a byte size larger than the buffer.
    EffectEngine& engine = record.engine;
    engine.analyzer.width = 640;
    engine.analyzer.height = 480;
    engine.analyzer.byteSize = 640 * 480 * 4;
    desk->runFor(20);
    tick(record);
    EXPECT_EQ(engine.analyzer.width, 600);
    EXPECT_EQ(engine.analyzer.height, 400);
    EXPECT_EQ(engine.analyzer.byteSize, 600 * 400 * 4);
    EXPECT_EQ(engine.overlay.byteSize, 600 * 400 * 4);
}

}  // namespace
}  // namespace kestra::testing
