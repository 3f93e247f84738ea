// The first backdrop image of a glass start is composed by the first cycle
// that reads it, from the frame captured at the start and with the settings
// of the start. Whatever happens between the start and that cycle (a setting
// changed, a capture that fails, a move, a resize), every frame the overlay
// shows is the one it shows when the image is composed within the start.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "cycle_scenario.h"

namespace kestra::testing {
namespace {

constexpr sim::Colour kPaper = sim::bgra(244, 242, 238);
constexpr sim::Colour kInk = sim::bgra(22, 24, 30);
constexpr RECT kTargetRect{401, 297, 798, 580};  // 397 x 283

// What happens between the start and the first cycle.
enum class Interlude {
    none,
    contentOpacity,
    blurRadiusCaptureFails,
    brightness,
    wallpaperOnly,
    move,
    resize
};

// When the first image is composed: within the start (what the overlay must
// show), at the first cycle that reads it, or, for the sensitivity check,
// right after the interlude with the settings it left.
enum class Compose { atStart, pending, afterInterlude };

struct Case {
    const char* name;
    Interlude interlude;
};

sim::Content document() {
    return sim::Content::painter([](sim::Image& img) {
        img.fill(kPaper);
        for (int y = 30; y + 6 < img.height; y += 19) {
            img.fillRect(RECT{24, y, img.width / 2 + (y % 57), y + 6}, kInk);
        }
    });
}

// A wallpaper bright enough behind the target (most of it, as the brightness
// measure counts) that the dark pixels of the blurred image are lifted while
// the content opacity is low, with a dark square and a noisy band.
sim::Image wallpaper(std::uint32_t seed) {
    sim::Image wall(1920, 1080, sim::bgra(236, 232, 228));
    wall.fillRect(RECT{560, 400, 620, 450}, sim::bgra(0, 0, 0));
    const sim::Image noise = noiseImage(300, 30, seed, kPaper);
    for (int y = 0; y < noise.height; ++y) {
        for (int x = 0; x < noise.width; ++x) {
            wall.setPixel(430 + x, 500 + y, noise.pixel(x, y));
        }
    }
    return wall;
}

class FirstBackdrop : public CycleScenario, public ::testing::WithParamInterface<Case> {
  protected:
    // The overlay's pixels after each of a series of ticks that starts right
    // after the glass command: the first glass frame, frames of a still
    // backdrop, and frames after the backdrop changed and the idle poll found
    // it.
    std::vector<std::vector<std::uint8_t>> shownFrames(Compose compose, std::int32_t threads) {
        desk->setWallpaper(sim::Content::image(wallpaper(7)));
        const HWND target = createWindow(kTargetRect, document());
        // A target on screen with the dark effect: a record not yet live
        // would start its glass again at its first tick.
        TrackedWindow& record = trackDark(target);
        for (int i = 0; i < 3; ++i) {
            tick(record);
            desk->runFor(16);
        }
        EXPECT_TRUE(record.live);
        StartGlassCommand start = glassStartKeepingSettings(target);
        start.blurRadius = 12;
        start.backdropBrightness = 0.9f;
        start.contentOpacity = 0.1f;
        start.glassDarkMode = false;
        applyCommand(start);
        EffectEngine& engine = record.engine;
        EXPECT_TRUE(engine.glassEnabled);
        engine.analyzer.threadCount = threads;
        if (compose == Compose::atStart) {
            engine.composePendingBackdrop();
        } else {
            EXPECT_TRUE(engine.backdropComposePending) << "the start leaves its image to the first cycle";
        }

        switch (GetParam().interlude) {
            case Interlude::none:
                break;
            case Interlude::contentOpacity:
                applyCommand(ChangeContentOpacityCommand{target, 0.5});
                break;
            case Interlude::blurRadiusCaptureFails: {
                sim::Fault fails;
                fails.function = "MagSetWindowSource";
                fails.window = engine.backdropCapture.magnifierWindow;
                desk->addFault(fails);
                applyCommand(SetBlurRadiusCommand{target, 3});
                desk->clearFaults();
                break;
            }
            case Interlude::brightness:
                applyCommand(SetBackdropBrightnessCommand{target, 0.5f});
                break;
            case Interlude::wallpaperOnly:
                applyCommand(SetWallpaperOnlyCommand{target, true});
                break;
            case Interlude::move:
                desk->window(target).moveBy(23, 11);
                break;
            case Interlude::resize:
                desk->window(target).resize(371, 251);
                break;
        }
        if (compose == Compose::afterInterlude) {
            engine.composeBackdrop();
        }

        std::vector<std::vector<std::uint8_t>> frames;
        for (int i = 0; i < 8; ++i) {
            tick(record);
            EXPECT_FALSE(engine.backdropComposePending) << "tick " << i;
            frames.push_back(overlayShot(record).pixels);
            desk->runFor(16);
            if (i == 4) {
                desk->setWallpaper(sim::Content::image(wallpaper(8)));
                desk->runFor(1000);
            }
        }
        return frames;
    }

