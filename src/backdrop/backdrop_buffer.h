// BackdropBuffer describes one backdrop frame (a capture's buffer, not owned)
// and carries the tone operations applied to it before it is blurred.
#pragma once

#include <cstdint>

namespace kestra {

struct BackdropBuffer {
    std::uint8_t* frame = nullptr;
    std::int32_t width = -1;
    std::int32_t height = -1;
    std::int32_t pixelCount = 0;
    std::int32_t rowBytes = 0;
    std::int32_t lastRowOffset = 0;
    std::int32_t byteSize = 0;
    bool isBright = false;
    float backdropBrightness = 0.75f;
};

// The kernels scaleBrightness can run with: automatic picks the widest one
// the build and the processor offer; the others pin one so that tests can
// compare them (they all give the same bytes).
enum class ToneKernel { automatic, scalar, sse2, avx2 };

// Pins (or with automatic, releases) the kernel; returns false, changing
// nothing, when this build or processor lacks it. resetBackdropState
// releases it.
bool selectToneKernel(ToneKernel kernel);

// Multiplies B, G and R of every pixel by backdropBrightness (saturating).
void scaleBrightness(BackdropBuffer& buffer);
// Writes into out (byteSize bytes) the frame as scaleBrightness would leave
// it, in one walk; the frame itself stays as it is.
void scaleBrightnessInto(const BackdropBuffer& buffer, std::uint8_t* out);
// Sets isBright when about 80 % of a 1-in-100 sample grid is brighter than 128.
void measureBrightness(BackdropBuffer& buffer);
// Lifts every pixel whose channel average is below 80 by 80 per channel.
void liftDarkPixels(std::uint8_t* image, std::uint32_t length);

}  // namespace kestra
