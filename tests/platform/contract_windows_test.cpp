// How windows behave: z-order walks, owner and child relations, show states
// and placement, SetWindowPos flags, destruction, messages. Only Win32 calls
// below this line's includes, apart from the environment object.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/contract_env.h"
#include "platform/win32.h"

namespace {

struct Received {
    HWND hwnd;
    UINT msg;
};

std::vector<Received>& messages() {
    static std::vector<Received> log;
    return log;
}

LRESULT CALLBACK recordingProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_DESTROY || msg == WM_NCDESTROY || msg == WM_USER || msg == WM_CLOSE) {
        messages().push_back(Received{hwnd, msg});
    }
    if (msg == WM_USER) {
        return static_cast<LRESULT>(wParam + 1);
    }
    return DefWindowProcA(hwnd, msg, wParam, lParam);
}

constexpr const char* kClass = "KestraContractWindow";

class WindowContract : public ::testing::Test {
  protected:
    void SetUp() override {
        messages().clear();
        WNDCLASSEXA wc{};
        wc.cbSize = sizeof(wc);
        wc.lpfnWndProc = recordingProc;
        wc.hInstance = GetModuleHandleA(nullptr);
        wc.lpszClassName = kClass;
        ASSERT_NE(RegisterClassExA(&wc), 0);
    }
    void TearDown() override {
        for (HWND h : created_) {
            if (IsWindow(h)) {
                DestroyWindow(h);
            }
        }
        UnregisterClassA(kClass, GetModuleHandleA(nullptr));
    }

    HWND make(DWORD style, RECT r = {100, 100, 500, 400}, HWND parent = nullptr, DWORD exStyle = 0) {
        HWND h = CreateWindowExA(exStyle, kClass, "contract", style, r.left, r.top, r.right - r.left,
                                 r.bottom - r.top, parent, nullptr, GetModuleHandleA(nullptr), nullptr);
        created_.push_back(h);
        return h;
    }
    HWND popup(RECT r = {100, 100, 500, 400}, HWND owner = nullptr) {
        return make(WS_POPUP | WS_VISIBLE, r, owner);
    }

    static bool above(HWND upper, HWND lower) {
        for (HWND w = GetWindow(upper, GW_HWNDNEXT); w != nullptr; w = GetWindow(w, GW_HWNDNEXT)) {
            if (w == lower) {
                return true;
            }
        }
        return false;
    }

    contract::Environment env_;
    std::vector<HWND> created_;
};

// ---- z-order ----

TEST_F(WindowContract, NewWindowsGoOnTopAndTheWalkFollowsTheZOrder) {
    HWND a = popup();
    HWND b = popup();
    HWND c = popup();
    EXPECT_EQ(GetWindow(c, GW_HWNDNEXT), b);
    EXPECT_EQ(GetWindow(b, GW_HWNDNEXT), a);
    EXPECT_EQ(GetWindow(a, GW_HWNDPREV), b);
    EXPECT_EQ(GetWindow(b, GW_HWNDPREV), c);
    HWND top = GetTopWindow(nullptr);
    ASSERT_NE(top, nullptr);
    EXPECT_EQ(GetWindow(top, GW_HWNDPREV), nullptr);
    EXPECT_EQ(FindWindowA(nullptr, nullptr), top);
    EXPECT_EQ(GetWindow(GetDesktopWindow(), GW_CHILD), top);
}

TEST_F(WindowContract, SetWindowPosInsertAfterBottomAndTop) {
    HWND a = popup();
    HWND b = popup();
    HWND c = popup();
    const UINT keep = SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE;
    ASSERT_TRUE(SetWindowPos(c, a, 0, 0, 0, 0, keep));
    EXPECT_EQ(GetWindow(a, GW_HWNDNEXT), c);
    EXPECT_TRUE(above(b, a));
    ASSERT_TRUE(SetWindowPos(b, HWND_BOTTOM, 0, 0, 0, 0, keep));
    EXPECT_EQ(GetWindow(b, GW_HWNDLAST), b);
    EXPECT_EQ(GetWindow(b, GW_HWNDNEXT), nullptr);
    ASSERT_TRUE(SetWindowPos(b, HWND_TOP, 0, 0, 0, 0, keep));
    EXPECT_TRUE(above(b, a));
    EXPECT_TRUE(above(b, c));
}

