// Pixel passes: invert, copy and blend over the unmasked pixels of rows
// 0 .. height - 3, checked byte for byte against a plain per-pixel loop for
// 1, 2 and 3 workers, odd sizes and tiny frames; and the photo pixel blend.
#include <gtest/gtest.h>
#include <omp.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "analysis/frame_analyzer.h"
#include "analysis/pixel_passes.h"
#include "support/heap_copy.h"

namespace kestra {
namespace {

constexpr std::uint32_t kSeed = 6041;

enum class Pass { invert, copy, blend };

// Frame, backdrop and mask for one analyzer, with the geometry fields set as
// configureGeometry sets them. The analyzer only borrows the buffers.
struct PassFixture {
    std::int32_t width;
    std::int32_t height;
    std::vector<std::uint8_t> frame;
    std::vector<std::uint8_t> backdrop;
    std::vector<std::uint8_t> mask;

    PassFixture(std::int32_t w, std::int32_t h, std::mt19937& random)
        : width(w),
          height(h),
          frame(static_cast<std::size_t>(w) * h * 4),
          backdrop(frame.size()),
          mask(static_cast<std::size_t>(w) * h) {
        std::uniform_int_distribution<int> byte(0, 255);
        for (auto& v : frame) {
            v = static_cast<std::uint8_t>(byte(random));
        }
        for (auto& v : backdrop) {
            v = static_cast<std::uint8_t>(byte(random));
        }
        for (auto& v : mask) {
            v = byte(random) < 64 ? 1 : 0;
        }
    }

