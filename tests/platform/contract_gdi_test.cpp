// How device contexts, DIB sections and BitBlt behave: a top-down 32-bit DIB
// section selected into a memory DC and blitted into a window DC is what the
// screen then shows.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/contract_env.h"
#include "platform/win32.h"

namespace {

LRESULT CALLBACK plainProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    return DefWindowProcA(hwnd, msg, wParam, lParam);
}

constexpr const char* kClass = "KestraContractSurface";

// Paints every window that waits for it, then peeks once more: some systems
// copy a window's pixels to the screen only when a peek finds nothing to do.
void settle() {
    MSG m{};
    for (int i = 0; i < 50 && PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE); ++i) {
        if (m.message == WM_PAINT) {
            DefWindowProcA(m.hwnd, WM_PAINT, 0, 0);
        }
    }
    Sleep(20);
    PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE);
}

struct Dib {
    HBITMAP bitmap = nullptr;
    std::uint8_t* bits = nullptr;
};

Dib makeDib(HDC dc, int width, int height) {
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    Dib d;
    void* bits = nullptr;
    d.bitmap = CreateDIBSection(dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    d.bits = static_cast<std::uint8_t*>(bits);
    return d;
}

std::uint32_t pixel(const std::uint8_t* bits, int width, int x, int y) {
    std::uint32_t v = 0;
    std::memcpy(&v, bits + (static_cast<std::size_t>(y) * width + x) * 4, 4);
    return v & 0x00FFFFFF;
}

class GdiContract : public ::testing::Test {
  protected:
    void SetUp() override {
        WNDCLASSEXA wc{};
        wc.cbSize = sizeof(wc);
        wc.lpfnWndProc = plainProc;
        wc.hInstance = GetModuleHandleA(nullptr);
        wc.lpszClassName = kClass;
        ASSERT_NE(RegisterClassExA(&wc), 0);
    }
    void TearDown() override { UnregisterClassA(kClass, GetModuleHandleA(nullptr)); }

    contract::Environment env_;
};

TEST_F(GdiContract, DibSectionIsTopDownWithRealPixels) {
    HDC screen = GetDC(nullptr);
    ASSERT_NE(screen, nullptr);
    Dib d = makeDib(screen, 100, 50);
    ASSERT_NE(d.bitmap, nullptr);
    ASSERT_NE(d.bits, nullptr);
    // 100 x 50 x 4 bytes, all writable, rows top-down.
    std::memset(d.bits, 0x11, 20000);
    d.bits[19999] = 0x22;
    EXPECT_EQ(d.bits[19999], 0x22);
    EXPECT_TRUE(DeleteObject(d.bitmap));
    EXPECT_EQ(ReleaseDC(nullptr, screen), 1);
}

TEST_F(GdiContract, InvalidDibDescriptionsCreateNothing) {
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = 0;
    info.bmiHeader.biHeight = -10;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    void* bits = reinterpret_cast<void*>(1);
    EXPECT_EQ(CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0), nullptr);
    EXPECT_EQ(bits, nullptr);
}

TEST_F(GdiContract, SelectObjectReturnsThePreviousBitmap) {
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    ASSERT_NE(memory, nullptr);
    Dib a = makeDib(screen, 8, 8);
    Dib b = makeDib(screen, 8, 8);
    HGDIOBJ initial = SelectObject(memory, a.bitmap);
    ASSERT_NE(initial, nullptr);
    EXPECT_EQ(SelectObject(memory, b.bitmap), a.bitmap);
    EXPECT_EQ(SelectObject(memory, initial), b.bitmap);
    EXPECT_TRUE(DeleteObject(initial));  // the memory DC's initial bitmap may be deleted
    EXPECT_TRUE(DeleteObject(a.bitmap));
    EXPECT_TRUE(DeleteObject(b.bitmap));
    EXPECT_TRUE(DeleteDC(memory));
    EXPECT_EQ(ReleaseDC(nullptr, screen), 1);
}

