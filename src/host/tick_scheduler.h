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

// Start values of the scheduler counters, and the real tick.
void resetSchedulerState();

}  // namespace kestra
