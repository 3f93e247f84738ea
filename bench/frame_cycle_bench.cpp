// Whole frame cycles of a full-screen target (1920 x 1080 and 3840 x 2160, on
// 1 and 2 threads) on the simulated desktop. The
// simulated Magnifier composes the desktop on every capture, which is not what
// the cycle costs, so each iteration splits capture from processing at the
// moment the captured image arrives: the reported time is the processing,
// the counters give the capture time and a memcpy of one frame beside it, on
// the wall clock and in process CPU time (all threads; robust when other
// processes share the machine). The virtual clock stands still, so the
// periodic work (colour learning, darkness test, idle polls) does not fall
// due inside the timed loop.
#include <benchmark/benchmark.h>
#include <omp.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <memory>
#include <random>
#include <vector>

#include "analysis/frame_analyzer.h"
#include "engine/effect_engine.h"
#include "platform/clock.h"
#include "platform/sim/desktop.h"
#include "platform/win32.h"
#include "support/tracking_process.h"
#include "surfaces/overlay_layer.h"
#include "tracking/tracked_window.h"

namespace kestra::bench {
namespace {

constexpr sim::Colour kPaper = sim::bgra(246, 246, 244);
constexpr sim::Colour kInk = sim::bgra(20, 22, 28);

using Clock = std::chrono::steady_clock;

// A document: text lines on a light page and a photo-like picture, laid out
// for 1920 x 1080 and stretched to the size, scrolled down by `scroll` rows.
sim::Image documentImage(int variant, int width, int height, int scroll = 0) {
    sim::Image img(width, height, kPaper);
    const auto across = [width](int x) { return x * width / 1920; };
    const auto down = [height](int y) { return y * height / 1080; };
    for (int y = 60 - scroll % 28; y < height - 60; y += 28) {
        for (int x = 80; x < across(1100); x += 70) {
            img.fillRect(RECT{x, y, x + 52, y + 12}, kInk);
        }
    }
    std::mt19937 rng(11);
    for (int y = down(200) - scroll; y < down(700) - scroll; ++y) {
        for (int x = across(1200); x < across(1800); ++x) {
            img.setPixel(
                x, y,
                sim::bgra(static_cast<std::uint8_t>(rng() % 200), static_cast<std::uint8_t>(rng() % 200),
                          static_cast<std::uint8_t>(rng() % 200)));
        }
    }
    // The variants differ in one line of text near the bottom, as when typing.
    img.fillRect(RECT{80, height - 80, 80 + 40 * (variant + 1), height - 68}, kInk);
    return img;
}

sim::Content wallpaper() {
    return sim::Content::painter([](sim::Image& img) {
        for (int y = 0; y < img.height; ++y) {
            for (int x = 0; x < img.width; ++x) {
                img.setPixel(
                    x, y, sim::bgra(static_cast<std::uint8_t>(x / 8), static_cast<std::uint8_t>(y / 5), 150));
            }
        }
    });
}

// One desktop with one tracked full-screen target, set up as the commands
// would, and the two document variants to alternate between.
struct CycleBench {
    std::unique_ptr<sim::Desktop> desk;
    TrackedWindow* record = nullptr;
    HWND target = nullptr;
    sim::Content variants[2];
    int shown = 0;
    int savedThreads = omp_get_max_threads();

    // state's arguments: {width, height, threads}. The second variant is the
    // first with one more word typed, or scrolled by half a text line.
    CycleBench(bool glass, const benchmark::State& state, bool scrolled = false) {
        const auto width = static_cast<int>(state.range(0));
        const auto height = static_cast<int>(state.range(1));
        omp_set_num_threads(static_cast<int>(state.range(2)));
        variants[0] = sim::Content::image(documentImage(0, width, height));
        variants[1] = sim::Content::image(scrolled ? documentImage(0, width, height, 14)
                                                   : documentImage(1, width, height));
        sim::DesktopOptions options;
        options.width = width;
        options.height = height;
        options.wallpaper = wallpaper();
        desk = std::make_unique<sim::Desktop>(options);
        testing::startTrackingProcess();
        desk->runFor(5);

        sim::WindowOptions window;
        window.rect = RECT{0, 0, width, height};
        window.content = variants[0];
        target = desk->app("document").createWindow(window);
        record = &trackedWindows[static_cast<std::size_t>(addTracked(target))];
        attach(*record);
        ++effectCount;
        record->engine.darkEnabled = true;
        record->engine.lastDarknessTest = -kDarknessTestPeriodMs;
        if (glass) {
            static_cast<void>(record->engine.startGlass());
        }
        // The first cycle learns colours and takes the darkness test.
        tick(*record);
    }

