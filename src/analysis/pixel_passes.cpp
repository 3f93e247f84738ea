// The whole-frame passes that produce the visible result: invert, copy the
// backdrop in, or blend the backdrop with the window, on every pixel that
// regionMask leaves free. Each pass is one parallel region over horizontal
// bands of rows 0 .. height - 3; byte 3 of a pixel is never changed. Every
// pass also runs with its result written to another buffer (the overlay's
// surface), which then receives the whole frame as the in-place pass would
// have left it, so that presenting needs no further copy.
#include <omp.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "analysis/frame_analyzer.h"
#include "analysis/pixel_passes.h"
#include "platform/cpu_features.h"

// The vector passes need SSE2; AVX2 passes and an AVX-512 blend are built
// beside them where the compiler can (platform/cpu_features.h).
#if defined(KESTRA_SIMD_SSE2)
#include <emmintrin.h>
#define KESTRA_PASSES_SSE2 1
#if defined(KESTRA_SIMD_AVX2_DISPATCH)
#include <immintrin.h>
#define KESTRA_PASSES_AVX2_DISPATCH 1
#if defined(KESTRA_SIMD_AVX512_DISPATCH)
#define KESTRA_PASSES_AVX512_DISPATCH 1
#endif
#endif
#endif

namespace kestra {

namespace {

using PassKind = FramePass;

// The weighted sum of two channels, truncated toward zero and held to
// 0..255, so that weights outside 0..1 saturate instead of wrapping (NaN
// gives 0).
inline std::uint8_t blendChannel(std::uint8_t own, float ownWeight, std::uint8_t other, float otherWeight) {
    const float mixed = static_cast<float>(other) * otherWeight + static_cast<float>(own) * ownWeight;
    float held = mixed > 0.0f ? mixed : 0.0f;
    held = held < 255.0f ? held : 255.0f;
    return static_cast<std::uint8_t>(held);
}

#if defined(KESTRA_PASSES_SSE2)

// Whether the blend kernels must hold the weighted sum to 0..255 before
// truncating it. The packs that follow saturate to 0..255 anyway, and
// truncation toward zero takes -1 < x < 0 to 0 as the hold does, so only sums
// that the truncation cannot represent (NaN, infinite, beyond 2^31) need it:
// with finite weights whose magnitudes sum below 2^22, every sum of two
// products of bytes stays far inside.
inline bool needsHold(float ownWeight, float otherWeight) {
    const float own = ownWeight < 0.0f ? -ownWeight : ownWeight;
    const float other = otherWeight < 0.0f ? -otherWeight : otherWeight;
    return !(own + other < 4194304.0f);  // also true for NaN and infinity
}

inline __m128i loadBytes(const std::uint8_t* at) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
}
inline void storeBytes(std::uint8_t* at, __m128i value) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(at), value);
}

// 0x00FFFFFF in each of the 4 pixels whose mask byte (bytes 0..3 of masks)
// is 0, else 0: the bytes that a pass may change.
inline __m128i writableBytes(__m128i masks) {
    const __m128i free = _mm_cmpeq_epi8(masks, _mm_setzero_si128());
    const __m128i spread = _mm_unpacklo_epi16(_mm_unpacklo_epi8(free, free), _mm_unpacklo_epi8(free, free));
    return _mm_and_si128(spread, _mm_set1_epi32(0x00FFFFFF));
}

inline __m128i loadMask4(const std::uint8_t* mask) {
    std::int32_t word;
    std::memcpy(&word, mask, 4);
    return _mm_cvtsi32_si128(word);
}

// Blends 4 pixels of backdrop and frame, all four bytes; the caller keeps
// byte 3. Operation order and clamping match blendChannel exactly.
template <bool hold>
inline __m128i blendVector(__m128i own, __m128i other, __m128 ownWeight, __m128 otherWeight) {
    const __m128i zero = _mm_setzero_si128();
    const __m128 low = _mm_setzero_ps();
    const __m128 high = _mm_set1_ps(255.0f);
    const __m128i ownLow = _mm_unpacklo_epi8(own, zero);
    const __m128i ownHigh = _mm_unpackhi_epi8(own, zero);
    const __m128i otherLow = _mm_unpacklo_epi8(other, zero);
    const __m128i otherHigh = _mm_unpackhi_epi8(other, zero);
    const __m128i ownWords[4] = {_mm_unpacklo_epi16(ownLow, zero), _mm_unpackhi_epi16(ownLow, zero),
                                 _mm_unpacklo_epi16(ownHigh, zero), _mm_unpackhi_epi16(ownHigh, zero)};
    const __m128i otherWords[4] = {_mm_unpacklo_epi16(otherLow, zero), _mm_unpackhi_epi16(otherLow, zero),
                                   _mm_unpacklo_epi16(otherHigh, zero), _mm_unpackhi_epi16(otherHigh, zero)};
    __m128i results[4];
    for (int i = 0; i < 4; ++i) {
        const __m128 mixed = _mm_add_ps(_mm_mul_ps(_mm_cvtepi32_ps(otherWords[i]), otherWeight),
                                        _mm_mul_ps(_mm_cvtepi32_ps(ownWords[i]), ownWeight));
        if constexpr (hold) {
            results[i] = _mm_cvttps_epi32(_mm_min_ps(_mm_max_ps(mixed, low), high));
        } else {
            results[i] = _mm_cvttps_epi32(mixed);
        }
    }
    return _mm_packus_epi16(_mm_packs_epi32(results[0], results[1]), _mm_packs_epi32(results[2], results[3]));
}

