#include "surfaces/overlay_layer.h"

#include "platform/window_class.h"
#include "surfaces/magnifier_capture.h"

namespace kestra {

HINSTANCE moduleInstance = nullptr;
WNDPROC sharedWindowProc = DefWindowProcA;

namespace {

// Red 1, green 0, blue 0: a background no frame is ever blitted over for long.
constexpr COLORREF kOverlayBackground = 0x000001;

}  // namespace

int registerOverlayClass(HINSTANCE instance) {
    const HBRUSH background = CreateSolidBrush(kOverlayBackground);
    if (registerWindowClass(instance, kOverlayClassName, sharedWindowProc, background) == 0) {
        // The class did not take ownership of the brush.
        if (background != nullptr) {
            DeleteObject(background);
        }
        return -1;
    }
    return 0;
}

int OverlayLayer::createLayer() {
    const int x = layerRect != nullptr ? layerRect->left : 0;
    const int y = layerRect != nullptr ? layerRect->top : 0;
    const int w = layerRect != nullptr ? layerRect->right - layerRect->left : 0;
    const int h = layerRect != nullptr ? layerRect->bottom - layerRect->top : 0;
    // ownerWindow goes in as the parent argument: for a popup that makes it
    // the owner, which keeps the overlay above its target. No SetParent after
    // it: for a top-level window it changes no parent and no owner, but it
    // raises the window without SWP_NOACTIVATE, which makes the overlay the
    // active and foreground window.
    layerWindow =
        CreateWindowExA(WS_EX_NOACTIVATE | WS_EX_LAYERED | WS_EX_TRANSPARENT, kOverlayClassName, nullptr,
                        WS_POPUP, x, y, w, h, ownerWindow, nullptr, moduleInstance, nullptr);
    if (layerWindow == nullptr) {
        return -2;
    }
    // Fully opaque; WS_EX_TRANSPARENT lets mouse input through to the target.
    SetLayeredWindowAttributes(layerWindow, 0, 255, LWA_ALPHA);
    // Shown without activation: SW_SHOW would make the overlay the foreground
    // window (WS_EX_NOACTIVATE only guards against clicks), taking the
    // keyboard focus from the target on every attach. Shown only over a target
    // that can be seen: over a hidden or minimised one it would show its
    // background where nothing is; the first tick that finds the target
    // showable shows it.
    if (ownerWindow == nullptr || (IsWindowVisible(ownerWindow) && !IsIconic(ownerWindow))) {
        showLayer();
    }
    windowDC = GetDC(layerWindow);
    bitmapInfo = BITMAPINFO{};
    return 0;
}

void OverlayLayer::showLayer() {
    ++showings;
    ShowWindow(layerWindow, SW_SHOWNOACTIVATE);
    // Under Wine the X stacking follows a shown window only when it is the
    // top one, so raising it here is also what puts it above a target that
    // was restored or raised while the overlay was hidden.
    SetWindowPos(layerWindow, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
}

int OverlayLayer::allocateSurface() {
    releaseSurface();
    ++surfaceGeneration;
    bitmapInfo = BITMAPINFO{};
    bitmapInfo.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    bitmapInfo.bmiHeader.biWidth = static_cast<LONG>(width);
    bitmapInfo.bmiHeader.biHeight = -static_cast<LONG>(height);  // negative: rows top-down
    bitmapInfo.bmiHeader.biPlanes = 1;
    bitmapInfo.bmiHeader.biBitCount = 32;
    bitmapInfo.bmiHeader.biCompression = BI_RGB;

    // Without a window DC (the window went away under the engine) nothing
    // could be presented: make no surface rather than one nobody shows.
    windowDC = GetDC(layerWindow);
    if (windowDC == nullptr) {
        return -1;
    }
    memoryDC = CreateCompatibleDC(windowDC);
    void* bits = nullptr;
    bitmap = CreateDIBSection(windowDC, &bitmapInfo, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (bitmap == nullptr) {
        return -1;  // surfaceBits stays null, so nothing writes into a missing surface
    }
    surfaceBits = static_cast<std::uint8_t*>(bits);
    const HGDIOBJ previous = SelectObject(memoryDC, bitmap);
    if (previous == nullptr) {
        return -1;
    }
    DeleteObject(previous);  // the memory DC's initial bitmap
    return 0;
}

BOOL OverlayLayer::destroyLayer() {
    releaseLayer();
    return K32EmptyWorkingSet(GetCurrentProcess());
}

void OverlayLayer::releaseSurface() {
    // The memory DC goes first: deleting it deselects the DIB section.
    if (memoryDC != nullptr) {
        DeleteDC(memoryDC);
        memoryDC = nullptr;
    }
    if (windowDC != nullptr) {
        ReleaseDC(layerWindow, windowDC);
        windowDC = nullptr;
    }
    if (bitmap != nullptr) {
        DeleteObject(bitmap);
        bitmap = nullptr;
    }
    surfaceBits = nullptr;
}

void OverlayLayer::releaseLayer() {
    releaseSurface();
    if (layerWindow != nullptr) {
        DestroyWindow(layerWindow);
        layerWindow = nullptr;
    }
}

void resetSurfacesState() {
    lastScaledFrame = ScaledFrame{};
    moduleInstance = nullptr;
    sharedWindowProc = DefWindowProcA;
}

}  // namespace kestra
