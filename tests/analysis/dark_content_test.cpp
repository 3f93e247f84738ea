// The dark-content test and the block variation test.

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <utility>
#include <vector>

#include "analysis_support.h"

namespace kestra {
namespace {

using testing::Analyzer;
using testing::Colour;
using testing::Frame;

// The coarse-grid points that the darkness test samples, in pixels: one step
// inside the default margins of 4 rows and 8 columns.
std::vector<std::pair<int, int>> samplePoints(int width, int height, int step) {
    std::vector<std::pair<int, int>> points;
    for (int y = 4 + step; y < height - 5; y += step) {
        for (int x = 8 + step; x < width - 8; x += step) {
            points.emplace_back(x, y);
        }
    }
    return points;
}

TEST(MeasureDarkness, MoreThanHalfOfTheSamplesMustBeDark) {
    Frame frame(97, 61, {255, 255, 255});
    Analyzer a(frame, 1000);  // sample step 9
    const auto points = samplePoints(97, 61, 9);
    ASSERT_EQ(points.size() % 2, 0u);
    ASSERT_GE(points.size(), 4u);

    // Exactly half dark is not dark.
    for (std::size_t i = 0; i < points.size() / 2; ++i) {
        frame.set(points[i].first, points[i].second, {0, 0, 0});
    }
    a->isDarkContent = 1;
    a->measureDarkness();
    EXPECT_EQ(a->isDarkContent, 0);

    // One more dark sample tips it.
    frame.set(points[points.size() / 2].first, points[points.size() / 2].second, {0, 0, 0});
    a->measureDarkness();
    EXPECT_EQ(a->isDarkContent, 1);
}

TEST(MeasureDarkness, AnAverageOf126IsDarkAnd127IsNot) {
    Frame frame(64, 64, {126, 126, 128});  // (126 + 126 + 128) / 3 = 126
    Analyzer a(frame, 1000);
    a->measureDarkness();
    EXPECT_EQ(a->isDarkContent, 1);
    frame.fillRect(0, 0, 64, 64, {127, 127, 128});  // 127
    a->measureDarkness();
    EXPECT_EQ(a->isDarkContent, 0);
}

TEST(MeasureDarkness, OnlyGridPointsOutsidePhotoRegionsCount) {
    Frame frame(64, 64, {250, 250, 250});
    Analyzer a(frame, 1000);
    // Darkening every pixel that is not a sample point changes nothing.
    const auto points = samplePoints(64, 64, 9);
    Frame dark(64, 64, {0, 0, 0});
    for (auto [x, y] : points) {
        dark.set(x, y, {250, 250, 250});
    }
    a->frame = dark.data();
    a->isDarkContent = 1;
    a->measureDarkness();
    EXPECT_EQ(a->isDarkContent, 0);

    // With every sample inside a photo region the result is kept.
    a->frame = frame.data();
    std::fill(a->regionMask.get(), a->regionMask.get() + a->pixelCount, std::uint8_t{1});
    a->isDarkContent = 1;
    a->measureDarkness();
    EXPECT_EQ(a->isDarkContent, 1);
    // Masked dark samples do not count against bright ones.
    frame.fillRect(0, 0, 64, 64, {0, 0, 0});
    a->regionMask[(points[0].second * 64 + points[0].first)] = 0;
    frame.set(points[0].first, points[0].second, {250, 250, 250});
    a->measureDarkness();
    EXPECT_EQ(a->isDarkContent, 0);
}

TEST(MeasureDarkness, SmallFramesHaveNoSamplesAndKeepTheResult) {
    for (auto [w, h] : {std::pair{1, 1}, std::pair{2, 2}, std::pair{17, 10}, std::pair{30, 11}}) {
        Frame frame(w, h, {0, 0, 0});
        Analyzer a(frame, 3000);
        a->isDarkContent = 0;
        a->measureDarkness();
        EXPECT_EQ(a->isDarkContent, 0) << w << "x" << h;
    }
}

// The block test written in pixel coordinates.
bool texturedAt(const Frame& f, int x, int y, int step, int threshold) {
    if (y < 2 * step || x < 2 * step) {
        return false;
    }
    const int top = y - 2 * step;
    const int left = x - 2 * step;
    const int bottom = std::min(top + 3 * step, f.height() - 1);
    const int right = std::min(left + 4 * step, f.width() - 1);
    int score = 0;
    for (int yy = top; yy <= bottom; yy += step) {
        Colour previous = f.colour(left, yy);
        for (int xx = left + step; xx <= right; xx += step) {
            const Colour current = f.colour(xx, yy);
            if (current == previous) {
                --score;
            } else {
                ++score;
                previous = current;
            }
        }
    }
    return score > threshold;
}

TEST(IsTextured, AgreesWithTheBlockTestInPixelCoordinates) {
    testing::Random rng(20261207);
    const Colour palette[3] = {{0, 0, 0}, {255, 255, 255}, {0, 0, 1}};
    for (auto [w, h, extent] : {std::tuple{37, 29, 1000}, std::tuple{64, 48, 3000}, std::tuple{5, 7, 400},
                                std::tuple{1, 1, 3000}, std::tuple{2, 2, 300}}) {
        Frame frame(w, h);
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; ++x) {
                frame.set(x, y, palette[rng() % 3]);
            }
        }
        Analyzer a(frame, extent);
        for (int threshold : {-17, -3, 0, 5, 10}) {
            for (int y = 0; y < h; ++y) {
                for (int x = 0; x < w; ++x) {
                    ASSERT_EQ(a->isTextured(y * a->rowBytes + x * 4, threshold),
                              texturedAt(frame, x, y, a->probeStep, threshold))
                        << w << "x" << h << " at " << x << "," << y << " threshold " << threshold;
                }
            }
        }
    }
}

TEST(IsTextured, ScoresRangeFromUniformToBusy) {
    Frame uniform(80, 80, {40, 50, 60});
    Analyzer u(uniform, 1000);                                    // probe step 2
    EXPECT_FALSE(u->isTextured(40 * u->rowBytes + 40 * 4, -16));  // score -16
    EXPECT_TRUE(u->isTextured(40 * u->rowBytes + 40 * 4, -17));

    Frame busy(80, 80);
    busy.noiseRect(0, 0, 80, 80, 7);
    Analyzer b(busy, 1000);
    EXPECT_TRUE(b->isTextured(40 * b->rowBytes + 40 * 4, 15));  // score 16
    EXPECT_FALSE(b->isTextured(40 * b->rowBytes + 40 * 4, 16));
    // Within two fine steps of the top or left edge: never textured.
    EXPECT_FALSE(b->isTextured(3 * b->rowBytes + 40 * 4, -100));
    EXPECT_FALSE(b->isTextured(40 * b->rowBytes + 3 * 4, -100));
    // Offsets that are no pixel of the frame are not textured either.
    EXPECT_FALSE(b->isTextured(-4, -100));
    EXPECT_FALSE(b->isTextured(b->byteSize, -100));
    EXPECT_FALSE(b->isTextured(40 * b->rowBytes + 40 * 4 + 1, -100));
}

}  // namespace
}  // namespace kestra
