// The millisecond clock wraps to negative values after 2^31 ms (24.8 days) and
// back to zero after 2^32 ms. These scenarios run the engine with the
// simulated clock moved to those places: the periodic work (colour learning,
// darkness test) must be due at once after an attach or a glass start, keep
// its period across the wrap, and run after a long suspend.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

#include "cycle_scenario.h"

namespace kestra::testing {
namespace {

constexpr std::int64_t kHalfWrapMs = std::int64_t{1} << 31;
constexpr std::int64_t kFullWrapMs = std::int64_t{1} << 32;

constexpr sim::Colour kDarkPaper = sim::bgra(28, 30, 34);
constexpr sim::Colour kLightPaper = sim::bgra(245, 245, 242);

// Dark content with light text-like lines: the darkness test finds it dark.
sim::Content darkPage() {
    return sim::Content::painter([](sim::Image& img) {
        img.fill(kDarkPaper);
        for (int y = 30; y + 6 < img.height - 20; y += 24) {
            img.fillRect(RECT{40, y, img.width / 2, y + 6}, sim::bgra(200, 200, 200));
        }
    });
}

sim::Content lightPage() {
    return sim::Content::painter([](sim::Image& img) {
        img.fill(kLightPaper);
        for (int y = 30; y + 6 < img.height - 20; y += 24) {
            img.fillRect(RECT{40, y, img.width / 2, y + 6}, sim::bgra(20, 24, 30));
        }
    });
}

class ClockWrapScenario : public CycleScenario {
  protected:
    void SetUp() override {
        CycleScenario::SetUp();
        origin = desk->now() - nowMs();
    }

    // Moves the virtual clock to `processMs` milliseconds after the process
    // clock's origin (which may lie beyond the 32-bit range of nowMs()).
    void runToProcessTime(std::int64_t processMs) {
        ASSERT_GE(origin + processMs, desk->now());
        desk->runUntil(origin + processMs);
    }
    std::int64_t processTime() const { return desk->now() - origin; }

    // Ticks the record for `ms` of desktop time, 16 ms apart; returns how
    // often the colour learning ran.
    int tickFor(TrackedWindow& record, std::int64_t ms) {
        int learnings = 0;
        const std::int64_t end = desk->now() + ms;
        while (desk->now() < end) {
            const std::int32_t before = record.engine.lastColourLearning;
            tick(record);
            learnings += record.engine.lastColourLearning != before ? 1 : 0;
            desk->runFor(16);
        }
        return learnings;
    }

