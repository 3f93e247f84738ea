// The overlay shows the same bytes whether a cycle's last pass runs straight
// into the overlay surface (as the cycles do) or in place with the scalar
// kernel followed by a copy (the plain path, kept as the reference): random
// frames of odd sizes, 1 to 3 workers, dark and glass, copy, blend and the
// glass dark mode.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "analysis/pixel_passes.h"
#include "cycle_scenario.h"
#include "support/heap_copy.h"

namespace kestra::testing {
namespace {

constexpr sim::Colour kPaper = sim::bgra(246, 246, 244);

// A light page with random ink strokes and, on larger frames, a noisy block
// that the photo detection may take as a picture.
sim::Image randomPage(int width, int height, std::mt19937& random) {
    sim::Image img(width, height, kPaper);
    std::uniform_int_distribution<int> xs(0, width - 1);
    std::uniform_int_distribution<int> ys(0, height - 1);
    std::uniform_int_distribution<int> byte(0, 255);
    const int strokes = 1 + width * height / 400;
    for (int i = 0; i < strokes; ++i) {
        const int x = xs(random);
        const int y = ys(random);
        img.fillRect(
            RECT{x, y, x + 1 + xs(random) % 40, y + 1 + ys(random) % 6},
            sim::bgra(static_cast<std::uint8_t>(byte(random) / 4), static_cast<std::uint8_t>(byte(random)),
                      static_cast<std::uint8_t>(byte(random))));
    }
    if (width > 200 && height > 200) {
        const sim::Image noise =
            noiseImage(width / 3, height / 3, static_cast<std::uint32_t>(random()), kPaper);
        for (int y = 0; y < noise.height; ++y) {
            for (int x = 0; x < noise.width; ++x) {
                img.setPixel(width / 2 + x - noise.width / 2, height / 2 + y - noise.height / 2,
                             noise.pixels[(static_cast<std::size_t>(y) * noise.width + x) * 4] |
                                 (static_cast<sim::Colour>(
                                      noise.pixels[(static_cast<std::size_t>(y) * noise.width + x) * 4 + 1])
                                  << 8) |
                                 0xFF000000u);
            }
        }
    }
    return img;
}

// What the plain path presents for the frame the capture buffer holds now
// (the passes before the last one already applied): the last pass in place
// with the scalar kernel on a copy of the buffer.
std::vector<std::uint8_t> referencePresent(const EffectEngine& engine, FramePass pass) {
    const FrameAnalyzer& live = engine.analyzer;
    std::vector<std::uint8_t> frame(live.frame, live.frame + live.byteSize);
    FrameAnalyzer reference;
    reference.width = live.width;
    reference.height = live.height;
    reference.pixelCount = live.pixelCount;
    reference.rowBytes = live.rowBytes;
    reference.lastRowOffset = live.lastRowOffset;
    reference.byteSize = live.byteSize;
    reference.threadCount = 1;
    reference.contentOpacity = live.contentOpacity;
    reference.contentOpacityComplement = live.contentOpacityComplement;
    reference.frame = frame.data();
    if (live.backdropImage != nullptr) {
        reference.backdropImage =
            heapCopyOf(live.backdropImage.get(), static_cast<std::size_t>(live.byteSize));
    }
    reference.regionMask = heapCopyOf(live.regionMask.get(), static_cast<std::size_t>(live.pixelCount));
    EXPECT_TRUE(selectPassKernel(PassKernel::scalar));
    switch (pass) {
        case FramePass::invert:
            reference.invertPass();
            break;
        case FramePass::copyBackdrop:
            reference.copyBackdropPass();
            break;
        case FramePass::blendBackdrop:
            reference.blendBackdropPass();
            break;
    }
    resetPixelPassState();
    reference.frame = nullptr;
    return frame;
}

bool surfaceEquals(const EffectEngine& engine, const std::vector<std::uint8_t>& expected) {
    const OverlayLayer& overlay = engine.overlay;
    return overlay.surfaceBits != nullptr && static_cast<std::size_t>(overlay.byteSize) == expected.size() &&
           std::memcmp(overlay.surfaceBits, expected.data(), expected.size()) == 0;
}

using PresentPassScenario = CycleScenario;

const RECT kRects[] = {{100, 100, 101, 101}, {40, 60, 43, 67}, {10, 20, 271, 151}, {0, 0, 1921, 1081}};

TEST_F(PresentPassScenario, DarkCycleShowsTheInPlaceInversionOnRandomFrames) {
    std::mt19937 random(1302);
    for (const RECT& rect : kRects) {
        const int width = widthOf(rect);
        const int height = heightOf(rect);
        const HWND target = createWindow(rect, sim::Content::image(randomPage(width, height, random)));
        TrackedWindow& record = trackDark(target);
        EffectEngine& engine = record.engine;
        const int cycles = width * height > 1000000 ? 3 : 6;
        for (int cycle = 0; cycle < cycles; ++cycle) {
            desk->window(target).setContent(sim::Content::image(randomPage(width, height, random)));
            engine.analyzer.threadCount = 1 + cycle % 3;
            engine.darkCycle();
            ASSERT_NE(engine.analyzer.frame, nullptr);
            ASSERT_FALSE(engine.overlayHiddenDark) << "a light page is not dark content";
            // The inversion went to the surface only: the capture buffer still
            // holds the target's own pixels, as frameCopy took them.
            EXPECT_EQ(std::memcmp(engine.analyzer.frame, engine.frameCopy.get(),
                                  static_cast<std::size_t>(engine.analyzer.byteSize)),
                      0);
            EXPECT_TRUE(surfaceEquals(engine, referencePresent(engine, FramePass::invert)))
                << width << " x " << height << ", cycle " << cycle << ", " << engine.analyzer.threadCount
                << " workers";
        }
    }
}

// Whether the screen shows the expected bytes over the target (colour bytes
// only: the screen's fourth byte is its own).
bool screenShows(const sim::Image& shot, const std::vector<std::uint8_t>& expected) {
    if (shot.pixels.size() != expected.size()) {
        return false;
    }
    for (std::size_t i = 0; i < expected.size(); ++i) {
        if (i % 4 != 3 && shot.pixels[i] != expected[i]) {
            return false;
        }
    }
    return true;
}

// The dark cycle inverts and presents only the rows of a change while the
// surface holds the last inversion: after every cycle the surface and the
// screen must still show the inversion of the whole frame. Edits of a few
// rows, of the picture (its region moves), none at all (the colour learning
// falls due), whole new pages, failed presents and dark spells mixed.
TEST_F(PresentPassScenario, DarkCycleShowsTheWholeInversionWhenOnlySomeRowsChange) {
    std::mt19937 random(1304);
    int partialPresents = 0;
    const RECT rects[] = {kRects[0], kRects[1], kRects[2], {50, 40, 850, 640}, kRects[3]};
    for (const RECT& rect : rects) {
        const int width = widthOf(rect);
        const int height = heightOf(rect);
        sim::Image page = randomPage(width, height, random);
        const HWND target = createWindow(rect, sim::Content::image(page));
        TrackedWindow& record = trackDark(target);
        EffectEngine& engine = record.engine;
        desk->callLog().enable();
        const sim::Image screen = desk->screenshot();
        const bool onScreen = rect.right <= screen.width && rect.bottom <= screen.height;
        const int cycles = width * height > 1000000 ? 12 : 40;
        for (int cycle = 0; cycle < cycles; ++cycle) {
            const int y = static_cast<int>(random() % static_cast<unsigned>(height));
            const int x = static_cast<int>(random() % static_cast<unsigned>(width));
            const int rows = 1 + static_cast<int>(random() % 9);
            int wait = engine.overlayHiddenDark ? kDarknessTestPeriodMs + 1 : 20;
            switch (random() % 8) {
                case 0:
                    page = randomPage(width, height, random);
                    break;
                case 1: {
                    // A strip of paper across the picture: its region ends at
                    // the strip, and rows far from it lose their mask.
                    const int strip =
                        height / 3 - 8 + static_cast<int>(random() % static_cast<unsigned>(height / 3 + 16));
                    page.fillRect(RECT{0, strip, width, strip + 4}, kPaper);
                    break;
                }
                case 2:
                    break;  // nothing changes
                case 3:
                    desk->failNext("BitBlt");
                    page.fillRect(RECT{x, y, x + 30, y + rows}, sim::bgra(10, 10, 10));
                    break;
                case 4:
                    // A dark spell hides the overlay; the page then changes
                    // while nothing is presented.
                    page.fill(sim::bgra(20, 20, 24));
                    wait = kDarknessTestPeriodMs + 1;
                    break;
                case 5:
                    // A spell of glass over the same page, then dark again.
                    applyCommand(glassStartKeepingSettings(target));
                    engine.glassCycle();
                    engine.glassCycle();
                    applyCommand(StopGlassCommand{target});
                    // The overlay keeps the glass image until the page changes.
                    page.fillRect(RECT{x, y, x + 5, y + 1},
                                  sim::bgra(static_cast<std::uint8_t>(cycle), 200, 17));
                    break;
                default:
                    page.fillRect(RECT{x, y, x + 1 + x % 50, y + rows},
                                  sim::bgra(static_cast<std::uint8_t>(random()), 40, 90));
                    break;
            }
            desk->window(target).setContent(sim::Content::image(page));
            engine.analyzer.threadCount = 1 + cycle % 3;
            const int before = blits();
            desk->runFor(wait);
            engine.darkCycle();
            if (engine.overlayHiddenDark) {
                // Light again, taken into the copy while the overlay stays
                // hidden until the next darkness test.
                page = randomPage(width, height, random);
                desk->window(target).setContent(sim::Content::image(page));
                desk->runFor(20);
                engine.darkCycle();
                continue;
            }
            const std::vector<std::uint8_t> expected = referencePresent(engine, FramePass::invert);
            EXPECT_TRUE(surfaceEquals(engine, expected)) << width << " x " << height << ", cycle " << cycle
                                                         << ", " << engine.analyzer.threadCount << " workers";
            if (engine.surfaceInStep && onScreen) {
                EXPECT_TRUE(screenShows(overlayShot(record), expected))
                    << width << " x " << height << ", cycle " << cycle;
            }
            const auto calls = desk->callLog().named("BitBlt");
            if (blits() > before && calls.back().rect.bottom < height) {
                ++partialPresents;  // the rectangle's bottom holds its height
            }
        }
        desk->callLog().clear();
    }
    EXPECT_GT(partialPresents, 10) << "edits of a few rows present those rows only";
}

TEST_F(PresentPassScenario, GlassCycleShowsTheInPlaceBlendCopyAndDarkModeOnRandomFrames) {
    std::mt19937 random(1303);
    for (const RECT& rect : kRects) {
        const int width = widthOf(rect);
        const int height = heightOf(rect);
        const HWND target = createWindow(rect, sim::Content::image(randomPage(width, height, random)));
        TrackedWindow& record = trackGlass(target, 12);
        EffectEngine& engine = record.engine;
        tick(record);
        const int cycles = width * height > 1000000 ? 3 : 6;
        int compared = 0;
        for (int cycle = 0; cycle < cycles; ++cycle) {
            desk->window(target).setContent(sim::Content::image(randomPage(width, height, random)));
            engine.analyzer.threadCount = 1 + cycle % 3;
            const float opacity = cycle % 3 == 0 ? 0.0f : 0.55f;
            engine.analyzer.contentOpacity = opacity;
            engine.analyzer.contentOpacityComplement = 1.0f - opacity;
            engine.glassDarkMode = cycle % 2 == 1;
            engine.glassCycle();
            if (engine.analyzer.backdropImage == nullptr) {
                continue;  // the backdrop has not caught up with this size yet
            }
            const FramePass last = opacity != 0.0f ? FramePass::blendBackdrop : FramePass::copyBackdrop;
            EXPECT_TRUE(surfaceEquals(engine, referencePresent(engine, last)))
                << width << " x " << height << ", cycle " << cycle << ", opacity " << opacity
                << ", dark mode " << engine.glassDarkMode << ", " << engine.analyzer.threadCount
                << " workers";
            ++compared;
        }
        EXPECT_GT(compared, 1) << width << " x " << height;
    }
}

// The glass cycle writes and presents only the rows whose result differs
// from what the window shows: after every cycle the surface and the screen
// must still show the whole result. Edits of a few rows, no edit, failed
// presents, the overlay hidden and shown again, live backdrop cycles and new
// pages mixed; cycles whose result came out the same present nothing.
TEST_F(PresentPassScenario, GlassCycleShowsTheWholeResultWhenOnlySomeRowsChange) {
    std::mt19937 random(1305);
    int partialPresents = 0;
    int quietCycles = 0;
    const RECT rects[] = {kRects[1], kRects[2], {50, 40, 850, 640}};
    for (const RECT& rect : rects) {
        const int width = widthOf(rect);
        const int height = heightOf(rect);
        sim::Image page = randomPage(width, height, random);
        const HWND target = createWindow(rect, sim::Content::image(page));
        TrackedWindow& record = trackGlass(target, 12);
        EffectEngine& engine = record.engine;
        tick(record);
        desk->callLog().enable();
        for (int cycle = 0; cycle < 30; ++cycle) {
            const int y = static_cast<int>(random() % static_cast<unsigned>(height));
            const int x = static_cast<int>(random() % static_cast<unsigned>(width));
            const int rows = 1 + static_cast<int>(random() % 9);
            bool edited = random() % 4 != 0;
            bool pageEdited = edited;
            if (edited) {
                page.fillRect(RECT{x, y, x + 1 + x % 50, y + rows},
                              sim::bgra(static_cast<std::uint8_t>(random()), 40, 90));
            }
            switch (random() % 8) {
                case 0:
                    page = randomPage(width, height, random);
                    edited = true;
                    pageEdited = true;
                    break;
                case 1:
                    desk->failNext("BitBlt");
                    break;
                case 2:
                    // Shown again, the window may have lost what it showed.
                    ShowWindow(engine.overlay.layerWindow, SW_HIDE);
                    engine.overlay.showLayer();
                    break;
                case 3:
                    engine.backdropIdle = false;  // a live backdrop cycle
                    edited = true;                // processed as a change is
                    break;
                default:
                    break;
            }
            desk->window(target).setContent(sim::Content::image(page));
            engine.analyzer.threadCount = 1 + cycle % 3;
            const int before = blits();
            desk->runFor(20);
            engine.glassCycle();
            if (engine.analyzer.backdropImage == nullptr || !edited) {
                continue;  // a cycle with nothing new leaves the buffer as captured
            }
            const FramePass last =
                engine.analyzer.contentOpacity != 0.0f ? FramePass::blendBackdrop : FramePass::copyBackdrop;
            const std::vector<std::uint8_t> expected = referencePresent(engine, last);
            EXPECT_TRUE(surfaceEquals(engine, expected)) << width << " x " << height << ", cycle " << cycle;
            if (surfaceOnScreen(engine)) {
                EXPECT_TRUE(screenShows(overlayShot(record), expected))
                    << width << " x " << height << ", cycle " << cycle;
            }
            const auto calls = desk->callLog().named("BitBlt");
            if (blits() > before && calls.back().rect.bottom < height) {
                ++partialPresents;
            }
            // A live cycle over an unchanged page and background.
            quietCycles += !pageEdited && blits() == before ? 1 : 0;
        }
        desk->callLog().clear();
    }
    EXPECT_GT(partialPresents, 10) << "edits of a few rows present those rows only";
    EXPECT_GT(quietCycles, 0) << "a result the window shows already is not presented again";
}

}  // namespace
}  // namespace kestra::testing
