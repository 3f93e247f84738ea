// The dark frame cycle: capture the target, decide whether anything needs
// doing, hide the overlay while the target is dark already, otherwise invert
// everything outside photo regions and present the result. frameChanged and
// presentFrame are shared with the glass cycle.
#include <cstdint>
#include <cstring>

#include "engine/effect_engine.h"
#include "platform/clock.h"
#include "platform/win32.h"

namespace kestra {

// Brings the analyzer, the overlay surface and frameCopy in line with the
// capture's current buffer. Besides a new address, a new size at the same
// address also counts: the analyzer's byteSize must never exceed the buffer.
void reconfigureForCapture(EffectEngine& engine) {
    MagnifierCapture& capture = engine.mainCapture;
    if (capture.frameBits == nullptr) {
        return;
    }
    const auto width = static_cast<std::int32_t>(capture.frameHeader.width);
    const auto height = static_cast<std::int32_t>(capture.frameHeader.height);
    if (capture.frameBits != engine.analyzer.frame || width != engine.analyzer.width ||
        height != engine.analyzer.height) {
        engine.configureFrame(width, height, capture.frameBits);
    }
}

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
        return true;
    }
    const auto bytes = static_cast<std::size_t>(size);
    if (std::memcmp(frame, frameCopy.get(), bytes) != 0) {
        std::memcpy(frameCopy.get(), frame, bytes);
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

void EffectEngine::darkCycle() {
    // A failed capture leaves the buffer holding the frame this cycle already
    // processed in place; going on would process it a second time (and, for
    // the inversion, show the target's own colours). Keep the last image.
    if (mainCapture.captureFrame() < 0) {
        return;
    }
    reconfigureForCapture(*this);
    if (!frameChanged()) {
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
                ShowWindow(overlay.layerWindow, SW_SHOWNOACTIVATE);
                overlayHiddenDark = false;
            }
            lastDarknessTest = nowMs();
        }
        if (overlayHiddenDark) {
            return;
        }
        analyzer.detectPhotoRegions();
        analyzer.invertPass();
    }
    presentFrame();
}

}  // namespace kestra
