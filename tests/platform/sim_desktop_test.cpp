// The simulated desktop's own API: other applications, the controller, the
// virtual clock and external events, what the screen shows, faults on demand,
// leak counts and the call log.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/sim/desktop.h"
#include "platform/win32.h"

namespace {

using sim::bgra;

struct CopyDataSeen {
    const void* pointer = nullptr;
    std::string bytes;
    HWND sender = nullptr;
    int calls = 0;
};

CopyDataSeen& seen() {
    static CopyDataSeen s;
    return s;
}

LRESULT CALLBACK helperProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_COPYDATA) {
        const auto* cds = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
        CopyDataSeen& s = seen();
        ++s.calls;
        s.pointer = cds->lpData;
        s.sender = reinterpret_cast<HWND>(wParam);
        s.bytes.assign(static_cast<const char*>(cds->lpData), cds->cbData);
        // Writing into the copy must not reach the sender.
        if (cds->cbData > 0) {
            static_cast<char*>(cds->lpData)[0] = '#';
        }
        return 1;
    }
    if (msg == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcA(hwnd, msg, wParam, lParam);
}

class SimDesktop : public ::testing::Test {
  protected:
    SimDesktop() : desk({.width = 1920, .height = 1080}) { seen() = CopyDataSeen{}; }

    void registerHelperClass(const char* name = "KESTRAHELPER") {
        WNDCLASSEXA wc{};
        wc.cbSize = sizeof(wc);
        wc.lpfnWndProc = helperProc;
        wc.lpszClassName = name;
        wc.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<std::uintptr_t>(6));
        ASSERT_NE(RegisterClassExA(&wc), 0);
    }
    HWND helperWindow(DWORD style = WS_OVERLAPPEDWINDOW, DWORD exStyle = 0, RECT r = {0, 0, 100, 100},
                      HWND parent = nullptr) {
        return CreateWindowExA(exStyle, "KESTRAHELPER", "", style, r.left, r.top, r.right - r.left,
                               r.bottom - r.top, parent, nullptr, nullptr, nullptr);
    }

    sim::Desktop desk;
};

// ---- desktops ----

TEST(SimDesktopLifetime, ConstructingInstallsAndDestroyingUninstalls) {
    EXPECT_EQ(sim::Desktop::current(), nullptr);
    {
        sim::Desktop desk;
        EXPECT_EQ(sim::Desktop::current(), &desk);
        EXPECT_NE(GetDesktopWindow(), nullptr);
    }
    EXPECT_EQ(sim::Desktop::current(), nullptr);
    EXPECT_EQ(GetDesktopWindow(), nullptr);
    EXPECT_FALSE(IsWindow(reinterpret_cast<HWND>(0x20020)));
}

TEST(SimDesktopLifetime, DestroyingANestedDesktopReinstatesTheOuterOne) {
    sim::Desktop outer;
    HWND w = outer.app("a").createWindow({});
    {
        sim::Desktop inner;
        EXPECT_EQ(sim::Desktop::current(), &inner);
        EXPECT_FALSE(IsWindowVisible(w));
    }
    EXPECT_EQ(sim::Desktop::current(), &outer);
    EXPECT_TRUE(IsWindowVisible(w));
}

TEST(SimDesktopLifetime, EachDesktopStartsAfresh) {
    HWND first = nullptr;
    {
        sim::Desktop desk;
        first = desk.app("a").createWindow({});
        EXPECT_EQ(desk.now(), 0);
        desk.runFor(50);
    }
    sim::Desktop desk;
    EXPECT_EQ(desk.now(), 0);
    EXPECT_EQ(desk.counts().windows, 0);
    EXPECT_EQ(desk.app("a").createWindow({}), first);  // deterministic handles
}

// ---- controller and WM_COPYDATA ----

