// Foreground recolouring for the glass effect: runs of a learned background
// colour are followed down into bands, and every off-colour segment inside a
// band (text, icons) becomes a normalised light or dark glyph whose alpha
// fades it into the backdrop.

#include <omp.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "analysis/frame_analyzer.h"
#include "analysis/recolour_kernel.h"

// KESTRA_NO_SIMD builds the portable scalar walk only (to test it on x86).
#if (defined(__SSE2__) || defined(_M_X64) || defined(_M_AMD64)) && !defined(KESTRA_NO_SIMD)
#include <emmintrin.h>
#define KESTRA_RECOLOUR_SSE2 1
#endif

namespace kestra {

namespace {

RecolourKernel selectedKernel = RecolourKernel::automatic;

#if defined(KESTRA_RECOLOUR_SSE2)
// Whether the walk takes its vector steps.
bool vectorWalk() {
    return selectedKernel != RecolourKernel::scalar;
}
#endif

// Asks for the cache line holding at, where the build can.
inline void prefetch([[maybe_unused]] const std::uint8_t* at) {
#if defined(KESTRA_RECOLOUR_SSE2)
    _mm_prefetch(reinterpret_cast<const char*>(at), _MM_HINT_T0);
#endif
}

// How far a horizontal run may look past its last exact match.
constexpr std::int32_t kRunMissLimit = 250;
// Bands of fewer pixels are recoloured on the calling thread: starting the
// workers costs more than they would save (text lines make many small bands).
constexpr std::int64_t kSmallBandPixels = 16384;

// The bytes 0-2 of a pixel read as one little- or big-endian word.
constexpr std::uint32_t kColourBits = [] {
    const std::uint8_t mask[4] = {0xFF, 0xFF, 0xFF, 0x00};
    return std::bit_cast<std::uint32_t>(mask);
}();

// A run must reach at least this many bytes (3 pixels) right of its start.
constexpr std::int32_t kShortestRunBytes = 12;

bool matches(const std::uint8_t* px, const RunColour& rc) {
    return px[0] == rc.b && px[1] == rc.g && px[2] == rc.r;
}

bool within(const std::uint8_t* px, const RunColour& rc, int distance) {
    return std::abs(px[0] - rc.b) <= distance && std::abs(px[1] - rc.g) <= distance &&
           std::abs(px[2] - rc.r) <= distance;
}

int brightness(const std::uint8_t* px) {
    return (px[0] + px[1] + px[2]) / 3;
}

// The brightness of a glyph segment's pixels: the darkest of those below the
// run's average, the lightest of the others, and which side has more. The
// first pixel sets both ends and counts on neither side.
struct GlyphTally {
    int darkest;
    int lightest;
    int darkCount = 0;
    int lightCount = 0;

    explicit GlyphTally(int first) : darkest(first), lightest(first) {}
    void add(int v, int average) {
        if (v < average) {
            darkest = v < darkest ? v : darkest;
            ++darkCount;
        } else {
            lightest = v > lightest ? v : lightest;
            ++lightCount;
        }
    }
    bool light() const { return lightCount > darkCount; }
};

// Truncates toward zero into a byte, holding values outside 0..255 at the
// nearest end (never wrapping them); NaN, from 0 * infinity, stores 0.
std::uint8_t toByte(float v) {
    if (!(v > 0.0f)) {
        return 0;
    }
    if (v >= 255.0f) {
        return 255;
    }
    return static_cast<std::uint8_t>(v);
}

void complement(std::uint8_t* px) {
    px[0] = static_cast<std::uint8_t>(255 - px[0]);
    px[1] = static_cast<std::uint8_t>(255 - px[1]);
    px[2] = static_cast<std::uint8_t>(255 - px[2]);
}

#if defined(KESTRA_RECOLOUR_SSE2)
inline std::uint32_t loadWord(const std::uint8_t* at) {
    std::uint32_t word;
    std::memcpy(&word, at, sizeof word);
    return word;
}

// The four bytes of a pixel word as four floats.
inline __m128 pixelFloats(std::uint32_t word) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i bytes = _mm_cvtsi32_si128(static_cast<int>(word));
    return _mm_cvtepi32_ps(_mm_unpacklo_epi16(_mm_unpacklo_epi8(bytes, zero), zero));
}

// toByte on each lane: NaN and values up to 0 give 0, values from 255 give
// 255, the rest are truncated (max returns its second operand for NaN).
inline __m128i heldBytes(__m128 v) {
    return _mm_cvttps_epi32(_mm_min_ps(_mm_max_ps(v, _mm_setzero_ps()), _mm_set1_ps(255.0f)));
}

// Four lanes of 0..255 back into a pixel word.
inline std::uint32_t packBytes(__m128i lanes) {
    const __m128i words = _mm_packs_epi32(lanes, lanes);
    return static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm_packus_epi16(words, words)));
}
#endif

