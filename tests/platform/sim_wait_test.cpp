// The simulated desktop's MsgWaitForMultipleObjectsEx in virtual time, its
// hooks for other event sources, and the monitor and display-settings calls
// that pace the helper.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/sim/desktop.h"
#include "platform/win32.h"

namespace {

LRESULT CALLBACK plainProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    return DefWindowProcA(hwnd, msg, wParam, lParam);
}

class SimWait : public ::testing::Test {
  protected:
    sim::Desktop desk;

    DWORD wait(DWORD ms) {
        return MsgWaitForMultipleObjectsEx(0, nullptr, ms, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    }

    HWND helperWindow(DWORD style) {
        WNDCLASSEXA wc{};
        wc.cbSize = sizeof(wc);
        wc.lpfnWndProc = plainProc;
        wc.lpszClassName = "SimWaitClass";
        RegisterClassExA(&wc);
        return CreateWindowExA(0, "SimWaitClass", "", style, 10, 10, 100, 80, nullptr, nullptr, nullptr,
                               nullptr);
    }
};

TEST_F(SimWait, TimeoutAdvancesTheVirtualClockByItsLength) {
    desk.callLog().enable();
    const std::int64_t before = desk.now();
    EXPECT_EQ(wait(16), WAIT_TIMEOUT);
    EXPECT_EQ(desk.now() - before, 16);
    EXPECT_EQ(wait(0), WAIT_TIMEOUT);
    EXPECT_EQ(desk.now() - before, 16);
    const std::vector<sim::CallEntry> log = desk.callLog().named("MsgWaitForMultipleObjectsEx");
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].code, 16);
    EXPECT_EQ(log[0].result, static_cast<std::int64_t>(WAIT_TIMEOUT));
    const sim::WaitStats stats = desk.waitStats();
    EXPECT_EQ(stats.waits, 2);
    EXPECT_EQ(stats.timeouts, 2);
    EXPECT_EQ(stats.waitedUs, 16000);
}

TEST_F(SimWait, AnExternalEventEndsTheWaitAtItsTimeAndRunsInTheNextPeek) {
    bool ran = false;
    desk.at(7, [&] { ran = true; });
    EXPECT_EQ(wait(16), WAIT_OBJECT_0);
    EXPECT_EQ(desk.now(), 7);
    EXPECT_FALSE(ran) << "the wait only reports the message; the peek handles it";
    MSG msg{};
    PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE);
    EXPECT_TRUE(ran);
    EXPECT_EQ(desk.waitStats().timeouts, 0);
    // An event due already ends the next wait at once.
    desk.at(desk.now(), [] {});
    EXPECT_EQ(wait(16), WAIT_OBJECT_0);
    EXPECT_EQ(desk.now(), 8);  // the peek's turn cost, nothing more
}

TEST_F(SimWait, AWaitWithoutQsSendMessageIgnoresExternalEvents) {
    desk.at(5, [] {});
    EXPECT_EQ(MsgWaitForMultipleObjectsEx(0, nullptr, 10, QS_POSTMESSAGE, MWMO_INPUTAVAILABLE), WAIT_TIMEOUT);
    EXPECT_EQ(desk.now(), 10);
}

TEST_F(SimWait, QueuedInputEndsTheWaitAtOnce) {
    PostMessageA(nullptr, WM_USER, 0, 0);
    EXPECT_EQ(wait(16), WAIT_OBJECT_0);
    EXPECT_EQ(desk.now(), 0);
    MSG msg{};
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(msg.message, WM_USER);
    EXPECT_EQ(wait(16), WAIT_TIMEOUT);
}

TEST_F(SimWait, AWindowThatNeedsPaintingEndsEveryWaitUntilValidated) {
    HWND w = helperWindow(WS_POPUP | WS_VISIBLE);
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(wait(16), WAIT_OBJECT_0);
    MSG msg{};
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(msg.message, WM_PAINT);
    EXPECT_EQ(wait(16), WAIT_OBJECT_0) << "peeking does not validate";
    RECT part{0, 0, 10, 10};
    EXPECT_TRUE(ValidateRect(w, &part));
    EXPECT_EQ(wait(16), WAIT_OBJECT_0) << "part of the window still needs painting";
    EXPECT_TRUE(ValidateRect(w, nullptr));
    const std::int64_t before = desk.now();
    EXPECT_EQ(wait(16), WAIT_TIMEOUT);
    EXPECT_EQ(desk.now() - before, 16);
    EXPECT_FALSE(ValidateRect(desk.desktopWindow(), nullptr)) << "not a window of this process";
}