TEST_F(SimDesktop, ControllerFramesArriveAsACopyInsideThePeek) {
    registerHelperClass();
    HWND helper = helperWindow();
    sim::Controller controller(desk);
    std::string payload = "REQ[.1.]hello";
    desk.at(120, [&] { controller.send(helper, payload); });
    MSG m{};
    while (desk.now() < 119) {
        PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE);
    }
    EXPECT_EQ(seen().calls, 0);
    PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE);
    PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE);
    ASSERT_EQ(seen().calls, 1);
    EXPECT_EQ(seen().bytes, "REQ[.1.]hello");
    EXPECT_EQ(seen().sender, controller.hwnd());
    EXPECT_NE(seen().pointer, static_cast<const void*>(payload.data()));
    EXPECT_EQ(payload, "REQ[.1.]hello");  // the receiver wrote only into its copy
}

TEST_F(SimDesktop, HelperFramesReachTheController) {
    registerHelperClass();
    HWND helper = helperWindow();
    sim::Controller controller(desk);
    std::string bytes = "RET[.1.]ok";
    bytes.push_back('\0');
    COPYDATASTRUCT cds{7, static_cast<DWORD>(bytes.size()), bytes.data()};
    EXPECT_EQ(SendMessageA(controller.hwnd(), WM_COPYDATA, reinterpret_cast<WPARAM>(helper),
                           reinterpret_cast<LPARAM>(&cds)),
              1);
    ASSERT_EQ(controller.received().size(), 1u);
    EXPECT_EQ(controller.received()[0].bytes, bytes);
    EXPECT_EQ(controller.received()[0].sender, helper);
    EXPECT_EQ(controller.received()[0].dwData, 7u);
    controller.close();
    EXPECT_FALSE(IsWindow(controller.hwnd()));
    EXPECT_EQ(SendMessageA(controller.hwnd(), WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&cds)), 0);
}

TEST_F(SimDesktop, AnotherProcessReceivesCopiesOfTheRecordAndTheBytes) {
    std::string bytes = "RET[.1.]payload";
    COPYDATASTRUCT cds{3, static_cast<DWORD>(bytes.size()), bytes.data()};
    const COPYDATASTRUCT* receivedRecord = nullptr;
    const void* receivedBytes = nullptr;
    std::string receivedText;
    HWND receiver =
        desk.app("controller")
            .createWindow({.visible = false,
                           .onMessage = [&](HWND, UINT msg, WPARAM, LPARAM lp) -> std::optional<LRESULT> {
                               if (msg != WM_COPYDATA) {
                                   return std::nullopt;
                               }
                               receivedRecord = reinterpret_cast<const COPYDATASTRUCT*>(lp);
                               receivedBytes = receivedRecord->lpData;
                               receivedText.assign(static_cast<const char*>(receivedRecord->lpData),
                                                   receivedRecord->cbData);
                               static_cast<char*>(receivedRecord->lpData)[0] = '#';
                               return LRESULT{5};
                           }});
    EXPECT_EQ(SendMessageA(receiver, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&cds)), 5);
    EXPECT_NE(receivedRecord, &cds);
    EXPECT_NE(receivedBytes, static_cast<const void*>(bytes.data()));
    EXPECT_EQ(receivedText, "RET[.1.]payload");
    EXPECT_EQ(bytes, "RET[.1.]payload");
}

// ---- hung peers and broadcasts ----