// Paints one segment of a band row: the pixels from segStart to segEnd
// (inclusive byte offsets) as one glyph.
void paintSegment(const FrameAnalyzer& a, std::int32_t segStart, std::int32_t segEnd, bool lightGlyph,
                  int extreme) {
    const float scale = 255.0f / static_cast<float>(extreme);
    const float unit = 1.0f / static_cast<float>(extreme);
    const bool recomplement = (a.contentOpacityHigh != 0 && a.isDarkContent == 0 && !lightGlyph) ||
                              (a.contentOpacityHigh == 0 && a.backdropBright != 0);
    std::int32_t p = segStart;
#if defined(KESTRA_RECOLOUR_SSE2)
    if (vectorWalk()) {
        // One pixel's channels per vector: the same float operations in the
        // same order, the byte limits taken by max/min instead of branches.
        const __m128 scaleVector = _mm_set1_ps(scale);
        const std::uint32_t glyphFlip = lightGlyph ? 0u : kColourBits;
        const std::uint32_t backFlip = recomplement ? kColourBits : 0u;
        for (; p <= segEnd; p += 4) {
            std::uint8_t* px = a.frame + p;
            std::uint32_t word;
            std::memcpy(&word, px, sizeof word);
            const std::uint32_t glyph = word ^ glyphFlip;
            std::uint8_t bytes[4];
            std::memcpy(bytes, &glyph, sizeof bytes);
            float alpha = static_cast<float>(brightness(bytes)) * unit;
            if (a.foregroundOpacity != 1.0f) {
                alpha = alpha * a.foregroundOpacity;
            }
            alpha = alpha < 1.0f ? alpha : 1.0f;
            const std::uint32_t scaled =
                packBytes(heldBytes(_mm_mul_ps(pixelFloats(glyph), scaleVector))) ^ backFlip;
            const __m128 mixed = _mm_add_ps(
                _mm_mul_ps(pixelFloats(loadWord(a.backdropImage.get() + p)), _mm_set1_ps(1.0f - alpha)),
                _mm_mul_ps(pixelFloats(scaled), _mm_set1_ps(alpha)));
            const std::uint32_t result = (word & ~kColourBits) | (packBytes(heldBytes(mixed)) & kColourBits);
            std::memcpy(px, &result, sizeof result);
        }
    }
#endif
    for (; p <= segEnd; p += 4) {
        std::uint8_t* px = a.frame + p;
        const std::uint8_t* back = a.backdropImage.get() + p;
        if (!lightGlyph) {
            complement(px);
        }
        float alpha = static_cast<float>(brightness(px)) * unit;
        if (a.foregroundOpacity != 1.0f) {
            alpha = alpha * a.foregroundOpacity;
        }
        // Written so that NaN (a black pixel with a zero extreme) gives 1.
        alpha = alpha < 1.0f ? alpha : 1.0f;
        for (int k = 0; k < 3; ++k) {
            px[k] = toByte(static_cast<float>(px[k]) * scale);
        }
        if (recomplement) {
            complement(px);
        }
        const float keep = 1.0f - alpha;
        for (int k = 0; k < 3; ++k) {
            px[k] = toByte(static_cast<float>(back[k]) * keep + static_cast<float>(px[k]) * alpha);
        }
    }
}

// The pixel's three colour bytes as one number (one load; byte 3 masked off).
std::uint32_t packed(const std::uint8_t* px) {
    std::uint32_t v;
    std::memcpy(&v, px, sizeof v);
    return v & kColourBits;
}

std::uint32_t packed(const RunColour& rc) {
    const std::uint8_t bytes[4] = {rc.b, rc.g, rc.r, 0};
    return packed(bytes);
}

// Mask bytes are 0 or 1: eight set ones read as this word.
constexpr std::uint64_t kEightSet = 0x0101010101010101ull;

#if defined(KESTRA_RECOLOUR_SSE2)
// Whether the four pixels at px are all exactly the colour key (byte 3 not
// compared): key holds the key in each 32-bit lane.
inline bool fourOfColour(const std::uint8_t* px, __m128i key) {
    const __m128i colour = _mm_and_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(px)),
                                         _mm_set1_epi32(static_cast<int>(kColourBits)));
    return _mm_movemask_epi8(_mm_cmpeq_epi32(colour, key)) == 0xFFFF;
}

inline __m128i keyVector(std::uint32_t key) {
    return _mm_set1_epi32(static_cast<int>(key));
}

// Per 32-bit lane of the four pixels at px: all ones where every colour byte
// lies within distance of the key's (byte 3 not compared), else zero.
inline __m128i fourWithin(const std::uint8_t* px, __m128i key, __m128i distance) {
    const __m128i pixels = _mm_loadu_si128(reinterpret_cast<const __m128i*>(px));
    const __m128i apart = _mm_or_si128(_mm_subs_epu8(pixels, key), _mm_subs_epu8(key, pixels));
    const __m128i beyond =
        _mm_and_si128(_mm_subs_epu8(apart, distance), _mm_set1_epi32(static_cast<int>(kColourBits)));
    return _mm_cmpeq_epi32(beyond, _mm_setzero_si128());
}

// One bit per lane of fourWithin.
inline std::uint32_t laneBits(__m128i lanes) {
    return static_cast<std::uint32_t>(_mm_movemask_ps(_mm_castsi128_ps(lanes)));
}

#endif

#if defined(KESTRA_RECOLOUR_SSE2)
// Whether the four mask bytes at mask are all clear.
inline bool fourClear(const std::uint8_t* mask) {
    std::uint32_t m;
    std::memcpy(&m, mask, sizeof m);
    return m == 0;
}
#endif

// Whether the eight mask bytes are clear and the eight pixels are exactly
// the colour key.
bool eightOfColour(const std::uint8_t* mask, const std::uint8_t* pixels, std::uint32_t key) {
    std::uint64_t m;
    std::memcpy(&m, mask, sizeof m);
    if (m != 0) {
        return false;
    }
#if defined(KESTRA_RECOLOUR_SSE2)
    if (vectorWalk()) {
        const __m128i k = keyVector(key);
        return fourOfColour(pixels, k) && fourOfColour(pixels + 16, k);
    }
#endif
    std::uint32_t differ = 0;
    for (int k = 0; k < 8; ++k) {
        differ |= packed(pixels + 4 * k) ^ key;
    }
    return differ == 0;
}

// What the band sums learn for the recolouring that follows them: one bit
// per group of sixteen pixels (at multiples of 16 from the band's first
// column) that are all exactly the run colour, plainRowWords(pixels) words a
// band row. When the band's average lies within 50 of the run colour, such a
// group is near the average in every pixel and holds no glyph: the row walk
// skips it without reading it again.
std::int32_t plainRowWords(std::int32_t pixels) {
    return pixels / 16 / 64 + 1;
}

