// Foreground recolouring: edge cases, and agreement of every thread count
// with a plain single-threaded version written in pixel coordinates.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "analysis/recolour_kernel.h"
#include "analysis_support.h"
#include "support/heap_copy.h"

namespace kestra {
namespace {

using testing::Analyzer;
using testing::Colour;
using testing::Frame;

// ---- the plain version ----

struct Plain {
    Frame& f;
    const std::vector<std::uint8_t>& backdrop;
    std::vector<std::uint8_t> region;  // in: photo regions; out: with recoloured pixels
    const std::uint8_t* backgroundTable;
    int sampleStep;
    int tolerance;
    bool inverted, darkContent, backdropBright, opacityHigh;
    float foregroundOpacity;
    Colour run{};
    std::vector<std::uint8_t> visited;

    int w() const { return f.width(); }
    int h() const { return f.height(); }
    std::uint8_t& seen(int x, int y) { return visited[static_cast<std::size_t>(y) * w() + x]; }
    static int bright(Colour c) { return (c.b + c.g + c.r) / 3; }
    static bool close(Colour a, Colour b, int d) {
        return std::abs(a.b - b.b) <= d && std::abs(a.g - b.g) <= d && std::abs(a.r - b.r) <= d;
    }
    static std::uint8_t held(float v) {
        return v > 0.0f ? (v < 255.0f ? static_cast<std::uint8_t>(v) : 255) : 0;
    }

    void run_() {
        visited = region;
        for (int y = 0; y + 1 < h(); ++y) {
            int x = 0;
            while (x + 1 < w()) {
                if (seen(x, y)) {
                    ++x;
                    continue;
                }
                Colour c = f.colour(x, y);
                Colour look = inverted ? Colour{static_cast<std::uint8_t>(255 - c.b),
                                                static_cast<std::uint8_t>(255 - c.g),
                                                static_cast<std::uint8_t>(255 - c.r)}
                                       : c;
                if (!backgroundTable[(look.b << 16) | (look.g << 8) | look.r]) {
                    ++x;
                    continue;
                }
                run = c;
                int end = x;
                for (int cx = x + 1, misses = 0; cx + 1 < w() && !seen(cx, y); ++cx) {
                    if (f.colour(cx, y) == run) {
                        end = cx;
                        misses = 0;
                    } else if (++misses > 250) {
                        break;
                    }
                }
                if (end - x < 3) {
                    x = end + 1;
                    continue;
                }
                int limit = h() - 2;
                int bottom = y;
                for (int sx = x; sx <= end; sx += sampleStep) {
                    if (y + 1 > limit) {
                        continue;
                    }
                    int found = bottom;
                    for (int yy = y + 1, misses = 0; yy <= limit && !seen(sx, yy); ++yy) {
                        if (f.colour(sx, yy) == run) {
                            found = yy;
                            misses = 0;
                        } else if (++misses > tolerance) {
                            break;
                        }
                    }
                    if (found != bottom) {
                        bottom = limit = found;
                    }
                }
                if (bottom == y) {
                    x = end + 1;
                    continue;
                }
                long sum[3] = {0, 0, 0};
                long count = 0;
                for (int yy = y; yy <= bottom; ++yy) {
                    for (int xx = x; xx <= end; ++xx) {
                        const Colour q = f.colour(xx, yy);
                        if (close(q, run, 100)) {
                            sum[0] += q.b;
                            sum[1] += q.g;
                            sum[2] += q.r;
                            ++count;
                        }
                    }
                }
                if (count > 0) {
                    run = Colour{static_cast<std::uint8_t>(sum[0] / count),
                                 static_cast<std::uint8_t>(sum[1] / count),
                                 static_cast<std::uint8_t>(sum[2] / count)};
                }
                for (int yy = y; yy <= bottom; ++yy) {
                    bandRow(yy, x, end);
                }
                x = end + 1;
            }
        }
    }

