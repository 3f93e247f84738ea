// What one tracked window costs besides its frames: the time to attach it
// (dark, and dark with glass started) and the memory it holds, on the
// simulated desktop at 1920 x 1080 and 3840 x 2160. Attach times come with a
// memcpy of one frame measured in the same run and the time of the captures
// they contain (the simulated Magnifier composes the desktop, which the real
// one does elsewhere); the memory case reports the committed bytes per window
// from the desktop's counters: heap blocks, DIB sections and the Magnifier
// controls' source buffers. Attach also reports the page faults it took (the
// pages it touched first, whose cost swings with the host); a second case
// times attach with the frame cycle that follows it and presents the first
// frame.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "engine/effect_engine.h"
#include "platform/sim/desktop.h"
#include "platform/win32.h"
#include "support/tracking_process.h"
#include "tracking/tracked_window.h"

namespace kestra::bench {
namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Page faults of this process so far that needed no read from disk: on these
// buffers, first touches of fresh pages.
long minorFaults() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_minflt;
}

// A document-like target: a light page with dark text bars.
sim::Image pageImage(int width, int height) {
    sim::Image img(width, height, sim::bgra(246, 246, 244));
    for (int y = 60; y + 12 < height; y += 28) {
        for (int x = 80; x + 52 < width / 2; x += 70) {
            img.fillRect(RECT{x, y, x + 52, y + 12}, sim::bgra(20, 22, 28));
        }
    }
    return img;
}

// A desktop whose primary monitor is the target's size, with one tracked,
// not yet attached full-screen target.
struct WindowBench {
    std::unique_ptr<sim::Desktop> desk;
    TrackedWindow* record = nullptr;
    HWND target = nullptr;
    std::size_t frameBytes = 0;

    WindowBench(int width, int height) {
        sim::DesktopOptions options;
        options.width = width;
        options.height = height;
        options.wallpaper = sim::Content::solid(sim::bgra(90, 120, 150));
        desk = std::make_unique<sim::Desktop>(options);
        testing::startTrackingProcess();
        desk->runFor(5);
        sim::WindowOptions window;
        window.rect = RECT{0, 0, width, height};
        window.content = sim::Content::image(pageImage(width, height));
        target = desk->app("document").createWindow(window);
        record = &trackedWindows[static_cast<std::size_t>(addTracked(target))];
        frameBytes = static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4;
    }

    ~WindowBench() {
        resetTrackingState();
        resetSurfacesState();
        resetAnalysisState();
    }

    // Attaches the target (and starts glass): 0, or the failing status.
    int attachWindow(bool glass) {
        if (attach(*record) != 0) {
            return -1;
        }
        ++effectCount;
        record->engine.darkEnabled = true;
        return glass ? static_cast<int>(record->engine.startGlass()) : 0;
    }

    void detachWindow() {
        const HWND keep = record->target;
        untrackRecord(*record);
        --effectCount;
        record->target = keep;
    }

    EffectEngine& engine() { return record->engine; }
};

sim::Counts countsOf(const sim::Desktop& desk) {
    return desk.counts();
}

std::size_t committedBytes(const sim::Counts& c) {
    return c.heapBytes + c.dibBytes + c.magnifierBytes;
}

// Fewer page faults than this in one attach: it touched no fresh buffer.
constexpr long kFewFaults = 64;

