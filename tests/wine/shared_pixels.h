// Pixels that a test window publishes for the Magnification stand-in: Wine
// cannot render another process's window into a device context, so each test
// window writes its content into named shared memory keyed by its handle.
//
// Layout: SharedPixelsHeader, then width * height BGRA pixels, rows top-down.
#pragma once

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <string>

namespace winetest {

inline constexpr std::uint32_t kSharedPixelsMagic = 0x4B505831;  // "KPX1"

struct SharedPixelsHeader {
    std::uint32_t magic;
    std::uint32_t width;
    std::uint32_t height;
    std::uint32_t reserved;
};

inline std::string sharedPixelsName(HWND window) {
    char name[64];
    std::snprintf(name, sizeof(name), "Local\\kestra-wine-pixels-%016llX",
                  static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(window)));
    return name;
}

}  // namespace winetest
