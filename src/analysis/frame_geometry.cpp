// Geometry of the current frame and the analyzer's work buffers.

#include <algorithm>
#include <cstdint>

#include "analysis/frame_analyzer.h"
#include "platform/heap.h"
#include "platform/win32.h"

namespace kestra {

namespace {

// Every walk adds at most a few step sizes to an offset inside the frame, so
// keeping the frame and the step byte forms well below 2^31 keeps all offset
// arithmetic inside a 32-bit int.
constexpr std::int64_t kMaxFrameBytes = std::int64_t{1} << 29;
constexpr std::int64_t kMaxStepBytes = std::int64_t{1} << 28;

// A step below 1 would make the grid walks stand still. A step longer than
// both frame sides visits exactly the positions that a step of the longer side
// visits (one grid point per walk), so capping it there changes no result and
// keeps its byte forms small.
std::int32_t clampStep(std::int32_t step, std::int32_t width, std::int32_t height) {
    const std::int32_t longest = std::max({width, height, 1});
    return std::clamp(step, 1, longest);
}

std::int32_t truncatedProduct(std::int32_t value, double factor) {
    return static_cast<std::int32_t>(static_cast<double>(value) * factor);
}

}  // namespace

int FrameAnalyzer::configureGeometry() {
    RECT desktop{};
    std::int32_t extent = 0;  // unreadable desktop: finest steps
    if (GetWindowRect(GetDesktopWindow(), &desktop)) {
        extent = desktop.right + desktop.bottom;
    }
    return configureGeometryFor(extent);
}

int FrameAnalyzer::configureGeometryFor(std::int32_t desktopExtent) {
    const std::int32_t w = std::max(width, 0);
    const std::int32_t h = std::max(height, 0);
    const std::int64_t frameBytes = std::int64_t{w} * h * 4;
    const bool sizeUsable = w > 0 && h > 0 && frameBytes <= kMaxFrameBytes;

    if (sizeUsable) {
        rowBytes = w * 4;
        lastRowOffset = (h - 1) * rowBytes;
        lastPixelOffset = rowBytes - 4;
        pixelCount = w * h;
        byteSize = pixelCount * 4;
    } else {
        rowBytes = 0;
        lastRowOffset = 0;
        lastPixelOffset = 0;
        pixelCount = 0;
        byteSize = 0;
    }

    sampleStep = clampStep(truncatedProduct(desktopExtent, 0.0093720712277413), w, h);
    probeStep = clampStep(truncatedProduct(desktopExtent, 0.0028116213683224), w, h);
    const bool stepsUsable = std::int64_t{rowBytes} * sampleStep <= kMaxStepBytes &&
                             std::int64_t{rowBytes} * probeStep * 4 <= kMaxStepBytes;
    if (stepsUsable) {
        sampleRowBytes = rowBytes * sampleStep;
        probeRowBytes = rowBytes * probeStep;
        scanRowBytes = probeRowBytes * 4;
    } else {
        sampleRowBytes = 0;
        probeRowBytes = 0;
        scanRowBytes = 0;
    }
    sampleColumnBytes = sampleStep * 4;
    probeColumnBytes = probeStep * 4;
    scanColumnBytes = probeColumnBytes * 4;

    // Limits other than the default margin are kept inside the frame, so that
    // a scan bound never lies beyond its last row or last pixel.
    const std::int32_t lastRow = std::max(h - 1, 0);
    const std::int32_t lastColumn = std::max(w - 1, 0);
    scanTop = limitTop == -1 ? 4 * rowBytes : std::clamp(limitTop, 0, lastRow) * rowBytes;
    scanBottom =
        limitBottom == -1 ? lastRowOffset - 4 * rowBytes : std::clamp(limitBottom, 0, lastRow) * rowBytes;
    scanLeft = limitLeft == -1 ? 32 : std::clamp(limitLeft, 0, lastColumn) * 4;
    scanRight = limitRight == -1 ? rowBytes - 32 : std::clamp(limitRight, 0, lastColumn) * 4;

    frameInverted = 0;

    // recolourMask views the mask released here.
    if (recolourMask == regionMask.get()) {
        recolourMask = nullptr;
    }
    regionMask.reset();
    if (!sizeUsable || !stepsUsable) {
        return -1;
    }
    regionMask = heapAllocate(static_cast<std::size_t>(pixelCount), true);
    return regionMask != nullptr ? 0 : -1;
}

int FrameAnalyzer::allocateGlassBuffers() {
    // A second call without a release in between must not leak the first set.
    releaseGlassBuffers();
    verticalTolerance = static_cast<std::int32_t>(static_cast<double>(height) * 0.037037037037037035);
    contentOpacityComplement = 1.0f - contentOpacity;
    photoOpacityComplement = 1.0f - photoOpacity;
    foregroundOpacityComplement = 1.0f - foregroundOpacity;

    if (regionMask == nullptr || pixelCount <= 0) {
        return -1;
    }
    // Recolouring copies the region mask over it before it reads it, so its
    // first contents do not matter: asked for zeroed, a large block is fresh
    // pages that nothing has to write before that copy.
    visitedMask = heapAllocate(static_cast<std::size_t>(pixelCount), true);
    backgroundColourTable = heapAllocate(kColourTableBytes, true);
    if (visitedMask == nullptr || backgroundColourTable == nullptr) {
        // All or nothing: recolouring needs every one of them.
        releaseGlassBuffers();
        return -1;
    }
    recolourMask = regionMask.get();
    return 0;
}

void FrameAnalyzer::releaseGlassBuffers() {
    recolourMask = nullptr;
    visitedMask.reset();
    backgroundColourTable.reset();
    foregroundBands.clear();
    earlierForegroundBands.clear();
    bandPlainBits.clear();
    foregroundBandsRepeated = false;
}

void FrameAnalyzer::releaseAnalyzer() {
    releaseGlassBuffers();
    seenColourTable.reset();
    regionMask.reset();
}

}  // namespace kestra
