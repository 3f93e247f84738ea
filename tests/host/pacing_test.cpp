// Pacing of the main loop on the simulated desktop, through the real entry
// and channel: the loop waits for messages when a round of ticks saw no
// change, still windows are cycled less often, and yet changes reach the
// overlay within their bounds, commands are answered at once and every timed
// work keeps its period. Virtual time is deterministic, so the latency bounds
// are tested here as exact figures.
#include "host/pacing.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "helper_run.h"
#include "host/helper_main.h"
#include "host/tick_scheduler.h"
#include "platform/sim/desktop.h"
#include "tracking/still_pacing.h"

namespace kestra {
namespace {

using testing::HelperRun;

// A light colour whose red channel carries a step number (0 to 49), so that
// the overlay's inverted pixel tells which step it shows.
sim::Colour stepColour(int step) {
    return sim::bgra(static_cast<std::uint8_t>(200 + step), 240, 240);
}

class Pacing : public HelperRun {
  protected:
    // Every peek of the helper, i.e. every turn of its main loop.
    std::vector<std::int64_t> peeks;
    // The step the overlay showed at each peek (-1: not a step's colour).
    std::vector<int> shown;
    HWND watched = nullptr;
    POINT probe{0, 0};

    void SetUp() override {
        HelperRun::SetUp();
        desk.setPeekHook([this] {
            peeks.push_back(desk.now());
            if (watched != nullptr) {
                const int red = sim::redOf(desk.pixelAt(probe.x, probe.y));
                const int step = 255 - red - 200;
                shown.push_back(step >= 0 && step < 50 ? step : -1);
            }
        });
    }
    void TearDown() override {
        desk.setPeekHook(nullptr);
        HelperRun::TearDown();
    }

    int peeksBetween(std::int64_t from, std::int64_t to) const {
        return static_cast<int>(
            std::count_if(peeks.begin(), peeks.end(), [&](std::int64_t t) { return from <= t && t < to; }));
    }

    // The first peek at or after `from` at which the overlay shows step
    // `step` or a later one; -1 when none.
    std::int64_t shownAt(int step, std::int64_t from) const {
        for (std::size_t i = 0; i < peeks.size() && i < shown.size(); ++i) {
            if (peeks[i] >= from && shown[i] >= step) {
                return peeks[i];
            }
        }
        return -1;
    }

