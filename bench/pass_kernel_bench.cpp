// The pass kernels' own cost, apart from memory bandwidth: each pass on a
// 512 x 128 frame (256 KiB, held in the core's cache) with one thread, best
// of 2000 calls beside the best memcpy of the same frame, for every kernel
// this build and processor can run. On a machine whose other core is busy,
// these ratios move far less than the full-frame ones.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "analysis/frame_analyzer.h"
#include "analysis/pixel_passes.h"
#include "bench_frames.h"
#include "platform/heap.h"

namespace kestra::bench {
namespace {

constexpr std::int32_t kWidth = 512;
constexpr std::int32_t kHeight = 128;

// Random frame and backdrop, a masked photo rectangle; the frame is borrowed.
struct CachedFrame {
    std::vector<std::uint8_t> frame;
    std::vector<std::uint8_t> surface;
    FrameAnalyzer analyzer;

    CachedFrame() : frame(static_cast<std::size_t>(kWidth) * kHeight * 4), surface(frame.size()) {
        std::mt19937 random(77);
        for (auto& v : frame) {
            v = static_cast<std::uint8_t>(random());
        }
        FrameAnalyzer& a = analyzer;
        a.width = kWidth;
        a.height = kHeight;
        a.pixelCount = kWidth * kHeight;
        a.rowBytes = kWidth * 4;
        a.lastPixelOffset = a.rowBytes - 4;
        a.lastRowOffset = (kHeight - 1) * a.rowBytes;
        a.byteSize = a.pixelCount * 4;
        a.threadCount = 1;
        a.contentOpacity = 0.35f;
        a.contentOpacityComplement = 0.65f;
        a.frame = frame.data();
        a.backdropImage = heapAllocate(frame.size(), false);
        a.regionMask = heapAllocate(static_cast<std::size_t>(a.pixelCount), true);
        for (std::size_t i = 0; i < frame.size(); ++i) {
            a.backdropImage[i] = static_cast<std::uint8_t>(random());
        }
        for (std::int32_t y = 20; y < 60; ++y) {
            std::memset(a.regionMask.get() + y * kWidth + 100, 1, 200);
        }
    }
    ~CachedFrame() { analyzer.frame = nullptr; }
    CachedFrame(const CachedFrame&) = delete;
    CachedFrame& operator=(const CachedFrame&) = delete;
};

// state's arguments: {pass, kernel} with pass 0 invert, 1 copy, 2 blend and
// kernel 0 scalar, 1 SSE2, 2 AVX2, 3 AVX-512; the result goes into another
// buffer.
void BM_BestCall_PassKernelInCache(benchmark::State& state) {
    const FramePass passes[] = {FramePass::invert, FramePass::copyBackdrop, FramePass::blendBackdrop};
    const PassKernel kernels[] = {PassKernel::scalar, PassKernel::sse2, PassKernel::avx2, PassKernel::avx512};
    if (!selectPassKernel(kernels[state.range(1)])) {
        state.SkipWithError("kernel not available here");
        return;
    }
    ThreadScope scope(1);
    CachedFrame f;
    const FramePass pass = passes[state.range(0)];
    timeBestCall(
        state, 2000, [&] { runPassInto(f.analyzer, pass, f.surface.data()); }, f.frame.data(),
        f.frame.size());
    resetPixelPassState();
}
BENCHMARK(BM_BestCall_PassKernelInCache)
    ->ArgNames({"pass", "kernel"})
    ->ArgsProduct({{0, 1, 2}, {0, 1, 2, 3}})
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace kestra::bench