TEST_F(SimDesktop, ASendToAHungWindowWaitsUntilItTakesMessagesAgain) {
    int calls = 0;
    HWND peer = desk.app("peer").createWindow({.onMessage = [&](HWND, UINT msg, WPARAM, LPARAM) {
        calls += msg == WM_USER ? 1 : 0;
        return std::optional<LRESULT>{7};
    }});
    desk.window(peer).hang(30'000);
    EXPECT_TRUE(desk.window(peer).hung());
    const std::int64_t before = desk.now();
    EXPECT_EQ(SendMessageA(peer, WM_USER, 0, 0), 7);
    EXPECT_EQ(desk.now() - before, 30'000);
    EXPECT_EQ(calls, 1);
    EXPECT_FALSE(desk.window(peer).hung());
}

TEST_F(SimDesktop, SendMessageTimeoutGivesUpOnAHungWindow) {
    int calls = 0;
    HWND peer = desk.app("peer").createWindow({.onMessage = [&](HWND, UINT msg, WPARAM, LPARAM) {
        calls += msg == WM_USER ? 1 : 0;
        return std::optional<LRESULT>{7};
    }});
    desk.window(peer).hang(60'000);
    DWORD_PTR result = 99;
    // Not yet seen as hung: the sender waits out its time-out.
    std::int64_t before = desk.now();
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(SendMessageTimeoutA(peer, WM_USER, 0, 0, SMTO_NORMAL | SMTO_ABORTIFHUNG, 1000, &result), 0);
    EXPECT_EQ(GetLastError(), ERROR_TIMEOUT);
    EXPECT_EQ(desk.now() - before, 1000);
    EXPECT_EQ(result, 0u);
    // Hung for 5 s: SMTO_ABORTIFHUNG returns at once, without it the time-out runs.
    desk.runFor(5000);
    before = desk.now();
    EXPECT_EQ(SendMessageTimeoutA(peer, WM_USER, 0, 0, SMTO_ABORTIFHUNG, 1000, &result), 0);
    EXPECT_EQ(GetLastError(), ERROR_TIMEOUT);
    EXPECT_EQ(desk.now(), before);
    EXPECT_EQ(SendMessageTimeoutA(peer, WM_USER, 0, 0, SMTO_BLOCK, 250, &result), 0);
    EXPECT_EQ(desk.now() - before, 250);
    EXPECT_EQ(calls, 0);
    // A hang shorter than the time-out only delays the answer.
    desk.window(peer).hang(300);
    before = desk.now();
    EXPECT_NE(SendMessageTimeoutA(peer, WM_USER, 0, 0, SMTO_NORMAL, 1000, &result), 0);
    EXPECT_EQ(desk.now() - before, 300);
    EXPECT_EQ(result, 7u);
    EXPECT_EQ(calls, 1);
}

TEST_F(SimDesktop, NoTimeoutIfNotHungWaitsUntilTheReceiverIsSeenAsHung) {
    HWND peer = desk.app("peer").createWindow({});
    desk.window(peer).hang(60'000);
    DWORD_PTR result = 0;
    const std::int64_t before = desk.now();
    EXPECT_EQ(SendMessageTimeoutA(peer, WM_USER, 0, 0, SMTO_NOTIMEOUTIFNOTHUNG, 100, &result), 0);
    EXPECT_EQ(GetLastError(), ERROR_TIMEOUT);
    EXPECT_EQ(desk.now() - before, 5000);
}

TEST_F(SimDesktop, ABroadcastReachesEveryTopLevelWindow) {
    int calls = 0;
    auto count = [&](HWND, UINT msg, WPARAM, LPARAM) -> std::optional<LRESULT> {
        calls += msg == WM_USER ? 1 : 0;
        return std::nullopt;
    };
    desk.app("one").createWindow({.onMessage = count});
    desk.app("two").createWindow({.visible = false, .onMessage = count});
    SendMessageA(HWND_BROADCAST, WM_USER, 0, 0);
    EXPECT_EQ(calls, 2);
    DWORD_PTR result = 0;
    EXPECT_NE(SendMessageTimeoutA(HWND_BROADCAST, WM_USER, 0, 0, SMTO_ABORTIFHUNG, 100, &result), 0);
    EXPECT_EQ(calls, 4);
}

TEST_F(SimDesktop, WindowsBelongToTheirApplicationsProcess) {
    registerHelperClass();
    HWND own = helperWindow();
    HWND other = desk.app("other").createWindow({});
    DWORD ownPid = 0;
    DWORD otherPid = 0;
    EXPECT_EQ(GetWindowThreadProcessId(own, &ownPid), GetCurrentThreadId());
    EXPECT_EQ(ownPid, GetCurrentProcessId());
    EXPECT_NE(GetWindowThreadProcessId(other, &otherPid), 0u);
    EXPECT_NE(otherPid, GetCurrentProcessId());
    EXPECT_NE(otherPid, 0u);
}

// ---- clock and events ----

TEST_F(SimDesktop, PeekAdvancesByTheTurnCostAndSleepByItsArgument) {
    LARGE_INTEGER f{};
    LARGE_INTEGER c{};
    QueryPerformanceFrequency(&f);
    MSG m{};
    PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE);
    PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE);
    EXPECT_EQ(desk.now(), 2);
    Sleep(100);
    EXPECT_EQ(desk.now(), 102);
    QueryPerformanceCounter(&c);
    EXPECT_EQ(c.QuadPart, 102 * f.QuadPart / 1000);
    desk.setTurnCost(0.5);
    PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE);
    PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE);
    EXPECT_EQ(desk.nowUs(), 103000);
}

