// Stack blur of a 32-bit frame in place (all four bytes of a pixel blurred
// alike), rows first, then columns, in bands on all OpenMP threads.
#pragma once

#include <cstdint>

namespace kestra {

inline constexpr std::uint32_t kMaxBlurRadius = 254;

// Multiplier and shift tables indexed by radius 0..254.
extern const std::uint16_t stackBlurMul[255];
extern const std::uint8_t stackBlurShr[255];

// Radius above 254 blurs as 254; below 2, or an empty frame, leaves it alone.
void stackBlur(std::uint8_t* pixels, std::uint32_t width, std::uint32_t height, std::uint32_t radius);

// One band of one direction (1 rows, 2 columns); stack holds 2r + 1 pixels.
void stackBlurPass(std::uint8_t* pixels, std::uint32_t width, std::uint32_t height, std::uint32_t radius,
                   std::uint32_t bandCount, std::uint32_t band, int direction, std::uint8_t* stack);

}  // namespace kestra
