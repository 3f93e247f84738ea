// The whole-frame passes that produce the visible result: invert, copy the
// backdrop in, or blend the backdrop with the window, on every pixel that
// regionMask leaves free. Each pass is one parallel region over horizontal
// bands of rows 0 .. height - 3; byte 3 of a pixel is never changed.
#include <omp.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "analysis/frame_analyzer.h"
#include "analysis/pixel_passes.h"

// KESTRA_NO_SIMD builds the portable scalar path only (to test it on x86).
#if (defined(__SSE2__) || defined(_M_X64) || defined(_M_AMD64)) && !defined(KESTRA_NO_SIMD)
#include <emmintrin.h>
#define KESTRA_PASSES_SSE2 1
// GCC and Clang can build an AVX2 blend beside it and pick it at run time.
#if defined(__GNUC__) && defined(__x86_64__)
#include <immintrin.h>
#define KESTRA_PASSES_AVX2_DISPATCH 1
#endif
#endif

namespace kestra {

namespace {

enum class PassKind { invert, copyBackdrop, blendBackdrop };

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
        results[i] = _mm_cvttps_epi32(_mm_min_ps(_mm_max_ps(mixed, low), high));
    }
    return _mm_packus_epi16(_mm_packs_epi32(results[0], results[1]), _mm_packs_epi32(results[2], results[3]));
}

#if defined(KESTRA_PASSES_AVX2_DISPATCH)

#define KESTRA_AVX2 __attribute__((target("avx2")))

KESTRA_AVX2 inline __m256i widenTwoPixels(const std::uint8_t* at) {
    return _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(at)));
}

// blendBackdrop on 8 pixels per step; returns how many pixels it did.
// Operation order and clamping are those of blendChannel.
KESTRA_AVX2 std::size_t blendVectorAvx2(std::uint8_t* frame, const std::uint8_t* backdrop,
                                        const std::uint8_t* mask, std::size_t count, float ownWeight,
                                        float otherWeight) {
    const __m256 own = _mm256_set1_ps(ownWeight);
    const __m256 other = _mm256_set1_ps(otherWeight);
    const __m256 low = _mm256_setzero_ps();
    const __m256 high = _mm256_set1_ps(255.0f);
    const __m256i colours = _mm256_set1_epi32(0x00FFFFFF);
    // The in-lane packs leave pixel pairs in the order 0 2 4 6 1 3 5 7.
    const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
    std::size_t done = 0;
    for (; done + 8 <= count; done += 8) {
        const __m256i masks =
            _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(mask + done)));
        const __m256i take = _mm256_and_si256(_mm256_cmpeq_epi32(masks, _mm256_setzero_si256()), colours);
        if (_mm256_testz_si256(take, take) != 0) {
            continue;  // all eight pixels masked
        }
        std::uint8_t* at = frame + done * 4;
        const std::uint8_t* under = backdrop + done * 4;
        __m256i results[4];
        for (int i = 0; i < 4; ++i) {
            const __m256 mixed =
                _mm256_add_ps(_mm256_mul_ps(_mm256_cvtepi32_ps(widenTwoPixels(under + 8 * i)), other),
                              _mm256_mul_ps(_mm256_cvtepi32_ps(widenTwoPixels(at + 8 * i)), own));
            results[i] = _mm256_cvttps_epi32(_mm256_min_ps(_mm256_max_ps(mixed, low), high));
        }
        const __m256i packed =
            _mm256_permutevar8x32_epi32(_mm256_packus_epi16(_mm256_packs_epi32(results[0], results[1]),
                                                            _mm256_packs_epi32(results[2], results[3])),
                                        order);
        const __m256i source = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
        _mm256_storeu_si256(
            reinterpret_cast<__m256i*>(at),
            _mm256_or_si256(_mm256_and_si256(take, packed), _mm256_andnot_si256(take, source)));
    }
    return done;
}

bool cpuHasAvx2() {
    static const bool has = __builtin_cpu_supports("avx2") != 0;
    return has;
}