    std::int64_t origin = 0;
};

TEST_F(ClockWrapScenario, ElapsedTimeIsCountedAcrossBothWraps) {
    runToProcessTime(kHalfWrapMs - 100);
    const std::int32_t beforeHalf = nowMs();
    EXPECT_EQ(beforeHalf, std::numeric_limits<std::int32_t>::max() - 99);
    runToProcessTime(kHalfWrapMs + 200);
    EXPECT_LT(nowMs(), 0) << "the clock has wrapped to negative values";
    EXPECT_EQ(elapsedSince(beforeHalf), 300);

    runToProcessTime(kFullWrapMs - 50);
    const std::int32_t beforeFull = nowMs();
    EXPECT_EQ(beforeFull, -50);
    runToProcessTime(kFullWrapMs + 70);
    EXPECT_EQ(nowMs(), 70);
    EXPECT_EQ(elapsedSince(beforeFull), 120);
    EXPECT_EQ(elapsedSince(nowMs()), 0);
}

TEST_F(ClockWrapScenario, StampOlderThanHalfTheRangeStillCountsAsPast) {
    runToProcessTime(10'000);
    const std::int32_t stamp = nowMs();
    runToProcessTime(kHalfWrapMs + 20'000);
    EXPECT_EQ(elapsedSince(stamp), kHalfWrapMs + 10'000);
}

TEST_F(ClockWrapScenario, DueStampIsDueWhereverTheClockStands) {
    for (const std::int64_t at : {std::int64_t{6}, kHalfWrapMs - 2000, kHalfWrapMs - 1, kHalfWrapMs + 5,
                                  kFullWrapMs - 2600, kFullWrapMs - 1, kFullWrapMs, kFullWrapMs + 1}) {
        runToProcessTime(at);
        for (const std::int32_t period : {500, 2000, 2500, 10'000}) {
            const std::int32_t stamp = dueStamp(period);
            if (nowMs() == 0) {
                // At the clock's zero -period is kept, as at process start.
                EXPECT_EQ(elapsedSince(stamp), period) << "period " << period << " at " << at;
            } else {
                EXPECT_GT(elapsedSince(stamp), period) << "period " << period << " at " << at;
            }
        }
    }
}

TEST_F(ClockWrapScenario, DueStampIsMinusThePeriodEarlyInTheProcess) {
    // The familiar "minus the period" stamps, as long as they are behind the
    // clock by more than the period.
    EXPECT_EQ(dueStamp(2000), -2000);
    EXPECT_EQ(dueStamp(2500), -2500);
    runToProcessTime(kHalfWrapMs - 3000);
    EXPECT_EQ(dueStamp(2500), -2500);
}

// The clock positions of the attach: early, just before the wrap to negative
// values (the first periods cross it), after it, and just before the wrap
// back to zero.
class ClockPositions : public ClockWrapScenario, public ::testing::WithParamInterface<std::int64_t> {};

std::string positionName(const ::testing::TestParamInfo<std::int64_t>& info) {
    switch (info.index) {
        case 0:
            return "Early";
        case 1:
            return "BeforeNegative";
        case 2:
            return "Negative";
        default:
            return "BeforeZero";
    }
}

INSTANTIATE_TEST_SUITE_P(Clock, ClockPositions,
                         ::testing::Values(std::int64_t{10'000}, kHalfWrapMs - 1500, kHalfWrapMs + 10'000,
                                           kFullWrapMs - 1000),
                         positionName);

TEST_P(ClockPositions, DarkTargetAttachedThereIsHiddenAtTheFirstCycle) {
    runToProcessTime(GetParam());
    const HWND target = createWindow(RECT{100, 100, 500, 400}, darkPage());
    desk->runFor(20);
    TrackedWindow& record = trackDark(target);

    tick(record);
    EXPECT_EQ(record.engine.lastColourLearning, nowMs()) << "the learning is due at once";
    EXPECT_EQ(record.engine.lastDarknessTest, nowMs()) << "the darkness test is due at once";
    EXPECT_TRUE(record.engine.overlayHiddenDark);
    EXPECT_FALSE(desk->window(record.engine.overlay.layerWindow).visible());
}

TEST_P(ClockPositions, LearningKeepsItsPeriodAcrossTheWrap) {
    runToProcessTime(GetParam());
    const HWND target = createWindow(RECT{100, 100, 500, 400}, lightPage());
    desk->runFor(20);
    TrackedWindow& record = trackDark(target);
    // At 0, about 2500 and about 5000 ms: three learnings in 6 s.
    EXPECT_EQ(tickFor(record, 6000), 3) << "from process time " << GetParam() << " to " << processTime();
    EXPECT_FALSE(record.engine.overlayHiddenDark);
}

TEST_P(ClockPositions, GlassStartedThereTestsDarknessAtTheFirstCycle) {
    runToProcessTime(GetParam());
    const HWND target = createWindow(RECT{100, 100, 500, 400}, darkPage());
    desk->runFor(20);
    TrackedWindow& record = trackGlass(target);
    ASSERT_TRUE(record.engine.glassEnabled);

    record.engine.glassCycle();
    EXPECT_EQ(record.engine.lastDarknessTest, nowMs());
    EXPECT_TRUE(record.engine.glassContentDark);
}

TEST_P(ClockPositions, ContentOpacityChangeReArmsTheDarknessTest) {
    runToProcessTime(GetParam());
    const HWND target = createWindow(RECT{100, 100, 500, 400}, darkPage());
    desk->runFor(20);
    TrackedWindow& record = trackGlass(target);
    record.engine.glassCycle();
    ASSERT_TRUE(record.engine.glassContentDark);

    // The target turns light; the change of setting makes the next cycle
    // test again instead of waiting 2000 ms.
    desk->window(target).setContent(lightPage());
    desk->runFor(100);
    record.engine.setContentOpacity(-1.0);
    record.engine.glassCycle();
    EXPECT_EQ(record.engine.lastDarknessTest, nowMs());
    EXPECT_FALSE(record.engine.glassContentDark);
}

TEST_F(ClockWrapScenario, DarknessIsTestedAtOnceAfterASuspendLongerThanHalfTheRange) {
    runToProcessTime(10'000);
    const HWND target = createWindow(RECT{100, 100, 500, 400}, lightPage());
    desk->runFor(20);
    TrackedWindow& record = trackDark(target);
    tickFor(record, 200);
    ASSERT_FALSE(record.engine.overlayHiddenDark);

    // Minimised for 25 days; meanwhile the window turned dark.
    desk->window(target).minimise();
    tickFor(record, 50);
    ASSERT_FALSE(record.engine.engineAttached);
    desk->window(target).setContent(darkPage());
    runToProcessTime(kHalfWrapMs + 20'000);
    desk->window(target).restore();
    tickFor(record, 50);
    ASSERT_TRUE(record.engine.engineAttached);
    EXPECT_TRUE(record.engine.overlayHiddenDark) << "the stale test stamp must count as long past";
}

}  // namespace
}  // namespace kestra::testing