#if defined(KESTRA_PASSES_AVX2_DISPATCH)

#define KESTRA_AVX2 __attribute__((target("avx2")))

// 0x00FFFFFF in each of the 8 pixels whose mask byte is 0, else 0.
KESTRA_AVX2 inline __m256i writableBytesAvx2(const std::uint8_t* mask) {
    const __m256i masks = _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(mask)));
    return _mm256_and_si256(_mm256_cmpeq_epi32(masks, _mm256_setzero_si256()), _mm256_set1_epi32(0x00FFFFFF));
}

// True when the 32 mask bytes from mask on are all 0 (no pixel masked).
KESTRA_AVX2 inline bool noneMasked32(const std::uint8_t* mask) {
    const __m256i masks = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(mask));
    return _mm256_testz_si256(masks, masks) != 0;
}

// invert and copyBackdrop, 8 pixels per step (32 when none of them is
// masked); returns how many pixels they did. dst may be src.
KESTRA_AVX2 std::size_t invertVectorAvx2(std::uint8_t* dst, const std::uint8_t* src, const std::uint8_t* mask,
                                         std::size_t count) {
    const __m256i colours = _mm256_set1_epi32(0x00FFFFFF);
    std::size_t done = 0;
    for (; done + 32 <= count; done += 32) {
        if (noneMasked32(mask + done)) {
            for (std::size_t i = 0; i < 32; i += 8) {
                const std::size_t offset = (done + i) * 4;
                const __m256i source = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + offset));
                _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + offset),
                                    _mm256_xor_si256(source, colours));
            }
            continue;
        }
        for (std::size_t i = 0; i < 32; i += 8) {
            const std::size_t offset = (done + i) * 4;
            const __m256i source = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + offset));
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + offset),
                                _mm256_xor_si256(source, writableBytesAvx2(mask + done + i)));
        }
    }
    for (; done + 8 <= count; done += 8) {
        const __m256i source = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + done * 4));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + done * 4),
                            _mm256_xor_si256(source, writableBytesAvx2(mask + done)));
    }
    return done;
}

KESTRA_AVX2 std::size_t copyVectorAvx2(std::uint8_t* dst, const std::uint8_t* src,
                                       const std::uint8_t* backdrop, const std::uint8_t* mask,
                                       std::size_t count) {
    const __m256i colours = _mm256_set1_epi32(0x00FFFFFF);
    std::size_t done = 0;
    for (; done + 32 <= count; done += 32) {
        const bool free = noneMasked32(mask + done);
        for (std::size_t i = 0; i < 32; i += 8) {
            const std::size_t offset = (done + i) * 4;
            const __m256i take = free ? colours : writableBytesAvx2(mask + done + i);
            const __m256i source = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + offset));
            const __m256i under = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(backdrop + offset));
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + offset),
                                _mm256_blendv_epi8(source, under, take));
        }
    }
    for (; done + 8 <= count; done += 8) {
        const __m256i take = writableBytesAvx2(mask + done);
        const __m256i source = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + done * 4));
        const __m256i under = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(backdrop + done * 4));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + done * 4),
                            _mm256_blendv_epi8(source, under, take));
    }
    return done;
}

// The byte shuffles of the blend kernels, the same in every 128-bit lane of
// 4 pixels: channelBytes(k) moves byte k of each pixel to the low byte of its
// 32 bits and clears the rest; pixelOrder takes the 16 bytes that the packs
// leave channel by channel (4 pixels of channel 0, of channel 1, ...) back
// to pixel by pixel.
constexpr std::int32_t channelBytes(std::int32_t k, std::int32_t pixel) {
    return static_cast<std::int32_t>(0x80808000u | static_cast<std::uint32_t>(4 * pixel + k));
}
constexpr std::int32_t kPixelOrder[4] = {0x0C080400, 0x0D090501, 0x0E0A0602, 0x0F0B0703};

// One colour channel of 8 pixels (own and other hold that channel's bytes in
// the low byte of each 32-bit lane): other * otherWeight + own * ownWeight
// truncated toward zero, as blendChannel; with the hold, the sum is held to
// 0..255 before the truncation. Without it the truncated sum may lie outside
// 0..255: the saturating packs that follow hold it there.
template <bool hold>
KESTRA_AVX2 inline __m256i blendChannel8(__m256i own, __m256i other, __m256 ownWeight, __m256 otherWeight) {
    const __m256 mixed = _mm256_add_ps(_mm256_mul_ps(_mm256_cvtepi32_ps(other), otherWeight),
                                       _mm256_mul_ps(_mm256_cvtepi32_ps(own), ownWeight));
    if constexpr (hold) {
        return _mm256_cvttps_epi32(
            _mm256_min_ps(_mm256_max_ps(mixed, _mm256_setzero_ps()), _mm256_set1_ps(255.0f)));
    } else {
        return _mm256_cvttps_epi32(mixed);
    }
}

