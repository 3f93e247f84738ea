// Randomised frames, sizes and settings through every analysis walk. Frames,
// backdrops and masks are allocated with their exact sizes, so under the
// address sanitizer a read or write one byte outside any of them fails.
//
// The run is seeded; the seed is printed first and with every failure.
// Replay with KESTRA_ANALYSIS_SEED=<seed>, widen with
// KESTRA_ANALYSIS_ROUNDS=<count>.

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "analysis_support.h"
#include "support/heap_copy.h"

namespace kestra {
namespace {

using testing::Colour;
using testing::Frame;
using testing::Random;

std::uint32_t envNumber(const char* name, std::uint32_t fallback) {
    const char* v = std::getenv(name);
    return v != nullptr && *v != '\0' ? static_cast<std::uint32_t>(std::strtoul(v, nullptr, 10)) : fallback;
}

// Sizes: mostly small (every edge case of the margins and steps), some
// medium, a few long and thin.
std::pair<int, int> drawSize(Random& rng) {
    switch (rng.below(8)) {
        case 0:
            return {1 + rng.below(4), 1 + rng.below(4)};
        case 1:
            return {1 + rng.below(3), 1 + rng.below(600)};
        case 2:
            return {1 + rng.below(600), 1 + rng.below(3)};
        case 3:
            return {40 + rng.below(260), 30 + rng.below(200)};
        default:
            return {1 + rng.below(90), 1 + rng.below(70)};
    }
}

// Desktop extents from nonsense to large, weighted to the small ones that
// give fine steps on small frames.
std::int32_t drawExtent(Random& rng) {
    switch (rng.below(6)) {
        case 0:
            return -rng.below(5000);
        case 1:
            return rng.below(400);
        case 2:
            return 400 + rng.below(1600);
        case 3:
            return 2000 + rng.below(20000);
        default:
            return 300 + rng.below(900);
    }
}

const Colour kPalette[] = {{255, 255, 255}, {0, 0, 0},      {30, 30, 34},
                           {236, 240, 244}, {200, 120, 40}, {8, 9, 250}};

void paint(Frame& f, Random& rng) {
    const int w = f.width();
    const int h = f.height();
    const Colour base = kPalette[rng.below(6)];
    f.fillRect(0, 0, w, h, base);
    switch (rng.below(5)) {
        case 0:  // uniform
            break;
        case 1:  // noise everywhere
            f.noiseRect(0, 0, w, h, rng());
            break;
        case 2:  // blocks of the palette, some noisy (photos)
            for (int i = 0; i < 1 + rng.below(8); ++i) {
                const int x0 = rng.below(w);
                const int y0 = rng.below(h);
                const int x1 = std::min(w, x0 + 1 + rng.below(w));
                const int y1 = std::min(h, y0 + 1 + rng.below(h));
                if (rng.below(3) == 0) {
                    f.noiseRect(x0, y0, x1, y1, rng());
                } else {
                    f.fillRect(x0, y0, x1, y1, kPalette[rng.below(6)]);
                }
            }
            break;
        case 3:  // text-like strokes of palette and random inks
            for (int i = 0; i < w * h / 20 + 1; ++i) {
                const int x = rng.below(w);
                const int y = rng.below(h);
                const Colour ink =
                    rng.below(2) == 0 ? kPalette[rng.below(6)] : Colour{rng.byte(), rng.byte(), rng.byte()};
                f.fillRect(x, y, std::min(w, x + 1 + rng.below(6)), std::min(h, y + 1 + rng.below(3)), ink);
            }
            break;
        default:  // a few colours at random, pixel by pixel
            for (int y = 0; y < h; ++y) {
                for (int x = 0; x < w; ++x) {
                    f.set(x, y, kPalette[rng.below(3)]);
                }
            }
            break;
    }
}

float drawOpacity(Random& rng) {
    switch (rng.below(5)) {
        case 0:
            return 0.0f;
        case 1:
            return 1.0f;
        case 2:  // outside 0..1
            return static_cast<float>(rng.below(800) - 400) / 100.0f;
        default:
            return static_cast<float>(rng.below(101)) / 100.0f;
    }
}

struct Outcome {
    std::vector<std::uint8_t> frame;
    std::vector<std::uint8_t> region;
};

// The fields the rounds draw; settings holds no buffers.
void copySettings(const FrameAnalyzer& settings, FrameAnalyzer& a) {
    a.width = settings.width;
    a.height = settings.height;
    a.limitTop = settings.limitTop;
    a.limitBottom = settings.limitBottom;
    a.limitLeft = settings.limitLeft;
    a.limitRight = settings.limitRight;
    a.photoOpacity = settings.photoOpacity;
    a.photoOpacityComplement = settings.photoOpacityComplement;
    a.contentOpacity = settings.contentOpacity;
    a.contentOpacityComplement = settings.contentOpacityComplement;
    a.foregroundOpacity = settings.foregroundOpacity;
    a.contentOpacityHigh = settings.contentOpacityHigh;
    a.backdropBright = settings.backdropBright;
    a.isDarkContent = settings.isDarkContent;
    a.frameInverted = settings.frameInverted;
}

class BoundsFuzz : public ::testing::Test {
  protected:
    void SetUp() override {
        seen_ = heapAllocate(kColourTableBytes, true);
        background_ = heapAllocate(kColourTableBytes, true);
        ASSERT_NE(seen_, nullptr);
        ASSERT_NE(background_, nullptr);
    }

