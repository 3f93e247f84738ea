// Placement and monitor tracking: keeps a record's rectangles in line with its
// target and tells the engine to follow when the target moved or was resized.
#include "platform/rect.h"
#include "tracking/tracked_window.h"

namespace kestra {

std::vector<RECT> monitorRects;

namespace {

constexpr std::size_t kReservedMonitors = 3;

BOOL CALLBACK collectMonitor(HMONITOR, HDC, LPRECT monitor, LPARAM) {
    if (monitor != nullptr) {
        monitorRects.push_back(*monitor);
    }
    return TRUE;
}

}  // namespace

void enumerateMonitors() {
    monitorRects.clear();
    if (monitorRects.capacity() < kReservedMonitors) {
        monitorRects.reserve(kReservedMonitors);
    }
    EnumDisplayMonitors(nullptr, nullptr, collectMonitor, 0);
    if (monitorRects.empty()) {
        RECT desktop{0, 0, 0, 0};
        GetWindowRect(GetDesktopWindow(), &desktop);
        monitorRects.push_back(desktop);
    }
}

void locateMonitor(TrackedWindow& record) {
    const LONG width = record.windowRect.right - record.windowRect.left;
    const LONG height = record.windowRect.bottom - record.windowRect.top;
    enumerateMonitors();
    const LONG cx = record.captureRect.left + width / 2;
    const LONG cy = record.captureRect.top + height / 2;
    const RECT* chosen = &monitorRects.front();
    for (const RECT& m : monitorRects) {
        if (m.left <= cx && cx <= m.right && m.top <= cy && cy <= m.bottom) {
            chosen = &m;
            break;
        }
    }
    record.monitorRect = *chosen;
}

void followPlacement(TrackedWindow& record, bool allowResize) {
    const bool read = GetWindowRect(record.target, &record.windowRect) != 0;
    const RECT& now = record.windowRect;
    const RECT& before = record.previousRect;
    // A failed read leaves windowRect as it was; its left is not compared.
    const bool unchanged =
        read ? sameRect(now, before)
             : (now.top == before.top && now.right == before.right && now.bottom == before.bottom);
    if (unchanged) {
        return;
    }
    record.captureRect = record.windowRect;
    locateMonitor(record);
    record.placement.length = sizeof(WINDOWPLACEMENT);
    if (GetWindowPlacement(record.target, &record.placement) &&
        record.placement.showCmd == SW_SHOWMAXIMIZED) {
        record.captureRect.left = record.monitorRect.left;
        record.captureRect.right = record.monitorRect.right;
    }
    record.engine.followTarget();
    const bool resized = now.right - now.left != before.right - before.left ||
                         now.bottom - now.top != before.bottom - before.top;
    if (allowResize && resized) {
        record.engine.resizeFrame();
    }
    record.previousRect = record.windowRect;
}

}  // namespace kestra
