// libFuzzer target: every analysis walk over a frame, size and settings taken
// from the input. Build with clang and -DKESTRA_BUILD_FUZZ=ON; run
//   fuzz_analysis -max_total_time=60
// Frames and masks have their exact sizes, so the address sanitizer reports
// any access outside them.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "analysis/frame_analyzer.h"
#include "platform/heap.h"

namespace {

// Reads the input front to back; past its end every value is 0.
class Input {
  public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    std::uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
    std::uint16_t word() { return static_cast<std::uint16_t>(byte() | (byte() << 8)); }
    float opacity() { return static_cast<float>(static_cast<int>(byte()) - 64) / 64.0f; }  // -1 .. 3
    std::size_t left() const { return size_ - at_; }

  private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

// Lent to each run's analyzer and taken back at its end.
kestra::HeapBuffer& sharedTable(int which) {
    static kestra::HeapBuffer tables[2] = {kestra::heapAllocate(kestra::kColourTableBytes, true),
                                           kestra::heapAllocate(kestra::kColourTableBytes, true)};
    return tables[which];
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace kestra;
    Input in(data, size);
    const int width = 1 + in.byte() % 160;
    const int height = 1 + in.byte() % 120;
    const std::int32_t extent = static_cast<std::int16_t>(in.word());
    const std::uint8_t flags = in.byte();
    const std::size_t pixels = static_cast<std::size_t>(width) * height;

    std::unique_ptr<std::uint8_t[]> frame(new std::uint8_t[pixels * 4]);
    HeapBuffer backdrop = heapAllocate(pixels * 4, false);
    // A palette of eight colours, then one byte per pixel: mostly palette
    // entries (long equal runs, learnable colours), the rest raw.
    std::uint8_t palette[8][3];
    for (auto& colour : palette) {
        for (auto& channel : colour) {
            channel = in.byte();
        }
    }
    for (std::size_t i = 0; i < pixels; ++i) {
        const std::uint8_t v = in.left() > 0 ? in.byte() : static_cast<std::uint8_t>(i / 7);
        std::uint8_t* p = frame.get() + i * 4;
        if (v < 200) {
            std::memcpy(p, palette[v % 8], 3);
        } else {
            p[0] = v;
            p[1] = static_cast<std::uint8_t>(v * 3);
            p[2] = static_cast<std::uint8_t>(i);
        }
        p[3] = 0xA5;
        backdrop[i * 4] = static_cast<std::uint8_t>(i * 13);
        backdrop[i * 4 + 1] = static_cast<std::uint8_t>(i * 7);
        backdrop[i * 4 + 2] = static_cast<std::uint8_t>(i);
        backdrop[i * 4 + 3] = 0;
    }

    HeapBuffer& seen = sharedTable(0);
    HeapBuffer& background = sharedTable(1);
    std::memset(seen.get(), 0, kColourTableBytes);
    std::memset(background.get(), 0, kColourTableBytes);

    FrameAnalyzer a;
    a.width = width;
    a.height = height;
    a.frame = frame.get();
    a.threadCount = 1 + (flags & 3) % 3;
    a.seenColourTable = std::move(seen);
    if ((flags & 4) != 0) {
        a.limitTop = in.byte() - 8;
        a.limitBottom = in.byte() - 8;
        a.limitLeft = in.byte() - 8;
        a.limitRight = in.byte() - 8;
    }
    a.configureGeometryFor(extent);
    a.visitedMask = a.pixelCount > 0 ? heapAllocate(static_cast<std::size_t>(a.pixelCount), false) : nullptr;
    a.recolourMask = a.visitedMask.get() != nullptr ? a.regionMask.get() : nullptr;
    a.backgroundColourTable = std::move(background);
    a.verticalTolerance = static_cast<std::int32_t>(static_cast<double>(height) * 0.037037037037037035);
    if ((flags & 8) != 0) {
        a.backdropImage = std::move(backdrop);
    }
    a.photoOpacity = in.opacity();
    a.photoOpacityComplement = 1.0f - a.photoOpacity;
    a.foregroundOpacity = in.opacity();
    a.contentOpacityHigh = (flags & 16) != 0;
    a.backdropBright = (flags & 32) != 0;
    a.isDarkContent = (flags & 64) != 0;
    a.frameInverted = (flags & 128) != 0;
    for (int i = 0; i < 8; ++i) {
        a.markBackgroundColour(palette[in.byte() % 8]);
        if (in.byte() % 2 == 0) {
            break;
        }
    }

    a.learnBackgroundColours();
    a.measureDarkness();
    a.detectPhotoRegions();
    a.recolourForeground();
    a.isTextured(static_cast<std::int32_t>(in.word()) * 4 - 64, static_cast<std::int8_t>(in.byte()));

    for (std::size_t i = 0; i < pixels; ++i) {
        if (frame[i * 4 + 3] != 0xA5) {
            __builtin_trap();  // the fourth byte is never touched
        }
    }
    seen = std::move(a.seenColourTable);
    background = std::move(a.backgroundColourTable);
    a.recolourMask = nullptr;
    a.releaseAnalyzer();
    return 0;
}
