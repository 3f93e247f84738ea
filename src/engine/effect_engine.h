// EffectEngine: the per-window state that turns a target's pixels into what
// its overlay shows — three captures, two backdrop buffers, the analyzer, the
// overlay, two frame-sized copies, the effect flags and the timestamps that
// pace the periodic work. Its rectangle and placement pointers refer into the
// TrackedWindow that embeds it, so an engine never moves once wired.
#pragma once

#include <cstddef>
#include <cstdint>

#include "analysis/frame_analyzer.h"
#include "analysis/pixel_passes.h"
#include "backdrop/backdrop_buffer.h"
#include "platform/heap.h"
#include "platform/win32.h"
#include "surfaces/magnifier_capture.h"
#include "surfaces/overlay_layer.h"

namespace kestra {

// Periods of the engine's timed work, in milliseconds of the process clock.
inline constexpr std::int32_t kColourLearningPeriodMs = 2500;
inline constexpr std::int32_t kDarknessTestPeriodMs = 2000;
inline constexpr std::int32_t kBackdropIdlePeriodMs = 1000;
inline constexpr std::int32_t kFollowPeriodMs = 1000;

// How attachEngine ended: attached, or nothing new left behind.
enum class [[nodiscard]] AttachResult{attached = 0, failed = -1};

// How startGlass ended; on any failure it released what it had created.
enum class [[nodiscard]] GlassStartResult{
    started = 0, noBackdropCapture = -1, noBackdropFrame = -2, noGlassBuffers = -3, noMonitorCapture = -4,
};

// Counts the changes any engine has seen (noteActivity): the main loop's
// pacing compares it across a round of ticks to learn whether anything on
// screen moved.
extern std::uint32_t engineActivity;

// What a glass result depends on besides the frame, the photo regions and
// the bands: the backdrop image (by its generation) and the settings the
// recolouring and the last pass read.
struct GlassInputs {
    std::uint64_t backdropGeneration = 0;
    float contentOpacity = 0.0f;
    float contentOpacityComplement = 0.0f;
    float photoOpacity = 0.0f;
    float photoOpacityComplement = 0.0f;
    float foregroundOpacity = 0.0f;
    std::uint8_t backdropBright = 0;
    std::uint8_t isDarkContent = 0;
    std::uint8_t frameInverted = 0;
    std::uint8_t contentOpacityHigh = 0;
    bool operator==(const GlassInputs&) const = default;
};

struct EffectEngine {
    MagnifierCapture mainCapture;
    HeapBuffer frameCopy;
    MagnifierCapture backdropCapture;
    HeapBuffer backdropCopy;
    MagnifierCapture monitorCapture;
    BackdropBuffer backdropBuffer;
    BackdropBuffer monitorBuffer;
    FrameAnalyzer analyzer;
    OverlayLayer overlay;
    RECT* targetRect = nullptr;
    HWND targetWindow = nullptr;
    RECT* monitorRect = nullptr;
    RECT savedMonitorRect{};
    WINDOWPLACEMENT* placement = nullptr;
    WINDOWPLACEMENT savedPlacement{};
    bool engineAttached = false;
    bool darkEnabled = false;
    bool glassEnabled = false;
    bool wallpaperOnlyBackdrop = false;
    bool backdropRecomposed = false;
    bool glassDarkMode = true;
    bool glassContentDark = false;
    bool backdropIdle = false;
    std::int32_t lastBackdropPoll = 0;
    std::int32_t lastBackdropChange = 0;
    bool overlayHiddenDark = false;
    bool monitorBackdropActive = false;
    std::int32_t lastFollow = 0;
    std::int32_t lastDarknessTest = -kDarknessTestPeriodMs;
    std::int32_t lastColourLearning = 0;
    std::int32_t blurRadius = 50;
    // Clock time of the last change this engine saw: a new frame of the
    // target, a live or recomposed glass backdrop, a move of the target, an
    // attach or a resume. The tick slows down this engine's cycles while it
    // lies in the past (tracking/still_pacing.h).
    std::int32_t lastActivity = 0;
    // The monitor rectangle the blurred monitor frame was captured from: its
    // top-left corner is the frame's first pixel. Set with each monitor
    // capture (unlike savedMonitorRect, which follows the monitor's size), so
    // that the following copy maps screen coordinates into that frame.
    RECT monitorFrameRect{};
    // Where the last frameChanged found the frame different from frameCopy:
    // every difference lies in the bytes [changedBegin, changedEnd), which
    // frameCopy has taken over (both 0 when nothing differed).
    std::size_t changedBegin = 0;
    std::size_t changedEnd = 0;
    // Whether the overlay window shows the whole of its surface: true after
    // a present of every row succeeded, kept by presents of some rows that
    // succeed, with the layer's drawingStamp of then in windowStamp. Cycles
    // then need to present only the rows they changed.
    bool windowShowsSurface = false;
    std::uint64_t windowStamp = 0;
    // Whether the overlay surface, shown as above, holds the inversion of
    // frameCopy's content with the mask of the last photo-region detection:
    // the dark cycle then needs to invert only the rows of a change.
    bool surfaceInStep = false;
    // Whether the overlay surface, shown as above, holds the glass result of
    // frameCopy's content with the photo regions and bands of the last
    // detection and band search and the inputs in glassInputs: the glass
    // cycle then needs to paint and present only the rows of a change.
    bool glassInStep = false;
    GlassInputs glassInputs{};
    // Counts the writes of backdropImage: a composition, a new image, a
    // change of the monitor's part while following.
    std::uint64_t backdropGeneration = 0;
    // startGlass leaves the first composition of the backdrop image to its
    // first reader (composePendingBackdrop), with the settings the start saw.
    bool backdropComposePending = false;
    std::int32_t pendingBlurRadius = 0;
    float pendingBrightness = 0.0f;
    std::uint8_t pendingContentOpacityHigh = 0;

