// OverlayLayer on the simulated desktop: the class, the window, the DIB
// section and its replacement, failures of each step, and release.
#include <cstring>

#include "surfaces_fixture.h"

namespace kestra::testing {
namespace {

std::vector<UINT> overlayMessages;

LRESULT CALLBACK recordingProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    overlayMessages.push_back(message);
    return DefWindowProcA(window, message, wParam, lParam);
}

class OverlayTest : public SurfacesTest {
  protected:
    RECT captureRect{300, 200, 400, 250};  // 100 x 50
    HWND target = nullptr;
    OverlayLayer layer;

    void SetUp() override {
        SurfacesTest::SetUp();
        target = appWindow(captureRect, sim::bgra(250, 250, 250));
        layer.ownerWindow = target;
        layer.layerRect = &captureRect;
    }

    void TearDown() override {
        if (layer.layerWindow != nullptr) {
            layer.destroyLayer();
        }
        SurfacesTest::TearDown();
    }

    void sizeFrame(std::uint32_t width, std::uint32_t height) {
        layer.width = width;
        layer.height = height;
        layer.byteSize = static_cast<std::int32_t>(width * height * 4);
    }
};

// ---- the class ----

TEST_F(OverlayTest, ClassUsesTheSharedWindowProcedure) {
    ASSERT_TRUE(UnregisterClassA(kOverlayClassName, moduleInstance));
    sharedWindowProc = recordingProc;
    ASSERT_EQ(registerOverlayClass(moduleInstance), 0);
    ASSERT_EQ(layer.createLayer(), 0);
    overlayMessages.clear();
    SendMessageA(layer.layerWindow, WM_USER + 7, 0, 0);
    EXPECT_EQ(overlayMessages, std::vector<UINT>{WM_USER + 7});
}

TEST_F(OverlayTest, FailedRegistrationReportsAndKeepsNoBrush) {
    const int brushes = desk.counts().brushes;
    desk.failNext("RegisterClassExA");
    EXPECT_EQ(registerOverlayClass(moduleInstance), -1);
    EXPECT_EQ(desk.counts().brushes, brushes);
}

// ---- the window ----

TEST_F(OverlayTest, LayerIsAClickThroughPopupOverItsOwner) {
    ASSERT_EQ(layer.createLayer(), 0);
    ASSERT_TRUE(IsWindow(layer.layerWindow));
    EXPECT_EQ(desk.className(layer.layerWindow), kOverlayClassName);
    EXPECT_EQ(desk.owner(layer.layerWindow), target);
    EXPECT_EQ(desk.parent(layer.layerWindow), nullptr);
    EXPECT_TRUE(IsWindowVisible(layer.layerWindow));
    const RECT r = desk.window(layer.layerWindow).rect();
    EXPECT_EQ(r.left, captureRect.left);
    EXPECT_EQ(r.top, captureRect.top);
    EXPECT_EQ(r.right, captureRect.right);
    EXPECT_EQ(r.bottom, captureRect.bottom);

    const DWORD exStyle = static_cast<DWORD>(GetWindowLongA(layer.layerWindow, GWL_EXSTYLE));
    const DWORD wanted = WS_EX_NOACTIVATE | WS_EX_LAYERED | WS_EX_TRANSPARENT;
    EXPECT_EQ(exStyle & wanted, wanted);
    EXPECT_EQ(exStyle & (WS_EX_TOOLWINDOW | WS_EX_TOPMOST), 0u);
    EXPECT_NE(static_cast<DWORD>(GetWindowLongA(layer.layerWindow, GWL_STYLE)) & WS_POPUP, 0u);

    // Above its owner in the z-order.
    const std::vector<HWND> order = desk.zOrder();
    const auto overlayAt = std::find(order.begin(), order.end(), layer.layerWindow);
    const auto targetAt = std::find(order.begin(), order.end(), target);
    EXPECT_LT(overlayAt, targetAt);

    EXPECT_NE(layer.windowDC, nullptr);
    EXPECT_EQ(desk.counts().windowDCs, 1);
    EXPECT_EQ(layer.memoryDC, nullptr);
    EXPECT_EQ(layer.bitmap, nullptr);
}

TEST_F(OverlayTest, ShowingTheLayerLeavesTheTargetInTheForeground) {
    desk.window(target).activate();
    ASSERT_EQ(desk.foregroundWindow(), target);
    ASSERT_EQ(layer.createLayer(), 0);
    EXPECT_EQ(desk.foregroundWindow(), target);
    // SW_SHOW would activate even a WS_EX_NOACTIVATE popup (as Wine does).
    EXPECT_NE(desk.helperActiveWindow(), layer.layerWindow);
    ShowWindow(layer.layerWindow, SW_HIDE);
    ShowWindow(layer.layerWindow, SW_SHOWNOACTIVATE);
    EXPECT_EQ(desk.foregroundWindow(), target);
}

TEST_F(OverlayTest, WindowFailureCreatesNothing) {
    const sim::Counts before = desk.counts();
    desk.addFault(faultFor("CreateWindowExA", 1, kOverlayClassName));
    EXPECT_EQ(layer.createLayer(), -2);
    EXPECT_EQ(layer.layerWindow, nullptr);
    EXPECT_EQ(layer.windowDC, nullptr);
    EXPECT_TRUE(desk.helperWindows().empty());
    EXPECT_EQ(desk.counts().windowDCs, 0);
    layer.destroyLayer();  // harmless on a layer that never came to be
    EXPECT_EQ(desk.counts().gdiObjects, before.gdiObjects);
}

// ---- the surface ----

TEST_F(OverlayTest, SurfaceIsATopDown32BitSectionOfTheFrameSize) {
    ASSERT_EQ(layer.createLayer(), 0);
    sizeFrame(100, 50);
    ASSERT_EQ(layer.allocateSurface(), 0);
    const BITMAPINFOHEADER& header = layer.bitmapInfo.bmiHeader;
    EXPECT_EQ(header.biSize, 40u);
    EXPECT_EQ(header.biWidth, 100);
    EXPECT_EQ(header.biHeight, -50);
    EXPECT_EQ(header.biPlanes, 1);
    EXPECT_EQ(header.biBitCount, 32);
    EXPECT_EQ(header.biCompression, static_cast<DWORD>(BI_RGB));
    EXPECT_EQ(header.biSizeImage, 0u);
    ASSERT_NE(layer.bitmap, nullptr);
    ASSERT_NE(layer.surfaceBits, nullptr);

    // 20000 bytes of pixels; the first row is the top of the window.
    std::vector<std::uint8_t> frame(20000, 0);
    for (int x = 0; x < 100; ++x) {
        frame[static_cast<std::size_t>(x) * 4 + 2] = 255;  // row 0 red
    }
    layer.sourceBits = frame.data();
    std::memcpy(layer.surfaceBits, layer.sourceBits, static_cast<std::size_t>(layer.byteSize));
    ASSERT_TRUE(BitBlt(layer.windowDC, 0, 0, 100, 50, layer.memoryDC, 0, 0, SRCCOPY));
    const sim::Image shown = desk.window(layer.layerWindow).content();
    EXPECT_EQ(sim::redOf(shown.pixel(0, 0)), 255);
    EXPECT_EQ(sim::redOf(shown.pixel(99, 0)), 255);
    EXPECT_EQ(sim::redOf(shown.pixel(0, 49)), 0);
    // And that is what a person sees over the target.
    EXPECT_EQ(sim::redOf(desk.pixelAt(captureRect.left, captureRect.top)), 255);
    EXPECT_EQ(sim::greenOf(desk.pixelAt(captureRect.left, captureRect.top)), 0);
    EXPECT_EQ(sim::redOf(desk.pixelAt(captureRect.left, captureRect.bottom - 1)), 0);
}

TEST_F(OverlayTest, TwoAllocationsLeaveOneOfEach) {
    ASSERT_EQ(layer.createLayer(), 0);
    sizeFrame(100, 50);
    ASSERT_EQ(layer.allocateSurface(), 0);
    sizeFrame(64, 32);
    ASSERT_EQ(layer.allocateSurface(), 0);
    const sim::Counts counts = desk.counts();
    EXPECT_EQ(counts.memoryDCs, 1);
    EXPECT_EQ(counts.windowDCs, 1);
    EXPECT_EQ(counts.dibSections, 1);
    EXPECT_EQ(layer.bitmapInfo.bmiHeader.biWidth, 64);
    EXPECT_EQ(layer.bitmapInfo.bmiHeader.biHeight, -32);
    std::memset(layer.surfaceBits, 0x7F, 64u * 32u * 4u);  // the whole new surface is writable
}

TEST_F(OverlayTest, FailedSectionLeavesNoSurfaceBits) {
    ASSERT_EQ(layer.createLayer(), 0);
    sizeFrame(100, 50);
    ASSERT_EQ(layer.allocateSurface(), 0);
    ASSERT_NE(layer.surfaceBits, nullptr);
    sizeFrame(120, 60);
    desk.failNext("CreateDIBSection");
    EXPECT_EQ(layer.allocateSurface(), -1);
    EXPECT_EQ(layer.bitmap, nullptr);
    EXPECT_EQ(layer.surfaceBits, nullptr);  // not the old section's pixels
    EXPECT_EQ(desk.counts().dibSections, 0);
    EXPECT_EQ(desk.counts().memoryDCs, 1);
    EXPECT_EQ(desk.counts().windowDCs, 1);

    // The next frame-size change makes a surface again.
    ASSERT_EQ(layer.allocateSurface(), 0);
    EXPECT_NE(layer.surfaceBits, nullptr);
    EXPECT_EQ(desk.counts().dibSections, 1);
}

TEST_F(OverlayTest, FirstAllocationFailureAlsoLeavesNoSurfaceBits) {
    ASSERT_EQ(layer.createLayer(), 0);
    sizeFrame(100, 50);
    desk.failNext("CreateDIBSection");
    EXPECT_EQ(layer.allocateSurface(), -1);
    EXPECT_EQ(layer.surfaceBits, nullptr);
}

TEST_F(OverlayTest, FailedSelectionReportsMinusOne) {
    ASSERT_EQ(layer.createLayer(), 0);
    sizeFrame(100, 50);
    desk.failNext("SelectObject");
    EXPECT_EQ(layer.allocateSurface(), -1);
    layer.destroyLayer();
    const sim::Counts counts = desk.counts();
    EXPECT_EQ(counts.dibSections, 0);
    EXPECT_EQ(counts.memoryDCs, 0);
    EXPECT_EQ(counts.windowDCs, 0);
}

TEST_F(OverlayTest, FailedWindowDCLeavesNoSurfaceAndLeaksNothing) {
    const sim::Counts before = desk.counts();
    ASSERT_EQ(layer.createLayer(), 0);
    sizeFrame(100, 50);
    ASSERT_EQ(layer.allocateSurface(), 0);
    // The window DC cannot be had (as when the overlay went away under the
    // engine): the failure is reported and no memory DC or section is kept.
    sizeFrame(120, 60);
    desk.failNext("GetDC");
    EXPECT_EQ(layer.allocateSurface(), -1);
    EXPECT_EQ(layer.windowDC, nullptr);
    EXPECT_EQ(layer.memoryDC, nullptr);
    EXPECT_EQ(layer.bitmap, nullptr);
    EXPECT_EQ(layer.surfaceBits, nullptr);
    EXPECT_EQ(desk.counts().memoryDCs, 0);
    EXPECT_EQ(desk.counts().dibSections, 0);

    // The next frame-size change makes a surface again; destroying the layer
    // then gives every GDI object back.
    ASSERT_EQ(layer.allocateSurface(), 0);
    EXPECT_NE(layer.surfaceBits, nullptr);
    desk.failNext("GetDC");
    EXPECT_EQ(layer.allocateSurface(), -1);
    layer.destroyLayer();
    const sim::Counts after = desk.counts();
    EXPECT_EQ(after.windowDCs, 0);
    EXPECT_EQ(after.memoryDCs, 0);
    EXPECT_EQ(after.dibSections, 0);
    EXPECT_EQ(after.gdiObjects, before.gdiObjects);
}

// ---- release ----

TEST_F(OverlayTest, DestroyAfterHideReleasesEverything) {
    const sim::Counts before = desk.counts();
    ASSERT_EQ(layer.createLayer(), 0);
    sizeFrame(100, 50);
    ASSERT_EQ(layer.allocateSurface(), 0);
    ShowWindow(layer.layerWindow, SW_HIDE);
    const HWND window = layer.layerWindow;
    EXPECT_TRUE(layer.destroyLayer());
    EXPECT_FALSE(IsWindow(window));
    const sim::Counts after = desk.counts();
    EXPECT_EQ(after.windowDCs, 0);
    EXPECT_EQ(after.memoryDCs, 0);
    EXPECT_EQ(after.dibSections, 0);
    EXPECT_EQ(after.bitmaps, before.bitmaps);
    EXPECT_EQ(after.gdiObjects, before.gdiObjects);
    EXPECT_EQ(after.helperWindows, 0);
    EXPECT_EQ(after.emptyWorkingSetCalls, before.emptyWorkingSetCalls + 1);
    EXPECT_EQ(layer.layerWindow, nullptr);
    EXPECT_EQ(layer.windowDC, nullptr);
    EXPECT_EQ(layer.memoryDC, nullptr);
    EXPECT_EQ(layer.bitmap, nullptr);
    EXPECT_EQ(layer.surfaceBits, nullptr);
}

TEST_F(OverlayTest, SecondDestroyReleasesNothingTwice) {
    ASSERT_EQ(layer.createLayer(), 0);
    sizeFrame(10, 10);
    ASSERT_EQ(layer.allocateSurface(), 0);
    layer.destroyLayer();
    const HWND bystander = appWindow({0, 0, 50, 50}, sim::bgra(1, 2, 3));
    const sim::Counts between = desk.counts();
    layer.destroyLayer();
    const sim::Counts after = desk.counts();
    EXPECT_EQ(after.gdiObjects, between.gdiObjects);
    EXPECT_EQ(after.windows, between.windows);
    EXPECT_TRUE(IsWindow(bystander));
}

TEST_F(OverlayTest, ALayerGoingOutOfScopeReleasesWhatItHolds) {
    const sim::Counts before = desk.counts();
    HWND window = nullptr;
    {
        OverlayLayer scoped;
        scoped.ownerWindow = target;
        scoped.layerRect = &captureRect;
        ASSERT_EQ(scoped.createLayer(), 0);
        scoped.width = 40;
        scoped.height = 20;
        ASSERT_EQ(scoped.allocateSurface(), 0);
        window = scoped.layerWindow;
    }
    EXPECT_FALSE(IsWindow(window));
    const sim::Counts after = desk.counts();
    EXPECT_EQ(after.windowDCs, 0);
    EXPECT_EQ(after.memoryDCs, 0);
    EXPECT_EQ(after.dibSections, 0);
    EXPECT_EQ(after.gdiObjects, before.gdiObjects);
    EXPECT_EQ(after.helperWindows, 0);
}

TEST_F(OverlayTest, LayerCanBeCreatedAgainAfterDestroy) {
    ASSERT_EQ(layer.createLayer(), 0);
    sizeFrame(10, 10);
    ASSERT_EQ(layer.allocateSurface(), 0);
    layer.destroyLayer();
    ASSERT_EQ(layer.createLayer(), 0);
    EXPECT_TRUE(IsWindow(layer.layerWindow));
    EXPECT_EQ(layer.bitmapInfo.bmiHeader.biWidth, 0);  // zeroed again
    ASSERT_EQ(layer.allocateSurface(), 0);
    EXPECT_EQ(desk.counts().dibSections, 1);
}

}  // namespace
}  // namespace kestra::testing
