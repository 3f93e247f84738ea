// Still pacing: a tracked window whose engine saw nothing change is cycled
// less often. Its tick skips its work (placement, capture, comparison)
// between cycles, so a still desktop costs a few captures a second per
// window instead of one every turn. A window is
//   flowing   for a frame interval after a change, and while its last cycle
//             saw one: it cycles on every tick, as the scheduler gives them,
//             so frames that keep changing are taken back to back;
//   settling  for kStillAfterMs after its last change: at most once a frame
//             interval (frameIntervalMs);
//   resting   afterwards: at most once every kRestCycleIntervalMs.
// Glass whose backdrop is live or recomposed, or which follows a moving
// target, cycles on every tick. Timed work of the engine (colour learning,
// the idle backdrop's poll) makes a cycle due whatever the state.
//
// The numbers follow from the bounds a change must meet. A change to a
// flowing window is captured at its next tick and presented in that tick. A
// change to a settling window is captured within a frame interval, plus how
// late the main loop's wait ends, and presented in that tick: two frame
// intervals at most. A change to a resting window is first captured within
// kRestCycleIntervalMs plus that lateness. On Windows a timed wait ends on a
// tick of the system timer (15.6 ms unless some process asked for a finer
// one), so 32 ms + 15.6 ms stays within the 50 ms a first capture after a
// still period may take; that capture presents the change in its tick.
#pragma once

#include <cstdint>

#include "tracking/tracked_window.h"

namespace kestra {

// No change for this long and a window rests.
inline constexpr std::int32_t kStillAfterMs = 1000;
// A resting window cycles at most this often (two 60 Hz frame intervals).
inline constexpr std::int32_t kRestCycleIntervalMs = 32;
// The frame interval of a 60 Hz display, the default.
inline constexpr std::int32_t kDefaultFrameIntervalMs = 16;

// The frame interval the main loop paces with, from the refresh rate of the
// front target's monitor (host/pacing.h sets it).
extern std::int32_t frameIntervalMs;

// Whether the record's engine needs a cycle on every tick: glass whose
// backdrop is live or recomposed, or which follows a moving target.
bool cyclesEveryTurn(const TrackedWindow& record);

// Whether the record rests: no change for kStillAfterMs and no cycle needed
// on every tick.
bool resting(const TrackedWindow& record);

// Whether a tick of the record does its work now.
bool cycleDue(const TrackedWindow& record);

// Milliseconds until the record's next cycle is due: 0 when it is due now
// or needed on every tick, at most `limit`.
std::int64_t msUntilWork(const TrackedWindow& record, std::int64_t limit);

}  // namespace kestra
