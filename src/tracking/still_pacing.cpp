#include "tracking/still_pacing.h"

#include <algorithm>

#include "platform/clock.h"

namespace kestra {

std::int32_t frameIntervalMs = kDefaultFrameIntervalMs;

namespace {

// Milliseconds until work of `period` ms counted from `stamp` falls due
// (elapsedSince(stamp) >= period); 0 when it is due.
std::int64_t untilDue(std::int32_t stamp, std::int32_t period) {
    return std::max<std::int64_t>(0, static_cast<std::int64_t>(period) - elapsedSince(stamp));
}

bool engineRuns(const TrackedWindow& record) {
    return record.live && record.engine.engineAttached;
}

// The earliest timed work of a running engine that only a cycle does: the
// colour learning, and the poll of an idle glass backdrop.
std::int64_t untilTimedWork(const TrackedWindow& record) {
    const EffectEngine& engine = record.engine;
    if (!engineRuns(record)) {
        return INT64_MAX;
    }
    std::int64_t until = untilDue(engine.lastColourLearning, kColourLearningPeriodMs);
    if (engine.glassEnabled && engine.backdropIdle) {
        until = std::min(until, untilDue(engine.lastBackdropPoll, kBackdropIdlePeriodMs));
    }
    return until;
}

// The last change came less than a frame interval ago, or the last cycle
// saw it (or it came after that cycle).
bool flowing(const TrackedWindow& record) {
    const std::int64_t sinceChange = elapsedSince(record.engine.lastActivity);
    return sinceChange < frameIntervalMs || sinceChange <= elapsedSince(record.lastCycle);
}

// Milliseconds between two cycles of a window that is not flowing.
std::int32_t cycleInterval(const TrackedWindow& record) {
    return resting(record) ? kRestCycleIntervalMs : frameIntervalMs;
}

}  // namespace

bool cyclesEveryTurn(const TrackedWindow& record) {
    const EffectEngine& engine = record.engine;
    return engineRuns(record) && engine.glassEnabled &&
           (engine.monitorBackdropActive || !engine.backdropIdle || engine.backdropRecomposed);
}

bool resting(const TrackedWindow& record) {
    return !cyclesEveryTurn(record) && elapsedSince(record.engine.lastActivity) >= kStillAfterMs;
}

bool cycleDue(const TrackedWindow& record) {
    return msUntilWork(record, 1) == 0;
}

std::int64_t msUntilWork(const TrackedWindow& record, std::int64_t limit) {
    if (cyclesEveryTurn(record) || flowing(record)) {
        return 0;
    }
    const std::int64_t next = untilDue(record.lastCycle, cycleInterval(record));
    return std::min({next, untilTimedWork(record), limit});
}

}  // namespace kestra
