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

}  // namespace
}  // namespace kestra::testing