// Adds the bytes of the pixels of one band row that lie within 100 of the
// run colour in every channel to sum, and counts them. Most of them are the
// run colour itself: those are only counted, and added once at the end.
void addSimilar(const std::uint8_t* row, std::int32_t pixels, const RunColour& rc, std::uint64_t sum[3],
                std::uint64_t& count, [[maybe_unused]] std::uint64_t* plain = nullptr) {
    const std::uint32_t runKey = packed(rc);
    std::uint64_t exact = 0;
    const auto add = [&](const std::uint8_t* q) {
        if (packed(q) == runKey) {
            ++exact;
        } else if (within(q, rc, 100)) {
            sum[0] += q[0];
            sum[1] += q[1];
            sum[2] += q[2];
            ++count;
        }
    };
    std::int32_t i = 0;
#if defined(KESTRA_RECOLOUR_SSE2)
    if (vectorWalk()) {
        // Four pixels a step without branches: the exact ones are counted,
        // the other close ones masked in and added as 16-bit lanes (B, G, R,
        // 0 of two pixels), emptied into 32-bit lanes before they could
        // overflow and into sum at the end of the row.
        const __m128i key = keyVector(runKey);
        const __m128i distance = _mm_set1_epi8(100);
        const __m128i colour = _mm_set1_epi32(static_cast<int>(kColourBits));
        const __m128i zero = _mm_setzero_si128();
        __m128i wide = zero;  // 32-bit lanes: B, G, R, 0
        std::uint64_t close = 0;
        while (i + 4 <= pixels) {
            // 128 steps add at most 128 * 2 * 255 to a 16-bit lane.
            const std::int32_t stop = i + 4 * 128 <= pixels ? i + 4 * 128 : pixels - (pixels - i) % 4;
            __m128i narrow = zero;
            for (; i < stop; i += 4) {
                const std::uint8_t* q = row + 4 * static_cast<std::size_t>(i);
                if (i % 16 == 0 && i + 16 * 16 < pixels) {
                    prefetch(q + 1024);  // sixteen groups ahead in the row
                }
                // Sixteen pixels of the run colour (the common case) are
                // only counted, and noted in plain.
                if (i % 16 == 0 && i + 16 <= stop && fourOfColour(q, key) && fourOfColour(q + 16, key) &&
                    fourOfColour(q + 32, key) && fourOfColour(q + 48, key)) {
                    exact += 16;
                    if (plain != nullptr) {
                        plain[i / 1024] |= std::uint64_t{1} << (i / 16 % 64);
                    }
                    i += 12;
                    continue;
                }
                const __m128i px = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
                const __m128i same = _mm_cmpeq_epi32(_mm_and_si128(px, colour), key);
                const __m128i near = _mm_andnot_si128(same, fourWithin(q, key, distance));
                const __m128i taken = _mm_and_si128(px, _mm_and_si128(near, colour));
                narrow = _mm_add_epi16(
                    narrow, _mm_add_epi16(_mm_unpacklo_epi8(taken, zero), _mm_unpackhi_epi8(taken, zero)));
                exact += static_cast<std::uint64_t>(std::popcount(laneBits(same)));
                close += static_cast<std::uint64_t>(std::popcount(laneBits(near)));
            }
            wide = _mm_add_epi32(
                wide, _mm_add_epi32(_mm_unpacklo_epi16(narrow, zero), _mm_unpackhi_epi16(narrow, zero)));
        }
        std::uint32_t lanes[4];
        _mm_storeu_si128(reinterpret_cast<__m128i*>(lanes), wide);
        sum[0] += lanes[0];
        sum[1] += lanes[1];
        sum[2] += lanes[2];
        count += close;
    }
#endif
    for (; i < pixels; ++i) {
        add(row + 4 * static_cast<std::size_t>(i));
    }
    sum[0] += exact * rc.b;
    sum[1] += exact * rc.g;
    sum[2] += exact * rc.r;
    count += exact;
}

#if defined(KESTRA_RECOLOUR_SSE2)
// The glyph pixels of one band row in the order of the walk, each with the
// segment (maximal stretch of glyph pixels) it belongs to, and what each
// segment's tally gives its stretch: the extreme in bits 0-7 and 0x100 for a
// light glyph.
struct RowGlyphs {
    std::vector<std::int32_t> offset;   // byte offset in frame and backdrop
    std::vector<std::int32_t> segment;  // index into code
    std::vector<std::int32_t> code;
    std::int32_t count = 0;

    // Room for every pixel of a row as a glyph pixel, and three more for
    // paintGlyphs to fill the last four.
    explicit RowGlyphs(std::int32_t pixels)
        : offset(static_cast<std::size_t>(pixels) + 3),
          segment(offset.size()),
          code(static_cast<std::size_t>(pixels) + 1) {}
};

constexpr std::int32_t kLightGlyph = 0x100;

// Tallies every segment of the glyph bits of one band row (the pixels at
// row, byte offset rowOffset in the frame, backdrop under them at
// backdropRow; words glyph words, no bit at or past the row's end) as the
// single steps do, and lists the glyph pixels, marking them in painted. One
// pass over the set bits: where each stretch starts and ends are read from
// two words made up front, so no loop runs to a stretch's length (which
// text makes unpredictable), and every pixel takes the same steps.
void tallyRow(const std::uint64_t* glyph, std::size_t words, const std::uint8_t* row, std::int32_t rowOffset,
              const std::uint8_t* backdropRow, std::uint8_t* painted, int avgRun, RowGlyphs& out) {
    std::int32_t count = 0;
    std::int32_t segments = 0;
    int darkest = 0;
    int lightest = 0;
    int darkCount = 0;
    int lightCount = 0;
    for (std::size_t w = 0; w < words; ++w) {
        std::uint64_t bits = glyph[w];
        if (bits == 0) {
            continue;
        }
        const std::uint64_t before = bits << 1 | (w > 0 ? glyph[w - 1] >> 63 : 0);
        const std::uint64_t after = bits >> 1 | (w + 1 < words ? glyph[w + 1] << 63 : 0);
        const std::uint64_t starts = bits & ~before;
        const std::uint64_t ends = bits & ~after;
        do {
            const int b = std::countr_zero(bits);
            const auto i = static_cast<std::int32_t>(w * 64) + b;
            const int v = brightness(row + 4 * i);
            const bool start = (starts >> b & 1) != 0;
            const bool below = v < avgRun;
            // A segment's first pixel sets both ends and counts on neither
            // side; the others count below or from the average.
            const int darker = v < darkest ? v : darkest;
            const int lighter = v > lightest ? v : lightest;
            darkest = start ? v : (below ? darker : darkest);
            lightest = start ? v : (below ? lightest : lighter);
            darkCount = start ? 0 : darkCount + static_cast<int>(below);
            lightCount = start ? 0 : lightCount + static_cast<int>(!below);
            painted[i] = 1;
            // Painting reads the backdrop under every glyph pixel once the
            // row is tallied: ask for it now.
            prefetch(backdropRow + 4 * i);
            out.offset[static_cast<std::size_t>(count)] = rowOffset + 4 * i;
            out.segment[static_cast<std::size_t>(count)] = segments;
            ++count;
            // Written at every pixel: the segment's last pixel leaves its
            // final value.
            const bool light = lightCount > darkCount;
            out.code[static_cast<std::size_t>(segments)] = light ? lightest | kLightGlyph : 255 - darkest;
            segments += static_cast<std::int32_t>(ends >> b & 1);
            bits &= bits - 1;
        } while (bits != 0);
    }
    out.count = count;
}