// blendBackdrop on 8 pixels per step; returns how many pixels it did. Each
// of the three colour channels of the 8 pixels is one vector of floats (byte
// 3 is left out); the packs hold the three results to 0..255 and a shuffle
// puts them back in pixel order. dst may be src.
template <bool hold>
KESTRA_AVX2 std::size_t blendVectorAvx2(std::uint8_t* dst, const std::uint8_t* src,
                                        const std::uint8_t* backdrop, const std::uint8_t* mask,
                                        std::size_t count, float ownWeight, float otherWeight) {
    const __m256 own = _mm256_set1_ps(ownWeight);
    const __m256 other = _mm256_set1_ps(otherWeight);
    const __m256i blue =
        _mm256_setr_epi32(channelBytes(0, 0), channelBytes(0, 1), channelBytes(0, 2), channelBytes(0, 3),
                          channelBytes(0, 0), channelBytes(0, 1), channelBytes(0, 2), channelBytes(0, 3));
    const __m256i green =
        _mm256_setr_epi32(channelBytes(1, 0), channelBytes(1, 1), channelBytes(1, 2), channelBytes(1, 3),
                          channelBytes(1, 0), channelBytes(1, 1), channelBytes(1, 2), channelBytes(1, 3));
    const __m256i red =
        _mm256_setr_epi32(channelBytes(2, 0), channelBytes(2, 1), channelBytes(2, 2), channelBytes(2, 3),
                          channelBytes(2, 0), channelBytes(2, 1), channelBytes(2, 2), channelBytes(2, 3));
    const __m256i pixelOrder =
        _mm256_setr_epi32(kPixelOrder[0], kPixelOrder[1], kPixelOrder[2], kPixelOrder[3], kPixelOrder[0],
                          kPixelOrder[1], kPixelOrder[2], kPixelOrder[3]);
    const bool inPlace = dst == src;
    std::size_t done = 0;
    for (; done + 8 <= count; done += 8) {
        const __m256i take = writableBytesAvx2(mask + done);
        const __m256i source = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + done * 4));
        if (_mm256_testz_si256(take, take) != 0) {
            if (!inPlace) {
                _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + done * 4), source);
            }
            continue;  // all eight pixels masked
        }
        const __m256i beneath = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(backdrop + done * 4));
        const __m256i b = blendChannel8<hold>(_mm256_shuffle_epi8(source, blue),
                                              _mm256_shuffle_epi8(beneath, blue), own, other);
        const __m256i g = blendChannel8<hold>(_mm256_shuffle_epi8(source, green),
                                              _mm256_shuffle_epi8(beneath, green), own, other);
        const __m256i r = blendChannel8<hold>(_mm256_shuffle_epi8(source, red),
                                              _mm256_shuffle_epi8(beneath, red), own, other);
        // Per 128-bit lane: B of 4 pixels, G, R, R again (byte 3, not kept).
        const __m256i packed = _mm256_packus_epi16(_mm256_packs_epi32(b, g), _mm256_packs_epi32(r, r));
        const __m256i blended = _mm256_shuffle_epi8(packed, pixelOrder);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + done * 4),
                            _mm256_blendv_epi8(source, blended, take));
    }
    return done;
}

#endif  // KESTRA_PASSES_AVX2_DISPATCH

#if defined(KESTRA_PASSES_AVX512_DISPATCH)

#define KESTRA_AVX512 __attribute__((target("avx512f,avx512bw,avx512vl")))

// GCC 12's AVX-512 intrinsics fill the lanes they leave undefined from a
// variable initialised with itself, which its uninitialised-use warnings
// then report at every caller.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

// blendChannel8 on 16 pixels. Always inlined, as blendStep16: passed to a
// call, vector arguments go through the stack, which the Windows ABI does not
// align for them.
template <bool hold>
KESTRA_AVX512 __attribute__((always_inline)) inline __m512i blendChannel16(__m512i own, __m512i other,
                                                                           __m512 ownWeight,
                                                                           __m512 otherWeight) {
    const __m512 mixed = _mm512_add_ps(_mm512_mul_ps(_mm512_cvtepi32_ps(other), otherWeight),
                                       _mm512_mul_ps(_mm512_cvtepi32_ps(own), ownWeight));
    if constexpr (hold) {
        return _mm512_cvttps_epi32(
            _mm512_min_ps(_mm512_max_ps(mixed, _mm512_setzero_ps()), _mm512_set1_ps(255.0f)));
    } else {
        return _mm512_cvttps_epi32(mixed);
    }
}