    void bandRow(int y, int first, int last) {
        const int avg = bright(run);
        for (int x = first; x <= last;) {
            if (seen(x, y)) {
                ++x;
                continue;
            }
            seen(x, y) = 1;
            if (close(f.colour(x, y), run, 50)) {
                ++x;
                continue;
            }
            region[static_cast<std::size_t>(y) * w() + x] = 1;
            int segEnd = x;
            int darkest = bright(f.colour(x, y));
            int lightest = darkest;
            int dark = 0;
            int light = 0;
            for (int q = x + 1; q <= last && !seen(q, y); ++q) {
                seen(q, y) = 1;
                if (close(f.colour(q, y), run, 50)) {
                    break;
                }
                region[static_cast<std::size_t>(y) * w() + q] = 1;
                segEnd = q;
                const int v = bright(f.colour(q, y));
                if (v < avg) {
                    darkest = std::min(darkest, v);
                    ++dark;
                } else {
                    lightest = std::max(lightest, v);
                    ++light;
                }
            }
            const bool lightGlyph = light > dark;
            const int t = lightGlyph ? lightest : 255 - darkest;
            const float scale = 255.0f / static_cast<float>(t);
            const float unit = 1.0f / static_cast<float>(t);
            for (int p = x; p <= segEnd; ++p) {
                std::uint8_t* px = f.at(p, y);
                const std::uint8_t* back = backdrop.data() + (static_cast<std::size_t>(y) * w() + p) * 4;
                if (!lightGlyph) {
                    for (int k = 0; k < 3; ++k) {
                        px[k] = static_cast<std::uint8_t>(255 - px[k]);
                    }
                }
                float alpha = static_cast<float>((px[0] + px[1] + px[2]) / 3) * unit;
                if (foregroundOpacity != 1.0f) {
                    alpha = alpha * foregroundOpacity;
                }
                if (!(alpha < 1.0f)) {
                    alpha = 1.0f;
                }
                for (int k = 0; k < 3; ++k) {
                    px[k] = px[k] == 0 ? 0 : held(static_cast<float>(px[k]) * scale);
                }
                if ((opacityHigh && !darkContent && !lightGlyph) || (!opacityHigh && backdropBright)) {
                    for (int k = 0; k < 3; ++k) {
                        px[k] = static_cast<std::uint8_t>(255 - px[k]);
                    }
                }
                for (int k = 0; k < 3; ++k) {
                    px[k] = held(static_cast<float>(back[k]) * (1.0f - alpha) +
                                 static_cast<float>(px[k]) * alpha);
                }
            }
            x = segEnd + 1;
        }
    }
};

// ---- scenes ----

struct Settings {
    int threads = 1;
    bool inverted = false, darkContent = false, backdropBright = false, opacityHigh = false;
    float foregroundOpacity = 1.0f;
};

// Recolours a copy of frame with the analyzer; returns the frame and leaves
// the masks in the analyzer.
struct Recoloured {
    Frame frame;
    std::vector<std::uint8_t> region;
    RunColour run;
};

// run recolours (recolourForeground when empty).
Recoloured recolour(const Frame& source, const std::vector<std::uint8_t>& backdrop,
                    const std::vector<Colour>& learned, const std::vector<std::uint8_t>& photoMask,
                    const Settings& s, int extent = 3000,
                    const std::function<void(FrameAnalyzer&)>& run = {}) {
    Frame frame = source;
    Analyzer a(frame, extent);
    a->threadCount = s.threads;
    a->foregroundOpacity = s.foregroundOpacity;
    EXPECT_EQ(a->allocateGlassBuffers(), 0);
    for (const Colour& c : learned) {
        a.learn(c);
    }
    a->frameInverted = s.inverted;
    a->isDarkContent = s.darkContent;
    a->backdropBright = s.backdropBright;
    a->contentOpacityHigh = s.opacityHigh;
    a->backdropImage = testing::heapCopyOf(backdrop);
    std::copy(photoMask.begin(), photoMask.end(), a->regionMask.get());
    resetAnalysisState();
    if (run) {
        run(*a);
    } else {
        a->recolourForeground();
    }
    return Recoloured{frame,
                      std::vector<std::uint8_t>(a->regionMask.get(), a->regionMask.get() + a->pixelCount),
                      runColour};
}

// Recolours source with the scalar walk and with the walk chosen at run time
// and asserts the same frame, region mask and run colour; returns whether the
// scalar walk changed the frame.
bool vectorWalkMatchesScalar(const Frame& source, const std::vector<std::uint8_t>& backdrop,
                             const std::vector<Colour>& learned, const std::vector<std::uint8_t>& photoMask,
                             const Settings& s) {
    EXPECT_TRUE(selectRecolourKernel(RecolourKernel::scalar));
    const Recoloured scalar = recolour(source, backdrop, learned, photoMask, s);
    selectRecolourKernel(RecolourKernel::sse2);  // false, keeping scalar, without it
    selectRecolourKernel(RecolourKernel::automatic);
    const Recoloured vector = recolour(source, backdrop, learned, photoMask, s);
    EXPECT_TRUE(vector.frame == scalar.frame);
    EXPECT_EQ(vector.region, scalar.region);
    EXPECT_EQ(vector.run.b, scalar.run.b);
    EXPECT_EQ(vector.run.g, scalar.run.g);
    EXPECT_EQ(vector.run.r, scalar.run.r);
    return !(scalar.frame == source);
}

// vectorWalkMatchesScalar with 1, 2 and 3 threads, up to the first mismatch;
// returns at how many thread counts the frame was recoloured.
int recolouredAtEachThreadCount(const Frame& source, const std::vector<std::uint8_t>& backdrop,
                                const std::vector<Colour>& learned,
                                const std::vector<std::uint8_t>& photoMask, Settings s) {
    int recoloured = 0;
    for (int threads : {1, 2, 3}) {
        s.threads = threads;
        SCOPED_TRACE("threads " + std::to_string(threads));
        recoloured += vectorWalkMatchesScalar(source, backdrop, learned, photoMask, s) ? 1 : 0;
        if (::testing::Test::HasFailure()) {
            break;
        }
    }
    return recoloured;
}

// The table of background colours as one byte per colour, marked as learning
// marks it: each learned colour that is not yet in the table brings the
// colours up to 10 below and 3 above it in every channel.
std::vector<std::uint8_t> byteTable(const std::vector<Colour>& learned) {
    std::vector<std::uint8_t> table(kColourCount);
    for (const Colour& c : learned) {
        if (table[(c.b << 16) | (c.g << 8) | c.r] != 0) {
            continue;
        }
        for (int b0 = std::max(c.b - 10, 0); b0 <= std::min(c.b + 3, 255); ++b0) {
            for (int b1 = std::max(c.g - 10, 0); b1 <= std::min(c.g + 3, 255); ++b1) {
                for (int b2 = std::max(c.r - 10, 0); b2 <= std::min(c.r + 3, 255); ++b2) {
                    table[static_cast<std::size_t>((b0 << 16) | (b1 << 8) | b2)] = 1;
                }
            }
        }
    }
    return table;
}

Recoloured plain(const Frame& source, const std::vector<std::uint8_t>& backdrop,
                 const std::vector<Colour>& learned, const std::vector<std::uint8_t>& photoMask,
                 const Settings& s, int extent = 3000) {
    Frame frame = source;
    Analyzer tables(frame, extent);  // for the grid steps
    const std::vector<std::uint8_t> table = byteTable(learned);
    Plain p{
        frame,      backdrop,      photoMask,        table.data(),  tables->sampleStep,  frame.height() / 27,
        s.inverted, s.darkContent, s.backdropBright, s.opacityHigh, s.foregroundOpacity, Colour{},
        {}};
    p.run_();
    return Recoloured{frame, p.region, RunColour{p.run.b, p.run.g, p.run.r}};
}

// Text-like content: panels of background colours with glyph strokes of
// several shades, a few anti-aliased edges, and optionally a noisy photo.
Frame textLike(int w, int h, testing::Random& rng, const std::vector<Colour>& panels) {
    Frame f(w, h, panels[0]);
    for (std::size_t i = 1; i < panels.size(); ++i) {
        const int x0 = static_cast<int>(rng() % w);
        const int y0 = static_cast<int>(rng() % h);
        f.fillRect(x0, y0, std::min(w, x0 + 1 + static_cast<int>(rng() % w)),
                   std::min(h, y0 + 1 + static_cast<int>(rng() % h)), panels[i]);
    }
    const int strokes = w * h / 60;
    for (int i = 0; i < strokes; ++i) {
        const int x0 = static_cast<int>(rng() % w);
        const int y0 = static_cast<int>(rng() % h);
        const bool across = rng() % 2 == 0;
        const int len = 1 + static_cast<int>(rng() % 9);
        const std::uint8_t v = static_cast<std::uint8_t>(rng() % 4 == 0 ? rng() : rng() % 3 * 110);
        const Colour ink{v, static_cast<std::uint8_t>(v + rng() % 20), v};
        f.fillRect(x0, y0, std::min(w, x0 + (across ? len : 1)), std::min(h, y0 + (across ? 1 : len)), ink);
    }
    if (w > 20 && h > 20 && rng() % 2 == 0) {
        const int x0 = static_cast<int>(rng() % (w / 2));
        const int y0 = static_cast<int>(rng() % (h / 2));
        f.noiseRect(x0, y0, x0 + w / 3, y0 + h / 3, rng());
    }
    return f;
}

std::vector<std::uint8_t> noiseBackdrop(const Frame& f, testing::Random& rng) {
    std::vector<std::uint8_t> b(f.size());
    for (auto& v : b) {
        v = static_cast<std::uint8_t>(rng());
    }
    return b;
}

TEST(RecolourForeground, EveryThreadCountAgreesWithThePlainVersion) {
    testing::Random rng(77);
    const std::vector<Colour> panels{{250, 250, 250}, {30, 30, 34}, {200, 120, 40}};
    const std::pair<int, int> sizes[] = {{1, 1},    {2, 2},     {3, 5},    {37, 23},
                                         {121, 67}, {301, 157}, {640, 97}, {479, 321}};
    for (int round = 0; round < 3; ++round) {
        for (auto [w, h] : sizes) {
            const Frame source = textLike(w, h, rng, panels);
            const auto backdrop = noiseBackdrop(source, rng);
            // Photo regions: none, one rectangle, or scattered single pixels.
            std::vector<std::uint8_t> photo(static_cast<std::size_t>(w) * h);
            if (round == 1) {
                for (int y = h / 3; y < h / 2; ++y) {
                    std::fill_n(photo.begin() + y * w + w / 4, w / 3, std::uint8_t{1});
                }
            } else if (round == 2) {
                for (int i = 0; i < w * h / 5; ++i) {
                    photo[rng() % photo.size()] = rng() % 8 == 0;
                }
            }
            Settings s;
            s.darkContent = rng() % 2;
            s.backdropBright = rng() % 2;
            s.opacityHigh = rng() % 2;
            s.foregroundOpacity = round == 0 ? 1.0f : 0.6f;
            const int extent = round == 2 ? 700 : 3000;
            const Recoloured expected = plain(source, backdrop, panels, photo, s, extent);
            for (int threads : {1, 2, 3}) {
                s.threads = threads;
                const Recoloured got = recolour(source, backdrop, panels, photo, s, extent);
                ASSERT_TRUE(got.frame == expected.frame) << w << "x" << h << " threads " << threads;
                ASSERT_EQ(got.region, expected.region) << w << "x" << h << " threads " << threads;
                ASSERT_EQ(got.run.b, expected.run.b);
                ASSERT_EQ(got.run.g, expected.run.g);
                ASSERT_EQ(got.run.r, expected.run.r);
            }
        }
    }
}

// The band search followed by the rows painted in random pieces, in random
// order and on 1 to 3 workers, gives the whole recolouring's bytes; no two
// bands overlap, and a second search of the same frame finds the same bands.
TEST(RecolourForeground, RowsPaintedInPiecesGiveTheWholeRecolouring) {
    testing::Random rng(81);
    const std::vector<Colour> panels{{250, 250, 250}, {30, 30, 34}, {200, 120, 40}};
    const std::pair<int, int> sizes[] = {{1, 1}, {3, 7}, {121, 67}, {479, 321}, {1921, 1081}};
    int banded = 0;
    for (auto [w, h] : sizes) {
        const Frame source = textLike(w, h, rng, panels);
        const auto backdrop = noiseBackdrop(source, rng);
        std::vector<std::uint8_t> photo(static_cast<std::size_t>(w) * h);
        for (int i = 0; i < w * h / 50; ++i) {
            photo[rng() % photo.size()] = 1;
        }
        Settings s;
        s.threads = 1 + static_cast<int>(rng() % 3);
        s.darkContent = rng() % 2;
        s.backdropBright = rng() % 2;
        const Recoloured whole = recolour(source, backdrop, panels, photo, s);
        const auto inPieces = [&](FrameAnalyzer& a) {
            a.findForegroundBands();
            const std::vector<ForegroundBand> bands = a.foregroundBands;
            for (std::size_t i = 0; i < bands.size(); ++i) {
                for (std::size_t j = i + 1; j < bands.size(); ++j) {
                    const bool apart = bands[i].bottom < bands[j].top || bands[j].bottom < bands[i].top ||
                                       bands[i].right < bands[j].left || bands[j].right < bands[i].left;
                    ASSERT_TRUE(apart) << w << "x" << h << ": bands " << i << " and " << j << " overlap";
                }
            }
            banded += bands.empty() ? 0 : 1;
            // The same frame and mask give the same bands again.
            a.findForegroundBands();
            EXPECT_TRUE(a.foregroundBandsRepeated) << w << "x" << h;
            EXPECT_EQ(a.foregroundBands, bands) << w << "x" << h;
            // Cut the rows at random places and paint the pieces backwards.
            std::vector<int> cuts{0, h};
            for (int k = 0; k < 4; ++k) {
                cuts.push_back(static_cast<int>(rng() % static_cast<unsigned>(h + 1)));
            }
            std::sort(cuts.begin(), cuts.end());
            for (std::size_t k = cuts.size() - 1; k > 0; --k) {
                a.threadCount = 1 + static_cast<int>(rng() % 3);
                a.paintForegroundRows(cuts[k - 1], cuts[k]);
            }
            a.paintForegroundRows(h, h + 5);  // no rows: nothing
        };
        const Recoloured pieces = recolour(source, backdrop, panels, photo, s, 3000, inPieces);
        EXPECT_TRUE(pieces.frame == whole.frame) << w << "x" << h;
        EXPECT_EQ(pieces.region, whole.region) << w << "x" << h;
        EXPECT_EQ(pieces.run, whole.run) << w << "x" << h;
    }
    EXPECT_GE(banded, 3) << "the frames hold bands";
}

TEST(RecolourForeground, SomethingIsRecolouredInTextLikeFrames) {
    // Guards the agreement test against scenes in which nothing happens.
    testing::Random rng(78);
    const std::vector<Colour> panels{{250, 250, 250}};
    const Frame source = textLike(301, 157, rng, panels);
    const auto backdrop = noiseBackdrop(source, rng);
    const Recoloured got =
        recolour(source, backdrop, panels, std::vector<std::uint8_t>(301 * 157), Settings{.threads = 2});
    EXPECT_GT(std::count(got.region.begin(), got.region.end(), 1), 301 * 157 / 20);
    EXPECT_FALSE(got.frame == source);
    for (int y = 0; y < 157; ++y) {
        for (int x = 0; x < 301; ++x) {
            ASSERT_EQ(got.frame.at(x, y)[3], 0xA5);
        }
    }
}

// A grey page with one dark pixel at (11, 6) inside a run of the page colour
// starting at x = 10 on rows 5 to 7; everything else differs from the page.
constexpr Colour kPage{200, 200, 200};

Frame runScene(int runPixels) {
    Frame f(40, 40);
    for (int y = 0; y < 40; ++y) {
        for (int x = 0; x < 40; ++x) {
            f.set(x, y, Colour{static_cast<std::uint8_t>(x * 3), static_cast<std::uint8_t>(y * 3), 7});
        }
    }
    f.fillRect(10, 5, 10 + runPixels, 8, kPage);
    f.set(11, 6, Colour{0, 0, 0});
    return f;
}

TEST(RecolourForeground, ARunMustReachThreePixelsRightOfItsStart) {
    const std::vector<std::uint8_t> backdrop(40 * 40 * 4, 90);
    const std::vector<std::uint8_t> none(40 * 40);
    const Recoloured shortRun = recolour(runScene(3), backdrop, {kPage}, none, Settings{});
    EXPECT_EQ(std::count(shortRun.region.begin(), shortRun.region.end(), 1), 0);
    EXPECT_TRUE(shortRun.frame == runScene(3));

    const Recoloured band = recolour(runScene(4), backdrop, {kPage}, none, Settings{});
    EXPECT_EQ(std::count(band.region.begin(), band.region.end(), 1), 1);
    EXPECT_EQ(band.region[6 * 40 + 11], 1);
    // A black pixel on a light page is a dark glyph: it turns white.
    EXPECT_EQ(band.frame.colour(11, 6), (Colour{255, 255, 255}));
}

TEST(RecolourForeground, RunsWithoutDepthAreLeftAlone) {
    // The run lies on the second-to-last row: it cannot follow down.
    Frame f = runScene(0);
    f.fillRect(5, 38, 30, 40, kPage);
    f.set(12, 38, Colour{0, 0, 0});
    const std::vector<std::uint8_t> backdrop(40 * 40 * 4, 90);
    const Recoloured r = recolour(f, backdrop, {kPage}, std::vector<std::uint8_t>(40 * 40), Settings{});
    EXPECT_EQ(std::count(r.region.begin(), r.region.end(), 1), 0);
    EXPECT_TRUE(r.frame == f);
}

TEST(RecolourForeground, LearnedColoursAreFoundThroughTheirComplementAfterInversion) {
    Frame f = runScene(6);
    for (int y = 0; y < 40; ++y) {
        for (int x = 0; x < 40; ++x) {
            std::uint8_t* p = f.at(x, y);
            for (int k = 0; k < 3; ++k) {
                p[k] = static_cast<std::uint8_t>(255 - p[k]);
            }
        }
    }
    const std::vector<std::uint8_t> backdrop(40 * 40 * 4, 90);
    const std::vector<std::uint8_t> none(40 * 40);
    Settings s;
    const Recoloured notFlagged = recolour(f, backdrop, {kPage}, none, s);
    EXPECT_EQ(notFlagged.region[6 * 40 + 11], 0);
    s.inverted = true;
    const Recoloured flagged = recolour(f, backdrop, {kPage}, none, s);
    EXPECT_EQ(flagged.region[6 * 40 + 11], 1);
}

// A band of page colour, rows 5..7 and columns 10..20, with the given pixels
// placed on row 6 from column 12.
Recoloured bandWith(const std::vector<Colour>& glyph, Colour page, std::uint8_t backdropValue,
                    const Settings& s) {
    Frame f = runScene(0);
    f.fillRect(10, 5, 21, 8, page);
    for (std::size_t i = 0; i < glyph.size(); ++i) {
        f.set(12 + static_cast<int>(i), 6, glyph[i]);
    }
    const std::vector<std::uint8_t> backdrop(40 * 40 * 4, backdropValue);
    return recolour(f, backdrop, {page}, std::vector<std::uint8_t>(40 * 40), s);
}

// The vector walk against the scalar walk on source with a random photo
// mask (one pixel in oneIn set), an empty one and a full one, each with random
// glyph settings (the opacity one of opacities; inversion only on frames
// narrower than 10 pixels when mayInvert). Returns how many of the three
// recoloured something at each thread count.
int walksAgreeOnEachMask(const Frame& source, const std::vector<std::uint8_t>& backdrop,
                         const std::vector<Colour>& panels, testing::Random& rng, unsigned oneIn,
                         const std::array<float, 4>& opacities, bool mayInvert, const std::string& label) {
    enum class Mask { random, empty, full };
    int recoloured = 0;
    const int w = source.width();
    const int h = source.height();
    for (Mask kind : {Mask::random, Mask::empty, Mask::full}) {
        std::vector<std::uint8_t> photo(static_cast<std::size_t>(w) * h, kind == Mask::full ? 1 : 0);
        if (kind == Mask::random) {
            for (auto& m : photo) {
                m = rng() % oneIn == 0 ? 1 : 0;
            }
        }
        Settings s;
        // Inverted, the learned panels are looked up through their
        // complement and the large frame would find no background.
        s.inverted = mayInvert && w < 10 && rng() % 2 == 0;
        s.darkContent = rng() % 2;
        s.backdropBright = rng() % 2;
        s.opacityHigh = rng() % 2;
        s.foregroundOpacity = opacities[rng() % 4];
        SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h) + label + " mask " +
                     std::to_string(static_cast<int>(kind)));
        recoloured += recolouredAtEachThreadCount(source, backdrop, panels, photo, s);
        if (::testing::Test::HasFailure()) {
            break;
        }
    }
    return recoloured;
}

