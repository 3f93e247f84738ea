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

// Compares frame with copy block by block; from the first block that differs
// on, copies frame over copy (the bytes before it are equal already).
// Returns whether anything differed. One walk instead of a compare and then a
// copy of the whole frame.
bool compareAndCopy(std::uint8_t* copy, const std::uint8_t* frame, std::size_t bytes) {
    constexpr std::size_t kBlock = 4096;
    for (std::size_t at = 0; at < bytes; at += kBlock) {
        const std::size_t length = std::min(kBlock, bytes - at);
        if (std::memcmp(frame + at, copy + at, length) != 0) {
            std::memcpy(copy + at, frame + at, bytes - at);
            return true;
        }
    }
    return false;
}

}  // namespace

bool EffectEngine::frameChanged() {
    bool learned = false;
    if (elapsedSince(lastColourLearning) >= kColourLearningPeriodMs) {
        analyzer.learnBackgroundColours();
        lastColourLearning = nowMs();
        learned = true;
    }
    const std::uint8_t* frame = mainCapture.frameBits;
    const std::int32_t size = analyzer.byteSize;
    if (frame == nullptr || size <= 0) {
        return learned;
    }
    if (frameCopy == nullptr) {
        // Without a copy there is nothing to compare with: process every frame
        // rather than freeze the overlay until the next size change.
        noteActivity();
        return true;
    }
    if (compareAndCopy(frameCopy.get(), frame, static_cast<std::size_t>(size))) {
        noteActivity();
        return true;
    }
    return learned;
}

void EffectEngine::presentFrame() {
    if (overlay.surfaceBits == nullptr || overlay.sourceBits == nullptr || overlay.byteSize <= 0) {
        return;
    }
    std::memcpy(overlay.surfaceBits, overlay.sourceBits, static_cast<std::size_t>(overlay.byteSize));
    BitBlt(overlay.windowDC, 0, 0, static_cast<int>(overlay.width), static_cast<int>(overlay.height),
           overlay.memoryDC, 0, 0, SRCCOPY);
}

void presentThroughPass(EffectEngine& engine, FramePass pass) {
    FrameAnalyzer& analyzer = engine.analyzer;
    const OverlayLayer& overlay = engine.overlay;
    const bool surfaceHoldsFrame = overlay.surfaceBits != nullptr && overlay.sourceBits != nullptr &&
                                   overlay.sourceBits == analyzer.frame && overlay.byteSize > 0 &&
                                   overlay.byteSize == analyzer.byteSize;
    if (surfaceHoldsFrame && runPassInto(analyzer, pass, overlay.surfaceBits)) {
        BitBlt(overlay.windowDC, 0, 0, static_cast<int>(overlay.width), static_cast<int>(overlay.height),
               overlay.memoryDC, 0, 0, SRCCOPY);
        return;
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
}

void EffectEngine::darkCycle() {
    // A failed capture leaves the buffer holding the frame this cycle already
    // processed in place; going on would process it a second time (and, for
    // the inversion, show the target's own colours). Keep the last image.
    if (mainCapture.captureFrame() == CaptureResult::noFrame) {
        return;
    }
    const bool newSurface = reconfigureForCapture(*this);
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
        presentThroughPass(*this, FramePass::invert);
        return;
    }
    presentFrame();
}

}  // namespace kestra