#endif  // KESTRA_PASSES_AVX2_DISPATCH

// Runs the pass over the first pixels of [first, first + count) four at a
// time and returns how many pixels it handled.
std::size_t passVector(PassKind kind, bool wide, std::uint8_t* frame, const std::uint8_t* backdrop,
                       const std::uint8_t* mask, std::size_t count, float ownWeight, float otherWeight) {
    std::size_t done = 0;
#if defined(KESTRA_PASSES_AVX2_DISPATCH)
    if (wide && kind == PassKind::blendBackdrop) {
        done = blendVectorAvx2(frame, backdrop, mask, count, ownWeight, otherWeight);
    }
#else
    (void)wide;
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
                std::uint8_t* at = frame + (done + 4 * static_cast<std::size_t>(i)) * 4;
                storeBytes(at, _mm_xor_si128(loadBytes(at), flips[i]));
            }
        }
        for (; done + 4 <= count; done += 4) {
            std::uint8_t* at = frame + done * 4;
            storeBytes(at, _mm_xor_si128(loadBytes(at), writableBytes(loadMask4(mask + done))));
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
                std::uint8_t* at = frame + offset;
                storeBytes(at, _mm_or_si128(_mm_and_si128(takes[i], loadBytes(backdrop + offset)),
                                            _mm_andnot_si128(takes[i], loadBytes(at))));
            }
        }
        for (; done + 4 <= count; done += 4) {
            std::uint8_t* at = frame + done * 4;
            const __m128i take = writableBytes(loadMask4(mask + done));
            const __m128i mixed = _mm_or_si128(_mm_and_si128(take, loadBytes(backdrop + done * 4)),
                                               _mm_andnot_si128(take, loadBytes(at)));
            storeBytes(at, mixed);
        }
    } else {
        const __m128 own = _mm_set1_ps(ownWeight);
        const __m128 other = _mm_set1_ps(otherWeight);
        for (; done + 4 <= count; done += 4) {
            std::uint8_t* at = frame + done * 4;
            const __m128i take = writableBytes(loadMask4(mask + done));
            const __m128i source = loadBytes(at);
            if (_mm_movemask_epi8(take) == 0) {
                continue;  // all four pixels masked
            }
            const __m128i blended = blendVector(source, loadBytes(backdrop + done * 4), own, other);
            storeBytes(at, _mm_or_si128(_mm_and_si128(take, blended), _mm_andnot_si128(take, source)));
        }
    }
    return done;
}

#endif  // KESTRA_PASSES_SSE2

// The scalar form of a pass over pixels [first, first + count).
void passScalar(PassKind kind, std::uint8_t* frame, const std::uint8_t* backdrop, const std::uint8_t* mask,
                std::size_t count, float ownWeight, float otherWeight) {
    for (std::size_t i = 0; i < count; ++i) {
        if (mask[i] != 0) {
            continue;
        }
        std::uint8_t* pixel = frame + i * 4;
        const std::uint8_t* under = backdrop + i * 4;
        for (int k = 0; k < 3; ++k) {
            switch (kind) {
                case PassKind::invert:
                    pixel[k] = static_cast<std::uint8_t>(255 - pixel[k]);
                    break;
                case PassKind::copyBackdrop:
                    pixel[k] = under[k];
                    break;
                case PassKind::blendBackdrop:
                    pixel[k] = blendChannel(pixel[k], ownWeight, under[k], otherWeight);
                    break;
            }
        }
    }
}

PassKernel selectedKernel = PassKernel::automatic;

// The kernel the passes run with now.
PassKernel activeKernel() {
    if (selectedKernel != PassKernel::automatic) {
        return selectedKernel;
    }
#if defined(KESTRA_PASSES_AVX2_DISPATCH)
    if (cpuHasAvx2()) {
        return PassKernel::avx2;
    }
#endif
#if defined(KESTRA_PASSES_SSE2)
    return PassKernel::sse2;
#else
    return PassKernel::scalar;
#endif
}