TEST(RecolourForeground, TheVectorWalkGivesTheScalarWalksBytes) {
    // Odd sizes, every thread count, photo masks random, empty and full, and
    // glyph settings that reach the ends of the byte range. The vector walk
    // (where the build has one) against the scalar walk: frame, masks and
    // run colour must be identical.
    testing::Random rng(2024);
    const std::vector<Colour> panels{{250, 250, 250}, {30, 30, 34}, {200, 120, 40}, {0, 0, 0}};
    const std::pair<int, int> sizes[] = {{1, 1}, {3, 7}, {1921, 1081}};
    int recoloured = 0;
    for (auto [w, h] : sizes) {
        const Frame source = textLike(w, h, rng, panels);
        const auto backdrop = noiseBackdrop(source, rng);
        recoloured +=
            walksAgreeOnEachMask(source, backdrop, panels, rng, 7, {1.0f, 0.6f, -1.0f, 2.5f}, true, "");
        ASSERT_FALSE(::testing::Test::HasFailure());
    }
    resetRecolourState();
    resetAnalysisState();
    // Guards against scenes in which nothing happens: the large frame with
    // the random and the empty mask, at each thread count.
    EXPECT_EQ(recoloured, 6);
}

// A background of one colour hazed with pixels close to it but not equal
// (they move the band's average away from the run colour, so that the row
// walk meets many near pixels), crossed by long strokes and short ones that
// start and end anywhere relative to groups of 4, 16 and 64 pixels.
Frame hazed(int w, int h, testing::Random& rng, Colour background) {
    Frame f(w, h, background);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            if (rng() % 3 == 0) {
                const auto shade = [&](std::uint8_t v) {
                    const int moved = v + static_cast<int>(rng() % 201) - 100;
                    return static_cast<std::uint8_t>(std::clamp(moved, 0, 255));
                };
                f.set(x, y, Colour{shade(background.b), shade(background.g), shade(background.r)});
            }
        }
    }
    const int strokes = std::max(1, w * h / 400);
    for (int i = 0; i < strokes; ++i) {
        const int x0 = static_cast<int>(rng() % w);
        const int y0 = static_cast<int>(rng() % h);
        const int len = 1 + static_cast<int>(rng() % (rng() % 4 == 0 ? 150 : 6));
        const auto v = static_cast<std::uint8_t>(rng() % 2 == 0 ? rng() % 60 : 255 - rng() % 40);
        f.fillRect(x0, y0, std::min(w, x0 + len), std::min(h, y0 + 1), Colour{v, v, v});
    }
    return f;
}

