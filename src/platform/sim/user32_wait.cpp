// Waiting for messages, monitor information and display settings on the
// simulated desktop: MsgWaitForMultipleObjectsEx in virtual time,
// MonitorFromWindow, GetMonitorInfoA, EnumDisplaySettingsA and ValidateRect.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "platform/sim/programs.h"
#include "platform/sim/sim_state.h"

using sim::CallEntry;
using sim::currentState;
using sim::DesktopState;
using sim::kHelperProcess;
using sim::WindowRec;

namespace {

// Monitor handles as EnumDisplayMonitors hands them out.
HMONITOR monitorHandle(std::size_t index) {
    return reinterpret_cast<HMONITOR>(static_cast<std::uintptr_t>(0x00010001 + index * 2));
}

// The enumeration index of a monitor handle, or -1.
int monitorIndex(const DesktopState& s, HMONITOR monitor) {
    const auto value = reinterpret_cast<std::uintptr_t>(monitor);
    if (value < 0x00010001 || (value - 0x00010001) % 2 != 0) {
        return -1;
    }
    const std::size_t index = (value - 0x00010001) / 2;
    return index < s.monitors.size() ? static_cast<int>(index) : -1;
}

// The device name Windows gives the n-th display.
std::string deviceName(std::size_t index) {
    return "\\\\.\\DISPLAY" + std::to_string(index + 1);
}

// Queued input that ends a wait at once: a posted message (wakeMask asks for
// QS_POSTMESSAGE or QS_ALLPOSTMESSAGE), or a visible helper window that
// needs painting (QS_PAINT).
bool inputQueued(const DesktopState& s, DWORD wakeMask) {
    if ((wakeMask & (QS_POSTMESSAGE | QS_ALLPOSTMESSAGE)) != 0 && !s.posted.empty()) {
        return true;
    }
    if ((wakeMask & QS_PAINT) != 0) {
        for (const auto& w : s.windows) {
            if (w && w->process == kHelperProcess && w->needsPaint && s.isVisible(w->handle)) {
                return true;
            }
        }
    }
    return false;
}

void logWait(DesktopState& s, DWORD milliseconds, DWORD result) {
    if (s.log.enabled()) {
        CallEntry e;
        e.function = "MsgWaitForMultipleObjectsEx";
        e.code = milliseconds;
        e.result = result;
        s.record(std::move(e));
    }
}

}  // namespace

DWORD WINAPI MsgWaitForMultipleObjectsEx(DWORD nCount, const HANDLE* handles, DWORD milliseconds,
                                         DWORD wakeMask, DWORD flags) {
    DesktopState* s = currentState();
    if (s == nullptr) {
        if (milliseconds != INFINITE) {
            std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
        }
        return WAIT_TIMEOUT;
    }
    // Started programs take their turns here as between peeks (programs.h):
    // a program that waits hands the baton back to its starter first.
    sim::programTurnBoundary();
    // No waitable objects exist in the simulation: only the message queue.
    if (nCount != 0 || handles != nullptr || (flags & MWMO_WAITALL) != 0) {
        logWait(*s, milliseconds, WAIT_FAILED);
        return WAIT_FAILED;
    }
    const DWORD input = WAIT_OBJECT_0 + nCount;
    const std::int64_t start = s->nowUs();
    ++s->waitStats.waits;
    // A message sent from another process, or queued input, ends the wait.
    const bool sentWakes = (wakeMask & QS_SENDMESSAGE) != 0;
    auto eventDue = [&] {
        return sentWakes && !s->events.empty() && s->events.begin()->first.first <= s->nowUs();
    };
    if (inputQueued(*s, wakeMask) || eventDue()) {
        logWait(*s, milliseconds, input);
        return input;
    }
    const bool forever = milliseconds == INFINITE;
    const std::int64_t deadline =
        forever ? INT64_MAX : start + static_cast<std::int64_t>(milliseconds) * 1000;
    if (s->waitHook && s->waitHook(forever ? INT64_MAX / 1000 : deadline / 1000)) {
        s->waitStats.waitedUs += s->nowUs() - start;
        logWait(*s, milliseconds, input);
        return input;
    }
    std::int64_t until = deadline;
    if (sentWakes && !s->events.empty()) {
        until = std::min(until, s->events.begin()->first.first);
    }
    if (until == INT64_MAX) {
        // Nothing could ever end this wait: the simulated thread would hang.
        logWait(*s, milliseconds, WAIT_FAILED);
        return WAIT_FAILED;
    }
    s->advanceUs(until - s->nowUs());
    s->waitStats.waitedUs += s->nowUs() - start;
    const DWORD result = until < deadline || eventDue() ? input : WAIT_TIMEOUT;
    if (result == WAIT_TIMEOUT) {
        ++s->waitStats.timeouts;
    }
    logWait(*s, milliseconds, result);
    return result;
}

