// A target window for the Wine end-to-end checks: a popup that paints a
// light page with dark bars and publishes the same pixels for the
// Magnification stand-in, and reading the screen back to compare with it.
#pragma once

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "shared_pixels.h"

namespace winetest {

inline constexpr int kWidth = 320;
inline constexpr int kHeight = 200;

// A popup (no frame: its window rectangle is all content) that paints a
// light page with dark bars, and publishes the same pixels for the
// stand-in.
class PublishedWindow {
  public:
    // A light page with dark text-like bars, or (dark) the same in dark.
    // Shown with activation unless `activate` is false.
    PublishedWindow(int x, int y, bool dark = false, const char* title = "published target",
                    bool activate = true) {
        const std::uint32_t page = dark ? 0xFF1E1E1Eu : 0xFFF4F0E8u;
        const std::uint32_t ink = dark ? 0xFFD0D0D0u : 0xFF202020u;
        pixels_.resize(static_cast<std::size_t>(kWidth) * kHeight);
        for (int row = 0; row < kHeight; ++row) {
            for (int column = 0; column < kWidth; ++column) {
                const bool bar = (row % 20) >= 8 && (row % 20) < 12 && column >= 16 && column < kWidth - 40;
                pixels_[static_cast<std::size_t>(row) * kWidth + column] = bar ? ink : page;
            }
        }
        WNDCLASSEXA wc{};
        wc.cbSize = sizeof(wc);
        wc.lpfnWndProc = procedure;
        wc.hInstance = GetModuleHandleA(nullptr);
        wc.lpszClassName = "KESTRA_WINE_TARGET";
        RegisterClassExA(&wc);
        window_ = CreateWindowExA(0, wc.lpszClassName, title, WS_POPUP, x, y, kWidth, kHeight, nullptr,
                                  nullptr, wc.hInstance, this);
        const std::size_t bytes = sizeof(winetest::SharedPixelsHeader) + pixels_.size() * 4;
        mapping_ = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                      static_cast<DWORD>(bytes), winetest::sharedPixelsName(window_).c_str());
        if (mapping_ != nullptr) {
            view_ = MapViewOfFile(mapping_, FILE_MAP_WRITE, 0, 0, 0);
        }
        if (view_ != nullptr) {
            auto* header = static_cast<winetest::SharedPixelsHeader*>(view_);
            header->magic = winetest::kSharedPixelsMagic;
            header->width = kWidth;
            header->height = kHeight;
            header->reserved = 0;
            std::memcpy(header + 1, pixels_.data(), pixels_.size() * 4);
        }
        ShowWindow(window_, activate ? SW_SHOW : SW_SHOWNOACTIVATE);
        UpdateWindow(window_);
    }
    PublishedWindow(const PublishedWindow&) = delete;
    PublishedWindow& operator=(const PublishedWindow&) = delete;
    ~PublishedWindow() {
        DestroyWindow(window_);
        if (view_ != nullptr) {
            UnmapViewOfFile(view_);
        }
        if (mapping_ != nullptr) {
            CloseHandle(mapping_);
        }
    }
    HWND hwnd() const { return window_; }
    std::uint32_t pixel(int column, int row) const {
        return pixels_[static_cast<std::size_t>(row) * kWidth + column];
    }
    bool published() const { return view_ != nullptr; }

  private:
    static LRESULT CALLBACK procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        if (message == WM_NCCREATE) {
            SetWindowLongPtrA(
                window, GWLP_USERDATA,
                reinterpret_cast<LONG_PTR>(reinterpret_cast<CREATESTRUCTA*>(lParam)->lpCreateParams));
        }
        auto* self = reinterpret_cast<PublishedWindow*>(GetWindowLongPtrA(window, GWLP_USERDATA));
        if (message == WM_PAINT && self != nullptr) {
            PAINTSTRUCT paint;
            HDC dc = BeginPaint(window, &paint);
            BITMAPINFO info{};
            info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
            info.bmiHeader.biWidth = kWidth;
            info.bmiHeader.biHeight = -kHeight;
            info.bmiHeader.biPlanes = 1;
            info.bmiHeader.biBitCount = 32;
            info.bmiHeader.biCompression = BI_RGB;
            SetDIBitsToDevice(dc, 0, 0, kWidth, kHeight, 0, 0, 0, kHeight, self->pixels_.data(), &info,
                              DIB_RGB_COLORS);
            EndPaint(window, &paint);
            return 0;
        }
        return DefWindowProcA(window, message, wParam, lParam);
    }

    HWND window_ = nullptr;
    HANDLE mapping_ = nullptr;
    void* view_ = nullptr;
    std::vector<std::uint32_t> pixels_;
};

// Reads a screen rectangle with BitBlt from the screen DC.
inline std::vector<std::uint32_t> readScreen(const RECT& r) {
    const int w = r.right - r.left;
    const int h = r.bottom - r.top;
    std::vector<std::uint32_t> out(static_cast<std::size_t>(w) * h);
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = w;
    info.bmiHeader.biHeight = -h;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ previous = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, w, h, screen, r.left, r.top, SRCCOPY);
    GdiFlush();
    std::memcpy(out.data(), bits, out.size() * 4);
    SelectObject(memory, previous);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return out;
}

inline bool sameRect(const RECT& a, const RECT& b) {
    return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}

// Counts the pixels of the screen rectangle r (the target's, at most
// kWidth x kHeight) that are not the target's pixels inverted (colour channels
// only).
inline int invertedMismatches(const PublishedWindow& target, const RECT& r, std::string* report = nullptr) {
    const std::vector<std::uint32_t> screen = readScreen(r);
    const int width = r.right - r.left;
    const int height = r.bottom - r.top;
    int mismatches = 0;
    for (int row = 0; row < height; ++row) {
        for (int column = 0; column < width; ++column) {
            const std::uint32_t original = target.pixel(column, row) & 0x00FFFFFFu;
            const std::uint32_t expected = ~original & 0x00FFFFFFu;
            const std::uint32_t seen = screen[static_cast<std::size_t>(row) * width + column] & 0x00FFFFFFu;
            // The pixel passes leave a frame's last two rows as captured.
            const bool lastTwoRows = row >= height - 2;
            if (seen != expected && !(lastTwoRows && seen == original)) {
                if (report != nullptr && report->size() < 400) {
                    char line[96];
                    std::snprintf(line, sizeof(line), "  (%d, %d): %06X instead of %06X\n", column, row,
                                  static_cast<unsigned>(seen), static_cast<unsigned>(expected));
                    *report += line;
                }
                ++mismatches;
            }
        }
    }
    return mismatches;
}

}  // namespace winetest
