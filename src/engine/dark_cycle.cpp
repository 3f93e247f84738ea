// The dark frame cycle: capture the target, decide whether anything needs
// doing, hide the overlay while the target is dark already, otherwise invert
// everything outside photo regions and present the result. frameChanged,
// presentFrame and presentThroughPass are shared with the glass cycle.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "engine/effect_engine.h"
#include "platform/clock.h"
#include "platform/win32.h"

namespace kestra {

// Brings the analyzer, the overlay surface and frameCopy in line with the
// capture's current buffer. Besides a new address, a new size at the same
// address also counts: the analyzer's byteSize must never exceed the buffer.
// Work buffers that could not be made (the region mask, or the overlay
// surface when its DIB section failed) are made again at every cycle until
// they exist. Returns true when the overlay has a new surface, which holds no
// image yet: the cycle must present the frame even when it has not changed.
bool reconfigureForCapture(EffectEngine& engine) {
    MagnifierCapture& capture = engine.mainCapture;
    if (capture.frameBits == nullptr) {
        return false;
    }
    bool newSurface = false;
    const auto width = static_cast<std::int32_t>(capture.frameHeader.width);
    const auto height = static_cast<std::int32_t>(capture.frameHeader.height);
    const bool maskMissing = engine.analyzer.byteSize > 0 && engine.analyzer.regionMask == nullptr;
    if (capture.frameBits != engine.analyzer.frame || width != engine.analyzer.width ||
        height != engine.analyzer.height || maskMissing) {
        engine.configureFrame(width, height, capture.frameBits);
        newSurface = true;
    }
    if (engine.overlay.surfaceBits == nullptr && engine.overlay.byteSize > 0) {
        newSurface = engine.overlay.allocateSurface() == 0 || newSurface;
    }
    return newSurface && engine.overlay.surfaceBits != nullptr;
}

namespace {

// Presents the surface's rows first .. end - 1 and notes whether the window
// shows the whole surface afterwards: a present of some rows keeps it so
// only where it was so already, a failed one leaves the window behind.
bool presentRows(EffectEngine& engine, std::int32_t first, std::int32_t end) {
    const OverlayLayer& overlay = engine.overlay;
    const bool whole = first <= 0 && end >= static_cast<std::int32_t>(overlay.height);
    const bool shown = BitBlt(overlay.windowDC, 0, first, static_cast<int>(overlay.width), end - first,
                              overlay.memoryDC, 0, first, SRCCOPY) != FALSE;
    engine.windowShowsSurface = shown && (whole || surfaceOnScreen(engine));
    engine.windowStamp = overlay.drawingStamp();
    return engine.windowShowsSurface;
}

// Whether the overlay has a surface made for the analyzer's frame (its
// source, size and rows), which a pass can run straight into.
bool surfaceFitsFrame(const EffectEngine& engine) {
    const FrameAnalyzer& analyzer = engine.analyzer;
    const OverlayLayer& overlay = engine.overlay;
    return overlay.surfaceBits != nullptr && overlay.sourceBits != nullptr &&
           overlay.sourceBits == analyzer.frame && overlay.byteSize > 0 &&
           overlay.byteSize == analyzer.byteSize && analyzer.rowBytes > 0 &&
           static_cast<std::int32_t>(overlay.height) == analyzer.height;
}

struct ByteRange {
    std::size_t begin = 0;
    std::size_t end = 0;
};

// The rows first .. end - 1 that hold the bytes [begin, end) of a frame with
// rows of rowBytes (> 0) bytes.
void rowsOfBytes(std::size_t begin, std::size_t end, std::int32_t rowBytes, std::int32_t& firstRow,
                 std::int32_t& endRow) {
    const auto bytes = static_cast<std::size_t>(rowBytes);
    firstRow = static_cast<std::int32_t>(begin / bytes);
    endRow = static_cast<std::int32_t>((end + bytes - 1) / bytes);
}

// Compares frame with copy block by block from the start up to the first
// block that differs and from the end back to the last one, and (with
// takeOver) copies frame over copy between the two (the bytes outside are
// equal already). Returns that range, empty when nothing differed: one walk
// instead of a compare and then a copy of the whole frame, and the rows a
// change touched.
ByteRange compareAndCopy(std::uint8_t* copy, const std::uint8_t* frame, std::size_t bytes,
                         bool takeOver = true) {
    constexpr std::size_t kBlock = 4096;
    std::size_t begin = 0;
    while (begin < bytes && std::memcmp(frame + begin, copy + begin, std::min(kBlock, bytes - begin)) == 0) {
        begin += kBlock;
    }
    if (begin >= bytes) {
        return {};
    }
    // The last block may be short; the blocks before it all start at
    // multiples of kBlock.
    std::size_t end = bytes;
    std::size_t at = (bytes - 1) / kBlock * kBlock;
    while (at > begin && std::memcmp(frame + at, copy + at, end - at) == 0) {
        end = at;
        at -= kBlock;
    }
    if (takeOver) {
        std::memcpy(copy + begin, frame + begin, end - begin);
    }
    return ByteRange{begin, end};
}

// Inverts the frame into the overlay surface and presents it. When the
// surface holds the inversion of the frame as it was (inStep) and the photo
// regions came out the same, only the rows of the change can differ: those
// alone are inverted and presented. Notes whether the surface is in step
// afterwards.
void presentInversion(EffectEngine& engine, bool inStep) {
    engine.glassInStep = false;
    FrameAnalyzer& analyzer = engine.analyzer;
    OverlayLayer& overlay = engine.overlay;
    const bool surfaceHoldsFrame = surfaceFitsFrame(engine);
    // Photo pixels blended with a backdrop (left by glass) are not worth the
    // bookkeeping: the whole frame then goes through.
    const bool changedRowsOnly =
        inStep && surfaceHoldsFrame && analyzer.photoRegionsRepeated && analyzer.backdropImage == nullptr;
    std::int32_t first = 0;
    std::int32_t end = analyzer.height;
    // A cycle with no change of the frame (the colour learning fell due)
    // presents the whole frame, as it always has.
    if (changedRowsOnly && engine.changedEnd > engine.changedBegin) {
        changedRows(engine, first, end);
    }
    if (surfaceHoldsFrame && runPassIntoRows(analyzer, FramePass::invert, overlay.surfaceBits, first, end)) {
        // A failed BitBlt leaves the window behind the surface: the next
        // change must present every row again.
        engine.surfaceInStep = presentRows(engine, first, end);
        return;
    }
    presentThroughPass(engine, FramePass::invert);
}

}  // namespace

bool EffectEngine::frameChanged() {
    bool learned = false;
    if (elapsedSince(lastColourLearning) >= kColourLearningPeriodMs) {
        analyzer.learnBackgroundColours();
        lastColourLearning = nowMs();
        learned = true;
    }
    changedBegin = 0;
    changedEnd = 0;
    const std::uint8_t* frame = mainCapture.frameBits;
    const std::int32_t size = analyzer.byteSize;
    if (frame == nullptr || size <= 0) {
        return learned;
    }
    if (frameCopy == nullptr) {
        // Without a copy there is nothing to compare with: process every frame
        // rather than freeze the overlay until the next size change.
        changedEnd = static_cast<std::size_t>(size);
        surfaceInStep = false;
        noteActivity();
        return true;
    }
    const ByteRange changed = compareAndCopy(frameCopy.get(), frame, static_cast<std::size_t>(size));
    changedBegin = changed.begin;
    changedEnd = changed.end;
    if (changed.end > changed.begin) {
        // The surface showed the copy's old content.
        surfaceInStep = false;
        noteActivity();
        return true;
    }
    return learned;
}

bool frameRowsChangedSinceCopy(const EffectEngine& engine, std::int32_t& firstRow, std::int32_t& endRow) {
    const FrameAnalyzer& analyzer = engine.analyzer;
    const std::uint8_t* frame = engine.mainCapture.frameBits;
    if (frame == nullptr || engine.frameCopy == nullptr || analyzer.byteSize <= 0 || analyzer.rowBytes <= 0) {
        return false;
    }
    const ByteRange changed =
        compareAndCopy(engine.frameCopy.get(), frame, static_cast<std::size_t>(analyzer.byteSize), false);
    rowsOfBytes(changed.begin, changed.end, analyzer.rowBytes, firstRow, endRow);
    return true;
}

void changedRows(const EffectEngine& engine, std::int32_t& firstRow, std::int32_t& endRow) {
    firstRow = 0;
    endRow = 0;
    if (engine.analyzer.rowBytes > 0) {
        rowsOfBytes(engine.changedBegin, engine.changedEnd, engine.analyzer.rowBytes, firstRow, endRow);
    }
}

bool surfaceOnScreen(const EffectEngine& engine) {
    return engine.windowShowsSurface && engine.windowStamp == engine.overlay.drawingStamp();
}

void EffectEngine::presentFrame() {
    surfaceInStep = false;
    glassInStep = false;
    if (overlay.surfaceBits == nullptr || overlay.sourceBits == nullptr || overlay.byteSize <= 0) {
        return;
    }
    std::memcpy(overlay.surfaceBits, overlay.sourceBits, static_cast<std::size_t>(overlay.byteSize));
    presentRows(*this, 0, static_cast<std::int32_t>(overlay.height));
}

bool presentThroughPass(EffectEngine& engine, FramePass pass, std::int32_t firstRow, std::int32_t endRow) {
    engine.surfaceInStep = false;
    FrameAnalyzer& analyzer = engine.analyzer;
    const OverlayLayer& overlay = engine.overlay;
    const bool surfaceHoldsFrame = surfaceFitsFrame(engine);
    const bool everyRow = firstRow <= 0 && endRow >= analyzer.height;
    if (surfaceHoldsFrame && surfaceOnScreen(engine)) {
        // The window shows the surface, which holds the last result: only
        // the rows whose result differs are written and presented (none at
        // all when the result came out the same).
        RowSpan changed;
        if (runPassIntoChangedRows(analyzer, pass, overlay.surfaceBits, changed, firstRow, endRow)) {
            if (changed.end > changed.first) {
                presentRows(engine, changed.first, changed.end);
            }
            return true;
        }
    }
    if (!everyRow) {
        return false;
    }
    if (surfaceHoldsFrame && runPassInto(analyzer, pass, overlay.surfaceBits)) {
        presentRows(engine, 0, static_cast<std::int32_t>(overlay.height));
        return true;
    }
    switch (pass) {
        case FramePass::invert:
            analyzer.invertPass();
            break;
        case FramePass::copyBackdrop:
            analyzer.copyBackdropPass();
            break;
        case FramePass::blendBackdrop:
            analyzer.blendBackdropPass();
            break;
    }
    engine.presentFrame();
    return false;
}

void EffectEngine::darkCycle() {
    // A failed capture leaves the buffer holding the frame this cycle already
    // processed in place; going on would process it a second time (and, for
    // the inversion, show the target's own colours). Keep the last image.
    if (mainCapture.captureFrame() == CaptureResult::noFrame) {
        return;
    }
    const bool newSurface = reconfigureForCapture(*this);
    const bool inStep = surfaceInStep && surfaceOnScreen(*this) && !newSurface;
    if (!frameChanged() && !newSurface) {
        return;
    }
    if (darkEnabled) {
        if (elapsedSince(lastDarknessTest) > kDarknessTestPeriodMs) {
            analyzer.measureDarkness();
            if (analyzer.isDarkContent != 0) {
                if (!overlayHiddenDark) {
                    ShowWindow(overlay.layerWindow, SW_HIDE);
                    overlayHiddenDark = true;
                }
            } else if (overlayHiddenDark) {
                overlay.showLayer();
                overlayHiddenDark = false;
            }
            lastDarknessTest = nowMs();
        }
        if (overlayHiddenDark) {
            return;
        }
        analyzer.detectPhotoRegions();
        presentInversion(*this, inStep);
        return;
    }
    presentFrame();
}

}  // namespace kestra