TEST(RecolourForeground, TheVectorWalkGivesTheScalarWalksBytesOnHazedBackgrounds) {
    // As above, on frames where most band rows hold pixels close to the run
    // colour but not equal to it, and glyph stretches of every length.
    testing::Random rng(77);
    const std::vector<Colour> panels{{180, 184, 190}, {40, 40, 44}};
    const std::pair<int, int> sizes[] = {{1, 1}, {3, 7}, {67, 45}, {1921, 1081}};
    int recoloured = 0;
    for (auto [w, h] : sizes) {
        const Frame source = hazed(w, h, rng, panels[0]);
        const auto backdrop = noiseBackdrop(source, rng);
        recoloured +=
            walksAgreeOnEachMask(source, backdrop, panels, rng, 11, {1.0f, 0.35f, -1.0f, 3.0f}, false, "");
        ASSERT_FALSE(::testing::Test::HasFailure());
    }
    resetRecolourState();
    resetAnalysisState();
    // The two larger frames with the random and the empty mask recolour
    // something at each thread count.
    EXPECT_GE(recoloured, 12);
}

// A page of one colour whose rows hold up to three stretches of noise, each
// pixel of any colour: glyph stretches of 1 to 300 pixels that cross the
// 64-pixel words of the row walk anywhere, with light and dark pixels mixed
// in every proportion (ties included), split where a noise pixel happens to
// lie close to the band's colour.
Frame noiseStretches(int w, int h, testing::Random& rng, Colour page) {
    Frame f(w, h, page);
    for (int y = 0; y < h; ++y) {
        const int stretches = static_cast<int>(rng() % 4);
        for (int i = 0; i < stretches; ++i) {
            const int x0 = static_cast<int>(rng() % w);
            const int len = 1 + static_cast<int>(rng() % (rng() % 3 == 0 ? 300 : 8));
            for (int x = x0; x < std::min(w, x0 + len); ++x) {
                f.set(x, y,
                      Colour{static_cast<std::uint8_t>(rng()), static_cast<std::uint8_t>(rng()),
                             static_cast<std::uint8_t>(rng())});
            }
        }
    }
    return f;
}