TEST_F(SimDesktop, SleepDoesNotRunEventsButTheNextPeekDoes) {
    int ran = 0;
    desk.at(10, [&] { ++ran; });
    Sleep(50);
    EXPECT_EQ(ran, 0);
    MSG m{};
    PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE);
    EXPECT_EQ(ran, 1);
    EXPECT_EQ(desk.pendingEvents(), 0u);
}

TEST_F(SimDesktop, RunUntilRunsEventsInTimeOrderAtTheirTimes) {
    std::vector<std::pair<int, std::int64_t>> order;
    desk.at(30, [&] { order.emplace_back(3, desk.now()); });
    desk.at(10, [&] { order.emplace_back(1, desk.now()); });
    desk.at(10, [&] {
        order.emplace_back(2, desk.now());
        desk.after(5, [&] { order.emplace_back(4, desk.now()); });
    });
    desk.runUntil(40);
    ASSERT_EQ(order.size(), 4u);
    EXPECT_EQ(order[0], std::make_pair(1, std::int64_t{10}));
    EXPECT_EQ(order[1], std::make_pair(2, std::int64_t{10}));
    EXPECT_EQ(order[2], std::make_pair(4, std::int64_t{15}));
    EXPECT_EQ(order[3], std::make_pair(3, std::int64_t{30}));
    EXPECT_EQ(desk.now(), 40);
}

TEST(SimDesktopRealTime, TheSteadyClockDrivesTimeAndSleepSleeps) {
    sim::Desktop desk({.realTime = true});
    EXPECT_TRUE(desk.realTime());
    const std::int64_t start = desk.now();
    int ran = 0;
    desk.after(20, [&] { ++ran; });
    MSG m{};
    PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE);
    EXPECT_EQ(ran, 0);
    Sleep(30);
    EXPECT_GE(desk.now() - start, 30);
    PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE);
    EXPECT_EQ(ran, 1);
}

// ---- other applications and activation ----

TEST_F(SimDesktop, AnotherApplicationsActiveWindowIsNotTheHelpersActiveWindow) {
    HWND editor = desk.app("editor").createWindow({.rect = {100, 100, 900, 700}, .title = "notes"});
    EXPECT_EQ(GetForegroundWindow(), editor);
    EXPECT_EQ(GetActiveWindow(), nullptr);
    EXPECT_EQ(SetActiveWindow(editor), nullptr);  // not a window of the calling thread
    EXPECT_FALSE(DestroyWindow(editor));          // nor can it destroy it
    EXPECT_TRUE(IsWindow(editor));
}

// A background process may activate its own windows but not take the
// foreground from the application the user works in.
TEST_F(SimDesktop, ShowingAnOverlayDoesNotTakeTheForegroundFromTheTarget) {
    registerHelperClass();
    HWND target = desk.app("editor").createWindow({.rect = {100, 100, 500, 400}});
    HWND layer = helperWindow(WS_POPUP, WS_EX_NOACTIVATE | WS_EX_LAYERED | WS_EX_TRANSPARENT,
                              {100, 100, 500, 400}, target);
    ShowWindow(layer, SW_SHOW);
    EXPECT_EQ(GetForegroundWindow(), target);
    EXPECT_EQ(GetActiveWindow(), layer);
    EXPECT_EQ(GetTopWindow(nullptr), layer);
    // Neither does the user's activation reach a WS_EX_NOACTIVATE window.
    desk.window(layer).activate();
    EXPECT_EQ(GetForegroundWindow(), target);
}

