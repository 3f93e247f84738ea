// The glass frame cycle: keep a blurred, toned image of what lies behind the
// target (live, idle or cut out of a blurred monitor capture while the target
// moves), capture the target, and replace its background with that image while
// text and photos are blended over it.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "engine/effect_engine.h"
#include "platform/clock.h"
#include "platform/cpu_features.h"
#include "platform/win32.h"

#if defined(KESTRA_SIMD_SSE2)
#include <emmintrin.h>
#endif

namespace kestra {

namespace {

constexpr std::uint32_t kColourBytes = 0x00FFFFFFu;  // B, G, R of a little-endian pixel word

inline std::uint32_t loadPixel(const std::uint8_t* p) {
    std::uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline void storePixel(std::uint8_t* p, std::uint32_t v) {
    std::memcpy(p, &v, sizeof v);
}

// Copies B, G and R of count pixels; the fourth byte of each target pixel
// stays. Returns whether any byte of dst changed.
bool copyColourBytes(std::uint8_t* dst, const std::uint8_t* src, std::int32_t count) {
    std::int32_t i = 0;
    std::uint32_t changed = 0;
#if defined(KESTRA_SIMD_SSE2)
    // Four pixels a step, the same masking.
    const __m128i colour = _mm_set1_epi32(static_cast<int>(kColourBytes));
    __m128i differ = _mm_setzero_si128();
    for (; i + 4 <= count; i += 4) {
        const __m128i s = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 4 * i));
        __m128i* at = reinterpret_cast<__m128i*>(dst + 4 * i);
        const __m128i d = _mm_loadu_si128(at);
        differ = _mm_or_si128(differ, _mm_and_si128(colour, _mm_xor_si128(d, s)));
        _mm_storeu_si128(at, _mm_or_si128(_mm_andnot_si128(colour, d), _mm_and_si128(colour, s)));
    }
    changed = _mm_movemask_epi8(_mm_cmpeq_epi8(differ, _mm_setzero_si128())) != 0xFFFF ? 1u : 0u;
#endif
    for (; i < count; ++i) {
        const std::uint32_t s = loadPixel(src + 4 * i);
        const std::uint32_t d = loadPixel(dst + 4 * i);
        changed |= (d ^ s) & kColourBytes;
        storePixel(dst + 4 * i, (d & ~kColourBytes) | (s & kColourBytes));
    }
    return changed != 0;
}

// The inclusive end of a range clipped to [0, limit - 1]: ends beyond the last
// index are pulled back to it; compared unsigned, so a negative end is too.
inline std::int32_t clipEnd(std::int32_t end, std::int32_t limit) {
    return static_cast<std::uint32_t>(end) > static_cast<std::uint32_t>(limit - 1) ? limit - 1 : end;
}

// Cuts the target's part out of the blurred monitor frame into backdropImage.
// Target coordinates are screen coordinates; the monitor frame's first pixel
// is the monitor's top-left corner, so they are taken relative to it. Reads
// stay inside the monitor frame, writes inside backdropImage. A copy that
// changes the image counts as a new backdrop generation.
void copyMonitorPart(EffectEngine& engine) {
    const MagnifierCapture& monitor = engine.monitorCapture;
    std::uint8_t* image = engine.analyzer.backdropImage.get();
    const BackdropBuffer& backdrop = engine.backdropBuffer;
    if (monitor.frameBits == nullptr || image == nullptr || engine.targetRect == nullptr) {
        return;
    }
    const auto monitorWidth = static_cast<std::int32_t>(monitor.frameHeader.width);
    const auto monitorHeight = static_cast<std::int32_t>(monitor.frameHeader.height);
    const std::int32_t monitorStride = monitor.frameStride;
    if (monitorWidth <= 0 || monitorHeight <= 0 || monitorStride < monitorWidth * 4 ||
        static_cast<std::uint64_t>(monitorStride) * static_cast<std::uint32_t>(monitorHeight) >
            monitor.frameHeader.cbSize) {
        return;
    }
    const std::int32_t imageStride = backdrop.rowBytes;
    if (backdrop.width <= 0 || backdrop.height <= 0 || imageStride < backdrop.width * 4) {
        return;
    }
    // backdropImage holds byteSize bytes; never write a row past them.
    const std::int32_t imageRows = std::min(backdrop.height, backdrop.byteSize / imageStride);
    const std::int32_t imageColumns = backdrop.width;

    // followTarget keeps the rectangle the monitor frame was taken from.
    const std::int32_t originLeft = engine.monitorFrameRect.left;
    const std::int32_t originTop = engine.monitorFrameRect.top;
    const RECT& target = *engine.targetRect;
    const std::int32_t left = std::max<std::int32_t>(target.left - originLeft, 0);
    const std::int32_t top = std::max<std::int32_t>(target.top - originTop, 0);
    const std::int32_t right = clipEnd(target.right - originLeft, monitorWidth);
    const std::int32_t bottom = clipEnd(target.bottom - originTop, monitorHeight);
    if (left > right || top > bottom) {
        return;
    }
    const std::int32_t rows = std::min(bottom - top + 1, imageRows);
    const std::int32_t columns = std::min(right - left + 1, imageColumns);
    bool changed = false;
    for (std::int32_t y = 0; y < rows; ++y) {
        const std::uint8_t* src = monitor.frameBits + static_cast<std::size_t>(top + y) * monitorStride +
                                  static_cast<std::size_t>(left) * 4;
        std::uint8_t* dst = image + static_cast<std::size_t>(y) * imageStride;
        changed = copyColourBytes(dst, src, columns) || changed;
    }
    if (changed) {
        ++engine.backdropGeneration;
    }
}

// The inputs of this cycle's glass result besides the frame, the photo
// regions and the bands.
GlassInputs glassInputsOf(const EffectEngine& engine) {
    const FrameAnalyzer& a = engine.analyzer;
    return GlassInputs{
        engine.backdropGeneration, a.contentOpacity,    a.contentOpacityComplement, a.photoOpacity,
        a.photoOpacityComplement,  a.foregroundOpacity, a.backdropBright,           a.isDarkContent,
        a.frameInverted,           a.contentOpacityHigh};
}

}  // namespace

