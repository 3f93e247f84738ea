// Frames the benchmarks run on: a document-like window (text lines on a light
// background, a toolbar, a busy photo-like rectangle) and a blurred wallpaper
// as the backdrop behind it. Built once per size from a fixed seed.
#pragma once

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstddef>
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
// The ...Manual forms are the same cases on manual time, for the benchmarks
// that time their calls beside a memcpy (timeAgainstMemcpy, timeBestCall).
void sizesAndThreadsManual(benchmark::internal::Benchmark* b);
void sizesOnlyManual(benchmark::internal::Benchmark* b);
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

// The yardstick of every ratio: a memcpy of the frame the work reads (or, with
// no source, of a buffer of the frame's size) into a buffer kept for the run.
class FrameMemcpy {
  public:
    FrameMemcpy(const std::uint8_t* source, std::size_t bytes);
    // Copies once; returns the seconds it took.
    double run();

  private:
    std::vector<std::uint8_t> own_;
    const std::uint8_t* source_;
    std::vector<std::uint8_t> target_;
};

template <typename Work>
double secondsOf(Work&& work) {
    const auto start = std::chrono::steady_clock::now();
    work();
    benchmark::ClobberMemory();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Each iteration times one call of `work` (the iteration's manual time) and
// one memcpy of the frame it works on (`bytes` bytes) beside it, so that both meet the same
// machine; reports memcpy_us and x_memcpy, the ratio of the two totals.
// `prepare` runs before each call, outside the timed part.
template <typename Prepare, typename Work>
void timeAgainstMemcpy(benchmark::State& state, const std::uint8_t* frame, std::size_t bytes,
                       Prepare&& prepare, Work&& work) {
    FrameMemcpy yardstick(frame, bytes);
    double workTotal = 0;
    double memcpyTotal = 0;
    for (auto _ : state) {
        memcpyTotal += yardstick.run();
        prepare();
        const double seconds = secondsOf(work);
        workTotal += seconds;
        state.SetIterationTime(seconds);
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["memcpy_us"] = memcpyTotal / n * 1e6;
    state.counters["x_memcpy"] = memcpyTotal > 0 ? workTotal / memcpyTotal : 0.0;
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(bytes));
}

template <typename Work>
void timeAgainstMemcpy(benchmark::State& state, const std::uint8_t* frame, std::size_t bytes, Work&& work) {
    timeAgainstMemcpy(
        state, frame, bytes, [] {}, work);
}

// For a shared, noisy machine: each benchmark iteration runs `calls` single
// calls of `work` and reports the fastest as the iteration's (manual) time, so
// that a call during which the scheduler took a core away does not count.
// With `bytes`, a memcpy of the frame runs beside every call and x_memcpy is
// the best call over the best memcpy.
template <typename Work>
void timeBestCall(benchmark::State& state, int calls, Work&& work, const std::uint8_t* frame = nullptr,
                  std::size_t bytes = 0) {
    FrameMemcpy yardstick(frame, bytes);
    double bestMemcpy = 1e30;
    for (auto _ : state) {
        double best = 1e30;
        for (int i = 0; i < calls; ++i) {
            if (bytes > 0) {
                const double copy = yardstick.run();
                bestMemcpy = copy < bestMemcpy ? copy : bestMemcpy;
            }
            const double seconds = secondsOf(work);
            best = seconds < best ? seconds : best;
        }
        state.SetIterationTime(best);
        if (bytes > 0) {
            state.counters["memcpy_us"] = bestMemcpy * 1e6;
            state.counters["x_memcpy"] = best / bestMemcpy;
        }
    }
}

// timeBestCall for work that changes its input: `prepare` restores it before
// every call, outside the timed part.
template <typename Prepare, typename Work>
void timeBestPreparedCall(benchmark::State& state, int calls, Prepare&& prepare, Work&& work,
                          const std::uint8_t* frame, std::size_t bytes) {
    FrameMemcpy yardstick(frame, bytes);
    double bestMemcpy = 1e30;
    for (auto _ : state) {
        double best = 1e30;
        for (int i = 0; i < calls; ++i) {
            const double copy = yardstick.run();
            bestMemcpy = copy < bestMemcpy ? copy : bestMemcpy;
            prepare();
            const double seconds = secondsOf(work);
            best = seconds < best ? seconds : best;
        }
        state.SetIterationTime(best);
        state.counters["memcpy_us"] = bestMemcpy * 1e6;
        state.counters["x_memcpy"] = best / bestMemcpy;
    }
}

}  // namespace kestra::bench
