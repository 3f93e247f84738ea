// Edge cases of window management and GDI that the helper's failure paths
// meet, each checked against Wine 8. Where Wine is known to differ from
// Windows (system metrics, where minimised windows are parked) the test
// checks only what both share.
#include <gtest/gtest.h>

#include <vector>

#include "platform/contract_env.h"
#include "platform/win32.h"

namespace {

std::vector<HWND>& destroyed() {
    static std::vector<HWND> list;
    return list;
}

const COPYDATASTRUCT*& seenCopyData() {
    static const COPYDATASTRUCT* seen = nullptr;
    return seen;
}

LRESULT CALLBACK edgeProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_DESTROY) {
        destroyed().push_back(hwnd);
    }
    if (msg == WM_COPYDATA) {
        seenCopyData() = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
        return 9;
    }
    return DefWindowProcA(hwnd, msg, wParam, lParam);
}

constexpr const char* kClass = "KestraContractEdges";

class EdgeContract : public ::testing::Test {
  protected:
    void SetUp() override {
        destroyed().clear();
        WNDCLASSEXA wc{};
        wc.cbSize = sizeof(wc);
        wc.lpfnWndProc = edgeProc;
        wc.lpszClassName = kClass;
        ASSERT_NE(RegisterClassExA(&wc), 0);
    }
    void TearDown() override {
        for (HWND h : created_) {
            if (IsWindow(h)) {
                DestroyWindow(h);
            }
        }
        UnregisterClassA(kClass, nullptr);
    }
    HWND make(DWORD style, RECT r = {100, 100, 500, 400}, HWND parent = nullptr, DWORD exStyle = 0) {
        HWND h = CreateWindowExA(exStyle, kClass, "", style, r.left, r.top, r.right - r.left,
                                 r.bottom - r.top, parent, nullptr, nullptr, nullptr);
        created_.push_back(h);
        return h;
    }

    contract::Environment env_;
    std::vector<HWND> created_;
};

TEST_F(EdgeContract, MaximisedFramedWindowsReachBeyondTheMonitorEquallyOnEverySide) {
    RECT screen{};
    ASSERT_TRUE(GetWindowRect(GetDesktopWindow(), &screen));
    HWND framed = make(WS_OVERLAPPEDWINDOW | WS_VISIBLE);
    ShowWindow(framed, SW_MAXIMIZE);
    RECT r{};
    ASSERT_TRUE(GetWindowRect(framed, &r));
    const LONG border = screen.left - r.left;
    EXPECT_GT(border, 0);  // 8 on Windows 10, 4 with Wine's metrics
    EXPECT_EQ(screen.top - r.top, border);
    EXPECT_EQ(r.right - screen.right, border);
    EXPECT_EQ(r.bottom - screen.bottom, border);

    HWND plain = make(WS_POPUP | WS_VISIBLE);
    ShowWindow(plain, SW_MAXIMIZE);
    ASSERT_TRUE(GetWindowRect(plain, &r));
    EXPECT_EQ(r.left, screen.left);
    EXPECT_EQ(r.top, screen.top);
    EXPECT_EQ(r.right, screen.right);
    EXPECT_EQ(r.bottom, screen.bottom);
}

TEST_F(EdgeContract, AMinimisedMaximisedWindowRemembersBothStates) {
    HWND w = make(WS_OVERLAPPEDWINDOW | WS_VISIBLE);
    ShowWindow(w, SW_MAXIMIZE);
    ShowWindow(w, SW_MINIMIZE);
    WINDOWPLACEMENT p{};
    p.length = sizeof(p);
    ASSERT_TRUE(GetWindowPlacement(w, &p));
    EXPECT_EQ(p.showCmd, 2u);
    EXPECT_EQ(p.flags, 2u);  // WPF_RESTORETOMAXIMIZED
    EXPECT_EQ(p.rcNormalPosition.left, 100);
    EXPECT_EQ(p.rcNormalPosition.bottom, 400);
    p.length = 0;  // not checked by GetWindowPlacement
    EXPECT_TRUE(GetWindowPlacement(w, &p));
}

