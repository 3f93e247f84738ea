// A stand-in for the system's Magnification.dll, for running the helper
// under Wine, which has none. It registers the "Magnifier" window class and,
// for MagSetWindowSource, renders the source rectangle from the real z-order
// and rectangles of the visible top-level windows over a fixed desktop
// pattern, leaves out the filtered windows, and calls the image scaling
// callback synchronously with the source image. Window content comes from
// the pixels each test window publishes in shared memory (shared_pixels.h);
// a window without published pixels is drawn flat grey.
//
// Only placed beside kestra-helper.exe in the test folder, never shipped.
#include <windows.h>
// After windows.h: the records of the Magnification API.
#include <magnification.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <vector>

#include "shared_pixels.h"

namespace {

using ScalingCallback = BOOL(CALLBACK*)(HWND hwnd, void* srcdata, MAGIMAGEHEADER srcheader, void* destdata,
                                        MAGIMAGEHEADER destheader, RECT unclipped, RECT clipped, HRGN dirty);

constexpr const char* kMagnifierClass = "Magnifier";
// GUID_WICPixelFormat32bppBGRA.
constexpr GUID kFormatBgra = {0x6fddc324, 0x4e03, 0x4bfe, {0xb1, 0x85, 0x3d, 0x77, 0x76, 0x8d, 0xc9, 0x0f}};
constexpr std::uint32_t kFlatGrey = 0xFF808080u;

struct Control {
    ScalingCallback callback = nullptr;
    DWORD filterMode = 0;
    std::vector<HWND> filter;
    std::vector<std::uint8_t> image;  // kept, same address, while the size stays
};

HINSTANCE module = nullptr;
int initialised = 0;
std::map<HWND, Control> controls;
std::map<HWND, const void*> views;  // published pixels by window, mapped once

// The desktop seen where no window is: a fixed pattern of screen coordinates.
std::uint32_t desktopPixel(LONG x, LONG y) {
    const auto b = static_cast<std::uint32_t>(x) & 0xFF;
    const auto g = static_cast<std::uint32_t>(y) & 0xFF;
    return 0xFF000000u | 0x00400000u | (g << 8) | b;
}

LRESULT CALLBACK magnifierProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCDESTROY) {
        controls.erase(window);
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

bool isMagnifier(HWND window) {
    char name[32] = {};
    return window != nullptr && GetClassNameA(window, name, sizeof(name)) > 0 &&
           std::strcmp(name, kMagnifierClass) == 0;
}

bool filteredOut(const Control& control, HWND window) {
    const bool listed =
        std::find(control.filter.begin(), control.filter.end(), window) != control.filter.end();
    return control.filterMode == MW_FILTERMODE_EXCLUDE ? listed : !listed;
}

// A shown top-level window and its rectangle.
struct Shown {
    HWND window;
    RECT rect;
};

// How long a reading of the window list serves further captures.
constexpr ULONGLONG kWindowListMs = 10;

// The shown (visible, not minimised) top-level windows from the top of the
// z-order down. A compositor knows them without asking; here every reading
// costs a round trip to the Wine server per window and question, so one
// reading serves the captures of the next kWindowListMs (the captures of one
// turn of the helper's loop take one reading between them).
const std::vector<Shown>& shownWindows() {
    static std::vector<Shown> list;
    static ULONGLONG readAt = 0;
    static bool read = false;
    const ULONGLONG now = GetTickCount64();
    if (read && now - readAt < kWindowListMs) {
        return list;
    }
    list.clear();
    for (HWND w = GetTopWindow(nullptr); w != nullptr; w = GetWindow(w, GW_HWNDNEXT)) {
        RECT r;
        if (IsWindowVisible(w) && !IsIconic(w) && GetWindowRect(w, &r)) {
            list.push_back(Shown{w, r});
        }
    }
    readAt = now;
    read = true;
    return list;
}

// The published pixels of a window, mapped once and kept: a real Magnifier
// gets the pixels from the compositor, so opening and mapping the shared
// memory anew on every capture (page faults included) would charge the
// helper's process with costs that only this stand-in has. Null when the
// window publishes nothing (asked again next time).
const void* publishedView(HWND window) {
    const auto found = views.find(window);
    if (found != views.end()) {
        return found->second;
    }
    HANDLE mapping = OpenFileMappingA(FILE_MAP_READ, FALSE, winetest::sharedPixelsName(window).c_str());
    void* view = mapping != nullptr ? MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0) : nullptr;
    if (mapping != nullptr) {
        CloseHandle(mapping);  // the view keeps the section alive
    }
    if (view != nullptr) {
        views[window] = view;
    }
    return view;
}

