// Stack blur: a separable blur with a triangular window of radius r, kept in
// running sums so that each pixel costs the same whatever the radius.
//
// Two forms live here. blurLineScalar is the textbook ring-buffer version and
// the reference; stackBlurPass runs it over a band. stackBlur uses the vector
// kernels where the compiler targets SSE4.1 (and AVX2, chosen at run time,
// on GCC and Clang): the row pass interleaves 8 or 4 rows into a scratch
// line, the column pass copies 16 adjacent columns into a scratch column,
// and the running sums then advance 4 or 8 pixels per step, reading the
// edge pixels in place of the window's missing ones. All sums are exact
// 32-bit integers, so every form gives identical bytes.
#include "backdrop/stack_blur.h"

#include <omp.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <new>

#include "backdrop/backdrop_buffer.h"
#include "platform/cpu_features.h"

// The vector kernels need SSE4.1; the AVX2 one is built beside them where
// the compiler can (platform/cpu_features.h).
#if defined(KESTRA_SIMD_SSE41)
#include <smmintrin.h>
#define KESTRA_BLUR_SSE41 1
#if defined(KESTRA_SIMD_AVX2_DISPATCH)
#include <immintrin.h>
#define KESTRA_BLUR_AVX2_DISPATCH 1
#endif
#endif

