// Tone adjustments of a backdrop frame before it is blurred: brightness
// scaling, the bright/not-bright judgement and the lifting of dark pixels.
// Only bytes 0, 1 and 2 (B, G, R) of a pixel are ever written.
#include <cstddef>
#include <cstdint>

#include "backdrop/backdrop_buffer.h"
#include "platform/cpu_features.h"

// The vector tone needs SSE2 (platform/cpu_features.h).
#if defined(KESTRA_SIMD_SSE2)
#include <emmintrin.h>
#define KESTRA_TONE_SSE2 1
#endif

namespace kestra {

namespace {

// A channel times the factor, truncated toward zero and held to 0..255 (a
// factor above 1 saturates at white, a negative or NaN one gives black).
inline std::uint8_t scaledChannel(std::uint8_t value, float factor) {
    const float product = static_cast<float>(value) * factor;
    float held = product > 0.0f ? product : 0.0f;
    held = held < 255.0f ? held : 255.0f;
    return static_cast<std::uint8_t>(held);
}

#if defined(KESTRA_TONE_SSE2)
// Scales the first pixels of the run, 4 at a time; returns how many it did.
std::size_t scalePixelsVector(std::uint8_t* frame, std::size_t pixels, float factor) {
    const __m128 scale = _mm_set1_ps(factor);
    const __m128 zero = _mm_setzero_ps();
    const __m128 white = _mm_set1_ps(255.0f);
    const __m128i fourth = _mm_set1_epi32(static_cast<int>(0xFF000000u));
    const __m128i zeroBytes = _mm_setzero_si128();
    std::size_t done = 0;
    for (; done + 4 <= pixels; done += 4) {
        __m128i* at = reinterpret_cast<__m128i*>(frame + done * 4);
        const __m128i source = _mm_loadu_si128(at);
        const __m128i low = _mm_unpacklo_epi8(source, zeroBytes);
        const __m128i high = _mm_unpackhi_epi8(source, zeroBytes);
        __m128i words[4] = {_mm_unpacklo_epi16(low, zeroBytes), _mm_unpackhi_epi16(low, zeroBytes),
                            _mm_unpacklo_epi16(high, zeroBytes), _mm_unpackhi_epi16(high, zeroBytes)};
        for (__m128i& word : words) {
            // max(NaN, 0) is 0 and min keeps the first operand below 255,
            // exactly like the scalar comparisons in scaledChannel.
            const __m128 product = _mm_mul_ps(_mm_cvtepi32_ps(word), scale);
            const __m128 held = _mm_min_ps(_mm_max_ps(product, zero), white);
            word = _mm_cvttps_epi32(held);
        }
        const __m128i packed =
            _mm_packus_epi16(_mm_packs_epi32(words[0], words[1]), _mm_packs_epi32(words[2], words[3]));
        const __m128i result = _mm_or_si128(_mm_andnot_si128(fourth, packed), _mm_and_si128(fourth, source));
        _mm_storeu_si128(at, result);
    }
    return done;
}
#endif

}  // namespace

void scaleBrightness(BackdropBuffer& buffer) {
    const float factor = buffer.backdropBrightness;
    if (factor == 1.0f || buffer.frame == nullptr || buffer.byteSize < 3) {
        return;
    }
    // Whole pixels only; a trailing pixel with B, G and R inside byteSize is
    // scaled too, nothing past byteSize is touched.
    const auto size = static_cast<std::size_t>(buffer.byteSize);
    const std::size_t pixels = size / 4 + (size % 4 == 3 ? 1 : 0);
    std::uint8_t* frame = buffer.frame;
    std::size_t done = 0;
#if defined(KESTRA_TONE_SSE2)
    done = scalePixelsVector(frame, size / 4, factor);
#endif
    for (; done < pixels; ++done) {
        std::uint8_t* pixel = frame + done * 4;
        pixel[0] = scaledChannel(pixel[0], factor);
        pixel[1] = scaledChannel(pixel[1], factor);
        pixel[2] = scaledChannel(pixel[2], factor);
    }
}

void measureBrightness(BackdropBuffer& buffer) {
    buffer.isBright = false;
    if (buffer.frame == nullptr || buffer.width <= 0 || buffer.height <= 0 || buffer.rowBytes <= 0) {
        return;
    }
    const std::int64_t hundredth = std::int64_t{buffer.width} * buffer.height / 100;
    const auto threshold = static_cast<std::int64_t>(static_cast<double>(hundredth) * 0.8);
    const std::int64_t rowBytes = buffer.rowBytes;
    std::int64_t count = 0;
    for (std::int64_t row = 10 * rowBytes; row < buffer.lastRowOffset; row += 10 * rowBytes) {
        const std::uint8_t* line = buffer.frame + row;
        for (std::int64_t column = 40; column < rowBytes; column += 40) {
            const std::uint8_t* pixel = line + column;
            const int average = (pixel[0] + pixel[1] + pixel[2]) / 3;
            if (average > 128) {
                ++count;
                if (count >= threshold) {
                    buffer.isBright = true;
                    return;
                }
            }
        }
    }
}

void liftDarkPixels(std::uint8_t* image, std::uint32_t length) {
    if (image == nullptr) {
        return;
    }
    // Every pixel whose B, G and R lie inside length.
    for (std::uint64_t offset = 0; offset + 3 <= length; offset += 4) {
        std::uint8_t* pixel = image + offset;
        const int average = (pixel[0] + pixel[1] + pixel[2]) / 3;
        if (average < 80) {
            for (int k = 0; k < 3; ++k) {
                pixel[k] = pixel[k] >= 176 ? std::uint8_t{255} : static_cast<std::uint8_t>(pixel[k] + 80);
            }
        }
    }
}

}  // namespace kestra
