// Photo-region detection on scenes built in memory.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "analysis_support.h"
#include "support/heap_copy.h"

namespace kestra {
namespace {

using testing::Analyzer;
using testing::Colour;
using testing::Frame;

constexpr Colour kPaper{236, 240, 244};

// The marked pixels' bounding box, and whether the mark fills it.
struct Marked {
    int left = -1, top = -1, right = -1, bottom = -1;
    int count = 0;
    bool filled() const { return count == (right - left + 1) * (bottom - top + 1); }
};

Marked marked(Analyzer& a) {
    Marked m;
    for (int y = 0; y < a->height; ++y) {
        for (int x = 0; x < a->width; ++x) {
            if (a.regionAt(x, y) == 0) {
                continue;
            }
            if (m.count++ == 0) {
                m.left = m.right = x;
                m.top = m.bottom = y;
            }
            m.left = std::min(m.left, x);
            m.right = std::max(m.right, x);
            m.top = std::min(m.top, y);
            m.bottom = std::max(m.bottom, y);
        }
    }
    return m;
}

// A desktop extent of 1000 gives a fine step of 2 pixels: the scan grid lies
// at x = 8 + 8k, y = 4 + 8k.
constexpr int kExtent = 1000;

// Paper with a noisy photo covering x 100..259 and y 80..bottom-1.
Frame paperWithPhoto(int bottom = 200) {
    Frame frame(400, 300, kPaper);
    frame.noiseRect(100, 80, 260, bottom, 11);
    return frame;
}

// Runs the detection over the frame with the paper colour learned.
Marked detectOnLearnedPaper(Frame& frame) {
    Analyzer a(frame, kExtent);
    a.learn(kPaper);
    a->detectPhotoRegions();
    return marked(a);
}

// Detects again with photos shown at `opacity` over the backdrop.
void detectWithPhotoOpacity(Analyzer& a, float opacity) {
    a->photoOpacity = opacity;
    a->photoOpacityComplement = 1.0f - opacity;
    a->detectPhotoRegions();
}

void expectBox(const Marked& m, int left, int top, int right, int bottom) {
    EXPECT_EQ(m.left, left);
    EXPECT_EQ(m.top, top);
    EXPECT_EQ(m.right, right);
    EXPECT_EQ(m.bottom, bottom);
}

TEST(PhotoRegions, UniformAndSmallFramesHaveNoRegion) {
    Frame uniform(300, 200, kPaper);
    Analyzer a(uniform, kExtent);
    a->regionMask[123] = 1;  // left from an earlier frame
    a->detectPhotoRegions();
    EXPECT_EQ(marked(a).count, 0);

    // Eight rows or fewer: no grid row lies between the margins.
    for (int h : {1, 2, 8}) {
        Frame busy(300, h);
        busy.noiseRect(0, 0, 300, h, 3);
        Analyzer b(busy, kExtent);
        b->detectPhotoRegions();
        EXPECT_EQ(marked(b).count, 0) << h;
    }
}

TEST(PhotoRegions, APhotoOnALearnedBackgroundIsMarkedToItsEdges) {
    Frame frame = paperWithPhoto();
    const Frame before = frame;
    const Marked m = detectOnLearnedPaper(frame);
    expectBox(m, 100, 80, 259, 199);
    EXPECT_TRUE(m.filled());
    // Without a backdrop the pixels stay as they are.
    EXPECT_TRUE(frame == before);
}

TEST(PhotoRegions, WithoutLearnedColoursTheGridEdgesStand) {
    Frame frame = paperWithPhoto();
    Analyzer a(frame, kExtent);
    a->detectPhotoRegions();
    const Marked m = marked(a);
    // The grid points whose blocks are busy: x 104..256, y 84..196.
    expectBox(m, 104, 84, 256, 196);
    EXPECT_TRUE(m.filled());
}

TEST(PhotoRegions, VotesMoveAnEdgePastAStrayBackgroundPixel) {
    Frame frame = paperWithPhoto();
    // One paper-coloured pixel just above the start stops the top walk at row
    // 82; the row above it is mostly photo, so the vote takes the top to 80.
    frame.set(104, 81, kPaper);
    expectBox(detectOnLearnedPaper(frame), 100, 80, 259, 199);
}

TEST(PhotoRegions, AMostlyBackgroundBottomRowIsVotedBackUp) {
    Frame frame = paperWithPhoto();
    // A one-pixel tail under the column that set the bottom takes the bottom
    // walk down to row 239; that row is mostly paper, so the vote shrinks the
    // region back to the last row that is mostly photo.
    frame.noiseRect(104, 200, 105, 240, 12);
    const Marked m = detectOnLearnedPaper(frame);
    expectBox(m, 100, 80, 259, 199);
    EXPECT_TRUE(m.filled());
}

TEST(PhotoRegions, ABottomVoteThatGrowsToTheLimitKeepsTheWalkedBottom) {
    // The photo reaches the last row. The deepest grid point is row 292 and no
    // paper lies below it; the vote would grow to the scan limit, so the
    // bottom stays at 292.
    Frame frame = paperWithPhoto(300);
    expectBox(detectOnLearnedPaper(frame), 100, 80, 259, 292);
}

TEST(PhotoRegions, BusyAreasNarrowerThanFourScanStepsAreNoRegion) {
    Frame frame(400, 300, kPaper);
    frame.noiseRect(100, 40, 136, 280, 5);  // 36 pixels wide, tall
    EXPECT_EQ(detectOnLearnedPaper(frame).count, 0);
}

TEST(PhotoRegions, TwoPhotosAreMarkedAndAnEarlierRegionIsNotGrownInto) {
    Frame frame(500, 300, kPaper);
    frame.noiseRect(40, 30, 200, 150, 1);
    frame.noiseRect(260, 100, 460, 260, 2);
    Analyzer a(frame, kExtent);
    a.learn(kPaper);
    a->detectPhotoRegions();
    int inFirst = 0;
    int inSecond = 0;
    int elsewhere = 0;
    for (int y = 0; y < 300; ++y) {
        for (int x = 0; x < 500; ++x) {
            if (a.regionAt(x, y) == 0) {
                continue;
            }
            if (x >= 40 && x < 200 && y >= 30 && y < 150) {
                ++inFirst;
            } else if (x >= 260 && x < 460 && y >= 100 && y < 260) {
                ++inSecond;
            } else {
                ++elsewhere;
            }
        }
    }
    EXPECT_EQ(inFirst, 160 * 120);
    EXPECT_EQ(inSecond, 200 * 160);
    EXPECT_EQ(elsewhere, 0);
}

TEST(PhotoRegions, PhotoPixelsAreBlendedWithTheBackdropUnderGlass) {
    Frame frame = paperWithPhoto();
    const Frame original = frame;
    std::vector<std::uint8_t> backdrop(frame.size());
    for (std::size_t i = 0; i < backdrop.size(); ++i) {
        backdrop[i] = static_cast<std::uint8_t>(i * 7 + 3);
    }
    Analyzer a(frame, kExtent);
    a.learn(kPaper);
    a->backdropImage = testing::heapCopyOf(backdrop);

    // Opacity 1: nothing to blend.
    detectWithPhotoOpacity(a, 1.0f);
    EXPECT_TRUE(frame == original);

    // Opacity 0: the backdrop replaces the photo, and only the photo.
    detectWithPhotoOpacity(a, 0.0f);
    for (int y = 0; y < 300; ++y) {
        for (int x = 0; x < 400; ++x) {
            const std::uint8_t* p = frame.at(x, y);
            const std::uint8_t* b = backdrop.data() + (y * 400 + x) * 4;
            const bool photo = x >= 100 && x < 260 && y >= 80 && y < 200;
            const Colour expected = photo ? Colour{b[0], b[1], b[2]} : original.colour(x, y);
            ASSERT_EQ(frame.colour(x, y), expected) << x << "," << y;
            ASSERT_EQ(p[3], 0xA5);
        }
    }
}

TEST(PhotoRegions, AHalfOpaquePhotoMixesFrameAndBackdrop) {
    Frame frame = paperWithPhoto();
    const Frame original = frame;
    std::vector<std::uint8_t> backdrop(frame.size(), 100);
    Analyzer a(frame, kExtent);
    a.learn(kPaper);
    a->backdropImage = testing::heapCopyOf(backdrop);
    detectWithPhotoOpacity(a, 0.5f);
    for (int y = 80; y < 200; y += 7) {
        for (int x = 100; x < 260; x += 5) {
            const std::uint8_t* o = original.at(x, y);
            const std::uint8_t* p = frame.at(x, y);
            for (int k = 0; k < 3; ++k) {
                const float mixed = static_cast<float>(o[k]) * 0.5f + 100.0f * 0.5f;
                ASSERT_EQ(p[k], static_cast<std::uint8_t>(mixed));
            }
        }
    }
    EXPECT_EQ(frame.colour(50, 50), kPaper);
}

// Whatever the mask held before (marks of an earlier frame, stray bytes
// anywhere, up to the last byte, or every byte set), detection leaves the
// same mask as on a fresh one: sizes whose mask ends in a partial block.
TEST(PhotoRegions, EarlierMaskContentNeverSurvivesDetection) {
    for (const auto& [w, h] : std::vector<std::pair<int, int>>{{1, 1}, {3, 7}, {400, 300}, {1921, 1081}}) {
        Frame frame(w, h, kPaper);
        if (w > 100) {
            frame.noiseRect(w / 4, h / 4, w / 4 + 160, h / 4 + 120, 5);
        }
        Analyzer a(frame);
        a.learn(kPaper);
        a->detectPhotoRegions();
        const std::vector<std::uint8_t> fresh(a->regionMask.get(), a->regionMask.get() + a->pixelCount);
        const auto count = static_cast<std::size_t>(a->pixelCount);

        std::mt19937 random(static_cast<std::uint32_t>(w * 31 + h));
        for (int round = 0; round < 4; ++round) {
            std::uint8_t* mask = a->regionMask.get();
            if (round == 3) {
                std::fill(mask, mask + count, std::uint8_t{1});
            } else {
                mask[0] = 1;
                mask[count - 1] = 1;
                for (int i = 0; i < 50; ++i) {
                    mask[random() % count] = static_cast<std::uint8_t>(1 + random() % 255);
                }
            }
            a->detectPhotoRegions();
            EXPECT_TRUE(std::equal(fresh.begin(), fresh.end(), a->regionMask.get()))
                << w << " x " << h << ", round " << round;
        }
    }
}

}  // namespace
}  // namespace kestra