TEST(RecolourForeground, TheVectorWalkTalliesNoiseStretchesAsTheScalarWalk) {
    testing::Random rng(4242);
    const std::vector<Colour> pages{{200, 196, 190}, {60, 64, 70}};
    const std::pair<int, int> sizes[] = {{1, 1}, {3, 7}, {1921, 1081}};
    int recoloured = 0;
    for (auto [w, h] : sizes) {
        for (const Colour& page : pages) {
            const Frame source = noiseStretches(w, h, rng, page);
            const auto backdrop = noiseBackdrop(source, rng);
            recoloured += walksAgreeOnEachMask(source, backdrop, {page}, rng, 13, {1.0f, 0.7f, -1.0f, 2.0f},
                                               false, " page " + std::to_string(page.b));
            ASSERT_FALSE(::testing::Test::HasFailure());
        }
    }
    resetRecolourState();
    resetAnalysisState();
    // The large frame on both pages with the random and the empty mask, at
    // each thread count.
    EXPECT_EQ(recoloured, 12);
}

TEST(RecolourForeground, BackgroundGroupsFarFromTheBandAverageAreStillRecoloured) {
    // One pixel in eight is the learned colour (in aligned groups of
    // sixteen), the rest a lighter grey within 100 of it: the band's average
    // moves more than 50 away from the run colour, so the groups of the run
    // colour itself become glyphs. The vector walk must read them again.
    testing::Random rng(5);
    const std::vector<Colour> learned{{100, 100, 100}};
    for (auto [w, h] : {std::pair{301, 45}, std::pair{1921, 1081}}) {
        Frame source(w, h, Colour{165, 165, 165});
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; x += 128) {
                source.fillRect(x, y, std::min(w, x + 16), y + 1, learned[0]);
            }
        }
        const auto backdrop = noiseBackdrop(source, rng);
        const std::vector<std::uint8_t> photo(static_cast<std::size_t>(w) * h, 0);
        for (int threads : {1, 2, 3}) {
            SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h) + " threads " + std::to_string(threads));
            Settings s;
            s.threads = threads;
            ASSERT_TRUE(selectRecolourKernel(RecolourKernel::scalar));
            const Recoloured scalar = recolour(source, backdrop, learned, photo, s);
            selectRecolourKernel(RecolourKernel::automatic);
            const Recoloured vector = recolour(source, backdrop, learned, photo, s);
            ASSERT_TRUE(vector.frame == scalar.frame);
            ASSERT_EQ(vector.region, scalar.region);
            EXPECT_GT(std::abs(scalar.run.b - 100), 50) << "the average left the run colour";
            EXPECT_FALSE(scalar.frame == source);
        }
    }
    resetRecolourState();
    resetAnalysisState();
}

