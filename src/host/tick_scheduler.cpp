#include "host/tick_scheduler.h"

#include <cstddef>

#include "platform/clock.h"
#include "platform/win32.h"

namespace kestra {

SchedulerState schedulerState;
TickFunction schedulerTick = tick;

namespace {

constexpr std::int32_t kIdleSleepMs = 100;
constexpr std::int32_t kNormalPeriod = 2;
constexpr std::int32_t kMaximisedPeriod = 10;

// Untracks the vanished window at `position` of activeList. Returns false when
// the list is empty afterwards. The effect count is never below the number of
// engines that hold an overlay window (it can be above: untracking a window
// releases its engine without counting it down). A record whose attach never
// succeeded was not counted, and discounting it could let the count fall
// below the number of overlays, so that later attaches skip the refresh that
// hides their overlay from the other captures.
bool untrackVanished(std::size_t position) {
    TrackedWindow& record = trackedWindows[static_cast<std::size_t>(activeList[position])];
    const bool counted = record.engine.engineAttached || record.engine.overlay.layerWindow != nullptr;
    untrackRecord(record);
    activeList.erase(activeList.begin() + static_cast<std::ptrdiff_t>(position));
    if (counted && effectCount > 0) {
        effectCount -= 1;
    }
    refreshExclusions();
    return !activeList.empty();
}

bool containsPoint(const RECT& rect, const POINT& point) {
    return rect.left <= point.x && point.x <= rect.right && rect.top <= point.y && point.y <= rect.bottom;
}

// The topmost visible, live, tracked window whose rectangle holds the cursor;
// -1 when there is none or the cursor position is unknown.
int cursorCandidate() {
    POINT cursor{};
    if (!GetCursorPos(&cursor)) {
        return -1;
    }
    for (HWND window = GetTopWindow(nullptr); window != nullptr; window = GetWindow(window, GW_HWNDNEXT)) {
        if (!IsWindowVisible(window)) {
            continue;
        }
        const int index = findTracked(window);
        if (index < 0) {
            continue;
        }
        const TrackedWindow& record = trackedWindows[static_cast<std::size_t>(index)];
        if (!record.live || !containsPoint(record.windowRect, cursor)) {
            continue;
        }
        return index;
    }
    return -1;
}

// The record of the active window, unless that window already stands at the
// front; -1 when there is none.
int activeCandidate() {
    HWND active = GetActiveWindow();
    if (active == nullptr) {
        return -1;
    }
    if (active == trackedWindows[static_cast<std::size_t>(activeList[0])].target) {
        return -1;
    }
    return findTracked(active);
}

void chooseFront() {
    int candidate = cursorCandidate();
    if (candidate < 0) {
        candidate = activeCandidate();
    }
    if (candidate >= 0 && candidate != activeList[0] && activeList.size() > 1) {
        for (std::size_t position = 1; position < activeList.size(); ++position) {
            if (activeList[position] == candidate) {
                activeList[position] = activeList[0];
                activeList[0] = candidate;
                break;
            }
        }
    }
    const TrackedWindow& front = trackedWindows[static_cast<std::size_t>(activeList[0])];
    schedulerState.periodFactor =
        front.placement.showCmd == static_cast<UINT>(SW_SHOWMAXIMIZED) ? kMaximisedPeriod : kNormalPeriod;
    schedulerState.lastFrontCheck = nowMs();
}

void restartVisits() {
    schedulerState.turnCounter = 0;
    schedulerState.visitPosition = 1;
}

}  // namespace

bool schedulerStep() {
    if (activeList.empty()) {
        Sleep(kIdleSleepMs);
        return true;
    }

    // The front window gets a tick every turn.
    TrackedWindow& front = trackedWindows[static_cast<std::size_t>(activeList[0])];
    if (IsWindow(front.target)) {
        schedulerTick(front);
    } else if (!untrackVanished(0)) {
        return false;
    }

    if (activeList.size() == 1) {
        return true;
    }

    if (elapsedSince(schedulerState.lastFrontCheck) >= kFrontCheckPeriodMs) {
        chooseFront();
    }

    schedulerState.turnCounter += 1;
    if (schedulerState.turnCounter < schedulerState.visitPosition * schedulerState.periodFactor) {
        return true;
    }

    // Commands may have shortened the list since the last visit.
    if (static_cast<std::size_t>(schedulerState.visitPosition) >= activeList.size()) {
        restartVisits();
        return true;
    }
    const std::size_t position = static_cast<std::size_t>(schedulerState.visitPosition);
    TrackedWindow& visited = trackedWindows[static_cast<std::size_t>(activeList[position])];
    if (IsWindow(visited.target)) {
        schedulerTick(visited);
        schedulerState.visitPosition += 1;
    } else if (!untrackVanished(position)) {
        return false;
    }

    if (static_cast<std::size_t>(schedulerState.visitPosition) >= activeList.size()) {
        restartVisits();
    }
    return true;
}

void resetSchedulerState() {
    schedulerState = SchedulerState{};
    schedulerTick = tick;
}

}  // namespace kestra
