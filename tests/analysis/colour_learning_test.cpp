// Learning of background colours along the four line families.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "analysis_support.h"

namespace kestra {
namespace {

using testing::Analyzer;
using testing::Colour;
using testing::flagBytes;
using testing::flagCount;
using testing::flagOf;
using testing::Frame;

std::uint32_t keyOf(Colour c) {
    return (std::uint32_t{c.b} << 16) | (std::uint32_t{c.g} << 8) | c.r;
}

// A frame whose pixels all differ from each other and from the colours the
// tests place (byte 2 is 0..31, unlike every colour placed below).
Frame distinctFrame(int w, int h) {
    Frame f(w, h);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const int i = y * w + x;
            f.set(x, y,
                  Colour{static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(i >> 8),
                         static_cast<std::uint8_t>((i >> 16) & 31)});
        }
    }
    return f;
}

TEST(LearnBackgroundColours, TwoHundredEqualPixelsOnALineMakeABackgroundColour) {
    constexpr Colour kShort{200, 10, 100};
    constexpr Colour kLong{150, 90, 250};
    Frame frame = distinctFrame(500, 40);
    // The first line from the left edge visits (x, x / 32) for the row 0 start.
    for (int x = 0; x < 199; ++x) {
        frame.set(x, x / 32, kShort);
    }
    Frame second = distinctFrame(500, 40);
    for (int x = 0; x < 200; ++x) {
        second.set(x, 4 + x / 32, kLong);  // the line that starts on row 4
    }
    Analyzer a(frame);
    a->learnBackgroundColours();
    EXPECT_EQ(flagOf(a->seenColourTable, keyOf(kShort)), 0);
    a->frame = second.data();
    a->learnBackgroundColours();
    EXPECT_EQ(flagOf(a->seenColourTable, keyOf(kLong)), 1);
    // Only the two hundred: no other colour of the frame was learned.
    EXPECT_EQ(flagCount(a->seenColourTable), 1);
}

TEST(LearnBackgroundColours, AnInterruptedRunStartsCountingAgain) {
    constexpr Colour kRun{180, 180, 180};
    Frame frame = distinctFrame(500, 40);
    for (int x = 0; x < 300; ++x) {
        frame.set(x, x / 32, kRun);
    }
    frame.set(150, 150 / 32, Colour{1, 2, 200});  // 150 + 149 equal pixels
    Analyzer a(frame);
    a->learnBackgroundColours();
    EXPECT_EQ(flagOf(a->seenColourTable, keyOf(kRun)), 0);
    frame.set(150, 150 / 32, kRun);
    frame.set(250, 250 / 32, Colour{1, 2, 200});  // 250 equal pixels first
    a->learnBackgroundColours();
    EXPECT_EQ(flagOf(a->seenColourTable, keyOf(kRun)), 1);
}

TEST(MarkBackgroundColour, MarksANeighbourhoodTenBelowAndThreeAbove) {
    Frame frame(4, 4);
    Analyzer a(frame);
    a->backgroundColourTable = heapAllocate(kColourTableBytes, true);
    a.learn(Colour{5, 128, 254});
    EXPECT_EQ(flagOf(a->seenColourTable, keyOf({5, 128, 254})), 1);
    EXPECT_EQ(flagCount(a->seenColourTable), 1);
    EXPECT_EQ(flagCount(a->backgroundColourTable),
              9 * 14 * 12);  // byte 0: 0..8, byte 1: 118..131, byte 2: 244..255
    EXPECT_EQ(flagOf(a->backgroundColourTable, keyOf({0, 118, 244})), 1);
    EXPECT_EQ(flagOf(a->backgroundColourTable, keyOf({8, 131, 255})), 1);
    EXPECT_EQ(flagOf(a->backgroundColourTable, keyOf({9, 128, 254})), 0);
    EXPECT_EQ(flagOf(a->backgroundColourTable, keyOf({5, 117, 254})), 0);
    EXPECT_EQ(flagOf(a->backgroundColourTable, keyOf({5, 132, 254})), 0);
    EXPECT_EQ(flagOf(a->backgroundColourTable, keyOf({5, 128, 243})), 0);

    // A colour inside a learned neighbourhood brings no neighbourhood of its own.
    a.learn(Colour{7, 130, 250});
    EXPECT_EQ(flagOf(a->seenColourTable, keyOf({7, 130, 250})), 1);
    EXPECT_EQ(flagOf(a->backgroundColourTable, keyOf({10, 133, 253})), 0);
    EXPECT_EQ(flagCount(a->backgroundColourTable), 9 * 14 * 12);
}