TEST(RecolourForeground, KernelChoiceFallsBackToScalarOnlyWhenUnavailable) {
    EXPECT_TRUE(selectRecolourKernel(RecolourKernel::scalar));
    EXPECT_TRUE(selectRecolourKernel(RecolourKernel::automatic));
#if (defined(__SSE2__) || defined(_M_X64)) && !defined(KESTRA_NO_SIMD)
    EXPECT_TRUE(selectRecolourKernel(RecolourKernel::sse2));
#else
    EXPECT_FALSE(selectRecolourKernel(RecolourKernel::sse2));
#endif
    resetRecolourState();
}

TEST(RecolourBand, AOnePixelSegmentIsADarkGlyph) {
    // On a dark page a light grey pixel alone is still treated as dark: with
    // the window's content kept light it is complemented back to black.
    Settings s;
    s.opacityHigh = true;
    const Recoloured r = bandWith({{120, 120, 120}}, {30, 30, 30}, 90, s);
    EXPECT_LE(r.frame.colour(12, 6).b, 1);
    // Two light pixels make a light glyph, which is not complemented.
    const Recoloured two = bandWith({{120, 120, 120}, {120, 120, 120}}, {30, 30, 30}, 90, s);
    EXPECT_GE(two.frame.colour(12, 6).b, 254);
}

