#include "bench_frames.h"

#include <omp.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <utility>

#include "backdrop/stack_blur.h"

namespace kestra::bench {

namespace {

void put(std::vector<std::uint8_t>& f, std::int32_t width, std::int32_t x, std::int32_t y, std::uint8_t b,
         std::uint8_t g, std::uint8_t r) {
    std::uint8_t* p = f.data() + (static_cast<std::size_t>(y) * width + x) * 4;
    p[0] = b;
    p[1] = g;
    p[2] = r;
    p[3] = 255;
}

std::uint8_t byteOf(double v) {
    return static_cast<std::uint8_t>(std::clamp(v, 0.0, 255.0));
}

void buildWindow(BenchFrames& f, std::mt19937& random) {
    const std::int32_t w = f.width;
    const std::int32_t h = f.height;
    f.window.assign(static_cast<std::size_t>(w) * h * 4, 0);
    f.photoMask.assign(static_cast<std::size_t>(w) * h, 0);
    // Light page with a grey toolbar and a slightly darker side panel.
    const std::int32_t toolbar = h / 14;
    const std::int32_t panel = w / 6;
    for (std::int32_t y = 0; y < h; ++y) {
        for (std::int32_t x = 0; x < w; ++x) {
            if (y < toolbar) {
                put(f.window, w, x, y, 0xE6, 0xE3, 0xE0);
            } else if (x < panel) {
                put(f.window, w, x, y, 0xF3, 0xF1, 0xEE);
            } else {
                put(f.window, w, x, y, 0xFF, 0xFF, 0xFF);
            }
        }
    }
    // Text: lines of words made of glyph strokes with anti-aliased edges.
    std::uniform_int_distribution<int> glyphWidth(4, 9);
    std::uniform_int_distribution<int> wordLength(2, 9);
    std::uniform_int_distribution<int> coin(0, 3);
    const std::int32_t lineHeight = std::max(h / 54, 12);
    const std::int32_t glyphHeight = lineHeight * 11 / 20;
    for (std::int32_t top = toolbar + lineHeight; top + lineHeight < h; top += lineHeight) {
        std::int32_t x = panel + w / 40;
        const std::int32_t lineEnd = w - w / 20 - static_cast<std::int32_t>(random() % (w / 5));
        while (x < lineEnd) {
            const int letters = wordLength(random);
            for (int l = 0; l < letters && x < lineEnd; ++l) {
                const int gw = glyphWidth(random);
                const int ascender = coin(random) == 0 ? glyphHeight / 3 : 0;
                for (std::int32_t y = top - ascender; y < top + glyphHeight; ++y) {
                    for (std::int32_t gx = 0; gx < gw; ++gx) {
                        const bool stem = gx == 0 || gx == gw - 1 || y == top || y == top + glyphHeight - 1;
                        if (!stem || x + gx >= w) {
                            continue;
                        }
                        const std::uint8_t ink = coin(random) == 0 ? 0x70 : 0x20;
                        put(f.window, w, x + gx, y, ink, ink, static_cast<std::uint8_t>(ink + 8));
                    }
                }
                x += gw + 2;
            }
            x += lineHeight / 2;
        }
    }
    // A photo: smooth colour fields with fine grain, a third of the width.
    const std::int32_t px0 = w / 2;
    const std::int32_t py0 = h / 4;
    const std::int32_t px1 = px0 + w / 3;
    const std::int32_t py1 = py0 + h * 2 / 5;
    std::normal_distribution<double> grain(0.0, 14.0);
    for (std::int32_t y = py0; y < py1; ++y) {
        for (std::int32_t x = px0; x < px1; ++x) {
            const double u = static_cast<double>(x - px0) / (px1 - px0);
            const double v = static_cast<double>(y - py0) / (py1 - py0);
            const double sky = 60 + 150 * v + 30 * std::sin(9 * u + 4 * v);
            put(f.window, w, x, y, byteOf(sky + grain(random)), byteOf(120 + 80 * u * v + grain(random)),
                byteOf(200 - 120 * v + 20 * std::cos(13 * u) + grain(random)));
            f.photoMask[static_cast<std::size_t>(y) * w + x] = 1;
        }
    }
}

void buildWallpaper(BenchFrames& f, std::mt19937& random) {
    const std::int32_t w = f.width;
    const std::int32_t h = f.height;
    f.wallpaper.assign(static_cast<std::size_t>(w) * h * 4, 0);
    std::uniform_int_distribution<int> noise(-20, 20);
    for (std::int32_t y = 0; y < h; ++y) {
        for (std::int32_t x = 0; x < w; ++x) {
            const double u = static_cast<double>(x) / w;
            const double v = static_cast<double>(y) / h;
            put(f.wallpaper, w, x, y, byteOf(140 + 90 * std::sin(5 * u) * v + noise(random)),
                byteOf(90 + 60 * std::cos(7 * v + 3 * u) + noise(random)),
                byteOf(50 + 120 * u * (1 - v) + noise(random)));
        }
    }
    stackBlur(f.wallpaper.data(), static_cast<std::uint32_t>(w), static_cast<std::uint32_t>(h), 30);
}

}  // namespace

const BenchFrames& benchFrames(std::int32_t width, std::int32_t height) {
    static std::map<std::pair<std::int32_t, std::int32_t>, std::unique_ptr<BenchFrames>> cache;
    auto& slot = cache[{width, height}];
    if (!slot) {
        slot = std::make_unique<BenchFrames>();
        slot->width = width;
        slot->height = height;
        std::mt19937 random(static_cast<std::uint32_t>(width * 7919 + height));
        buildWindow(*slot, random);
        buildWallpaper(*slot, random);
    }
    return *slot;
}

benchmark::internal::Benchmark* withMinimum(benchmark::internal::Benchmark* b) {
    return b->ComputeStatistics("min", [](const std::vector<double>& v) {
        return v.empty() ? 0.0 : *std::min_element(v.begin(), v.end());
    });
}

void sizesAndThreads(benchmark::internal::Benchmark* b) {
    b->ArgNames({"w", "h", "threads"});
    for (const auto& [w, h] : {std::pair{1920, 1080}, std::pair{3840, 2160}}) {
        for (int threads : {1, 2}) {
            b->Args({w, h, threads});
        }
    }
    withMinimum(b->UseRealTime()->Unit(benchmark::kMicrosecond));
}

void sizesAndThreadsManual(benchmark::internal::Benchmark* b) {
    b->ArgNames({"w", "h", "threads"});
    for (const auto& [w, h] : {std::pair{1920, 1080}, std::pair{3840, 2160}}) {
        for (int threads : {1, 2}) {
            b->Args({w, h, threads});
        }
    }
    withMinimum(b->UseManualTime()->Unit(benchmark::kMicrosecond));
}

void sizesOnlyManual(benchmark::internal::Benchmark* b) {
    b->ArgNames({"w", "h", "threads"});
    b->Args({1920, 1080, 1})->Args({3840, 2160, 1});
    withMinimum(b->UseManualTime()->Unit(benchmark::kMicrosecond));
}

FrameMemcpy::FrameMemcpy(const std::uint8_t* source, std::size_t bytes)
    : own_(source == nullptr ? bytes : 0, 0x5A),
      source_(source != nullptr ? source : own_.data()),
      target_(bytes, 0) {}

double FrameMemcpy::run() {
    if (target_.empty()) {
        return 0.0;
    }
    return secondsOf([this] {
        std::memcpy(target_.data(), source_, target_.size());
        benchmark::DoNotOptimize(target_.data());
    });
}

void sizesOnly(benchmark::internal::Benchmark* b) {
    b->ArgNames({"w", "h", "threads"});
    b->Args({1920, 1080, 1})->Args({3840, 2160, 1});
    withMinimum(b->UseRealTime()->Unit(benchmark::kMicrosecond));
}

void blurCases(benchmark::internal::Benchmark* b) {
    b->ArgNames({"w", "h", "threads", "radius"})
        ->ArgsProduct({{1920}, {1080}, {1, 2}, {10, 50, 254}})
        ->ArgsProduct({{3840}, {2160}, {1, 2}, {10, 50, 254}});
    withMinimum(b->UseRealTime()->Unit(benchmark::kMicrosecond));
}

ThreadScope::ThreadScope(int threads) : saved_(omp_get_max_threads()) {
    omp_set_num_threads(threads);
}

ThreadScope::~ThreadScope() {
    omp_set_num_threads(saved_);
}

}  // namespace kestra::bench