TEST_F(EdgeContract, InvalidRequestsFail) {
    WNDCLASSEXA wc{};
    wc.cbSize = 48;  // not the size of the record
    wc.lpfnWndProc = edgeProc;
    wc.lpszClassName = "KestraContractBadSize";
    EXPECT_EQ(RegisterClassExA(&wc), 0);
    EXPECT_EQ(CreateWindowExA(0, kClass, "", WS_CHILD, 0, 0, 5, 5, nullptr, nullptr, nullptr, nullptr),
              nullptr);
    HWND plain = make(WS_POPUP);
    EXPECT_FALSE(SetLayeredWindowAttributes(plain, 0, 255, LWA_ALPHA));  // not WS_EX_LAYERED
    EXPECT_EQ(GetDC(reinterpret_cast<HWND>(0x7FFF0000)), nullptr);
    EXPECT_EQ(GetParent(make(WS_OVERLAPPEDWINDOW)), nullptr);
    EXPECT_TRUE(IsWindowVisible(GetDesktopWindow()));
    EXPECT_EQ(GetWindow(GetDesktopWindow(), GW_HWNDNEXT), nullptr);
}

TEST_F(EdgeContract, OwnedWindowsGoFirstThenTheOwnerThenItsChildren) {
    HWND owner = make(WS_POPUP | WS_VISIBLE, {0, 0, 50, 50});
    HWND child = make(WS_CHILD | WS_VISIBLE, {0, 0, 5, 5}, owner);
    HWND owned = make(WS_POPUP | WS_VISIBLE, {0, 0, 5, 5}, owner);
    destroyed().clear();
    ASSERT_TRUE(DestroyWindow(owner));
    EXPECT_EQ(destroyed(), (std::vector<HWND>{owned, owner, child}));
}

