#include "host/pacing.h"

#include <algorithm>

#include "host/helper_main.h"
#include "host/tick_scheduler.h"
#include "platform/clock.h"
#include "tracking/still_pacing.h"
#include "tracking/tracked_window.h"

namespace kestra {

PacingState pacingState;

std::int32_t refreshRateOf(HWND window) {
    HMONITOR monitor = MonitorFromWindow(window, MONITOR_DEFAULTTONEAREST);
    if (monitor == nullptr) {
        return kFallbackRefreshRate;
    }
    MONITORINFOEXA info{};
    info.cbSize = sizeof(MONITORINFOEXA);
    if (!GetMonitorInfoA(monitor, &info)) {
        return kFallbackRefreshRate;
    }
    DEVMODEA mode{};
    mode.dmSize = sizeof(DEVMODEA);
    if (!EnumDisplaySettingsA(info.szDevice, ENUM_CURRENT_SETTINGS, &mode)) {
        return kFallbackRefreshRate;
    }
    const auto hertz = static_cast<std::int64_t>(mode.dmDisplayFrequency);
    if (hertz <= 1) {
        return kFallbackRefreshRate;
    }
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(hertz, kMinRefreshRate, kMaxRefreshRate));
}

std::int32_t frameIntervalFor(std::int32_t hertz) {
    return 1000 / std::max(hertz, 1);
}

void updateFrameInterval() {
    if (activeList.empty()) {
        return;
    }
    HWND front = trackedWindows[static_cast<std::size_t>(activeList[0])].target;
    if (front == pacingState.rateWindow &&
        elapsedSince(pacingState.lastRateRead) < kRefreshRateReadPeriodMs) {
        return;
    }
    frameIntervalMs = frameIntervalFor(refreshRateOf(front));
    pacingState.rateWindow = front;
    pacingState.lastRateRead = nowMs();
}

std::int64_t msUntilDueWork(std::int32_t lastLivenessCheck) {
    std::int64_t until = frameIntervalMs;
    // The liveness check runs once more than kLivenessPeriodMs have passed.
    until = std::min<std::int64_t>(until, kLivenessPeriodMs + 1 - elapsedSince(lastLivenessCheck));
    until = std::min(until, msUntilFrontChoice(until));
    for (int index : activeList) {
        if (until <= 0) {
            break;
        }
        until = std::min(until, msUntilWork(trackedWindows[static_cast<std::size_t>(index)], until));
    }
    return std::max<std::int64_t>(until, 0);
}

void paceAfterTurn(std::int32_t lastLivenessCheck) {
    if (!schedulerState.roundEnded) {
        return;
    }
    schedulerState.roundEnded = false;
    updateFrameInterval();
    if (!schedulerState.roundQuiet) {
        return;
    }
    const std::int64_t timeout = msUntilDueWork(lastLivenessCheck);
    if (timeout <= 0) {
        return;
    }
    pacingState.waits += 1;
    MsgWaitForMultipleObjectsEx(0, nullptr, static_cast<DWORD>(timeout), QS_ALLINPUT, MWMO_INPUTAVAILABLE);
}

void resetPacingState() {
    pacingState = PacingState{};
    frameIntervalMs = kDefaultFrameIntervalMs;
}

}  // namespace kestra