namespace kestra {

namespace {

struct Band {
    std::uint32_t first;
    std::uint32_t end;
};

// Lines first .. end - 1 of `lines` for one of bandCount bands.
Band bandBounds(std::uint32_t lines, std::uint32_t bandCount, std::uint32_t band) {
    const auto first = static_cast<std::uint32_t>(std::uint64_t{lines} * band / bandCount);
    const auto end = static_cast<std::uint32_t>(std::uint64_t{lines} * (band + 1) / bandCount);
    return {first, end};
}

// Blurs `count` pixels starting at `first`, `step` bytes apart, with the ring
// buffer `stack` of 2r + 1 pixels.
void blurLineScalar(std::uint8_t* first, std::uint32_t count, std::size_t step, std::uint32_t r,
                    std::uint8_t* stack) {
    const std::uint32_t last = count - 1;
    const std::uint32_t div = 2 * r + 1;
    const std::uint32_t mul = stackBlurMul[r];
    const std::uint32_t shr = stackBlurShr[r];
    std::uint32_t sum[4] = {0, 0, 0, 0};
    std::uint32_t sumIn[4] = {0, 0, 0, 0};
    std::uint32_t sumOut[4] = {0, 0, 0, 0};

    const std::uint8_t* p = first;
    for (std::uint32_t i = 0; i <= r; ++i) {
        std::memcpy(stack + std::size_t{i} * 4, p, 4);
        for (int c = 0; c < 4; ++c) {
            sum[c] += p[c] * (i + 1);
            sumOut[c] += p[c];
        }
    }
    for (std::uint32_t i = 1; i <= r; ++i) {
        if (i <= last) {
            p += step;
        }
        std::memcpy(stack + std::size_t{r + i} * 4, p, 4);
        for (int c = 0; c < 4; ++c) {
            sum[c] += p[c] * (r + 1 - i);
            sumIn[c] += p[c];
        }
    }

    std::uint32_t sp = r;
    std::uint32_t xp = std::min(r, last);
    const std::uint8_t* q = first + std::size_t{xp} * step;
    std::uint8_t* d = first;
    for (std::uint32_t x = 0; x < count; ++x) {
        for (int c = 0; c < 4; ++c) {
            d[c] = static_cast<std::uint8_t>((sum[c] * mul) >> shr);
            sum[c] -= sumOut[c];
        }
        d += step;
        std::uint32_t start = sp + r + 1;
        if (start >= div) {
            start -= div;
        }
        std::uint8_t* leaving = stack + std::size_t{start} * 4;
        if (xp < last) {
            q += step;
            ++xp;
        }
        for (int c = 0; c < 4; ++c) {
            sumOut[c] -= leaving[c];
            leaving[c] = q[c];
            sumIn[c] += q[c];
            sum[c] += sumIn[c];
        }
        if (++sp >= div) {
            sp = 0;
        }
        const std::uint8_t* centre = stack + std::size_t{sp} * 4;
        for (int c = 0; c < 4; ++c) {
            sumOut[c] += centre[c];
            sumIn[c] -= centre[c];
        }
    }
}

#if defined(KESTRA_BLUR_SSE41)

// Number of adjacent columns blurred together in the column pass (one cache
// line of a row); groups of 4 handle the rest, single columns the remainder.
constexpr std::uint32_t kColumnGroup = 16;
// Rows interleaved in one scratch line by the row pass at most.
constexpr std::uint32_t kRowGroup = 8;

inline __m128i widenPixel(const std::uint8_t* pixel) {
    std::int32_t word;
    std::memcpy(&word, pixel, 4);
    return _mm_cvtepu8_epi32(_mm_cvtsi32_si128(word));
}

// The three pixels a step reads, as byte offsets from position 0 of a line
// of `count` positions `stride` bytes apart, with the edge positions
// repeating: leaving x - r, entering x + r + 1, next x + 1, each clamped.
// Within a segment each offset either stays (step 0) or moves by stride, so
// the kernels need no padded copy of the line and no per-step clamping.
struct Segment {
    std::uint32_t end;  // first position after the segment
    std::size_t leaving;
    std::size_t entering;
    std::size_t next;
    std::size_t leavingStep;
    std::size_t enteringStep;
    std::size_t nextStep;
};

Segment segmentAt(std::uint32_t x, std::uint32_t count, std::uint32_t r, std::size_t stride) {
    const std::uint32_t last = count - 1;
    Segment g{};
    g.end = count;
    // Breakpoints: leaving starts to move after x = r, entering stops at the
    // last position from x = count - r - 1 on, next from x = count - 1 on.
    const std::int64_t breaks[3] = {std::int64_t{r} + 1, std::int64_t{count} - r - 1,
                                    std::int64_t{count} - 1};
    for (const std::int64_t b : breaks) {
        if (b > x && b < g.end) {
            g.end = static_cast<std::uint32_t>(b);
        }
    }
    const bool leavingMoves = x > r;
    g.leaving = leavingMoves ? (std::size_t{x} - r) * stride : 0;
    g.leavingStep = leavingMoves ? stride : 0;
    const bool enteringMoves = std::uint64_t{x} + r + 1 <= last;
    g.entering = (enteringMoves ? std::size_t{x} + r + 1 : last) * stride;
    g.enteringStep = enteringMoves ? stride : 0;
    const bool nextMoves = x + 1 <= last;
    g.next = (nextMoves ? std::size_t{x} + 1 : last) * stride;
    g.nextStep = nextMoves ? stride : 0;
    return g;
}

// Running sums of one lane: the weighted window sum, the right half (sumIn)
// and the left half with the centre (sumOut). Moving one position on: the
// pixel at x - r leaves, the one at x + r + 1 enters, x + 1 becomes the centre.
struct Lane4 {
    __m128i sum;
    __m128i in;
    __m128i out;