void BM_Attach(benchmark::State& state, bool glass) {
    const int width = static_cast<int>(state.range(0));
    const int height = static_cast<int>(state.range(1));
    WindowBench bench(width, height);
    std::vector<std::uint8_t> from(bench.frameBytes, 1);
    std::vector<std::uint8_t> to(bench.frameBytes);
    double memcpySeconds = 0;
    double captureSeconds = 0;
    double composeSeconds = 0;
    double attachSeconds = 0;
    long attachFaults = 0;
    double reusedSeconds = 0;
    int reused = 0;
    for (auto _ : state) {
        auto start = Clock::now();
        std::memcpy(to.data(), from.data(), to.size());
        benchmark::DoNotOptimize(to.data());
        benchmark::ClobberMemory();
        memcpySeconds += secondsSince(start);

        const long faults = minorFaults();
        start = Clock::now();
        if (bench.attachWindow(glass) != 0) {
            state.SkipWithError("attach failed");
            break;
        }
        const double attached = secondsSince(start);
        const long attachedFaults = minorFaults() - faults;
        attachFaults += attachedFaults;
        if (attachedFaults < kFewFaults) {
            reusedSeconds += attached;
            ++reused;
        }
        state.SetIterationTime(attached);
        attachSeconds += attached;

        // The captures that attach made, again: the same composition by the
        // simulated Magnifier into buffers that now exist.
        EffectEngine& engine = bench.engine();
        start = Clock::now();
        static_cast<void>(engine.mainCapture.captureFrame());
        if (glass) {
            static_cast<void>(engine.backdropCapture.captureFrame());
        }
        captureSeconds += secondsSince(start);
        if (glass) {
            // The backdrop's scaling and blur, which the first glass cycle
            // does for a start.
            start = Clock::now();
            engine.composeBackdrop();
            composeSeconds += secondsSince(start);
        }
        bench.detachWindow();
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["attach_ms"] = attachSeconds / n * 1e3;
    state.counters["capture_ms"] = captureSeconds / n * 1e3;
    state.counters["faults"] = static_cast<double>(attachFaults) / n;
    // The attaches that found their pages in the heap already (the allocator
    // kept them from the last detach), apart: what attach costs without
    // first touches.
    state.counters["reused_n"] = reused;
    state.counters["reused_attach_ms"] = reused > 0 ? reusedSeconds / reused * 1e3 : 0.0;
    state.counters["memcpy_ms"] = memcpySeconds / n * 1e3;
    state.counters["x_memcpy"] = attachSeconds / memcpySeconds;
    state.counters["x_memcpy_no_capture"] = (attachSeconds - captureSeconds) / memcpySeconds;
    if (glass) {
        state.counters["compose_ms"] = composeSeconds / n * 1e3;
    }
}
// Attach and the first cycle after it, which learns the colours and presents
// the first frame of the effect: the time until the window shows it. Each
// part with its page faults.
void BM_AttachToFirstFrame(benchmark::State& state, bool glass) {
    WindowBench bench(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    double attachSeconds = 0;
    double cycleSeconds = 0;
    long attachFaults = 0;
    long cycleFaults = 0;
    for (auto _ : state) {
        long faults = minorFaults();
        auto start = Clock::now();
        if (bench.attachWindow(glass) != 0) {
            state.SkipWithError("attach failed");
            break;
        }
        const double attached = secondsSince(start);
        attachFaults += minorFaults() - faults;

        EffectEngine& engine = bench.engine();
        faults = minorFaults();
        start = Clock::now();
        if (glass) {
            engine.glassCycle();
        } else {
            engine.darkCycle();
        }
        const double cycled = secondsSince(start);
        cycleFaults += minorFaults() - faults;
        state.SetIterationTime(attached + cycled);
        attachSeconds += attached;
        cycleSeconds += cycled;
        bench.detachWindow();
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["attach_ms"] = attachSeconds / n * 1e3;
    state.counters["attach_faults"] = static_cast<double>(attachFaults) / n;
    state.counters["first_cycle_ms"] = cycleSeconds / n * 1e3;
    state.counters["first_cycle_faults"] = static_cast<double>(cycleFaults) / n;
}
BENCHMARK_CAPTURE(BM_AttachToFirstFrame, dark, false)
    ->Args({1920, 1080})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_AttachToFirstFrame, glass, true)
    ->Args({1920, 1080})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

BENCHMARK_CAPTURE(BM_Attach, dark, false)
    ->Args({1920, 1080})
    ->Args({3840, 2160})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Attach, glass, true)
    ->Args({1920, 1080})
    ->Args({3840, 2160})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// The committed bytes of one attached window after its first cycles: dark,
// glass, glass while following a move (the monitor capture's frame stands in
// for the backdrop capture's) and glass once the following has ended and the
// backdrop has been captured again.
enum class Held { Dark, Glass, GlassFollowed, GlassAfterFollowing };

void BM_WindowMemory(benchmark::State& state, Held held) {
    const int width = static_cast<int>(state.range(0));
    const int height = static_cast<int>(state.range(1));
    WindowBench bench(width, height);
    const sim::Counts before = countsOf(*bench.desk);
    if (bench.attachWindow(held != Held::Dark) != 0) {
        state.SkipWithError("attach failed");
        return;
    }
    EffectEngine& engine = bench.engine();
    engine.lastDarknessTest = -2000;
    tick(*bench.record);
    if (held == Held::GlassFollowed || held == Held::GlassAfterFollowing) {
        bench.desk->window(bench.target).moveBy(0, 0);
        engine.followTarget();
        tick(*bench.record);
    }
    if (held == Held::GlassAfterFollowing) {
        // A tick after the following period ends it; the idle poll a second
        // later captures the backdrop again.
        bench.desk->runFor(1100);
        tick(*bench.record);
        bench.desk->runFor(1100);
        tick(*bench.record);
    }
    const sim::Counts after = countsOf(*bench.desk);
    for (auto _ : state) {
        benchmark::DoNotOptimize(committedBytes(after));
    }
    constexpr double kMiB = 1024.0 * 1024.0;
    state.counters["committed_MiB"] =
        static_cast<double>(committedBytes(after) - committedBytes(before)) / kMiB;
    state.counters["heap_MiB"] = static_cast<double>(after.heapBytes - before.heapBytes) / kMiB;
    state.counters["dib_MiB"] = static_cast<double>(after.dibBytes - before.dibBytes) / kMiB;
    state.counters["capture_MiB"] = static_cast<double>(after.magnifierBytes - before.magnifierBytes) / kMiB;
    state.counters["frame_MiB"] = static_cast<double>(bench.frameBytes) / kMiB;
}
BENCHMARK_CAPTURE(BM_WindowMemory, dark, Held::Dark)->Args({1920, 1080})->Args({3840, 2160})->Iterations(1);
BENCHMARK_CAPTURE(BM_WindowMemory, glass, Held::Glass)->Args({1920, 1080})->Args({3840, 2160})->Iterations(1);
BENCHMARK_CAPTURE(BM_WindowMemory, glass_followed, Held::GlassFollowed)
    ->Args({1920, 1080})
    ->Args({3840, 2160})
    ->Iterations(1);
BENCHMARK_CAPTURE(BM_WindowMemory, glass_after_following, Held::GlassAfterFollowing)
    ->Args({1920, 1080})
    ->Args({3840, 2160})
    ->Iterations(1);

}  // namespace
}  // namespace kestra::bench