// The AVX-512 blend on the 16 pixels from `at` on whose bits are set in
// `lanes` (the others are neither read nor written): the AVX2 kernel's steps
// on twice the pixels, with the mask and byte 3 applied in one bitwise select
// under a mask register. blue, green and red are the shuffles that take a
// channel out, pixelOrder the one that puts them back.
template <bool hold>
KESTRA_AVX512 __attribute__((always_inline)) inline void blendStep16(
    std::uint8_t* dst, const std::uint8_t* src, const std::uint8_t* backdrop, const std::uint8_t* mask,
    std::size_t at, __mmask16 lanes, bool inPlace, __m512 own, __m512 other, __m512i blue, __m512i green,
    __m512i red, __m512i pixelOrder) {
    const __m128i masks = _mm_maskz_loadu_epi8(lanes, mask + at);
    const __mmask16 take = _mm_mask_testn_epi8_mask(lanes, masks, masks);
    const __m512i source = _mm512_maskz_loadu_epi32(lanes, src + at * 4);
    if (take == 0) {
        if (!inPlace) {
            _mm512_mask_storeu_epi32(dst + at * 4, lanes, source);
        }
        return;  // every pixel masked
    }
    const __m512i beneath = _mm512_maskz_loadu_epi32(lanes, backdrop + at * 4);
    const __m512i b = blendChannel16<hold>(_mm512_shuffle_epi8(source, blue),
                                           _mm512_shuffle_epi8(beneath, blue), own, other);
    const __m512i g = blendChannel16<hold>(_mm512_shuffle_epi8(source, green),
                                           _mm512_shuffle_epi8(beneath, green), own, other);
    const __m512i r =
        blendChannel16<hold>(_mm512_shuffle_epi8(source, red), _mm512_shuffle_epi8(beneath, red), own, other);
    const __m512i packed = _mm512_packus_epi16(_mm512_packs_epi32(b, g), _mm512_packs_epi32(r, r));
    // Pixels in take get bytes 0..2 from the blend and byte 3 from source;
    // the others stay source.
    const __m512i result = _mm512_mask_ternarylogic_epi32(
        source, take, _mm512_shuffle_epi8(packed, pixelOrder), _mm512_set1_epi32(0x00FFFFFF), 0xD8);
    _mm512_mask_storeu_epi32(dst + at * 4, lanes, result);
}

// blendBackdrop on 16 pixels per step, the same operations as the AVX2
// kernel and blendChannel; it does every pixel of the range (the first ones
// up to where dst is 64-byte aligned, and the last ones, in steps that leave
// the lanes beyond them out) and returns count. dst may be src.
template <bool hold>
KESTRA_AVX512 std::size_t blendVectorAvx512(std::uint8_t* dst, const std::uint8_t* src,
                                            const std::uint8_t* backdrop, const std::uint8_t* mask,
                                            std::size_t count, float ownWeight, float otherWeight) {
    const __m512 own = _mm512_set1_ps(ownWeight);
    const __m512 other = _mm512_set1_ps(otherWeight);
    const __m512i blue = _mm512_broadcast_i32x4(
        _mm_setr_epi32(channelBytes(0, 0), channelBytes(0, 1), channelBytes(0, 2), channelBytes(0, 3)));
    const __m512i green = _mm512_broadcast_i32x4(
        _mm_setr_epi32(channelBytes(1, 0), channelBytes(1, 1), channelBytes(1, 2), channelBytes(1, 3)));
    const __m512i red = _mm512_broadcast_i32x4(
        _mm_setr_epi32(channelBytes(2, 0), channelBytes(2, 1), channelBytes(2, 2), channelBytes(2, 3)));
    const __m512i pixelOrder = _mm512_broadcast_i32x4(
        _mm_setr_epi32(kPixelOrder[0], kPixelOrder[1], kPixelOrder[2], kPixelOrder[3]));
    const bool inPlace = dst == src;
    std::size_t done = 0;
    const auto misalignment = reinterpret_cast<std::uintptr_t>(dst) % 64;
    if (misalignment % 4 == 0 && misalignment != 0) {
        done = std::min(count, static_cast<std::size_t>((64 - misalignment) / 4));
        blendStep16<hold>(dst, src, backdrop, mask, 0, static_cast<__mmask16>((1u << done) - 1), inPlace, own,
                          other, blue, green, red, pixelOrder);
    }
    for (; done + 16 <= count; done += 16) {
        blendStep16<hold>(dst, src, backdrop, mask, done, 0xFFFF, inPlace, own, other, blue, green, red,
                          pixelOrder);
    }
    if (done < count) {
        blendStep16<hold>(dst, src, backdrop, mask, done, static_cast<__mmask16>((1u << (count - done)) - 1),
                          inPlace, own, other, blue, green, red, pixelOrder);
    }
    return count;
}

#pragma GCC diagnostic pop

#endif  // KESTRA_PASSES_AVX512_DISPATCH