    void advance(const std::uint8_t* leaving, const std::uint8_t* entering, const std::uint8_t* next) {
        const __m128i a = widenPixel(leaving);
        const __m128i b = widenPixel(entering);
        const __m128i c = widenPixel(next);
        sum = _mm_add_epi32(_mm_sub_epi32(sum, out), _mm_add_epi32(in, b));
        out = _mm_add_epi32(out, _mm_sub_epi32(c, a));
        in = _mm_add_epi32(in, _mm_sub_epi32(b, c));
    }
};

// The running-sum kernel on four lanes (four pixels of four independent
// lines). Position j (0 .. count - 1) of lane l is the pixel at
// line + j * stride + 4 * l; the result for position x goes to
// out + x * outStride as 16 bytes.
void blurLanes4(const std::uint8_t* line, std::size_t stride, std::uint32_t count, std::uint32_t r,
                std::uint8_t* out, std::size_t outStride) {
    const __m128i mul = _mm_set1_epi32(static_cast<int>(stackBlurMul[r]));
    const __m128i shr = _mm_cvtsi32_si128(stackBlurShr[r]);
    // Left half of the first window: the first pixel, weights 1 .. r + 1.
    const __m128i leftWeight = _mm_set1_epi32(static_cast<int>((r + 1) * (r + 2) / 2));
    const __m128i leftCount = _mm_set1_epi32(static_cast<int>(r + 1));
    Lane4 lanes[4];
    for (int l = 0; l < 4; ++l) {
        const __m128i p = widenPixel(line + 4 * l);
        lanes[l] = Lane4{_mm_mullo_epi32(p, leftWeight), _mm_setzero_si128(), _mm_mullo_epi32(p, leftCount)};
    }
    // Right half: position i has weight r + 1 - i, which is the sum of the
    // running totals of positions 1 .. i.
    const std::uint32_t last = count - 1;
    for (int l = 0; l < 4; ++l) {
        __m128i total = _mm_setzero_si128();
        for (std::uint32_t i = 1; i <= r; ++i) {
            const std::uint8_t* p = line + std::size_t{i < last ? i : last} * stride + 4 * l;
            lanes[l].in = _mm_add_epi32(lanes[l].in, widenPixel(p));
            total = _mm_add_epi32(total, lanes[l].in);
        }
        lanes[l].sum = _mm_add_epi32(lanes[l].sum, total);
    }

    // Four named lanes rather than an array, so that the sums stay in registers.
    Lane4 l0 = lanes[0];
    Lane4 l1 = lanes[1];
    Lane4 l2 = lanes[2];
    Lane4 l3 = lanes[3];
    for (std::uint32_t x = 0; x < count;) {
        const Segment g = segmentAt(x, count, r, stride);
        const std::uint8_t* leaving = line + g.leaving;
        const std::uint8_t* entering = line + g.entering;
        const std::uint8_t* next = line + g.next;
        for (; x < g.end; ++x) {
            const __m128i q0 = _mm_srl_epi32(_mm_mullo_epi32(l0.sum, mul), shr);
            const __m128i q1 = _mm_srl_epi32(_mm_mullo_epi32(l1.sum, mul), shr);
            const __m128i q2 = _mm_srl_epi32(_mm_mullo_epi32(l2.sum, mul), shr);
            const __m128i q3 = _mm_srl_epi32(_mm_mullo_epi32(l3.sum, mul), shr);
            const __m128i packed = _mm_packus_epi16(_mm_packus_epi32(q0, q1), _mm_packus_epi32(q2, q3));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + std::size_t{x} * outStride), packed);
            l0.advance(leaving, entering, next);
            l1.advance(leaving + 4, entering + 4, next + 4);
            l2.advance(leaving + 8, entering + 8, next + 8);
            l3.advance(leaving + 12, entering + 12, next + 12);
            leaving += g.leavingStep;
            entering += g.enteringStep;
            next += g.nextStep;
        }
    }
}

#if defined(KESTRA_BLUR_AVX2_DISPATCH)

#define KESTRA_AVX2 __attribute__((target("avx2")))

KESTRA_AVX2 inline __m256i widenPixelPair(const std::uint8_t* pixels) {
    return _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(pixels)));
}

// Lane4 with two pixels per vector.
struct Lane8 {
    __m256i sum;
    __m256i in;
    __m256i out;

    KESTRA_AVX2 void advance(const std::uint8_t* leaving, const std::uint8_t* entering,
                             const std::uint8_t* next) {
        const __m256i a = widenPixelPair(leaving);
        const __m256i b = widenPixelPair(entering);
        const __m256i c = widenPixelPair(next);
        sum = _mm256_add_epi32(_mm256_sub_epi32(sum, out), _mm256_add_epi32(in, b));
        out = _mm256_add_epi32(out, _mm256_sub_epi32(c, a));
        in = _mm256_add_epi32(in, _mm256_sub_epi32(b, c));
    }
};

