// Pacing of the main loop. The loop runs its turns back to back while frames
// change. When a round of the scheduler (every tracked window ticked since
// the round began) saw no change anywhere, the loop waits for messages
// instead of peeking again at once: MsgWaitForMultipleObjectsEx on no
// handles with QS_ALLINPUT and MWMO_INPUTAVAILABLE, for at most one frame
// interval and never past the next due work (the liveness check, the front
// choice, a window's next cycle or timed work). A message sent by the
// controller ends the wait at once; the next peek handles it, as before.
// The frame interval follows the refresh rate of the monitor the front
// target is on.
#pragma once

#include <cstdint>

#include "platform/win32.h"

namespace kestra {

// Refresh rates outside this range are taken as their nearest bound; a rate
// that cannot be read is taken as kFallbackRefreshRate.
inline constexpr std::int32_t kMinRefreshRate = 30;
inline constexpr std::int32_t kMaxRefreshRate = 240;
inline constexpr std::int32_t kFallbackRefreshRate = 60;
// How often the refresh rate of the front target's monitor is read again
// while the front target stays the same.
inline constexpr std::int32_t kRefreshRateReadPeriodMs = 2000;

struct PacingState {
    HWND rateWindow = nullptr;      // the front target the frame interval was read for
    std::int32_t lastRateRead = 0;  // clock time of that read
    std::uint32_t waits = 0;        // waits made since process start
};

extern PacingState pacingState;

// The refresh rate of the monitor the window is on, in Hz, clamped to
// [kMinRefreshRate, kMaxRefreshRate]; kFallbackRefreshRate when the platform
// does not tell (no monitor, no settings, or a rate of 0 or 1, which stand
// for the hardware's default).
std::int32_t refreshRateOf(HWND window);

// The frame interval in whole milliseconds for a refresh rate (60 Hz: 16).
std::int32_t frameIntervalFor(std::int32_t hertz);

// Brings frameIntervalMs in line with the front target's monitor, reading
// its refresh rate when the front target changed or kRefreshRateReadPeriodMs
// have passed.
void updateFrameInterval();

// Milliseconds until the main loop has due work, at most one frame interval.
// lastLivenessCheck is the loop's clock time of its last liveness check.
std::int64_t msUntilDueWork(std::int32_t lastLivenessCheck);

// Called after every turn: when the turn ended a quiet round, waits for
// messages until the next due work (at most one frame interval).
void paceAfterTurn(std::int32_t lastLivenessCheck);

void resetPacingState();

}  // namespace kestra