// Colour byte `shift / 8` of each 32-bit lane, as a 32-bit lane.
inline __m128i channel(__m128i words, int shift) {
    return _mm_and_si128(_mm_srli_epi32(words, shift), _mm_set1_epi32(0xFF));
}

// paintSegment's steps on four listed glyph pixels, one per lane. A pixel
// given twice gets the same bytes twice: all four are read before any is
// written. The stretch's quotients are divided here, as paintSegment does.
void paintFour(const FrameAnalyzer& a, const RowGlyphs& g, std::size_t k) {
    const std::int32_t* at = g.offset.data() + k;
    const std::int32_t* seg = g.segment.data() + k;
    const std::uint8_t* backdrop = a.backdropImage.get();
    const __m128i words = _mm_setr_epi32(
        static_cast<int>(loadWord(a.frame + at[0])), static_cast<int>(loadWord(a.frame + at[1])),
        static_cast<int>(loadWord(a.frame + at[2])), static_cast<int>(loadWord(a.frame + at[3])));
    const __m128i backs = _mm_setr_epi32(
        static_cast<int>(loadWord(backdrop + at[0])), static_cast<int>(loadWord(backdrop + at[1])),
        static_cast<int>(loadWord(backdrop + at[2])), static_cast<int>(loadWord(backdrop + at[3])));
    const std::int32_t* code = g.code.data();
    const __m128i codes = _mm_setr_epi32(code[seg[0]], code[seg[1]], code[seg[2]], code[seg[3]]);
    const __m128i light =
        _mm_cmpeq_epi32(_mm_and_si128(codes, _mm_set1_epi32(kLightGlyph)), _mm_set1_epi32(kLightGlyph));
    const __m128 extreme = _mm_cvtepi32_ps(_mm_and_si128(codes, _mm_set1_epi32(0xFF)));
    const __m128 scale = _mm_div_ps(_mm_set1_ps(255.0f), extreme);
    const __m128 unit = _mm_div_ps(_mm_set1_ps(1.0f), extreme);
    // Dark glyphs are complemented first; recomplemented are dark glyphs on
    // a light-content page with high content opacity, or every glyph over a
    // bright backdrop when the content opacity is low.
    const __m128i glyph =
        _mm_xor_si128(words, _mm_andnot_si128(light, _mm_set1_epi32(static_cast<int>(kColourBits))));
    const bool darkRecomplemented = a.contentOpacityHigh != 0 && a.isDarkContent == 0;
    const bool allRecomplemented = a.contentOpacityHigh == 0 && a.backdropBright != 0;
    const __m128i backFlip =
        allRecomplemented
            ? _mm_set1_epi32(0xFF)
            : (darkRecomplemented ? _mm_andnot_si128(light, _mm_set1_epi32(0xFF)) : _mm_setzero_si128());
    // (b + g + r) / 3 as (sum * 43691) >> 17, exact for sums up to 765.
    const __m128i sum =
        _mm_add_epi32(_mm_add_epi32(channel(glyph, 0), channel(glyph, 8)), channel(glyph, 16));
    const __m128i third = _mm_srli_epi32(_mm_mulhi_epu16(sum, _mm_set1_epi32(43691)), 1);
    const __m128 one = _mm_set1_ps(1.0f);
    __m128 alpha = _mm_mul_ps(_mm_cvtepi32_ps(third), unit);
    if (a.foregroundOpacity != 1.0f) {
        alpha = _mm_mul_ps(alpha, _mm_set1_ps(a.foregroundOpacity));
    }
    alpha = _mm_min_ps(alpha, one);  // alpha < 1 ? alpha : 1, so NaN gives 1
    const __m128 keep = _mm_sub_ps(one, alpha);
    __m128i result = _mm_and_si128(words, _mm_set1_epi32(static_cast<int>(~kColourBits)));
    for (int shift = 0; shift <= 16; shift += 8) {
        const __m128i scaled =
            _mm_xor_si128(heldBytes(_mm_mul_ps(_mm_cvtepi32_ps(channel(glyph, shift)), scale)), backFlip);
        const __m128 mixed = _mm_add_ps(_mm_mul_ps(_mm_cvtepi32_ps(channel(backs, shift)), keep),
                                        _mm_mul_ps(_mm_cvtepi32_ps(scaled), alpha));
        result = _mm_or_si128(result, _mm_slli_epi32(heldBytes(mixed), shift));
    }
    std::uint32_t out[4];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), result);
    for (int lane = 0; lane < 4; ++lane) {
        std::memcpy(a.frame + at[lane], &out[lane], sizeof out[lane]);
    }
}

// Paints the listed glyph pixels four at a time (the last repeated to fill
// the last four).
void paintGlyphs(const FrameAnalyzer& a, RowGlyphs& g) {
    if (g.count == 0) {
        return;
    }
    const auto count = static_cast<std::size_t>(g.count);
    for (std::size_t k = count; k % 4 != 0; ++k) {
        g.offset[k] = g.offset[count - 1];
        g.segment[k] = g.segment[count - 1];
    }
    for (std::size_t k = 0; k < count; k += 4) {
        paintFour(a, g, k);
    }
}