// blurLanes4 on eight lanes (32 bytes per position), two pixels per vector.
// It is a second copy on purpose: GCC and Clang compile a function for one
// target, so one template body cannot be SSE4.1 in one instantiation and AVX2
// in the other (the AVX2 intrinsics refuse to inline into it). Sharing the
// body would take a translation unit of its own built with -mavx2, kept from
// merging any inline code into the SSE4.1 path, or a body included twice
// under macros; both read worse than these two pinned kernels.
KESTRA_AVX2 void blurLanes8(const std::uint8_t* line, std::size_t stride, std::uint32_t count,
                            std::uint32_t r, std::uint8_t* out, std::size_t outStride) {
    const __m256i mul = _mm256_set1_epi32(static_cast<int>(stackBlurMul[r]));
    const __m128i shr = _mm_cvtsi32_si128(stackBlurShr[r]);
    // The in-lane packs leave pixels in the order 0 2 4 6 1 3 5 7.
    const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
    const __m256i leftWeight = _mm256_set1_epi32(static_cast<int>((r + 1) * (r + 2) / 2));
    const __m256i leftCount = _mm256_set1_epi32(static_cast<int>(r + 1));
    Lane8 lanes[4];
    for (int l = 0; l < 4; ++l) {
        const __m256i p = widenPixelPair(line + 8 * l);
        lanes[l] = Lane8{_mm256_mullo_epi32(p, leftWeight), _mm256_setzero_si256(),
                         _mm256_mullo_epi32(p, leftCount)};
    }
    const std::uint32_t last = count - 1;
    for (int l = 0; l < 4; ++l) {
        __m256i total = _mm256_setzero_si256();
        for (std::uint32_t i = 1; i <= r; ++i) {
            const std::uint8_t* p = line + std::size_t{i < last ? i : last} * stride + 8 * l;
            lanes[l].in = _mm256_add_epi32(lanes[l].in, widenPixelPair(p));
            total = _mm256_add_epi32(total, lanes[l].in);
        }
        lanes[l].sum = _mm256_add_epi32(lanes[l].sum, total);
    }

    Lane8 l0 = lanes[0];
    Lane8 l1 = lanes[1];
    Lane8 l2 = lanes[2];
    Lane8 l3 = lanes[3];
    for (std::uint32_t x = 0; x < count;) {
        const Segment g = segmentAt(x, count, r, stride);
        const std::uint8_t* leaving = line + g.leaving;
        const std::uint8_t* entering = line + g.entering;
        const std::uint8_t* next = line + g.next;
        for (; x < g.end; ++x) {
            const __m256i q0 = _mm256_srl_epi32(_mm256_mullo_epi32(l0.sum, mul), shr);
            const __m256i q1 = _mm256_srl_epi32(_mm256_mullo_epi32(l1.sum, mul), shr);
            const __m256i q2 = _mm256_srl_epi32(_mm256_mullo_epi32(l2.sum, mul), shr);
            const __m256i q3 = _mm256_srl_epi32(_mm256_mullo_epi32(l3.sum, mul), shr);
            const __m256i packed =
                _mm256_packus_epi16(_mm256_packus_epi32(q0, q1), _mm256_packus_epi32(q2, q3));
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + std::size_t{x} * outStride),
                                _mm256_permutevar8x32_epi32(packed, order));
            l0.advance(leaving, entering, next);
            l1.advance(leaving + 8, entering + 8, next + 8);
            l2.advance(leaving + 16, entering + 16, next + 16);
            l3.advance(leaving + 24, entering + 24, next + 24);
            leaving += g.leavingStep;
            entering += g.enteringStep;
            next += g.nextStep;
        }
    }
}

#endif  // KESTRA_BLUR_AVX2_DISPATCH

// Runs the kernel of `lanes` (4 or 8) lanes.
void blurLanes(std::uint32_t lanes, const std::uint8_t* line, std::size_t stride, std::uint32_t count,
               std::uint32_t r, std::uint8_t* out, std::size_t outStride) {
#if defined(KESTRA_BLUR_AVX2_DISPATCH)
    if (lanes == 8) {
        blurLanes8(line, stride, count, r, out, outStride);
        return;
    }
#endif
    for (std::uint32_t l = 0; l < lanes; l += 4) {
        blurLanes4(line + std::size_t{l} * 4, stride, count, r, out + std::size_t{l} * 4, outStride);
    }
}