TEST_F(WindowContract, OwnedWindowsStayAboveTheirOwner) {
    HWND owner = popup();
    HWND owned = popup({150, 150, 300, 300}, owner);
    HWND other = popup();
    EXPECT_EQ(GetWindow(owned, GW_OWNER), owner);
    EXPECT_TRUE(above(other, owned));
    ASSERT_TRUE(SetWindowPos(owner, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE));
    EXPECT_TRUE(above(owned, owner));
    EXPECT_TRUE(above(owner, other));
}

TEST_F(WindowContract, TopmostWindowsStayAboveTheOthers) {
    HWND t = make(WS_POPUP | WS_VISIBLE, {0, 0, 100, 100}, nullptr, WS_EX_TOPMOST);
    HWND n = popup();
    EXPECT_TRUE(above(t, n));
    EXPECT_NE(GetWindowLongA(t, GWL_EXSTYLE) & static_cast<LONG>(WS_EX_TOPMOST), 0);
    ASSERT_TRUE(SetWindowPos(t, HWND_NOTOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE));
    EXPECT_EQ(GetWindowLongA(t, GWL_EXSTYLE) & static_cast<LONG>(WS_EX_TOPMOST), 0);
}

// Which show commands move a top-level window in the z-order (checked
// against Wine 8): SW_HIDE raises the window it hides, SW_SHOWNOACTIVATE keeps
// its place, SW_SHOWNA raises without activating, SW_SHOW, SW_SHOWNORMAL and
// SW_RESTORE raise and activate.
TEST_F(WindowContract, ShowCommandsRaiseExceptShowNoActivate) {
    HWND a = popup();
    HWND b = popup();
    ASSERT_TRUE(above(b, a));
    ShowWindow(a, SW_HIDE);
    EXPECT_TRUE(above(a, b)) << "SW_HIDE raises";
    const UINT keep = SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE;
    struct Case {
        int cmd;
        bool raises;
        bool activates;
    };
    const Case cases[] = {{SW_SHOWNOACTIVATE, false, false},
                          {SW_SHOWNA, true, false},
                          {SW_SHOW, true, true},
                          {SW_SHOWNORMAL, true, true},
                          {SW_RESTORE, true, true}};
    for (const Case& c : cases) {
        SetWindowPos(b, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
        ASSERT_EQ(GetActiveWindow(), b);
        ShowWindow(a, SW_HIDE);
        SetWindowPos(a, HWND_BOTTOM, 0, 0, 0, 0, keep);
        ASSERT_TRUE(above(b, a));
        ShowWindow(a, c.cmd);
        EXPECT_EQ(above(a, b), c.raises) << "show command " << c.cmd;
        EXPECT_EQ(GetActiveWindow() == a, c.activates) << "show command " << c.cmd;
    }
    // SWP_SHOWWINDOW with SWP_NOZORDER shows in place.
    ShowWindow(a, SW_HIDE);
    SetWindowPos(a, HWND_BOTTOM, 0, 0, 0, 0, keep);
    SetWindowPos(a, nullptr, 0, 0, 0, 0, keep | SWP_SHOWWINDOW | SWP_NOZORDER);
    EXPECT_TRUE(above(b, a));
    EXPECT_TRUE(IsWindowVisible(a));
    // Hiding the active window activates another one.
    SetWindowPos(b, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    ASSERT_EQ(GetActiveWindow(), b);
    ShowWindow(b, SW_HIDE);
    EXPECT_EQ(GetActiveWindow(), a);
}

TEST_F(WindowContract, SetParentToTheDesktopRaisesTheWindow) {
    HWND owner = popup();
    HWND layer = make(WS_POPUP | WS_VISIBLE, {0, 0, 50, 50}, owner);
    HWND other = popup();
    ASSERT_TRUE(above(other, layer));
    SetParent(layer, nullptr);
    EXPECT_TRUE(above(layer, other));
    EXPECT_TRUE(IsWindowVisible(layer));
}

// ---- SetWindowPos flags ----

TEST_F(WindowContract, SetWindowPosFlagsKeepWhatTheyName) {
    HWND a = popup({10, 20, 110, 220});
    HWND b = popup();
    RECT r{};
    ASSERT_TRUE(SetWindowPos(a, nullptr, 50, 60, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE));
    ASSERT_TRUE(GetWindowRect(a, &r));
    EXPECT_EQ(r.left, 50);
    EXPECT_EQ(r.top, 60);
    EXPECT_EQ(r.right - r.left, 100);
    EXPECT_EQ(r.bottom - r.top, 200);
    EXPECT_TRUE(above(b, a));  // NOZORDER: b still above
    ASSERT_TRUE(SetWindowPos(a, nullptr, 0, 0, 30, 40, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE));
    ASSERT_TRUE(GetWindowRect(a, &r));
    EXPECT_EQ(r.left, 50);
    EXPECT_EQ(r.right, 80);
    EXPECT_EQ(r.bottom, 100);
    // The overlay's move: 0x418 = NOSENDCHANGING | NOACTIVATE | NOREDRAW.
    ASSERT_TRUE(SetWindowPos(a, nullptr, 5, 6, 70, 80, SWP_NOSENDCHANGING | SWP_NOACTIVATE | SWP_NOREDRAW));
    ASSERT_TRUE(GetWindowRect(a, &r));
    EXPECT_EQ(r.left, 5);
    EXPECT_EQ(r.top, 6);
    EXPECT_EQ(r.right, 75);
    EXPECT_EQ(r.bottom, 86);
    ASSERT_TRUE(
        SetWindowPos(a, nullptr, 0, 0, 0, 0, SWP_HIDEWINDOW | SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER));
    EXPECT_FALSE(IsWindowVisible(a));
    ASSERT_TRUE(SetWindowPos(a, nullptr, 0, 0, 0, 0,
                             SWP_SHOWWINDOW | SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE));
    EXPECT_TRUE(IsWindowVisible(a));
    EXPECT_FALSE(SetWindowPos(reinterpret_cast<HWND>(0x7FFF0000), nullptr, 0, 0, 1, 1, SWP_NOZORDER));
}

TEST_F(WindowContract, MoveWindowSetsTheRectangle) {
    HWND a = popup();
    ASSERT_TRUE(MoveWindow(a, 7, 8, 90, 60, TRUE));
    RECT r{};
    ASSERT_TRUE(GetWindowRect(a, &r));
    EXPECT_EQ(r.left, 7);
    EXPECT_EQ(r.top, 8);
    EXPECT_EQ(r.right, 97);
    EXPECT_EQ(r.bottom, 68);
}

// ---- show states and placement ----

TEST_F(WindowContract, ShowWindowReportsThePreviousVisibility) {
    HWND a = make(WS_POPUP);
    EXPECT_FALSE(IsWindowVisible(a));
    EXPECT_EQ(GetWindowLongA(a, GWL_STYLE) & static_cast<LONG>(WS_VISIBLE), 0);
    EXPECT_FALSE(ShowWindow(a, SW_SHOWNOACTIVATE));
    EXPECT_TRUE(IsWindowVisible(a));
    EXPECT_NE(GetWindowLongA(a, GWL_STYLE) & static_cast<LONG>(WS_VISIBLE), 0);
    EXPECT_TRUE(ShowWindow(a, SW_HIDE));
    EXPECT_FALSE(ShowWindow(a, SW_HIDE));
    EXPECT_FALSE(ShowWindow(a, SW_SHOW));
    EXPECT_TRUE(ShowWindow(a, SW_SHOW));
}

// WS_EX_NOACTIVATE keeps clicks and the system from activating a window, not
// its own process: SW_SHOW activates it, SW_SHOWNOACTIVATE does not (Wine 8
// behaves so too).
TEST_F(WindowContract, ShowNoActivateKeepsTheActiveWindowAndShowActivates) {
    HWND main = make(WS_OVERLAPPEDWINDOW | WS_VISIBLE);
    ASSERT_EQ(GetActiveWindow(), main);
    HWND quiet =
        make(WS_POPUP, {0, 0, 50, 50}, nullptr, WS_EX_NOACTIVATE | WS_EX_LAYERED | WS_EX_TRANSPARENT);
    ShowWindow(quiet, SW_SHOWNOACTIVATE);
    EXPECT_EQ(GetActiveWindow(), main);
    EXPECT_TRUE(IsWindowVisible(quiet));
    HWND overlay =
        make(WS_POPUP, {0, 0, 50, 50}, nullptr, WS_EX_NOACTIVATE | WS_EX_LAYERED | WS_EX_TRANSPARENT);
    ShowWindow(overlay, SW_SHOW);
    EXPECT_EQ(GetActiveWindow(), overlay);
    EXPECT_TRUE(IsWindowVisible(overlay));
}

TEST_F(WindowContract, PlacementFollowsMinimiseMaximiseAndRestore) {
    const RECT normal{200, 150, 1000, 750};
    HWND w = make(WS_OVERLAPPEDWINDOW | WS_VISIBLE, normal);
    WINDOWPLACEMENT p{};
    p.length = sizeof(p);
    ASSERT_TRUE(GetWindowPlacement(w, &p));
    EXPECT_EQ(p.showCmd, 1u);
    EXPECT_EQ(p.rcNormalPosition.left, normal.left);
    EXPECT_EQ(p.rcNormalPosition.bottom, normal.bottom);

    ShowWindow(w, SW_MAXIMIZE);
    ASSERT_TRUE(GetWindowPlacement(w, &p));
    EXPECT_EQ(p.showCmd, 3u);
    EXPECT_EQ(p.rcNormalPosition.left, normal.left);
    RECT r{};
    RECT screen{};
    ASSERT_TRUE(GetWindowRect(w, &r));
    ASSERT_TRUE(GetWindowRect(GetDesktopWindow(), &screen));
    // A sizeable maximised window reaches beyond its monitor on the sides.
    EXPECT_LT(r.left, screen.left);
    EXPECT_GT(r.right, screen.right);
    EXPECT_GE(r.bottom, screen.bottom);

    ShowWindow(w, SW_MINIMIZE);
    ASSERT_TRUE(GetWindowPlacement(w, &p));
    EXPECT_EQ(p.showCmd, 2u);
    EXPECT_TRUE(IsWindowVisible(w));
    EXPECT_EQ(p.rcNormalPosition.left, normal.left);

    ShowWindow(w, SW_RESTORE);  // back to maximised: it was maximised when minimised
    ASSERT_TRUE(GetWindowPlacement(w, &p));
    EXPECT_EQ(p.showCmd, 3u);
    ShowWindow(w, SW_RESTORE);
    ASSERT_TRUE(GetWindowPlacement(w, &p));
    EXPECT_EQ(p.showCmd, 1u);
    ASSERT_TRUE(GetWindowRect(w, &r));
    EXPECT_EQ(r.left, normal.left);
    EXPECT_EQ(r.top, normal.top);
    EXPECT_EQ(r.right, normal.right);
    EXPECT_EQ(r.bottom, normal.bottom);
}

TEST_F(WindowContract, HiddenWindowsReportTheirShowStateFromTheirStyle) {
    HWND w = make(WS_OVERLAPPEDWINDOW, {10, 10, 300, 300});
    WINDOWPLACEMENT p{};
    p.length = sizeof(p);
    ASSERT_TRUE(GetWindowPlacement(w, &p));
    EXPECT_EQ(p.showCmd, 1u);
    ShowWindow(w, SW_SHOWMINNOACTIVE);
    ShowWindow(w, SW_HIDE);
    ASSERT_TRUE(GetWindowPlacement(w, &p));
    EXPECT_EQ(p.showCmd, 2u);
    EXPECT_FALSE(IsWindowVisible(w));
}

// ---- parents, owners, destruction ----

TEST_F(WindowContract, ChildWindowsAreVisibleOnlyWithTheirParent) {
    HWND parent = make(WS_POPUP, {100, 100, 400, 400});
    HWND child = make(WS_CHILD | WS_VISIBLE, {10, 20, 110, 70}, parent);
    ASSERT_NE(child, nullptr);
    EXPECT_EQ(GetWindow(parent, GW_CHILD), child);
    EXPECT_EQ(GetParent(child), parent);
    EXPECT_FALSE(IsWindowVisible(child));
    ShowWindow(parent, SW_SHOWNOACTIVATE);
    EXPECT_TRUE(IsWindowVisible(child));
    RECT r{};
    ASSERT_TRUE(GetWindowRect(child, &r));
    EXPECT_EQ(r.left, 110);  // child positions are relative to the parent
    EXPECT_EQ(r.top, 120);
    ASSERT_TRUE(SetWindowPos(parent, nullptr, 200, 200, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE));
    ASSERT_TRUE(GetWindowRect(child, &r));
    EXPECT_EQ(r.left, 210);
    EXPECT_EQ(r.top, 220);
}

TEST_F(WindowContract, DestroyingAWindowDestroysItsChildrenAndOwnedWindows) {
    HWND owner = popup();
    HWND child = make(WS_CHILD | WS_VISIBLE, {0, 0, 10, 10}, owner);
    HWND owned = popup({0, 0, 20, 20}, owner);
    messages().clear();
    ASSERT_TRUE(DestroyWindow(owner));
    EXPECT_FALSE(IsWindow(owner));
    EXPECT_FALSE(IsWindow(child));
    EXPECT_FALSE(IsWindow(owned));
    // WM_DESTROY goes to the window before its children.
    std::vector<HWND> destroyOrder;
    for (const Received& m : messages()) {
        if (m.msg == WM_DESTROY) {
            destroyOrder.push_back(m.hwnd);
        }
    }
    ASSERT_EQ(destroyOrder.size(), 3u);
    const auto ownerPos = std::find(destroyOrder.begin(), destroyOrder.end(), owner) - destroyOrder.begin();
    const auto childPos = std::find(destroyOrder.begin(), destroyOrder.end(), child) - destroyOrder.begin();
    EXPECT_LT(ownerPos, childPos);
    RECT r{};
    EXPECT_FALSE(GetWindowRect(owner, &r));
    EXPECT_FALSE(DestroyWindow(owner));
}

TEST_F(WindowContract, SetParentToTheDesktopKeepsAnOwnedPopupTopLevelAndOwned) {
    HWND owner = popup();
    HWND layer = make(WS_POPUP, {0, 0, 50, 50}, owner, WS_EX_NOACTIVATE | WS_EX_LAYERED | WS_EX_TRANSPARENT);
    SetParent(layer, nullptr);
    EXPECT_EQ(GetWindow(layer, GW_OWNER), owner);
    bool topLevel = false;
    for (HWND w = GetTopWindow(nullptr); w != nullptr; w = GetWindow(w, GW_HWNDNEXT)) {
        topLevel = topLevel || w == layer;
    }
    EXPECT_TRUE(topLevel);
}

TEST_F(WindowContract, ClassNameStylesAndFindWindow) {
    HWND w = make(WS_POPUP | WS_VISIBLE, {0, 0, 10, 10}, nullptr, WS_EX_TOOLWINDOW);
    char name[64] = {};
    EXPECT_EQ(GetClassNameA(w, name, sizeof(name)), static_cast<int>(std::string(kClass).size()));
    EXPECT_STREQ(name, kClass);
    char shortName[5] = {};
    EXPECT_EQ(GetClassNameA(w, shortName, sizeof(shortName)), 4);
    EXPECT_STREQ(shortName, "Kest");
    EXPECT_NE(GetWindowLongA(w, GWL_STYLE) & static_cast<LONG>(WS_POPUP), 0);
    EXPECT_NE(GetWindowLongA(w, GWL_EXSTYLE) & static_cast<LONG>(WS_EX_TOOLWINDOW), 0);
    EXPECT_EQ(FindWindowA(kClass, nullptr), w);
    EXPECT_EQ(FindWindowA("NoSuchClassHere", nullptr), nullptr);
}

TEST_F(WindowContract, RegisteringAClassTwiceFailsAndUnknownClassesCreateNothing) {
    WNDCLASSEXA wc{};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = recordingProc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = kClass;
    EXPECT_EQ(RegisterClassExA(&wc), 0);
    EXPECT_EQ(
        CreateWindowExA(0, "NoSuchClassHere", "", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr),
        nullptr);
}

// ---- messages ----

TEST_F(WindowContract, SendMessageCallsTheProcedureSynchronously) {
    HWND w = popup();
    messages().clear();
    EXPECT_EQ(SendMessageA(w, WM_USER, 41, 0), 42);
    ASSERT_EQ(messages().size(), 1u);
    EXPECT_EQ(messages()[0].hwnd, w);
    EXPECT_EQ(SendMessageA(reinterpret_cast<HWND>(0x7FFF0000), WM_USER, 1, 0), 0);
    SendMessageA(w, WM_CLOSE, 0, 0);  // the default handling destroys it
    EXPECT_FALSE(IsWindow(w));
}

TEST_F(WindowContract, SendMessageTimeoutReportsTheResultAndBadHandles) {
    HWND w = popup();
    DWORD_PTR result = 0;
    EXPECT_NE(SendMessageTimeoutA(w, WM_USER, 41, 0, SMTO_NORMAL | SMTO_ABORTIFHUNG, 1000, &result), 0);
    EXPECT_EQ(result, 42u);
    EXPECT_NE(SendMessageTimeoutA(w, WM_USER, 1, 0, SMTO_BLOCK, 1000, nullptr), 0);
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(SendMessageTimeoutA(reinterpret_cast<HWND>(0x7FFF0000), WM_USER, 1, 0, SMTO_ABORTIFHUNG, 1000,
                                  &result),
              0);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
}

TEST_F(WindowContract, LastErrorIsKeptUntilSetAgain) {
    SetLastError(ERROR_TIMEOUT);
    EXPECT_EQ(GetLastError(), ERROR_TIMEOUT);
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
}

TEST_F(WindowContract, OwnWindowsBelongToThisProcessAndThread) {
    HWND w = popup();
    DWORD pid = 0;
    EXPECT_EQ(GetWindowThreadProcessId(w, &pid), GetCurrentThreadId());
    EXPECT_EQ(pid, GetCurrentProcessId());
    EXPECT_NE(GetCurrentProcessId(), 0u);
    pid = 123;
    EXPECT_EQ(GetWindowThreadProcessId(reinterpret_cast<HWND>(0x7FFF0000), &pid), 0u);
    // The desktop window belongs to the system, not to this process.
    EXPECT_NE(GetWindowThreadProcessId(GetDesktopWindow(), &pid), 0u);
    EXPECT_NE(pid, GetCurrentProcessId());
}

TEST_F(WindowContract, IsIconicFollowsMinimiseAndRestore) {
    HWND w = make(WS_OVERLAPPEDWINDOW | WS_VISIBLE);
    EXPECT_FALSE(IsIconic(w));
    ShowWindow(w, SW_MINIMIZE);
    EXPECT_TRUE(IsIconic(w));
    ShowWindow(w, SW_RESTORE);
    EXPECT_FALSE(IsIconic(w));
    ShowWindow(w, SW_HIDE);
    EXPECT_FALSE(IsIconic(w));
    EXPECT_FALSE(IsIconic(reinterpret_cast<HWND>(0x7FFF0000)));
}

TEST_F(WindowContract, PostedMessagesAreRemovedOnceAndQuitComesLast) {
    HWND w = popup();
    MSG m{};
    // Bounded: a peek without dispatch may keep seeing WM_PAINT on some systems.
    for (int i = 0; i < 100 && PeekMessageA(&m, nullptr, WM_USER, WM_USER, PM_REMOVE); ++i) {
    }
    PostQuitMessage(0);
    ASSERT_TRUE(PostMessageA(w, WM_USER, 7, 8));
    ASSERT_TRUE(PeekMessageA(&m, nullptr, 0, 0, PM_NOREMOVE));
    EXPECT_EQ(m.message, WM_USER);
    ASSERT_TRUE(PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(m.message, WM_USER);
    EXPECT_EQ(m.hwnd, w);
    EXPECT_EQ(m.wParam, 7u);
    ASSERT_TRUE(PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(m.message, WM_QUIT);
    // Then WM_PAINT for the visible window, which no peek removes: only
    // painting it ends it.
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE));
        EXPECT_EQ(m.message, WM_PAINT);
        EXPECT_EQ(m.hwnd, w);
    }
    DefWindowProcA(w, WM_PAINT, 0, 0);
    EXPECT_FALSE(PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE));
    EXPECT_FALSE(PostMessageA(reinterpret_cast<HWND>(0x7FFF0000), WM_USER, 0, 0));
}