bool EffectEngine::backdropChanged() {
    const std::uint8_t* frame = backdropBuffer.frame;
    const std::int32_t size = backdropBuffer.byteSize;
    // Without a frame or a copy to compare with (a failed prepareGlassFrame,
    // retried at the next new backdrop frame) nothing counts as a change.
    if (frame == nullptr || backdropCopy == nullptr || size <= 0 || backdropBuffer.pixelCount <= 0) {
        return false;
    }
    const auto count = static_cast<std::int32_t>(
        countChangedPixels(frame, backdropCopy.get(), static_cast<std::size_t>(size / 4)));
    const float share = static_cast<float>(count) / static_cast<float>(backdropBuffer.pixelCount);
    const float limit = static_cast<float>(blurRadius) * 0.003921569f;
    if (share * 10.0f > limit) {
        std::memcpy(backdropCopy.get(), frame, static_cast<std::size_t>(size));
        return true;
    }
    return false;
}

void EffectEngine::refreshBackdrop() {
    // Before the backdrop frame is captured anew or the monitor's part laid
    // over the image.
    composePendingBackdrop();
    if (monitorBackdropActive) {
        if (elapsedSince(lastFollow) >= kFollowPeriodMs) {
            endFollowing();
            return;
        }
        copyMonitorPart(*this);
        return;
    }
    if (!backdropIdle) {
        if (backdropCapture.captureFrame() == CaptureResult::noFrame) {
            return;
        }
        syncBackdropFrame();
        if (backdropChanged()) {
            lastBackdropChange = nowMs();
        } else if (elapsedSince(lastBackdropChange) >= kBackdropIdlePeriodMs) {
            backdropIdle = true;
            lastBackdropPoll = nowMs();
        }
        composeBackdrop();
        return;
    }
    if (elapsedSince(lastBackdropPoll) < kBackdropIdlePeriodMs) {
        return;
    }
    if (backdropCapture.captureFrame() != CaptureResult::noFrame) {
        // A frame of a new size comes with a new, still empty backdropImage:
        // compose it even though backdropChanged compares against its fresh
        // copy. Compose once only: it scales the capture's frame in place.
        const bool prepared = syncBackdropFrame();
        if (prepared || backdropChanged()) {
            backdropIdle = false;
            lastBackdropChange = nowMs();
            composeBackdrop();
        }
    }
    lastBackdropPoll = nowMs();
}