    FrameAnalyzer analyzer(int threads, float contentOpacity) {
        FrameAnalyzer a;
        a.width = width;
        a.height = height;
        a.pixelCount = width * height;
        a.rowBytes = width * 4;
        a.lastPixelOffset = a.rowBytes - 4;
        a.lastRowOffset = (height - 1) * a.rowBytes;
        a.byteSize = a.pixelCount * 4;
        a.threadCount = threads;
        a.contentOpacity = contentOpacity;
        a.contentOpacityComplement = 1.0f - contentOpacity;
        a.frame = frame.data();
        a.backdropImage = testing::heapCopyOf(backdrop);
        a.regionMask = testing::heapCopyOf(mask);
        return a;
    }
};

// Hands the borrowed frame back and releases the copies of backdrop and mask.
void disown(FrameAnalyzer& a) {
    a.frame = nullptr;
    a.backdropImage = nullptr;
    a.regionMask = nullptr;
}

std::uint8_t expectedBlend(std::uint8_t own, float ownWeight, std::uint8_t other, float otherWeight) {
    const float mixed = static_cast<float>(other) * otherWeight + static_cast<float>(own) * ownWeight;
    if (std::isnan(mixed) || mixed <= 0.0f) {
        return 0;
    }
    return mixed >= 255.0f ? 255 : static_cast<std::uint8_t>(std::trunc(mixed));
}

// The pass as a plain loop over rows 0 .. height - 3.
std::vector<std::uint8_t> expectedFrame(const PassFixture& f, Pass pass, float opacity) {
    std::vector<std::uint8_t> out = f.frame;
    for (std::int32_t y = 0; y + 2 < f.height; ++y) {
        for (std::int32_t x = 0; x < f.width; ++x) {
            const std::size_t index = static_cast<std::size_t>(y) * f.width + x;
            if (f.mask[index] != 0) {
                continue;
            }
            for (std::size_t k = 0; k < 3; ++k) {
                std::uint8_t& v = out[index * 4 + k];
                const std::uint8_t under = f.backdrop[index * 4 + k];
                switch (pass) {
                    case Pass::invert:
                        v = static_cast<std::uint8_t>(~v);
                        break;
                    case Pass::copy:
                        v = under;
                        break;
                    case Pass::blend:
                        v = expectedBlend(v, opacity, under, 1.0f - opacity);
                        break;
                }
            }
        }
    }
    return out;
}

// Every kernel this build and processor can run, the scalar one first.
std::vector<PassKernel> availableKernels() {
    std::vector<PassKernel> kernels;
    for (PassKernel k : {PassKernel::scalar, PassKernel::sse2, PassKernel::avx2, PassKernel::avx512}) {
        if (selectPassKernel(k)) {
            kernels.push_back(k);
        }
    }
    resetPixelPassState();
    return kernels;
}

std::vector<std::uint8_t> runPass(PassFixture f, Pass pass, int threads, float opacity,
                                  PassKernel kernel = PassKernel::automatic) {
    EXPECT_TRUE(selectPassKernel(kernel));
    FrameAnalyzer a = f.analyzer(threads, opacity);
    switch (pass) {
        case Pass::invert:
            a.invertPass();
            EXPECT_EQ(a.frameInverted, 1);
            break;
        case Pass::copy:
            a.copyBackdropPass();
            break;
        case Pass::blend:
            a.blendBackdropPass();
            break;
    }
    disown(a);
    resetPixelPassState();
    return f.frame;
}

const std::vector<std::pair<std::int32_t, std::int32_t>> kSizes = {
    {1, 1}, {2, 2}, {1, 3}, {3, 3}, {5, 4}, {7, 5}, {4, 9}, {33, 17}, {61, 23}, {128, 7}, {3, 40}};

TEST(PixelPasses, EveryKernelMatchesThePlainLoopForEveryWorkerCount) {
    std::mt19937 random(kSeed);
    const auto kernels = availableKernels();
    for (const auto& [w, h] : kSizes) {
        const PassFixture f(w, h, random);
        for (Pass pass : {Pass::invert, Pass::copy, Pass::blend}) {
            for (float opacity : {0.3f, 0.73f}) {
                if (pass != Pass::blend && opacity != 0.3f) {
                    continue;
                }
                const auto expected = expectedFrame(f, pass, opacity);
                for (PassKernel kernel : kernels) {
                    for (int threads : {1, 2, 3, 4}) {
                        EXPECT_EQ(runPass(f, pass, threads, opacity, kernel), expected)
                            << w << " x " << h << ", pass " << static_cast<int>(pass) << ", opacity "
                            << opacity << ", kernel " << static_cast<int>(kernel) << ", " << threads
                            << " workers";
                    }
                }
            }
        }
    }
}

enum class MaskFill { random, empty, full };

// Written into a separate buffer (the overlay's surface), every kernel and
// worker count gives exactly the frame that the in-place scalar pass leaves,
// and the frame itself stays untouched; on odd sizes up to one a pixel wider
// and taller than 1920 x 1080, and with random, empty and full masks.
TEST(PixelPasses, PassIntoAnotherBufferGivesTheInPlaceFrameForEveryKernelAndWorkerCount) {
    std::mt19937 random(kSeed + 9);
    const auto kernels = availableKernels();
    const std::vector<std::pair<std::int32_t, std::int32_t>> sizes = {{1, 1},   {3, 7},   {2, 2},
                                                                      {33, 17}, {61, 23}, {1921, 1081}};
    for (const auto& [w, h] : sizes) {
        PassFixture f(w, h, random);
        const bool large = w * h > 100000;
        for (MaskFill fill : {MaskFill::random, MaskFill::empty, MaskFill::full}) {
            if (fill != MaskFill::random) {
                std::fill(f.mask.begin(), f.mask.end(), fill == MaskFill::full ? 1 : 0);
            }
            for (Pass pass : {Pass::invert, Pass::copy, Pass::blend}) {
                const float opacity = 0.41f;
                const auto expected = runPass(f, pass, 1, opacity, PassKernel::scalar);
                for (PassKernel kernel : kernels) {
                    for (int threads : {1, 2, 3}) {
                        if (large && threads == 2 && kernel == PassKernel::sse2) {
                            continue;  // keeps the largest size quick; sse2 runs with 1 and 3
                        }
                        ASSERT_TRUE(selectPassKernel(kernel));
                        FrameAnalyzer a = f.analyzer(threads, opacity);
                        std::vector<std::uint8_t> out(f.frame.size(), 0xA5);
                        const FramePass framePass = pass == Pass::invert ? FramePass::invert
                                                    : pass == Pass::copy ? FramePass::copyBackdrop
                                                                         : FramePass::blendBackdrop;
                        const std::vector<std::uint8_t> before = f.frame;
                        EXPECT_TRUE(runPassInto(a, framePass, out.data()));
                        EXPECT_EQ(a.frameInverted, pass == Pass::invert ? 1 : 0);
                        disown(a);
                        resetPixelPassState();
                        const bool same = out == expected;
                        EXPECT_TRUE(same) << w << " x " << h << ", mask " << static_cast<int>(fill)
                                          << ", pass " << static_cast<int>(pass) << ", kernel "
                                          << static_cast<int>(kernel) << ", " << threads << " workers";
                        EXPECT_TRUE(f.frame == before) << "the frame must stay as captured";
                        // In place, the same kernel leaves the same frame.
                        if (!large || threads != 3) {
                            EXPECT_TRUE(runPass(f, pass, threads, opacity, kernel) == expected)
                                << "in place, " << w << " x " << h << ", kernel " << static_cast<int>(kernel);
                        }
                    }
                }
            }
        }
    }
}

TEST(PixelPasses, PassIntoAnotherBufferWritesNothingWhereThePassWouldSkip) {
    std::mt19937 random(kSeed + 10);
    PassFixture f(8, 8, random);
    std::vector<std::uint8_t> out(f.frame.size(), 0x5A);
    const auto untouched = out;
    FrameAnalyzer a = f.analyzer(2, 0.5f);
    a.backdropImage = nullptr;
    EXPECT_FALSE(runPassInto(a, FramePass::copyBackdrop, out.data()));
    EXPECT_FALSE(runPassInto(a, FramePass::blendBackdrop, out.data()));
    EXPECT_FALSE(runPassInto(a, FramePass::invert, nullptr));
    a.height = 800;  // geometry not configured for this size
    EXPECT_FALSE(runPassInto(a, FramePass::invert, out.data()));
    EXPECT_EQ(a.frameInverted, 0);
    EXPECT_EQ(out, untouched);
    disown(a);
}

// A run over some rows writes those rows as the whole-frame run does and no
// other byte: ranges at the top, in the middle, over the last two rows (which
// are copied), clipped at either end, and empty, with every kernel and 1 to 3
// workers.
TEST(PixelPasses, PassIntoAnotherBufferOverSomeRowsWritesThoseRowsOnly) {
    std::mt19937 random(kSeed + 11);
    const std::vector<std::pair<std::int32_t, std::int32_t>> sizes = {{1, 1}, {3, 7}, {61, 23}, {1921, 41}};
    for (const auto& [w, h] : sizes) {
        PassFixture f(w, h, random);
        const std::vector<std::pair<std::int32_t, std::int32_t>> ranges = {
            {0, 1}, {0, h}, {h / 2, h / 2 + 3}, {h - 3, h}, {h - 1, h}, {-5, 2}, {h - 2, h + 9},
            {4, 4}, {5, 2}};
        for (Pass pass : {Pass::invert, Pass::blend}) {
            const auto whole = runPass(f, pass, 1, 0.37f, PassKernel::scalar);
            const FramePass framePass = pass == Pass::invert ? FramePass::invert : FramePass::blendBackdrop;
            for (PassKernel kernel : availableKernels()) {
                for (int threads : {1, 2, 3}) {
                    for (const auto& [first, end] : ranges) {
                        ASSERT_TRUE(selectPassKernel(kernel));
                        FrameAnalyzer a = f.analyzer(threads, 0.37f);
                        std::vector<std::uint8_t> out(f.frame.size(), 0xA5);
                        EXPECT_TRUE(runPassIntoRows(a, framePass, out.data(), first, end));
                        disown(a);
                        resetPixelPassState();
                        std::vector<std::uint8_t> expected(f.frame.size(), 0xA5);
                        const auto rowBytes = static_cast<std::size_t>(w) * 4;
                        const auto from = static_cast<std::size_t>(std::clamp(first, 0, h)) * rowBytes;
                        const auto to = static_cast<std::size_t>(std::clamp(end, 0, h)) * rowBytes;
                        if (to > from) {
                            std::copy(whole.begin() + static_cast<std::ptrdiff_t>(from),
                                      whole.begin() + static_cast<std::ptrdiff_t>(to),
                                      expected.begin() + static_cast<std::ptrdiff_t>(from));
                        }
                        EXPECT_TRUE(out == expected)
                            << w << " x " << h << ", rows " << first << " .. " << end << ", pass "
                            << static_cast<int>(pass) << ", kernel " << static_cast<int>(kernel) << ", "
                            << threads << " workers";
                    }
                }
            }
        }
    }
}

// Over a buffer that holds the whole-frame result with some rows spoiled
// (none, one, a few apart, the last two, all), the compared run leaves the
// whole-frame result and names exactly the first and last spoiled row, with
// every kernel and 1 to 3 workers.
TEST(PixelPasses, PassIntoChangedRowsRewritesTheRowsThatDifferAndNamesThem) {
    std::mt19937 random(kSeed + 12);
    const std::vector<std::pair<std::int32_t, std::int32_t>> sizes = {{1, 1}, {3, 7}, {61, 23}, {1921, 1081}};
    for (const auto& [w, h] : sizes) {
        PassFixture f(w, h, random);
        const auto rowBytes = static_cast<std::size_t>(w) * 4;
        const std::vector<std::vector<std::int32_t>> spoilings = {
            {}, {h / 2}, {1 % h, h / 3, h - 3 > 0 ? h - 3 : 0}, {h - 2 > 0 ? h - 2 : 0, h - 1}, {-1}};
        for (Pass pass : {Pass::invert, Pass::copy, Pass::blend}) {
            const auto whole = runPass(f, pass, 1, 0.37f, PassKernel::scalar);
            const FramePass framePass = pass == Pass::invert ? FramePass::invert
                                        : pass == Pass::copy ? FramePass::copyBackdrop
                                                             : FramePass::blendBackdrop;
            for (PassKernel kernel : availableKernels()) {
                for (int threads : {1, 2, 3}) {
                    if (w * h > 100000 && threads == 2) {
                        continue;  // keeps the largest size quick
                    }
                    for (const auto& rows : spoilings) {
                        std::vector<std::uint8_t> out = whole;
                        std::int32_t first = h;
                        std::int32_t end = 0;
                        for (std::int32_t row = 0; row < h; ++row) {
                            if (std::find(rows.begin(), rows.end(), row) != rows.end() ||
                                (!rows.empty() && rows.front() == -1)) {
                                // One byte of the row, anywhere in it.
                                out[static_cast<std::size_t>(row) * rowBytes + random() % rowBytes] ^= 0x10;
                                first = std::min(first, row);
                                end = row + 1;
                            }
                        }
                        ASSERT_TRUE(selectPassKernel(kernel));
                        FrameAnalyzer a = f.analyzer(threads, 0.37f);
                        RowSpan changed;
                        EXPECT_TRUE(runPassIntoChangedRows(a, framePass, out.data(), changed));
                        disown(a);
                        resetPixelPassState();
                        const std::string where = std::to_string(w) + " x " + std::to_string(h) + ", pass " +
                                                  std::to_string(static_cast<int>(pass)) + ", kernel " +
                                                  std::to_string(static_cast<int>(kernel)) + ", " +
                                                  std::to_string(threads) + " workers";
                        EXPECT_TRUE(out == whole) << where;
                        if (end > first) {
                            EXPECT_EQ(changed.first, first) << where;
                            EXPECT_EQ(changed.end, end) << where;
                        } else {
                            EXPECT_LE(changed.end, changed.first) << where << ": nothing was spoiled";
                        }
                    }
                }
            }
        }
    }
}

TEST(PixelPasses, LongMaskedRunsMatchThePlainLoop) {
    // Runs of 37 masked and 37 free pixels: whole vector blocks are masked.
    std::mt19937 random(kSeed + 8);
    PassFixture f(83, 29, random);
    for (std::size_t i = 0; i < f.mask.size(); ++i) {
        f.mask[i] = static_cast<std::uint8_t>((i / 37) % 2);
    }
    for (PassKernel kernel : availableKernels()) {
        for (Pass pass : {Pass::invert, Pass::copy, Pass::blend}) {
            EXPECT_EQ(runPass(f, pass, 2, 0.45f, kernel), expectedFrame(f, pass, 0.45f))
                << "pass " << static_cast<int>(pass) << ", kernel " << static_cast<int>(kernel);
        }
    }
}

TEST(PixelPasses, LeaveTheLastTwoRowsMaskedPixelsAndTheFourthByteAlone) {
    std::mt19937 random(kSeed + 1);
    const PassFixture f(19, 11, random);
    for (Pass pass : {Pass::invert, Pass::copy, Pass::blend}) {
        const auto out = runPass(f, pass, 3, 0.5f);
        for (std::size_t i = 0; i < out.size(); ++i) {
            const std::size_t pixel = i / 4;
            const bool lastTwoRows = pixel >= static_cast<std::size_t>(19 * 9);
            if (i % 4 == 3 || lastTwoRows || f.mask[pixel] != 0) {
                ASSERT_EQ(out[i], f.frame[i]) << "byte " << i << ", pass " << static_cast<int>(pass);
            }
        }
    }
}

TEST(PixelPasses, FramesOfTwoRowsOrFewerAreUnchanged) {
    std::mt19937 random(kSeed + 2);
    for (std::int32_t h : {1, 2}) {
        const PassFixture f(9, h, random);
        for (Pass pass : {Pass::invert, Pass::copy, Pass::blend}) {
            EXPECT_EQ(runPass(f, pass, 2, 0.4f), f.frame) << "height " << h;
        }
    }
}

TEST(PixelPasses, BlendWithFullContentOpacityKeepsTheFrame) {
    std::mt19937 random(kSeed + 3);
    const PassFixture f(37, 13, random);
    EXPECT_EQ(runPass(f, Pass::blend, 2, 1.0f), f.frame);
}

TEST(PixelPasses, OpacitiesOutsideTheUnitRangeSaturateInsteadOfWrapping) {
    std::mt19937 random(kSeed + 4);
    const PassFixture f(29, 9, random);
    for (PassKernel kernel : availableKernels()) {
        for (float opacity : {1.7f, -0.7f, 4.0f, 3.0e9f, std::numeric_limits<float>::quiet_NaN()}) {
            const auto out = runPass(f, Pass::blend, 2, opacity, kernel);
            EXPECT_EQ(out, expectedFrame(f, Pass::blend, opacity))
                << "opacity " << opacity << ", kernel " << static_cast<int>(kernel);
        }
    }
    // A white pixel over black at opacity 2 is 510 in the byte: it must stay
    // white, not become 254.
    std::vector<std::uint8_t> frame = {255, 255, 255, 1, 0, 0, 0, 1, 0, 0, 0, 1};
    std::vector<std::uint8_t> backdrop(12, 0);
    std::vector<std::uint8_t> mask(3, 0);
    FrameAnalyzer a;
    a.width = 1;
    a.height = 3;
    a.pixelCount = 3;
    a.rowBytes = 4;
    a.lastRowOffset = 8;
    a.threadCount = 1;
    a.contentOpacity = 2.0f;
    a.contentOpacityComplement = -1.0f;
    a.frame = frame.data();
    a.backdropImage = testing::heapCopyOf(backdrop);
    a.regionMask = testing::heapCopyOf(mask);
    a.blendBackdropPass();
    disown(a);
    EXPECT_EQ(frame[0], 255);
}

TEST(PixelPasses, AllBandsAreDoneWhenTheTeamIsSmallerThanThreadCount) {
    std::mt19937 random(kSeed + 5);
    const PassFixture f(23, 31, random);
    const auto expected = expectedFrame(f, Pass::invert, 0.0f);
    std::vector<std::uint8_t> out;
    const int savedLevels = omp_get_max_active_levels();
    omp_set_max_active_levels(1);
#pragma omp parallel num_threads(2)
    {
        if (omp_get_thread_num() == 0) {
            out = runPass(f, Pass::invert, 4, 0.0f);  // nested: a team of one
        }
    }
    omp_set_max_active_levels(savedLevels);
    EXPECT_EQ(out, expected);
}

TEST(PixelPasses, MissingBuffersSkipThePass) {
    std::mt19937 random(kSeed + 6);
    PassFixture f(8, 8, random);
    const auto before = f.frame;
    FrameAnalyzer a = f.analyzer(2, 0.5f);
    a.backdropImage = nullptr;
    a.copyBackdropPass();
    a.blendBackdropPass();
    EXPECT_EQ(f.frame, before);
    a.regionMask = nullptr;
    a.invertPass();
    EXPECT_EQ(f.frame, before);
    EXPECT_EQ(a.frameInverted, 0);
    disown(a);
}

TEST(PixelPasses, GeometryThatDoesNotMatchTheSizeSkipsThePass) {
    std::mt19937 random(kSeed + 7);
    PassFixture f(8, 8, random);
    const auto before = f.frame;
    FrameAnalyzer a = f.analyzer(2, 0.5f);
    a.height = 800;  // sizes changed, configureGeometry not run yet
    a.invertPass();
    a.copyBackdropPass();
    a.blendBackdropPass();
    EXPECT_EQ(f.frame, before);
    EXPECT_EQ(a.frameInverted, 0);
    disown(a);
}

TEST(BlendPhotoPixel, ZeroOpacityCopiesTheBackdropExactly) {
    FrameAnalyzer a;
    a.photoOpacity = 0.0f;
    a.photoOpacityComplement = std::numeric_limits<float>::quiet_NaN();  // must not be used
    std::uint8_t pixel[4] = {10, 20, 30, 40};
    const std::uint8_t under[4] = {200, 150, 100, 50};
    a.blendPhotoPixel(pixel, under);
    EXPECT_EQ(pixel[0], 200);
    EXPECT_EQ(pixel[1], 150);
    EXPECT_EQ(pixel[2], 100);
    EXPECT_EQ(pixel[3], 40);
}

TEST(BlendPhotoPixel, WeighsThePhotoByItsOpacityAndSaturates) {
    for (float opacity : {0.25f, 0.6f, 1.0f, 1.8f, -0.4f}) {
        FrameAnalyzer a;
        a.photoOpacity = opacity;
        a.photoOpacityComplement = 1.0f - opacity;
        for (int v = 0; v < 256; v += 5) {
            std::uint8_t pixel[4] = {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(255 - v), 128,
                                     9};
            const std::uint8_t under[4] = {static_cast<std::uint8_t>(255 - v), static_cast<std::uint8_t>(v),
                                           3, 77};
            std::uint8_t expected[3];
            for (int k = 0; k < 3; ++k) {
                expected[k] = expectedBlend(pixel[k], opacity, under[k], 1.0f - opacity);
            }
            a.blendPhotoPixel(pixel, under);
            for (int k = 0; k < 3; ++k) {
                ASSERT_EQ(pixel[k], expected[k])
                    << "opacity " << opacity << ", value " << v << ", byte " << k;
            }
            ASSERT_EQ(pixel[3], 9);
        }
    }
}

}  // namespace
}  // namespace kestra