// Runs the pass over the first pixels of [first, first + count) four or
// more at a time and returns how many pixels it handled. dst may be src.
std::size_t passVector(PassKind kind, PassKernel kernel, std::uint8_t* dst, const std::uint8_t* src,
                       const std::uint8_t* backdrop, const std::uint8_t* mask, std::size_t count,
                       float ownWeight, float otherWeight) {
    std::size_t done = 0;
#if defined(KESTRA_PASSES_AVX512_DISPATCH)
    if (kernel == PassKernel::avx512 && kind == PassKind::blendBackdrop) {
        return needsHold(ownWeight, otherWeight)
                   ? blendVectorAvx512<true>(dst, src, backdrop, mask, count, ownWeight, otherWeight)
                   : blendVectorAvx512<false>(dst, src, backdrop, mask, count, ownWeight, otherWeight);
    }
#endif
#if defined(KESTRA_PASSES_AVX2_DISPATCH)
    if (kernel == PassKernel::avx2 || kernel == PassKernel::avx512) {
        switch (kind) {
            case PassKind::invert:
                done = invertVectorAvx2(dst, src, mask, count);
                break;
            case PassKind::copyBackdrop:
                done = copyVectorAvx2(dst, src, backdrop, mask, count);
                break;
            case PassKind::blendBackdrop:
                done = needsHold(ownWeight, otherWeight)
                           ? blendVectorAvx2<true>(dst, src, backdrop, mask, count, ownWeight, otherWeight)
                           : blendVectorAvx2<false>(dst, src, backdrop, mask, count, ownWeight, otherWeight);
                break;
        }
    }
#else
    (void)kernel;
#endif
    if (kind == PassKind::invert) {
        for (; done + 16 <= count; done += 16) {
            const __m128i free = _mm_cmpeq_epi8(loadBytes(mask + done), _mm_setzero_si128());
            const __m128i lo = _mm_unpacklo_epi8(free, free);
            const __m128i hi = _mm_unpackhi_epi8(free, free);
            const __m128i colours = _mm_set1_epi32(0x00FFFFFF);
            const __m128i flips[4] = {_mm_and_si128(_mm_unpacklo_epi16(lo, lo), colours),
                                      _mm_and_si128(_mm_unpackhi_epi16(lo, lo), colours),
                                      _mm_and_si128(_mm_unpacklo_epi16(hi, hi), colours),
                                      _mm_and_si128(_mm_unpackhi_epi16(hi, hi), colours)};
            for (int i = 0; i < 4; ++i) {
                const std::size_t offset = (done + 4 * static_cast<std::size_t>(i)) * 4;
                storeBytes(dst + offset, _mm_xor_si128(loadBytes(src + offset), flips[i]));
            }
        }
        for (; done + 4 <= count; done += 4) {
            storeBytes(dst + done * 4,
                       _mm_xor_si128(loadBytes(src + done * 4), writableBytes(loadMask4(mask + done))));
        }
    } else if (kind == PassKind::copyBackdrop) {
        for (; done + 16 <= count; done += 16) {
            const __m128i free = _mm_cmpeq_epi8(loadBytes(mask + done), _mm_setzero_si128());
            const __m128i lo = _mm_unpacklo_epi8(free, free);
            const __m128i hi = _mm_unpackhi_epi8(free, free);
            const __m128i colours = _mm_set1_epi32(0x00FFFFFF);
            const __m128i takes[4] = {_mm_and_si128(_mm_unpacklo_epi16(lo, lo), colours),
                                      _mm_and_si128(_mm_unpackhi_epi16(lo, lo), colours),
                                      _mm_and_si128(_mm_unpacklo_epi16(hi, hi), colours),
                                      _mm_and_si128(_mm_unpackhi_epi16(hi, hi), colours)};
            for (int i = 0; i < 4; ++i) {
                const std::size_t offset = (done + 4 * static_cast<std::size_t>(i)) * 4;
                storeBytes(dst + offset, _mm_or_si128(_mm_and_si128(takes[i], loadBytes(backdrop + offset)),
                                                      _mm_andnot_si128(takes[i], loadBytes(src + offset))));
            }
        }
        for (; done + 4 <= count; done += 4) {
            const __m128i take = writableBytes(loadMask4(mask + done));
            const __m128i mixed = _mm_or_si128(_mm_and_si128(take, loadBytes(backdrop + done * 4)),
                                               _mm_andnot_si128(take, loadBytes(src + done * 4)));
            storeBytes(dst + done * 4, mixed);
        }
    } else {
        const __m128 own = _mm_set1_ps(ownWeight);
        const __m128 other = _mm_set1_ps(otherWeight);
        const bool hold = needsHold(ownWeight, otherWeight);
        const bool inPlace = dst == src;
        for (; done + 4 <= count; done += 4) {
            const __m128i take = writableBytes(loadMask4(mask + done));
            const __m128i source = loadBytes(src + done * 4);
            if (_mm_movemask_epi8(take) == 0) {
                if (!inPlace) {
                    storeBytes(dst + done * 4, source);
                }
                continue;  // all four pixels masked
            }
            const __m128i under = loadBytes(backdrop + done * 4);
            const __m128i blended = hold ? blendVector<true>(source, under, own, other)
                                         : blendVector<false>(source, under, own, other);
            storeBytes(dst + done * 4,
                       _mm_or_si128(_mm_and_si128(take, blended), _mm_andnot_si128(take, source)));
        }
    }
    return done;
}

#endif  // KESTRA_PASSES_SSE2