#endif

// A worker's buffers for walking band rows of up to `pixels` pixels (the
// vector walk's; the single steps need none).
struct RowWork {
#if defined(KESTRA_RECOLOUR_SSE2)
    std::vector<std::uint64_t> glyph;
    RowGlyphs listed;

    explicit RowWork(std::int32_t pixels)
        : glyph(static_cast<std::size_t>(pixels) / 64 + 1), listed(pixels) {}
#else
    explicit RowWork(std::int32_t /*pixels*/) {}
#endif
};

#if defined(KESTRA_RECOLOUR_SSE2)
// recolourRow in whole-row steps. Walked pixel by pixel, a row leaves every
// pixel visited and paints the maximal stretches of pixels that were not
// visited before and are not near the run colour: here those pixels are
// found sixteen at a time as a bit set, each stretch gets the same
// statistics as the single steps gather, and the row's glyph pixels are then
// painted four at a time.
void recolourRowVector(const FrameAnalyzer& a, std::int32_t r, std::int32_t firstColumn, std::int32_t n,
                       const RunColour rc, int avgRun, std::uint8_t* visited, const std::uint64_t* skip,
                       RowWork& work, bool markVisited = true) {
    const std::uint32_t runKey = packed(rc);
    const __m128i key = keyVector(runKey);
    const __m128i distance = _mm_set1_epi8(50);
    const __m128i zero = _mm_setzero_si128();
    std::uint8_t* painted = a.recolourMask + (r + firstColumn) / 4;
    const std::uint8_t* row = a.frame + r + firstColumn;
    const std::size_t words = static_cast<std::size_t>(n) / 64 + 1;
    std::uint64_t* glyph = work.glyph.data();
    std::fill(glyph, glyph + words, 0);
    std::int32_t i = 0;
    for (; i + 16 <= n; i += 16) {
        if (skip != nullptr && (skip[i / 1024] >> (i / 16 % 64) & 1) != 0) {
            continue;
        }
        const std::uint8_t* px = row + 4 * i;
        const std::uint32_t near = laneBits(fourWithin(px, key, distance)) |
                                   laneBits(fourWithin(px + 16, key, distance)) << 4 |
                                   laneBits(fourWithin(px + 32, key, distance)) << 8 |
                                   laneBits(fourWithin(px + 48, key, distance)) << 12;
        const auto unvisited = static_cast<std::uint32_t>(_mm_movemask_epi8(
            _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(visited + i)), zero)));
        glyph[static_cast<std::size_t>(i / 64)] |= std::uint64_t{unvisited & ~near & 0xFFFFu} << (i % 64);
    }
    for (; i < n; ++i) {
        const std::uint8_t* px = row + 4 * i;
        if (visited[i] == 0 && packed(px) != runKey && !within(px, rc, 50)) {
            glyph[static_cast<std::size_t>(i / 64)] |= std::uint64_t{1} << (i % 64);
        }
    }
    tallyRow(glyph, words, row, r + firstColumn, a.backdropImage.get() + r + firstColumn, painted, avgRun,
             work.listed);
    paintGlyphs(a, work.listed);
    if (markVisited) {
        std::memset(visited, 1, static_cast<std::size_t>(n));
    }
}
#endif

// Recolours one band row: the n pixels from column firstColumn of the row at
// byte offset r, with visited (n bytes) marking the pixels that are not to
// be painted; leaves them all visited. Most pixels of a band are the run
// colour itself, so an exact match is tried before the per-channel
// distance. skip (the row's plain groups, or null) lets the vector walk pass
// over groups known to hold no glyph.
void recolourRow(const FrameAnalyzer& a, std::int32_t r, std::int32_t firstColumn, std::int32_t n,
                 const RunColour rc, int avgRun, std::uint8_t* visited,
                 [[maybe_unused]] const std::uint64_t* skip, [[maybe_unused]] RowWork* work) {
#if defined(KESTRA_RECOLOUR_SSE2)
    if (vectorWalk()) {
        recolourRowVector(a, r, firstColumn, n, rc, avgRun, visited, skip, *work);
        return;
    }
#endif
    const std::uint32_t runKey = packed(rc);
    const auto near = [&](const std::uint8_t* px) { return packed(px) == runKey || within(px, rc, 50); };
    std::uint8_t* painted = a.recolourMask + (r + firstColumn) / 4;
    const std::uint8_t* row = a.frame + r + firstColumn;
    std::int32_t i = 0;
    while (i < n) {
        // Eight unvisited pixels of the run colour itself: background,
        // visited all at once.
        if (i + 8 <= n && eightOfColour(visited + i, row + 4 * i, runKey)) {
            std::memcpy(visited + i, &kEightSet, sizeof kEightSet);
            i += 8;
            continue;
        }
        if (visited[i] != 0) {
            ++i;
            continue;
        }
        visited[i] = 1;
        const std::uint8_t* px = row + 4 * i;
        if (near(px)) {
            ++i;
            continue;
        }
        painted[i] = 1;
        std::int32_t segEnd = i;
        GlyphTally tally(brightness(px));
        for (std::int32_t q = i + 1; q < n; ++q) {
            if (visited[q] != 0) {
                break;
            }
            visited[q] = 1;
            const std::uint8_t* qx = row + 4 * q;
            if (near(qx)) {
                break;
            }
            painted[q] = 1;
            segEnd = q;
            tally.add(brightness(qx), avgRun);
        }
        const bool lightGlyph = tally.light();
        paintSegment(a, r + firstColumn + 4 * i, r + firstColumn + 4 * segEnd, lightGlyph,
                     lightGlyph ? tally.lightest : 255 - tally.darkest);
        i = segEnd + 1;
    }
}

// Recolours the band rows firstRow..lastRow (inclusive byte offsets) against
// the visited mask.
void recolourRows(const FrameAnalyzer& a, std::int32_t firstRow, std::int32_t lastRow,
                  std::int32_t firstColumn, std::int32_t lastColumn, const RunColour rc, int avgRun) {
    const std::int32_t n = (lastColumn - firstColumn) / 4 + 1;  // pixels per band row
    RowWork work(n);
    for (std::int32_t r = firstRow; r <= lastRow; r += a.rowBytes) {
        recolourRow(a, r, firstColumn, n, rc, avgRun, a.visitedMask.get() + (r + firstColumn) / 4, nullptr,
                    &work);
    }
}

