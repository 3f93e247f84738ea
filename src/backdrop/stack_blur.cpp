// Stack blur: a separable blur with a triangular window of radius r, kept in
// running sums so that each pixel costs the same whatever the radius.
//
// Two forms live here. blurLineScalar is the textbook ring-buffer version and
// the reference; stackBlurPass runs it over a band. stackBlur uses the vector
// kernel where the compiler targets SSE4.1: it copies each line (or group of
// lines) into a scratch line padded with the edge pixels, runs four pixels at
// once through the running sums, and writes the results back. All sums are
// exact 32-bit integers, so both forms give identical bytes.
#include "backdrop/stack_blur.h"

#include <omp.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <new>

#if defined(__SSE4_1__)
#include <smmintrin.h>
#define KESTRA_BLUR_SSE41 1
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

inline __m128i widenPixel(const std::uint8_t* pixel) {
    std::int32_t word;
    std::memcpy(&word, pixel, 4);
    return _mm_cvtepu8_epi32(_mm_cvtsi32_si128(word));
}

// The running-sum kernel on four lanes (four pixels of four independent
// lines). Position j (-r .. count + r) of lane l is the pixel at
// padded + (j + r) * paddedStride + 4 * l; the result for position x goes
// to out + x * outStride as 16 bytes.
void blurLanes4(const std::uint8_t* padded, std::size_t paddedStride, std::uint32_t count, std::uint32_t r,
                std::uint8_t* out, std::size_t outStride) {
    const __m128i mul = _mm_set1_epi32(static_cast<int>(stackBlurMul[r]));
    const __m128i shr = _mm_cvtsi32_si128(stackBlurShr[r]);
    const std::uint8_t* centre = padded + std::size_t{r} * paddedStride;  // position 0

    __m128i sum[4];
    __m128i sumIn[4];
    __m128i sumOut[4];
    // Left half of the first window: the first pixel, weights 1 .. r + 1.
    const __m128i leftWeight = _mm_set1_epi32(static_cast<int>((r + 1) * (r + 2) / 2));
    const __m128i leftCount = _mm_set1_epi32(static_cast<int>(r + 1));
    for (int l = 0; l < 4; ++l) {
        const __m128i p = widenPixel(centre + 4 * l);
        sum[l] = _mm_mullo_epi32(p, leftWeight);
        sumOut[l] = _mm_mullo_epi32(p, leftCount);
        sumIn[l] = _mm_setzero_si128();
    }
    // Right half: position i has weight r + 1 - i, which is the sum of the
    // running totals of positions 1 .. i.
    __m128i total[4] = {_mm_setzero_si128(), _mm_setzero_si128(), _mm_setzero_si128(), _mm_setzero_si128()};
    for (std::uint32_t i = 1; i <= r; ++i) {
        const std::uint8_t* p = centre + std::size_t{i} * paddedStride;
        for (int l = 0; l < 4; ++l) {
            sumIn[l] = _mm_add_epi32(sumIn[l], widenPixel(p + 4 * l));
            total[l] = _mm_add_epi32(total[l], sumIn[l]);
        }
    }
    for (int l = 0; l < 4; ++l) {
        sum[l] = _mm_add_epi32(sum[l], total[l]);
    }

    const std::uint8_t* leaving = padded;                                       // position x - r
    const std::uint8_t* entering = centre + std::size_t{r + 1} * paddedStride;  // position x + r + 1
    const std::uint8_t* next = centre + paddedStride;                           // position x + 1
    for (std::uint32_t x = 0; x < count; ++x) {
        const __m128i q0 = _mm_srl_epi32(_mm_mullo_epi32(sum[0], mul), shr);
        const __m128i q1 = _mm_srl_epi32(_mm_mullo_epi32(sum[1], mul), shr);
        const __m128i q2 = _mm_srl_epi32(_mm_mullo_epi32(sum[2], mul), shr);
        const __m128i q3 = _mm_srl_epi32(_mm_mullo_epi32(sum[3], mul), shr);
        const __m128i packed = _mm_packus_epi16(_mm_packus_epi32(q0, q1), _mm_packus_epi32(q2, q3));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + std::size_t{x} * outStride), packed);
        for (int l = 0; l < 4; ++l) {
            const __m128i a = widenPixel(leaving + 4 * l);
            const __m128i b = widenPixel(entering + 4 * l);
            const __m128i c = widenPixel(next + 4 * l);
            sum[l] = _mm_add_epi32(_mm_sub_epi32(sum[l], sumOut[l]), _mm_add_epi32(sumIn[l], b));
            sumOut[l] = _mm_add_epi32(sumOut[l], _mm_sub_epi32(c, a));
            sumIn[l] = _mm_add_epi32(sumIn[l], _mm_sub_epi32(b, c));
        }
        leaving += paddedStride;
        entering += paddedStride;
        next += paddedStride;
    }
}

