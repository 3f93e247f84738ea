// The tick scheduler on the simulated desktop, with an observing tick in place
// of the real one so that the visit order can be read turn by turn.
#include "host/tick_scheduler.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "helper_run.h"
#include "host/helper_main.h"
#include "platform/clock.h"
#include "platform/sim/desktop.h"
#include "tracking/tracked_window.h"

namespace kestra {
namespace {

std::vector<HWND> tickedWindows;

void observeTick(TrackedWindow& record) {
    tickedWindows.push_back(record.target);
}

class TickScheduler : public ::testing::Test {
  protected:
    sim::Desktop desk;

    void SetUp() override {
        resetProcessState();
        schedulerTick = observeTick;
        tickedWindows.clear();
    }
    void TearDown() override { resetProcessState(); }

    // A visible window of another application, tracked (appended to activeList).
    HWND trackWindow(const std::string& name, RECT rect = {10, 10, 110, 90}) {
        HWND window = desk.app("apps").createWindow(testing::windowOptions(rect, name, false));
        addTracked(window);
        return window;
    }

    TrackedWindow& recordOf(HWND window) {
        return trackedWindows[static_cast<std::size_t>(findTracked(window))];
    }

    std::vector<HWND> activeHandles() const {
        std::vector<HWND> handles;
        for (int index : activeList) {
            handles.push_back(trackedWindows[static_cast<std::size_t>(index)].target);
        }
        return handles;
    }