// Draws one window's published pixels (or flat grey) into the image, clipped
// to the window's rectangle and to the source rectangle.
void drawWindow(HWND window, const RECT& r, const RECT& source, std::uint32_t* image, LONG width,
                LONG height) {
    const LONG left = std::max(r.left, source.left);
    const LONG top = std::max(r.top, source.top);
    const LONG right = std::min(r.right, source.right);
    const LONG bottom = std::min(r.bottom, source.bottom);
    if (left >= right || top >= bottom) {
        return;
    }
    const winetest::SharedPixelsHeader* header = nullptr;
    const std::uint32_t* pixels = nullptr;
    const void* view = publishedView(window);
    if (view != nullptr) {
        header = static_cast<const winetest::SharedPixelsHeader*>(view);
        if (header->magic == winetest::kSharedPixelsMagic) {
            pixels = reinterpret_cast<const std::uint32_t*>(header + 1);
        }
    }
    for (LONG y = top; y < bottom; ++y) {
        std::uint32_t* row = image + static_cast<std::size_t>(y - source.top) * width;
        for (LONG x = left; x < right; ++x) {
            std::uint32_t value = kFlatGrey;
            if (pixels != nullptr) {
                const LONG wx = x - r.left;
                const LONG wy = y - r.top;
                if (wx < static_cast<LONG>(header->width) && wy < static_cast<LONG>(header->height)) {
                    value = pixels[static_cast<std::size_t>(wy) * header->width + wx];
                }
            }
            row[x - source.left] = value;
        }
    }
    (void)height;
}

}  // namespace

extern "C" {

BOOL WINAPI MagInitialize(void) {
    if (initialised == 0) {
        WNDCLASSEXA wc{};
        wc.cbSize = sizeof(wc);
        wc.style = CS_GLOBALCLASS;
        wc.lpfnWndProc = magnifierProcedure;
        wc.hInstance = module;
        wc.lpszClassName = kMagnifierClass;
        if (RegisterClassExA(&wc) == 0) {
            return FALSE;
        }
    }
    ++initialised;
    return TRUE;
}

BOOL WINAPI MagUninitialize(void) {
    if (initialised == 0) {
        return FALSE;
    }
    if (--initialised == 0) {
        UnregisterClassA(kMagnifierClass, module);
    }
    return TRUE;
}

BOOL WINAPI MagSetImageScalingCallback(HWND hwnd, ScalingCallback callback) {
    if (!isMagnifier(hwnd)) {
        return FALSE;
    }
    controls[hwnd].callback = callback;
    return TRUE;
}

BOOL WINAPI MagSetWindowFilterList(HWND hwnd, DWORD dwFilterMode, int count, HWND* pHWND) {
    if (!isMagnifier(hwnd) || count < 0 || (count > 0 && pHWND == nullptr)) {
        return FALSE;
    }
    Control& control = controls[hwnd];
    control.filterMode = dwFilterMode;
    control.filter.assign(pHWND, pHWND + count);
    return TRUE;
}

BOOL WINAPI MagSetWindowSource(HWND hwnd, RECT rect) {
    if (!isMagnifier(hwnd)) {
        return FALSE;
    }
    const LONG width = rect.right - rect.left;
    const LONG height = rect.bottom - rect.top;
    if (width <= 0 || height <= 0) {
        return FALSE;
    }
    Control& control = controls[hwnd];
    const std::size_t bytes = static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4;
    if (control.image.size() != bytes) {
        control.image.assign(bytes, 0);
    }
    auto* image = reinterpret_cast<std::uint32_t*>(control.image.data());
    for (LONG y = 0; y < height; ++y) {
        for (LONG x = 0; x < width; ++x) {
            image[static_cast<std::size_t>(y) * width + x] = desktopPixel(rect.left + x, rect.top + y);
        }
    }
    const std::vector<Shown>& order = shownWindows();
    for (auto it = order.rbegin(); it != order.rend(); ++it) {
        if (filteredOut(control, it->window)) {
            continue;
        }
        drawWindow(it->window, it->rect, rect, image, width, height);
    }
    if (control.callback != nullptr) {
        MAGIMAGEHEADER source{};
        source.width = static_cast<UINT>(width);
        source.height = static_cast<UINT>(height);
        source.format = kFormatBgra;
        source.stride = static_cast<UINT>(width) * 4;
        source.offset = 0;
        source.cbSize = bytes;
        MAGIMAGEHEADER destination = source;
        control.callback(hwnd, control.image.data(), source, nullptr, destination, rect, rect, nullptr);
    }
    return TRUE;
}

}  // extern "C"

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID /*reserved*/) {
    if (reason == DLL_PROCESS_ATTACH) {
        module = instance;
    }
    return TRUE;
}