// Rows first .. end - 1 with the vector kernel, four rows at a time; the
// rows left over go through the scalar line. scratch holds
// (2 * (width + r) + 1) * 16 bytes plus 4 * (2r + 1) for the scalar stack.
void blurRowsVector(std::uint8_t* pixels, std::uint32_t width, Band rows, std::uint32_t r,
                    std::uint8_t* scratch) {
    const std::size_t rowBytes = std::size_t{width} * 4;
    std::uint8_t* padded = scratch;                                          // (width + 2r + 1) positions
    std::uint8_t* results = padded + (std::size_t{width} + 2 * r + 1) * 16;  // width positions
    std::uint8_t* stack = results + std::size_t{width} * 16;
    std::uint32_t y = rows.first;
    for (; y + 4 <= rows.end; y += 4) {
        std::uint8_t* row[4];
        for (int l = 0; l < 4; ++l) {
            row[l] = pixels + (std::size_t{y} + l) * rowBytes;
        }
        // Interleave the four rows: position x holds pixel x of each row.
        std::uint8_t* middle = padded + std::size_t{r} * 16;
        std::uint32_t x = 0;
        for (; x + 4 <= width; x += 4) {
            const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row[0] + std::size_t{x} * 4));
            const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row[1] + std::size_t{x} * 4));
            const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row[2] + std::size_t{x} * 4));
            const __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row[3] + std::size_t{x} * 4));
            const __m128i ab0 = _mm_unpacklo_epi32(a, b);
            const __m128i ab1 = _mm_unpackhi_epi32(a, b);
            const __m128i cd0 = _mm_unpacklo_epi32(c, d);
            const __m128i cd1 = _mm_unpackhi_epi32(c, d);
            __m128i* target = reinterpret_cast<__m128i*>(middle + std::size_t{x} * 16);
            _mm_storeu_si128(target + 0, _mm_unpacklo_epi64(ab0, cd0));
            _mm_storeu_si128(target + 1, _mm_unpackhi_epi64(ab0, cd0));
            _mm_storeu_si128(target + 2, _mm_unpacklo_epi64(ab1, cd1));
            _mm_storeu_si128(target + 3, _mm_unpackhi_epi64(ab1, cd1));
        }
        for (; x < width; ++x) {
            for (int l = 0; l < 4; ++l) {
                std::memcpy(middle + std::size_t{x} * 16 + 4 * l, row[l] + std::size_t{x} * 4, 4);
            }
        }
        for (std::uint32_t i = 1; i <= r; ++i) {
            std::memcpy(middle - std::size_t{i} * 16, middle, 16);
        }
        const std::uint8_t* lastPosition = middle + (std::size_t{width} - 1) * 16;
        for (std::uint32_t i = 1; i <= r + 1; ++i) {
            std::memcpy(middle + (std::size_t{width} - 1 + i) * 16, lastPosition, 16);
        }

        blurLanes4(padded, 16, width, r, results, 16);

        // Scatter the interleaved results back into the four rows.
        x = 0;
        for (; x + 4 <= width; x += 4) {
            const __m128i* source = reinterpret_cast<const __m128i*>(results + std::size_t{x} * 16);
            const __m128i a = _mm_loadu_si128(source + 0);
            const __m128i b = _mm_loadu_si128(source + 1);
            const __m128i c = _mm_loadu_si128(source + 2);
            const __m128i d = _mm_loadu_si128(source + 3);
            const __m128i ab0 = _mm_unpacklo_epi32(a, b);
            const __m128i ab1 = _mm_unpackhi_epi32(a, b);
            const __m128i cd0 = _mm_unpacklo_epi32(c, d);
            const __m128i cd1 = _mm_unpackhi_epi32(c, d);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(row[0] + std::size_t{x} * 4),
                             _mm_unpacklo_epi64(ab0, cd0));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(row[1] + std::size_t{x} * 4),
                             _mm_unpackhi_epi64(ab0, cd0));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(row[2] + std::size_t{x} * 4),
                             _mm_unpacklo_epi64(ab1, cd1));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(row[3] + std::size_t{x} * 4),
                             _mm_unpackhi_epi64(ab1, cd1));
        }
        for (; x < width; ++x) {
            for (int l = 0; l < 4; ++l) {
                std::memcpy(row[l] + std::size_t{x} * 4, results + std::size_t{x} * 16 + 4 * l, 4);
            }
        }
    }
    for (; y < rows.end; ++y) {
        blurLineScalar(pixels + std::size_t{y} * rowBytes, width, 4, r, stack);
    }
}