// The first pixel index from index on, below end, not set in mask.
std::int32_t firstUnset(const std::uint8_t* mask, std::int32_t index, std::int32_t end) {
    while (index < end && (index & 7) != 0 && mask[index] != 0) {
        ++index;
    }
#if defined(KESTRA_RECOLOUR_SSE2)
    // Rows the bands have covered are set throughout: 64 bytes a step while
    // none of them is 0.
    const __m128i zero = _mm_setzero_si128();
    while (index + 64 <= end) {
        const auto* at = reinterpret_cast<const __m128i*>(mask + index);
        const __m128i least = _mm_min_epu8(_mm_min_epu8(_mm_loadu_si128(at), _mm_loadu_si128(at + 1)),
                                           _mm_min_epu8(_mm_loadu_si128(at + 2), _mm_loadu_si128(at + 3)));
        if (_mm_movemask_epi8(_mm_cmpeq_epi8(least, zero)) != 0) {
            break;
        }
        index += 64;
    }
#endif
    while (index + 8 <= end) {
        std::uint64_t word;
        std::memcpy(&word, mask + index, sizeof word);
        if (word != kEightSet) {
            break;
        }
        index += 8;
    }
    while (index < end && mask[index] != 0) {
        ++index;
    }
    return index;
}

// The sums of one band's pixels close to its run colour.
struct BandSum {
    std::uint64_t sum[3] = {0, 0, 0};
    std::uint64_t count = 0;

    void add(const BandSum& other) {
        for (int k = 0; k < 3; ++k) {
            sum[k] += other.sum[k];
        }
        count += other.count;
    }
    // The average colour, or run when no pixel was close to it.
    RunColour average(const RunColour& run) const {
        if (count == 0) {
            return run;
        }
        return RunColour{static_cast<std::uint8_t>(sum[0] / count), static_cast<std::uint8_t>(sum[1] / count),
                         static_cast<std::uint8_t>(sum[2] / count)};
    }
};

// Sums the pixels of a band found by findForegroundBands that lie close to
// its run colour and notes the band's plain groups in plain (plainRowWords
// words a row, zeroed). Large bands are split among the workers, each adding
// its rows (integer sums, so the order of adding changes nothing).
BandSum sumBand(const FrameAnalyzer& a, std::int32_t topRow, std::int32_t bottomRow, std::int32_t firstColumn,
                std::int32_t lastColumn, const RunColour run, std::uint64_t* plain) {
    const std::int32_t pixels = (lastColumn - firstColumn) / 4 + 1;
    const std::int32_t rowWords = plainRowWords(pixels);
    const auto addRows = [&](std::int32_t first, std::int32_t last, BandSum& into) {
        for (std::int32_t r = first; r <= last; r += a.rowBytes) {
            addSimilar(a.frame + r + firstColumn, pixels, run, into.sum, into.count,
                       plain + static_cast<std::size_t>((r - topRow) / a.rowBytes) * rowWords);
        }
    };
    const std::int32_t bands = a.threadCount > 0 ? a.threadCount : 1;
    const std::uint32_t rowSpan =
        static_cast<std::uint32_t>(bottomRow - topRow) / static_cast<std::uint32_t>(a.rowBytes);
    const std::int32_t chunk =
        static_cast<std::int32_t>(rowSpan / static_cast<std::uint32_t>(bands)) * a.rowBytes;
    const std::int64_t bandPixels = (std::int64_t{rowSpan} + 1) * pixels;
    BandSum total;
    if (bands == 1 || chunk == 0 || bandPixels < kSmallBandPixels) {
        // Waking the workers would cost more than they save.
        addRows(topRow, bottomRow, total);
        return total;
    }
    std::vector<BandSum> partial(static_cast<std::size_t>(bands));
#pragma omp parallel num_threads(bands)
    {
        for (int n = omp_get_thread_num(); n < bands; n += omp_get_num_threads()) {
            const std::int32_t first = topRow + n * chunk;
            const std::int32_t last = n == bands - 1 ? bottomRow : first + chunk - a.rowBytes;
            addRows(first, last, partial[static_cast<std::size_t>(n)]);
        }
    }
    for (const BandSum& part : partial) {
        total.add(part);
    }
    return total;
}

// Paints row r (a byte offset) of band. Bands never overlap, so within a
// band's columns a row holds no other band's marks: the photo regions alone
// are visited there, as they were when the band was found. The vector walk
// reads them from the region mask (it reads a row's visited pixels before it
// marks any painted one there); the single steps, which mark pixels visited
// as they go, walk a copy of them (visited, a row of the frame's width).
void paintBandRow(const FrameAnalyzer& a, const ForegroundBand& band, std::int32_t r, RowWork& work,
                  std::uint8_t* visited) {
    const std::int32_t n = (band.right - band.left) / 4 + 1;
    std::uint8_t* photo = a.regionMask.get() + (r + band.left) / 4;
    const RunColour rc = band.average;
    const int avgRun = (rc.b + rc.g + rc.r) / 3;
    const std::uint64_t* skip = band.nearAverage ? a.bandPlainBits.data() + band.plainOffset +
                                                       static_cast<std::size_t>((r - band.top) / a.rowBytes) *
                                                           static_cast<std::size_t>(band.plainRowWords)
                                                 : nullptr;
#if defined(KESTRA_RECOLOUR_SSE2)
    if (vectorWalk()) {
        recolourRowVector(a, r, band.left, n, rc, avgRun, photo, skip, work, false);
        return;
    }
#endif
    std::memcpy(visited, photo, static_cast<std::size_t>(n));
    recolourRow(a, r, band.left, n, rc, avgRun, visited, skip, &work);
}