namespace kestra {
namespace {

// The change count of the backdrop test: every kernel gives the plain loop's
// count on odd lengths, with differences in colour bytes, in byte 3 only
// (never counted), none and everywhere.
TEST(CountChangedPixels, EveryKernelMatchesThePlainLoop) {
    std::mt19937 random(kSeed + 11);
    std::uniform_int_distribution<int> byte(0, 255);
    for (std::size_t pixels : {std::size_t{0}, std::size_t{1}, std::size_t{3}, std::size_t{7}, std::size_t{8},
                               std::size_t{31}, std::size_t{1921}, std::size_t{1921 * 13}}) {
        std::vector<std::uint8_t> a(pixels * 4);
        for (auto& v : a) {
            v = static_cast<std::uint8_t>(byte(random));
        }
        for (int changeEvery : {0, 1, 2, 5, 97}) {
            std::vector<std::uint8_t> b = a;
            for (std::size_t i = 0; i < pixels; ++i) {
                const int pick = byte(random);
                if (changeEvery != 0 && pick % changeEvery == 0) {
                    b[i * 4 + static_cast<std::size_t>(pick % 4)] ^=
                        static_cast<std::uint8_t>(1 + pick % 255);
                }
            }
            std::int64_t expected = 0;
            for (std::size_t i = 0; i < pixels; ++i) {
                expected +=
                    (a[i * 4] != b[i * 4] || a[i * 4 + 1] != b[i * 4 + 1] || a[i * 4 + 2] != b[i * 4 + 2])
                        ? 1
                        : 0;
            }
            for (PassKernel kernel : availableKernels()) {
                ASSERT_TRUE(selectPassKernel(kernel));
                EXPECT_EQ(countChangedPixels(a.data(), b.data(), pixels), expected)
                    << pixels << " pixels, change every " << changeEvery << ", kernel "
                    << static_cast<int>(kernel);
                resetPixelPassState();
            }
        }
    }
    EXPECT_EQ(countChangedPixels(nullptr, nullptr, 4), 0);
}

// The blend on frames whose rows end in partial vectors, with masks random,
// empty and full, weights inside and outside 0..1 (held or saturated by the
// packs) for 1 to 3 workers: every kernel, in place and into another buffer,
// gives the scalar kernel's bytes.
TEST(PixelPasses, BlendKernelsMatchTheScalarKernelOnOddSizesAndMasks) {
    std::mt19937 random(kSeed + 3);
    const auto kernels = availableKernels();
    for (const auto& [w, h] :
         std::vector<std::pair<std::int32_t, std::int32_t>>{{1, 1}, {3, 7}, {1921, 1081}}) {
        for (int fill : {-1, 0, 1}) {
            PassFixture f(w, h, random);
            if (fill >= 0) {
                std::fill(f.mask.begin(), f.mask.end(), static_cast<std::uint8_t>(fill));
            }
            for (float opacity : {0.35f, 1.7f, -3.0e9f}) {
                const auto expected = runPass(f, Pass::blend, 1, opacity, PassKernel::scalar);
                for (PassKernel kernel : kernels) {
                    for (int threads = 1; threads <= 3; ++threads) {
                        EXPECT_TRUE(runPass(f, Pass::blend, threads, opacity, kernel) == expected)
                            << w << " x " << h << ", mask " << fill << ", opacity " << opacity << ", kernel "
                            << static_cast<int>(kernel) << ", " << threads << " workers";
                        ASSERT_TRUE(selectPassKernel(kernel));
                        std::vector<std::uint8_t> out(f.frame.size(), 0xA5);
                        FrameAnalyzer a = f.analyzer(threads, opacity);
                        EXPECT_TRUE(runPassInto(a, FramePass::blendBackdrop, out.data()));
                        disown(a);
                        resetPixelPassState();
                        EXPECT_TRUE(out == expected)
                            << w << " x " << h << ", into, kernel " << static_cast<int>(kernel) << ", "
                            << threads << " workers";
                    }
                }
            }
        }
    }
}

}  // namespace
}  // namespace kestra

