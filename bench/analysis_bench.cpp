// The frame analyses on the same document-like frames: background colour
// learning, photo-region detection and foreground recolouring, set up as the
// glass cycle has them (colours learned, glass buffers allocated, backdrop
// present).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <vector>

#include "analysis/frame_analyzer.h"
#include "analysis/recolour_kernel.h"
#include "bench_frames.h"
#include "platform/heap.h"

namespace kestra::bench {
namespace {

// An analyzer over a copy of the bench window, configured for a desktop the
// size of the frame, with learned colours and glass buffers.
struct AnalysisSetup {
    std::vector<std::uint8_t> frame;
    std::vector<std::uint8_t> backdrop;
    FrameAnalyzer analyzer;
    bool ready = false;

    AnalysisSetup(const BenchFrames& f, int threads, bool withBackdrop)
        : frame(f.window), backdrop(f.wallpaper) {
        FrameAnalyzer& a = analyzer;
        a.width = f.width;
        a.height = f.height;
        a.frame = frame.data();
        a.threadCount = threads;
        a.contentOpacity = 0.0f;
        a.photoOpacity = 0.8f;
        a.foregroundOpacity = 1.0f;
        a.seenColourTable = heapAllocate(kColourTableBytes, true);
        if (a.seenColourTable.get() == nullptr || a.configureGeometryFor(f.width + f.height) != 0 ||
            a.allocateGlassBuffers() != 0) {
            return;
        }
        if (withBackdrop) {
            a.backdropImage = heapAllocate(backdrop.size(), false);
            if (a.backdropImage == nullptr) {
                return;
            }
            std::memcpy(a.backdropImage.get(), backdrop.data(), backdrop.size());
        }
        a.learnBackgroundColours();
        ready = true;
    }
    ~AnalysisSetup() {
        analyzer.frame = nullptr;
        analyzer.releaseGlassBuffers();
        analyzer.releaseAnalyzer();
    }
    AnalysisSetup(const AnalysisSetup&) = delete;
    AnalysisSetup& operator=(const AnalysisSetup&) = delete;
};

const BenchFrames& framesOf(const benchmark::State& state) {
    return benchFrames(static_cast<std::int32_t>(state.range(0)), static_cast<std::int32_t>(state.range(1)));
}

void BM_LearnBackgroundColours(benchmark::State& state) {
    const BenchFrames& f = framesOf(state);
    AnalysisSetup setup(f, 1, true);
    if (!setup.ready) {
        state.SkipWithError("analyzer buffers not allocated");
        return;
    }
    for (auto _ : state) {
        setup.analyzer.learnBackgroundColours();
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_LearnBackgroundColours)->Apply(sizesOnly);

// Dark effect: no backdrop, so photo pixels are only marked.
void BM_DetectPhotoRegions(benchmark::State& state) {
    const BenchFrames& f = framesOf(state);
    AnalysisSetup setup(f, 1, false);
    if (!setup.ready) {
        state.SkipWithError("analyzer buffers not allocated");
        return;
    }
    for (auto _ : state) {
        setup.analyzer.detectPhotoRegions();
        benchmark::ClobberMemory();
    }
    // How much of the frame ended up marked (the bench photo is 13 %).
    std::int64_t marked = 0;
    for (std::int32_t i = 0; i < setup.analyzer.pixelCount; ++i) {
        marked += setup.analyzer.regionMask[i];
    }
    state.counters["marked"] = static_cast<double>(marked) / setup.analyzer.pixelCount;
}
BENCHMARK(BM_DetectPhotoRegions)->Apply(sizesOnly);

// Glass: each run starts from the captured frame and the photo mask of
// detectPhotoRegions, restored outside the timed part. Each iteration also
// times a memcpy of the frame: the counters give the mean and the fastest call
// of each and their ratios, measured in the same run.
void BM_RecolourForeground(benchmark::State& state) {
    const BenchFrames& f = framesOf(state);
    ThreadScope scope(static_cast<int>(state.range(2)));
    AnalysisSetup setup(f, static_cast<int>(state.range(2)), true);
    if (!setup.ready) {
        state.SkipWithError("analyzer buffers not allocated");
        return;
    }
    FrameAnalyzer& a = setup.analyzer;
    a.detectPhotoRegions();
    const std::vector<std::uint8_t> photoFrame = setup.frame;
    const std::vector<std::uint8_t> photoMask(a.regionMask.get(), a.regionMask.get() + a.pixelCount);
    std::vector<std::uint8_t> scratch(photoFrame.size());
    using Clock = std::chrono::steady_clock;
    const auto seconds = [](Clock::time_point start) {
        return std::chrono::duration<double>(Clock::now() - start).count();
    };
    const auto cpuNow = [] { return static_cast<double>(std::clock()) / CLOCKS_PER_SEC; };
    const bool scalar = state.range(3) != 0;
    selectRecolourKernel(scalar ? RecolourKernel::scalar : RecolourKernel::automatic);
    double total = 0;
    double best = 1e30;
    double copyTotal = 0;
    double copyBest = 1e30;
    double cpuTotal = 0;
    double cpuCopyTotal = 0;
    for (auto _ : state) {
        std::memcpy(setup.frame.data(), photoFrame.data(), photoFrame.size());
        std::memcpy(a.regionMask.get(), photoMask.data(), photoMask.size());
        double cpuStart = cpuNow();
        auto start = Clock::now();
        std::memcpy(scratch.data(), setup.frame.data(), scratch.size());
        benchmark::DoNotOptimize(scratch.data());
        benchmark::ClobberMemory();
        const double copy = seconds(start);
        cpuCopyTotal += cpuNow() - cpuStart;
        cpuStart = cpuNow();
        start = Clock::now();
        a.recolourForeground();
        benchmark::ClobberMemory();
        const double call = seconds(start);
        cpuTotal += cpuNow() - cpuStart;
        state.SetIterationTime(call);
        total += call;
        best = call < best ? call : best;
        copyTotal += copy;
        copyBest = copy < copyBest ? copy : copyBest;
    }
    state.counters["memcpy_us"] = copyTotal / static_cast<double>(state.iterations()) * 1e6;
    state.counters["x_memcpy"] = total / copyTotal;
    state.counters["best_us"] = best * 1e6;
    state.counters["best_memcpy_us"] = copyBest * 1e6;
    state.counters["best_x_memcpy"] = best / copyBest;
    // Process CPU time (all threads): what contention with other processes
    // does not inflate.
    state.counters["cpu_x_memcpy"] = cpuTotal / cpuCopyTotal;
    selectRecolourKernel(RecolourKernel::automatic);
}
BENCHMARK(BM_RecolourForeground)
    ->ArgNames({"w", "h", "threads", "scalar"})
    ->Args({1920, 1080, 1, 0})
    ->Args({1920, 1080, 2, 0})
    ->Args({3840, 2160, 1, 0})
    ->Args({3840, 2160, 2, 0})
    ->Args({1920, 1080, 1, 1})
    ->Args({1920, 1080, 2, 1})
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace kestra::bench