TEST(SimDesktopActivation, SystemScopeReportsTheForegroundWindow) {
    sim::Desktop desk({.activeScope = sim::ActiveScope::System});
    HWND a = desk.app("a").createWindow({});
    HWND b = desk.app("b").createWindow({});
    EXPECT_EQ(GetActiveWindow(), b);
    desk.window(a).activate();
    EXPECT_EQ(GetActiveWindow(), a);
    EXPECT_EQ(GetTopWindow(nullptr), a);
    desk.window(a).minimise();
    EXPECT_EQ(GetActiveWindow(), b);
}

TEST_F(SimDesktop, ScriptedWindowOperationsChangeWhatWin32Reports) {
    sim::App& app = desk.app("editor");
    HWND w = app.createWindow({.rect = {100, 100, 500, 400}});
    desk.window(w).moveBy(40, 0).resize(200, 100);
    RECT r{};
    ASSERT_TRUE(GetWindowRect(w, &r));
    EXPECT_EQ(r.left, 140);
    EXPECT_EQ(r.right, 340);
    EXPECT_EQ(r.bottom, 200);
    desk.window(w).maximise();
    WINDOWPLACEMENT p{};
    ASSERT_TRUE(GetWindowPlacement(w, &p));
    EXPECT_EQ(p.showCmd, 3u);
    ASSERT_TRUE(GetWindowRect(w, &r));
    EXPECT_EQ(r.left, -8);
    EXPECT_EQ(r.top, -8);
    EXPECT_EQ(r.right, 1928);
    EXPECT_EQ(r.bottom, 1088);
    desk.window(w).hide();
    EXPECT_FALSE(IsWindowVisible(w));
    ASSERT_TRUE(GetWindowPlacement(w, &p));
    EXPECT_EQ(p.showCmd, 3u);
    desk.window(w).close();
    EXPECT_FALSE(IsWindow(w));
    EXPECT_TRUE(app.windows().empty());
}

TEST_F(SimDesktop, MaximisingOnASecondMonitorCoversThatMonitor) {
    desk.addMonitor(RECT{1920, 0, 3840, 1080});
    HWND w = desk.app("editor").createWindow({.rect = {2000, 100, 2600, 500}});
    desk.window(w).maximise();
    EXPECT_EQ(desk.window(w).rect().left, 1912);
    EXPECT_EQ(desk.window(w).rect().right, 3848);
    desk.window(w).restore();
    EXPECT_EQ(desk.window(w).rect().left, 2000);
    EXPECT_EQ(desk.window(w).rect().right, 2600);
}

TEST_F(SimDesktop, AnOwnedHelperWindowSurvivesItsForeignOwner) {
    registerHelperClass();
    HWND target = desk.app("editor").createWindow({.rect = {100, 100, 500, 400}});
    HWND layer = helperWindow(WS_POPUP, WS_EX_NOACTIVATE | WS_EX_LAYERED | WS_EX_TRANSPARENT,
                              {100, 100, 500, 400}, target);
    SetParent(layer, nullptr);
    ShowWindow(layer, SW_SHOW);
    EXPECT_EQ(GetWindow(target, GW_HWNDPREV), layer);
    desk.window(target).destroy();
    EXPECT_TRUE(IsWindow(layer));
    EXPECT_EQ(GetWindow(layer, GW_OWNER), nullptr);
    EXPECT_TRUE(DestroyWindow(layer));
    EXPECT_EQ(desk.quitMessagesPosted(), 1);  // WM_DESTROY reached the helper's procedure
}

// ---- what the screen shows ----