BOOL WINAPI ValidateRect(HWND hwnd, const RECT* rect) {
    DesktopState* s = currentState();
    if (s == nullptr) {
        return FALSE;
    }
    WindowRec* w = s->find(hwnd);
    if (w == nullptr || w->process != kHelperProcess) {
        return FALSE;
    }
    // The simulation keeps no update region: a rectangle that does not cover
    // the whole window leaves it needing paint.
    if (rect == nullptr ||
        (rect->left <= 0 && rect->top <= 0 && rect->right >= w->rect.right - w->rect.left &&
         rect->bottom >= w->rect.bottom - w->rect.top)) {
        w->needsPaint = false;
    }
    return TRUE;
}

HMONITOR WINAPI MonitorFromWindow(HWND hwnd, DWORD flags) {
    DesktopState* s = currentState();
    if (s == nullptr || s->monitors.empty()) {
        return nullptr;
    }
    const WindowRec* w = s->find(hwnd);
    if (w == nullptr) {
        return flags == MONITOR_DEFAULTTONULL ? nullptr : monitorHandle(0);
    }
    bool overlaps = false;
    const std::size_t index = s->monitorIndexFor(w->rect, &overlaps);
    if (overlaps) {
        return monitorHandle(index);
    }
    if (flags == MONITOR_DEFAULTTONEAREST) {
        return monitorHandle(index);
    }
    return flags == MONITOR_DEFAULTTOPRIMARY ? monitorHandle(0) : nullptr;
}

BOOL WINAPI GetMonitorInfoA(HMONITOR monitor, LPMONITORINFO info) {
    DesktopState* s = currentState();
    if (s == nullptr || info == nullptr ||
        (info->cbSize != sizeof(MONITORINFO) && info->cbSize != sizeof(MONITORINFOEXA))) {
        return FALSE;
    }
    const int index = monitorIndex(*s, monitor);
    if (index < 0) {
        return FALSE;
    }
    const auto i = static_cast<std::size_t>(index);
    info->rcMonitor = s->monitors[i];
    info->rcWork = s->monitors[i];  // no task bar on the simulated desktop
    info->dwFlags = index == 0 ? MONITORINFOF_PRIMARY : 0;
    if (info->cbSize == sizeof(MONITORINFOEXA)) {
        auto* extended = static_cast<MONITORINFOEXA*>(info);
        std::snprintf(extended->szDevice, sizeof(extended->szDevice), "%s", deviceName(i).c_str());
    }
    return TRUE;
}

BOOL WINAPI EnumDisplaySettingsA(LPCSTR name, DWORD modeNum, DEVMODEA* devMode) {
    DesktopState* s = currentState();
    if (s == nullptr || devMode == nullptr) {
        return FALSE;
    }
    // Only the current mode of each display is known here.
    if (modeNum != ENUM_CURRENT_SETTINGS && modeNum != ENUM_REGISTRY_SETTINGS && modeNum != 0) {
        return FALSE;
    }
    std::size_t index = 0;  // null names the display of the calling thread: the primary one
    if (name != nullptr) {
        bool found = false;
        for (std::size_t i = 0; i < s->monitors.size(); ++i) {
            if (deviceName(i) == name) {
                index = i;
                found = true;
                break;
            }
        }
        if (!found) {
            return FALSE;
        }
    }
    const RECT& m = s->monitors[index];
    const WORD size = devMode->dmSize;
    const WORD extra = devMode->dmDriverExtra;
    std::memset(devMode, 0, sizeof(DEVMODEA));
    devMode->dmSize = size;
    devMode->dmDriverExtra = extra;
    std::snprintf(reinterpret_cast<char*>(devMode->dmDeviceName), sizeof(devMode->dmDeviceName), "%s",
                  "Simulated display");
    devMode->dmFields = DM_BITSPERPEL | DM_PELSWIDTH | DM_PELSHEIGHT | DM_DISPLAYFREQUENCY;
    devMode->dmPosition = POINTL{m.left, m.top};
    devMode->dmBitsPerPel = 32;
    devMode->dmPelsWidth = static_cast<DWORD>(m.right - m.left);
    devMode->dmPelsHeight = static_cast<DWORD>(m.bottom - m.top);
    devMode->dmDisplayFrequency =
        index < s->refreshRates.size() ? s->refreshRates[index] : sim::kDefaultRefreshRate;
    return TRUE;
}