TEST_F(EdgeContract, BitmapsSelectIntoOneDcAndDeleteWhenDeselected) {
    HDC screen = GetDC(nullptr);
    HDC first = CreateCompatibleDC(screen);
    HDC second = CreateCompatibleDC(screen);
    BITMAPINFO info{};
    info.bmiHeader = BITMAPINFOHEADER{sizeof(BITMAPINFOHEADER), 8, -8, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
    void* bits = nullptr;
    HBITMAP b = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    ASSERT_NE(b, nullptr);
    HGDIOBJ initial = SelectObject(first, b);
    ASSERT_NE(initial, nullptr);
    EXPECT_EQ(SelectObject(second, b), nullptr);  // already selected elsewhere
    EXPECT_TRUE(DeleteObject(b));                 // deferred while selected
    EXPECT_EQ(SelectObject(first, initial), b);
    EXPECT_FALSE(DeleteObject(b));  // gone once deselected
    EXPECT_TRUE(DeleteDC(first));
    EXPECT_TRUE(DeleteDC(second));
    EXPECT_EQ(ReleaseDC(nullptr, screen), 1);
}

// Windows asks for ReleaseDC on a window DC; Wine also frees it on DeleteDC.
TEST_F(EdgeContract, WindowDcsAreFreedOnce) {
    HWND a = make(WS_POPUP);
    HWND b = make(WS_POPUP);
    HDC dc = GetDC(a);
    ASSERT_NE(dc, nullptr);
    EXPECT_EQ(ReleaseDC(b, dc), 1);  // the window argument is not checked
    EXPECT_EQ(ReleaseDC(a, dc), 0);  // released already
    HDC other = GetDC(a);
    ASSERT_NE(other, nullptr);
    EXPECT_TRUE(DeleteDC(other));
    EXPECT_EQ(ReleaseDC(a, other), 0);
}

TEST_F(EdgeContract, NewChildWindowsGoBelowTheirSiblings) {
    HWND parent = make(WS_POPUP | WS_VISIBLE);
    HWND first = make(WS_CHILD | WS_VISIBLE, {0, 0, 10, 10}, parent);
    HWND second = make(WS_CHILD | WS_VISIBLE, {0, 0, 10, 10}, parent);
    EXPECT_EQ(GetWindow(parent, GW_CHILD), first);
    EXPECT_EQ(GetWindow(first, GW_HWNDNEXT), second);
    EXPECT_EQ(GetWindow(second, GW_HWNDPREV), first);
}

BOOL CALLBACK stopAtFirst(HMONITOR, HDC, LPRECT, LPARAM data) {
    ++*reinterpret_cast<int*>(data);
    return FALSE;
}

TEST_F(EdgeContract, MessagesMonitorsAndActivation) {
    int visited = 0;
    EXPECT_FALSE(EnumDisplayMonitors(nullptr, nullptr, stopAtFirst, reinterpret_cast<LPARAM>(&visited)));
    EXPECT_EQ(visited, 1);

    HWND w = make(WS_POPUP | WS_VISIBLE);
    MSG m{};
    for (int i = 0; i < 50 && PeekMessageA(&m, nullptr, WM_USER, WM_USER + 10, PM_REMOVE); ++i) {
    }
    ASSERT_TRUE(PostMessageA(nullptr, WM_USER + 1, 0, 0));
    ASSERT_TRUE(PostMessageA(w, WM_USER + 2, 0, 0));
    ASSERT_TRUE(PeekMessageA(&m, w, WM_USER, WM_USER + 10, PM_REMOVE));
    EXPECT_EQ(m.message, WM_USER + 2);
    ASSERT_TRUE(PeekMessageA(&m, reinterpret_cast<HWND>(-1), WM_USER, WM_USER + 10, PM_REMOVE));
    EXPECT_EQ(m.message, WM_USER + 1);
    EXPECT_EQ(m.hwnd, nullptr);

    HWND first = make(WS_OVERLAPPEDWINDOW | WS_VISIBLE);
    HWND second = make(WS_OVERLAPPEDWINDOW | WS_VISIBLE);
    ASSERT_EQ(GetActiveWindow(), second);
    DestroyWindow(second);
    EXPECT_EQ(GetActiveWindow(), first);
    EXPECT_EQ(SetActiveWindow(w), first);
    EXPECT_EQ(GetActiveWindow(), w);

    // Moving a maximised window keeps it maximised.
    ShowWindow(first, SW_MAXIMIZE);
    ASSERT_TRUE(MoveWindow(first, 50, 60, 300, 200, TRUE));
    WINDOWPLACEMENT p{};
    p.length = sizeof(p);
    ASSERT_TRUE(GetWindowPlacement(first, &p));
    EXPECT_EQ(p.showCmd, 3u);
    RECT r{};
    ASSERT_TRUE(GetWindowRect(first, &r));
    EXPECT_EQ(r.left, 50);
    EXPECT_EQ(r.bottom, 260);

    // An owned window of a topmost window is topmost too; a non-sibling as
    // insert-after is accepted, an invalid handle is not.
    HWND topmost = make(WS_POPUP | WS_VISIBLE, {0, 0, 10, 10}, nullptr, WS_EX_TOPMOST);
    HWND owned = make(WS_POPUP | WS_VISIBLE, {0, 0, 10, 10}, topmost);
    EXPECT_NE(GetWindowLongA(owned, GWL_EXSTYLE) & static_cast<LONG>(WS_EX_TOPMOST), 0);
    const UINT keep = SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE;
    EXPECT_FALSE(SetWindowPos(first, reinterpret_cast<HWND>(0x7FFF0000), 0, 0, 0, 0, keep));

    // Within one thread WM_COPYDATA passes the caller's record itself.
    char data[4] = {'a', 'b', 'c', 0};
    COPYDATASTRUCT cds{1, 4, data};
    seenCopyData() = nullptr;
    EXPECT_EQ(SendMessageA(w, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&cds)), 9);
    EXPECT_EQ(seenCopyData(), &cds);
}

}  // namespace