// Paints the rows firstRow .. endRow - 1 (indices) of every band that covers
// them.
void paintBandRows(const FrameAnalyzer& a, std::int32_t firstRow, std::int32_t endRow, RowWork& work,
                   std::uint8_t* visited) {
    const std::vector<ForegroundBand>& bands = a.foregroundBands;
    // The bands covering the current row, in the order found (which is the
    // order of their top rows).
    std::vector<const ForegroundBand*> active;
    std::size_t next = 0;
    for (std::int32_t y = firstRow; y < endRow; ++y) {
        const std::int32_t r = y * a.rowBytes;
        for (; next < bands.size() && bands[next].top <= r; ++next) {
            if (bands[next].bottom >= r) {
                active.push_back(&bands[next]);
            }
        }
        std::erase_if(active, [r](const ForegroundBand* band) { return band->bottom < r; });
        for (const ForegroundBand* band : active) {
            paintBandRow(a, *band, r, work, visited);
        }
    }
}

// Splits the rows firstRow .. endRow - 1 (indices) among the workers, when
// the pixels to paint make waking them worth it, and calls paint(first,
// end, work, visited) once per share with that worker's row buffers. Every
// share is done exactly once even if the runtime grants fewer threads than
// asked for.
template <typename Paint>
void paintRowShares(const FrameAnalyzer& a, std::int32_t firstRow, std::int32_t endRow, std::int64_t pixels,
                    Paint paint) {
    const std::int32_t rows = endRow - firstRow;
    if (rows <= 0 || pixels == 0) {
        return;
    }
    std::int32_t workers = a.threadCount > 1 && pixels >= kSmallBandPixels ? a.threadCount : 1;
    workers = std::min(workers, rows);
    const std::int32_t chunk = rows / workers;
#pragma omp parallel num_threads(workers) if (workers > 1)
    {
        RowWork work(a.width);
        std::vector<std::uint8_t> visited(static_cast<std::size_t>(a.width));
        for (int n = omp_get_thread_num(); n < workers; n += omp_get_num_threads()) {
            const std::int32_t first = firstRow + n * chunk;
            const std::int32_t end = n == workers - 1 ? endRow : first + chunk;
            paint(first, end, work, visited.data());
        }
    }
}

// Paints every row of a band just found, while its rows are still in the
// cache from its sums.
void paintBand(const FrameAnalyzer& a, const ForegroundBand& band) {
    const std::int32_t rows = (band.bottom - band.top) / a.rowBytes + 1;
    const std::int64_t pixels = std::int64_t{rows} * ((band.right - band.left) / 4 + 1);
    paintRowShares(a, 0, rows, pixels,
                   [&](std::int32_t first, std::int32_t end, RowWork& work, std::uint8_t* visited) {
                       for (std::int32_t y = first; y < end; ++y) {
                           paintBandRow(a, band, band.top + y * a.rowBytes, work, visited);
                       }
                   });
}

}  // namespace

bool selectRecolourKernel(RecolourKernel kernel) {
    bool available = kernel == RecolourKernel::automatic || kernel == RecolourKernel::scalar;
#if defined(KESTRA_RECOLOUR_SSE2)
    available = available || kernel == RecolourKernel::sse2;
#endif
    if (available) {
        selectedKernel = kernel;
    }
    return available;
}

void resetRecolourState() {
    selectedKernel = RecolourKernel::automatic;
}

void FrameAnalyzer::recolourBand(std::int32_t topRow, std::int32_t bottomRow, std::int32_t firstColumn,
                                 std::int32_t lastColumn) {
    if (frame == nullptr || backdropImage == nullptr || visitedMask == nullptr || recolourMask == nullptr ||
        rowBytes <= 0) {
        return;
    }
    // A band must lie inside the frame, on pixel boundaries.
    if (topRow < 0 || topRow > bottomRow || bottomRow > lastRowOffset || topRow % rowBytes != 0 ||
        bottomRow % rowBytes != 0 || firstColumn < 0 || firstColumn > lastColumn ||
        lastColumn > lastPixelOffset || firstColumn % 4 != 0 || lastColumn % 4 != 0) {
        return;
    }
    const RunColour rc = runColour;
    const int avgRun = (rc.b + rc.g + rc.r) / 3;
    const std::int32_t bands = threadCount > 0 ? threadCount : 1;
    const std::uint32_t rowSpan =
        static_cast<std::uint32_t>(bottomRow - topRow) / static_cast<std::uint32_t>(rowBytes);
    const std::int32_t chunk =
        static_cast<std::int32_t>(rowSpan / static_cast<std::uint32_t>(bands)) * rowBytes;
    const std::int64_t bandPixels =
        (std::int64_t{rowSpan} + 1) * ((std::int64_t{lastColumn} - firstColumn) / 4 + 1);
    if (bands == 1 || chunk == 0 || bandPixels < kSmallBandPixels) {
        // Only the last band has rows, or the band is too small to be worth
        // waking the workers: rows are independent, so doing them all here
        // gives the same bytes.
        recolourRows(*this, topRow, bottomRow, firstColumn, lastColumn, rc, avgRun);
        return;
    }
    const FrameAnalyzer& self = *this;
#pragma omp parallel num_threads(bands)
    {
        // Every band is done exactly once even if the runtime grants fewer
        // threads than asked for.
        for (int n = omp_get_thread_num(); n < bands; n += omp_get_num_threads()) {
            const std::int32_t first = topRow + n * chunk;
            const std::int32_t last = n == bands - 1 ? bottomRow : first + chunk - rowBytes;
            recolourRows(self, first, last, firstColumn, lastColumn, rc, avgRun);
        }
    }
}

void FrameAnalyzer::recolourForeground() {
    findBands(true);
}

void FrameAnalyzer::findForegroundBands() {
    findBands(false);
}

