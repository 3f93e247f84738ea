// OpenCV's nearest equivalents on the same frames, for comparison: bitwise_not
// (invert), addWeighted (blend) and blur (a box filter of the stack blur's
// kernel size 2r + 1). Built only where OpenCV is installed.
#include <benchmark/benchmark.h>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <cstdint>
#include <vector>

#include "bench_frames.h"

namespace kestra::bench {
namespace {

cv::Mat matOver(std::vector<std::uint8_t>& pixels, const BenchFrames& f) {
    return cv::Mat(f.height, f.width, CV_8UC4, pixels.data());
}

class CvThreads {
  public:
    explicit CvThreads(int threads) : saved_(cv::getNumThreads()) { cv::setNumThreads(threads); }
    ~CvThreads() { cv::setNumThreads(saved_); }
    CvThreads(const CvThreads&) = delete;
    CvThreads& operator=(const CvThreads&) = delete;

  private:
    int saved_;
};

void BM_OpenCvBitwiseNot(benchmark::State& state) {
    const BenchFrames& f =
        benchFrames(static_cast<std::int32_t>(state.range(0)), static_cast<std::int32_t>(state.range(1)));
    CvThreads threads(static_cast<int>(state.range(2)));
    std::vector<std::uint8_t> pixels = f.window;
    cv::Mat image = matOver(pixels, f);
    for (auto _ : state) {
        cv::bitwise_not(image, image);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * f.bytes()));
}
BENCHMARK(BM_OpenCvBitwiseNot)->Apply(sizesAndThreads);

void BM_OpenCvAddWeighted(benchmark::State& state) {
    const BenchFrames& f =
        benchFrames(static_cast<std::int32_t>(state.range(0)), static_cast<std::int32_t>(state.range(1)));
    CvThreads threads(static_cast<int>(state.range(2)));
    std::vector<std::uint8_t> pixels = f.window;
    std::vector<std::uint8_t> backdrop = f.wallpaper;
    cv::Mat image = matOver(pixels, f);
    cv::Mat under = matOver(backdrop, f);
    for (auto _ : state) {
        cv::addWeighted(image, 0.35, under, 0.65, 0.0, image);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * f.bytes()));
}
BENCHMARK(BM_OpenCvAddWeighted)->Apply(sizesAndThreads);

void BM_OpenCvBoxBlur(benchmark::State& state) {
    const BenchFrames& f =
        benchFrames(static_cast<std::int32_t>(state.range(0)), static_cast<std::int32_t>(state.range(1)));
    CvThreads threads(static_cast<int>(state.range(2)));
    const int kernel = 2 * static_cast<int>(state.range(3)) + 1;
    std::vector<std::uint8_t> pixels = f.wallpaper;
    cv::Mat image = matOver(pixels, f);
    for (auto _ : state) {
        cv::blur(image, image, cv::Size(kernel, kernel), cv::Point(-1, -1), cv::BORDER_REPLICATE);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * f.bytes()));
}
BENCHMARK(BM_OpenCvBoxBlur)->Apply(blurCases);

void BM_BestCall_OpenCvBoxBlur(benchmark::State& state) {
    const BenchFrames& f = benchFrames(1920, 1080);
    CvThreads threads(static_cast<int>(state.range(0)));
    const int kernel = 2 * static_cast<int>(state.range(1)) + 1;
    std::vector<std::uint8_t> pixels = f.wallpaper;
    cv::Mat image = matOver(pixels, f);
    timeBestCall(state, 40, [&] {
        cv::blur(image, image, cv::Size(kernel, kernel), cv::Point(-1, -1), cv::BORDER_REPLICATE);
    });
}
BENCHMARK(BM_BestCall_OpenCvBoxBlur)
    ->ArgNames({"threads", "radius"})
    ->ArgsProduct({{1, 2}, {10, 50, 254}})
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace kestra::bench