// 4 x 4 transpose of 32-bit pixels.
inline void transpose4(__m128i& v0, __m128i& v1, __m128i& v2, __m128i& v3) {
    const __m128i ab0 = _mm_unpacklo_epi32(v0, v1);
    const __m128i ab1 = _mm_unpackhi_epi32(v0, v1);
    const __m128i cd0 = _mm_unpacklo_epi32(v2, v3);
    const __m128i cd1 = _mm_unpackhi_epi32(v2, v3);
    v0 = _mm_unpacklo_epi64(ab0, cd0);
    v1 = _mm_unpackhi_epi64(ab0, cd0);
    v2 = _mm_unpacklo_epi64(ab1, cd1);
    v3 = _mm_unpackhi_epi64(ab1, cd1);
}

inline __m128i load16(const std::uint8_t* at) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
}

inline void store16(std::uint8_t* at, __m128i value) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(at), value);
}

// Copies a group of `stride` bytes (16 or 64) of each of `count` rows into
// consecutive scratch positions. Each row is a fresh cache line far from the
// last, so the rows a few steps ahead are fetched early.
void copyColumnGroup(std::uint8_t* dst, std::size_t stride, const std::uint8_t* src, std::size_t rowBytes,
                     std::uint32_t count) {
    constexpr std::uint32_t kAhead = 12;
    for (std::uint32_t i = 0; i < count; ++i) {
        if (i + kAhead < count) {
            const char* ahead = reinterpret_cast<const char*>(src + kAhead * rowBytes);
            _mm_prefetch(ahead, _MM_HINT_T0);
            _mm_prefetch(ahead + stride - 1, _MM_HINT_T0);
        }
        for (std::size_t k = 0; k < stride; k += 16) {
            store16(dst + k, load16(src + k));
        }
        dst += stride;
        src += rowBytes;
    }
}

// Copies pixel x of rows row[0..3] into bytes 0..15 of scratch position x
// (positions `stride` bytes apart).
void gatherFourRows(std::uint8_t* const row[4], std::uint8_t* positions, std::size_t stride,
                    std::uint32_t width) {
    std::uint32_t x = 0;
    for (; x + 4 <= width; x += 4) {
        const std::size_t at = std::size_t{x} * 4;
        __m128i v0 = load16(row[0] + at);
        __m128i v1 = load16(row[1] + at);
        __m128i v2 = load16(row[2] + at);
        __m128i v3 = load16(row[3] + at);
        transpose4(v0, v1, v2, v3);
        std::uint8_t* target = positions + std::size_t{x} * stride;
        store16(target, v0);
        store16(target + stride, v1);
        store16(target + 2 * stride, v2);
        store16(target + 3 * stride, v3);
    }
    for (; x < width; ++x) {
        for (int l = 0; l < 4; ++l) {
            std::memcpy(positions + std::size_t{x} * stride + 4 * l, row[l] + std::size_t{x} * 4, 4);
        }
    }
}

// The way back: bytes 0..15 of scratch position x into pixel x of the rows.
void scatterFourRows(const std::uint8_t* positions, std::size_t stride, std::uint8_t* const row[4],
                     std::uint32_t width) {
    std::uint32_t x = 0;
    for (; x + 4 <= width; x += 4) {
        const std::uint8_t* source = positions + std::size_t{x} * stride;
        __m128i v0 = load16(source);
        __m128i v1 = load16(source + stride);
        __m128i v2 = load16(source + 2 * stride);
        __m128i v3 = load16(source + 3 * stride);
        transpose4(v0, v1, v2, v3);
        const std::size_t at = std::size_t{x} * 4;
        store16(row[0] + at, v0);
        store16(row[1] + at, v1);
        store16(row[2] + at, v2);
        store16(row[3] + at, v3);
    }
    for (; x < width; ++x) {
        for (int l = 0; l < 4; ++l) {
            std::memcpy(row[l] + std::size_t{x} * 4, positions + std::size_t{x} * stride + 4 * l, 4);
        }
    }
}

