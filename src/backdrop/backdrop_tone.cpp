// Tone adjustments of a backdrop frame before it is blurred: brightness
// scaling, the bright/not-bright judgement and the lifting of dark pixels.
// Only bytes 0, 1 and 2 (B, G, R) of a pixel are ever written.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "backdrop/backdrop_buffer.h"
#include "platform/cpu_features.h"

// The vector tone needs SSE2 (platform/cpu_features.h).
#if defined(KESTRA_SIMD_SSE2)
#include <emmintrin.h>
#define KESTRA_TONE_SSE2 1
// The AVX2 kernel is built beside it where the compiler can.
#if defined(KESTRA_SIMD_AVX2_DISPATCH)
#include <immintrin.h>
#define KESTRA_TONE_AVX2_DISPATCH 1
#endif
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

#if defined(KESTRA_TONE_AVX2_DISPATCH)
constexpr bool kToneAvx2Built = true;
#else
constexpr bool kToneAvx2Built = false;
#endif
KernelChoice<ToneKernel> toneChoice{ToneKernel::sse2, kBuildHasSse2, kToneAvx2Built};

#if defined(KESTRA_TONE_SSE2)

// The integer form of one factor: min(255, ((v << shift) * multiplier) >> 16)
// gives scaledChannel(v, factor) for every byte v. Found by search and checked
// against all 256 values; a factor without one (none is known, but the float
// rounding could in principle rule every multiplier out) takes the float
// kernel instead.
struct IntegerScale {
    bool found = false;
    int shift = 0;
    std::uint16_t multiplier = 0;
};

std::uint32_t integerScaled(std::uint32_t value, int shift, std::uint32_t multiplier) {
    const std::uint32_t product = ((value << shift) * multiplier) >> 16;
    return product < 255 ? product : 255;
}

IntegerScale findIntegerScale(float factor) {
    std::uint8_t table[256];
    for (std::uint32_t v = 0; v < 256; ++v) {
        table[v] = scaledChannel(static_cast<std::uint8_t>(v), factor);
    }
    if (table[0] != 0) {
        return {};
    }
    // Smallest shift first: it leaves the finest multiplier steps.
    for (int shift = 0; shift <= 8; ++shift) {
        const std::uint64_t unit = std::uint64_t{1} << (16 - shift);
        std::uint64_t low = 0;
        std::uint64_t high = 0xFFFF;
        for (std::uint64_t v = 1; v < 256; ++v) {
            const std::uint64_t t = table[v];
            low = std::max(low, (t * unit + v - 1) / v);
            if (t < 255) {
                high = std::min(high, ((t + 1) * unit - 1) / v);
            }
        }
        if (low > high) {
            continue;
        }
        const auto multiplier = static_cast<std::uint32_t>(low);
        bool exact = true;
        for (std::uint32_t v = 0; v < 256 && exact; ++v) {
            exact = integerScaled(v, shift, multiplier) == table[v];
        }
        if (exact) {
            return IntegerScale{true, shift, static_cast<std::uint16_t>(multiplier)};
        }
    }
    return {};
}

// Scales the first pixels of the run, 4 at a time, in single precision;
// returns how many it did.
std::size_t scalePixelsFloat(std::uint8_t* dst, const std::uint8_t* src, std::size_t pixels, float factor) {
    const __m128 scale = _mm_set1_ps(factor);
    const __m128 zero = _mm_setzero_ps();
    const __m128 white = _mm_set1_ps(255.0f);
    const __m128i fourth = _mm_set1_epi32(static_cast<int>(0xFF000000u));
    const __m128i zeroBytes = _mm_setzero_si128();
    std::size_t done = 0;
    for (; done + 4 <= pixels; done += 4) {
        __m128i* at = reinterpret_cast<__m128i*>(dst + done * 4);
        const __m128i source = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + done * 4));
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

// min(255, word): word less what lies above 255.
inline __m128i holdToByte(__m128i words) {
    return _mm_sub_epi16(words, _mm_subs_epu16(words, _mm_set1_epi16(255)));
}

// The integer form, 4 pixels at a time; returns how many it did.
std::size_t scalePixelsInteger(std::uint8_t* dst, const std::uint8_t* src, std::size_t pixels,
                               const IntegerScale& scale) {
    const __m128i multiplier = _mm_set1_epi16(static_cast<short>(scale.multiplier));
    const __m128i shift = _mm_cvtsi32_si128(scale.shift);
    const __m128i fourth = _mm_set1_epi32(static_cast<int>(0xFF000000u));
    const __m128i zero = _mm_setzero_si128();
    std::size_t done = 0;
    for (; done + 4 <= pixels; done += 4) {
        __m128i* at = reinterpret_cast<__m128i*>(dst + done * 4);
        const __m128i source = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + done * 4));
        const __m128i low =
            _mm_mulhi_epu16(_mm_sll_epi16(_mm_unpacklo_epi8(source, zero), shift), multiplier);
        const __m128i high =
            _mm_mulhi_epu16(_mm_sll_epi16(_mm_unpackhi_epi8(source, zero), shift), multiplier);
        const __m128i packed = _mm_packus_epi16(holdToByte(low), holdToByte(high));
        _mm_storeu_si128(at, _mm_or_si128(_mm_andnot_si128(fourth, packed), _mm_and_si128(fourth, source)));
    }
    return done;
}

