// Frames the benchmarks run on: a document-like window (text lines on a light
// background, a toolbar, a busy photo-like rectangle) and a blurred wallpaper
// as the backdrop behind it. Built once per size from a fixed seed.
#pragma once

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <vector>

namespace kestra::bench {

struct BenchFrames {
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::vector<std::uint8_t> window;     // the captured target, BGRA
    std::vector<std::uint8_t> wallpaper;  // the blurred backdrop, BGRA
    std::vector<std::uint8_t> photoMask;  // 1 inside the photo rectangle
    std::size_t bytes() const { return window.size(); }
};

// The frames of one size, built on first use.
const BenchFrames& benchFrames(std::int32_t width, std::int32_t height);

// Registers the standard sizes (1920 x 1080, 3840 x 2160) with 1 and 2
// threads as arguments {width, height, threads}.
void sizesAndThreads(benchmark::internal::Benchmark* b);
// The same sizes with threads 1 only (single-threaded operations).
void sizesOnly(benchmark::internal::Benchmark* b);
// The blur grid {width, height, threads, radius}: both sizes, 1 and 2
// threads, radius 10, 50 and 254 — shared by the stack blur and the OpenCV
// box filter so that their figures compare case by case.
void blurCases(benchmark::internal::Benchmark* b);

// Adds a "min" aggregate to repeated runs: on a shared, noisy machine the
// fastest repetition is the best estimate of the kernel's own time.
benchmark::internal::Benchmark* withMinimum(benchmark::internal::Benchmark* b);

// Sets the OpenMP thread count for the benchmark and restores it afterwards.
class ThreadScope {
  public:
    explicit ThreadScope(int threads);
    ~ThreadScope();
    ThreadScope(const ThreadScope&) = delete;
    ThreadScope& operator=(const ThreadScope&) = delete;

  private:
    int saved_;
};

}  // namespace kestra::bench

namespace kestra::bench {

// For a shared, noisy machine: each benchmark iteration runs `calls` single
// calls of `work` and reports the fastest as the iteration's (manual) time, so
// that a call during which the scheduler took a core away does not count.
template <typename Work>
void timeBestCall(benchmark::State& state, int calls, Work&& work) {
    for (auto _ : state) {
        double best = 1e30;
        for (int i = 0; i < calls; ++i) {
            const auto start = std::chrono::steady_clock::now();
            work();
            benchmark::ClobberMemory();
            const double seconds =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            best = seconds < best ? seconds : best;
        }
        state.SetIterationTime(best);
    }
}

}  // namespace kestra::bench