// Columns first .. end - 1: sixteen adjacent columns are copied into a padded
// scratch column (64 bytes per position) and blurred as four groups of four;
// leftover groups of four use a 16-byte scratch column, single columns the
// scalar line. scratch holds (height + 2r + 1) * 64 bytes plus the stack.
void blurColumnsVector(std::uint8_t* pixels, std::uint32_t width, std::uint32_t height, Band columns,
                       std::uint32_t r, std::uint8_t* scratch) {
    const std::size_t rowBytes = std::size_t{width} * 4;
    std::uint8_t* padded = scratch;
    std::uint8_t* stack = padded + (std::size_t{height} + 2 * r + 1) * kColumnGroup * 4;
    std::uint32_t x = columns.first;
    while (x + 4 <= columns.end) {
        const std::uint32_t group = x + kColumnGroup <= columns.end ? kColumnGroup : 4;
        const std::size_t groupBytes = std::size_t{group} * 4;
        std::uint8_t* top = pixels + std::size_t{x} * 4;
        std::uint8_t* middle = padded + std::size_t{r} * groupBytes;
        for (std::uint32_t y = 0; y < height; ++y) {
            std::memcpy(middle + std::size_t{y} * groupBytes, top + std::size_t{y} * rowBytes, groupBytes);
        }
        for (std::uint32_t i = 1; i <= r; ++i) {
            std::memcpy(middle - std::size_t{i} * groupBytes, middle, groupBytes);
        }
        const std::uint8_t* lastPosition = middle + (std::size_t{height} - 1) * groupBytes;
        for (std::uint32_t i = 1; i <= r + 1; ++i) {
            std::memcpy(middle + (std::size_t{height} - 1 + i) * groupBytes, lastPosition, groupBytes);
        }
        for (std::uint32_t lanes = 0; lanes < group; lanes += 4) {
            blurLanes4(padded + std::size_t{lanes} * 4, groupBytes, height, r, top + std::size_t{lanes} * 4,
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
    const std::size_t rowsBytes = (2 * (std::size_t{width} + r) + 1) * 16;
    const std::size_t columnsBytes = (std::size_t{height} + 2 * r + 1) * kColumnGroup * 4;
    return std::max(rowsBytes, columnsBytes) + (2 * std::size_t{r} + 1) * 4;
}

#endif  // KESTRA_BLUR_SSE41

// One band of one direction, in the fastest form the target offers.
void blurBand(std::uint8_t* pixels, std::uint32_t width, std::uint32_t height, std::uint32_t r,
              std::uint32_t bandCount, std::uint32_t band, int direction, std::uint8_t* scratch) {
#if defined(KESTRA_BLUR_SSE41)
    if (direction == 1) {
        blurRowsVector(pixels, width, bandBounds(height, bandCount, band), r, scratch);
    } else {
        blurColumnsVector(pixels, width, height, bandBounds(width, bandCount, band), r, scratch);
    }
#else
    stackBlurPass(pixels, width, height, r, bandCount, band, direction, scratch);
#endif
}

std::size_t scratchBytes(std::uint32_t width, std::uint32_t height, std::uint32_t r) {
#if defined(KESTRA_BLUR_SSE41)
    return vectorScratchBytes(width, height, r);
#else
    (void)width;
    (void)height;
    return (2 * std::size_t{r} + 1) * 4;
#endif
}

}  // namespace

void stackBlurPass(std::uint8_t* pixels, std::uint32_t width, std::uint32_t height, std::uint32_t radius,
                   std::uint32_t bandCount, std::uint32_t band, int direction, std::uint8_t* stack) {
    if (pixels == nullptr || stack == nullptr || width == 0 || height == 0 || band >= bandCount) {
        return;
    }
    const std::uint32_t r = std::min(radius, kMaxBlurRadius);
    const std::size_t rowBytes = std::size_t{width} * 4;
    if (direction == 1) {
        const Band rows = bandBounds(height, bandCount, band);
        for (std::uint32_t y = rows.first; y < rows.end; ++y) {
            blurLineScalar(pixels + y * rowBytes, width, 4, r, stack);
        }
    } else if (direction == 2) {
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
    const std::size_t perThread = scratchBytes(width, height, r);
    // The per-thread scratch is small (a padded line or column group), so it
    // comes from the C++ heap rather than the frame-buffer heap.
    const std::unique_ptr<std::uint8_t[]> owner(new (std::nothrow) std::uint8_t[perThread * bandCount]);
    if (!owner) {
        return;
    }
    std::uint8_t* scratch = owner.get();
    if (bandCount == 1) {
        blurBand(pixels, width, height, r, 1, 0, 1, scratch);
        blurBand(pixels, width, height, r, 1, 0, 2, scratch);
    } else {
        // The team may be smaller than bandCount (nested regions, dynamic
        // adjustment): each member then takes every team-size-th band, so
        // every band is blurred whatever team the runtime grants.
        for (int direction = 1; direction <= 2; ++direction) {
#pragma omp parallel
            {
                const auto member = static_cast<std::uint32_t>(omp_get_thread_num());
                const auto teamSize = static_cast<std::uint32_t>(omp_get_num_threads());
                for (std::uint32_t band = member; band < bandCount; band += teamSize) {
                    blurBand(pixels, width, height, r, bandCount, band, direction,
                             scratch + perThread * member);
                }
            }
        }
    }
}

}  // namespace kestra
