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

// What the glass cycle presents for the target's frame `raw` with every row
// recoloured: the cycle's detection, inversion and recolouring run again on
// raw in the live analyzer, then the last pass as referencePresent makes it.
// The analyzer is put back as the cycle left it.
std::vector<std::uint8_t> wholeGlassPresent(EffectEngine& engine, const std::vector<std::uint8_t>& raw,
                                            FramePass pass) {
    FrameAnalyzer& a = engine.analyzer;
    const auto bytes = static_cast<std::size_t>(a.byteSize);
    const auto pixels = static_cast<std::size_t>(a.pixelCount);
    EXPECT_EQ(raw.size(), bytes);
    const std::vector<std::uint8_t> frame(a.frame, a.frame + bytes);
    const std::vector<std::uint8_t> region(a.regionMask.get(), a.regionMask.get() + pixels);
    // What detection and recolouring leave in the analyzer.
    const auto marked = a.markedRegions;
    const auto earlierMarked = a.earlierMarkedRegions;
    const bool regionsRepeated = a.photoRegionsRepeated;
    const std::int32_t markedPixels = a.markedPixelCount;
    const auto bands = a.foregroundBands;
    const auto earlierBands = a.earlierForegroundBands;
    const auto plainBits = a.bandPlainBits;
    const bool bandsRepeated = a.foregroundBandsRepeated;
    const std::uint8_t inverted = a.frameInverted;
    const RunColour run = runColour;
    std::memcpy(a.frame, raw.data(), bytes);
    a.detectPhotoRegions();
    if (inverted != 0) {
        a.invertPass();
    }
    a.recolourForeground();
    std::vector<std::uint8_t> expected = referencePresent(engine, pass);
    std::memcpy(a.frame, frame.data(), bytes);
    std::memcpy(a.regionMask.get(), region.data(), pixels);
    a.markedRegions = marked;
    a.earlierMarkedRegions = earlierMarked;
    a.photoRegionsRepeated = regionsRepeated;
    a.markedPixelCount = markedPixels;
    a.foregroundBands = bands;
    a.earlierForegroundBands = earlierBands;
    a.bandPlainBits = plainBits;
    a.foregroundBandsRepeated = bandsRepeated;
    a.frameInverted = inverted;
    runColour = run;
    return expected;
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

// The glass cycle paints, writes and presents only the rows a change of the
// page touched, and of those only the ones whose result differs: after every
// cycle the surface and the screen must still show the whole result, every
// row recoloured from the target's frame. Edits of a few rows, no edit,
// failed presents, the overlay hidden and shown again, live backdrop cycles,
// settings changed under an edit, the colour learning falling due, the
// following mode and new pages mixed; cycles whose result came out the same
// present nothing.
TEST_F(PresentPassScenario, GlassCycleShowsTheWholeResultWhenOnlySomeRowsChange) {
    std::mt19937 random(1305);
    int partialPresents = 0;
    int quietCycles = 0;
    int followingCycles = 0;
    const RECT rects[] = {kRects[1], kRects[2], {50, 40, 850, 640}};
    for (const RECT& rect : rects) {
        const int width = widthOf(rect);
        const int height = heightOf(rect);
        sim::Image page = randomPage(width, height, random);
        sim::Image pageBefore = page;  // the page before the last edit
        const HWND target = createWindow(rect, sim::Content::image(page));
        TrackedWindow& record = trackGlass(target, 12);
        EffectEngine& engine = record.engine;
        FrameAnalyzer& analyzer = engine.analyzer;
        tick(record);
        desk->callLog().enable();
        for (int cycle = 0; cycle < 40; ++cycle) {
            const auto edit = [&] {
                pageBefore = page;
                const int y = static_cast<int>(random() % static_cast<unsigned>(height));
                const int x = static_cast<int>(random() % static_cast<unsigned>(width));
                const int rows = 1 + static_cast<int>(random() % 9);
                page.fillRect(RECT{x, y, x + 1 + x % 50, y + rows},
                              sim::bgra(static_cast<std::uint8_t>(random()), 40, 90));
            };
            const auto kase = random() % 12;
            // A following mode starts over the page as it is, so that its
            // later cycles meet edits of a few rows.
            bool pageEdited = kase != 7 && kase != 9 && kase != 10 && random() % 4 != 0;
            if (pageEdited) {
                edit();
            }
            std::int32_t wait = 20;
            switch (kase) {
                case 0:
                    page = randomPage(width, height, random);
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
                    engine.lastBackdropChange = nowMs();
                    break;
                case 4: {
                    // Settings the result depends on, changed under an edit
                    // (a cycle without a change would keep the image).
                    const float opacity = analyzer.foregroundOpacity == 1.0f ? 0.6f : 1.0f;
                    analyzer.foregroundOpacity = opacity;
                    analyzer.foregroundOpacityComplement = 1.0f - opacity;
                    edit();
                    pageEdited = true;
                    break;
                }
                case 5: {
                    const float opacity = analyzer.contentOpacity == 0.0f ? 0.55f : 0.0f;
                    analyzer.contentOpacity = opacity;
                    analyzer.contentOpacityComplement = 1.0f - opacity;
                    engine.glassDarkMode = random() % 2 == 0;
                    edit();
                    pageEdited = true;
                    break;
                }
                case 6:
                    engine.lastColourLearning = nowMs() - kColourLearningPeriodMs;
                    break;
                case 7:
                case 9:
                    // A move starts the following mode (the target stays put).
                    desk->window(target).moveBy(0, 0);
                    engine.followTarget();
                    break;
                case 10:
                    // The last edit undone (while following too): rows that
                    // are as they were before it changed all the same.
                    page = pageBefore;
                    pageEdited = true;
                    break;
                case 8:
                    // Following ends, a live backdrop turns idle (its last
                    // composition waits for a change of the page).
                    wait = 1100;
                    edit();
                    pageEdited = true;
                    break;
                default:
                    break;
            }
            desk->window(target).setContent(sim::Content::image(page));
            analyzer.threadCount = 1 + cycle % 3;
            const int before = blits();
            desk->runFor(wait);
            engine.glassCycle();
            if (analyzer.backdropImage == nullptr) {
                continue;  // the backdrop has not caught up with this size yet
            }
            followingCycles += engine.monitorBackdropActive ? 1 : 0;
            const FramePass last =
                analyzer.contentOpacity != 0.0f ? FramePass::blendBackdrop : FramePass::copyBackdrop;
            const std::vector<std::uint8_t> expected =
                wholeGlassPresent(engine, targetShot(record).pixels, last);
            EXPECT_TRUE(surfaceEquals(engine, expected))
                << width << " x " << height << ", cycle " << cycle << ", case " << kase;
            if (surfaceOnScreen(engine)) {
                EXPECT_TRUE(screenShows(overlayShot(record), expected))
                    << width << " x " << height << ", cycle " << cycle;
            }
            const auto calls = desk->callLog().named("BitBlt");
            if (blits() > before && calls.back().rect.bottom < height) {
                ++partialPresents;
            }
            // A cycle that went through an unchanged page and whose result
            // came out the same.
            const bool wentThrough = kase == 3 || kase == 6 || engine.monitorBackdropActive;
            quietCycles += wentThrough && !pageEdited && blits() == before ? 1 : 0;
        }
        desk->callLog().clear();
    }
    EXPECT_GT(partialPresents, 10) << "edits of a few rows present those rows only";
    EXPECT_GT(quietCycles, 0) << "a result the window shows already is not presented again";
    EXPECT_GT(followingCycles, 3) << "the following mode was met";
}

}  // namespace
}  // namespace kestra::testing
