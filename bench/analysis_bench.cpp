// The frame analyses on the same document-like frames: background colour
// learning, photo-region detection and foreground recolouring, set up as the
// glass cycle has them (colours learned, glass buffers allocated, backdrop
// present).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <utility>
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
// detectPhotoRegions, restored outside the timed part (prepare); `time` times
// the call with it. The fourth argument forces the scalar walk, for the vector
// walk's gain.
template <typename Time>
void benchRecolour(benchmark::State& state, Time&& time) {
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
    selectRecolourKernel(state.range(3) != 0 ? RecolourKernel::scalar : RecolourKernel::automatic);
    const auto prepare = [&] {
        std::memcpy(setup.frame.data(), photoFrame.data(), photoFrame.size());
        std::memcpy(a.regionMask.get(), photoMask.data(), photoMask.size());
    };
    time(
        prepare, [&] { a.recolourForeground(); }, setup.frame.data(), photoFrame.size());
    selectRecolourKernel(RecolourKernel::automatic);
}

// A memcpy of the frame is timed beside every call (x_memcpy).
void BM_RecolourForeground(benchmark::State& state) {
    benchRecolour(state, [&](const auto& prepare, const auto& work, std::uint8_t* frame, std::size_t bytes) {
        timeAgainstMemcpy(state, frame, bytes, prepare, work);
    });
}
// Both sizes and 1 and 2 threads with the walk chosen at run time, and the
// scalar walk at 1920 x 1080 beside it: {width, height, threads, scalar}.
void recolourCases(benchmark::internal::Benchmark* b) {
    b->ArgNames({"w", "h", "threads", "scalar"});
    for (const auto& [w, h] : {std::pair{1920, 1080}, std::pair{3840, 2160}}) {
        for (int threads : {1, 2}) {
            b->Args({w, h, threads, 0});
        }
    }
    b->Args({1920, 1080, 1, 1})->Args({1920, 1080, 2, 1});
    withMinimum(b->UseManualTime()->Unit(benchmark::kMicrosecond));
}
BENCHMARK(BM_RecolourForeground)->Apply(recolourCases);

// The same call, best of 40 beside the best memcpy of the frame: the figure
// to compare when other work shares the cores.
void BM_BestCall_RecolourForeground(benchmark::State& state) {
    benchRecolour(state, [&](const auto& prepare, const auto& work, std::uint8_t* frame, std::size_t bytes) {
        timeBestPreparedCall(state, 40, prepare, work, frame, bytes);
    });
}
BENCHMARK(BM_BestCall_RecolourForeground)
    ->ArgNames({"w", "h", "threads", "scalar"})
    ->ArgsProduct({{1920}, {1080}, {1, 2}, {0, 1}})
    ->ArgsProduct({{3840}, {2160}, {1, 2}, {0}})
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace kestra::bench