namespace kestra {
namespace {

// The blend of every kernel on all 65536 pairs of a byte of the frame and a
// byte of the backdrop, in each colour channel, gives the plain blend's byte
// for each weight tried: inside 0..1, outside, huge, infinite and NaN.
TEST(PixelPasses, BlendKernelsGiveThePlainBlendForEveryPairOfBytes) {
    std::mt19937 random(kSeed + 12);
    PassFixture f(256, 258, random);  // rows 0..255 are blended
    for (std::size_t y = 0; y < 256; ++y) {
        for (std::size_t x = 0; x < 256; ++x) {
            std::uint8_t* pixel = f.frame.data() + (y * 256 + x) * 4;
            std::uint8_t* under = f.backdrop.data() + (y * 256 + x) * 4;
            pixel[0] = static_cast<std::uint8_t>(x);
            under[0] = static_cast<std::uint8_t>(y);
            pixel[1] = static_cast<std::uint8_t>(y);
            under[1] = static_cast<std::uint8_t>(x);
            pixel[2] = static_cast<std::uint8_t>(255 - x);
            under[2] = static_cast<std::uint8_t>(y ^ 0x5A);
        }
    }
    std::fill(f.mask.begin(), f.mask.end(), 0);
    const auto kernels = availableKernels();
    for (float opacity :
         {0.35f, 0.41f, 0.5f, 0.2f, 1.0f / 3.0f, 0.73f, 0.999f, 0.001f, 1.0f, 1.7f, -0.7f, 3.0e9f,
          std::numeric_limits<float>::infinity(), std::numeric_limits<float>::quiet_NaN()}) {
        const auto expected = expectedFrame(f, Pass::blend, opacity);
        for (PassKernel kernel : kernels) {
            EXPECT_TRUE(runPass(f, Pass::blend, 1, opacity, kernel) == expected)
                << "opacity " << opacity << ", kernel " << static_cast<int>(kernel);
        }
    }
}

// The frame and the surface at every 4-byte offset from a 64-byte boundary,
// rows of 1 to 47 pixels (every length of the first and last partial
// vectors), masks random, empty and full, 1 to 3 workers: every kernel gives
// the scalar kernel's bytes, in place and into the surface, and writes no
// byte outside the frame.
TEST(PixelPasses, BlendKernelsMatchTheScalarKernelAtEveryAlignment) {
    std::mt19937 random(kSeed + 13);
    const auto kernels = availableKernels();
    for (std::int32_t w : {1, 3, 15, 16, 17, 31, 47}) {
        for (int fill : {-1, 0, 1}) {
            PassFixture f(w, 6, random);
            if (fill >= 0) {
                std::fill(f.mask.begin(), f.mask.end(), static_cast<std::uint8_t>(fill));
            }
            const float opacity = 0.6f;
            const auto expected = runPass(f, Pass::blend, 1, opacity, PassKernel::scalar);
            // 64 spare bytes on both sides of a 64-byte aligned block.
            std::vector<std::uint8_t> buffer(f.frame.size() + 256, 0xC3);
            const auto base = reinterpret_cast<std::uintptr_t>(buffer.data());
            const std::size_t aligned = static_cast<std::size_t>((64 - base % 64) % 64) + 64;
            for (std::size_t shift = 0; shift < 64; shift += 4) {
                for (PassKernel kernel : kernels) {
                    for (int threads = 1; threads <= 3; ++threads) {
                        ASSERT_TRUE(selectPassKernel(kernel));
                        std::fill(buffer.begin(), buffer.end(), 0xC3);
                        std::uint8_t* out = buffer.data() + aligned + shift;
                        FrameAnalyzer a = f.analyzer(threads, opacity);
                        EXPECT_TRUE(runPassInto(a, FramePass::blendBackdrop, out));
                        disown(a);
                        const std::vector<std::uint8_t> into(out, out + f.frame.size());
                        EXPECT_TRUE(into == expected)
                            << w << " wide, mask " << fill << ", offset " << shift << ", kernel "
                            << static_cast<int>(kernel) << ", " << threads << " workers, into";
                        // In place, the frame at the same offset.
                        std::copy(f.frame.begin(), f.frame.end(), out);
                        a = f.analyzer(threads, opacity);
                        a.frame = out;
                        a.blendBackdropPass();
                        disown(a);
                        resetPixelPassState();
                        const std::vector<std::uint8_t> inPlace(out, out + f.frame.size());
                        EXPECT_TRUE(inPlace == expected)
                            << w << " wide, mask " << fill << ", offset " << shift << ", kernel "
                            << static_cast<int>(kernel) << ", " << threads << " workers, in place";
                        const bool spareUntouched =
                            std::all_of(buffer.begin(),
                                        buffer.begin() + static_cast<std::ptrdiff_t>(aligned + shift),
                                        [](std::uint8_t v) { return v == 0xC3; }) &&
                            std::all_of(buffer.begin() +
                                            static_cast<std::ptrdiff_t>(aligned + shift + f.frame.size()),
                                        buffer.end(), [](std::uint8_t v) { return v == 0xC3; });
                        EXPECT_TRUE(spareUntouched)
                            << w << " wide, offset " << shift << ", kernel " << static_cast<int>(kernel);
                    }
                }
            }
        }
    }
}

}  // namespace
}  // namespace kestra
