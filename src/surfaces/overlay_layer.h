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

// Registers "KESTRA_DLAYER": 0, or -1 when RegisterClassExA fails.
int registerOverlayClass(HINSTANCE instance);

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

    int createLayer();
    int allocateSurface();
    BOOL destroyLayer();
};

}  // namespace kestra
