// Photo-region detection: finds rectangular, busy areas on the scan grid,
// widens them to where the learned background colours begin, settles their
// edges by dominance votes and marks them in regionMask, so that the pixel
// passes leave pictures as they are.

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "analysis/frame_analyzer.h"
#include "platform/cpu_features.h"

#if defined(KESTRA_SIMD_SSE2)
#include <emmintrin.h>
#define KESTRA_PHOTO_SSE2 1
#endif

namespace kestra {

namespace {

// The rectangle being built: row offsets top/bottom, column offsets
// left/right (all inclusive), and the points that last moved its edges.
struct Region {
    std::int32_t top = 0;
    std::int32_t bottom = 0;
    std::int32_t left = 0;
    std::int32_t right = 0;
    std::int32_t rightAnchor = 0;
    std::int32_t bottomAnchor = 0;
    std::int32_t cornerAnchor = 0;
};

class PhotoScan {
  public:
    explicit PhotoScan(FrameAnalyzer& analyzer) : a_(analyzer) {}

    void run();

  private:
    bool passes(std::int32_t point, std::int32_t threshold) const {
        return a_.regionMask[point / 4] == 0 && a_.isTextured(point, threshold);
    }
    bool seen(std::int32_t pixel) const {
        return a_.seenColourTable != nullptr &&
               colourFlagged(a_.seenColourTable.get(), colourKey(a_.frame + pixel));
    }
    bool isBackground(std::int32_t pixel) const { return seen(pixel) || a_.regionMask[pixel / 4] != 0; }
    std::int32_t dominance(std::int32_t pixel) const { return seen(pixel) ? -1 : 1; }

    std::int32_t rowVote(const Region& g, std::int32_t r) const {
        std::int32_t vote = 0;
        for (std::int32_t c = g.left + 4; c <= g.right; c += 4) {
            vote += dominance(r + c);
        }
        return vote;
    }
    std::int32_t columnVote(const Region& g, std::int32_t c) const {
        std::int32_t vote = 0;
        for (std::int32_t r = g.top + a_.rowBytes; r <= g.bottom; r += a_.rowBytes) {
            vote += dominance(r + c);
        }
        return vote;
    }

    void growDown(Region& g, std::int32_t row) const;
    void expand(Region& g) const;
    void refine(Region& g) const;
    void settleByVotes(Region& g) const;
    void mark(const Region& g);