TEST_F(SimDesktop, ScreenshotStacksWindowsOverTheWallpaper) {
    desk.setWallpaper(sim::Content::solid(bgra(0, 0, 200)));
    sim::App& app = desk.app("editor");
    HWND back =
        app.createWindow({.rect = {100, 100, 300, 300}, .content = sim::Content::solid(bgra(255, 0, 0))});
    HWND front =
        app.createWindow({.rect = {200, 200, 400, 400}, .content = sim::Content::solid(bgra(0, 255, 0))});
    sim::Image shot = desk.screenshot();
    EXPECT_EQ(shot.width, 1920);
    EXPECT_EQ(shot.pixel(50, 50), bgra(0, 0, 200));
    EXPECT_EQ(shot.pixel(150, 150), bgra(255, 0, 0));
    EXPECT_EQ(shot.pixel(250, 250), bgra(0, 255, 0));
    desk.window(back).activate();
    EXPECT_EQ(desk.pixelAt(250, 250), bgra(255, 0, 0));
    sim::Image without = desk.compose(RECT{240, 240, 260, 260}, {back});
    EXPECT_EQ(without.pixel(0, 0), bgra(0, 255, 0));
    desk.window(front).minimise();
    desk.window(back).hide();
    EXPECT_EQ(desk.pixelAt(250, 250), bgra(0, 0, 200));
}

TEST_F(SimDesktop, WindowsWithoutWidthOrHeightDrawNothing) {
    // Under UBSan a row copy of a window with no pixels reads from a null
    // surface; the windows must simply draw nothing.
    desk.setWallpaper(sim::Content::solid(bgra(10, 20, 30)));
    sim::App& app = desk.app("thin");
    const HWND noWidth =
        app.createWindow({.rect = {100, 100, 100, 300}, .content = sim::Content::solid(bgra(200, 0, 0))});
    const HWND noHeight =
        app.createWindow({.rect = {200, 100, 400, 100}, .content = sim::Content::solid(bgra(200, 0, 0))});
    const sim::Image shot = desk.compose(RECT{0, 0, 500, 400});
    EXPECT_EQ(shot.pixel(100, 150), bgra(10, 20, 30));
    EXPECT_EQ(shot.pixel(300, 100), bgra(10, 20, 30));
    desk.window(noWidth).resize(0, 50).moveTo(-5, 0);
    desk.window(noHeight).maximise().restore();
    EXPECT_EQ(desk.compose(RECT{0, 0, 500, 400}).pixel(0, 0), bgra(10, 20, 30));
    EXPECT_TRUE(desk.window(noWidth).content().empty());
}

TEST_F(SimDesktop, PaintersRunAgainWhenTheWindowChangesSize) {
    int runs = 0;
    HWND w = desk.app("photo").createWindow(
        {.rect = {0, 0, 100, 100},
         .content = sim::Content::painter([&runs](sim::Image& img) {
             ++runs;
             img.fillRect(RECT{img.width - 10, 0, img.width, img.height}, bgra(9, 9, 9));
         })});
    EXPECT_EQ(desk.pixelAt(95, 50), bgra(9, 9, 9));
    desk.window(w).resize(200, 100);
    EXPECT_EQ(desk.pixelAt(95, 50), bgra(255, 255, 255));
    EXPECT_EQ(desk.pixelAt(195, 50), bgra(9, 9, 9));
    EXPECT_EQ(runs, 2);
}

TEST_F(SimDesktop, LayeredAlphaBlendsAndOffScreenIsBlack) {
    desk.setWallpaper(sim::Content::solid(bgra(0, 0, 0)));
    HWND w = desk.app("fade").createWindow({.rect = {0, 0, 10, 10},
                                            .exStyle = WS_EX_LAYERED,
                                            .content = sim::Content::solid(bgra(200, 100, 50))});
    EXPECT_EQ(desk.pixelAt(5, 5), bgra(200, 100, 50));
    (void)w;
    sim::Image beyond = desk.compose(RECT{1910, 1070, 1930, 1090});
    EXPECT_EQ(beyond.pixel(15, 15), bgra(0, 0, 0));
}