TEST(ColourTable, RangesFlagExactlyTheirColoursAsAByteTableWould) {
    // Ranges of every length from 1 to 40 at every offset within a byte, and
    // random longer ones, against one byte per colour.
    testing::Random rng(515);
    std::vector<std::uint8_t> table(kColourTableBytes);
    std::vector<std::uint8_t> bytes(kColourCount);
    std::vector<std::pair<std::uint32_t, std::uint32_t>> ranges;
    for (std::uint32_t start = 0; start < 8; ++start) {
        for (std::uint32_t length = 1; length <= 40; ++length) {
            ranges.emplace_back(4096 * (8 * start + length) + start, length);
        }
    }
    for (int i = 0; i < 200; ++i) {
        ranges.emplace_back(rng() % (kColourCount - 300), 1 + rng() % 256);
    }
    ranges.emplace_back(kColourCount - 5, 5);  // up to the last colour
    for (auto [first, length] : ranges) {
        flagColourRange(table.data(), first, first + length - 1);
        std::fill_n(bytes.begin() + first, length, std::uint8_t{1});
    }
    flagColour(table.data(), 12345);
    bytes[12345] = 1;
    ASSERT_TRUE(flagBytes(table.data()) == bytes);
    EXPECT_EQ(flagCount(table.data()), static_cast<std::size_t>(std::count(bytes.begin(), bytes.end(), 1)));
}

// The four line families in pixel coordinates, as lists of points.
std::vector<std::vector<std::pair<int, int>>> lines(int w, int h) {
    std::vector<std::vector<std::pair<int, int>>> all;
    for (int y0 = 0; y0 < h; y0 += 4) {
        std::vector<std::pair<int, int>> line{{0, y0}};
        for (int x = 1, y = y0; x < w; ++x) {
            y += x % 32 == 0 ? 1 : 0;
            if (y >= h) {
                break;
            }
            line.emplace_back(x, y);
        }
        all.push_back(line);
    }
    for (int x0 = 128; x0 < w; x0 += 128) {
        std::vector<std::pair<int, int>> line{{x0, 0}};
        for (int k = 1, y = 0; x0 + k < w; ++k) {
            y += k % 32 == 0 ? 1 : 0;
            if (y >= h) {
                break;
            }
            line.emplace_back(x0 + k, y);
        }
        all.push_back(line);
    }
    for (int x0 = w - 1; h > 2 && x0 >= 0; x0 -= 4) {
        std::vector<std::pair<int, int>> line{{x0, 0}};
        for (int y = 1, i = 0; y < h - 1; ++y) {
            i += y % 32 == 0 ? 1 : 0;
            if (i >= x0 && y % 32 == 0) {
                break;
            }
            line.emplace_back(x0 - i, y);
        }
        all.push_back(line);
    }
    for (int y0 = 128; y0 < h; y0 += 128) {
        std::vector<std::pair<int, int>> line{{w - 1, y0}};
        for (int k = 1, i = 0; y0 + k < h; ++k) {
            i += k % 32 == 0 ? 1 : 0;
            if (i >= w) {
                break;
            }
            line.emplace_back(w - 1 - i, y0 + k);
        }
        all.push_back(line);
    }
    return all;
}

