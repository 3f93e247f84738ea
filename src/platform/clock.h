// The process-wide millisecond clock: signed 32-bit milliseconds since process
// start, read from the performance counter. It wraps to negative values after
// about 24.8 days and back to zero after about 49.7 days, so timestamps are
// never compared by plain subtraction: elapsedSince computes the difference
// modulo 2^32, and dueStamp makes periodic work due at once wherever the clock
// stands.
#pragma once

#include <cstdint>

namespace kestra {

// Milliseconds since the clock's origin (process start, or the last reset).
std::int32_t nowMs();

// Makes the current performance-counter reading the origin of nowMs(). Called
// once at process start; tests call it to begin a fresh simulated process.
void resetClockOrigin();

// Milliseconds from `stamp` to now, 0 to 2^32 - 1. Timestamps are never ahead
// of the clock, so the difference taken modulo 2^32 is the time that really
// passed, across the wrap too. A stamp older than 2^32 ms reads as younger
// than it is, which delays its periodic work by at most one period.
std::int64_t elapsedSince(std::int32_t stamp);

// A timestamp that makes work of `period` ms due at once: elapsedSince of it
// exceeds the period. From the origin up to 2^31 - period ms that is -period
// itself (at the clock's zero it only reaches the period, so a test for
// "more than the period" falls due 1 ms later); elsewhere it is period + 1 ms
// before now.
std::int32_t dueStamp(std::int32_t period);

}  // namespace kestra
