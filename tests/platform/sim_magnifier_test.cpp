// The Magnification API on the simulated desktop: what the Magnifier control
// hands to the image scaling callback, filter lists, and its buffer.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "platform/sim/desktop.h"
#include "platform/win32.h"

namespace {

using sim::bgra;

struct Delivered {
    void* bits = nullptr;
    MAGIMAGEHEADER header{};
    RECT unclipped{};
    int calls = 0;
    std::vector<std::uint8_t> copy;
};

Delivered& delivered() {
    static Delivered d;
    return d;
}

BOOL CALLBACK scalingCallback(HWND, void* srcdata, MAGIMAGEHEADER srcheader, void*, MAGIMAGEHEADER,
                              RECT unclipped, RECT, HRGN) {
    Delivered& d = delivered();
    ++d.calls;
    d.bits = srcdata;
    d.header = srcheader;
    d.unclipped = unclipped;
    const auto* p = static_cast<const std::uint8_t*>(srcdata);
    d.copy.assign(p, p + srcheader.cbSize);
    return TRUE;
}

LRESULT CALLBACK hostProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    return DefWindowProcA(hwnd, msg, wParam, lParam);
}

sim::Colour at(const Delivered& d, int x, int y) {
    sim::Colour c = 0;
    std::memcpy(
        &c, d.copy.data() + static_cast<std::size_t>(y) * d.header.stride + static_cast<std::size_t>(x) * 4,
        4);
    return c | 0xFF000000u;
}

class SimMagnifier : public ::testing::Test {
  protected:
    SimMagnifier() {
        delivered() = Delivered{};
        desk.setWallpaper(sim::Content::solid(bgra(10, 20, 30)));
    }

    void SetUp() override {
        WNDCLASSEXA wc{};
        wc.cbSize = sizeof(wc);
        wc.lpfnWndProc = hostProc;
        wc.lpszClassName = "KESTRAHELPER";
        ASSERT_NE(RegisterClassExA(&wc), 0);
    }