    // The windows ticked in each of `turns` scheduler steps.
    std::vector<std::vector<HWND>> runTurns(int turns) {
        std::vector<std::vector<HWND>> perTurn;
        for (int turn = 0; turn < turns; ++turn) {
            tickedWindows.clear();
            EXPECT_TRUE(schedulerStep()) << "turn " << turn + 1;
            perTurn.push_back(tickedWindows);
        }
        return perTurn;
    }
};

using Turns = std::vector<std::vector<HWND>>;

TEST_F(TickScheduler, EmptyListSleepsOneHundredMillisecondsPerStep) {
    desk.callLog().enable();
    const std::int64_t before = desk.now();
    EXPECT_TRUE(schedulerStep());
    EXPECT_TRUE(schedulerStep());
    EXPECT_EQ(desk.now() - before, 200);
    const std::vector<sim::CallEntry> sleeps = desk.callLog().named("Sleep");
    ASSERT_EQ(sleeps.size(), 2u);
    EXPECT_EQ(sleeps[0].code, 100);
    EXPECT_TRUE(tickedWindows.empty());
}

TEST_F(TickScheduler, SingleWindowIsTickedEveryTurnWithoutFrontChoice) {
    HWND only = trackWindow("only");
    const Turns turns = runTurns(5);
    for (const auto& ticked : turns) {
        EXPECT_EQ(ticked, std::vector<HWND>{only});
    }
    EXPECT_EQ(schedulerState.lastFrontCheck, -500);
    EXPECT_EQ(schedulerState.turnCounter, 0);
}

TEST_F(TickScheduler, ThreeWindowsShareTheTurnsRoundRobin) {
    HWND p = trackWindow("P");
    HWND q = trackWindow("Q");
    HWND r = trackWindow("R");
    const Turns expected = {{p}, {p, q}, {p}, {p, r}, {p}, {p, q}, {p}, {p, r}};
    EXPECT_EQ(runTurns(8), expected);
    EXPECT_EQ(schedulerState.periodFactor, 2);
}

TEST_F(TickScheduler, CursorOverTrackedWindowMovesItToTheFront) {
    HWND p = trackWindow("P", {0, 0, 100, 100});
    HWND q = trackWindow("Q", {200, 0, 300, 100});
    HWND r = trackWindow("R", {400, 0, 500, 100});
    TrackedWindow& rRecord = recordOf(r);
    rRecord.live = true;
    rRecord.windowRect = {400, 0, 500, 100};
    // On the bottom-right corner: containment includes every edge.
    desk.setCursor(500, 100);

    EXPECT_TRUE(schedulerStep());
    EXPECT_EQ(activeHandles(), (std::vector<HWND>{r, q, p}));
    // The front of this turn was chosen after P's tick.
    EXPECT_EQ(tickedWindows, std::vector<HWND>{p});
    tickedWindows.clear();
    EXPECT_TRUE(schedulerStep());
    EXPECT_EQ(tickedWindows, (std::vector<HWND>{r, q}));
}

TEST_F(TickScheduler, CursorCandidateMustBeLiveVisibleAndHoldTheCursor) {
    HWND p = trackWindow("P", {0, 0, 100, 100});
    HWND q = trackWindow("Q", {200, 0, 300, 100});
    HWND r = trackWindow("R", {400, 0, 500, 100});
    // R holds the cursor but is not live; Q is live but hidden.
    recordOf(r).windowRect = {400, 0, 500, 100};
    TrackedWindow& qRecord = recordOf(q);
    qRecord.live = true;
    qRecord.windowRect = {400, 0, 500, 100};
    desk.window(q).hide();
    desk.setCursor(450, 50);

    EXPECT_TRUE(schedulerStep());
    EXPECT_EQ(activeHandles(), (std::vector<HWND>{p, q, r}));
    // The cursor just outside a live window's rectangle does not count either.
    recordOf(r).live = true;
    desk.setCursor(501, 50);
    desk.runFor(500);
    EXPECT_TRUE(schedulerStep());
    EXPECT_EQ(activeHandles(), (std::vector<HWND>{p, q, r}));
}

TEST_F(TickScheduler, FrontChoiceRunsAtMostEveryHalfSecond) {
    HWND p = trackWindow("P", {0, 0, 100, 100});
    HWND q = trackWindow("Q", {200, 0, 300, 100});
    desk.setCursor(600, 600);
    EXPECT_TRUE(schedulerStep());
    const std::int32_t firstCheck = schedulerState.lastFrontCheck;
    EXPECT_NE(firstCheck, -500);

    TrackedWindow& qRecord = recordOf(q);
    qRecord.live = true;
    qRecord.windowRect = {200, 0, 300, 100};
    desk.setCursor(250, 50);
    desk.runFor(400);
    EXPECT_TRUE(schedulerStep());
    EXPECT_EQ(activeHandles(), (std::vector<HWND>{p, q}));
    desk.runFor(100);
    EXPECT_TRUE(schedulerStep());
    EXPECT_EQ(activeHandles(), (std::vector<HWND>{q, p}));
    EXPECT_GE(schedulerState.lastFrontCheck - firstCheck, 500);
}

// The clock wraps to negative values after 2^31 ms: the front choice keeps its
// half-second period across the wrap.
TEST_F(TickScheduler, FrontChoiceKeepsItsPeriodAcrossTheClockWrap) {
    HWND p = trackWindow("P", {0, 0, 100, 100});
    HWND q = trackWindow("Q", {200, 0, 300, 100});
    desk.setCursor(600, 600);
    desk.runFor((std::int64_t{1} << 31) - 300 - nowMs());
    EXPECT_TRUE(schedulerStep());
    const std::int32_t firstCheck = schedulerState.lastFrontCheck;
    ASSERT_GT(firstCheck, 0);

    TrackedWindow& qRecord = recordOf(q);
    qRecord.live = true;
    qRecord.windowRect = {200, 0, 300, 100};
    desk.setCursor(250, 50);
    desk.runFor(600);
    ASSERT_LT(nowMs(), 0) << "the clock has wrapped";
    EXPECT_TRUE(schedulerStep());
    EXPECT_EQ(activeHandles(), (std::vector<HWND>{q, p}));
    EXPECT_GE(elapsedSince(firstCheck), 600);
}

// A front choice more than 2^31 ms ago (one window tracked for weeks) is long
// past, not in the future: a second window gets the next choice at once.
TEST_F(TickScheduler, FrontChoiceLongAgoIsDueAtOnce) {
    HWND p = trackWindow("P", {0, 0, 100, 100});
    HWND q = trackWindow("Q", {200, 0, 300, 100});
    desk.setCursor(600, 600);
    desk.runFor(10'000);
    EXPECT_TRUE(schedulerStep());
    ASSERT_GE(schedulerState.lastFrontCheck, 10'000);

    desk.runFor((std::int64_t{1} << 31) + 5000);
    TrackedWindow& qRecord = recordOf(q);
    qRecord.live = true;
    qRecord.windowRect = {200, 0, 300, 100};
    desk.setCursor(250, 50);
    EXPECT_TRUE(schedulerStep());
    EXPECT_EQ(activeHandles(), (std::vector<HWND>{q, p}));
    EXPECT_EQ(schedulerState.lastFrontCheck, nowMs());
}

TEST_F(TickScheduler, MaximisedFrontWindowStretchesThePeriodToTen) {
    HWND p = trackWindow("P");
    HWND q = trackWindow("Q");
    HWND r = trackWindow("R");
    recordOf(p).placement.showCmd = SW_SHOWMAXIMIZED;

    const Turns turns = runTurns(20);
    EXPECT_EQ(schedulerState.periodFactor, 10);
    for (int turn = 1; turn <= 20; ++turn) {
        std::vector<HWND> expected{p};
        if (turn == 10) {
            expected.push_back(q);
        } else if (turn == 20) {
            expected.push_back(r);
        }
        EXPECT_EQ(turns[static_cast<std::size_t>(turn - 1)], expected) << "turn " << turn;
    }

    // Restored: the next front choice brings the period back to 2.
    recordOf(p).placement.showCmd = SW_SHOWNORMAL;
    desk.runFor(500);
    runTurns(1);
    EXPECT_EQ(schedulerState.periodFactor, 2);
}

// The helper sees other applications' active windows only with a system-wide
// view of activation.
TEST(TickSchedulerActiveWindow, ActiveWindowBecomesTheFrontWhenTheCursorFindsNothing) {
    sim::DesktopOptions options;
    options.activeScope = sim::ActiveScope::System;
    sim::Desktop desk(options);
    resetProcessState();
    schedulerTick = observeTick;
    sim::App& apps = desk.app("apps");
    HWND a = apps.createWindow(testing::windowOptions({0, 0, 50, 50}, "w", false));
    HWND b = apps.createWindow(testing::windowOptions({60, 0, 110, 50}, "w", false));
    HWND c = apps.createWindow(testing::windowOptions({120, 0, 170, 50}, "w", false));
    addTracked(a);
    addTracked(b);
    addTracked(c);
    desk.setCursor(1900, 1000);
    desk.window(b).activate();

    EXPECT_TRUE(schedulerStep());
    std::vector<HWND> order;
    for (int index : activeList) {
        order.push_back(trackedWindows[static_cast<std::size_t>(index)].target);
    }
    EXPECT_EQ(order, (std::vector<HWND>{b, a, c}));

    // An active window that is not tracked leaves the front alone.
    HWND untracked = apps.createWindow(testing::windowOptions({300, 300, 350, 350}, "w"));
    desk.window(untracked).activate();
    desk.runFor(500);
    EXPECT_TRUE(schedulerStep());
    EXPECT_EQ(trackedWindows[static_cast<std::size_t>(activeList[0])].target, b);
    resetProcessState();
}

TEST_F(TickScheduler, DestroyedFrontWindowIsDroppedAndItsSuccessorTickedNextTurn) {
    HWND p = trackWindow("P");
    HWND q = trackWindow("Q");
    HWND r = trackWindow("R");
    desk.window(p).destroy();

    EXPECT_TRUE(schedulerStep());
    EXPECT_TRUE(tickedWindows.empty());
    EXPECT_EQ(activeHandles(), (std::vector<HWND>{q, r}));
    EXPECT_EQ(findTracked(p), -1);
    // P never held an overlay, so it was never counted.
    EXPECT_EQ(effectCount, 0);

    tickedWindows.clear();
    EXPECT_TRUE(schedulerStep());
    EXPECT_EQ(tickedWindows, (std::vector<HWND>{q, r}));
}

TEST_F(TickScheduler, DroppingTheLastWindowEndsTheScheduling) {
    HWND only = trackWindow("only");
    desk.window(only).destroy();
    EXPECT_FALSE(schedulerStep());
    EXPECT_TRUE(activeList.empty());
    EXPECT_EQ(findTracked(only), -1);
    EXPECT_TRUE(tickedWindows.empty());
}

TEST_F(TickScheduler, DestroyedWindowAtTheVisitPositionIsDroppedAndTheNextVisitedNextTurn) {
    HWND p = trackWindow("P");
    HWND q = trackWindow("Q");
    HWND r = trackWindow("R");
    HWND s = trackWindow("S");
    const Turns firstTwo = runTurns(2);
    EXPECT_EQ(firstTwo[1], (std::vector<HWND>{p, q}));
    desk.window(r).destroy();

    const Turns next = runTurns(3);
    EXPECT_EQ(next[0], std::vector<HWND>{p});
    EXPECT_EQ(next[1], std::vector<HWND>{p});  // R's visit: dropped instead
    EXPECT_EQ(activeHandles(), (std::vector<HWND>{p, q, s}));
    EXPECT_EQ(next[2], (std::vector<HWND>{p, s}));
}

TEST_F(TickScheduler, ListShortenedByCommandsRestartsTheVisits) {
    HWND p = trackWindow("P");
    HWND q = trackWindow("Q");
    HWND r = trackWindow("R");
    runTurns(2);  // Q visited; R is next
    untrack(findTracked(r));
    const Turns turns = runTurns(4);
    // Turn 4 finds the visit position past the end and starts a new cycle.
    EXPECT_EQ(turns[0], std::vector<HWND>{p});
    EXPECT_EQ(turns[1], std::vector<HWND>{p});
    EXPECT_EQ(turns[2], std::vector<HWND>{p});
    EXPECT_EQ(turns[3], (std::vector<HWND>{p, q}));
}

}  // namespace
}  // namespace kestra
