// Backdrop tone: brightness scaling (checked against a per-channel scalar
// reference, including factors that leave 0..1), the brightness judgement on
// its sample grid, and the lifting of dark pixels.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "backdrop/backdrop_buffer.h"

namespace kestra {
namespace {

// A buffer over `pixels`, with the sizes filled in as the glass cycle does.
BackdropBuffer bufferOver(std::vector<std::uint8_t>& pixels, std::int32_t width, std::int32_t height) {
    BackdropBuffer buffer;
    buffer.frame = pixels.data();
    buffer.width = width;
    buffer.height = height;
    buffer.pixelCount = width * height;
    buffer.rowBytes = width * 4;
    buffer.lastRowOffset = (height - 1) * width * 4;
    buffer.byteSize = width * height * 4;
    return buffer;
}

std::vector<std::uint8_t> solidFrame(std::int32_t width, std::int32_t height, std::uint8_t b, std::uint8_t g,
                                     std::uint8_t r) {
    std::vector<std::uint8_t> pixels(static_cast<std::size_t>(width) * height * 4);
    for (std::size_t i = 0; i < pixels.size(); i += 4) {
        pixels[i] = b;
        pixels[i + 1] = g;
        pixels[i + 2] = r;
        pixels[i + 3] = 7;
    }
    return pixels;
}

// Single-precision product, truncated, held to the byte range.
std::uint8_t expectedScaled(std::uint8_t value, float factor) {
    const float product = static_cast<float>(value) * factor;
    if (std::isnan(product) || product <= 0.0f) {
        return 0;
    }
    return product >= 255.0f ? 255 : static_cast<std::uint8_t>(std::trunc(product));
}

TEST(ScaleBrightness, FactorOneLeavesTheFrameUntouched) {
    std::vector<std::uint8_t> pixels(64 * 4);
    for (std::size_t i = 0; i < pixels.size(); ++i) {
        pixels[i] = static_cast<std::uint8_t>(i * 37);
    }
    const auto before = pixels;
    BackdropBuffer buffer = bufferOver(pixels, 8, 8);
    buffer.backdropBrightness = 1.0f;
    scaleBrightness(buffer);
    EXPECT_EQ(pixels, before);
}

TEST(ScaleBrightness, ThreeQuartersTruncatesTowardZero) {
    std::vector<std::uint8_t> pixels = {255, 1, 100, 255, 4, 3, 2, 200};
    BackdropBuffer buffer = bufferOver(pixels, 2, 1);
    scaleBrightness(buffer);  // default factor 0.75
    const std::vector<std::uint8_t> expected = {191, 0, 75, 255, 3, 2, 1, 200};
    EXPECT_EQ(pixels, expected);
}

TEST(ScaleBrightness, MatchesTheScalarReferenceForEveryValueAndSaturates) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float infinity = std::numeric_limits<float>::infinity();
    // 256 values per channel, over an odd pixel count so that both the
    // vector part and the scalar tail run.
    const std::int32_t pixelCount = 259;
    std::vector<std::uint8_t> source(static_cast<std::size_t>(pixelCount) * 4);
    for (std::size_t i = 0; i < source.size(); ++i) {
        source[i] = static_cast<std::uint8_t>((i * 89 + i / 4) & 0xFF);
    }
    for (float factor :
         {0.0f, 0.75f, 0.3333f, 0.999f, 1.0001f, 1.5f, 3.0f, -0.5f, nan, infinity, -infinity}) {
        SCOPED_TRACE(testing::Message() << "factor " << factor);
        std::vector<std::uint8_t> pixels = source;
        BackdropBuffer buffer = bufferOver(pixels, pixelCount, 1);
        buffer.backdropBrightness = factor;
        scaleBrightness(buffer);
        for (std::size_t i = 0; i < pixels.size(); ++i) {
            if (i % 4 == 3) {
                ASSERT_EQ(pixels[i], source[i]) << "fourth byte at " << i;
            } else {
                ASSERT_EQ(pixels[i], expectedScaled(source[i], factor))
                    << "byte " << i << " from " << int{source[i]};
            }
        }
    }
    // A factor of 1.5 turns 200 into 255, not into the low 8 bits of 300.
    std::vector<std::uint8_t> bright = solidFrame(4, 1, 200, 100, 170);
    BackdropBuffer buffer = bufferOver(bright, 4, 1);
    buffer.backdropBrightness = 1.5f;
    scaleBrightness(buffer);
    EXPECT_EQ(bright[0], 255);
    EXPECT_EQ(bright[1], 150);
    EXPECT_EQ(bright[2], 255);
}

// Every kernel this build and processor have, over odd pixel counts (the
// vector steps and the scalar tail) and many factors: the special ones,
// factors that sit near a byte boundary for some value (v * f just under an
// integer) and a seeded random spread; zero tolerance against the scalar
// reference.
TEST(ScaleBrightness, EveryKernelMatchesTheScalarReferenceByteForByte) {
    std::mt19937 random(4127);
    std::vector<float> factors = {0.0f,  0.75f,  0.5f,     0.25f,  1.0f / 3.0f, 0.1f, 0.9f,
                                  0.99f, 0.999f, 1.0001f,  1.25f,  2.0f,        7.3f, 255.0f,
                                  -1.0f, 1e-7f,  0.00392f, 0.996f, 0.8f,        0.6f};
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    std::uniform_real_distribution<float> wide(0.0f, 4.0f);
    for (int i = 0; i < 200; ++i) {
        factors.push_back(unit(random));
        factors.push_back(wide(random));
    }
    for (int v = 1; v < 256; v += 7) {
        for (int t = 1; t < v; t += 11) {
            // t / v just above and below, where float rounding decides the byte.
            const float exact = static_cast<float>(t) / static_cast<float>(v);
            factors.push_back(std::nextafter(exact, 0.0f));
            factors.push_back(exact);
            factors.push_back(std::nextafter(exact, 2.0f));
        }
    }
    const int pixelCounts[] = {1, 3, 7, 37, 259};
    for (ToneKernel kernel : {ToneKernel::scalar, ToneKernel::sse2, ToneKernel::avx2}) {
        if (!selectToneKernel(kernel)) {
            continue;  // not in this build or on this processor
        }
        SCOPED_TRACE(testing::Message() << "kernel " << static_cast<int>(kernel));
        for (int pixelCount : pixelCounts) {
            std::vector<std::uint8_t> source(static_cast<std::size_t>(pixelCount) * 4);
            for (std::size_t i = 0; i < source.size(); ++i) {
                source[i] = static_cast<std::uint8_t>((i * 89 + i / 4) & 0xFF);
            }
            for (float factor : factors) {
                std::vector<std::uint8_t> pixels = source;
                BackdropBuffer buffer = bufferOver(pixels, pixelCount, 1);
                buffer.backdropBrightness = factor;
                scaleBrightness(buffer);
                for (std::size_t i = 0; i < pixels.size(); ++i) {
                    const std::uint8_t expected = i % 4 == 3 ? source[i] : expectedScaled(source[i], factor);
                    ASSERT_EQ(pixels[i], expected) << "factor " << factor << ", " << pixelCount
                                                   << " pixels, byte " << i << " from " << int{source[i]};
                }
            }
        }
    }
    EXPECT_TRUE(selectToneKernel(ToneKernel::automatic));
}

// Scaling into another buffer gives the bytes that scaling in place leaves,
// with every kernel, whole and ragged byte sizes and factor 1 (a copy), and
// leaves the source as it was.
TEST(ScaleBrightness, IntoAnotherBufferGivesTheInPlaceBytes) {
    std::mt19937 random(4128);
    std::uniform_int_distribution<int> byte(0, 255);
    for (ToneKernel kernel : {ToneKernel::scalar, ToneKernel::sse2, ToneKernel::avx2}) {
        if (!selectToneKernel(kernel)) {
            continue;
        }
        for (std::int32_t size : {1, 2, 3, 4, 7, 29, 30, 31, 32, 37 * 4 + 3, 1021}) {
            for (float factor : {0.75f, 1.0f, 0.3f, 2.5f, -1.0f}) {
                std::vector<std::uint8_t> source(static_cast<std::size_t>(size) + 8);
                for (auto& v : source) {
                    v = static_cast<std::uint8_t>(byte(random));
                }
                std::vector<std::uint8_t> inPlace = source;
                BackdropBuffer buffer = bufferOver(inPlace, size, 1);
                buffer.byteSize = size;
                buffer.backdropBrightness = factor;
                scaleBrightness(buffer);

                std::vector<std::uint8_t> frame = source;
                std::vector<std::uint8_t> out(source.size(), 0xA5);
                buffer.frame = frame.data();
                scaleBrightnessInto(buffer, out.data());
                ASSERT_EQ(frame, source) << "the source stays as captured";
                ASSERT_TRUE(std::equal(out.begin(), out.begin() + size, inPlace.begin()))
                    << "kernel " << static_cast<int>(kernel) << ", " << size << " bytes, factor " << factor;
                for (std::size_t i = static_cast<std::size_t>(size); i < out.size(); ++i) {
                    ASSERT_EQ(out[i], 0xA5) << "nothing past byteSize";
                }
            }
        }
    }
    EXPECT_TRUE(selectToneKernel(ToneKernel::automatic));
}

TEST(ScaleBrightness, StaysInsideByteSize) {
    std::vector<std::uint8_t> pixels(10 * 4, 200);
    BackdropBuffer buffer = bufferOver(pixels, 10, 1);
    buffer.byteSize = 4 * 5 + 2;  // five pixels and two stray bytes
    buffer.backdropBrightness = 0.5f;
    scaleBrightness(buffer);
    for (std::size_t i = 0; i < pixels.size(); ++i) {
        const bool scaled = i < 20 && i % 4 != 3;
        EXPECT_EQ(pixels[i], scaled ? 100 : 200) << "byte " << i;
    }
    buffer.frame = nullptr;
    scaleBrightness(buffer);  // nothing to do, no crash
}

TEST(MeasureBrightness, SmallFramesTakeNoSampleAndAreNotBright) {
    for (auto [width, height] : {std::pair{10, 100}, std::pair{100, 11}, std::pair{1, 1}}) {
        auto pixels = solidFrame(width, height, 255, 255, 255);
        BackdropBuffer buffer = bufferOver(pixels, width, height);
        buffer.isBright = true;
        measureBrightness(buffer);
        EXPECT_FALSE(buffer.isBright) << width << " x " << height;
    }
}

TEST(MeasureBrightness, StrictlyAbove128CountsAsBright) {
    // 11 x 12 has one sample (row 10, column 10) and threshold 0.
    auto pixels = solidFrame(11, 12, 130, 130, 130);
    BackdropBuffer buffer = bufferOver(pixels, 11, 12);
    measureBrightness(buffer);
    EXPECT_TRUE(buffer.isBright);

    pixels = solidFrame(11, 12, 128, 128, 128);
    buffer = bufferOver(pixels, 11, 12);
    buffer.isBright = true;
    measureBrightness(buffer);
    EXPECT_FALSE(buffer.isBright);

    // Only the sample position matters: a white frame with a dark sample.
    pixels = solidFrame(11, 12, 255, 255, 255);
    std::uint8_t* sample = pixels.data() + 10 * 11 * 4 + 40;
    sample[0] = sample[1] = sample[2] = 0;
    buffer = bufferOver(pixels, 11, 12);
    measureBrightness(buffer);
    EXPECT_FALSE(buffer.isBright);
}

TEST(MeasureBrightness, EightyPercentOfTheGridMakesItBright) {
    // 100 x 100: 9 x 9 = 81 samples, threshold trunc(100 * 0.8) = 80.
    for (int brightSamples : {79, 80, 81}) {
        auto pixels = solidFrame(100, 100, 20, 20, 20);
        int marked = 0;
        for (int row = 10; row < 99 && marked < brightSamples; row += 10) {
            for (int column = 10; column < 100 && marked < brightSamples; column += 10) {
                std::uint8_t* pixel = pixels.data() + (row * 100 + column) * 4;
                pixel[0] = pixel[1] = pixel[2] = 200;
                ++marked;
            }
        }
        ASSERT_EQ(marked, brightSamples);
        BackdropBuffer buffer = bufferOver(pixels, 100, 100);
        measureBrightness(buffer);
        EXPECT_EQ(buffer.isBright, brightSamples >= 80) << brightSamples << " bright samples";
    }
}

TEST(MeasureBrightness, UnpreparedBufferIsNotBright) {
    BackdropBuffer buffer;  // sizes still -1, no frame
    buffer.isBright = true;
    measureBrightness(buffer);
    EXPECT_FALSE(buffer.isBright);
}

TEST(LiftDarkPixels, LiftsOnlyPixelsBelowAverage80AndSaturates) {
    std::vector<std::uint8_t> pixels = {0,  0, 0,  5,  200, 10, 10,  6, 90, 80,
                                        70, 7, 79, 79, 79,  8,  176, 0, 0,  9};
    const std::vector<std::uint8_t> expected = {80, 80, 80,  5,   255, 90, 90,  6,  90, 80,
                                                70, 7,  159, 159, 159, 8,  255, 80, 80, 9};
    liftDarkPixels(pixels.data(), static_cast<std::uint32_t>(pixels.size()));
    EXPECT_EQ(pixels, expected);
}

TEST(LiftDarkPixels, ZeroAndPartialLengthsStayInBounds) {
    std::vector<std::uint8_t> pixels(12, 0);
    liftDarkPixels(pixels.data(), 0);
    EXPECT_EQ(pixels, std::vector<std::uint8_t>(12, 0));
    liftDarkPixels(pixels.data(), 6);  // one whole pixel and two stray bytes
    const std::vector<std::uint8_t> expected = {80, 80, 80, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(pixels, expected);
    liftDarkPixels(nullptr, 100);
}

}  // namespace
}  // namespace kestra