TEST(RecolourBand, AWhitePixelAloneBecomesBlackWithFullAlpha) {
    for (float opacity : {1.0f, 0.5f}) {
        Settings s;
        s.foregroundOpacity = opacity;
        const Recoloured r = bandWith({{255, 255, 255}}, {100, 100, 100}, 77, s);
        EXPECT_EQ(r.frame.colour(12, 6), (Colour{0, 0, 0})) << opacity;
        s.backdropBright = true;  // complemented again after scaling
        const Recoloured bright = bandWith({{255, 255, 255}}, {100, 100, 100}, 77, s);
        EXPECT_EQ(bright.frame.colour(12, 6), (Colour{255, 255, 255})) << opacity;
    }
}

TEST(RecolourBand, BlendsOutsideTheByteRangeAreHeldAtItsEnds) {
    // A negative opacity pushes the mix past both ends of the byte range.
    Settings s;
    s.foregroundOpacity = -1.0f;
    const std::vector<Colour> glyph{{0, 0, 0}, {100, 100, 100}};
    const Recoloured high = bandWith(glyph, kPage, 255, s);
    EXPECT_EQ(high.frame.colour(12, 6), (Colour{255, 255, 255}));
    EXPECT_EQ(high.frame.colour(13, 6), (Colour{255, 255, 255}));  // 255 * 1.6 - 155 * 0.6: held at 255
    const Recoloured low = bandWith(glyph, kPage, 0, s);
    EXPECT_EQ(low.frame.colour(12, 6), (Colour{0, 0, 0}));  // -255: held at 0
    EXPECT_EQ(low.frame.colour(13, 6), (Colour{0, 0, 0}));
}

