// Frames the benchmarks run on: a document-like window (text lines on a light
// background, a toolbar, a busy photo-like rectangle) and a blurred wallpaper
// as the backdrop behind it. Built once per size from a fixed seed.
#pragma once

#include <benchmark/benchmark.h>

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