// Rows first .. end - 1 with the vector kernels, `group` (8 or 4) rows at a
// time interleaved in one scratch line; then groups of 4, then the
// scalar line for what is left.
void blurRowsVector(std::uint8_t* pixels, std::uint32_t width, Band rows, std::uint32_t r,
                    std::uint32_t group, std::uint8_t* scratch) {
    const std::size_t rowBytes = std::size_t{width} * 4;
    std::uint8_t* lines = scratch;  // width positions of up to kRowGroup pixels
    std::uint8_t* results = lines + std::size_t{width} * kRowGroup * 4;
    std::uint8_t* stack = results + std::size_t{width} * kRowGroup * 4;
    std::uint32_t y = rows.first;
    while (y + 4 <= rows.end) {
        const std::uint32_t lanes = y + group <= rows.end ? group : 4;
        const std::size_t stride = std::size_t{lanes} * 4;
        for (std::uint32_t block = 0; block < lanes; block += 4) {
            std::uint8_t* const row[4] = {pixels + (std::size_t{y} + block) * rowBytes,
                                          pixels + (std::size_t{y} + block + 1) * rowBytes,
                                          pixels + (std::size_t{y} + block + 2) * rowBytes,
                                          pixels + (std::size_t{y} + block + 3) * rowBytes};
            gatherFourRows(row, lines + std::size_t{block} * 4, stride, width);
        }
        blurLanes(lanes, lines, stride, width, r, results, stride);
        for (std::uint32_t block = 0; block < lanes; block += 4) {
            std::uint8_t* const row[4] = {pixels + (std::size_t{y} + block) * rowBytes,
                                          pixels + (std::size_t{y} + block + 1) * rowBytes,
                                          pixels + (std::size_t{y} + block + 2) * rowBytes,
                                          pixels + (std::size_t{y} + block + 3) * rowBytes};
            scatterFourRows(results + std::size_t{block} * 4, stride, row, width);
        }
        y += lanes;
    }
    for (; y < rows.end; ++y) {
        blurLineScalar(pixels + std::size_t{y} * rowBytes, width, 4, r, stack);
    }
}

// Columns first .. end - 1: sixteen adjacent columns are copied into a
// scratch column (64 bytes per position) and blurred with `lanes` (8 or 4)
// lanes per kernel; leftover groups of four use a 16-byte scratch column,
// single columns the scalar line.
void blurColumnsVector(std::uint8_t* pixels, std::uint32_t width, std::uint32_t height, Band columns,
                       std::uint32_t r, std::uint32_t lanes, std::uint8_t* scratch) {
    const std::size_t rowBytes = std::size_t{width} * 4;
    std::uint8_t* lines = scratch;  // height positions of up to kColumnGroup pixels
    std::uint8_t* stack = lines + std::size_t{height} * kColumnGroup * 4;
    std::uint32_t x = columns.first;
    while (x + 4 <= columns.end) {
        const std::uint32_t group = x + kColumnGroup <= columns.end ? kColumnGroup : 4;
        const std::size_t stride = std::size_t{group} * 4;
        std::uint8_t* top = pixels + std::size_t{x} * 4;
        copyColumnGroup(lines, stride, top, rowBytes, height);
        const std::uint32_t step = group == kColumnGroup ? lanes : 4;
        for (std::uint32_t first = 0; first < group; first += step) {
            blurLanes(step, lines + std::size_t{first} * 4, stride, height, r, top + std::size_t{first} * 4,
                      rowBytes);
        }
        x += group;
    }
    for (; x < columns.end; ++x) {
        blurLineScalar(pixels + std::size_t{x} * 4, height, rowBytes, r, stack);
    }
}

// Scratch bytes one thread needs for either direction.
std::size_t vectorScratchBytes(std::uint32_t width, std::uint32_t height, std::uint32_t r) {
    const std::size_t rowsBytes = 2 * std::size_t{width} * kRowGroup * 4;
    const std::size_t columnsBytes = std::size_t{height} * kColumnGroup * 4;
    return std::max(rowsBytes, columnsBytes) + (2 * std::size_t{r} + 1) * 4;
}

#endif  // KESTRA_BLUR_SSE41

KernelChoice<BlurKernel> kernelChoice{BlurKernel::sse41, kBuildHasSse41,
                                      kBuildHasSse41&& kBuildHasAvx2Dispatch};

