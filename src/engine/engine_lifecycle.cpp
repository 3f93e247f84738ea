// The effect engine's lifecycle: attach (overlay, main capture, buffers),
// reconfiguration on frame-size changes, the glass resources (backdrop and
// monitor captures, backdrop image) and their start and stop, following the
// target, and suspend and release.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "backdrop/backdrop_buffer.h"
#include "backdrop/stack_blur.h"
#include "engine/effect_engine.h"
#include "platform/clock.h"
#include "platform/heap.h"
#include "platform/rect.h"
#include "platform/win32.h"
#include "platform/worker_threads.h"

namespace kestra {

namespace {

constexpr double kHighContentOpacity = 0.2;
constexpr std::int32_t kLiftMinimumRadius = 8;
constexpr UINT kFollowFlags = SWP_NOSENDCHANGING | SWP_NOACTIVATE | SWP_NOREDRAW;  // 0x418

void trimWorkingSet() {
    K32EmptyWorkingSet(GetCurrentProcess());
}

// A negative radius (a malformed setting) blurs nothing rather than at the
// largest radius, which is what it would become as an unsigned value.
std::uint32_t blurRadiusOf(std::int32_t radius) {
    return radius > 0 ? static_cast<std::uint32_t>(radius) : 0u;
}

// Releases the backdrop and monitor captures, the backdrop copies and the
// analyzer's glass buffers, whatever glassEnabled says. Safe to repeat: every
// step checks what it releases.
void releaseGlassResources(EffectEngine& engine) {
    engine.backdropCapture.destroyCapture(true);
    engine.monitorCapture.destroyCapture(true);
    engine.analyzer.backdropImage.reset();
    engine.backdropCopy.reset();
    engine.backdropComposePending = false;
    engine.analyzer.releaseGlassBuffers();
    // The monitor frame went with its capture: the following mode must not
    // copy from it any more, and the buffers must not point into it.
    engine.monitorBackdropActive = false;
    engine.monitorBuffer.frame = nullptr;
    engine.backdropBuffer.frame = nullptr;
}

// The glass buffers were just allocated afresh, with an empty table of
// background colours: until it is filled again recolouring finds no
// background and the backdrop pass covers the window's text. Makes the
// learning due, so that the next cycle that compares frames learns, counts the
// frame as changed and presents it. While following, no cycle compares frames
// until the target has been still for a while, so the current frame (just
// captured by whoever reconfigures) is learned here and now.
void relearnBackgroundColours(EffectEngine& engine) {
    if (engine.monitorBackdropActive) {
        engine.analyzer.learnBackgroundColours();
    }
    engine.lastColourLearning = dueStamp(kColourLearningPeriodMs);
}

// While following, the backdrop image is cut out of the monitor frame and the
// backdrop capture is not read: every later use captures it first (the cycle,
// refreshGlass, resizeFrame). Its control is replaced by a fresh one without
// a frame, so that the window does not hold the backdrop and the monitor
// frames at once; backdropBuffer keeps its size and forgets the address, and
// the next capture of the same size only brings the address back.
void releaseBackdropFrame(EffectEngine& engine) {
    if (engine.backdropCapture.hostWindow == nullptr) {
        return;
    }
    if (engine.backdropCapture.renewCapture() == 0) {
        engine.backdropBuffer.frame = nullptr;
        trimWorkingSet();
    }
}

// Undoes a failed attachEngine from step 3 on. A new overlay is destroyed; an
// overlay kept across a suspend is hidden again and kept, so the record stays
// suspended (its handle is still listed in overlayExclusions).
void abandonAttach(EffectEngine& engine, bool createdOverlay) {
    engine.mainCapture.destroyCapture(false);
    engine.analyzer.releaseAnalyzer();
    engine.analyzer.frame = nullptr;
    engine.frameCopy.reset();
    if (createdOverlay) {
        auto& exclusions = engine.mainCapture.exclusions;
        const auto own = std::find(exclusions.begin(), exclusions.end(), engine.overlay.layerWindow);
        if (own != exclusions.end()) {
            exclusions.erase(own);
        }
        engine.overlay.destroyLayer();
        engine.overlay.layerWindow = nullptr;
        engine.overlay.sourceBits = nullptr;
    } else if (!engine.overlayHiddenDark) {
        ShowWindow(engine.overlay.layerWindow, SW_HIDE);
    }
    trimWorkingSet();
}

// Scales the backdrop frame by brightness into backdropImage, measures it,
// blurs it by radius and lifts its dark pixels where the settings ask for it.
void composeBackdropWith(EffectEngine& engine, std::int32_t radius, float brightness,
                         std::uint8_t contentOpacityHigh) {
    BackdropBuffer& backdrop = engine.backdropBuffer;
    std::uint8_t* image = engine.analyzer.backdropImage.get();
    if (backdrop.frame == nullptr || image == nullptr || backdrop.byteSize <= 0) {
        return;
    }
    // Scaled straight into the image (the capture's buffer keeps the frame
    // as captured): the same bytes as scaling in place and copying.
    BackdropBuffer source = backdrop;
    source.backdropBrightness = brightness;
    scaleBrightnessInto(source, image);
    BackdropBuffer scaled = backdrop;
    scaled.frame = image;
    measureBrightness(scaled);
    backdrop.isBright = scaled.isBright;
    engine.analyzer.backdropBright = backdrop.isBright ? 1 : 0;
    stackBlur(image, static_cast<std::uint32_t>(std::max(backdrop.width, 0)),
              static_cast<std::uint32_t>(std::max(backdrop.height, 0)), blurRadiusOf(radius));
    if (contentOpacityHigh == 0 && backdrop.isBright && radius >= kLiftMinimumRadius) {
        liftDarkPixels(image, static_cast<std::uint32_t>(backdrop.byteSize));
    }
    ++engine.backdropGeneration;
}

}  // namespace

AttachResult EffectEngine::attachEngine(bool createOverlay) {
    if (engineAttached) {
        return AttachResult::attached;
    }
    if (createOverlay) {
        overlay.ownerWindow = targetWindow;
        if (overlay.createLayer() != 0) {
            overlay.layerWindow = nullptr;
            return AttachResult::failed;
        }
        mainCapture.exclusions.push_back(overlay.layerWindow);
    } else {
        // Resuming needs the overlay kept across the suspend; an engine that
        // never got one (its attach failed) is attached only by attach itself.
        if (overlay.layerWindow == nullptr) {
            return AttachResult::failed;
        }
        if (!overlayHiddenDark) {
            overlay.showLayer();
        }
    }

    mainCapture.sourceWindow = targetWindow;
    if (mainCapture.createCapture() != 0 || mainCapture.captureFrame() == CaptureResult::noFrame) {
        abandonAttach(*this, createOverlay);
        return AttachResult::failed;
    }
    MagSetWindowFilterList(mainCapture.magnifierWindow, MW_FILTERMODE_EXCLUDE,
                           static_cast<int>(mainCapture.exclusions.size()), mainCapture.exclusions.data());

    analyzer.seenColourTable.reset();
    analyzer.seenColourTable = heapAllocate(kColourTableBytes, true);
    if (analyzer.seenColourTable == nullptr) {
        abandonAttach(*this, createOverlay);
        return AttachResult::failed;
    }
    analyzer.threadCount = workerThreadCount();
    if (configureFrame(static_cast<std::int32_t>(mainCapture.frameHeader.width),
                       static_cast<std::int32_t>(mainCapture.frameHeader.height),
                       mainCapture.frameBits) != 0) {
        abandonAttach(*this, createOverlay);
        return AttachResult::failed;
    }
    lastColourLearning = dueStamp(kColourLearningPeriodMs);
    SetActiveWindow(targetWindow);
    engineAttached = true;
    return AttachResult::attached;
}

int EffectEngine::configureFrame(std::int32_t width, std::int32_t height, std::uint8_t* frame) {
    glassInStep = false;
    analyzer.width = width;
    analyzer.height = height;
    analyzer.frame = frame;
    const int geometry = analyzer.configureGeometry();
    if (glassEnabled) {
        analyzer.releaseGlassBuffers();
        analyzer.allocateGlassBuffers();
        relearnBackgroundColours(*this);
    }
    overlay.width = static_cast<std::uint32_t>(std::max(width, 0));
    overlay.height = static_cast<std::uint32_t>(std::max(height, 0));
    overlay.sourceBits = frame;
    overlay.allocateSurface();
    overlay.byteSize = analyzer.byteSize;

    frameCopy.reset();
    // An empty frame (a target of no width or height) needs no buffers; the
    // cycles skip it until the capture delivers pixels.
    const bool empty = analyzer.byteSize <= 0;
    if (!empty) {
        // While attaching, zeroed: a large heap block is fresh pages, zero
        // without being written, so asking for zeros costs no pass over it.
        // What the copy holds before the first comparison does not matter
        // then: attach makes the colour learning due, so that comparison
        // counts as a change whatever it finds.
        frameCopy = heapAllocate(static_cast<std::size_t>(analyzer.byteSize), !engineAttached);
    }
    trimWorkingSet();
    if (!empty && (frameCopy == nullptr || geometry != 0)) {
        return -1;
    }
    return 0;
}

int EffectEngine::prepareGlassFrame() {
    const MAGIMAGEHEADER& header = backdropCapture.frameHeader;
    backdropBuffer.frame = backdropCapture.frameBits;
    backdropBuffer.width = static_cast<std::int32_t>(header.width);
    backdropBuffer.height = static_cast<std::int32_t>(header.height);
    backdropBuffer.rowBytes = backdropBuffer.width * 4;
    backdropBuffer.pixelCount = backdropBuffer.width * backdropBuffer.height;
    backdropBuffer.lastRowOffset = (backdropBuffer.height - 1) * backdropBuffer.rowBytes;
    backdropBuffer.byteSize = static_cast<std::int32_t>(header.cbSize);
    const auto bytes = static_cast<std::size_t>(std::max(backdropBuffer.byteSize, 0));

    // Both copies are written in full before they are read (the copy here,
    // the image by composeBackdrop), so their first contents do not matter:
    // asked for zeroed, a large block is fresh pages that need no pass
    // before the one that fills them.
    backdropCopy.reset();
    backdropCopy = heapAllocate(bytes, true);
    if (backdropCopy != nullptr && backdropBuffer.frame != nullptr) {
        std::memcpy(backdropCopy.get(), backdropBuffer.frame, bytes);
    }
    analyzer.backdropImage.reset();
    analyzer.backdropImage = heapAllocate(bytes, true);
    ++backdropGeneration;
    if (analyzer.backdropImage == nullptr || backdropCopy == nullptr) {
        // Drop both copies and forget the frame, so that the next backdrop
        // capture counts as new and tries the allocation again.
        analyzer.backdropImage.reset();
        backdropCopy.reset();
        backdropBuffer.frame = nullptr;
        backdropBuffer.width = -1;
        backdropBuffer.height = -1;
        trimWorkingSet();
        return -2;
    }
    trimWorkingSet();
    return 0;
}

bool EffectEngine::syncBackdropFrame() {
    const MagnifierCapture& capture = backdropCapture;
    if (capture.frameBits == backdropBuffer.frame) {
        return false;
    }
    if (static_cast<std::int32_t>(capture.frameHeader.width) == backdropBuffer.width &&
        static_cast<std::int32_t>(capture.frameHeader.height) == backdropBuffer.height) {
        backdropBuffer.frame = capture.frameBits;
        return false;
    }
    return prepareGlassFrame() == 0;
}

GlassStartResult EffectEngine::startGlass() {
    if (glassEnabled) {
        stopGlass(true);
    }
    if (analyzer.allocateGlassBuffers() != 0) {
        releaseGlassResources(*this);
        return GlassStartResult::noGlassBuffers;
    }
    lastDarknessTest = dueStamp(kDarknessTestPeriodMs);
    analyzer.contentOpacityHigh = static_cast<double>(analyzer.contentOpacity) >= kHighContentOpacity ? 1 : 0;
    // Lists filled while glass was off (the wallpaper-only setting stores its
    // exclusions all the same) may name an earlier target or overlay of this
    // slot; the captures created below must leave out the current ones.
    backdropCapture.exclusions.clear();
    monitorCapture.exclusions.clear();
    assignBackdropExclusions();

    // A failing step releases what the earlier ones created: glassEnabled
    // stays clear, so no later stopGlass would.
    GlassStartResult status = GlassStartResult::started;
    if (backdropCapture.createCapture() != 0) {
        status = GlassStartResult::noBackdropCapture;
    } else {
        backdropIdle = true;
        lastBackdropPoll = nowMs();
        if (backdropCapture.captureFrame() == CaptureResult::noFrame) {
            status = GlassStartResult::noBackdropFrame;
        } else if (prepareGlassFrame() != 0) {
            status = GlassStartResult::noGlassBuffers;
        } else {
            // The image is composed by the first cycle that reads it (its
            // blur and the first touch of its pages are most of a start),
            // from this frame and with the settings of now.
            backdropComposePending = true;
            pendingBlurRadius = blurRadius;
            pendingBrightness = backdropBuffer.backdropBrightness;
            pendingContentOpacityHigh = analyzer.contentOpacityHigh;
            savedMonitorRect = *monitorRect;
            savedPlacement = *placement;
            if (monitorCapture.createCapture() != 0) {
                status = GlassStartResult::noMonitorCapture;
            }
        }
    }
    if (status != GlassStartResult::started) {
        releaseGlassResources(*this);
        trimWorkingSet();
        return status;
    }
    if (overlayHiddenDark) {
        overlay.showLayer();
        overlayHiddenDark = false;
    }
    glassEnabled = true;
    // The table of background colours starts empty: fill it at the next
    // cycle, which then presents the first glass frame, rather than leave the
    // last dark frame on screen until the learning falls due by itself.
    lastColourLearning = dueStamp(kColourLearningPeriodMs);
    return GlassStartResult::started;
}

void EffectEngine::assignBackdropExclusions() {
    for (MagnifierCapture* capture : {&backdropCapture, &monitorCapture}) {
        if (capture->exclusions.empty()) {
            capture->exclusions.push_back(targetWindow);
            capture->exclusions.push_back(overlay.layerWindow);
        }
        if (wallpaperOnlyBackdrop) {
            capture->filterMode = FilterMode::allWindows;
        } else {
            capture->sourceWindow = targetWindow;
            capture->filterMode = FilterMode::windowsInFront;
        }
    }
}

void EffectEngine::stopGlass(bool clearFlag) {
    if (!glassEnabled) {
        return;
    }
    releaseGlassResources(*this);
    glassInStep = false;
    if (clearFlag) {
        glassEnabled = false;
    }
    trimWorkingSet();
}

void EffectEngine::setContentOpacity(double value) {
    if (value != -1.0) {
        analyzer.contentOpacity = static_cast<float>(value);
        analyzer.contentOpacityComplement = 1.0f - analyzer.contentOpacity;
    }
    lastDarknessTest = dueStamp(kDarknessTestPeriodMs);
    analyzer.contentOpacityHigh = static_cast<double>(analyzer.contentOpacity) >= kHighContentOpacity ? 1 : 0;
}

void EffectEngine::refreshGlass() {
    // Settings may change while glass is off or suspended; there is no
    // backdrop capture to refresh then, and startGlass composes afresh.
    if (!glassEnabled || backdropCapture.hostWindow == nullptr) {
        return;
    }
    // Should this capture fail, the image stays as startGlass made it.
    composePendingBackdrop();
    if (backdropCapture.captureFrame() == CaptureResult::noFrame) {
        return;
    }
    syncBackdropFrame();
    composeBackdrop();
    backdropRecomposed = true;
}

void EffectEngine::composeBackdrop() {
    // The image is written in full from the frame: what a pending
    // composition would have left in it does not matter any more.
    backdropComposePending = false;
    composeBackdropWith(*this, blurRadius, backdropBuffer.backdropBrightness, analyzer.contentOpacityHigh);
}

void EffectEngine::composePendingBackdrop() {
    if (!backdropComposePending) {
        return;
    }
    backdropComposePending = false;
    composeBackdropWith(*this, pendingBlurRadius, pendingBrightness, pendingContentOpacityHigh);
}

void EffectEngine::resizeFrame() {
    if (!engineAttached) {
        return;
    }
    mainCapture.resizeCapture();
    // Without a new image there is nothing to size the buffers to; the next
    // frame cycle reconfigures as soon as the capture delivers one.
    if (mainCapture.captureFrame() != CaptureResult::noFrame) {
        configureFrame(static_cast<std::int32_t>(mainCapture.frameHeader.width),
                       static_cast<std::int32_t>(mainCapture.frameHeader.height), mainCapture.frameBits);
    }
    if (glassEnabled && backdropCapture.hostWindow != nullptr) {
        composePendingBackdrop();
        backdropCapture.resizeCapture();
        if (backdropCapture.captureFrame() != CaptureResult::noFrame && prepareGlassFrame() == 0) {
            composeBackdrop();
        }
    }
}

std::uint32_t engineActivity = 0;

void EffectEngine::noteActivity() {
    lastActivity = nowMs();
    engineActivity += 1;
}

void EffectEngine::followTarget() {
    noteActivity();
    if (glassEnabled && monitorCapture.hostWindow != nullptr) {
        if (placement->showCmd != SW_SHOWMAXIMIZED && savedPlacement.showCmd != SW_SHOWMAXIMIZED) {
            if (widthOf(*monitorRect) != widthOf(savedMonitorRect) ||
                heightOf(*monitorRect) != heightOf(savedMonitorRect)) {
                savedMonitorRect = *monitorRect;
                monitorCapture.resizeCapture();
            }
            if (!monitorBackdropActive && monitorCapture.captureFrame() != CaptureResult::noFrame) {
                // The monitor frame's first pixel is this monitor's top-left
                // corner: keep the rectangle it was taken from, so that the
                // following mode maps screen coordinates into the frame even
                // after the target has crossed to another monitor.
                monitorFrameRect = *monitorRect;
                monitorBuffer.frame = monitorCapture.frameBits;
                monitorBuffer.byteSize = static_cast<std::int32_t>(monitorCapture.frameHeader.cbSize);
                stackBlur(monitorBuffer.frame, monitorCapture.frameHeader.width,
                          monitorCapture.frameHeader.height, blurRadiusOf(blurRadius));
                scaleBrightness(monitorBuffer);
                monitorBackdropActive = true;
                // The backdrop frame goes; the image cut from the monitor
                // frame is laid over what startGlass composed from it.
                composePendingBackdrop();
                releaseBackdropFrame(*this);
            }
        }
        lastFollow = nowMs();
        savedPlacement = *placement;
    }
    if (overlay.layerWindow != nullptr && overlay.layerRect != nullptr) {
        const RECT& r = *overlay.layerRect;
        SetWindowPos(overlay.layerWindow, HWND_TOP, r.left, r.top, widthOf(r), heightOf(r), kFollowFlags);
    }
}

void EffectEngine::endFollowing() {
    monitorBackdropActive = false;
    // The fresh control holds no frame: the monitor's pixels are allocated
    // again only when the target moves again. Should no fresh control be had,
    // the old one and its frame stay until the next end of a following.
    if (monitorCapture.hostWindow != nullptr && monitorCapture.renewCapture() == 0) {
        monitorBuffer.frame = nullptr;
        monitorBuffer.byteSize = 0;
        trimWorkingSet();
    }
}

void EffectEngine::suspendEngine() {
    if (!engineAttached) {
        return;
    }
    stopGlass(false);
    if (!overlayHiddenDark) {
        ShowWindow(overlay.layerWindow, SW_HIDE);
    }
    analyzer.releaseAnalyzer();
    analyzer.frame = nullptr;
    overlay.sourceBits = nullptr;
    mainCapture.destroyCapture(false);
    frameCopy.reset();
    overlayHiddenDark = false;
    engineAttached = false;
    trimWorkingSet();
}

void EffectEngine::releaseEngine() {
    // An attached engine, or a suspended one that still keeps its hidden
    // overlay window: either way everything goes.
    if (!engineAttached && overlay.layerWindow == nullptr) {
        return;
    }
    stopGlass(true);
    overlay.destroyLayer();
    overlay.layerWindow = nullptr;
    overlay.sourceBits = nullptr;
    analyzer.releaseAnalyzer();
    analyzer.frame = nullptr;
    mainCapture.destroyCapture(true);
    frameCopy.reset();
    overlayHiddenDark = false;
    engineAttached = false;
    darkEnabled = false;
    trimWorkingSet();
}

}  // namespace kestra