    ~CycleBench() {
        omp_set_num_threads(savedThreads);
        resetTrackingState();
        resetSurfacesState();
        resetAnalysisState();
    }

    void changeFrame() {
        shown ^= 1;
        desk->window(target).setContent(variants[shown]);
    }

    EffectEngine& engine() { return record->engine; }
};

// A point in time on two clocks: the wall clock, and the CPU time of the
// whole process (all threads), which contention with other processes on the
// machine does not inflate.
struct Stamp {
    double wall = 0;
    double cpu = 0;
};

Stamp stampNow() {
    return Stamp{std::chrono::duration<double>(Clock::now().time_since_epoch()).count(),
                 static_cast<double>(std::clock()) / CLOCKS_PER_SEC};
}

// When each capture's image arrived: the scaling callback runs at the end of
// MagSetWindowSource, after the simulated desktop has composed the image.
struct Arrivals {
    HWND mainMagnifier = nullptr;
    Stamp main{};
    Stamp backdrop{};
    bool backdropArrived = false;
};
Arrivals arrivals;

BOOL CALLBACK timingCallback(HWND hwnd, void* srcdata, MAGIMAGEHEADER srcheader, void* destdata,
                             MAGIMAGEHEADER destheader, RECT unclipped, RECT clipped, HRGN dirty) {
    if (hwnd == arrivals.mainMagnifier) {
        arrivals.main = stampNow();
    } else {
        arrivals.backdrop = stampNow();
        arrivals.backdropArrived = true;
    }
    return imageScalingCallback(hwnd, srcdata, srcheader, destdata, destheader, unclipped, clipped, dirty);
}

void installTimingCallbacks(EffectEngine& engine) {
    arrivals = Arrivals{};
    arrivals.mainMagnifier = engine.mainCapture.magnifierWindow;
    for (MagnifierCapture* capture : {&engine.mainCapture, &engine.backdropCapture}) {
        if (capture->magnifierWindow != nullptr) {
            MagSetImageScalingCallback(capture->magnifierWindow, timingCallback);
        }
    }
}

enum class Backdrop { Live, Idle, Following };

// Runs cycles and splits each into capture and processing, on both clocks.
// The main capture is first taken on its own, so its cost is known; in the
// cycle, everything after the main image arrived is processing, and so is the
// backdrop work before it: the time up to the main image less the backdrop
// capture (cycle start to the backdrop image) and the main capture's own
// time. Without backdrop work the main capture starts the cycle, and the time
// before its image arrived is all capture.
struct Totals {
    double capture = 0;
    double processing = 0;
    double memcpy = 0;
};

template <typename Cycle, typename Prepare>
void runCycles(benchmark::State& state, CycleBench& bench, bool workBeforeMain, Prepare prepare,
               Cycle cycle) {
    installTimingCallbacks(bench.engine());
    Totals wall;
    Totals cpu;
    const EffectEngine& engine = bench.engine();
    std::vector<std::uint8_t> scratch(static_cast<std::size_t>(engine.analyzer.byteSize));
    for (auto _ : state) {
        // The yardstick: one memcpy of the captured frame, in the cache state
        // that the cycle meets.
        Stamp start = stampNow();
        std::memcpy(scratch.data(), engine.mainCapture.frameBits, scratch.size());
        benchmark::DoNotOptimize(scratch.data());
        benchmark::ClobberMemory();
        Stamp end = stampNow();
        wall.memcpy += end.wall - start.wall;
        cpu.memcpy += end.cpu - start.cpu;

        prepare();
        const Stamp captureStart = stampNow();
        (void)bench.engine().mainCapture.captureFrame();
        const Stamp mainAlone = arrivals.main;

        arrivals.backdropArrived = false;
        start = stampNow();
        cycle();
        end = stampNow();
        const auto split = [&](double Stamp::*clock, Totals& totals) {
            const double mainCapture = mainAlone.*clock - captureStart.*clock;
            double capture = mainCapture;
            double before = arrivals.main.*clock - start.*clock;
            if (arrivals.backdropArrived) {
                const double backdropCapture = arrivals.backdrop.*clock - start.*clock;
                capture += backdropCapture;
                before -= backdropCapture;
            }
            const double processing = (workBeforeMain ? std::max(0.0, before - mainCapture) : 0.0) +
                                      (end.*clock - arrivals.main.*clock);
            totals.capture += capture;
            totals.processing += processing;
            return processing;
        };
        state.SetIterationTime(split(&Stamp::wall, wall));
        split(&Stamp::cpu, cpu);
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["capture_ms"] = wall.capture / n * 1e3;
    state.counters["processing_ms"] = wall.processing / n * 1e3;
    state.counters["memcpy_ms"] = wall.memcpy / n * 1e3;
    state.counters["x_memcpy"] = wall.processing / wall.memcpy;
    state.counters["cpu_capture_ms"] = cpu.capture / n * 1e3;
    state.counters["cpu_processing_ms"] = cpu.processing / n * 1e3;
    state.counters["cpu_memcpy_ms"] = cpu.memcpy / n * 1e3;
    state.counters["cpu_x_memcpy"] = cpu.processing / cpu.memcpy;
}

void BM_DarkCycleChangedFrame(benchmark::State& state) {
    CycleBench bench(false, state);
    runCycles(
        state, bench, false, [&] { bench.changeFrame(); }, [&] { bench.engine().darkCycle(); });
}
// {width, height, threads}: both sizes on 1 and 2 threads.
void cycleCases(benchmark::internal::Benchmark* b) {
    b->ArgNames({"w", "h", "threads"})
        ->ArgsProduct({{1920}, {1080}, {1, 2}})
        ->ArgsProduct({{3840}, {2160}, {1, 2}})
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
}

BENCHMARK(BM_DarkCycleChangedFrame)->Apply(cycleCases);

// Every row changes: the whole frame is inverted and presented.
void BM_DarkCycleScrolledFrame(benchmark::State& state) {
    CycleBench bench(false, state, true);
    runCycles(
        state, bench, false, [&] { bench.changeFrame(); }, [&] { bench.engine().darkCycle(); });
}
BENCHMARK(BM_DarkCycleScrolledFrame)->Apply(cycleCases);

void BM_DarkCycleUnchangedFrame(benchmark::State& state) {
    CycleBench bench(false, state);
    runCycles(
        state, bench, false, [] {}, [&] { bench.engine().darkCycle(); });
}
BENCHMARK(BM_DarkCycleUnchangedFrame)->Apply(cycleCases);

// changed: the page changes between cycles, in one line of text or, with
// scrolled, in every row (the whole result differs from the one shown).
// moving (following only): the part of the monitor frame under the target
// shifts by a pixel every cycle, as when the target moves, so the backdrop
// image differs in every row.
void BM_GlassCycle(benchmark::State& state, Backdrop mode, bool changed, bool scrolled = false,
                   bool moving = false) {
    CycleBench bench(true, state, scrolled);
    EffectEngine& engine = bench.engine();
    const auto prepare = [&] {
        if (changed) {
            bench.changeFrame();
        }
        if (moving) {
            engine.monitorFrameRect.left = engine.monitorFrameRect.left == 0 ? -1 : 0;
        }
        const std::int32_t now = nowMs();
        switch (mode) {
            case Backdrop::Live:
                engine.backdropIdle = false;
                engine.lastBackdropChange = now;
                break;
            case Backdrop::Idle:
                engine.backdropIdle = true;
                engine.lastBackdropPoll = now;
                break;
            case Backdrop::Following:
                engine.lastFollow = now;
                break;
        }
    };
    if (mode == Backdrop::Following) {
        // One move starts the following mode: the monitor is captured and
        // blurred once, outside the timed loop.
        bench.desk->window(bench.target).moveBy(0, 0);
        engine.followTarget();
    }
    runCycles(state, bench, mode != Backdrop::Idle, prepare, [&] { engine.glassCycle(); });
    state.counters["following"] = engine.monitorBackdropActive ? 1 : 0;
}
BENCHMARK_CAPTURE(BM_GlassCycle, live_unchanged, Backdrop::Live, false)->Apply(cycleCases);
BENCHMARK_CAPTURE(BM_GlassCycle, idle_unchanged, Backdrop::Idle, false)->Apply(cycleCases);
BENCHMARK_CAPTURE(BM_GlassCycle, idle_changed, Backdrop::Idle, true)->Apply(cycleCases);
BENCHMARK_CAPTURE(BM_GlassCycle, idle_scrolled, Backdrop::Idle, true, true)->Apply(cycleCases);
BENCHMARK_CAPTURE(BM_GlassCycle, following, Backdrop::Following, false)->Apply(cycleCases);
BENCHMARK_CAPTURE(BM_GlassCycle, following_moving, Backdrop::Following, false, false, true)
    ->Apply(cycleCases);

}  // namespace
}  // namespace kestra::bench
