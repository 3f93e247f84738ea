// Stack blur: the derived tables, the worked example, and the blur checked
// byte for byte against a direct weighted sum over every window, for the
// reference pass and the vector kernels, on 1, 2 and 3 threads.
#include "backdrop/stack_blur.h"

#include <gtest/gtest.h>
#include <omp.h>

#include <algorithm>
#include <cstdint>
#include <iostream>
#include <random>
#include <vector>

namespace kestra {
namespace {

using Frame = std::vector<std::uint8_t>;

constexpr std::uint32_t kSeed = 20261207;

Frame randomFrame(std::uint32_t width, std::uint32_t height, std::mt19937& random) {
    Frame frame(std::size_t{width} * height * 4);
    std::uniform_int_distribution<int> byte(0, 255);
    for (auto& value : frame) {
        value = static_cast<std::uint8_t>(byte(random));
    }
    return frame;
}

// The blur written as its definition: each output is the triangular-weighted
// sum of the clamped window, times mul[r], shifted by shr[r]; rows first.
Frame directBlur(Frame frame, std::uint32_t width, std::uint32_t height, std::uint32_t radius) {
    const std::uint32_t r = std::min(radius, kMaxBlurRadius);
    if (r < 2) {
        return frame;
    }
    const auto clampIndex = [](std::int64_t i, std::uint32_t count) {
        return static_cast<std::size_t>(std::clamp<std::int64_t>(i, 0, std::int64_t{count} - 1));
    };
    const auto blurLines = [&](std::uint32_t lines, std::uint32_t length, std::size_t lineStep,
                               std::size_t pixelStep) {
        std::vector<std::uint8_t> line(std::size_t{length} * 4);
        for (std::uint32_t l = 0; l < lines; ++l) {
            std::uint8_t* base = frame.data() + l * lineStep;
            for (std::uint32_t i = 0; i < length; ++i) {
                for (int c = 0; c < 4; ++c) {
                    line[i * 4 + c] = base[i * pixelStep + c];
                }
            }
            for (std::uint32_t x = 0; x < length; ++x) {
                for (int c = 0; c < 4; ++c) {
                    std::uint64_t sum = 0;
                    for (std::int64_t k = -std::int64_t{r}; k <= std::int64_t{r}; ++k) {
                        const std::uint64_t weight = r + 1 - static_cast<std::uint64_t>(k < 0 ? -k : k);
                        sum += weight * line[clampIndex(x + k, length) * 4 + c];
                    }
                    base[x * pixelStep + c] =
                        static_cast<std::uint8_t>((sum * stackBlurMul[r]) >> stackBlurShr[r]);
                }
            }
        }
    };
    blurLines(height, width, std::size_t{width} * 4, 4);
    blurLines(width, height, 4, std::size_t{width} * 4);
    return frame;
}

// The reference pass over bandCount bands of each direction.
Frame referenceBlur(Frame frame, std::uint32_t width, std::uint32_t height, std::uint32_t radius,
                    std::uint32_t bandCount) {
    std::vector<std::uint8_t> stack((2 * std::size_t{std::min(radius, kMaxBlurRadius)} + 1) * 4);
    for (const BlurDirection direction : {BlurDirection::rows, BlurDirection::columns}) {
        for (std::uint32_t band = 0; band < bandCount; ++band) {
            stackBlurPass(frame.data(), width, height, radius, bandCount, band, direction, stack.data());
        }
    }
    return frame;
}

Frame fastBlur(Frame frame, std::uint32_t width, std::uint32_t height, std::uint32_t radius, int threads,
               BlurKernel kernel = BlurKernel::automatic) {
    const int saved = omp_get_max_threads();
    omp_set_num_threads(threads);
    EXPECT_TRUE(selectBlurKernel(kernel));
    stackBlur(frame.data(), width, height, radius);
    resetBackdropState();
    omp_set_num_threads(saved);
    return frame;
}

// Every kernel this build and processor can run, the scalar one included.
std::vector<BlurKernel> availableKernels() {
    std::vector<BlurKernel> kernels;
    for (BlurKernel k : {BlurKernel::scalar, BlurKernel::sse41, BlurKernel::avx2}) {
        if (selectBlurKernel(k)) {
            kernels.push_back(k);
        }
    }
    resetBackdropState();
    return kernels;
}

const char* kernelName(BlurKernel kernel) {
    switch (kernel) {
        case BlurKernel::scalar:
            return "scalar";
        case BlurKernel::sse41:
            return "sse4.1";
        case BlurKernel::avx2:
            return "avx2";
        default:
            return "automatic";
    }
}

TEST(StackBlurTables, FollowTheDerivationRule) {
    const std::uint16_t firstMul[] = {512, 512, 456, 512, 328};
    const std::uint8_t firstShr[] = {9, 11, 12, 13, 13};
    for (int r = 0; r < 5; ++r) {
        EXPECT_EQ(stackBlurMul[r], firstMul[r]) << "r = " << r;
        EXPECT_EQ(stackBlurShr[r], firstShr[r]) << "r = " << r;
    }
    EXPECT_EQ(stackBlurMul[254], 259);
    EXPECT_EQ(stackBlurShr[254], 24);

    // Run lengths of the shift values: 9, 11, 12 once, then 13.. as listed.
    const std::vector<std::pair<int, int>> runs = {{9, 1},   {11, 1},  {12, 1},  {13, 2},  {14, 2},
                                                   {15, 4},  {16, 4},  {17, 7},  {18, 9},  {19, 14},
                                                   {20, 18}, {21, 27}, {22, 37}, {23, 54}, {24, 74}};
    std::size_t r = 0;
    for (const auto& [shift, count] : runs) {
        for (int i = 0; i < count; ++i, ++r) {
            ASSERT_LT(r, kBlurTableSize);
            EXPECT_EQ(stackBlurShr[r], shift) << "r = " << r;
        }
    }
    EXPECT_EQ(r, kBlurTableSize);
}

TEST(StackBlurTables, DivideEveryWindowSumExactlyWithin32Bits) {
    for (std::uint32_t r = 0; r <= kMaxBlurRadius; ++r) {
        const std::uint64_t weight = std::uint64_t{r + 1} * (r + 1);
        const std::uint64_t power = std::uint64_t{1} << stackBlurShr[r];
        EXPECT_GE(stackBlurMul[r] * weight, power) << "r = " << r;
        EXPECT_LE(stackBlurMul[r], 512) << "r = " << r;
        EXPECT_LT(255 * weight * stackBlurMul[r], std::uint64_t{1} << 32) << "r = " << r;
        // A window of one value v sums to v * weight and must give v back.
        for (std::uint64_t v = 0; v <= 255; ++v) {
            ASSERT_EQ((v * weight * stackBlurMul[r]) >> stackBlurShr[r], v) << "r = " << r;
        }
    }
}

TEST(StackBlur, WorkedExampleOfRadiusTwo) {
    // One row 0, 0, 255, 0, 0 in the first channel: weighted sums 255, 510,
    // 765, 510, 255, each times 456 and shifted right by 12.
    Frame row(5 * 4, 0);
    row[2 * 4] = 255;
    Frame passed = row;
    std::vector<std::uint8_t> stack(5 * 4);
    stackBlurPass(passed.data(), 5, 1, 2, 1, 0, BlurDirection::rows, stack.data());
    const std::uint8_t expected[] = {28, 56, 85, 56, 28};
    for (int x = 0; x < 5; ++x) {
        EXPECT_EQ(passed[x * 4], expected[x]) << "x = " << x;
        EXPECT_EQ(passed[x * 4 + 1], 0);
    }
    // A one-row frame has nothing to blur along its columns.
    EXPECT_EQ(fastBlur(row, 5, 1, 2, 1), passed);
    EXPECT_EQ(fastBlur(row, 5, 1, 2, 2), passed);
}

TEST(StackBlur, SmallRadiiAndEmptyFramesLeaveThePixelsAlone) {
    std::mt19937 random(kSeed);
    const Frame frame = randomFrame(9, 7, random);
    EXPECT_EQ(fastBlur(frame, 9, 7, 0, 2), frame);
    EXPECT_EQ(fastBlur(frame, 9, 7, 1, 2), frame);
    EXPECT_EQ(fastBlur(frame, 0, 7, 5, 2), frame);
    EXPECT_EQ(fastBlur(frame, 9, 0, 5, 2), frame);
    stackBlur(nullptr, 9, 7, 5);  // must simply return
    EXPECT_NE(fastBlur(frame, 9, 7, 2, 2), frame);
}

TEST(StackBlur, RadiusAboveTheLimitBlursAsTheLimit) {
    std::mt19937 random(kSeed + 1);
    const Frame frame = randomFrame(23, 19, random);
    EXPECT_EQ(fastBlur(frame, 23, 19, 300, 2), fastBlur(frame, 23, 19, 254, 2));
    EXPECT_EQ(referenceBlur(frame, 23, 19, 300, 1), referenceBlur(frame, 23, 19, 254, 1));
}

TEST(StackBlur, FrameOfOneColourIsUnchangedByAnyRadius) {
    for (std::uint32_t r : {2u, 3u, 17u, 100u, 254u}) {
        Frame frame(std::size_t{37} * 21 * 4);
        for (std::size_t i = 0; i < frame.size(); i += 4) {
            frame[i] = 17;
            frame[i + 1] = 200;
            frame[i + 2] = 255;
            frame[i + 3] = 99;
        }
        EXPECT_EQ(fastBlur(frame, 37, 21, r, 2), frame) << "r = " << r;
    }
}

struct BlurCase {
    std::uint32_t width;
    std::uint32_t height;
    std::uint32_t radius;
};

// Sizes cover 1 x 1, 2 x 2, single rows and columns, odd sizes, widths that
// leave groups of 16, 4 and single columns, and radii far beyond the frame.
const std::vector<BlurCase> kCases = {
    {1, 1, 2},     {1, 1, 254}, {2, 2, 2},   {2, 2, 9},    {1, 13, 3},   {13, 1, 3},  {3, 5, 7},
    {5, 3, 2},     {7, 9, 30},  {17, 13, 4}, {33, 7, 6},   {23, 29, 2},  {41, 11, 5}, {64, 37, 11},
    {37, 64, 254}, {70, 5, 12}, {5, 70, 12}, {100, 3, 50}, {21, 4, 300},
};

TEST(StackBlur, ReferencePassMatchesTheDirectWeightedSum) {
    std::mt19937 random(kSeed + 2);
    for (const auto& c : kCases) {
        SCOPED_TRACE(testing::Message() << c.width << " x " << c.height << ", r = " << c.radius);
        const Frame frame = randomFrame(c.width, c.height, random);
        const Frame expected = directBlur(frame, c.width, c.height, c.radius);
        for (std::uint32_t bands : {1u, 2u, 3u, 5u}) {
            EXPECT_EQ(referenceBlur(frame, c.width, c.height, std::max(c.radius, 2u), bands), expected)
                << bands << " bands";
        }
    }
}

TEST(StackBlur, EveryKernelMatchesTheReferenceOnOneTwoAndThreeThreads) {
    std::mt19937 random(kSeed + 3);
    const auto kernels = availableKernels();
    for (const auto& c : kCases) {
        SCOPED_TRACE(testing::Message() << c.width << " x " << c.height << ", r = " << c.radius);
        const Frame frame = randomFrame(c.width, c.height, random);
        const Frame expected = directBlur(frame, c.width, c.height, c.radius);
        for (BlurKernel kernel : kernels) {
            for (int threads : {1, 2, 3}) {
                EXPECT_EQ(fastBlur(frame, c.width, c.height, c.radius, threads, kernel), expected)
                    << kernelName(kernel) << ", " << threads << " threads";
            }
        }
    }
}

TEST(StackBlur, ScalarKernelIsAlwaysAvailableAndTheChoiceResets) {
    EXPECT_TRUE(selectBlurKernel(BlurKernel::scalar));
    EXPECT_TRUE(selectBlurKernel(BlurKernel::automatic));
    resetBackdropState();
    const auto kernels = availableKernels();
    ASSERT_FALSE(kernels.empty());
    EXPECT_EQ(kernels.front(), BlurKernel::scalar);
    std::cout << "[          ] blur kernels here:";
    for (BlurKernel kernel : kernels) {
        std::cout << ' ' << kernelName(kernel);
    }
    std::cout << '\n';
}

TEST(StackBlur, LargeFrameIsIndependentOfTheThreadCount) {
    std::mt19937 random(kSeed + 4);
    const std::uint32_t width = 331;
    const std::uint32_t height = 197;
    const Frame frame = randomFrame(width, height, random);
    const auto kernels = availableKernels();
    for (std::uint32_t r : {2u, 10u, 50u, 254u}) {
        const Frame expected = referenceBlur(frame, width, height, r, 1);
        for (BlurKernel kernel : kernels) {
            for (int threads : {1, 2, 3}) {
                EXPECT_EQ(fastBlur(frame, width, height, r, threads, kernel), expected)
                    << "r = " << r << ", " << kernelName(kernel) << ", " << threads << " threads";
            }
        }
    }
}

TEST(StackBlur, EveryBandIsBlurredWhenTheTeamIsSmallerThanTheBandCount) {
    std::mt19937 random(kSeed + 5);
    const Frame frame = randomFrame(45, 31, random);
    const Frame expected = referenceBlur(frame, 45, 31, 6, 1);
    Frame blurred = frame;
    const int savedLevels = omp_get_max_active_levels();
    omp_set_max_active_levels(1);
    // Inside an active region a nested region gets a team of one, while
    // omp_get_max_threads still reports three.
#pragma omp parallel num_threads(2)
    {
        if (omp_get_thread_num() == 0) {
            omp_set_num_threads(3);
            stackBlur(blurred.data(), 45, 31, 6);
        }
    }
    omp_set_max_active_levels(savedLevels);
    EXPECT_EQ(blurred, expected);
}

}  // namespace
}  // namespace kestra
