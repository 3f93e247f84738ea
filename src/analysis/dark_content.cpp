// The dark-content test and the block variation test behind photo detection.

#include <algorithm>
#include <cstdint>

#include "analysis/frame_analyzer.h"

namespace kestra {

namespace {

bool sameColour(const std::uint8_t* a, const std::uint8_t* b) {
    return a[0] == b[0] && a[1] == b[1] && a[2] == b[2];
}

}  // namespace

void FrameAnalyzer::measureDarkness() {
    if (frame == nullptr || regionMask == nullptr || sampleRowBytes <= 0 || sampleColumnBytes <= 0) {
        return;
    }
    // Counting in integers and comparing 2 * dark with the sample count is the
    // exact form of "more than half of the samples are dark".
    std::int64_t samples = 0;
    std::int64_t dark = 0;
    for (std::int32_t r = scanTop + sampleRowBytes; r < scanBottom; r += sampleRowBytes) {
        for (std::int32_t c = scanLeft + sampleColumnBytes; c < scanRight; c += sampleColumnBytes) {
            const std::int32_t p = r + c;
            if (regionMask[p / 4] != 0) {
                continue;
            }
            ++samples;
            const std::uint8_t* px = frame + p;
            if ((px[0] + px[1] + px[2]) / 3 < 127) {
                ++dark;
            }
        }
    }
    if (samples > 0) {
        isDarkContent = 2 * dark > samples ? 1 : 0;
    }
}

bool FrameAnalyzer::isTextured(std::int32_t offset, std::int32_t threshold) const {
    // Only pixel offsets inside the frame have a block; anything else (and a
    // geometry that was refused) is not textured.
    if (frame == nullptr || rowBytes <= 0 || probeRowBytes <= 0 || probeColumnBytes <= 0 || offset < 0 ||
        offset >= byteSize || offset % 4 != 0) {
        return false;
    }
    const std::int32_t rowBase = (offset / rowBytes) * rowBytes;
    const std::int32_t column = offset - rowBase;
    const std::int32_t top = rowBase - 2 * probeRowBytes;
    const std::int32_t left = column - 2 * probeColumnBytes;
    if (top < 0 || left < 0) {
        return false;
    }
    const std::int32_t bottom = std::min(top + 3 * probeRowBytes, lastRowOffset);
    const std::int32_t right = std::min(left + 4 * probeColumnBytes, lastPixelOffset);

    std::int32_t score = 0;
    for (std::int32_t r = top; r <= bottom; r += probeRowBytes) {
        const std::uint8_t* previous = frame + r + left;
        for (std::int32_t c = left + probeColumnBytes; c <= right; c += probeColumnBytes) {
            const std::uint8_t* current = frame + r + c;
            if (sameColour(current, previous)) {
                --score;
            } else {
                ++score;
                previous = current;
            }
        }
    }
    return score > threshold;
}

}  // namespace kestra