TEST_F(GdiContract, BitBltIntoAWindowDcIsWhatTheScreenShows) {
    const int w = 64;
    const int h = 48;
    HWND win = CreateWindowExA(WS_EX_LAYERED | WS_EX_NOACTIVATE | WS_EX_TRANSPARENT, kClass, "", WS_POPUP,
                               300, 200, w, h, nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
    ASSERT_NE(win, nullptr);
    ASSERT_TRUE(SetLayeredWindowAttributes(win, 0, 255, LWA_ALPHA));
    ShowWindow(win, SW_SHOW);
    settle();
    HDC windowDc = GetDC(win);
    HDC memory = CreateCompatibleDC(windowDc);
    Dib d = makeDib(windowDc, w, h);
    HGDIOBJ initial = SelectObject(memory, d.bitmap);
    ASSERT_NE(initial, nullptr);
    DeleteObject(initial);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const std::uint32_t v = (y < h / 2 ? 0x00FF0000u : 0x000000FFu) | static_cast<std::uint32_t>(x);
            std::memcpy(d.bits + (static_cast<std::size_t>(y) * w + x) * 4, &v, 4);
        }
    }
    ASSERT_TRUE(BitBlt(windowDc, 0, 0, w, h, memory, 0, 0, SRCCOPY));
    settle();

    // Read the screen back into another DIB section.
    HDC screen = GetDC(nullptr);
    HDC readDc = CreateCompatibleDC(screen);
    Dib read = makeDib(screen, w, h);
    HGDIOBJ readInitial = SelectObject(readDc, read.bitmap);
    ASSERT_TRUE(BitBlt(readDc, 0, 0, w, h, screen, 300, 200, SRCCOPY));
    // A system may show the window's new pixels a little later: wait for the
    // first of them for up to about a second.
    for (int i = 0; i < 40 && pixel(read.bits, w, 0, 0) != 0x00FF0000u; ++i) {
        settle();
        ASSERT_TRUE(BitBlt(readDc, 0, 0, w, h, screen, 300, 200, SRCCOPY));
    }
    EXPECT_EQ(pixel(read.bits, w, 0, 0), 0x00FF0000u);
    EXPECT_EQ(pixel(read.bits, w, 5, 1), 0x00FF0005u);
    EXPECT_EQ(pixel(read.bits, w, 63, 47), 0x000000FFu | 63u);

    SelectObject(readDc, readInitial);
    DeleteObject(read.bitmap);
    DeleteDC(readDc);
    ReleaseDC(nullptr, screen);
    DeleteDC(memory);
    DeleteObject(d.bitmap);
    EXPECT_EQ(ReleaseDC(win, windowDc), 1);
    EXPECT_TRUE(DestroyWindow(win));
}

TEST_F(GdiContract, ALayeredWindowShowsNothingBeforeItsAttributesAreSet) {
    // The pixel under a layered window without attributes is what lies behind it.
    HDC screen = GetDC(nullptr);
    HDC readDc = CreateCompatibleDC(screen);
    Dib before = makeDib(screen, 4, 4);
    Dib after = makeDib(screen, 4, 4);
    HGDIOBJ initial = SelectObject(readDc, before.bitmap);
    ASSERT_TRUE(BitBlt(readDc, 0, 0, 4, 4, screen, 500, 500, SRCCOPY));
    HWND win = CreateWindowExA(WS_EX_LAYERED, kClass, "", WS_POPUP | WS_VISIBLE, 498, 498, 10, 10, nullptr,
                               nullptr, GetModuleHandleA(nullptr), nullptr);
    ASSERT_NE(win, nullptr);
    SelectObject(readDc, after.bitmap);
    ASSERT_TRUE(BitBlt(readDc, 0, 0, 4, 4, screen, 500, 500, SRCCOPY));
    EXPECT_EQ(std::memcmp(before.bits, after.bits, 64), 0);
    SelectObject(readDc, initial);
    DeleteObject(before.bitmap);
    DeleteObject(after.bitmap);
    DeleteDC(readDc);
    ReleaseDC(nullptr, screen);
    DestroyWindow(win);
}

TEST_F(GdiContract, SolidBrushesAreObjectsToDelete) {
    HBRUSH b = CreateSolidBrush(RGB(1, 0, 0));
    ASSERT_NE(b, nullptr);
    EXPECT_TRUE(DeleteObject(b));
}

}  // namespace