// The scalar form of a pass over pixels [first, first + count): the
// reference the vector kernels are compared with. dst may be src; a masked
// pixel, and byte 3 of every pixel, is src's.
void passScalar(PassKind kind, std::uint8_t* dst, const std::uint8_t* src, const std::uint8_t* backdrop,
                const std::uint8_t* mask, std::size_t count, float ownWeight, float otherWeight) {
    const bool inPlace = dst == src;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t* pixel = src + i * 4;
        std::uint8_t* out = dst + i * 4;
        if (mask[i] != 0) {
            if (!inPlace) {
                std::memcpy(out, pixel, 4);
            }
            continue;
        }
        const std::uint8_t* under = backdrop + i * 4;
        for (int k = 0; k < 3; ++k) {
            switch (kind) {
                case PassKind::invert:
                    out[k] = static_cast<std::uint8_t>(255 - pixel[k]);
                    break;
                case PassKind::copyBackdrop:
                    out[k] = under[k];
                    break;
                case PassKind::blendBackdrop:
                    out[k] = blendChannel(pixel[k], ownWeight, under[k], otherWeight);
                    break;
            }
        }
        out[3] = pixel[3];
    }
}

KernelChoice<PassKernel> kernelChoice{PassKernel::sse2, kBuildHasSse2, kBuildHasAvx2Dispatch,
                                      PassKernel::avx512, kBuildHasAvx512Dispatch};

// One worker's band of bytes [begin, end) of the frame, written to dst (the
// frame's own bytes at begin for the pass in place).
void runBand(PassKind kind, PassKernel kernel, const FrameAnalyzer& analyzer, std::uint8_t* dst,
             std::int64_t begin, std::int64_t end) {
    if (end <= begin) {
        return;
    }
    const auto firstPixel = static_cast<std::size_t>(begin / 4);
    const auto count = static_cast<std::size_t>((end - begin) / 4);
    const std::uint8_t* src = analyzer.frame + firstPixel * 4;
    const std::uint8_t* backdrop =
        kind == PassKind::invert ? src : analyzer.backdropImage.get() + firstPixel * 4;
    const std::uint8_t* mask = analyzer.regionMask.get() + firstPixel;
    const float ownWeight = analyzer.contentOpacity;
    const float otherWeight = analyzer.contentOpacityComplement;
    std::size_t done = 0;
#if defined(KESTRA_PASSES_SSE2)
    if (kernel != PassKernel::scalar) {
        // The plain loop takes the first pixels up to where dst is 32-byte
        // aligned (when it can be), so that no vector store of the kernels
        // straddles two cache lines.
        const auto misalignment = reinterpret_cast<std::uintptr_t>(dst) % 32;
        if (misalignment % 4 == 0 && misalignment != 0) {
            done = std::min(count, static_cast<std::size_t>((32 - misalignment) / 4));
            passScalar(kind, dst, src, backdrop, mask, done, ownWeight, otherWeight);
        }
        done += passVector(kind, kernel, dst + done * 4, src + done * 4, backdrop + done * 4, mask + done,
                           count - done, ownWeight, otherWeight);
    }
#else
    (void)kernel;
#endif
    passScalar(kind, dst + done * 4, src + done * 4, backdrop + done * 4, mask + done, count - done,
               ownWeight, otherWeight);
}

// Rewrites the rows of out in the bytes [begin, end) (whole rows) whose
// bytes differ from those makeRow(offset) gives for them, and widens span
// to each row rewritten.
template <typename MakeRow>
void rewriteChangedRows(std::uint8_t* out, std::int64_t begin, std::int64_t end, std::int64_t rowBytes,
                        MakeRow makeRow, RowSpan& span) {
    const auto bytes = static_cast<std::size_t>(rowBytes);
    for (std::int64_t at = begin; at < end; at += rowBytes) {
        const std::uint8_t* row = makeRow(at);
        if (std::memcmp(row, out + at, bytes) != 0) {
            std::memcpy(out + at, row, bytes);
            const auto index = static_cast<std::int32_t>(at / rowBytes);
            span.first = std::min(span.first, index);
            span.end = std::max(span.end, index + 1);
        }
    }
}

