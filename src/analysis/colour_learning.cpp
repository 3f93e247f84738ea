// Background colour learning: colours that fill long straight stretches of
// the frame are window backgrounds. They are recorded exactly in
// seenColourTable and, while glass runs, with a small neighbourhood in
// backgroundColourTable.

#include <algorithm>
#include <cstdint>

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

// One line of the walk: a reference colour and how many pixels in a row of
// the line have shown it.
class LineRun {
  public:
    LineRun(FrameAnalyzer& analyzer, const std::uint8_t* first) : analyzer_(analyzer), reference_(first) {}

    void visit(const std::uint8_t* pixel) {
        if (pixel[0] == reference_[0] && pixel[1] == reference_[1] && pixel[2] == reference_[2]) {
            if (++count_ == kRunToLearn) {
                analyzer_.markBackgroundColour(reference_);
                count_ = 1;
            }
        } else {
            reference_ = pixel;
            count_ = 1;
        }
    }

  private:
    FrameAnalyzer& analyzer_;
    const std::uint8_t* reference_;
    std::int32_t count_ = 1;
};

}  // namespace

void FrameAnalyzer::learnBackgroundColours() {
    if (frame == nullptr || width <= 0 || height <= 0 || rowBytes != width * 4) {
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

    // 3. Downward from the top edge, one column left every 32 rows.
    if (height > 2) {
        for (std::int32_t x0 = width - 1; x0 >= 0; x0 -= 4) {
            LineRun line(*this, at(x0, 0));
            std::int32_t i = 0;
            for (std::int32_t y = 1; y < height - 1; ++y) {
                // Column x0 - i never goes below 0.
                if (y % 32 == 0 && ++i >= x0) {
                    break;
                }
                line.visit(at(x0 - i, y));
            }
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
        seenColourTable[key] = 1;
    }
    if (backgroundColourTable == nullptr || backgroundColourTable[key] != 0) {
        return;
    }
    // The neighbourhood reaches 10 below and 3 above each channel.
    const auto low = [](std::uint8_t v) { return static_cast<std::uint32_t>(std::max(v - 10, 0)); };
    const auto high = [](std::uint8_t v) { return static_cast<std::uint32_t>(std::min(v + 3, 255)); };
    for (std::uint32_t b0 = low(pixel[0]); b0 <= high(pixel[0]); ++b0) {
        for (std::uint32_t b1 = low(pixel[1]); b1 <= high(pixel[1]); ++b1) {
            std::uint8_t* entry = backgroundColourTable + (b0 << 16) + (b1 << 8);
            std::fill(entry + low(pixel[2]), entry + high(pixel[2]) + 1, std::uint8_t{1});
        }
    }
}

}  // namespace kestra
