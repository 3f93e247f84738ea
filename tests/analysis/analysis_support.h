// Frames built in memory for the analysis tests, and an analyzer that owns
// its buffers for the length of a test.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "analysis/frame_analyzer.h"
#include "platform/heap.h"

namespace kestra::testing {

struct Colour {
    std::uint8_t b = 0;
    std::uint8_t g = 0;
    std::uint8_t r = 0;
    bool operator==(const Colour&) const = default;
};

// The seeded generator of the randomised tests.
class Random {
  public:
    explicit Random(std::uint32_t seed) : engine_(seed) {}
    std::uint32_t operator()() { return static_cast<std::uint32_t>(engine_()); }
    int below(int n) { return static_cast<int>((*this)() % static_cast<std::uint32_t>(n)); }
    std::uint8_t byte() { return static_cast<std::uint8_t>((*this)()); }

  private:
    std::mt19937 engine_;
};

// A frame of exactly width * height * 4 bytes on the heap, so that the
// address sanitizer sees an access one byte past its end.
class Frame {
  public:
    Frame(int width, int height, Colour fill = {})
        : width_(width),
          height_(height),
          bytes_(new std::uint8_t[static_cast<std::size_t>(width) * height * 4]) {
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) {
                set(x, y, fill);
                at(x, y)[3] = 0xA5;  // a marker that no analysis may change
            }
        }
    }
    Frame(const Frame& other) : Frame(other.width_, other.height_) {
        std::memcpy(bytes_.get(), other.bytes_.get(), other.size());
    }
    Frame& operator=(const Frame&) = delete;

    int width() const { return width_; }
    int height() const { return height_; }
    std::size_t size() const { return static_cast<std::size_t>(width_) * height_ * 4; }
    std::uint8_t* data() { return bytes_.get(); }
    const std::uint8_t* data() const { return bytes_.get(); }
    std::uint8_t* at(int x, int y) { return bytes_.get() + (static_cast<std::size_t>(y) * width_ + x) * 4; }
    const std::uint8_t* at(int x, int y) const {
        return bytes_.get() + (static_cast<std::size_t>(y) * width_ + x) * 4;
    }
    Colour colour(int x, int y) const {
        const std::uint8_t* p = at(x, y);
        return Colour{p[0], p[1], p[2]};
    }
    void set(int x, int y, Colour c) {
        std::uint8_t* p = at(x, y);
        p[0] = c.b;
        p[1] = c.g;
        p[2] = c.r;
    }
    void fillRect(int x0, int y0, int x1, int y1, Colour c) {  // x1, y1 exclusive
        for (int y = y0; y < y1; ++y) {
            for (int x = x0; x < x1; ++x) {
                set(x, y, c);
            }
        }
    }
    // Every pixel of the rectangle a different, seeded colour: a photo.
    void noiseRect(int x0, int y0, int x1, int y1, std::uint32_t seed) {
        Random rng(seed);
        for (int y = y0; y < y1; ++y) {
            for (int x = x0; x < x1; ++x) {
                const std::uint32_t v = rng();
                set(x, y,
                    Colour{static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
                           static_cast<std::uint8_t>(v >> 16)});
            }
        }
    }
    bool operator==(const Frame& o) const {
        return width_ == o.width_ && height_ == o.height_ && std::memcmp(data(), o.data(), size()) == 0;
    }

  private:
    int width_;
    int height_;
    std::unique_ptr<std::uint8_t[]> bytes_;
};

// The flag of one colour of a bit colour table, as 0 or 1.
inline int flagOf(const std::uint8_t* table, std::uint32_t key) {
    return colourFlagged(table, key) ? 1 : 0;
}

// How many colours a bit colour table flags.
inline std::size_t flagCount(const std::uint8_t* table) {
    std::size_t count = 0;
    for (std::uint32_t i = 0; i < kColourTableBytes; ++i) {
        count += static_cast<std::size_t>(std::popcount(table[i]));
    }
    return count;
}

// A bit colour table as one byte per colour (0 or 1): the layout the tables
// had before they held bits, which the reference learners below fill.
inline std::vector<std::uint8_t> flagBytes(const std::uint8_t* table) {
    std::vector<std::uint8_t> bytes(kColourCount);
    for (std::uint32_t key = 0; key < kColourCount; ++key) {
        bytes[key] = colourFlagged(table, key) ? 1 : 0;
    }
    return bytes;
}

inline int flagOf(const HeapBuffer& table, std::uint32_t key) {
    return flagOf(table.get(), key);
}
inline std::size_t flagCount(const HeapBuffer& table) {
    return flagCount(table.get());
}
inline std::vector<std::uint8_t> flagBytes(const HeapBuffer& table) {
    return flagBytes(table.get());
}

// An analyzer over a frame with its seen-colour table, released on scope exit.
class Analyzer {
  public:
    explicit Analyzer(Frame& frame, std::int32_t desktopExtent = 3000) {
        a.width = frame.width();
        a.height = frame.height();
        a.frame = frame.data();
        a.seenColourTable = heapAllocate(kColourTableBytes, true);
        a.configureGeometryFor(desktopExtent);
    }
    ~Analyzer() { a.releaseAnalyzer(); }
    Analyzer(const Analyzer&) = delete;
    Analyzer& operator=(const Analyzer&) = delete;

    FrameAnalyzer* operator->() { return &a; }
    FrameAnalyzer& operator*() { return a; }
    std::uint8_t regionAt(int x, int y) const {
        return a.regionMask[static_cast<std::size_t>(y) * a.width + x];
    }
    void learn(Colour c) {
        const std::uint8_t px[4] = {c.b, c.g, c.r, 0};
        a.markBackgroundColour(px);
    }

    FrameAnalyzer a;
};

}  // namespace kestra::testing
