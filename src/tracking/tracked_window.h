// The tracked-window table: one TrackedWindow per target, the activeList of
// records that get ticks, the handles of every overlay window that captures
// must leave out, and the effect count. Records are self-referential (their
// engine points into them), so the table keeps every record at a stable
// address for its whole life.
//
// A record's life, in the words the code uses:
//
//   attach   Commands 1 and 2 find or add the record (addTracked puts it in
//            activeList) and attach its engine: a new overlay, the main
//            capture and the frame buffers. The command that attaches counts
//            effectCount up by one; attach discounts a kept overlay it
//            replaces, so that it is not counted twice.
//   suspend  A tick that finds the target hidden or minimised suspends the
//            engine: captures and buffers go, the overlay stays, hidden.
//            record.live is cleared; effectCount does not change.
//   resume   The first tick that finds the target showable again attaches
//            the engine to its kept overlay (and restarts glass when it is
//            on); record.live is set. effectCount does not change.
//   release  releaseTracked: both effects are off, so the engine gives back
//            its overlay, captures and buffers and effectCount is counted
//            down, but the record stays tracked and in activeList.
//   untrack  untrack: command 11, or both effects off after a release, ends
//            the record: untrackRecord releases whatever engine it still
//            holds and frees the slot (target null, for addTracked to reuse),
//            and the index leaves activeList. The scheduler untracks a target
//            that no longer exists the same way and counts it down.
//
// effectCount is a bound, not an exact count: it is never below the number
// of engines holding an overlay, but may be above it, because untracking by
// command releases an engine without counting it down. It only decides
// whether refreshExclusions has overlays to pass on, so a count too high
// costs a needless refresh, while one too low would leave an overlay in other
// targets' captures; therefore nothing counts down an engine that was never
// counted (one whose attach failed).
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
    // Clock time the tick last looked whether the target is in front (to
    // raise its overlay); once a follow period.
    std::int32_t lastFrontCheck = -kFollowPeriodMs;

    TrackedWindow() = default;
    TrackedWindow(const TrackedWindow&) = delete;
    TrackedWindow& operator=(const TrackedWindow&) = delete;
};

// A deque never moves its elements when it grows at the end.
extern std::deque<TrackedWindow> trackedWindows;
extern std::vector<int> activeList;
extern std::vector<HWND> overlayExclusions;
extern int effectCount;

void initialiseTracking(HINSTANCE instance);
int findTracked(HWND handle);
int addTracked(HWND handle);
int attach(TrackedWindow& record);
void untrackRecord(TrackedWindow& record);
void tick(TrackedWindow& record);
void untrack(int index);
void refreshExclusions();
void releaseTracked(int index);

// Placement and monitors.
extern std::vector<RECT> monitorRects;
void enumerateMonitors();
void followPlacement(TrackedWindow& record, bool allowResize);
void locateMonitor(TrackedWindow& record);

// Returns the table, the lists, the count and the monitor list to their
// start values (releasing every engine), as at process start.
void resetTrackingState();

}  // namespace kestra