    EffectEngine() = default;
    EffectEngine(const EffectEngine&) = delete;
    EffectEngine& operator=(const EffectEngine&) = delete;

    // Records a change now (lastActivity) and counts it in engineActivity.
    void noteActivity();

    // Lifecycle.
    // Fails when the overlay, the main capture, its first frame or a buffer
    // could not be had. Without createOverlay it resumes a suspended engine
    // and needs its kept overlay.
    AttachResult attachEngine(bool createOverlay);
    // 0, or -1 when a buffer for a non-empty frame could not be allocated
    // (frameCopy is then null). While glass runs, the glass buffers start
    // afresh and the colour learning is made due at once (and, while
    // following, run at once on the new frame).
    int configureFrame(std::int32_t width, std::int32_t height, std::uint8_t* frame);
    // 0, or -2 when the backdrop copies could not be allocated; both are then
    // null and backdropBuffer forgets the frame, so the next sync retries.
    int prepareGlassFrame();
    // True when the capture's frame had a new size and new backdrop copies
    // were prepared: backdropImage then holds nothing yet and must be composed.
    bool syncBackdropFrame();
    // A successful start makes the colour learning due at once.
    GlassStartResult startGlass();
    void assignBackdropExclusions();
    // Also ends the following mode: the monitor frame goes with its capture.
    void stopGlass(bool clearFlag);
    void setContentOpacity(double value);
    // Does nothing while no backdrop capture exists (glass off or suspended).
    void refreshGlass();
    // Composes backdropImage from the backdrop frame with the current
    // settings; a composition left pending by startGlass is then void.
    void composeBackdrop();
    // Composes what startGlass left pending, as startGlass would have. Called
    // before anything reads backdropImage or replaces the backdrop frame.
    void composePendingBackdrop();
    void resizeFrame();
    // A monitor capture taken here records its rectangle in monitorFrameRect.
    // Entering the following mode drops the backdrop capture's frame, which
    // nothing reads until the backdrop is captured again.
    void followTarget();
    // Leaves the following mode and drops the monitor frame; a later
    // followTarget captures the monitor afresh.
    void endFollowing();
    void suspendEngine();
    // Releases an attached engine, or a suspended one with its kept overlay.
    void releaseEngine();

    // Dark frame cycle.
    void darkCycle();
    bool frameChanged();
    void presentFrame();

    // Glass frame cycle.
    void glassCycle();
    void refreshBackdrop();
    bool backdropChanged();
};

// Brings the analyzer, the overlay surface and frameCopy in line with the
// main capture's current buffer (a new address or a new size), and makes a
// missing overlay surface again; used by both frame cycles after each
// capture. True when the overlay has a new surface to present into.
bool reconfigureForCapture(EffectEngine& engine);

// The rows first .. end - 1 of the bytes [changedBegin, changedEnd).
void changedRows(const EffectEngine& engine, std::int32_t& firstRow, std::int32_t& endRow);

// The rows first .. end - 1 outside which the captured frame equals
// frameCopy (both 0 when it equals it throughout), frameCopy left as it is;
// false when there is no frame or no copy to compare.
bool frameRowsChangedSinceCopy(const EffectEngine& engine, std::int32_t& firstRow, std::int32_t& endRow);

// Whether the overlay window still shows the whole of the surface that the
// last present drew into it (EffectEngine::windowShowsSurface).
bool surfaceOnScreen(const EffectEngine& engine);

// Runs the frame's last pass straight into the overlay surface and presents
// it: the same image as the pass in place followed by presentFrame, with one
// walk over the frame instead of two. Where the surface does not hold this
// frame (no surface, another source, another size) it does exactly that.
// Returns whether the surface then holds the pass's result in every row
// (not so after the in-place way, which leaves it to presentFrame's copy).
// With a row range, the surface's other rows must hold their result already
// and the window must show the surface: only the range is made, and where
// that cannot be, nothing is done and false returned.
bool presentThroughPass(EffectEngine& engine, FramePass pass, std::int32_t firstRow = 0,
                        std::int32_t endRow = INT32_MAX);

}  // namespace kestra
