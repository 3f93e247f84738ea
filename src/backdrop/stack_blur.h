// Stack blur of a 32-bit frame in place (all four bytes of a pixel blurred
// alike), rows first, then columns, in bands on all OpenMP threads.
#pragma once

#include <array>
#include <cstdint>

namespace kestra {

inline constexpr std::uint32_t kMaxBlurRadius = 254;
inline constexpr std::uint32_t kBlurTableSize = kMaxBlurRadius + 1;

namespace detail {

// ceil(2^shift / divisor) for the table rule below.
constexpr std::uint64_t ceilPowerOverDivisor(std::uint32_t shift, std::uint64_t divisor) {
    return ((std::uint64_t{1} << shift) + divisor - 1) / divisor;
}

// shr[r] is the largest s with ceil(2^s / (r + 1)^2) <= 512 and
// mul[r] = ceil(2^shr[r] / (r + 1)^2), so (sum * mul[r]) >> shr[r] divides a
// weighted sum by (r + 1)^2, the total weight of a window of radius r.
constexpr std::uint8_t blurShift(std::uint32_t radius) {
    const std::uint64_t divisor = std::uint64_t{radius + 1} * (radius + 1);
    std::uint32_t shift = 0;
    while (ceilPowerOverDivisor(shift + 1, divisor) <= 512) {
        ++shift;
    }
    return static_cast<std::uint8_t>(shift);
}

constexpr std::array<std::uint8_t, kBlurTableSize> makeBlurShiftTable() {
    std::array<std::uint8_t, kBlurTableSize> table{};
    for (std::uint32_t r = 0; r < kBlurTableSize; ++r) {
        table[r] = blurShift(r);
    }
    return table;
}

constexpr std::array<std::uint16_t, kBlurTableSize> makeBlurMultiplierTable() {
    std::array<std::uint16_t, kBlurTableSize> table{};
    for (std::uint32_t r = 0; r < kBlurTableSize; ++r) {
        table[r] =
            static_cast<std::uint16_t>(ceilPowerOverDivisor(blurShift(r), std::uint64_t{r + 1} * (r + 1)));
    }
    return table;
}

}  // namespace detail

// Multiplier and shift tables indexed by radius 0..254, derived at compile time.
inline constexpr std::array<std::uint16_t, kBlurTableSize> stackBlurMul = detail::makeBlurMultiplierTable();
inline constexpr std::array<std::uint8_t, kBlurTableSize> stackBlurShr = detail::makeBlurShiftTable();

// The kernels stackBlur can run with. automatic picks the widest one the
// build and the processor offer; the others pin one, so that tests can
// compare them (they all give the same bytes).
enum class BlurKernel { automatic, scalar, sse41, avx2 };

// Pins (or with automatic, releases) the kernel; returns false, changing
// nothing, when this build or processor lacks it.
bool selectBlurKernel(BlurKernel kernel);

// Returns the subsystem's process-wide state (the blur and tone kernel choices) to its
// start value.
void resetBackdropState();

// Radius above 254 blurs as 254; below 2, or an empty frame, leaves it alone.
// Uses the vector kernels where the target has them; the result is the same
// bytes as stackBlurPass over the same bands.
void stackBlur(std::uint8_t* pixels, std::uint32_t width, std::uint32_t height, std::uint32_t radius);

// The two passes of the blur: along the rows, then along the columns.
enum class BlurDirection { rows = 1, columns = 2 };

// One band of one direction; stack holds 2r + 1 pixels.
// This is the plain scalar form of the blur, kept as the reference that the
// vector kernels are checked against. A radius above 254 is used as 254.
void stackBlurPass(std::uint8_t* pixels, std::uint32_t width, std::uint32_t height, std::uint32_t radius,
                   std::uint32_t bandCount, std::uint32_t band, BlurDirection direction, std::uint8_t* stack);

}  // namespace kestra
