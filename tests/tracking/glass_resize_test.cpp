// A light document under glass at content opacity 0, resized through the
// tick: the new frame size comes with an empty table of background colours,
// and the overlay must still show the document's text from the very next
// cycle on, whether the resize starts the following backdrop or not.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "tracking/tracking_scenario.h"

namespace kestra::testing {
namespace {

// documentContent paints its first text bar over these rows, from column 40
// to half the window's width.
constexpr int kFirstBarTop = 30;
constexpr int kFirstBarBottom = 36;
constexpr int kBarLeft = 40;

class GlassResize : public TrackingScenario {
  protected:
    // A textured wallpaper, so that the backdrop differs from a recoloured
    // glyph wherever it is.
    void SetUp() override {
        TrackingScenario::SetUp();
        desk->setWallpaper(sim::Content::painter([](sim::Image& img) {
            for (int y = 0; y < img.height; ++y) {
                for (int x = 0; x < img.width; ++x) {
                    img.setPixel(
                        x, y,
                        sim::bgra(static_cast<std::uint8_t>(60 + x / 16), static_cast<std::uint8_t>(90),
                                  static_cast<std::uint8_t>(40 + y / 12)));
                }
            }
        }));
    }

    // A document window under glass, ticked until its first glass frame is
    // presented and the backdrop has gone idle again.
    TrackedWindow& documentUnderGlass(HWND target) {
        TrackedWindow& record = recordAt(trackGlass(target));
        EffectEngine& engine = record.engine;
        EXPECT_TRUE(engine.glassEnabled);
        engine.setContentOpacity(0.0);
        tickTimes(record, 3);
        return record;
    }

    // Pixels of the first text bar that the overlay shows as something other
    // than the backdrop image, and how many pixels of the bar were looked at.
    struct BarCount {
        int differing = 0;
        int looked = 0;
    };
    BarCount textPixelsShown(const TrackedWindow& record) const {
        const EffectEngine& engine = record.engine;
        const sim::Image shown = desk->screenshot().crop(record.captureRect);
        BarCount count;
        const int barRight = shown.width / 2;
        if (engine.analyzer.backdropImage.get() == nullptr || engine.backdropBuffer.width != shown.width) {
            return count;
        }
        for (int y = kFirstBarTop; y < kFirstBarBottom; ++y) {
            for (int x = kBarLeft; x < barRight; ++x) {
                const sim::Colour pixel = shown.pixel(x, y);
                const std::size_t at = (static_cast<std::size_t>(y) * static_cast<std::size_t>(shown.width) +
                                        static_cast<std::size_t>(x)) *
                                       4u;
                count.differing +=
                    std::memcmp(&pixel, engine.analyzer.backdropImage.get() + at, 3) != 0 ? 1 : 0;
                ++count.looked;
            }
        }
        return count;
    }

    // Expects the overlay to show nearly all of the first bar as text.
    void expectTextShown(const TrackedWindow& record, const std::string& when) const {
        const BarCount count = textPixelsShown(record);
        ASSERT_GT(count.looked, 0) << when << ": no backdrop of the frame's size";
        EXPECT_GE(count.differing * 10, count.looked * 9)
            << when << ": only " << count.differing << " of " << count.looked
            << " text pixels are shown apart from the backdrop";
    }

    int blits() const { return callsNamed("BitBlt"); }
};

TEST_F(GlassResize, TextStaysVisibleWhileTheResizedTargetIsFollowed) {
    const HWND target = createTarget(RECT{400, 200, 1000, 600});
    TrackedWindow& record = documentUnderGlass(target);
    expectTextShown(record, "before the resize");
    desk->callLog().enable();

    desk->window(target).resize(640, 380);
    tick(record);
    const EffectEngine& engine = record.engine;
    ASSERT_TRUE(engine.monitorBackdropActive) << "the resize should start the following backdrop";
    ASSERT_EQ(engine.analyzer.width, 640);
    ASSERT_EQ(blits(), 1) << "the resized frame is presented";
    expectTextShown(record, "at the tick of the resize");

    // The following cycles recompose every time, all with the text; a target
    // that stays put gives the image shown already, which is not presented
    // again.
    for (int i = 0; i < 5; ++i) {
        desk->runFor(16);
        tick(record);
        expectTextShown(record, "while following, tick " + std::to_string(i + 1));
    }
    EXPECT_EQ(blits(), 1);

    // When the following ends, the first cycle that compares frames learns
    // the colours again and presents the frame, still with its text.
    desk->runUntil(desk->now() + (engine.lastFollow + 1000 - nowMs()));
    tick(record);
    ASSERT_FALSE(engine.monitorBackdropActive);
    EXPECT_EQ(engine.lastColourLearning, nowMs());
    EXPECT_LE(blits(), 2);
    expectTextShown(record, "when the following ends");
}

TEST_F(GlassResize, TextStaysVisibleAfterAResizeWithoutFollowing) {
    const HWND target = createTarget(RECT{400, 200, 1000, 600});
    TrackedWindow& record = documentUnderGlass(target);
    const std::int32_t learnedBefore = record.engine.lastColourLearning;
    // Without a monitor capture the resize cannot start the following mode:
    // the frame cycle itself must bring the new frame's colours.
    sim::Fault fault;
    fault.function = "MagSetWindowSource";
    fault.window = record.engine.monitorCapture.magnifierWindow;
    fault.remaining = -1;
    desk->addFault(fault);
    desk->callLog().enable();

    desk->runFor(16);
    desk->window(target).resize(620, 430);
    tick(record);
    const EffectEngine& engine = record.engine;
    ASSERT_FALSE(engine.monitorBackdropActive);
    ASSERT_EQ(engine.analyzer.width, 620);
    ASSERT_EQ(engine.backdropBuffer.width, 620) << "the backdrop followed the resize";
    EXPECT_EQ(engine.lastColourLearning, nowMs()) << "the colours of the new frame are learned at once";
    EXPECT_NE(engine.lastColourLearning, learnedBefore);
    EXPECT_EQ(blits(), 1);
    expectTextShown(record, "at the tick of the resize");

    // A still target again: nothing more to present until something changes.
    desk->runFor(16);
    tick(record);
    EXPECT_EQ(blits(), 1);
    expectTextShown(record, "one tick later");
}

TEST_F(GlassResize, EveryStepOfAResizeDragKeepsTheText) {
    const HWND target = createTarget(RECT{300, 150, 900, 550});
    TrackedWindow& record = documentUnderGlass(target);
    for (int step = 1; step <= 6; ++step) {
        desk->runFor(25);
        desk->window(target).resize(600 + 12 * step, 400 - 5 * step);
        tick(record);
        ASSERT_EQ(record.engine.analyzer.width, 600 + 12 * step);
        expectTextShown(record, "resize step " + std::to_string(step));
    }
}

}  // namespace
}  // namespace kestra::testing
