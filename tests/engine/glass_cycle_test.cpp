// Scenario tests of the glass frame cycle on the simulated desktop: the three
// backdrop modes and their timings, the change threshold, the lift of dark
// pixels, the following mode on one and two monitors, and what the overlay
// shows over a plain light window.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "backdrop/backdrop_buffer.h"
#include "backdrop/stack_blur.h"
#include "cycle_scenario.h"

namespace kestra::testing {
namespace {

constexpr sim::Colour kPaper = sim::bgra(246, 246, 244);
constexpr sim::Colour kInk = sim::bgra(18, 20, 26);
constexpr sim::Colour kDarkPaper = sim::bgra(30, 30, 36);

// A wallpaper whose colour tells where on the virtual screen a pixel lies.
sim::Content gradientWallpaper() {
    return sim::Content::painter([](sim::Image& img) {
        for (int y = 0; y < img.height; ++y) {
            for (int x = 0; x < img.width; ++x) {
                img.setPixel(x, y,
                             sim::bgra(static_cast<std::uint8_t>(x / 3), static_cast<std::uint8_t>(y / 3),
                                       static_cast<std::uint8_t>(128 + (x / 256) * 30)));
            }
        }
    });
}

std::uint8_t scaled(std::uint8_t c, float factor) {
    return static_cast<std::uint8_t>(static_cast<float>(c) * factor);
}

// The backdrop image the engine should compose from an unscaled capture: the
// tone adjustments and the blur, applied in the engine's order.
std::vector<std::uint8_t> composedBackdrop(sim::Image behind, int radius, bool contentOpacityHigh) {
    BackdropBuffer buffer;
    buffer.frame = behind.pixels.data();
    buffer.width = behind.width;
    buffer.height = behind.height;
    buffer.pixelCount = behind.width * behind.height;
    buffer.rowBytes = behind.width * 4;
    buffer.lastRowOffset = (behind.height - 1) * buffer.rowBytes;
    buffer.byteSize = static_cast<std::int32_t>(behind.pixels.size());
    scaleBrightness(buffer);
    measureBrightness(buffer);
    std::vector<std::uint8_t> image = behind.pixels;
    stackBlur(image.data(), static_cast<std::uint32_t>(behind.width),
              static_cast<std::uint32_t>(behind.height), static_cast<std::uint32_t>(radius));
    if (!contentOpacityHigh && buffer.isBright && radius >= 8) {
        liftDarkPixels(image.data(), static_cast<std::uint32_t>(image.size()));
    }
    return image;
}

// Counts the pixels of rows [0, rows) whose colour channels differ, outside
// the skipped rectangles; reports the first few.
std::string compareColours(const std::uint8_t* actual, const std::uint8_t* expected, int width, int rows,
                           const std::vector<RECT>& skipped = {}) {
    std::string report;
    int mismatches = 0;
    for (int y = 0; y < rows; ++y) {
        for (int x = 0; x < width; ++x) {
            bool skip = false;
            for (const RECT& r : skipped) {
                skip = skip || (x >= r.left && x < r.right && y >= r.top && y < r.bottom);
            }
            const std::size_t at = (static_cast<std::size_t>(y) * static_cast<std::size_t>(width) + x) * 4;
            if (!skip && std::memcmp(actual + at, expected + at, 3) != 0) {
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

class GlassCycleScenario : public CycleScenario {
  protected:
    // The unscaled image a backdrop capture of the target's rectangle sees.
    sim::Image behind(const TrackedWindow& record) const {
        return desk->compose(record.captureRect, {record.target, record.engine.overlay.layerWindow});
    }

    // Advances the virtual clock to `atMs` on the process clock (at least 1 ms).
    void runUntilProcessTime(std::int32_t atMs) {
        desk->runUntil(desk->now() + std::max<std::int64_t>(1, atMs - nowMs()));
    }

    // Tracks a new plain window of one colour with the glass effect.
    TrackedWindow& glassOverPlainWindow(const RECT& rect, std::int32_t radius, sim::Colour colour = kPaper) {
        return trackGlass(createWindow(rect, sim::Content::solid(colour)), radius);
    }

    // The same over the gradient wallpaper, with the first cycle run.
    TrackedWindow& glassOverGradient(const RECT& rect, std::int32_t radius) {
        desk->setWallpaper(gradientWallpaper());
        TrackedWindow& record = glassOverPlainWindow(rect, radius);
        tick(record);
        return record;
    }

    // Moves the target 30 ms later and runs the cycle that sees the move.
    void moveAndTick(TrackedWindow& record, int dx, int dy) {
        desk->runFor(30);
        desk->window(record.target).moveBy(dx, dy);
        tick(record);
    }
};

sim::DesktopOptions withSecondMonitor(const RECT& monitor) {
    sim::DesktopOptions options;
    options.extraMonitors = {monitor};
    return options;
}

TEST_F(GlassCycleScenario, PlainLightWindowShowsTheBlurredTonedBackdrop) {
    desk->setWallpaper(gradientWallpaper());
    const RECT textLine{60, 80, 420, 84};
    const HWND target =
        createWindow(RECT{400, 200, 1000, 600}, sim::Content::painter([textLine](sim::Image& c) {
                         c.fill(kPaper);
                         c.fillRect(textLine, kInk);
                     }));
    TrackedWindow& record = trackGlass(target);
    tick(record);

    const EffectEngine& engine = record.engine;
    ASSERT_TRUE(engine.glassEnabled);
    const std::vector<std::uint8_t> expected = composedBackdrop(behind(record), 50, false);
    const sim::Image shown = overlayShot(record);
    ASSERT_EQ(shown.width, 600);
    // Away from the text (and its neighbourhood), the window's background is
    // replaced by the backdrop; the last two rows are never processed.
    const RECT aroundText{textLine.left - 1, textLine.top - 1, textLine.right + 1, textLine.bottom + 1};
    EXPECT_EQ(
        compareColours(shown.pixels.data(), expected.data(), shown.width, shown.height - 2, {aroundText}),
        "");
    EXPECT_EQ(compareColours(engine.analyzer.backdropImage.get(), expected.data(), shown.width, shown.height),
              "");
    // The text stays visible: it is not simply the backdrop.
    const sim::Colour inText = shown.pixel(200, 82);
    const std::size_t at = (82u * 600u + 200u) * 4u;
    EXPECT_NE(std::memcmp(&inText, expected.data() + at, 3), 0);
}

TEST_F(GlassCycleScenario, BackdropGoesIdleLiveAndIdleWithItsTimings) {
    desk->setWallpaper(sim::Content::solid(sim::bgra(40, 80, 160)));
    TrackedWindow& record = glassOverPlainWindow(RECT{300, 200, 900, 600}, 10);
    EffectEngine& engine = record.engine;
    const std::int32_t started = engine.lastBackdropPoll;
    EXPECT_TRUE(engine.backdropIdle);
    EXPECT_FALSE(engine.backdropRecomposed);
    tick(record);

    const auto shownColour = [&] { return overlayShot(record).pixel(300, 200) & 0xFFFFFFu; };
    EXPECT_EQ(shownColour(), sim::bgra(scaled(40, 0.75f), scaled(80, 0.75f), scaled(160, 0.75f)) & 0xFFFFFFu);

    desk->setWallpaper(sim::Content::solid(sim::bgra(160, 40, 60)));
    const sim::Colour newColour =
        sim::bgra(scaled(160, 0.75f), scaled(40, 0.75f), scaled(60, 0.75f)) & 0xFFFFFFu;
    runUntilProcessTime(started + 999);
    tick(record);
    EXPECT_TRUE(engine.backdropIdle) << "an idle backdrop is polled once a second";
    EXPECT_NE(shownColour(), newColour);

    runUntilProcessTime(started + 1000);
    tick(record);
    EXPECT_FALSE(engine.backdropIdle) << "the poll found the change: live";
    EXPECT_EQ(engine.lastBackdropChange, nowMs());
    EXPECT_EQ(shownColour(), newColour) << "the cycle that goes live presents the new backdrop";

    const std::int32_t changed = engine.lastBackdropChange;
    runUntilProcessTime(changed + 999);
    tick(record);
    EXPECT_FALSE(engine.backdropIdle);
    runUntilProcessTime(changed + 1000);
    tick(record);
    EXPECT_TRUE(engine.backdropIdle) << "1000 ms without a change: idle again";
    EXPECT_EQ(engine.lastBackdropPoll, nowMs());
}

TEST_F(GlassCycleScenario, LiveBackdropIsRecomposedEveryCycle) {
    desk->setWallpaper(sim::Content::solid(sim::bgra(40, 80, 160)));
    TrackedWindow& record = glassOverPlainWindow(RECT{300, 200, 700, 500}, 10);
    EffectEngine& engine = record.engine;
    tick(record);
    engine.backdropIdle = false;
    engine.lastBackdropChange = nowMs();
    const std::vector<std::uint8_t> composed(
        engine.analyzer.backdropImage.get(),
        engine.analyzer.backdropImage.get() + engine.backdropBuffer.byteSize);

    std::memset(engine.analyzer.backdropImage.get(), 0,
                static_cast<std::size_t>(engine.backdropBuffer.byteSize));
    desk->runFor(20);
    tick(record);
    EXPECT_FALSE(engine.backdropIdle);
    EXPECT_EQ(std::memcmp(engine.analyzer.backdropImage.get(), composed.data(), composed.size()), 0)
        << "composed again although the backdrop did not change";
}

TEST_F(GlassCycleScenario, ChangeThresholdAtRadius50) {
    // 500 x 200 = 100000 pixels behind the target: 1900 changed are 1.9 %,
    // 2000 are 2 %.
    const RECT rect{300, 300, 800, 500};
    sim::Image wall(1920, 1080, sim::bgra(50, 90, 120));
    desk->setWallpaper(sim::Content::image(wall));
    const HWND target = createWindow(rect, sim::Content::solid(kPaper));
    TrackedWindow& record = trackGlass(target, 50);
    EffectEngine& engine = record.engine;
    tick(record);
    const std::vector<std::uint8_t> copy(engine.backdropCopy.get(),
                                         engine.backdropCopy.get() + engine.backdropBuffer.byteSize);

    sim::Image changed = wall;
    changed.fillRect(RECT{400, 350, 500, 369}, sim::bgra(51, 90, 120));  // 100 x 19
    desk->setWallpaper(sim::Content::image(changed));
    runUntilProcessTime(engine.lastBackdropPoll + 1000);
    tick(record);
    EXPECT_TRUE(engine.backdropIdle) << "1.9 % counts as unchanged";
    EXPECT_EQ(std::memcmp(engine.backdropCopy.get(), copy.data(), copy.size()), 0);

    changed.fillRect(RECT{400, 369, 500, 370}, sim::bgra(51, 90, 120));  // one more row: 100 x 20
    desk->setWallpaper(sim::Content::image(changed));
    runUntilProcessTime(engine.lastBackdropPoll + 1000);
    tick(record);
    EXPECT_FALSE(engine.backdropIdle) << "2 % counts as changed";
    const sim::Image now = behind(record);
    EXPECT_EQ(std::memcmp(engine.backdropCopy.get(), now.pixels.data(), now.pixels.size()), 0);
}

TEST_F(GlassCycleScenario, ChangedAlphaAloneIsNoChange) {
    TrackedWindow& record = glassOverPlainWindow(RECT{300, 300, 700, 500}, 50);
    EffectEngine& engine = record.engine;
    tick(record);
    // Make every fourth byte of the copy differ: only B, G and R are compared.
    for (std::int32_t i = 3; i < engine.backdropBuffer.byteSize; i += 4) {
        engine.backdropCopy[i] = static_cast<std::uint8_t>(engine.backdropCopy[i] ^ 0x5A);
    }
    runUntilProcessTime(engine.lastBackdropPoll + 1000);
    tick(record);
    EXPECT_TRUE(engine.backdropIdle);
}

// A bright backdrop with a black square behind the middle of the target.
class LiftScenario : public GlassCycleScenario {
  protected:
    sim::Colour shownCentre(std::int32_t radius, double contentOpacity = 0.0) {
        sim::Image wall(1920, 1080, sim::bgra(250, 250, 250));
        wall.fillRect(RECT{560, 410, 640, 490}, sim::bgra(0, 0, 0));
        desk->setWallpaper(sim::Content::image(wall));
        const HWND target = createWindow(RECT{400, 300, 800, 600}, sim::Content::solid(kPaper));
        TrackedWindow& record = trackedWindows[static_cast<std::size_t>(addTracked(target))];
        EXPECT_EQ(attach(record), 0);
        ++effectCount;
        record.engine.blurRadius = radius;
        record.engine.setContentOpacity(contentOpacity);
        EXPECT_EQ(record.engine.startGlass(), GlassStartResult::started);
        tick(record);
        const std::uint8_t* image = record.engine.analyzer.backdropImage.get();
        const std::size_t at = (150u * 400u + 200u) * 4u;
        centreOfImage = sim::bgra(image[at + 2], image[at + 1], image[at]);
        return overlayShot(record).pixel(200, 150) & 0xFFFFFFu;
    }
    sim::Colour centreOfImage = 0;
};

TEST_F(LiftScenario, Radius7NeverLiftsDarkPixels) {
    EXPECT_EQ(shownCentre(7), sim::bgra(0, 0, 0) & 0xFFFFFFu);
    EXPECT_EQ(centreOfImage & 0xFFFFFFu, 0u);
}

TEST_F(LiftScenario, Radius8LiftsDarkPixelsOverABrightBackdrop) {
    EXPECT_EQ(shownCentre(8), sim::bgra(80, 80, 80) & 0xFFFFFFu);
    EXPECT_EQ(centreOfImage & 0xFFFFFFu, sim::bgra(80, 80, 80) & 0xFFFFFFu);
}

TEST_F(LiftScenario, HighContentOpacityKeepsDarkPixels) {
    shownCentre(8, 0.5);
    EXPECT_EQ(centreOfImage & 0xFFFFFFu, 0u);
}

class FollowingScenario : public GlassCycleScenario {
  protected:
    // The blurred, scaled monitor frame, as followTarget prepares it.
    std::vector<std::uint8_t> blurredMonitor(const TrackedWindow& record, const RECT& monitor, int radius) {
        sim::Image shot = desk->compose(monitor, {record.target, record.engine.overlay.layerWindow});
        stackBlur(shot.pixels.data(), static_cast<std::uint32_t>(shot.width),
                  static_cast<std::uint32_t>(shot.height), static_cast<std::uint32_t>(radius));
        BackdropBuffer buffer;
        buffer.frame = shot.pixels.data();
        buffer.byteSize = static_cast<std::int32_t>(shot.pixels.size());
        scaleBrightness(buffer);
        return shot.pixels;
    }

    // Compares backdropImage with the monitor frame cut at (fromX, fromY),
    // over columns x 0..columns and rows 0..rows of the image.
    std::string compareCut(const EffectEngine& engine, const std::vector<std::uint8_t>& monitorFrame,
                           int monitorWidth, int fromX, int fromY, int columns, int rows) {
        std::string report;
        int mismatches = 0;
        const int imageWidth = engine.backdropBuffer.width;
        for (int y = 0; y < rows; ++y) {
            for (int x = 0; x < columns; ++x) {
                const std::uint8_t* got =
                    engine.analyzer.backdropImage.get() + (static_cast<std::size_t>(y) * imageWidth + x) * 4;
                const std::uint8_t* want =
                    monitorFrame.data() +
                    (static_cast<std::size_t>(fromY + y) * monitorWidth + fromX + x) * 4;
                if (std::memcmp(got, want, 3) != 0 && ++mismatches <= 5) {
                    report += "(" + std::to_string(x) + "," + std::to_string(y) + ") ";
                }
            }
        }
        if (mismatches > 0) {
            report += std::to_string(mismatches) + " pixels differ";
        }
        return report;
    }
};

TEST_F(FollowingScenario, MovingTargetIsServedFromTheBlurredMonitor) {
    TrackedWindow& record = glassOverGradient(RECT{500, 300, 900, 600}, 12);
    EffectEngine& engine = record.engine;
    desk->callLog().enable();

    moveAndTick(record, 40, 0);
    ASSERT_TRUE(engine.monitorBackdropActive);
    const std::int32_t followed = engine.lastFollow;
    const std::vector<std::uint8_t> monitor = blurredMonitor(record, RECT{0, 0, 1920, 1080}, 12);
    EXPECT_EQ(compareCut(engine, monitor, 1920, 540, 300, 400, 300), "");
    EXPECT_EQ(blits(), 1);
    // The overlay shows the cut-out backdrop where the plain window was.
    const sim::Image shown = overlayShot(record);
    EXPECT_EQ(compareColours(shown.pixels.data(), engine.analyzer.backdropImage.get(), 400, 298), "");
    EXPECT_EQ(desk->callLog().named("MagSetWindowSource").size(), 2u)
        << "one monitor capture and one main capture; no backdrop capture while following";

    // Further moves take no new monitor capture; every cycle presents.
    desk->callLog().clear();
    for (int step = 0; step < 5; ++step) {
        desk->runFor(50);
        desk->window(record.target).moveBy(0, 10);
        tick(record);
    }
    EXPECT_EQ(blits(), 5);
    EXPECT_EQ(desk->callLog().named("MagSetWindowSource").size(), 5u);
    EXPECT_EQ(compareCut(engine, monitor, 1920, 540, 350, 400, 300), "");
    EXPECT_GT(engine.lastFollow, followed);

    // Still again: 1000 ms after the last move the following mode ends.
    const std::int32_t last = engine.lastFollow;
    runUntilProcessTime(last + 999);
    tick(record);
    EXPECT_TRUE(engine.monitorBackdropActive);
    runUntilProcessTime(last + 1000);
    tick(record);
    EXPECT_FALSE(engine.monitorBackdropActive);
    EXPECT_TRUE(engine.backdropIdle) << "the mode from before the move resumes";

    // The next idle poll sees the backdrop at the new place and composes it.
    runUntilProcessTime(engine.lastBackdropPoll + 1000);
    tick(record);
    const std::vector<std::uint8_t> expected = composedBackdrop(behind(record), 12, false);
    EXPECT_EQ(compareColours(engine.analyzer.backdropImage.get(), expected.data(), 400, 300), "");
}

TEST_F(FollowingScenario, WindowHoldsTheMonitorFrameOnlyWhileFollowing) {
    TrackedWindow& record = glassOverGradient(RECT{500, 300, 900, 600}, 12);
    EffectEngine& engine = record.engine;
    const std::size_t frameBytes = 400u * 300u * 4u;
    const std::size_t monitorBytes = 1920u * 1080u * 4u;
    ASSERT_EQ(desk->counts().magnifierBytes, 2 * frameBytes) << "main and backdrop captures";
    std::uint8_t* const copy = engine.backdropCopy.get();
    std::uint8_t* const image = engine.analyzer.backdropImage.get();

    // Following: the monitor frame replaces the backdrop capture's frame.
    moveAndTick(record, 40, 0);
    ASSERT_TRUE(engine.monitorBackdropActive);
    EXPECT_EQ(desk->counts().magnifierBytes, frameBytes + monitorBytes);
    EXPECT_EQ(engine.backdropCapture.frameBits, nullptr);
    EXPECT_EQ(engine.backdropBuffer.frame, nullptr);
    EXPECT_NE(engine.backdropCapture.hostWindow, nullptr);
    EXPECT_EQ(engine.backdropBuffer.width, 400) << "the backdrop keeps its size";
    EXPECT_EQ(
        compareCut(engine, blurredMonitor(record, RECT{0, 0, 1920, 1080}, 12), 1920, 540, 300, 400, 300), "");

    // The end of the following drops the monitor frame; its capture stays.
    runUntilProcessTime(engine.lastFollow + 1000);
    tick(record);
    ASSERT_FALSE(engine.monitorBackdropActive);
    EXPECT_EQ(desk->counts().magnifierBytes, frameBytes);
    EXPECT_NE(engine.monitorCapture.hostWindow, nullptr);
    EXPECT_EQ(engine.monitorCapture.frameBits, nullptr);
    EXPECT_EQ(engine.monitorBuffer.frame, nullptr);

    // The idle poll captures the backdrop again into buffers of the same
    // size, kept, and composes what lies behind the target now.
    runUntilProcessTime(engine.lastBackdropPoll + 1000);
    tick(record);
    EXPECT_EQ(desk->counts().magnifierBytes, 2 * frameBytes);
    EXPECT_EQ(engine.backdropBuffer.frame, engine.backdropCapture.frameBits);
    EXPECT_EQ(engine.backdropCopy.get(), copy);
    EXPECT_EQ(engine.analyzer.backdropImage.get(), image);
    const std::vector<std::uint8_t> expected = composedBackdrop(behind(record), 12, false);
    EXPECT_EQ(compareColours(engine.analyzer.backdropImage.get(), expected.data(), 400, 300), "");

    // A later move captures the monitor afresh.
    moveAndTick(record, 0, 30);  // 540, 330
    ASSERT_TRUE(engine.monitorBackdropActive);
    EXPECT_EQ(engine.monitorBuffer.frame, engine.monitorCapture.frameBits);
    EXPECT_EQ(desk->counts().magnifierBytes, frameBytes + monitorBytes);
    EXPECT_EQ(
        compareCut(engine, blurredMonitor(record, RECT{0, 0, 1920, 1080}, 12), 1920, 540, 330, 400, 300), "");
}

TEST_F(FollowingScenario, CapturesThatCouldNotBeRenewedKeepTheirFrames) {
    TrackedWindow& record = glassOverGradient(RECT{500, 300, 900, 600}, 12);
    EffectEngine& engine = record.engine;
    const std::size_t frameBytes = 400u * 300u * 4u;
    const std::size_t monitorBytes = 1920u * 1080u * 4u;
    // No fresh backdrop control as the following begins: the old one stays.
    sim::Fault fault;
    fault.function = "MagSetImageScalingCallback";
    fault.remaining = 1;
    desk->addFault(fault);
    const HWND backdropHost = engine.backdropCapture.hostWindow;
    moveAndTick(record, 40, 0);
    ASSERT_TRUE(engine.monitorBackdropActive);
    EXPECT_EQ(engine.backdropCapture.hostWindow, backdropHost);
    EXPECT_EQ(engine.backdropBuffer.frame, engine.backdropCapture.frameBits);
    EXPECT_EQ(desk->counts().magnifierBytes, 2 * frameBytes + monitorBytes);
    EXPECT_EQ(
        compareCut(engine, blurredMonitor(record, RECT{0, 0, 1920, 1080}, 12), 1920, 540, 300, 400, 300), "");

    // Nor a monitor control as it ends: its frame stays until the next end.
    desk->addFault(fault);
    const HWND monitorHost = engine.monitorCapture.hostWindow;
    runUntilProcessTime(engine.lastFollow + 1000);
    tick(record);
    ASSERT_FALSE(engine.monitorBackdropActive);
    EXPECT_EQ(engine.monitorCapture.hostWindow, monitorHost);

    // The backdrop is polled as before, and the next following works and
    // ends with both frames dropped.
    runUntilProcessTime(engine.lastBackdropPoll + 1000);
    tick(record);
    const std::vector<std::uint8_t> expected = composedBackdrop(behind(record), 12, false);
    EXPECT_EQ(compareColours(engine.analyzer.backdropImage.get(), expected.data(), 400, 300), "");
    moveAndTick(record, 0, 30);
    ASSERT_TRUE(engine.monitorBackdropActive);
    EXPECT_EQ(
        compareCut(engine, blurredMonitor(record, RECT{0, 0, 1920, 1080}, 12), 1920, 540, 330, 400, 300), "");
    EXPECT_EQ(desk->counts().magnifierBytes, frameBytes + monitorBytes);
    runUntilProcessTime(engine.lastFollow + 1000);
    tick(record);
    EXPECT_EQ(desk->counts().magnifierBytes, frameBytes);
}

TEST_F(FollowingScenario, LiveBackdropResumesAfterFollowingWithTheSameComparison) {
    TrackedWindow& record = glassOverGradient(RECT{500, 300, 900, 600}, 12);
    EffectEngine& engine = record.engine;
    // Make the backdrop live: the poll sees a changed wallpaper.
    desk->setWallpaper(sim::Content::solid(sim::bgra(40, 90, 160)));
    runUntilProcessTime(engine.lastBackdropPoll + 1000);
    tick(record);
    ASSERT_FALSE(engine.backdropIdle);
    const std::vector<std::uint8_t> copyBefore(engine.backdropCopy.get(),
                                               engine.backdropCopy.get() + engine.backdropBuffer.byteSize);

    moveAndTick(record, 40, 0);
    ASSERT_TRUE(engine.monitorBackdropActive);
    EXPECT_EQ(std::memcmp(engine.backdropCopy.get(), copyBefore.data(), copyBefore.size()), 0)
        << "the comparison base survives the following";
    runUntilProcessTime(engine.lastFollow + 1000);
    tick(record);
    ASSERT_FALSE(engine.monitorBackdropActive);

    // The live mode captures at the next cycle and composes the new place.
    desk->runFor(16);
    tick(record);
    EXPECT_EQ(engine.backdropBuffer.frame, engine.backdropCapture.frameBits);
    const std::vector<std::uint8_t> expected = composedBackdrop(behind(record), 12, false);
    EXPECT_EQ(compareColours(engine.analyzer.backdropImage.get(), expected.data(), 400, 300), "");
}

TEST_F(FollowingScenario, TargetPartlyOffTheTopLeftIsCutFromTheMonitorEdge) {
    TrackedWindow& record = glassOverGradient(RECT{-60, -40, 340, 260}, 6);
    EffectEngine& engine = record.engine;
    moveAndTick(record, -10, -10);  // now at -70, -50
    ASSERT_TRUE(engine.monitorBackdropActive);
    const std::vector<std::uint8_t> monitor = blurredMonitor(record, RECT{0, 0, 1920, 1080}, 6);
    // The visible part starts at the monitor's edge and lands at the image's
    // top-left corner: 330 x 250 pixels of it come from the monitor.
    EXPECT_EQ(compareCut(engine, monitor, 1920, 0, 0, 331, 251), "");
}

TEST_F(FollowingScenario, TargetPartlyOffTheRightStaysInsideBothFrames) {
    TrackedWindow& record = glassOverGradient(RECT{1700, 900, 2100, 1200}, 6);
    EffectEngine& engine = record.engine;
    moveAndTick(record, 10, 10);  // now at 1710, 910 .. 2110, 1210
    ASSERT_TRUE(engine.monitorBackdropActive);
    const std::vector<std::uint8_t> monitor = blurredMonitor(record, RECT{0, 0, 1920, 1080}, 6);
    EXPECT_EQ(compareCut(engine, monitor, 1920, 1710, 910, 210, 170), "");
}

TEST_F(FollowingScenario, CutOfAnOddWidthCopiesColourBytesAndKeepsTheFourth) {
    // 401 x 299: rows that end between groups of four pixels.
    TrackedWindow& record = glassOverGradient(RECT{500, 300, 901, 599}, 6);
    EffectEngine& engine = record.engine;
    ASSERT_NE(engine.analyzer.backdropImage, nullptr);
    // Marks the fourth byte of every pixel: the cut must leave it.
    const auto size = static_cast<std::size_t>(engine.backdropBuffer.byteSize);
    for (std::size_t at = 3; at < size; at += 4) {
        engine.analyzer.backdropImage.get()[at] = static_cast<std::uint8_t>(at * 7 / 4);
    }
    moveAndTick(record, 3, 0);  // now at 503, 300
    ASSERT_TRUE(engine.monitorBackdropActive);
    const std::vector<std::uint8_t> monitor = blurredMonitor(record, RECT{0, 0, 1920, 1080}, 6);
    EXPECT_EQ(compareCut(engine, monitor, 1920, 503, 300, 401, 299), "");
    int changed = 0;
    for (std::size_t at = 3; at < size; at += 4) {
        changed += engine.analyzer.backdropImage.get()[at] != static_cast<std::uint8_t>(at * 7 / 4) ? 1 : 0;
    }
    EXPECT_EQ(changed, 0);
}

class TwoMonitorScenario : public FollowingScenario {
  protected:
    sim::DesktopOptions desktopOptions() override { return withSecondMonitor(RECT{1920, 0, 3840, 1080}); }
};

TEST_F(TwoMonitorScenario, FollowingOnASecondMonitorCopiesRelativeToItsCorner) {
    TrackedWindow& record = glassOverGradient(RECT{2400, 300, 2800, 600}, 12);
    EffectEngine& engine = record.engine;
    EXPECT_TRUE(sameRect(record.monitorRect, RECT{1920, 0, 3840, 1080}));

    moveAndTick(record, 40, 20);  // 2440, 320
    ASSERT_TRUE(engine.monitorBackdropActive);
    const std::vector<std::uint8_t> monitor = blurredMonitor(record, RECT{1920, 0, 3840, 1080}, 12);
    EXPECT_EQ(compareCut(engine, monitor, 1920, 2440 - 1920, 320, 400, 300), "");
}

class UnequalMonitorsScenario : public FollowingScenario {
  protected:
    sim::DesktopOptions desktopOptions() override { return withSecondMonitor(RECT{1920, 0, 4480, 1440}); }
};

TEST_F(UnequalMonitorsScenario, CrossingToAMonitorOfAnotherSizeCutsNothingFromTheWrongPlace) {
    TrackedWindow& record = glassOverGradient(RECT{1500, 100, 1800, 400}, 12);
    EffectEngine& engine = record.engine;
    moveAndTick(record, 10, 0);
    ASSERT_TRUE(engine.monitorBackdropActive);
    const RECT primary{0, 0, 1920, 1080};
    EXPECT_TRUE(sameRect(engine.monitorFrameRect, primary));
    const std::vector<std::uint8_t> monitor = blurredMonitor(record, primary, 12);
    ASSERT_EQ(compareCut(engine, monitor, 1920, 1510, 100, 300, 300), "");
    const std::size_t bytes = static_cast<std::size_t>(engine.backdropBuffer.byteSize);
    const std::vector<std::uint8_t> before(engine.analyzer.backdropImage.get(),
                                           engine.analyzer.backdropImage.get() + bytes);

    // Onto the larger second monitor while following: the monitor frame is
    // still the first monitor's, which holds nothing of the target's place.
    desk->runFor(30);
    desk->window(record.target).moveTo(2000, 100);
    tick(record);
    ASSERT_TRUE(engine.monitorBackdropActive);
    EXPECT_TRUE(sameRect(engine.savedMonitorRect, RECT{1920, 0, 4480, 1440}))
        << "it follows the monitor's size";
    EXPECT_TRUE(sameRect(engine.monitorFrameRect, primary)) << "the frame was taken from the first monitor";
    EXPECT_EQ(std::memcmp(engine.analyzer.backdropImage.get(), before.data(), bytes), 0)
        << "pixels of the first monitor were cut as if they lay under the target";
}

// Resizes the target while the backdrop capture fails once: the main frame
// takes the new size, the backdrop keeps the old one, and the cycle's size
// guard holds the changed frame back. The monitor capture fails for good, so
// that the move does not enter the following mode.
void resizeWithFailedBackdropCapture(sim::Desktop& desk, TrackedWindow& record, HWND target) {
    sim::Fault fault;
    fault.function = "MagSetWindowSource";
    fault.window = record.engine.backdropCapture.magnifierWindow;
    fault.remaining = 1;
    desk.addFault(fault);
    fault.window = record.engine.monitorCapture.magnifierWindow;
    fault.remaining = -1;
    desk.addFault(fault);
    RECT grown = desk.window(target).rect();
    grown.right += 20;
    desk.window(target).setRect(grown);
    desk.runFor(16);
    tick(record);
}

TEST_F(GlassCycleScenario, IdlePollComposesABackdropOfANewSize) {
    desk->setWallpaper(gradientWallpaper());
    TrackedWindow& record = glassOverPlainWindow(RECT{300, 200, 800, 600}, 10);
    EffectEngine& engine = record.engine;
    for (int i = 0; i < 10; ++i) {
        tick(record);
        desk->runFor(16);
    }
    ASSERT_TRUE(engine.backdropIdle);
    resizeWithFailedBackdropCapture(*desk, record, record.target);
    ASSERT_EQ(engine.analyzer.width, 520);
    ASSERT_EQ(engine.backdropBuffer.width, 500) << "the backdrop has not followed yet";
    ASSERT_FALSE(engine.monitorBackdropActive);

    // The next idle poll meets the new size: new buffers, composed at once.
    desk->callLog().enable();
    runUntilProcessTime(engine.lastBackdropPoll + 1000);
    tick(record);
    ASSERT_EQ(engine.backdropBuffer.width, 520);
    const std::vector<std::uint8_t> expected = composedBackdrop(behind(record), 10, false);
    EXPECT_EQ(compareColours(engine.analyzer.backdropImage.get(), expected.data(), 520, 400), "");
    EXPECT_EQ(blits(), 1);
    const sim::Image shown = overlayShot(record);
    ASSERT_EQ(shown.width, 520);
    EXPECT_EQ(compareColours(shown.pixels.data(), expected.data(), 520, 398), "");
}

TEST_F(GlassCycleScenario, FrameHeldBackByTheSizeGuardIsPresentedOnceTheBackdropCatchesUp) {
    TrackedWindow& record = glassOverPlainWindow(RECT{300, 200, 800, 600}, 10);
    EffectEngine& engine = record.engine;
    tick(record);
    desk->runFor(16);
    desk->callLog().enable();
    resizeWithFailedBackdropCapture(*desk, record, record.target);
    EXPECT_EQ(blits(), 0);
    ASSERT_FALSE(engine.monitorBackdropActive);
    EXPECT_TRUE(engine.backdropRecomposed) << "the frame taken into frameCopy is owed to a later cycle";

    // The backdrop catches up outside the cycle and stays idle; the still
    // target's next cycle presents what was held back.
    ASSERT_NE(engine.backdropCapture.captureFrame(), CaptureResult::noFrame);
    engine.syncBackdropFrame();
    engine.composeBackdrop();
    ASSERT_TRUE(engine.backdropIdle);
    desk->runFor(16);
    tick(record);
    EXPECT_EQ(blits(), 1);
    EXPECT_FALSE(engine.backdropRecomposed);
}

TEST_F(GlassCycleScenario, DarkModeInvertsALightTargetOnlyWithContentOpacity) {
    TrackedWindow& record = glassOverPlainWindow(RECT{300, 200, 700, 500}, 10);
    EffectEngine& engine = record.engine;
    engine.setContentOpacity(1.0);
    tick(record);
    EXPECT_FALSE(engine.glassContentDark);
    EXPECT_EQ(engine.analyzer.frameInverted, 1);
    // Full content opacity shows the window's own (inverted) pixels.
    const sim::Colour shown = overlayShot(record).pixel(200, 150);
    EXPECT_EQ(shown & 0xFFFFFFu, ~kPaper & 0xFFFFFFu);

    engine.setContentOpacity(0.0);
    engine.backdropRecomposed = true;
    desk->runFor(20);
    tick(record);
    EXPECT_EQ(engine.analyzer.frameInverted, 0) << "content opacity 0: the backdrop is copied, no inversion";
}

TEST_F(GlassCycleScenario, DarkTargetIsNotInverted) {
    TrackedWindow& record = glassOverPlainWindow(RECT{300, 200, 700, 500}, 10, kDarkPaper);
    EffectEngine& engine = record.engine;
    engine.setContentOpacity(1.0);
    tick(record);
    EXPECT_TRUE(engine.glassContentDark);
    EXPECT_EQ(engine.analyzer.frameInverted, 0);
    EXPECT_EQ(overlayShot(record).pixel(200, 150) & 0xFFFFFFu, kDarkPaper & 0xFFFFFFu);
}

TEST_F(GlassCycleScenario, DarknessTestRunsBeforeTheComparison) {
    TrackedWindow& record = glassOverPlainWindow(RECT{300, 200, 700, 500}, 10);
    EffectEngine& engine = record.engine;
    tick(record);
    const std::int32_t tested = engine.lastDarknessTest;
    desk->callLog().enable();
    runUntilProcessTime(tested + 2001);
    tick(record);
    EXPECT_EQ(engine.lastDarknessTest, nowMs()) << "tested although nothing is presented";
    EXPECT_EQ(blits(), 0);
}

TEST_F(GlassCycleScenario, NoDarknessTestWithoutDarkModeOrHighOpacity) {
    const HWND target = createWindow(RECT{300, 200, 700, 500}, sim::Content::solid(kDarkPaper));
    TrackedWindow& record = trackedWindows[static_cast<std::size_t>(addTracked(target))];
    ASSERT_EQ(attach(record), 0);
    ++effectCount;
    record.engine.glassDarkMode = false;
    record.engine.blurRadius = 10;
    ASSERT_EQ(record.engine.startGlass(), GlassStartResult::started);
    tick(record);
    EXPECT_EQ(record.engine.lastDarknessTest, -2000);
    EXPECT_FALSE(record.engine.glassContentDark);
}

TEST_F(GlassCycleScenario, RecomposedBackdropIsPresentedOnce) {
    TrackedWindow& record = glassOverPlainWindow(RECT{300, 200, 700, 500}, 10);
    EffectEngine& engine = record.engine;
    tick(record);
    desk->callLog().enable();
    desk->setWallpaper(sim::Content::solid(sim::bgra(200, 40, 40)));
    engine.refreshGlass();
    ASSERT_TRUE(engine.backdropRecomposed);
    desk->runFor(20);
    tick(record);
    EXPECT_EQ(blits(), 1);
    EXPECT_FALSE(engine.backdropRecomposed);
    EXPECT_EQ(overlayShot(record).pixel(200, 150) & 0xFFFFFFu,
              sim::bgra(scaled(200, 0.75f), scaled(40, 0.75f), scaled(40, 0.75f)) & 0xFFFFFFu);
    desk->runFor(20);
    tick(record);
    EXPECT_EQ(blits(), 1);
}

TEST_F(GlassCycleScenario, FailedMainCaptureKeepsTheLastImage) {
    desk->setWallpaper(gradientWallpaper());
    TrackedWindow& record = glassOverPlainWindow(RECT{300, 200, 700, 500}, 10);
    tick(record);
    const sim::Image shown = overlayShot(record);
    record.engine.backdropRecomposed = true;
    desk->callLog().enable();
    sim::Fault fault;
    fault.function = "MagSetWindowSource";
    fault.window = record.engine.mainCapture.magnifierWindow;
    desk->addFault(fault);
    desk->runFor(20);
    tick(record);
    EXPECT_EQ(blits(), 0);
    EXPECT_EQ(overlayShot(record), shown);
    EXPECT_TRUE(record.engine.backdropRecomposed) << "still owed to the next presented frame";
}

}  // namespace
}  // namespace kestra::testing