#if defined(KESTRA_TONE_AVX2_DISPATCH)

#define KESTRA_AVX2 __attribute__((target("avx2")))

KESTRA_AVX2 inline __m256i holdToByteAvx2(__m256i words) {
    return _mm256_sub_epi16(words, _mm256_subs_epu16(words, _mm256_set1_epi16(255)));
}

// The integer form, 8 pixels at a time; returns how many it did.
KESTRA_AVX2 std::size_t scalePixelsIntegerAvx2(std::uint8_t* dst, const std::uint8_t* src, std::size_t pixels,
                                               const IntegerScale& scale) {
    const __m256i multiplier = _mm256_set1_epi16(static_cast<short>(scale.multiplier));
    const __m128i shift = _mm_cvtsi32_si128(scale.shift);
    const __m256i fourth = _mm256_set1_epi32(static_cast<int>(0xFF000000u));
    const __m256i zero = _mm256_setzero_si256();
    std::size_t done = 0;
    for (; done + 8 <= pixels; done += 8) {
        __m256i* at = reinterpret_cast<__m256i*>(dst + done * 4);
        const __m256i source = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + done * 4));
        // The in-lane unpacks and the in-lane pack undo each other.
        const __m256i low =
            _mm256_mulhi_epu16(_mm256_sll_epi16(_mm256_unpacklo_epi8(source, zero), shift), multiplier);
        const __m256i high =
            _mm256_mulhi_epu16(_mm256_sll_epi16(_mm256_unpackhi_epi8(source, zero), shift), multiplier);
        const __m256i packed = _mm256_packus_epi16(holdToByteAvx2(low), holdToByteAvx2(high));
        _mm256_storeu_si256(
            at, _mm256_or_si256(_mm256_andnot_si256(fourth, packed), _mm256_and_si256(fourth, source)));
    }
    return done;
}

#endif  // KESTRA_TONE_AVX2_DISPATCH

ToneKernel activeToneKernel() {
    return toneChoice.active();
}

// The vector part of scaleBrightness over whole pixels; returns how many
// pixels it did.
std::size_t scalePixelsVector(std::uint8_t* dst, const std::uint8_t* src, std::size_t pixels, float factor) {
    const ToneKernel kernel = activeToneKernel();
    if (kernel == ToneKernel::scalar) {
        return 0;
    }
    const IntegerScale scale = findIntegerScale(factor);
    if (!scale.found) {
        return scalePixelsFloat(dst, src, pixels, factor);
    }
    std::size_t done = 0;
#if defined(KESTRA_TONE_AVX2_DISPATCH)
    if (kernel == ToneKernel::avx2) {
        done = scalePixelsIntegerAvx2(dst, src, pixels, scale);
    }
#endif
    return done + scalePixelsInteger(dst + done * 4, src + done * 4, pixels - done, scale);
}

#endif  // KESTRA_TONE_SSE2

}  // namespace

bool selectToneKernel(ToneKernel kernel) {
    return toneChoice.select(kernel);
}

namespace {

// scaleBrightness from src to dst (the same buffer, or one of byteSize bytes
// that the bytes left unscaled are copied to).
void scaleFrame(std::uint8_t* dst, const std::uint8_t* src, std::size_t size, float factor) {
    // Whole pixels only; a trailing pixel with B, G and R inside byteSize is
    // scaled too, nothing past byteSize is touched.
    const std::size_t pixels = size / 4 + (size % 4 == 3 ? 1 : 0);
    std::size_t done = 0;
#if defined(KESTRA_TONE_SSE2)
    done = scalePixelsVector(dst, src, size / 4, factor);
#endif
    for (; done < pixels; ++done) {
        const std::uint8_t* pixel = src + done * 4;
        std::uint8_t* out = dst + done * 4;
        out[0] = scaledChannel(pixel[0], factor);
        out[1] = scaledChannel(pixel[1], factor);
        out[2] = scaledChannel(pixel[2], factor);
        if (dst != src && done * 4 + 3 < size) {
            out[3] = pixel[3];
        }
    }
    if (dst != src && pixels * 4 < size) {
        std::memcpy(dst + pixels * 4, src + pixels * 4, size - pixels * 4);  // one or two stray bytes
    }
}

}  // namespace

void scaleBrightness(BackdropBuffer& buffer) {
    const float factor = buffer.backdropBrightness;
    if (factor == 1.0f || buffer.frame == nullptr || buffer.byteSize < 3) {
        return;
    }
    scaleFrame(buffer.frame, buffer.frame, static_cast<std::size_t>(buffer.byteSize), factor);
}

void scaleBrightnessInto(const BackdropBuffer& buffer, std::uint8_t* out) {
    if (buffer.frame == nullptr || out == nullptr || buffer.byteSize <= 0) {
        return;
    }
    const auto size = static_cast<std::size_t>(buffer.byteSize);
    if (buffer.backdropBrightness == 1.0f || size < 3) {
        std::memcpy(out, buffer.frame, size);
        return;
    }
    scaleFrame(out, buffer.frame, size, buffer.backdropBrightness);
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