    // Runs the series on a fresh process and desktop.
    std::vector<std::vector<std::uint8_t>> freshFrames(Compose compose, std::int32_t threads) {
        TearDown();
        SetUp();
        return shownFrames(compose, threads);
    }
};

TEST_P(FirstBackdrop, ShowsWhatAComposeWithinTheStartShows) {
    for (std::int32_t threads = 1; threads <= 3; ++threads) {
        const auto expected = freshFrames(Compose::atStart, threads);
        const auto shown = freshFrames(Compose::pending, threads);
        ASSERT_EQ(shown.size(), expected.size());
        for (std::size_t i = 0; i < shown.size(); ++i) {
            EXPECT_TRUE(shown[i] == expected[i])
                << GetParam().name << ", " << threads << " threads, tick " << i;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Between, FirstBackdrop,
                         ::testing::Values(Case{"Nothing", Interlude::none},
                                           Case{"ContentOpacity", Interlude::contentOpacity},
                                           Case{"BlurRadiusCaptureFails", Interlude::blurRadiusCaptureFails},
                                           Case{"Brightness", Interlude::brightness},
                                           Case{"WallpaperOnly", Interlude::wallpaperOnly},
                                           Case{"Move", Interlude::move}, Case{"Resize", Interlude::resize}),
                         [](const ::testing::TestParamInfo<Case>& param) {
                             return std::string(param.param.name);
                         });

// The settings a start saw matter: composing the first image with those of
// the interlude would show other frames, so the comparisons above would see
// a composition that read the settings too late.
class FirstBackdropSettings : public FirstBackdrop {};

TEST_P(FirstBackdropSettings, AreThoseOfTheStart) {
    const auto expected = freshFrames(Compose::atStart, 1);
    const auto late = freshFrames(Compose::afterInterlude, 1);
    ASSERT_FALSE(expected.empty());
    EXPECT_FALSE(late.front() == expected.front()) << GetParam().name;
}

INSTANTIATE_TEST_SUITE_P(Between, FirstBackdropSettings,
                         ::testing::Values(Case{"ContentOpacity", Interlude::contentOpacity},
                                           Case{"BlurRadiusCaptureFails", Interlude::blurRadiusCaptureFails}),
                         [](const ::testing::TestParamInfo<Case>& param) {
                             return std::string(param.param.name);
                         });

class FirstBackdropStart : public CycleScenario {};

TEST_F(FirstBackdropStart, LeavesTheFirstImageToTheFirstCycle) {
    desk->setWallpaper(sim::Content::image(wallpaper(3)));
    const HWND target = createWindow(kTargetRect, document());
    TrackedWindow& record = trackGlass(target, 12);
    EffectEngine& engine = record.engine;
    ASSERT_TRUE(engine.backdropComposePending);
    ASSERT_NE(engine.analyzer.backdropImage, nullptr);
    const std::size_t bytes = static_cast<std::size_t>(engine.backdropBuffer.byteSize);

    // The first cycle composes the image; composing it again from the same
    // frame (the backdrop is idle, so that cycle captured none) with the
    // same settings gives the same bytes.
    tick(record);
    EXPECT_FALSE(engine.backdropComposePending);
    const std::vector<std::uint8_t> composedByCycle(engine.analyzer.backdropImage.get(),
                                                    engine.analyzer.backdropImage.get() + bytes);
    engine.composeBackdrop();
    EXPECT_TRUE(
        std::equal(composedByCycle.begin(), composedByCycle.end(), engine.analyzer.backdropImage.get()));

    // A stop drops what is pending with the image.
    applyCommand(glassStartKeepingSettings(target));
    ASSERT_TRUE(engine.backdropComposePending);
    engine.stopGlass(true);
    EXPECT_FALSE(engine.backdropComposePending);
    EXPECT_EQ(engine.analyzer.backdropImage, nullptr);
}

}  // namespace
}  // namespace kestra::testing