// Splits the rows firstRow .. endRow - 1 that the pass changes (those above
// height - 2) into threadCount bands (the last band takes the rows that do
// not divide evenly) and runs them in one parallel region, in place or into
// out; with out, the last band also copies the rows of the range that the
// pass leaves as they are. Rows outside the range are not touched. With
// changed (and an out), each row is made in a buffer of its worker's and
// written to out only where it differs from out's row; changed receives the
// rows written.
// Returns false when the analyzer has nothing to work on.
bool runPass(PassKind kind, const FrameAnalyzer& analyzer, std::uint8_t* out, std::int32_t firstRow,
             std::int32_t endRow, RowSpan* changed = nullptr) {
    if (analyzer.frame == nullptr || analyzer.regionMask == nullptr || analyzer.width <= 0 ||
        analyzer.height <= 0 || analyzer.rowBytes != std::int64_t{analyzer.width} * 4 ||
        analyzer.lastRowOffset != (std::int64_t{analyzer.height} - 1) * analyzer.rowBytes) {
        return false;  // no buffers, or geometry not configured for this size
    }
    if (kind != PassKind::invert && analyzer.backdropImage == nullptr) {
        return false;
    }
    const std::int64_t rowBytes = analyzer.rowBytes;
    const std::int64_t first = std::clamp<std::int64_t>(firstRow, 0, analyzer.height) * rowBytes;
    const std::int64_t last = std::clamp<std::int64_t>(endRow, 0, analyzer.height) * rowBytes;
    const int bandCount = analyzer.threadCount > 1 ? analyzer.threadCount : 1;
    std::vector<RowSpan> spans(changed != nullptr ? static_cast<std::size_t>(bandCount) : 0);
    if (last <= first) {
        if (changed != nullptr) {
            *changed = RowSpan{};
        }
        return true;
    }
    // The pass ends two rows short of the frame's end.
    const std::int64_t passEnd = std::int64_t{analyzer.lastRowOffset} - rowBytes;
    const std::int64_t end = std::min(last, std::max(passEnd, first));
    // The rows of the range that the pass leaves as they are.
    const auto copyRest = [&](RowSpan* span) {
        if (out == nullptr || last <= end) {
            return;
        }
        if (span == nullptr) {
            std::memcpy(out + end, analyzer.frame + end, static_cast<std::size_t>(last - end));
            return;
        }
        rewriteChangedRows(
            out, end, last, rowBytes, [&](std::int64_t at) { return analyzer.frame + at; }, *span);
    };
    const std::int64_t chunk = end > first ? ((end - first) / rowBytes) / bandCount * rowBytes : 0;
    // Each member of the team takes every team-size-th band, so all bands
    // are done even when the runtime grants fewer threads than asked for.
    const PassKernel kernel = kernelChoice.active();
#pragma omp parallel num_threads(bandCount) if (end > first)
    {
        const int teamSize = omp_get_num_threads();
        // A row made aside, 64-byte aligned as the surface's rows start.
        std::vector<std::uint8_t> buffer(changed != nullptr ? static_cast<std::size_t>(rowBytes) + 64 : 0);
        std::uint8_t* scratch = buffer.data();
        if (changed != nullptr) {
            scratch += (64 - reinterpret_cast<std::uintptr_t>(scratch) % 64) % 64;
        }
        for (int band = omp_get_thread_num(); band < bandCount; band += teamSize) {
            const std::int64_t begin = first + band * chunk;
            std::int64_t stop = band == bandCount - 1 ? end : first + (band + 1) * chunk;
            stop = stop < end ? stop : end;
            RowSpan* span = changed != nullptr ? &spans[static_cast<std::size_t>(band)] : nullptr;
            if (span == nullptr) {
                runBand(kind, kernel, analyzer, (out != nullptr ? out : analyzer.frame) + begin, begin, stop);
            } else {
                const auto makeRow = [&](std::int64_t at) {
                    runBand(kind, kernel, analyzer, scratch, at, at + rowBytes);
                    return static_cast<const std::uint8_t*>(scratch);
                };
                rewriteChangedRows(out, begin, stop, rowBytes, makeRow, *span);
            }
            if (band == bandCount - 1) {
                copyRest(span);
            }
        }
    }
    if (changed != nullptr) {
        RowSpan all;
        for (const RowSpan& span : spans) {
            all.first = std::min(all.first, span.first);
            all.end = std::max(all.end, span.end);
        }
        *changed = all.end > all.first ? all : RowSpan{};
    }
    return true;
}

bool runPass(PassKind kind, const FrameAnalyzer& analyzer, std::uint8_t* out) {
    return runPass(kind, analyzer, out, 0, analyzer.height);
}

// countChangedPixels: the plain loop, kept as the reference.
std::int64_t countChangedScalar(const std::uint8_t* a, const std::uint8_t* b, std::size_t pixels) {
    std::int64_t count = 0;
    for (std::size_t i = 0; i < pixels; ++i) {
        std::uint32_t x;
        std::uint32_t y;
        std::memcpy(&x, a + 4 * i, 4);
        std::memcpy(&y, b + 4 * i, 4);
        count += ((x ^ y) & 0x00FFFFFFu) != 0 ? 1 : 0;
    }
    return count;
}

#if defined(KESTRA_PASSES_SSE2)

// The pixels among the first whole groups of 4 whose colour bytes are equal;
// done receives how many pixels were looked at.
std::int64_t countEqualSse2(const std::uint8_t* a, const std::uint8_t* b, std::size_t pixels,
                            std::size_t& done) {
    const __m128i colours = _mm_set1_epi32(0x00FFFFFF);
    __m128i equal = _mm_setzero_si128();
    std::int64_t total = 0;
    done = 0;
    while (done + 4 <= pixels) {
        // Each 32-bit lane counts down by at most 1 per step: fold well
        // before it could wrap.
        const std::size_t stop = std::min(pixels - (pixels - done) % 4, done + (std::size_t{1} << 28));
        for (; done < stop; done += 4) {
            const __m128i x = _mm_xor_si128(loadBytes(a + done * 4), loadBytes(b + done * 4));
            equal = _mm_sub_epi32(equal, _mm_cmpeq_epi32(_mm_and_si128(x, colours), _mm_setzero_si128()));
        }
        alignas(16) std::uint32_t lanes[4];
        _mm_store_si128(reinterpret_cast<__m128i*>(lanes), equal);
        total += std::int64_t{lanes[0]} + lanes[1] + lanes[2] + lanes[3];
        equal = _mm_setzero_si128();
    }
    return total;
}