TEST(LearnBackgroundColours, FollowsTheFourLineFamiliesOnBlockyFrames) {
    testing::Random rng(4242);
    // Byte tables, one flag per colour, as learning filled them before the
    // tables held bits: the bit tables must give the same flag for every key.
    std::vector<std::uint8_t> seen(kColourCount);
    std::vector<std::uint8_t> background(kColourCount);
    for (int round = 0; round < 12; ++round) {
        const int w = 1 + static_cast<int>(rng() % 700);
        const int h = 1 + static_cast<int>(rng() % 500);
        // Blocks of few colours, some wide and some tall, so that lines of
        // every family meet long stretches of one colour.
        Frame frame(w, h, Colour{static_cast<std::uint8_t>(rng()), 9, 9});
        for (int b = 0; b < 40; ++b) {
            const int x0 = static_cast<int>(rng() % w);
            const int y0 = static_cast<int>(rng() % h);
            const int bw = 1 + static_cast<int>(rng() % 400);
            const int bh = 1 + static_cast<int>(rng() % 300);
            // Odd rounds use colours a few steps apart, whose neighbourhoods
            // overlap, so that the order of marking shows in the table.
            const std::uint8_t v = static_cast<std::uint8_t>(rng() % 6 * (round % 2 == 0 ? 40 : 4));
            frame.fillRect(x0, y0, std::min(w, x0 + bw), std::min(h, y0 + bh), Colour{v, v, 200});
        }
        Analyzer a(frame);
        a->backgroundColourTable = heapAllocate(kColourTableBytes, true);
        a->learnBackgroundColours();

        // Expected: count along every line and mark in the same order.
        std::fill(seen.begin(), seen.end(), 0);
        std::fill(background.begin(), background.end(), 0);
        for (const auto& line : lines(w, h)) {
            Colour reference = frame.colour(line[0].first, line[0].second);
            int count = 1;
            for (std::size_t i = 1; i < line.size(); ++i) {
                const Colour c = frame.colour(line[i].first, line[i].second);
                if (!(c == reference)) {
                    reference = c;
                    count = 1;
                    continue;
                }
                if (++count < 200) {
                    continue;
                }
                count = 1;
                seen[keyOf(c)] = 1;
                if (background[keyOf(c)] == 0) {
                    for (int b0 = std::max(c.b - 10, 0); b0 <= std::min(c.b + 3, 255); ++b0) {
                        for (int b1 = std::max(c.g - 10, 0); b1 <= std::min(c.g + 3, 255); ++b1) {
                            for (int b2 = std::max(c.r - 10, 0); b2 <= std::min(c.r + 3, 255); ++b2) {
                                background[(b0 << 16) | (b1 << 8) | b2] = 1;
                            }
                        }
                    }
                }
            }
        }
        ASSERT_TRUE(flagBytes(a->seenColourTable) == seen) << w << "x" << h;
        ASSERT_TRUE(flagBytes(a->backgroundColourTable) == background) << w << "x" << h;
    }
}

TEST(LearnBackgroundColours, ReadsNothingWhenTheSizeChangedWithoutNewGeometry) {
    Frame frame(300, 200, Colour{7, 8, 9});
    Analyzer a(frame);
    a->height = 400;  // a taller frame announced, geometry not yet configured
    a->learnBackgroundColours();
    EXPECT_EQ(flagOf(a->seenColourTable, keyOf({7, 8, 9})), 0);
    a->height = 200;
    a->learnBackgroundColours();
    EXPECT_EQ(flagOf(a->seenColourTable, keyOf({7, 8, 9})), 1);
}

TEST(LearnBackgroundColours, WorksOnTinyFramesAndLeavesPixelsAlone) {
    for (auto [w, h] :
         {std::pair{1, 1}, std::pair{2, 2}, std::pair{1, 300}, std::pair{300, 1}, std::pair{3, 3}}) {
        Frame frame(w, h, Colour{1, 2, 3});
        const Frame before = frame;
        Analyzer a(frame);
        a->learnBackgroundColours();
        EXPECT_TRUE(frame == before);
        // Every line bends off a one-pixel-wide frame within 32 pixels, too
        // short to learn anything.
        EXPECT_EQ(flagOf(a->seenColourTable, keyOf({1, 2, 3})), 0) << w << "x" << h;
    }
}

}  // namespace
}  // namespace kestra
