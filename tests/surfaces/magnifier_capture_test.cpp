// MagnifierCapture on the simulated desktop: creation and its failures, the
// new-frame rule, the pacing of filter-list rebuilds, the two filter lists,
// resizing and destruction.
#include <cstring>

#include "support/call_sequence.h"
#include "surfaces_fixture.h"

namespace kestra::testing {
namespace {

class CaptureTest : public SurfacesTest {
  protected:
    RECT targetRect{200, 150, 520, 390};  // 320 x 240
    HWND target = nullptr;
    MagnifierCapture capture;

    void SetUp() override {
        SurfacesTest::SetUp();
        target = appWindow(targetRect, sim::bgra(240, 240, 240));
        capture.sourceRect = &targetRect;
        capture.sourceWindow = target;
    }

    void TearDown() override {
        capture.destroyCapture(true);
        SurfacesTest::TearDown();
    }

    // A window placed above everything created so far.
    HWND windowInFront(const RECT& r, bool visible = true) {
        return appWindow(r, sim::bgra(200, 0, 0), visible);
    }

    std::vector<HWND> ownHandles(int count) {
        std::vector<HWND> handles;
        for (int i = 0; i < count; ++i) {
            handles.push_back(appWindow({5 + i, 5, 15 + i, 15}, sim::bgra(0, 0, 255), false));
        }
        return handles;
    }
};

// ---- creation ----

TEST_F(CaptureTest, CreatesHiddenHostWithMagnifierChildOfSourceSize) {
    ASSERT_EQ(capture.createCapture(), 0);
    ASSERT_TRUE(IsWindow(capture.hostWindow));
    ASSERT_TRUE(IsWindow(capture.magnifierWindow));
    EXPECT_EQ(desk.className(capture.hostWindow), kHelperClassName);
    EXPECT_FALSE(IsWindowVisible(capture.hostWindow));
    const DWORD exStyle = static_cast<DWORD>(GetWindowLongA(capture.hostWindow, GWL_EXSTYLE));
    const DWORD wanted = WS_EX_NOACTIVATE | WS_EX_LAYERED | WS_EX_TOOLWINDOW | WS_EX_TRANSPARENT;
    EXPECT_EQ(exStyle & wanted, wanted);

    EXPECT_EQ(desk.className(capture.magnifierWindow), "Magnifier");
    EXPECT_EQ(desk.title(capture.magnifierWindow), "MagnifierWindow");
    EXPECT_EQ(desk.parent(capture.magnifierWindow), capture.hostWindow);
    const RECT control = desk.window(capture.magnifierWindow).rect();
    EXPECT_EQ(widthOf(control), widthOf(targetRect));
    EXPECT_EQ(heightOf(control), heightOf(targetRect));
    EXPECT_EQ(capture.lastFilterRefresh, -500);
}

TEST_F(CaptureTest, HostWindowFailureCreatesNothing) {
    desk.addFault(faultFor("CreateWindowExA", 1, kHelperClassName));
    EXPECT_EQ(capture.createCapture(), -2);
    EXPECT_EQ(capture.hostWindow, nullptr);
    EXPECT_TRUE(desk.helperWindows().empty());
}

TEST_F(CaptureTest, CallbackFailureLeavesHostForDestroy) {
    desk.failNext("MagSetImageScalingCallback");
    EXPECT_EQ(capture.createCapture(), -1);
    EXPECT_TRUE(IsWindow(capture.hostWindow));
    EXPECT_TRUE(capture.destroyCapture(false));
    EXPECT_TRUE(desk.helperWindows().empty());
}

// ---- the new-frame rule ----

TEST_F(CaptureTest, FirstFrameIsNewAndShowsTheSourceRectangle) {
    ASSERT_EQ(capture.createCapture(), 0);
    ASSERT_EQ(capture.captureFrame(), CaptureResult::newFrame);
    ASSERT_NE(capture.frameBits, nullptr);
    EXPECT_EQ(capture.frameHeader.width, static_cast<UINT>(widthOf(targetRect)));
    EXPECT_EQ(capture.frameHeader.height, static_cast<UINT>(heightOf(targetRect)));
    EXPECT_EQ(capture.frameStride, widthOf(targetRect) * 4);
    const sim::Image expected = desk.compose(targetRect);
    ASSERT_EQ(capture.frameHeader.cbSize, expected.pixels.size());
    EXPECT_EQ(std::memcmp(capture.frameBits, expected.pixels.data(), expected.pixels.size()), 0);
    EXPECT_EQ(lastScaledFrame.bits, nullptr);  // consumed
}

TEST_F(CaptureTest, SameBufferAndSizeIsNotNewEvenWhenPixelsChanged) {
    ASSERT_EQ(capture.createCapture(), 0);
    ASSERT_EQ(capture.captureFrame(), CaptureResult::newFrame);
    std::uint8_t* const first = capture.frameBits;
    desk.window(target).setContent(sim::Content::solid(sim::bgra(10, 20, 30)));
    ASSERT_EQ(capture.captureFrame(), CaptureResult::sameFrame);
    EXPECT_EQ(capture.frameBits, first);
    // The pixels in the buffer did change: only the engine compares them.
    EXPECT_EQ(capture.frameBits[2], 10);
    EXPECT_EQ(capture.captureFrame(), CaptureResult::sameFrame);
}

TEST_F(CaptureTest, NewSizeAfterResizeIsNew) {
    ASSERT_EQ(capture.createCapture(), 0);
    ASSERT_EQ(capture.captureFrame(), CaptureResult::newFrame);
    targetRect.right += 40;
    targetRect.bottom += 10;
    EXPECT_TRUE(capture.resizeCapture());
    const RECT control = desk.window(capture.magnifierWindow).rect();
    EXPECT_EQ(widthOf(control), widthOf(targetRect));
    EXPECT_EQ(heightOf(control), heightOf(targetRect));
    ASSERT_EQ(capture.captureFrame(), CaptureResult::newFrame);
    EXPECT_EQ(capture.frameHeader.width, static_cast<UINT>(widthOf(targetRect)));
    EXPECT_EQ(capture.frameStride, widthOf(targetRect) * 4);
    EXPECT_EQ(capture.captureFrame(), CaptureResult::sameFrame);
}

TEST_F(CaptureTest, ResizeReinstallsTheCallbackAroundTheMove) {
    ASSERT_EQ(capture.createCapture(), 0);
    desk.callLog().enable();
    targetRect.right -= 20;
    EXPECT_TRUE(capture.resizeCapture());
    EXPECT_TRUE(callSequence(callsAbout(desk.callLog(), capture.magnifierWindow),
                             {
                                 {"MagSetImageScalingCallback", 0},
                                 {"SetWindowPos", SWP_NOSENDCHANGING | SWP_NOACTIVATE | SWP_NOREDRAW},
                                 {"MagSetImageScalingCallback", 1},
                             }));
}

TEST_F(CaptureTest, NoImageKeepsThePreviousFrame) {
    ASSERT_EQ(capture.createCapture(), 0);
    ASSERT_EQ(capture.captureFrame(), CaptureResult::newFrame);
    const std::uint8_t* const bits = capture.frameBits;
    const UINT width = capture.frameHeader.width;
    desk.failNext("MagSetWindowSource");
    EXPECT_EQ(capture.captureFrame(), CaptureResult::noFrame);
    EXPECT_EQ(capture.frameBits, bits);
    EXPECT_EQ(capture.frameHeader.width, width);
    EXPECT_EQ(capture.captureFrame(), CaptureResult::sameFrame);
}

TEST_F(CaptureTest, CallbackRecordsTheSourceImageOnly) {
    std::uint8_t pixels[8] = {};
    MAGIMAGEHEADER source{};
    source.width = 2;
    source.height = 1;
    source.stride = 8;
    source.cbSize = 8;
    MAGIMAGEHEADER destination{};
    destination.width = 99;
    EXPECT_EQ(imageScalingCallback(nullptr, pixels, source, nullptr, destination, RECT{}, RECT{}, nullptr),
              TRUE);
    EXPECT_EQ(lastScaledFrame.bits, pixels);
    EXPECT_EQ(lastScaledFrame.header.width, 2u);
    EXPECT_EQ(lastScaledFrame.header.cbSize, 8u);
}

// ---- pacing of filter-list rebuilds ----

TEST_F(CaptureTest, ModeZeroNeverSetsAFilterList) {
    ASSERT_EQ(capture.createCapture(), 0);
    desk.callLog().enable();
    for (int i = 0; i < 5; ++i) {
        passTime(600);
        EXPECT_GE(capture.captureFrame(), CaptureResult::sameFrame);
    }
    EXPECT_TRUE(desk.callLog().named("MagSetWindowFilterList").empty());
    EXPECT_GE(capture.lastFilterRefresh, 2400);  // the timestamp still moves on
}

TEST_F(CaptureTest, ListsAreRebuiltOnlyAfterMoreThan500Ms) {
    capture.filterMode = FilterMode::windowsInFront;
    ASSERT_EQ(capture.createCapture(), 0);
    desk.callLog().enable();
    passTime(1);
    (void)capture.captureFrame();  // 1 - (-500) > 500: due
    EXPECT_EQ(filterListsSet().size(), 1u);
    const std::int32_t rebuilt = capture.lastFilterRefresh;
    passTime(500);
    (void)capture.captureFrame();  // exactly 500 later: not yet
    EXPECT_EQ(filterListsSet().size(), 1u);
    passTime(1);
    (void)capture.captureFrame();
    EXPECT_EQ(filterListsSet().size(), 2u);
    EXPECT_EQ(capture.lastFilterRefresh, rebuilt + 501);
}

// ---- windows in front (mode 1) ----

TEST_F(CaptureTest, EdgeTouchingWindowsAreNotInFrontButCoveringOnesAre) {
    const HWND touchesRight = windowInFront({targetRect.right, 150, 700, 390});
    const HWND touchesLeft = windowInFront({100, 150, targetRect.left, 390});
    const HWND touchesBottom = windowInFront({200, targetRect.bottom, 520, 500});
    const HWND touchesTop = windowInFront({200, 50, 520, targetRect.top});
    const HWND covers = windowInFront({100, 100, 600, 450});
    const HWND inside = windowInFront({300, 200, 310, 210});
    const HWND overlapsRight = windowInFront({targetRect.right - 1, 160, 700, 170});
    const HWND hidden = windowInFront({100, 100, 600, 450}, false);
    ASSERT_EQ(capture.createCapture(), 0);
    desk.callLog().enable();
    capture.excludeWindowsInFront();
    const std::vector<std::vector<HWND>> lists = filterListsSet();
    ASSERT_EQ(lists.size(), 1u);
    // Nearest to the target first: the walk goes up the z-order.
    EXPECT_EQ(lists[0], (std::vector<HWND>{covers, inside, overlapsRight}));
    EXPECT_EQ(desk.filterList(capture.magnifierWindow), lists[0]);
    (void)touchesRight, (void)touchesLeft, (void)touchesBottom, (void)touchesTop, (void)hidden;
}

TEST_F(CaptureTest, WindowsBehindTheSourceAreNotExcluded) {
    const HWND behind = windowInFront({100, 100, 600, 450});
    desk.window(target).activate();  // the target rises above it
    const HWND front = windowInFront({150, 120, 400, 300});
    ASSERT_EQ(capture.createCapture(), 0);
    desk.callLog().enable();
    capture.excludeWindowsInFront();
    ASSERT_EQ(filterListsSet().size(), 1u);
    EXPECT_EQ(filterListsSet()[0], std::vector<HWND>{front});
    (void)behind;
}

TEST_F(CaptureTest, WindowsInFrontComeBeforeTheOwnExclusions) {
    const std::vector<HWND> own = ownHandles(2);
    const HWND near = windowInFront({210, 160, 260, 200});
    const HWND far = windowInFront({210, 160, 260, 200});
    capture.exclusions = own;
    ASSERT_EQ(capture.createCapture(), 0);
    desk.callLog().enable();
    capture.excludeWindowsInFront();
    ASSERT_EQ(filterListsSet().size(), 1u);
    EXPECT_EQ(filterListsSet()[0], (std::vector<HWND>{near, far, own[0], own[1]}));
}

TEST_F(CaptureTest, TwentyOwnExclusionsLeaveRoomForFourWindowsInFront) {
    const std::vector<HWND> own = ownHandles(20);
    std::vector<HWND> inFront;
    for (int i = 0; i < 6; ++i) {
        inFront.push_back(windowInFront({250 + i, 200, 300 + i, 250}));
    }
    capture.exclusions = own;
    ASSERT_EQ(capture.createCapture(), 0);
    desk.callLog().enable();
    capture.excludeWindowsInFront();
    ASSERT_EQ(filterListsSet().size(), 1u);
    std::vector<HWND> expected(inFront.begin(), inFront.begin() + 4);
    expected.insert(expected.end(), own.begin(), own.end());
    EXPECT_EQ(filterListsSet()[0], expected);
    EXPECT_EQ(filterListsSet()[0].size(), static_cast<std::size_t>(MAX_EXCLUSIONS));
}

TEST_F(CaptureTest, FullOwnListLeavesTheEarlierFilterInForce) {
    const HWND front = windowInFront({210, 160, 260, 200});
    ASSERT_EQ(capture.createCapture(), 0);
    capture.excludeWindowsInFront();
    ASSERT_EQ(desk.filterList(capture.magnifierWindow), std::vector<HWND>{front});
    capture.exclusions = ownHandles(MAX_EXCLUSIONS);
    desk.callLog().enable();
    capture.excludeWindowsInFront();
    EXPECT_TRUE(filterListsSet().empty());
    EXPECT_EQ(desk.filterList(capture.magnifierWindow), std::vector<HWND>{front});
}

TEST_F(CaptureTest, WindowWhoseRectangleCannotBeReadIsLeftOut) {
    const HWND unreadable = windowInFront({210, 160, 260, 200});
    const HWND readable = windowInFront({210, 160, 260, 200});
    desk.addFault(faultFor("GetWindowRect", -1, {}, unreadable));
    ASSERT_EQ(capture.createCapture(), 0);
    desk.callLog().enable();
    capture.excludeWindowsInFront();
    ASSERT_EQ(filterListsSet().size(), 1u);
    EXPECT_EQ(filterListsSet()[0], std::vector<HWND>{readable});
}

TEST_F(CaptureTest, ExcludedWindowInFrontDisappearsFromTheImage) {
    const RECT coverRect{250, 200, 400, 300};
    windowInFront(coverRect);
    capture.filterMode = FilterMode::windowsInFront;
    ASSERT_EQ(capture.createCapture(), 0);
    passTime(1);
    ASSERT_EQ(capture.captureFrame(), CaptureResult::newFrame);
    // Inside the covered part the target's own colour shows.
    const int x = coverRect.left - targetRect.left + 10;
    const int y = coverRect.top - targetRect.top + 10;
    const std::uint8_t* pixel = capture.frameBits + y * capture.frameStride + x * 4;
    EXPECT_EQ(pixel[2], 240);
    EXPECT_EQ(pixel[1], 240);
    // What a person sees there is the red window.
    EXPECT_EQ(sim::redOf(desk.pixelAt(coverRect.left + 10, coverRect.top + 10)), 200);
    EXPECT_EQ(sim::greenOf(desk.pixelAt(coverRect.left + 10, coverRect.top + 10)), 0);
}

// ---- every window (mode 2) ----

TEST_F(CaptureTest, AllWindowsListIsOwnHandlesThenTheTopVisibleWindows) {
    std::vector<HWND> visible;
    for (int i = 0; i < 30; ++i) {
        visible.push_back(appWindow({10 * i, 10, 10 * i + 50, 60}, sim::bgra(0, 100, 0)));
        appWindow({10 * i, 10, 10 * i + 50, 60}, sim::bgra(0, 100, 0), false);  // hidden: skipped
    }
    // Own handles that are also on screen are listed again by the walk.
    const std::vector<HWND> own = {visible[29], visible[0], target};
    capture.exclusions = own;
    ASSERT_EQ(capture.createCapture(), 0);
    desk.callLog().enable();
    capture.excludeAllWindows();
    ASSERT_EQ(filterListsSet().size(), 1u);

    std::vector<HWND> expected = own;
    for (HWND w : desk.zOrder()) {
        if (expected.size() == static_cast<std::size_t>(MAX_EXCLUSIONS)) {
            break;
        }
        if (w != desk.desktopWindow() && IsWindowVisible(w)) {
            expected.push_back(w);
        }
    }
    ASSERT_EQ(expected.size(), 24u);
    // From the top of the z-order: the last created window first.
    EXPECT_EQ(expected[3], visible[29]);
    EXPECT_EQ(filterListsSet()[0], expected);
}

TEST_F(CaptureTest, AllWindowsListTakesAtMost24OwnHandles) {
    appWindow({0, 0, 100, 100}, sim::bgra(0, 0, 0));
    const std::vector<HWND> own = ownHandles(30);
    capture.exclusions = own;
    ASSERT_EQ(capture.createCapture(), 0);
    desk.callLog().enable();
    capture.excludeAllWindows();
    ASSERT_EQ(filterListsSet().size(), 1u);
    EXPECT_EQ(filterListsSet()[0], std::vector<HWND>(own.begin(), own.begin() + MAX_EXCLUSIONS));
}

TEST_F(CaptureTest, ModeTwoCaptureShowsWhatLiesBehindTheWindows) {
    capture.filterMode = FilterMode::allWindows;
    ASSERT_EQ(capture.createCapture(), 0);
    passTime(1);
    ASSERT_EQ(capture.captureFrame(), CaptureResult::newFrame);
    const sim::Image wallpaperOnly = desk.compose(targetRect, {target});
    ASSERT_EQ(capture.frameHeader.cbSize, wallpaperOnly.pixels.size());
    EXPECT_EQ(std::memcmp(capture.frameBits, wallpaperOnly.pixels.data(), wallpaperOnly.pixels.size()), 0);
}

// ---- destruction ----

TEST_F(CaptureTest, DestroyRemovesWindowsAndKeepsOrClearsExclusions) {
    capture.exclusions = ownHandles(2);
    ASSERT_EQ(capture.createCapture(), 0);
    ASSERT_EQ(capture.captureFrame(), CaptureResult::newFrame);
    const HWND host = capture.hostWindow;
    const HWND control = capture.magnifierWindow;
    EXPECT_TRUE(capture.destroyCapture(false));
    EXPECT_FALSE(IsWindow(host));
    EXPECT_FALSE(IsWindow(control));
    EXPECT_EQ(capture.hostWindow, nullptr);
    EXPECT_EQ(capture.magnifierWindow, nullptr);
    EXPECT_EQ(capture.frameBits, nullptr);
    EXPECT_EQ(capture.exclusions.size(), 2u);

    // A second destroy does nothing but may still clear the exclusions.
    EXPECT_FALSE(capture.destroyCapture(true));
    EXPECT_TRUE(capture.exclusions.empty());
    EXPECT_TRUE(desk.helperWindows().empty());
}

TEST_F(CaptureTest, DestroyedCaptureCanBeCreatedAgain) {
    capture.filterMode = FilterMode::windowsInFront;
    ASSERT_EQ(capture.createCapture(), 0);
    ASSERT_EQ(capture.captureFrame(), CaptureResult::newFrame);
    capture.destroyCapture(false);
    ASSERT_EQ(capture.createCapture(), 0);
    EXPECT_EQ(capture.captureFrame(), CaptureResult::newFrame);
    EXPECT_EQ(capture.filterMode, FilterMode::windowsInFront);
    EXPECT_EQ(capture.sourceWindow, target);
}

TEST_F(CaptureTest, RenewedCaptureDropsItsFrameAndKeepsItsSettings) {
    capture.exclusions = ownHandles(2);
    capture.filterMode = FilterMode::windowsInFront;
    ASSERT_EQ(capture.createCapture(), 0);
    ASSERT_EQ(capture.captureFrame(), CaptureResult::newFrame);
    const HWND host = capture.hostWindow;
    const std::size_t frameBytes = static_cast<std::size_t>(widthOf(targetRect) * heightOf(targetRect) * 4);
    ASSERT_EQ(desk.counts().magnifierBytes, frameBytes);

    ASSERT_EQ(capture.renewCapture(), 0);
    EXPECT_FALSE(IsWindow(host));
    EXPECT_TRUE(IsWindow(capture.hostWindow));
    EXPECT_EQ(desk.parent(capture.magnifierWindow), capture.hostWindow);
    EXPECT_EQ(capture.frameBits, nullptr);
    EXPECT_EQ(desk.counts().magnifierBytes, 0u) << "the fresh control holds no frame";
    EXPECT_EQ(capture.exclusions.size(), 2u);
    EXPECT_EQ(capture.filterMode, FilterMode::windowsInFront);
    EXPECT_EQ(capture.lastFilterRefresh, -500) << "the filter list is rebuilt at the next capture";

    ASSERT_EQ(capture.captureFrame(), CaptureResult::newFrame);
    const sim::Image expected = desk.compose(targetRect);
    ASSERT_EQ(capture.frameHeader.cbSize, expected.pixels.size());
    EXPECT_EQ(std::memcmp(capture.frameBits, expected.pixels.data(), expected.pixels.size()), 0);
    EXPECT_EQ(desk.counts().magnifierBytes, frameBytes);
}

TEST_F(CaptureTest, RenewedCaptureWithoutFilterModeGetsItsExclusionsAtOnce) {
    capture.exclusions = ownHandles(3);
    ASSERT_EQ(capture.createCapture(), 0);
    desk.callLog().enable();
    ASSERT_EQ(capture.renewCapture(), 0);
    const auto lists = desk.callLog().named("MagSetWindowFilterList");
    ASSERT_EQ(lists.size(), 1u);
    EXPECT_EQ(lists[0].window, capture.magnifierWindow);
    EXPECT_EQ(lists[0].handles, capture.exclusions);
}

TEST_F(CaptureTest, FailedRenewalKeepsTheOldControlAndItsFrame) {
    capture.filterMode = FilterMode::windowsInFront;
    ASSERT_EQ(capture.createCapture(), 0);
    ASSERT_EQ(capture.captureFrame(), CaptureResult::newFrame);
    const HWND host = capture.hostWindow;
    const HWND control = capture.magnifierWindow;
    std::uint8_t* const frame = capture.frameBits;
    const std::int32_t refreshed = capture.lastFilterRefresh;
    const std::size_t windows = desk.helperWindows().size();
    desk.failNext("MagSetImageScalingCallback");
    EXPECT_EQ(capture.renewCapture(), -1);
    EXPECT_EQ(capture.hostWindow, host);
    EXPECT_EQ(capture.magnifierWindow, control);
    EXPECT_EQ(capture.frameBits, frame);
    EXPECT_EQ(capture.lastFilterRefresh, refreshed);
    EXPECT_EQ(desk.helperWindows().size(), windows) << "the half-made control is gone";
    EXPECT_EQ(capture.captureFrame(), CaptureResult::sameFrame);

    desk.addFault(faultFor("CreateWindowExA", 1, kHelperClassName));
    EXPECT_EQ(capture.renewCapture(), -2);
    EXPECT_EQ(capture.hostWindow, host);
    EXPECT_EQ(capture.frameBits, frame);
}

TEST_F(CaptureTest, ResetClearsTheSharedRecord) {
    ASSERT_EQ(capture.createCapture(), 0);
    std::uint8_t byte = 0;
    MAGIMAGEHEADER header{};
    header.width = 1;
    imageScalingCallback(nullptr, &byte, header, nullptr, header, RECT{}, RECT{}, nullptr);
    sharedWindowProc = nullptr;
    resetSurfacesState();
    EXPECT_EQ(lastScaledFrame.bits, nullptr);
    EXPECT_EQ(lastScaledFrame.header.width, 0u);
    EXPECT_EQ(moduleInstance, nullptr);
    EXPECT_EQ(sharedWindowProc, &DefWindowProcA);
}

}  // namespace
}  // namespace kestra::testing