TEST(RecolourBand, EveryWorkerCountGivesTheSameBytes) {
    // Bands large enough to be split among the workers, with row counts that
    // do not divide evenly.
    testing::Random rng(91);
    Frame source = textLike(257, 203, rng, {{250, 250, 250}});
    std::vector<std::uint8_t> backdrop = noiseBackdrop(source, rng);
    for (auto [top, bottom] : {std::pair{0, 202}, std::pair{5, 106}, std::pair{17, 18}}) {
        std::vector<Frame> results;
        std::vector<std::vector<std::uint8_t>> masks;
        for (int threads : {1, 2, 3, 4}) {
            Frame f = source;
            Analyzer a(f);
            ASSERT_EQ(a->allocateGlassBuffers(), 0);
            a->threadCount = threads;
            a->backdropImage = testing::heapCopyOf(backdrop);
            std::fill(a->visitedMask.get(), a->visitedMask.get() + a->pixelCount, std::uint8_t{0});
            runColour = RunColour{250, 250, 250};
            a->recolourBand(top * a->rowBytes, bottom * a->rowBytes, 4, a->lastPixelOffset - 8);
            results.push_back(f);
            masks.emplace_back(a->regionMask.get(), a->regionMask.get() + a->pixelCount);
            masks.back().insert(masks.back().end(), a->visitedMask.get(),
                                a->visitedMask.get() + a->pixelCount);
        }
        for (std::size_t i = 1; i < results.size(); ++i) {
            EXPECT_TRUE(results[i] == results[0])
                << "rows " << top << ".." << bottom << ", " << i + 1 << " workers";
            EXPECT_EQ(masks[i], masks[0]) << "rows " << top << ".." << bottom << ", " << i + 1 << " workers";
        }
        EXPECT_FALSE(results[0] == source);
    }
    resetAnalysisState();
}

TEST(RecolourBand, RejectsBandsOutsideTheFrame) {
    Frame f(10, 10, kPage);
    const Frame before = f;
    std::vector<std::uint8_t> backdrop(f.size(), 5);
    Analyzer a(f);
    ASSERT_EQ(a->allocateGlassBuffers(), 0);
    a->backdropImage = testing::heapCopyOf(backdrop);
    runColour = RunColour{0, 0, 0};
    std::fill(a->visitedMask.get(), a->visitedMask.get() + a->pixelCount, std::uint8_t{0});
    a->recolourBand(0, a->lastRowOffset + a->rowBytes, 0, 36);
    a->recolourBand(0, a->lastRowOffset, 0, a->rowBytes);
    a->recolourBand(-a->rowBytes, 0, 0, 36);
    a->recolourBand(a->rowBytes, 0, 0, 36);
    EXPECT_TRUE(f == before);
    // A band inside the frame works.
    a->recolourBand(0, a->lastRowOffset, 0, a->lastPixelOffset);
    EXPECT_FALSE(f == before);
    resetAnalysisState();
    EXPECT_EQ(runColour.b + runColour.g + runColour.r, 0);
}

}  // namespace
}  // namespace kestra
