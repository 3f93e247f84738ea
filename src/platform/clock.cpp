#include "platform/clock.h"

#include <limits>

#include "platform/win32.h"

namespace kestra {
namespace {

struct ClockOrigin {
    LONGLONG start = 0;
    LONGLONG frequency = 1;
    bool set = false;
};

ClockOrigin& origin() {
    static ClockOrigin value;
    return value;
}

void takeOrigin(ClockOrigin& o) {
    LARGE_INTEGER f{};
    LARGE_INTEGER c{};
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&c);
    o.frequency = f.QuadPart > 0 ? f.QuadPart : 1;
    o.start = c.QuadPart;
    o.set = true;
}

}  // namespace

void resetClockOrigin() {
    takeOrigin(origin());
}

std::int32_t nowMs() {
    ClockOrigin& o = origin();
    if (!o.set) {
        takeOrigin(o);
    }
    LARGE_INTEGER c{};
    QueryPerformanceCounter(&c);
    const LONGLONG ticks = c.QuadPart - o.start;
    // Split the division so that ticks * 1000 cannot overflow on long runs.
    const LONGLONG ms = (ticks / o.frequency) * 1000 + ((ticks % o.frequency) * 1000) / o.frequency;
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(static_cast<ULONGLONG>(ms)));
}

std::int64_t elapsedSince(std::int32_t stamp) {
    return static_cast<std::int64_t>(static_cast<std::uint32_t>(nowMs()) - static_cast<std::uint32_t>(stamp));
}

std::int32_t dueStamp(std::int32_t period) {
    const std::int32_t now = nowMs();
    if (now >= 0 && now <= std::numeric_limits<std::int32_t>::max() - period) {
        return -period;
    }
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(now) - static_cast<std::uint32_t>(period) -
                                     1u);
}

}  // namespace kestra