// One band of one direction with the given kernel.
void blurBand(BlurKernel kernel, std::uint8_t* pixels, std::uint32_t width, std::uint32_t height,
              std::uint32_t r, std::uint32_t bandCount, std::uint32_t band, BlurDirection direction,
              std::uint8_t* scratch) {
#if defined(KESTRA_BLUR_SSE41)
    if (kernel != BlurKernel::scalar) {
        const std::uint32_t lanes = kernel == BlurKernel::avx2 ? 8 : 4;
        if (direction == BlurDirection::rows) {
            blurRowsVector(pixels, width, bandBounds(height, bandCount, band), r, lanes, scratch);
        } else {
            blurColumnsVector(pixels, width, height, bandBounds(width, bandCount, band), r, lanes, scratch);
        }
        return;
    }
#else
    (void)kernel;
#endif
    stackBlurPass(pixels, width, height, r, bandCount, band, direction, scratch);
}

std::size_t scratchBytes(BlurKernel kernel, std::uint32_t width, std::uint32_t height, std::uint32_t r) {
#if defined(KESTRA_BLUR_SSE41)
    if (kernel != BlurKernel::scalar) {
        return vectorScratchBytes(width, height, r);
    }
#else
    (void)width;
    (void)height;
#endif
    (void)kernel;
    return (2 * std::size_t{r} + 1) * 4;
}

}  // namespace

bool selectBlurKernel(BlurKernel kernel) {
    return kernelChoice.select(kernel);
}

void resetBackdropState() {
    kernelChoice.reset();
    selectToneKernel(ToneKernel::automatic);
}

void stackBlurPass(std::uint8_t* pixels, std::uint32_t width, std::uint32_t height, std::uint32_t radius,
                   std::uint32_t bandCount, std::uint32_t band, BlurDirection direction,
                   std::uint8_t* stack) {
    if (pixels == nullptr || stack == nullptr || width == 0 || height == 0 || band >= bandCount) {
        return;
    }
    const std::uint32_t r = std::min(radius, kMaxBlurRadius);
    const std::size_t rowBytes = std::size_t{width} * 4;
    if (direction == BlurDirection::rows) {
        const Band rows = bandBounds(height, bandCount, band);
        for (std::uint32_t y = rows.first; y < rows.end; ++y) {
            blurLineScalar(pixels + y * rowBytes, width, 4, r, stack);
        }
    } else if (direction == BlurDirection::columns) {
        const Band columns = bandBounds(width, bandCount, band);
        for (std::uint32_t x = columns.first; x < columns.end; ++x) {
            blurLineScalar(pixels + std::size_t{x} * 4, height, rowBytes, r, stack);
        }
    }
}

void stackBlur(std::uint8_t* pixels, std::uint32_t width, std::uint32_t height, std::uint32_t radius) {
    if (pixels == nullptr || width == 0 || height == 0) {
        return;
    }
    const std::uint32_t r = std::min(radius, kMaxBlurRadius);
    if (r < 2) {
        return;
    }
    const int maxThreads = omp_get_max_threads();
    const std::uint32_t bandCount = maxThreads > 1 ? static_cast<std::uint32_t>(maxThreads) : 1;
    const BlurKernel kernel = kernelChoice.active();
    const std::size_t perThread = scratchBytes(kernel, width, height, r);
    // The per-thread scratch is small (a line or column group), so it
    // comes from the C++ heap rather than the frame-buffer heap.
    const std::unique_ptr<std::uint8_t[]> owner(new (std::nothrow) std::uint8_t[perThread * bandCount]);
    if (!owner) {
        return;
    }
    std::uint8_t* scratch = owner.get();
    if (bandCount == 1) {
        blurBand(kernel, pixels, width, height, r, 1, 0, BlurDirection::rows, scratch);
        blurBand(kernel, pixels, width, height, r, 1, 0, BlurDirection::columns, scratch);
    } else {
        // The team may be smaller than bandCount (nested regions, dynamic
        // adjustment): each member then takes every team-size-th band, so
        // every band is blurred whatever team the runtime grants.
        for (const BlurDirection direction : {BlurDirection::rows, BlurDirection::columns}) {
#pragma omp parallel
            {
                const auto member = static_cast<std::uint32_t>(omp_get_thread_num());
                const auto teamSize = static_cast<std::uint32_t>(omp_get_num_threads());
                for (std::uint32_t band = member; band < bandCount; band += teamSize) {
                    blurBand(kernel, pixels, width, height, r, bandCount, band, direction,
                             scratch + perThread * member);
                }
            }
        }
    }
}

}  // namespace kestra