    // One frame cycle's analyses on a copy of source, as the glass cycle runs
    // them, with the given worker count.
    Outcome cycle(const Frame& source, const Frame& backdropSource, const FrameAnalyzer& settings,
                  std::int32_t extent, int threads, bool withBackdrop, Random& rng);

    // Shared by the rounds: each analyzer borrows them and hands them back.
    HeapBuffer seen_;
    HeapBuffer background_;
};

Outcome BoundsFuzz::cycle(const Frame& source, const Frame& backdropSource, const FrameAnalyzer& settings,
                          std::int32_t extent, int threads, bool withBackdrop, Random& rng) {
    Frame frame = source;
    Frame backdrop = backdropSource;
    FrameAnalyzer a;
    copySettings(settings, a);
    a.frame = frame.data();
    a.backdropImage = withBackdrop ? testing::heapCopyOf(backdrop.data(), backdrop.size()) : nullptr;
    a.threadCount = threads;
    a.seenColourTable = std::move(seen_);
    a.configureGeometryFor(extent);
    // Glass buffers of the exact size; the colour tables are shared by the rounds.
    a.visitedMask = a.pixelCount > 0 ? heapAllocate(static_cast<std::size_t>(a.pixelCount), false) : nullptr;
    a.recolourMask = a.visitedMask.get() != nullptr ? a.regionMask.get() : nullptr;
    a.backgroundColourTable = std::move(background_);
    a.verticalTolerance = static_cast<std::int32_t>(static_cast<double>(a.height) * 0.037037037037037035);
    a.frameInverted = settings.frameInverted;

    a.learnBackgroundColours();
    a.measureDarkness();
    a.detectPhotoRegions();
    a.recolourForeground();

    // Loose probes with offsets and bands inside and outside the frame.
    for (int i = 0; i < 4; ++i) {
        const std::int32_t offset = rng.below(a.byteSize + 64) - 32;
        a.isTextured(offset & ~3, rng.below(40) - 20);
        a.isTextured(offset, 5);
    }
    if (a.rowBytes > 0) {
        const std::int32_t top = (rng.below(a.height + 2) - 1) * a.rowBytes;
        const std::int32_t bottom = (rng.below(a.height + 2) - 1) * a.rowBytes;
        const std::int32_t first = (rng.below(a.width + 2) - 1) * 4;
        const std::int32_t last = (rng.below(a.width + 2) - 1) * 4;
        a.recolourBand(top, bottom, first, last);
    }

    Outcome out;
    out.frame.assign(frame.data(), frame.data() + frame.size());
    if (a.regionMask.get() != nullptr) {
        out.region.assign(a.regionMask.get(), a.regionMask.get() + a.pixelCount);
    }
    seen_ = std::move(a.seenColourTable);
    background_ = std::move(a.backgroundColourTable);
    a.recolourMask = nullptr;
    a.releaseAnalyzer();
    return out;
}

TEST_F(BoundsFuzz, NoWalkLeavesTheFrameOrItsMasks) {
    const std::uint32_t seed = envNumber("KESTRA_ANALYSIS_SEED", 20261207);
    const std::uint32_t rounds = envNumber("KESTRA_ANALYSIS_ROUNDS", 2500);
    std::cout << "analysis bounds fuzz: seed " << seed << ", " << rounds << " rounds" << std::endl;

    for (std::uint32_t round = 0; round < rounds; ++round) {
        const std::uint32_t roundSeed = seed * 2654435761u + round;
        SCOPED_TRACE("KESTRA_ANALYSIS_SEED=" + std::to_string(seed) + " round " + std::to_string(round));
        Random rng(roundSeed);
        if (round % 200 == 0) {
            std::memset(seen_.get(), 0, kColourTableBytes);
            std::memset(background_.get(), 0, kColourTableBytes);
        }

        const auto [w, h] = drawSize(rng);
        Frame source(w, h);
        paint(source, rng);
        Frame backdrop(w, h);
        backdrop.noiseRect(0, 0, w, h, rng());
        // Colours of the palette learned as backgrounds now and then.
        if (rng.below(3) == 0) {
            FrameAnalyzer learner;
            learner.seenColourTable = std::move(seen_);
            learner.backgroundColourTable = std::move(background_);
            const Colour c = kPalette[rng.below(6)];
            const std::uint8_t px[4] = {c.b, c.g, c.r, 0};
            learner.markBackgroundColour(px);
            seen_ = std::move(learner.seenColourTable);
            background_ = std::move(learner.backgroundColourTable);
        }

        FrameAnalyzer settings;
        settings.width = w;
        settings.height = h;
        const std::int32_t extent = drawExtent(rng);
        if (rng.below(6) == 0) {
            settings.limitTop = rng.below(h + 20) - 10;
            settings.limitBottom = rng.below(h + 20) - 10;
            settings.limitLeft = rng.below(w + 20) - 10;
            settings.limitRight = rng.below(w + 20) - 10;
        }
        settings.photoOpacity = drawOpacity(rng);
        settings.photoOpacityComplement = 1.0f - settings.photoOpacity;
        settings.contentOpacity = drawOpacity(rng);
        settings.contentOpacityComplement = 1.0f - settings.contentOpacity;
        settings.foregroundOpacity = drawOpacity(rng);
        settings.contentOpacityHigh = settings.contentOpacity >= 0.2f;
        settings.backdropBright = rng.below(2) == 1;
        settings.isDarkContent = rng.below(2) == 1;
        settings.frameInverted = rng.below(4) == 0;
        const bool withBackdrop = rng.below(4) != 0;
        const int threads = 1 + rng.below(3);

        const std::uint32_t probeSeed = rng();
        Random probes(probeSeed);
        const Outcome got = cycle(source, backdrop, settings, extent, threads, withBackdrop, probes);

        // The fourth byte of every pixel stays as captured; masks hold 0 or 1.
        for (std::size_t i = 3; i < got.frame.size(); i += 4) {
            ASSERT_EQ(got.frame[i], 0xA5) << w << "x" << h << " pixel " << i / 4;
        }
        for (std::uint8_t m : got.region) {
            ASSERT_LE(m, 1);
        }
        // Now and then the same cycle on another worker count gives the same bytes.
        if (round % 4 == 0) {
            Random sameProbes(probeSeed);
            const Outcome other =
                cycle(source, backdrop, settings, extent, threads % 3 + 1, withBackdrop, sameProbes);
            ASSERT_EQ(got.frame, other.frame) << w << "x" << h << " threads " << threads;
            ASSERT_EQ(got.region, other.region) << w << "x" << h << " threads " << threads;
        }
    }
}

}  // namespace
}  // namespace kestra
