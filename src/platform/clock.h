// The process-wide millisecond clock: signed 32-bit milliseconds since process
// start, read from the performance counter. Timestamps are compared by
// subtraction, so wrap-around after 24 days is harmless.
#pragma once

#include <cstdint>

namespace kestra {

// Milliseconds since the clock's origin (process start, or the last reset).
std::int32_t nowMs();

// Makes the current performance-counter reading the origin of nowMs(). Called
// once at process start; tests call it to begin a fresh simulated process.
void resetClockOrigin();

}  // namespace kestra