    // A hidden host with a Magnifier control, as the capture source builds it.
    HWND makeControl(int width, int height) {
        host = CreateWindowExA(WS_EX_NOACTIVATE | WS_EX_LAYERED | WS_EX_TOOLWINDOW | WS_EX_TRANSPARENT,
                               "KESTRAHELPER", "", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
        SetLayeredWindowAttributes(host, 0, 255, LWA_ALPHA);
        return CreateWindowExA(0, "Magnifier", "MagnifierWindow", WS_CHILD, 0, 0, width, height, host,
                               nullptr, nullptr, nullptr);
    }

    sim::Desktop desk{{.width = 1920, .height = 1080}};
    HWND host = nullptr;
};

TEST_F(SimMagnifier, TheMagnifierClassExistsOnlyWhileInitialised) {
    EXPECT_EQ(makeControl(10, 10), nullptr);
    ASSERT_TRUE(MagInitialize());
    HWND control = CreateWindowExA(0, "Magnifier", "MagnifierWindow", WS_CHILD, 0, 0, 10, 10, host, nullptr,
                                   nullptr, nullptr);
    ASSERT_NE(control, nullptr);
    ASSERT_TRUE(MagUninitialize());
    EXPECT_EQ(CreateWindowExA(0, "Magnifier", "", WS_CHILD, 0, 0, 10, 10, host, nullptr, nullptr, nullptr),
              nullptr);
}

TEST_F(SimMagnifier, TheCallbackGetsTheSourceImageSynchronously) {
    ASSERT_TRUE(MagInitialize());
    desk.app("editor").createWindow(
        {.rect = {100, 100, 300, 200}, .content = sim::Content::solid(bgra(250, 0, 0))});
    HWND control = makeControl(200, 100);
    ASSERT_TRUE(MagSetImageScalingCallback(control, scalingCallback));
    ASSERT_TRUE(MagSetWindowSource(control, RECT{50, 80, 250, 180}));
    Delivered& d = delivered();
    ASSERT_EQ(d.calls, 1);
    EXPECT_EQ(d.header.width, 200u);
    EXPECT_EQ(d.header.height, 100u);
    EXPECT_EQ(d.header.stride, 800u);
    EXPECT_EQ(d.header.offset, 0u);
    EXPECT_EQ(d.header.cbSize, 80000u);
    EXPECT_EQ(std::memcmp(&d.header.format, &sim::kPixelFormat32bppBGRA, sizeof(GUID)), 0);
    EXPECT_EQ(d.unclipped.left, 50);
    EXPECT_EQ(at(d, 0, 0), bgra(10, 20, 30));   // wallpaper at (50, 80)
    EXPECT_EQ(at(d, 60, 30), bgra(250, 0, 0));  // the window at (110, 110)
}

TEST_F(SimMagnifier, AFilteredWindowIsAbsentAndWhatIsBehindShowsThrough) {
    ASSERT_TRUE(MagInitialize());
    sim::App& app = desk.app("editor");
    app.createWindow({.rect = {0, 0, 400, 400}, .content = sim::Content::solid(bgra(0, 0, 255))});
    HWND front =
        app.createWindow({.rect = {100, 100, 200, 200}, .content = sim::Content::solid(bgra(0, 255, 0))});
    HWND control = makeControl(400, 400);
    ASSERT_TRUE(MagSetImageScalingCallback(control, scalingCallback));
    ASSERT_TRUE(MagSetWindowSource(control, RECT{0, 0, 400, 400}));
    EXPECT_EQ(at(delivered(), 150, 150), bgra(0, 255, 0));
    HWND list[1] = {front};
    ASSERT_TRUE(MagSetWindowFilterList(control, MW_FILTERMODE_EXCLUDE, 1, list));
    ASSERT_TRUE(MagSetWindowSource(control, RECT{0, 0, 400, 400}));
    EXPECT_EQ(at(delivered(), 150, 150), bgra(0, 0, 255));
    EXPECT_EQ(desk.filterList(control), std::vector<HWND>{front});
    EXPECT_FALSE(MagSetWindowFilterList(control, MW_FILTERMODE_INCLUDE, 1, list));
}

TEST_F(SimMagnifier, TheBufferKeepsItsAddressWhileTheSizeStaysTheSame) {
    ASSERT_TRUE(MagInitialize());
    HWND control = makeControl(100, 100);
    ASSERT_TRUE(MagSetImageScalingCallback(control, scalingCallback));
    ASSERT_TRUE(MagSetWindowSource(control, RECT{0, 0, 100, 100}));
    void* first = delivered().bits;
    ASSERT_TRUE(MagSetWindowSource(control, RECT{10, 10, 110, 110}));
    EXPECT_EQ(delivered().bits, first);
    ASSERT_TRUE(MagSetWindowSource(control, RECT{0, 0, 120, 100}));
    EXPECT_NE(delivered().bits, first);
    EXPECT_EQ(delivered().header.width, 120u);
    EXPECT_EQ(desk.magnifierBufferAllocations(control), 2);
    // The counters hold the current source buffer only, until the control goes.
    EXPECT_EQ(desk.counts().magnifierBytes, 120u * 100u * 4u);
    DestroyWindow(control);
    EXPECT_EQ(desk.counts().magnifierBytes, 0u);
}

TEST_F(SimMagnifier, OutsideTheScreenIsBlackAndAHiddenHostStillRenders) {
    ASSERT_TRUE(MagInitialize());
    HWND control = makeControl(40, 40);
    EXPECT_FALSE(IsWindowVisible(control));
    ASSERT_TRUE(MagSetImageScalingCallback(control, scalingCallback));
    ASSERT_TRUE(MagSetWindowSource(control, RECT{-20, -20, 20, 20}));
    ASSERT_EQ(delivered().calls, 1);
    EXPECT_EQ(at(delivered(), 0, 0), bgra(0, 0, 0));
    EXPECT_EQ(at(delivered(), 30, 30), bgra(10, 20, 30));
}

TEST_F(SimMagnifier, AReusedBufferKeepsNothingOfThePreviousImage) {
    ASSERT_TRUE(MagInitialize());
    desk.app("editor").createWindow(
        {.rect = {0, 0, 40, 40}, .content = sim::Content::solid(bgra(200, 200, 0))});
    HWND control = makeControl(40, 40);
    ASSERT_TRUE(MagSetImageScalingCallback(control, scalingCallback));
    ASSERT_TRUE(MagSetWindowSource(control, RECT{0, 0, 40, 40}));
    EXPECT_EQ(at(delivered(), 5, 5), bgra(200, 200, 0));
    ASSERT_TRUE(MagSetWindowSource(control, RECT{-30, -30, 10, 10}));
    EXPECT_EQ(at(delivered(), 5, 5), bgra(0, 0, 0));        // off the screen now
    EXPECT_EQ(at(delivered(), 35, 35), bgra(200, 200, 0));  // the window at (5, 5)
    EXPECT_EQ(desk.magnifierBufferAllocations(control), 1);
}

TEST_F(SimMagnifier, FaultsAndRemovedCallbacksDeliverNothing) {
    ASSERT_TRUE(MagInitialize());
    HWND control = makeControl(40, 40);
    desk.failNext("MagSetImageScalingCallback");
    EXPECT_FALSE(MagSetImageScalingCallback(control, scalingCallback));
    ASSERT_TRUE(MagSetImageScalingCallback(control, scalingCallback));
    desk.failNext("MagSetWindowSource");
    EXPECT_FALSE(MagSetWindowSource(control, RECT{0, 0, 40, 40}));
    EXPECT_EQ(delivered().calls, 0);
    ASSERT_TRUE(MagSetImageScalingCallback(control, nullptr));
    MagSetWindowSource(control, RECT{0, 0, 40, 40});
    EXPECT_EQ(delivered().calls, 0);
    desk.failNext("MagInitialize");
    EXPECT_FALSE(MagInitialize());
    // Destroying the host takes the control with it.
    EXPECT_TRUE(DestroyWindow(host));
    EXPECT_FALSE(IsWindow(control));
}

}  // namespace