TEST_F(SimWait, TheWaitHookRunsOtherSourcesUpToTheDeadline) {
    std::vector<std::int64_t> deadlines;
    desk.setWaitHook([&](std::int64_t untilMs) {
        deadlines.push_back(untilMs);
        if (deadlines.size() == 1) {
            desk.at(4, [] {});  // another process sends something at 4 ms
            return false;
        }
        return deadlines.size() == 2;  // it delivered something during the call
    });
    EXPECT_EQ(wait(16), WAIT_OBJECT_0);
    EXPECT_EQ(desk.now(), 4);
    MSG msg{};
    PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE);
    EXPECT_EQ(wait(16), WAIT_OBJECT_0);
    EXPECT_EQ(desk.now(), 5);
    EXPECT_EQ(wait(16), WAIT_TIMEOUT);
    EXPECT_EQ(desk.now(), 21);
    EXPECT_EQ(deadlines, (std::vector<std::int64_t>{16, 21, 21}));
    desk.setWaitHook(nullptr);
}

TEST_F(SimWait, HandlesAndWaitsThatCouldNeverEndFail) {
    HANDLE handle = GetCurrentProcess();
    EXPECT_EQ(MsgWaitForMultipleObjectsEx(1, &handle, 10, QS_ALLINPUT, 0), WAIT_FAILED);
    EXPECT_EQ(wait(INFINITE), WAIT_FAILED) << "nothing is scheduled: the thread would hang";
    desk.at(30, [] {});
    EXPECT_EQ(wait(INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(desk.now(), 30);
}

TEST_F(SimWait, MonitorsAndTheirRefreshRates) {
    desk.setMonitors({RECT{0, 0, 1920, 1080}, RECT{1920, 0, 3840, 1080}});
    desk.setRefreshRate(1, 144);
    HWND left = desk.app("a").createWindow(sim::WindowOptions{});
    sim::WindowOptions rightOptions;
    rightOptions.rect = RECT{2000, 100, 2600, 500};
    HWND right = desk.app("a").createWindow(rightOptions);
    sim::WindowOptions offOptions;
    offOptions.rect = RECT{5000, 100, 5100, 200};
    HWND off = desk.app("a").createWindow(offOptions);

    auto rateOf = [](HWND w) -> DWORD {
        MONITORINFOEXA info{};
        info.cbSize = sizeof(info);
        if (!GetMonitorInfoA(MonitorFromWindow(w, MONITOR_DEFAULTTONEAREST), &info)) {
            return 0;
        }
        DEVMODEA mode{};
        mode.dmSize = sizeof(mode);
        if (!EnumDisplaySettingsA(info.szDevice, ENUM_CURRENT_SETTINGS, &mode)) {
            return 0;
        }
        EXPECT_NE(mode.dmFields & DM_DISPLAYFREQUENCY, 0u);
        return mode.dmDisplayFrequency;
    };
    EXPECT_EQ(rateOf(left), sim::kDefaultRefreshRate);
    EXPECT_EQ(rateOf(right), 144u);
    EXPECT_EQ(rateOf(off), 144u) << "the nearest monitor";

    MONITORINFOEXA info{};
    info.cbSize = sizeof(info);
    ASSERT_TRUE(GetMonitorInfoA(MonitorFromWindow(right, MONITOR_DEFAULTTONULL), &info));
    EXPECT_EQ(std::string(info.szDevice), "\\\\.\\DISPLAY2");
    EXPECT_EQ(info.rcMonitor.left, 1920);
    EXPECT_EQ(info.dwFlags, 0u);
    EXPECT_EQ(MonitorFromWindow(off, MONITOR_DEFAULTTONULL), nullptr);
    EXPECT_EQ(MonitorFromWindow(off, MONITOR_DEFAULTTOPRIMARY),
              MonitorFromWindow(left, MONITOR_DEFAULTTONULL));
    MONITORINFO small{};
    small.cbSize = sizeof(small);
    ASSERT_TRUE(GetMonitorInfoA(MonitorFromWindow(left, MONITOR_DEFAULTTONULL), &small));
    EXPECT_EQ(small.dwFlags, MONITORINFOF_PRIMARY);
    small.cbSize = 12;
    EXPECT_FALSE(GetMonitorInfoA(MonitorFromWindow(left, MONITOR_DEFAULTTONULL), &small));
    DEVMODEA mode{};
    mode.dmSize = sizeof(mode);
    EXPECT_FALSE(EnumDisplaySettingsA("\\\\.\\DISPLAY9", ENUM_CURRENT_SETTINGS, &mode));
    ASSERT_TRUE(EnumDisplaySettingsA(nullptr, ENUM_CURRENT_SETTINGS, &mode));
    EXPECT_EQ(mode.dmPelsWidth, 1920u);
}

}  // namespace