// One worker's band of bytes [begin, end) of the frame.
void runBand(PassKind kind, PassKernel kernel, const FrameAnalyzer& analyzer, std::int64_t begin,
             std::int64_t end) {
    if (end <= begin) {
        return;
    }
    const auto firstPixel = static_cast<std::size_t>(begin / 4);
    const auto count = static_cast<std::size_t>((end - begin) / 4);
    std::uint8_t* frame = analyzer.frame + firstPixel * 4;
    const std::uint8_t* backdrop =
        kind == PassKind::invert ? frame : analyzer.backdropImage.get() + firstPixel * 4;
    const std::uint8_t* mask = analyzer.regionMask.get() + firstPixel;
    const float ownWeight = analyzer.contentOpacity;
    const float otherWeight = analyzer.contentOpacityComplement;
    std::size_t done = 0;
#if defined(KESTRA_PASSES_SSE2)
    if (kernel != PassKernel::scalar) {
        done = passVector(kind, kernel == PassKernel::avx2, frame, backdrop, mask, count, ownWeight,
                          otherWeight);
    }
#else
    (void)kernel;
#endif
    passScalar(kind, frame + done * 4, backdrop + done * 4, mask + done, count - done, ownWeight,
               otherWeight);
}

// Splits rows 0 .. height - 3 into threadCount bands (the last band takes
// the rows that do not divide evenly) and runs them in one parallel region.
// Returns false when the analyzer has nothing to work on.
bool runPass(PassKind kind, const FrameAnalyzer& analyzer) {
    if (analyzer.frame == nullptr || analyzer.regionMask == nullptr || analyzer.width <= 0 ||
        analyzer.height <= 0 || analyzer.rowBytes != std::int64_t{analyzer.width} * 4 ||
        analyzer.lastRowOffset != (std::int64_t{analyzer.height} - 1) * analyzer.rowBytes) {
        return false;  // no buffers, or geometry not configured for this size
    }
    if (kind != PassKind::invert && analyzer.backdropImage == nullptr) {
        return false;
    }
    const int bandCount = analyzer.threadCount > 1 ? analyzer.threadCount : 1;
    const std::int64_t rowBytes = analyzer.rowBytes;
    const std::int64_t chunk = (std::int64_t{analyzer.lastRowOffset} / rowBytes) / bandCount * rowBytes;
    const std::int64_t end = std::int64_t{analyzer.lastRowOffset} - rowBytes;
    if (end <= 0) {
        return true;  // two rows or fewer: nothing to change
    }
    // Each member of the team takes every team-size-th band, so all bands
    // are done even when the runtime grants fewer threads than asked for.
    const PassKernel kernel = activeKernel();
#pragma omp parallel num_threads(bandCount)
    {
        const int teamSize = omp_get_num_threads();
        for (int band = omp_get_thread_num(); band < bandCount; band += teamSize) {
            const std::int64_t begin = band * chunk;
            std::int64_t stop = band == bandCount - 1 ? end : (band + 1) * chunk;
            stop = stop < end ? stop : end;
            runBand(kind, kernel, analyzer, begin, stop);
        }
    }
    return true;
}

}  // namespace

bool selectPassKernel(PassKernel kernel) {
    bool available = kernel == PassKernel::automatic || kernel == PassKernel::scalar;
#if defined(KESTRA_PASSES_SSE2)
    available = available || kernel == PassKernel::sse2;
#endif
#if defined(KESTRA_PASSES_AVX2_DISPATCH)
    available = available || (kernel == PassKernel::avx2 && cpuHasAvx2());
#endif
    if (available) {
        selectedKernel = kernel;
    }
    return available;
}

void resetPixelPassState() {
    selectedKernel = PassKernel::automatic;
}

void FrameAnalyzer::invertPass() {
    if (runPass(PassKind::invert, *this)) {
        frameInverted = 1;
    }
}

void FrameAnalyzer::copyBackdropPass() {
    runPass(PassKind::copyBackdrop, *this);
}

void FrameAnalyzer::blendBackdropPass() {
    runPass(PassKind::blendBackdrop, *this);
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