TEST_F(SimDesktop, HelperWindowsShowTheirClassBrushUntilBlitted) {
    WNDCLASSEXA wc{};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = helperProc;
    wc.lpszClassName = "KESTRA_DLAYER";
    wc.hbrBackground = CreateSolidBrush(RGB(1, 0, 0));
    ASSERT_NE(RegisterClassExA(&wc), 0);
    HWND layer = CreateWindowExA(0, "KESTRA_DLAYER", "", WS_POPUP | WS_VISIBLE, 10, 10, 20, 20, nullptr,
                                 nullptr, nullptr, nullptr);
    EXPECT_EQ(desk.pixelAt(15, 15), bgra(1, 0, 0));
    DestroyWindow(layer);
    UnregisterClassA("KESTRA_DLAYER", nullptr);
    DeleteObject(wc.hbrBackground);
}

// ---- faults ----

TEST_F(SimDesktop, FaultsHitTheNamedCallsOnly) {
    registerHelperClass();
    sim::Fault f;
    f.function = "CreateWindowExA";
    f.className = "KESTRA_DLAYER";
    desk.addFault(f);
    EXPECT_NE(helperWindow(), nullptr);  // another class: not affected
    WNDCLASSEXA wc{};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = helperProc;
    wc.lpszClassName = "KESTRA_DLAYER";
    desk.failNext("RegisterClassExA");
    EXPECT_EQ(RegisterClassExA(&wc), 0);
    ASSERT_NE(RegisterClassExA(&wc), 0);
    EXPECT_EQ(
        CreateWindowExA(0, "KESTRA_DLAYER", "", WS_POPUP, 0, 0, 5, 5, nullptr, nullptr, nullptr, nullptr),
        nullptr);
    EXPECT_NE(
        CreateWindowExA(0, "KESTRA_DLAYER", "", WS_POPUP, 0, 0, 5, 5, nullptr, nullptr, nullptr, nullptr),
        nullptr);

    sim::Fault big;
    big.function = "HeapAlloc";
    big.minBytes = 1 << 20;
    big.remaining = -1;
    desk.addFault(big);
    void* small = HeapAlloc(GetProcessHeap(), 0, 1024);
    EXPECT_NE(small, nullptr);
    EXPECT_EQ(HeapAlloc(GetProcessHeap(), 0, 1 << 20), nullptr);
    EXPECT_EQ(HeapAlloc(GetProcessHeap(), 0, 1 << 21), nullptr);
    HeapFree(GetProcessHeap(), 0, small);

    HWND w = helperWindow();
    RECT r{};
    desk.failNext("GetWindowRect");
    EXPECT_FALSE(GetWindowRect(w, &r));
    EXPECT_TRUE(GetWindowRect(w, &r));
    desk.failNext("GetCursorPos");
    POINT p{};
    EXPECT_FALSE(GetCursorPos(&p));
    desk.failNext("GetWindowPlacement");
    WINDOWPLACEMENT wp{};
    EXPECT_FALSE(GetWindowPlacement(w, &wp));
    int monitors = 0;
    desk.failNext("EnumDisplayMonitors");
    EnumDisplayMonitors(
        nullptr, nullptr,
        [](HMONITOR, HDC, LPRECT, LPARAM data) -> BOOL {
            ++*reinterpret_cast<int*>(data);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&monitors));
    EXPECT_EQ(monitors, 0);
}

