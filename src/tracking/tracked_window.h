// The tracked-window table: one TrackedWindow per target, the activeList of
// records that get ticks, the handles of every overlay window that captures
// must leave out, and the effect count. Records are self-referential (their
// engine points into them), so the table keeps every record at a stable
// address for its whole life.
#pragma once

#include <cstdint>
#include <deque>
#include <vector>

#include "engine/effect_engine.h"
#include "platform/win32.h"

namespace kestra {

struct TrackedWindow {
    HWND target = nullptr;
    EffectEngine engine;
    RECT captureRect{};
    RECT windowRect{};
    RECT previousRect{-1, -1, -1, -1};
    WINDOWPLACEMENT placement{};
    RECT monitorRect{};
    bool live = false;
    std::int32_t lastCycle = 0;  // clock time the tick last did its work (still pacing)

    TrackedWindow() = default;
    TrackedWindow(const TrackedWindow&) = delete;
    TrackedWindow& operator=(const TrackedWindow&) = delete;
};

// A deque never moves its elements when it grows at the end.
extern std::deque<TrackedWindow> trackedWindows;
extern std::vector<int> activeList;
extern std::vector<HWND> overlayExclusions;
extern int effectCount;

int initialiseTracking(HINSTANCE instance);
int findTracked(HWND handle);
int addTracked(HWND handle);
int attach(TrackedWindow& record);
int detach(TrackedWindow& record);
void tick(TrackedWindow& record);
void deactivate(int index);
void refreshExclusions();
int teardownEngine(int index);

// Placement and monitors.
extern std::vector<RECT> monitorRects;
void enumerateMonitors();
void followPlacement(TrackedWindow& record, bool allowResize);
void locateMonitor(TrackedWindow& record);

// Returns the table, the lists, the count and the monitor list to their
// start values (releasing every engine), as at process start.
void resetTrackingState();

}  // namespace kestra