// ---- monitors, cursor, clock ----

BOOL CALLBACK collectMonitor(HMONITOR, HDC, LPRECT rect, LPARAM data) {
    reinterpret_cast<std::vector<RECT>*>(data)->push_back(*rect);
    return TRUE;
}

TEST_F(WindowContract, MonitorsCursorAndClock) {
    std::vector<RECT> monitors;
    ASSERT_TRUE(EnumDisplayMonitors(nullptr, nullptr, collectMonitor, reinterpret_cast<LPARAM>(&monitors)));
    ASSERT_FALSE(monitors.empty());
    RECT desktop{};
    ASSERT_TRUE(GetWindowRect(GetDesktopWindow(), &desktop));
    bool primaryFound = false;
    for (const RECT& m : monitors) {
        primaryFound = primaryFound || (m.left == desktop.left && m.top == desktop.top &&
                                        m.right == desktop.right && m.bottom == desktop.bottom);
    }
    EXPECT_TRUE(primaryFound);

    ASSERT_TRUE(SetCursorPos(33, 44));
    POINT p{};
    ASSERT_TRUE(GetCursorPos(&p));
    EXPECT_EQ(p.x, 33);
    EXPECT_EQ(p.y, 44);

    LARGE_INTEGER f{};
    LARGE_INTEGER c0{};
    LARGE_INTEGER c1{};
    ASSERT_TRUE(QueryPerformanceFrequency(&f));
    ASSERT_GT(f.QuadPart, 0);
    QueryPerformanceCounter(&c0);
    Sleep(20);
    QueryPerformanceCounter(&c1);
    EXPECT_GE((c1.QuadPart - c0.QuadPart) * 1000 / f.QuadPart, 19);
}

TEST_F(WindowContract, ProcessHeapZeroesOnRequest) {
    auto* p = static_cast<unsigned char*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, 4096));
    ASSERT_NE(p, nullptr);
    bool zero = true;
    for (int i = 0; i < 4096; ++i) {
        zero = zero && p[i] == 0;
    }
    EXPECT_TRUE(zero);
    EXPECT_TRUE(HeapFree(GetProcessHeap(), 0, p));
    EXPECT_TRUE(K32EmptyWorkingSet(GetCurrentProcess()));
}

}  // namespace