TEST_F(SimDesktop, FailedDibSectionMakesSelectObjectFail) {
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info{};
    info.bmiHeader = BITMAPINFOHEADER{sizeof(BITMAPINFOHEADER), 16, -16, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
    void* bits = nullptr;
    desk.failNext("CreateDIBSection");
    HBITMAP b = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    EXPECT_EQ(b, nullptr);
    EXPECT_EQ(bits, nullptr);
    EXPECT_EQ(SelectObject(memory, b), nullptr);
    b = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    desk.failNext("SelectObject");
    EXPECT_EQ(SelectObject(memory, b), nullptr);
    EXPECT_NE(SelectObject(memory, b), nullptr);
    DeleteDC(memory);
    DeleteObject(b);
    ReleaseDC(nullptr, screen);
    EXPECT_EQ(desk.counts().gdiObjects, 0);
}

// ---- counts ----

TEST_F(SimDesktop, CountsFollowEveryAllocationAndRelease) {
    registerHelperClass();
    HWND layer = helperWindow(WS_POPUP);
    auto allocateSurface = [&](HDC& windowDc, HDC& memoryDc, HBITMAP& bitmap) {
        if (windowDc != nullptr) {
            DeleteDC(memoryDc);
            ReleaseDC(layer, windowDc);
        }
        windowDc = GetDC(layer);
        memoryDc = CreateCompatibleDC(windowDc);
        if (bitmap != nullptr) {
            DeleteObject(bitmap);
        }
        BITMAPINFO info{};
        info.bmiHeader = BITMAPINFOHEADER{sizeof(BITMAPINFOHEADER), 100, -50, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
        void* bits = nullptr;
        bitmap = CreateDIBSection(windowDc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
        DeleteObject(SelectObject(memoryDc, bitmap));
    };
    HDC windowDc = nullptr;
    HDC memoryDc = nullptr;
    HBITMAP bitmap = nullptr;
    allocateSurface(windowDc, memoryDc, bitmap);
    allocateSurface(windowDc, memoryDc, bitmap);
    sim::Counts c = desk.counts();
    EXPECT_EQ(c.windowDCs, 1);
    EXPECT_EQ(c.memoryDCs, 1);
    EXPECT_EQ(c.dibSections, 1);
    EXPECT_EQ(c.dibBytes, 100u * 50u * 4u);
    EXPECT_EQ(c.helperWindows, 1);

    // Deleting a selected DIB section takes effect when its DC goes.
    DeleteObject(bitmap);
    EXPECT_EQ(desk.counts().dibSections, 1);
    DeleteDC(memoryDc);
    EXPECT_EQ(desk.counts().dibSections, 0);
    EXPECT_EQ(desk.counts().dibBytes, 0u);
    ReleaseDC(layer, windowDc);
    DestroyWindow(layer);

    void* a = HeapAlloc(GetProcessHeap(), 0, 100);
    void* b = HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, 28);
    c = desk.counts();
    EXPECT_EQ(c.heapBlocks, 2);
    EXPECT_EQ(c.heapBytes, 128u);
    HeapFree(GetProcessHeap(), 0, a);
    HeapFree(GetProcessHeap(), 0, b);
    EXPECT_FALSE(HeapFree(GetProcessHeap(), 0, b));  // a second free is refused
    K32EmptyWorkingSet(GetCurrentProcess());
    c = desk.counts();
    EXPECT_EQ(c.heapBlocks, 0);
    EXPECT_EQ(c.badHeapFrees, 1);
    EXPECT_EQ(c.emptyWorkingSetCalls, 1);
    EXPECT_EQ(c.gdiObjects, 0);
    EXPECT_EQ(c.helperWindows, 0);
}

// ---- call log ----

TEST_F(SimDesktop, CallLogRecordsKeyArgumentsInOrder) {
    registerHelperClass();
    HWND w = helperWindow(WS_POPUP);
    desk.callLog().enable();
    ShowWindow(w, SW_SHOWNOACTIVATE);
    SetWindowPos(w, nullptr, 1, 2, 3, 4, SWP_NOSENDCHANGING | SWP_NOACTIVATE | SWP_NOREDRAW);
    ShowWindow(w, SW_HIDE);
    desk.callLog().disable();
    ShowWindow(w, SW_SHOW);
    const std::vector<std::string> expected{"ShowWindow", "SetWindowPos", "ShowWindow"};
    EXPECT_EQ(desk.callLog().functions(), expected);
    const std::vector<sim::CallEntry> shows = desk.callLog().named("ShowWindow");
    ASSERT_EQ(shows.size(), 2u);
    EXPECT_EQ(shows[0].code, SW_SHOWNOACTIVATE);
    EXPECT_EQ(shows[1].code, SW_HIDE);
    const sim::CallEntry pos = desk.callLog().named("SetWindowPos").at(0);
    EXPECT_EQ(pos.window, w);
    EXPECT_EQ(pos.code, 0x418);
    EXPECT_EQ(pos.rect.right, 3);
}

}  // namespace