#if defined(KESTRA_PASSES_AVX2_DISPATCH)

KESTRA_AVX2 std::int64_t countEqualAvx2(const std::uint8_t* a, const std::uint8_t* b, std::size_t pixels,
                                        std::size_t& done) {
    const __m256i colours = _mm256_set1_epi32(0x00FFFFFF);
    __m256i equal = _mm256_setzero_si256();
    std::int64_t total = 0;
    done = 0;
    while (done + 8 <= pixels) {
        const std::size_t stop = std::min(pixels - (pixels - done) % 8, done + (std::size_t{1} << 29));
        for (; done < stop; done += 8) {
            const __m256i x =
                _mm256_xor_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(a + done * 4)),
                                 _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + done * 4)));
            equal = _mm256_sub_epi32(
                equal, _mm256_cmpeq_epi32(_mm256_and_si256(x, colours), _mm256_setzero_si256()));
        }
        alignas(32) std::uint32_t lanes[8];
        _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), equal);
        for (std::uint32_t lane : lanes) {
            total += lane;
        }
        equal = _mm256_setzero_si256();
    }
    return total;
}

#endif  // KESTRA_PASSES_AVX2_DISPATCH
#endif  // KESTRA_PASSES_SSE2

}  // namespace

bool selectPassKernel(PassKernel kernel) {
    return kernelChoice.select(kernel);
}

void resetPixelPassState() {
    kernelChoice.reset();
}

std::int64_t countChangedPixels(const std::uint8_t* a, const std::uint8_t* b, std::size_t pixels) {
    if (a == nullptr || b == nullptr) {
        return 0;
    }
    std::size_t done = 0;
    std::int64_t changed = 0;
#if defined(KESTRA_PASSES_SSE2)
    const PassKernel kernel = kernelChoice.active();
    std::int64_t equal = 0;
#if defined(KESTRA_PASSES_AVX2_DISPATCH)
    if (kernel == PassKernel::avx2 || kernel == PassKernel::avx512) {
        equal = countEqualAvx2(a, b, pixels, done);
    }
#endif
    if (kernel == PassKernel::sse2) {
        equal = countEqualSse2(a, b, pixels, done);
    }
    changed = static_cast<std::int64_t>(done) - equal;
#endif
    return changed + countChangedScalar(a + done * 4, b + done * 4, pixels - done);
}

void FrameAnalyzer::invertPass() {
    if (runPass(PassKind::invert, *this, nullptr)) {
        frameInverted = 1;
    }
}

void FrameAnalyzer::copyBackdropPass() {
    runPass(PassKind::copyBackdrop, *this, nullptr);
}

void FrameAnalyzer::blendBackdropPass() {
    runPass(PassKind::blendBackdrop, *this, nullptr);
}

bool runPassInto(FrameAnalyzer& analyzer, FramePass pass, std::uint8_t* out) {
    return runPassIntoRows(analyzer, pass, out, 0, analyzer.height);
}

namespace {

// The pass into out, which must exist; an invert that ran sets frameInverted.
bool runPassIntoOut(FrameAnalyzer& analyzer, FramePass pass, std::uint8_t* out, std::int32_t firstRow,
                    std::int32_t endRow, RowSpan* changed) {
    if (out == nullptr || !runPass(pass, analyzer, out, firstRow, endRow, changed)) {
        return false;
    }
    if (pass == FramePass::invert) {
        analyzer.frameInverted = 1;
    }
    return true;
}

}  // namespace

bool runPassIntoRows(FrameAnalyzer& analyzer, FramePass pass, std::uint8_t* out, std::int32_t firstRow,
                     std::int32_t endRow) {
    return runPassIntoOut(analyzer, pass, out, firstRow, endRow, nullptr);
}

bool runPassIntoChangedRows(FrameAnalyzer& analyzer, FramePass pass, std::uint8_t* out, RowSpan& changed,
                            std::int32_t firstRow, std::int32_t endRow) {
    return runPassIntoOut(analyzer, pass, out, firstRow, std::min(endRow, analyzer.height), &changed);
}

void FrameAnalyzer::blendPhotoPixel(std::uint8_t* framePixel, const std::uint8_t* backdropPixel) const {
    if (photoOpacity == 0.0f) {
        framePixel[0] = backdropPixel[0];
        framePixel[1] = backdropPixel[1];
        framePixel[2] = backdropPixel[2];
        return;
    }
    for (int k = 0; k < 3; ++k) {
        // frame * photoOpacity + backdrop * complement, in that order.
        const float mixed = static_cast<float>(framePixel[k]) * photoOpacity +
                            static_cast<float>(backdropPixel[k]) * photoOpacityComplement;
        float held = mixed > 0.0f ? mixed : 0.0f;
        held = held < 255.0f ? held : 255.0f;
        framePixel[k] = static_cast<std::uint8_t>(held);
    }
}

}  // namespace kestra
