#include "surfaces/magnifier_capture.h"

#include "platform/clock.h"
#include "platform/rect.h"
#include "surfaces/overlay_layer.h"

namespace kestra {

ScaledFrame lastScaledFrame;

namespace {

void applyFilterList(HWND magnifierWindow, std::vector<HWND>& list) {
    MagSetWindowFilterList(magnifierWindow, MW_FILTERMODE_EXCLUDE, static_cast<int>(list.size()),
                           list.empty() ? nullptr : list.data());
}

}  // namespace

BOOL CALLBACK imageScalingCallback(HWND /*hwnd*/, void* srcdata, MAGIMAGEHEADER srcheader, void* /*destdata*/,
                                   MAGIMAGEHEADER /*destheader*/, RECT /*unclipped*/, RECT /*clipped*/,
                                   HRGN /*dirty*/) {
    lastScaledFrame.bits = static_cast<std::uint8_t*>(srcdata);
    lastScaledFrame.header = srcheader;
    return TRUE;
}

int MagnifierCapture::createCapture() {
    hostWindow = CreateWindowExA(WS_EX_NOACTIVATE | WS_EX_LAYERED | WS_EX_TOOLWINDOW | WS_EX_TRANSPARENT,
                                 kHelperClassName, nullptr, WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                                 moduleInstance, nullptr);
    if (hostWindow == nullptr) {
        return -2;
    }
    SetLayeredWindowAttributes(hostWindow, 0, 255, LWA_ALPHA);
    const int width = sourceRect != nullptr ? sourceRect->right - sourceRect->left : 0;
    const int height = sourceRect != nullptr ? sourceRect->bottom - sourceRect->top : 0;
    magnifierWindow = CreateWindowExA(0, "Magnifier", "MagnifierWindow", WS_CHILD, 0, 0, width, height,
                                      hostWindow, nullptr, moduleInstance, nullptr);
    if (!MagSetImageScalingCallback(magnifierWindow, imageScalingCallback)) {
        return -1;  // the host window stays for destroyCapture
    }
    lastFilterRefresh = dueStamp(kFilterRefreshPeriodMs);
    // No real image has these dimensions, so the first capture counts as new.
    frameHeader.width = 0xFFFFFFFFu;
    frameHeader.height = 0xFFFFFFFFu;
    return 0;
}

CaptureResult MagnifierCapture::captureFrame() {
    if (elapsedSince(lastFilterRefresh) > kFilterRefreshPeriodMs) {
        if (filterMode == FilterMode::windowsInFront) {
            excludeWindowsInFront();
        } else if (filterMode == FilterMode::allWindows) {
            excludeAllWindows();
        }
        lastFilterRefresh = nowMs();
    }
    lastScaledFrame.bits = nullptr;
    if (sourceRect == nullptr) {
        return CaptureResult::noFrame;
    }
    const RECT source = *sourceRect;
    MagSetWindowSource(magnifierWindow, source);
    std::uint8_t* bits = lastScaledFrame.bits;
    if (bits == nullptr) {
        return CaptureResult::noFrame;  // the callback did not run: keep the previous frame
    }
    lastScaledFrame.bits = nullptr;
    if (bits == frameBits && lastScaledFrame.header.width == frameHeader.width &&
        lastScaledFrame.header.height == frameHeader.height) {
        return CaptureResult::sameFrame;
    }
    frameBits = bits;
    frameHeader = lastScaledFrame.header;
    frameStride = static_cast<std::int32_t>(frameHeader.width * 4u);
    return CaptureResult::newFrame;
}

BOOL MagnifierCapture::resizeCapture() {
    MagSetImageScalingCallback(magnifierWindow, nullptr);
    const int width = sourceRect != nullptr ? sourceRect->right - sourceRect->left : 0;
    const int height = sourceRect != nullptr ? sourceRect->bottom - sourceRect->top : 0;
    SetWindowPos(magnifierWindow, nullptr, 0, 0, width, height,
                 SWP_NOSENDCHANGING | SWP_NOACTIVATE | SWP_NOREDRAW);
    return MagSetImageScalingCallback(magnifierWindow, imageScalingCallback);
}

void MagnifierCapture::excludeWindowsInFront() {
    const std::size_t ownCount = exclusions.size();
    if (ownCount >= static_cast<std::size_t>(MAX_EXCLUSIONS)) {
        return;  // the list set earlier stays in force
    }
    const std::size_t room = static_cast<std::size_t>(MAX_EXCLUSIONS) - ownCount;
    std::vector<HWND> list;
    list.reserve(MAX_EXCLUSIONS);
    if (sourceRect != nullptr && sourceWindow != nullptr) {
        const RECT source = *sourceRect;
        for (HWND w = GetWindow(sourceWindow, GW_HWNDPREV); w != nullptr; w = GetWindow(w, GW_HWNDPREV)) {
            RECT r{};
            if (!IsWindowVisible(w) || !GetWindowRect(w, &r) || !rectOverlaps(source, r)) {
                continue;
            }
            list.push_back(w);
            if (list.size() >= room) {
                break;
            }
        }
    }
    list.insert(list.end(), exclusions.begin(), exclusions.end());
    applyFilterList(magnifierWindow, list);
}

void MagnifierCapture::excludeAllWindows() {
    constexpr std::size_t capacity = static_cast<std::size_t>(MAX_EXCLUSIONS);
    std::vector<HWND> list;
    list.reserve(capacity);
    for (HWND own : exclusions) {
        if (list.size() >= capacity) {
            break;
        }
        list.push_back(own);
    }
    const HWND desktop = GetDesktopWindow();
    for (HWND w = FindWindowA(nullptr, nullptr); w != nullptr && list.size() < capacity;
         w = GetWindow(w, GW_HWNDNEXT)) {
        RECT r{};
        if (w == desktop || !IsWindowVisible(w) || !GetWindowRect(w, &r)) {
            continue;
        }
        list.push_back(w);
    }
    applyFilterList(magnifierWindow, list);
}

BOOL MagnifierCapture::destroyCapture(bool clearExclusions) {
    if (clearExclusions) {
        exclusions.clear();
    }
    if (hostWindow == nullptr) {
        return FALSE;
    }
    const BOOL destroyed = DestroyWindow(hostWindow);  // takes the Magnifier control with it
    if (destroyed) {
        frameBits = nullptr;
    }
    hostWindow = nullptr;
    magnifierWindow = nullptr;
    return destroyed;
}

int MagnifierCapture::renewCapture() {
    // The fresh control is made before the old one goes, so that a failure
    // leaves the capture as it was.
    const HWND oldHost = hostWindow;
    const HWND oldMagnifier = magnifierWindow;
    const MAGIMAGEHEADER oldHeader = frameHeader;
    const std::int32_t oldRefresh = lastFilterRefresh;
    hostWindow = nullptr;
    magnifierWindow = nullptr;
    const int status = createCapture();
    if (status != 0) {
        if (hostWindow != nullptr) {
            DestroyWindow(hostWindow);
        }
        hostWindow = oldHost;
        magnifierWindow = oldMagnifier;
        frameHeader = oldHeader;
        lastFilterRefresh = oldRefresh;
        return status;
    }
    if (oldHost != nullptr) {
        DestroyWindow(oldHost);  // takes the old Magnifier control and its buffer with it
    }
    frameBits = nullptr;
    // A capture without a filter mode never rebuilds its list: give the
    // fresh control the exclusions the old one had.
    if (filterMode == FilterMode::none) {
        applyFilterList(magnifierWindow, exclusions);
    }
    return 0;
}

}  // namespace kestra