void FrameAnalyzer::findBands(bool paint) {
    earlierForegroundBands.swap(foregroundBands);
    foregroundBands.clear();
    bandPlainBits.clear();
    foregroundBandsRepeated = false;
    if (frame == nullptr || backdropImage == nullptr || regionMask == nullptr || visitedMask == nullptr ||
        recolourMask == nullptr || backgroundColourTable == nullptr || pixelCount <= 0 ||
        sampleColumnBytes <= 0) {
        return;
    }
    std::memcpy(visitedMask.get(), regionMask.get(), static_cast<std::size_t>(pixelCount));
    // Colours learned before an inversion are found through their complement.
    const std::uint8_t flip = frameInverted != 0 ? 0xFF : 0x00;

    for (std::int32_t row = 0; row < lastRowOffset; row += rowBytes) {
        std::int32_t col = 0;
        while (col < lastPixelOffset) {
            col = firstUnset(visitedMask.get(), (row + col) / 4, (row + lastPixelOffset) / 4) * 4 - row;
            if (col >= lastPixelOffset) {
                break;
            }
            const std::int32_t p = row + col;
            const std::uint8_t* px = frame + p;
            const std::uint32_t key = (static_cast<std::uint32_t>(px[0] ^ flip) << 16) |
                                      (static_cast<std::uint32_t>(px[1] ^ flip) << 8) | (px[2] ^ flip);
            if (!colourFlagged(backgroundColourTable.get(), key)) {
                col += 4;
                continue;
            }
            RunColour rc{px[0], px[1], px[2]};
            runColour = rc;

            // Horizontal run: how far right the colour goes, tolerating gaps.
            std::int32_t end = col;
            std::int32_t misses = 0;
#if defined(KESTRA_RECOLOUR_SSE2)
            const bool vector = vectorWalk();
            const __m128i runKey = keyVector(packed(rc));
#endif
            for (std::int32_t c = col + 4; c < lastPixelOffset; c += 4) {
#if defined(KESTRA_RECOLOUR_SSE2)
                // Four unvisited pixels of the run colour: what four single
                // steps would find, taken at once.
                while (vector && c + 12 < lastPixelOffset && fourClear(visitedMask.get() + (row + c) / 4) &&
                       fourOfColour(frame + row + c, runKey)) {
                    end = c + 12;
                    misses = 0;
                    c += 16;
                }
                if (c >= lastPixelOffset) {
                    break;
                }
#endif
                if (visitedMask[(row + c) / 4] != 0) {
                    break;
                }
                if (matches(frame + row + c, rc)) {
                    end = c;
                    misses = 0;
                } else if (++misses > kRunMissLimit) {
                    break;
                }
            }
            if (end - col < kShortestRunBytes) {
                col = end + 4;
                continue;
            }

            // Follow the run down on every sampled column; the first column
            // with depth sets it, later ones can only make it shallower.
            std::int32_t limit = lastRowOffset - rowBytes;
            std::int32_t bottom = row;
            for (std::int32_t x = col; x <= end; x += sampleColumnBytes) {
                if (row + rowBytes > limit) {
                    continue;
                }
                std::int32_t found = bottom;
                misses = 0;
                for (std::int32_t r = row + rowBytes; r <= limit; r += rowBytes) {
                    // Each step reads two new cache lines: ask for those
                    // eight rows further down now.
                    if (r + 8 * rowBytes <= limit) {
                        prefetch(frame + r + 8 * rowBytes + x);
                        prefetch(visitedMask.get() + (r + 8 * rowBytes + x) / 4);
                    }
                    if (visitedMask[(r + x) / 4] != 0) {
                        break;
                    }
                    if (matches(frame + r + x, rc)) {
                        found = r;
                        misses = 0;
                    } else if (++misses > verticalTolerance) {
                        break;
                    }
                }
                if (found != bottom) {
                    bottom = found;
                    limit = found;
                }
            }
            if (bottom == row) {
                col = end + 4;
                continue;
            }

            // The band's colour is the average of its pixels close to the
            // run. Marked visited, as its painting leaves it, the band is
            // painted now or later (paintForegroundRows).
            const std::int32_t pixels = (end - col) / 4 + 1;
            ForegroundBand band;
            band.top = row;
            band.bottom = bottom;
            band.left = col;
            band.right = end;
            band.plainRowWords = plainRowWords(pixels);
            band.plainOffset = bandPlainBits.size();
            bandPlainBits.resize(band.plainOffset + static_cast<std::size_t>((bottom - row) / rowBytes + 1) *
                                                        static_cast<std::size_t>(band.plainRowWords));
            const BandSum total =
                sumBand(*this, row, bottom, col, end, rc, bandPlainBits.data() + band.plainOffset);
            band.average = total.average(rc);
            band.nearAverage = within(std::array<std::uint8_t, 3>{rc.b, rc.g, rc.r}.data(), band.average, 50);
            runColour = band.average;
            foregroundBands.push_back(band);
            for (std::int32_t r = row; r <= bottom; r += rowBytes) {
                std::memset(visitedMask.get() + (r + col) / 4, 1, static_cast<std::size_t>(pixels));
            }
            if (paint) {
                // What paintForegroundRows would do for this band's rows;
                // later bands never read inside it.
                paintBand(*this, band);
            }
            col = end + 4;
        }
    }
    foregroundBandsRepeated = foregroundBands == earlierForegroundBands;
}

void FrameAnalyzer::paintForegroundRows(std::int32_t firstRow, std::int32_t endRow) {
    if (foregroundBands.empty() || frame == nullptr || backdropImage == nullptr || regionMask == nullptr ||
        recolourMask == nullptr || rowBytes <= 0 || width <= 0) {
        return;
    }
    firstRow = std::clamp(firstRow, 0, height);
    endRow = std::clamp(endRow, firstRow, height);
    // The pixels to paint decide whether waking the workers is worth it.
    std::int64_t pixels = 0;
    for (const ForegroundBand& band : foregroundBands) {
        const std::int32_t top = std::max(band.top / rowBytes, firstRow);
        const std::int32_t end = std::min(band.bottom / rowBytes + 1, endRow);
        if (end > top) {
            pixels += std::int64_t{end - top} * ((band.right - band.left) / 4 + 1);
        }
    }
    const FrameAnalyzer& self = *this;
    paintRowShares(self, firstRow, endRow, pixels,
                   [&](std::int32_t first, std::int32_t end, RowWork& work, std::uint8_t* visited) {
                       paintBandRows(self, first, end, work, visited);
                   });
}

}  // namespace kestra
