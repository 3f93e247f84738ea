// OverlayLayer: the layered, click-through, never-activated popup that shows
// processed frames over a target, with a top-down 32-bit DIB section selected
// into a memory DC.
#pragma once

#include <cstdint>

#include "platform/win32.h"

namespace kestra {

inline constexpr const char* kHelperClassName = "KESTRAHELPER";
inline constexpr const char* kOverlayClassName = "KESTRA_DLAYER";

// The module instance used for every window the surfaces create; stored by
// initialiseTracking.
extern HINSTANCE moduleInstance;
// The window procedure shared by the helper, capture host and overlay windows;
// installed by the process entry before any of them is created.
extern WNDPROC sharedWindowProc;

// Registers "KESTRA_DLAYER" with sharedWindowProc as its procedure: 0, or -1
// when RegisterClassExA fails (the background brush is then deleted again).
int registerOverlayClass(HINSTANCE instance);

// Returns the surfaces' process-wide state (lastScaledFrame, moduleInstance,
// sharedWindowProc) to its start values.
void resetSurfacesState();

struct OverlayLayer {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::int32_t byteSize = 0;
    std::uint8_t* sourceBits = nullptr;  // processed frame to present; not owned
    HWND ownerWindow = nullptr;
    HWND layerWindow = nullptr;
    HDC windowDC = nullptr;
    HDC memoryDC = nullptr;
    RECT* layerRect = nullptr;  // not owned: the TrackedWindow's captureRect
    BITMAPINFO bitmapInfo{};
    HBITMAP bitmap = nullptr;
    std::uint8_t* surfaceBits = nullptr;  // owned by the DIB section
    // Counts the surfaces allocateSurface made: a holder of what a surface
    // showed knows by it whether that surface is still the one in place.
    std::uint32_t surfaceGeneration = 0;
    // Counts the times showLayer showed the window: one shown again may have
    // lost what was drawn into it before it was hidden.
    std::uint32_t showings = 0;

    // Stays the same only while the window can still show what was last
    // drawn into it from the same surface.
    [[nodiscard]] std::uint64_t drawingStamp() const {
        return std::uint64_t{surfaceGeneration} << 32 | showings;
    }

    OverlayLayer() = default;
    OverlayLayer(const OverlayLayer&) = delete;
    OverlayLayer& operator=(const OverlayLayer&) = delete;
    // Releases whatever the layer still holds, as releaseLayer does.
    ~OverlayLayer() { releaseLayer(); }

    // 0, or -2 when the window was not created.
    [[nodiscard]] int createLayer();
    // Shows the window without activating it, at the top of the z-order (as
    // following the target puts it): a target raised while its overlay was
    // hidden must not stay above the overlay shown again.
    void showLayer();
    // Replaces the DCs and the DIB section for the current width and height:
    // 0, or -1 when the window DC, the DIB section or its selection could not
    // be had. surfaceBits is null whenever bitmap is; without a window DC the
    // layer keeps no memory DC and no DIB section.
    int allocateSurface();
    // Releases the DCs and the DIB section, destroys the window and trims the
    // working set; returns the trim's result. A second call releases nothing
    // twice.
    BOOL destroyLayer();

  private:
    // The one place the layer gives back its DCs, its DIB section and (with
    // the window) its window: each when it exists, each handle cleared after,
    // so that no path releases one twice or forgets one.
    void releaseSurface();
    void releaseLayer();
};

}  // namespace kestra