    FrameAnalyzer& a_;
};

void PhotoScan::run() {
    const FrameAnalyzer& a = a_;
    for (std::int32_t row = a.scanTop; row <= a.scanBottom; row += a.scanRowBytes) {
        std::int32_t col = a.scanLeft;
        while (col < a.scanRight) {
            const std::int32_t start = row + col;
            if (!passes(start, 5)) {
                col += a.scanColumnBytes;
                continue;
            }
            Region g;
            bool grewRight = false;
            std::int32_t c = col + a.scanColumnBytes;
            while (c < a.scanRight && passes(row + c, 10)) {
                g.right = c;
                g.rightAnchor = row + c;
                grewRight = true;
                c += a.scanColumnBytes;
            }
            const std::int32_t resume = c;
            if (!grewRight || (g.right - col) / a.scanColumnBytes < 4) {
                col = resume + a.scanColumnBytes;
                continue;
            }
            g.left = col;
            g.top = row;
            g.cornerAnchor = start;
            growDown(g, row);
            expand(g);
            refine(g);
            settleByVotes(g);
            mark(g);
            col = resume + a.scanColumnBytes;
        }
    }
}

void PhotoScan::growDown(Region& g, std::int32_t row) const {
    const FrameAnalyzer& a = a_;
    // The starting point passes with threshold 5, so the first column always
    // reaches at least the starting row.
    g.bottom = row;
    g.bottomAnchor = row + g.left;
    for (std::int32_t c = g.left; c < g.right; c += a.scanColumnBytes) {
        for (std::int32_t r = row; r < a.lastRowOffset; r += a.scanRowBytes) {
            if (!passes(r + c, 5)) {
                break;
            }
            if (r > g.bottom) {
                g.bottom = r;
                g.bottomAnchor = r + c;
            }
        }
    }
}

// The horizontal and the vertical sweep are not mirror images, and that is
// deliberate: the region may grow right up to scanRight itself (<=) but down
// only to short of scanBottom (<), and only the vertical sweep gives up at the
// first column that grows nothing (the break below). The reference test pins this
// walk as it is; making the two sweeps alike changes which regions are found.
void PhotoScan::expand(Region& g) const {
    const FrameAnalyzer& a = a_;
    for (;;) {
        bool changed = false;
        for (std::int32_t r = g.top; r <= g.bottom; r += a.scanRowBytes) {
            for (std::int32_t c = g.right + a.scanColumnBytes; c <= a.scanRight && passes(r + c, 10);
                 c += a.scanColumnBytes) {
                g.right = c;
                g.rightAnchor = r + c;
                changed = true;
            }
            for (std::int32_t c = g.left - a.scanColumnBytes; c > a.scanLeft && passes(r + c, 10);
                 c -= a.scanColumnBytes) {
                g.left = c;
                g.cornerAnchor = r + c;
                changed = true;
            }
        }
        if (!changed) {
            return;
        }
        changed = false;
        for (std::int32_t c = g.left; c <= g.right; c += a.scanColumnBytes) {
            for (std::int32_t r = g.bottom + a.scanRowBytes; r < a.scanBottom && passes(r + c, 10);
                 r += a.scanRowBytes) {
                g.bottom = r;
                g.bottomAnchor = r + c;
                changed = true;
            }
            for (std::int32_t r = g.top - a.scanRowBytes; r > a.scanTop && passes(r + c, 10);
                 r -= a.scanRowBytes) {
                g.top = r;
                g.cornerAnchor = r + c;
                changed = true;
            }
            if (!changed) {
                break;
            }
        }
    }
}

void PhotoScan::refine(Region& g) const {
    const FrameAnalyzer& a = a_;
    const std::int32_t rowBytes = a.rowBytes;
    for (std::int32_t p = g.bottomAnchor + rowBytes; p < a.lastRowOffset; p += rowBytes) {
        if (isBackground(p)) {
            g.bottom = ((p - rowBytes) / rowBytes) * rowBytes;
            break;
        }
    }
    // Bounded by the top row: only an anchor on the top row walks.
    for (std::int32_t p = g.rightAnchor + 4; p < g.top + a.lastPixelOffset; p += 4) {
        if (isBackground(p)) {
            g.right = (p - 4) % rowBytes;
            break;
        }
    }
    for (std::int32_t p = g.cornerAnchor - 4; p > g.top; p -= 4) {
        if (isBackground(p)) {
            g.left = (p + 4) % rowBytes;
            break;
        }
    }
    for (std::int32_t p = g.cornerAnchor - rowBytes; p > 0; p -= rowBytes) {
        if (isBackground(p)) {
            g.top = ((p + rowBytes) / rowBytes) * rowBytes;
            break;
        }
    }
}

void PhotoScan::settleByVotes(Region& g) const {
    const FrameAnalyzer& a = a_;
    const std::int32_t rowBytes = a.rowBytes;

    // Top can only grow.
    if (g.top - rowBytes > 0 && rowVote(g, g.top - rowBytes) > 0) {
        for (std::int32_t r = g.top - 2 * rowBytes; r > 0; r -= rowBytes) {
            if (rowVote(g, r) < 1) {
                g.top = r + rowBytes;
                break;
            }
        }
    }

    if (rowVote(g, g.bottom) < 1) {
        for (std::int32_t r = g.bottom - rowBytes; r > g.top; r -= rowBytes) {
            if (rowVote(g, r) > 0) {
                g.bottom = r;
                break;
            }
        }
    } else {
        const std::int32_t limit = a.scanBottom - rowBytes;
        if (g.bottom + rowBytes < limit && rowVote(g, g.bottom + rowBytes) > 0) {
            for (std::int32_t r = g.bottom + 2 * rowBytes; r < limit; r += rowBytes) {
                if (rowVote(g, r) < 1) {
                    g.bottom = r - rowBytes;
                    break;
                }
            }
        }
    }

    if (columnVote(g, g.left) < 1) {
        for (std::int32_t c = g.left + 4; c < g.right; c += 4) {
            if (columnVote(g, c) > 0) {
                g.left = c;
                break;
            }
        }
    } else if (g.left - 4 > 0 && columnVote(g, g.left - 4) > 0) {
        for (std::int32_t c = g.left - 8; c > 0; c -= 4) {
            if (columnVote(g, c) < 1) {
                g.left = c + 4;
                break;
            }
        }
    }

    if (columnVote(g, g.right) < 1) {
        for (std::int32_t c = g.right - 4; c > g.left; c -= 4) {
            if (columnVote(g, c) > 0) {
                g.right = c;
                break;
            }
        }
    } else if (g.right + 4 < rowBytes && columnVote(g, g.right + 4) > 0) {
        for (std::int32_t c = g.right + 8; c < rowBytes; c += 4) {
            if (columnVote(g, c) < 1) {
                g.right = c - 4;
                break;
            }
        }
    }
}

void PhotoScan::mark(const Region& g) {
    FrameAnalyzer& a = a_;
    if (g.right < g.left) {
        return;
    }
    const bool blend = a.backdropImage != nullptr && a.photoOpacity != 1.0f;
    const std::int32_t columnCount = (g.right - g.left) / 4 + 1;
    const auto columns = static_cast<std::size_t>(columnCount);
    std::uint8_t* mask = a.regionMask.get();
    a.markedRegions.push_back(MarkedRegion{g.top, g.bottom, g.left, g.right});
    for (std::int32_t r = g.top; r <= g.bottom; r += a.rowBytes) {
        std::memset(mask + (r + g.left) / 4, 1, columns);
        if (blend) {
            for (std::int32_t c = g.left; c <= g.right; c += 4) {
                a.blendPhotoPixel(a.frame + r + c, a.backdropImage.get() + r + c);
            }
        }
    }
}

// Whether the 64 bytes from at on are all 0.
inline bool blockClear(const std::uint8_t* at) {
#if defined(KESTRA_PHOTO_SSE2)
    const auto* vectors = reinterpret_cast<const __m128i*>(at);
    const __m128i any =
        _mm_or_si128(_mm_or_si128(_mm_loadu_si128(vectors), _mm_loadu_si128(vectors + 1)),
                     _mm_or_si128(_mm_loadu_si128(vectors + 2), _mm_loadu_si128(vectors + 3)));
    return _mm_movemask_epi8(_mm_cmpeq_epi8(any, _mm_setzero_si128())) == 0xFFFF;
#else
    std::uint64_t any = 0;
    for (std::size_t i = 0; i < 64; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, at + i, 8);
        any |= word;
    }
    return any == 0;
#endif
}

// Zeroes the mask, writing only the 64-byte blocks that hold a set byte: the
// mask of a frame is mostly clear, and reading the clear blocks costs less
// than writing them all again.
void clearMask(std::uint8_t* mask, std::size_t bytes) {
    constexpr std::size_t kBlock = 64;
    std::size_t at = 0;
    for (; at + kBlock <= bytes; at += kBlock) {
        if (!blockClear(mask + at)) {
            std::memset(mask + at, 0, kBlock);
        }
    }
    std::memset(mask + at, 0, bytes - at);
}

}  // namespace

void FrameAnalyzer::detectPhotoRegions() {
    earlierMarkedRegions.swap(markedRegions);
    markedRegions.clear();
    photoRegionsRepeated = false;
    if (frame == nullptr || regionMask == nullptr || pixelCount <= 0) {
        markedPixelCount = 0;
        return;
    }
    const bool sameMask = markedPixelCount == pixelCount;
    clearMask(regionMask.get(), static_cast<std::size_t>(pixelCount));
    if (scanRowBytes > 0 && scanColumnBytes > 0) {
        PhotoScan(*this).run();
    }
    photoRegionsRepeated = sameMask && markedRegions == earlierMarkedRegions;
    markedPixelCount = pixelCount;
}

}  // namespace kestra
