// The tick scheduler: shares the main thread among the tracked windows. The
// window at the front of activeList is ticked every turn, the others one at a
// time in round-robin order every periodFactor turns, and about twice a second
// the tracked window under the cursor (or else the active window) is moved to
// the front. Windows that no longer exist are untracked here.
#pragma once

#include <cstdint>

#include "tracking/tracked_window.h"

namespace kestra {

// How often the window under the cursor (or the active one) is brought to the
// front of activeList.
inline constexpr std::int32_t kFrontCheckPeriodMs = 500;

struct SchedulerState {
    std::int32_t lastFrontCheck = -kFrontCheckPeriodMs;  // clock time of the last front choice
    std::int32_t periodFactor = 2;                       // turns between two visits of non-front windows
    std::int32_t turnCounter = 0;                        // turns since the current cycle of visits began
    std::int32_t visitPosition = 1;                      // activeList position of the next visit; never 0
    // A round ends with the turn that completes the visits of the windows
    // behind the front (the front window is ticked on every turn), or on every
    // turn when one window is tracked: every tracked window has then been
    // ticked since the round began. The main loop reads and clears roundEnded.
    bool roundEnded = false;
    bool roundQuiet = false;          // no engine saw a change during the round that ended
    std::uint32_t roundActivity = 0;  // engineActivity when the current round began
};

extern SchedulerState schedulerState;

// The operation a turn runs on a window it ticks. It is `tick` in the product;
// tests may put an observer here to see the visit order without running frame
// cycles.
using TickFunction = void (*)(TrackedWindow& record);
extern TickFunction schedulerTick;

// One turn of the main loop's scheduling. Returns false only when this turn
// itself untracked the last remaining window, so that activeList became empty.
bool schedulerStep();

// Milliseconds until the scheduler has timed work of its own: the next front
// choice while more than one window is tracked; at most `limit`.
std::int64_t msUntilFrontChoice(std::int64_t limit);

// Start values of the scheduler counters, and the real tick.
void resetSchedulerState();

}  // namespace kestra