    HWND stepTarget(RECT rect = {100, 100, 260, 220}) {
        HWND target = apps.createWindow(testing::windowOptions(rect, "typing"));
        desk.window(target).setContent(sim::Content::solid(stepColour(0)));
        targets.push_back(target);
        watched = target;
        probe = POINT{(rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2};
        return target;
    }

    void setStep(HWND target, int step) {
        desk.window(target).setContent(sim::Content::solid(stepColour(step)));
    }
};

std::vector<sim::CallEntry> waitsIn(const std::vector<sim::CallEntry>& log) {
    std::vector<sim::CallEntry> waits;
    for (const sim::CallEntry& e : log) {
        if (e.function == "MsgWaitForMultipleObjectsEx") {
            waits.push_back(e);
        }
    }
    return waits;
}

TEST_F(Pacing, StillWindowWaitsBetweenRoundsAndTheTurnRateDrops) {
    HWND target = stepTarget();
    std::vector<sim::CallEntry> log;
    int capturesAtRest = 0;
    desk.at(100, [&] { request(1, formatHandle(target) + "|1"); });
    desk.at(3000, [&] { desk.callLog().enable(); });
    desk.at(5000, [&] {
        log = desk.callLog().entries();
        desk.callLog().disable();
        capturesAtRest = static_cast<int>(desk.callLog().named("MagSetWindowSource").size());
        desk.window(target).destroy();
    });
    EXPECT_EQ(runHelper(), kExitNothingTracked);

    // Busy, the loop turned once a millisecond (the turn cost); resting, it
    // wakes about once a frame interval.
    const int turns = peeksBetween(3000, 5000);
    EXPECT_GT(turns, 2000 / 32);
    EXPECT_LT(turns, 2 * 2000 / kDefaultFrameIntervalMs);
    std::vector<sim::CallEntry> waits = waitsIn(log);
    ASSERT_FALSE(waits.empty());
    // The last one ended when the script's step at 5000 ms came.
    EXPECT_EQ(waits.back().result, static_cast<std::int64_t>(WAIT_OBJECT_0));
    waits.pop_back();
    for (const sim::CallEntry& wait : waits) {
        EXPECT_GT(wait.code, 0);
        EXPECT_LE(wait.code, kDefaultFrameIntervalMs);
        EXPECT_EQ(wait.result, static_cast<std::int64_t>(WAIT_TIMEOUT));
    }
    // The window's capture runs once every rest interval: at least every
    // 50 ms, at most every 32 ms.
    EXPECT_GE(capturesAtRest, 2000 / 50);
    EXPECT_LE(capturesAtRest, 2000 / kRestCycleIntervalMs + 1);
}

TEST_F(Pacing, FirstChangeAfterStillnessAndTypingAreOnScreenWithinTheirBounds) {
    HWND target = stepTarget();
    desk.at(100, [&] { request(1, formatHandle(target) + "|1"); });
    // After 5 s of stillness, a change every 100 ms (typing), 30 of them.
    constexpr std::int64_t kFirst = 5200;
    constexpr int kSteps = 30;
    for (int step = 1; step <= kSteps; ++step) {
        desk.at(kFirst + 100 * (step - 1), [this, target, step] { setStep(target, step); });
    }
    desk.at(kFirst + 100 * kSteps + 200, [&] { desk.window(target).destroy(); });
    EXPECT_EQ(runHelper(), kExitNothingTracked);

    ASSERT_GE(shownAt(0, 1000), 1000) << "the overlay shows the start colour";
    ASSERT_LE(shownAt(0, 1000), 1000 + 2 * kDefaultFrameIntervalMs);
    // The first change after a still period: first capture within 50 ms,
    // presented within two frame intervals of it.
    const std::int64_t first = shownAt(1, kFirst) - kFirst;
    EXPECT_GE(first, 0);
    EXPECT_LE(first, 50 + 2 * kDefaultFrameIntervalMs);
    EXPECT_LE(first, kRestCycleIntervalMs + 1) << "a rest cycle plus the turn that shows it";
    // Later changes come while the window settles: within two frame
    // intervals each.
    for (int step = 2; step <= kSteps; ++step) {
        const std::int64_t at = kFirst + 100 * (step - 1);
        const std::int64_t latency = shownAt(step, at) - at;
        EXPECT_GE(latency, 0) << "step " << step;
        EXPECT_LE(latency, 2 * kDefaultFrameIntervalMs) << "step " << step;
    }
}

TEST_F(Pacing, ChangesWhileFramesFlowAreOnScreenWithinTwoFrameIntervals) {
    HWND target = stepTarget();
    desk.at(100, [&] { request(1, formatHandle(target) + "|1"); });
    // A change every 3 ms for 120 ms: every cycle finds a new frame.
    constexpr std::int64_t kFirst = 3000;
    constexpr int kSteps = 40;
    for (int step = 1; step <= kSteps; ++step) {
        desk.at(kFirst + 3 * (step - 1), [this, target, step] { setStep(target, step); });
    }
    desk.at(kFirst + 1000, [&] { desk.window(target).destroy(); });
    EXPECT_EQ(runHelper(), kExitNothingTracked);
    // The first change found the window resting; from its capture on, the
    // frames flow.
    const std::int64_t flowing = shownAt(1, kFirst);
    ASSERT_GE(flowing, kFirst);
    ASSERT_LE(flowing, kFirst + 50);
    for (int step = 2; step <= kSteps; ++step) {
        const std::int64_t at = kFirst + 3 * (step - 1);
        if (at <= flowing) {
            continue;
        }
        const std::int64_t latency = shownAt(step, at) - at;
        EXPECT_GE(latency, 0) << "step " << step;
        EXPECT_LE(latency, 2 * kDefaultFrameIntervalMs) << "step " << step;
        EXPECT_LE(latency, 2) << "step " << step << ": the next turn captures and presents";
    }
}

TEST_F(Pacing, CommandSentDuringAWaitIsAnsweredAtTheSameInstant) {
    HWND target = stepTarget();
    std::vector<std::string> frames;
    std::int64_t answeredAt = -1;
    desk.at(100, [&] { request(1, formatHandle(target) + "|1"); });
    desk.at(4007, [&] {
        frames = request(1, formatHandle(target) + "|1", 31);
        answeredAt = controller.received().back().atMs;
    });
    desk.at(4500, [&] { desk.window(target).destroy(); });
    desk.at(3900, [&] { desk.callLog().enable(); });
    EXPECT_EQ(runHelper(), kExitNothingTracked);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0], replyFrame(31));
    EXPECT_EQ(answeredAt, 4007);
    // The helper was waiting when the command came: a wait ended by it.
    const std::vector<sim::CallEntry> waits = waitsIn(desk.callLog().entries());
    EXPECT_TRUE(std::any_of(waits.begin(), waits.end(), [](const sim::CallEntry& e) {
        return e.result == static_cast<std::int64_t>(WAIT_OBJECT_0);
    }));
    EXPECT_GT(desk.waitStats().waits, desk.waitStats().timeouts);
}

TEST_F(Pacing, LivenessEndsTheHelperOnTimeWhileItRests) {
    HWND target = stepTarget();
    desk.at(100, [&] { request(1, formatHandle(target) + "|1"); });
    desk.at(3000, [&] { controller.close(); });
    EXPECT_EQ(runHelper(), kExitControllerGone);
    EXPECT_GT(desk.now(), 10000);
    EXPECT_LE(desk.now(), 10000 + 2);
    EXPECT_GT(desk.waitStats().timeouts, 100);
}

TEST_F(Pacing, NothingTrackedStillEndsAtTheFirstLivenessCheck) {
    EXPECT_EQ(runHelper(), kExitNothingTracked);
    EXPECT_GT(desk.now(), 10000);
    EXPECT_LE(desk.now(), 10200);
}

TEST_F(Pacing, TimedWorkKeepsItsPeriodAcrossWaits) {
    HWND dark = stepTarget();
    HWND glass = makeTarget({400, 100, 520, 200});
    std::vector<std::int32_t> learnings, frontChoices, backdropPolls;
    auto note = [](std::vector<std::int32_t>& list, std::int32_t stamp) {
        if (list.empty() || list.back() != stamp) {
            list.push_back(stamp);
        }
    };
    desk.at(100, [&] {
        request(1, formatHandle(dark) + "|1");
        request(2, formatHandle(glass) + ",10,0.9,0,0.5,1,1,1");
    });
    desk.setPeekHook([&] {
        peeks.push_back(desk.now());
        if (desk.now() < 2000 || findTracked(dark) < 0 || findTracked(glass) < 0) {
            return;
        }
        note(learnings, recordOf(dark).engine.lastColourLearning);
        note(frontChoices, schedulerState.lastFrontCheck);
        if (recordOf(glass).engine.backdropIdle) {
            note(backdropPolls, recordOf(glass).engine.lastBackdropPoll);
        }
    });
    desk.at(12000, [&] {
        desk.window(dark).destroy();
        desk.window(glass).destroy();
    });
    EXPECT_EQ(runHelper(), kExitNothingTracked);
    auto expectPeriod = [](const std::vector<std::int32_t>& stamps, std::int32_t period, const char* what) {
        ASSERT_GE(stamps.size(), 3u) << what;
        for (std::size_t i = 2; i < stamps.size(); ++i) {
            EXPECT_GE(stamps[i] - stamps[i - 1], period) << what << " #" << i;
            EXPECT_LE(stamps[i] - stamps[i - 1], period + 3) << what << " #" << i;
        }
    };
    expectPeriod(learnings, kColourLearningPeriodMs, "colour learning");
    expectPeriod(frontChoices, 500, "front choice");
    expectPeriod(backdropPolls, kBackdropIdlePeriodMs, "backdrop poll");
    EXPECT_GT(desk.waitStats().waits, 100);
}

TEST_F(Pacing, NothingWaitsWhileGlassIsLiveOrFollowsADraggedWindow) {
    // Glass frames are costly to simulate: fewer, longer turns, and a small
    // monitor for the following mode's blur.
    desk.setTurnCost(4.0);
    desk.setMonitors({RECT{0, 0, 640, 480}});
    // A window of another application behind the target, whose content
    // changes every 20 ms from 3 s on: the glass backdrop turns live at its
    // next poll (within a second). The waits are watched for 200 ms of live
    // backdrop, then the changes stop.
    HWND behind = apps.createWindow(testing::windowOptions({250, 150, 550, 400}, "behind"));
    HWND target = makeTarget({300, 200, 460, 320});
    std::vector<sim::CallEntry> live, dragged;
    std::int64_t liveSince = -1;
    bool followed = false;
    desk.at(100, [&] { request(2, formatHandle(target) + ",10,0.9,0,0.5,1,1,1"); });
    std::function<void(int)> change = [&](int step) {
        if (liveSince < 0 && !recordOf(target).engine.backdropIdle) {
            liveSince = desk.now();
            desk.callLog().enable();
        }
        if (liveSince >= 0 && desk.now() - liveSince >= 200) {
            live = waitsIn(desk.callLog().entries());
            desk.callLog().clear();
            desk.callLog().disable();
            return;
        }
        const sim::Colour colour = step % 2 == 0 ? sim::bgra(250, 80, 80) : sim::bgra(80, 80, 250);
        desk.window(behind).setContent(sim::Content::solid(colour));
        if (step < 100) {
            desk.after(20, [&change, step] { change(step + 1); });
        }
    };
    desk.at(3000, [&] { change(0); });
    // A drag after the window rested again: a move every 10 ms for 200 ms.
    for (int step = 0; step < 20; ++step) {
        desk.at(7000 + 10 * step, [this, target] { desk.window(target).moveBy(3, 1); });
    }
    desk.at(7050, [&] {
        followed = recordOf(target).engine.monitorBackdropActive;
        desk.callLog().enable();
    });
    desk.at(7200, [&] {
        dragged = waitsIn(desk.callLog().entries());
        desk.callLog().disable();
    });
    desk.at(7220, [&] { desk.window(target).destroy(); });
    EXPECT_EQ(runHelper(), kExitNothingTracked);
    EXPECT_GE(liveSince, 3000) << "the backdrop turned live";
    EXPECT_LE(liveSince, 4100);
    EXPECT_TRUE(followed);
    EXPECT_TRUE(live.empty()) << live.size() << " waits while the glass backdrop was live";
    EXPECT_TRUE(dragged.empty()) << dragged.size() << " waits while glass followed the dragged window";
    EXPECT_GT(desk.waitStats().waits, 0) << "it did wait while everything was still";
}

TEST_F(Pacing, FrameIntervalFollowsTheFrontTargetsMonitor) {
    desk.setMonitors({RECT{0, 0, 1920, 1080}, RECT{1920, 0, 3840, 1080}});
    desk.setRefreshRate(1, 144);
    HWND target = stepTarget({2100, 100, 2260, 220});
    desk.at(100, [&] { request(1, formatHandle(target) + "|1"); });
    desk.at(2000, [&] { desk.callLog().enable(); });
    desk.at(3000, [&] {
        for (const sim::CallEntry& wait : waitsIn(desk.callLog().entries())) {
            EXPECT_LE(wait.code, 1000 / 144);
        }
        EXPECT_FALSE(waitsIn(desk.callLog().entries()).empty());
        desk.callLog().disable();
        desk.window(target).destroy();
    });
    EXPECT_EQ(runHelper(), kExitNothingTracked);
}

TEST_F(Pacing, RefreshRatesAreClampedAndUnknownOnesFallBackToSixtyHertz) {
    HWND window = apps.createWindow(testing::windowOptions({10, 10, 200, 200}, "rate"));
    EXPECT_EQ(refreshRateOf(window), 60);
    const std::vector<std::pair<DWORD, std::int32_t>> cases = {{144, 144}, {20, 30}, {500, 240}, {0, 60},
                                                               {1, 60},    {30, 30}, {240, 240}};
    for (const auto& [set, expected] : cases) {
        desk.setRefreshRate(0, set);
        EXPECT_EQ(refreshRateOf(window), expected) << set << " Hz";
    }
    EXPECT_EQ(frameIntervalFor(60), 16);
    EXPECT_EQ(frameIntervalFor(30), 33);
    EXPECT_EQ(frameIntervalFor(240), 4);
}

}  // namespace
}  // namespace kestra
