// Background colour learning: colours that fill long straight stretches of
// the frame are window backgrounds. They are recorded exactly in
// seenColourTable and, while glass runs, with a small neighbourhood in
// backgroundColourTable.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "analysis/frame_analyzer.h"

namespace kestra {

RunColour runColour;

void resetAnalysisState() {
    runColour = RunColour{};
}

namespace {

// Equal pixels a line must hold in a row before their colour counts as a
// background colour.
constexpr std::int32_t kRunToLearn = 200;

// A learned colour whose marking waits: the line that found it and the pixel.
struct DeferredMark {
    std::int32_t line;
    const std::uint8_t* pixel;
};

// One line of the walk: a reference colour and how many pixels in a row of
// the line have shown it. A line either marks what it learns at once or, when
// several lines are walked side by side, hands it to a list kept in line order.
class LineRun {
  public:
    LineRun(FrameAnalyzer& analyzer, const std::uint8_t* first, std::vector<DeferredMark>* deferred = nullptr,
            std::int32_t line = 0)
        : analyzer_(&analyzer), reference_(first), deferred_(deferred), line_(line) {}

    void visit(const std::uint8_t* pixel) {
        if (pixel[0] == reference_[0] && pixel[1] == reference_[1] && pixel[2] == reference_[2]) {
            if (++count_ == kRunToLearn) {
                if (deferred_ != nullptr) {
                    deferred_->push_back(DeferredMark{line_, reference_});
                } else {
                    analyzer_->markBackgroundColour(reference_);
                }
                count_ = 1;
            }
        } else {
            reference_ = pixel;
            count_ = 1;
        }
    }

  private:
    FrameAnalyzer* analyzer_;
    const std::uint8_t* reference_;
    std::vector<DeferredMark>* deferred_;
    std::int32_t line_;
    std::int32_t count_ = 1;
};

}  // namespace

void FrameAnalyzer::learnBackgroundColours() {
    // The walks use width and height; they must match the configured
    // geometry (and so the frame) or nothing is read.
    if (frame == nullptr || width <= 0 || height <= 0 || rowBytes != width * 4 ||
        lastRowOffset != (height - 1) * rowBytes) {
        return;
    }
    const auto at = [this](std::int32_t x, std::int32_t y) { return frame + y * rowBytes + x * 4; };

    // 1. From the left edge, right and one row down every 32 columns.
    for (std::int32_t y0 = 0; y0 < height; y0 += 4) {
        LineRun line(*this, at(0, y0));
        std::int32_t y = y0;
        for (std::int32_t x = 1; x < width; ++x) {
            if (x % 32 == 0 && ++y >= height) {
                break;
            }
            line.visit(at(x, y));
        }
    }

    // 2. From the top edge, right and one row down every 32 steps.
    for (std::int32_t x0 = 128; x0 < width; x0 += 128) {
        LineRun line(*this, at(x0, 0));
        std::int32_t y = 0;
        for (std::int32_t k = 1; x0 + k < width; ++k) {
            if (k % 32 == 0 && ++y >= height) {
                break;
            }
            line.visit(at(x0 + k, y));
        }
    }

    // 3. Downward from the top edge, one column left every 32 rows. Line L
    // starts at x0 = width - 1 - 4L. All lines share the leftward shift i
    // (one per 32 rows), so they are walked side by side, one frame row at a
    // time, instead of one column-like line after the other through the
    // whole frame. Marking order decides which neighbourhoods are added, so
    // what they learn is marked afterwards in the order of the lines.
    if (height > 2) {
        const std::int32_t lineCount = (width - 1) / 4 + 1;
        std::vector<LineRun> lines;
        lines.reserve(static_cast<std::size_t>(lineCount));
        std::vector<DeferredMark> learned;
        for (std::int32_t line = 0; line < lineCount; ++line) {
            lines.emplace_back(*this, at(width - 1 - 4 * line, 0), &learned, line);
        }
        std::int32_t running = lineCount;  // lines 0 .. running - 1 go on
        std::int32_t i = 0;
        for (std::int32_t y = 1; y < height - 1 && running > 0; ++y) {
            if (y % 32 == 0) {
                ++i;
                // A line ends when i reaches its x0, so that its column never
                // goes below 0; the lines further left end first.
                while (running > 0 && width - 1 - 4 * (running - 1) <= i) {
                    --running;
                }
            }
            const std::uint8_t* start = at(width - 1 - i, y);
            for (std::int32_t line = 0; line < running; ++line) {
                lines[static_cast<std::size_t>(line)].visit(start - 16 * line);
            }
        }
        std::stable_sort(learned.begin(), learned.end(),
                         [](const DeferredMark& a, const DeferredMark& b) { return a.line < b.line; });
        for (const DeferredMark& mark : learned) {
            markBackgroundColour(mark.pixel);
        }
    }

    // 4. Downward from the right edge, one column left every 32 rows.
    for (std::int32_t y0 = 128; y0 < height; y0 += 128) {
        LineRun line(*this, at(width - 1, y0));
        std::int32_t i = 0;
        for (std::int32_t k = 1; y0 + k < height; ++k) {
            if (k % 32 == 0 && ++i >= width) {
                break;
            }
            line.visit(at(width - 1 - i, y0 + k));
        }
    }
}

void FrameAnalyzer::markBackgroundColour(const std::uint8_t* pixel) {
    const std::uint32_t key = colourKey(pixel);
    if (seenColourTable != nullptr) {
        flagColour(seenColourTable.get(), key);
    }
    if (backgroundColourTable == nullptr || colourFlagged(backgroundColourTable.get(), key)) {
        return;
    }
    // The neighbourhood reaches 10 below and 3 above each channel.
    const auto low = [](std::uint8_t v) { return static_cast<std::uint32_t>(std::max(v - 10, 0)); };
    const auto high = [](std::uint8_t v) { return static_cast<std::uint32_t>(std::min(v + 3, 255)); };
    for (std::uint32_t b0 = low(pixel[0]); b0 <= high(pixel[0]); ++b0) {
        for (std::uint32_t b1 = low(pixel[1]); b1 <= high(pixel[1]); ++b1) {
            const std::uint32_t base = (b0 << 16) + (b1 << 8);
            flagColourRange(backgroundColourTable.get(), base + low(pixel[2]), base + high(pixel[2]));
        }
    }
}

void flagColourRange(std::uint8_t* table, std::uint32_t first, std::uint32_t last) {
    std::uint32_t key = first;
    // Single bits up to a byte boundary, whole bytes, then the last bits.
    while (key <= last && (key & 7u) != 0) {
        flagColour(table, key++);
    }
    if (key + 7 <= last) {
        const std::uint32_t bytes = (last + 1 - key) / 8;
        std::memset(table + key / 8, 0xFF, bytes);
        key += bytes * 8;
    }
    while (key <= last) {
        flagColour(table, key++);
    }
}

}  // namespace kestra