void EffectEngine::glassCycle() {
    refreshBackdrop();
    // As in the dark cycle: after a failed capture the buffer holds the frame
    // already processed in place, so this cycle has nothing new to show.
    if (mainCapture.captureFrame() == CaptureResult::noFrame) {
        return;
    }
    const bool newSurface = reconfigureForCapture(*this);
    if ((analyzer.contentOpacityHigh != 0 || glassDarkMode) &&
        elapsedSince(lastDarknessTest) > kDarknessTestPeriodMs) {
        analyzer.measureDarkness();
        glassContentDark = analyzer.isDarkContent != 0;
        lastDarknessTest = nowMs();
    }
    if (!monitorBackdropActive) {
        if (!frameChanged() && backdropIdle && !backdropRecomposed && !newSurface) {
            return;
        }
    }
    // A live backdrop, a recomposed one and the following mode change what
    // the overlay shows on every cycle, as a new target frame does.
    if (monitorBackdropActive || !backdropIdle || backdropRecomposed) {
        noteActivity();
    }
    // What the window shows is the glass result of frameCopy's content
    // (glassInStep): only the rows where the frame differs from it can come
    // out differently, if nothing else that the result depends on changed.
    const bool inStep = glassInStep && !newSurface && !backdropRecomposed && surfaceOnScreen(*this);
    glassInStep = false;
    // The passes read backdropImage at the main frame's offsets: without an
    // image of the frame's size (a failed allocation, or a size change whose
    // backdrop has not followed yet) there is nothing to blend this cycle.
    if (analyzer.backdropImage == nullptr || backdropBuffer.width != analyzer.width ||
        backdropBuffer.height != analyzer.height || backdropBuffer.byteSize < analyzer.byteSize) {
        // frameChanged may have taken this frame into frameCopy already: ask
        // the next cycle to present, once the backdrop has caught up, rather
        // than wait for the next change of the target.
        backdropRecomposed = true;
        return;
    }
    std::int32_t firstRow = 0;
    std::int32_t endRow = 0;
    changedRows(*this, firstRow, endRow);
    // While following, frameCopy does not take the frame: the frame is
    // compared with it here, without taking it over. Not while the target
    // moves (the backdrop image changed since the last result): every row
    // changes then, and the cycle stays out of step until it stops.
    bool rowsKnown = true;
    if (monitorBackdropActive) {
        rowsKnown = backdropGeneration == glassInputs.backdropGeneration &&
                    frameRowsChangedSinceCopy(*this, firstRow, endRow);
    }
    const bool frameIsCopy = !monitorBackdropActive || (rowsKnown && firstRow >= endRow);
    analyzer.detectPhotoRegions();
    if (glassDarkMode && analyzer.contentOpacity != 0.0f && !glassContentDark) {
        analyzer.invertPass();
        analyzer.isDarkContent = 1;
    } else {
        analyzer.frameInverted = 0;
    }
    const GlassInputs inputs = glassInputsOf(*this);
    const bool rowsMayStay = inStep && rowsKnown && inputs == glassInputs && analyzer.photoRegionsRepeated;
    bool changedRowsOnly = false;
    if (rowsMayStay) {
        // The bands decide: found first, they are painted only in the rows
        // of the change when they came out as before.
        analyzer.findForegroundBands();
        changedRowsOnly = analyzer.foregroundBandsRepeated;
        if (!changedRowsOnly) {
            firstRow = 0;
            endRow = analyzer.height;
        }
        analyzer.paintForegroundRows(firstRow, endRow);
    } else {
        firstRow = 0;
        endRow = analyzer.height;
        analyzer.recolourForeground();
    }
    const FramePass pass =
        analyzer.contentOpacity != 0.0f ? FramePass::blendBackdrop : FramePass::copyBackdrop;
    bool surfaceHoldsResult = presentThroughPass(*this, pass, firstRow, endRow);
    if (!surfaceHoldsResult && changedRowsOnly) {
        // The surface could not take the rows alone: all of them, then.
        analyzer.paintForegroundRows(0, firstRow);
        analyzer.paintForegroundRows(endRow, analyzer.height);
        surfaceHoldsResult = presentThroughPass(*this, pass);
    }
    glassInStep = surfaceHoldsResult && frameIsCopy && surfaceOnScreen(*this);
    glassInputs = inputs;
    backdropRecomposed = false;
}

}  // namespace kestra
