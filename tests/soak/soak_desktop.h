// The small desktop of the long runs: one helper process per session on a
// fresh simulated desktop (a fresh machine), small windows of other
// applications with light, dark and photo-like content, and the frames the
// controller sends.
#pragma once

#include <cstdint>
#include <memory>
#include <random>
#include <string>

#include "channel/framing.h"
#include "platform/sim/desktop.h"

namespace kestra::testing {

// A desktop small enough that every frame cycle is cheap.
inline constexpr int kSoakScreenWidth = 160;
inline constexpr int kSoakScreenHeight = 100;

inline std::unique_ptr<sim::Desktop> makeSoakDesktop() {
    sim::DesktopOptions options;
    options.width = kSoakScreenWidth;
    options.height = kSoakScreenHeight;
    return std::make_unique<sim::Desktop>(options);
}

enum class Look { Light, Dark, Photo, LightWithPhoto };

inline const char* lookName(Look look) {
    switch (look) {
        case Look::Light:
            return "light";
        case Look::Dark:
            return "dark";
        case Look::Photo:
            return "photo";
        default:
            return "light with a photo";
    }
}

inline constexpr sim::Colour kLightPaper = sim::bgra(236, 238, 240);
inline constexpr sim::Colour kDarkPaper = sim::bgra(24, 26, 30);

// Photo-like pixels: smooth gradients with grain, many colours, no flat runs.
inline void paintPhoto(sim::Image& image, int left, int top, int right, int bottom, std::uint32_t seed) {
    std::minstd_rand grain(seed + 1);
    for (int y = top; y < bottom; ++y) {
        for (int x = left; x < right; ++x) {
            const auto g = static_cast<int>(grain() % 24);
            image.setPixel(x, y,
                           sim::bgra(static_cast<std::uint8_t>(60 + (x * 5 + g) % 150),
                                     static_cast<std::uint8_t>(90 + (y * 7 + g) % 120),
                                     static_cast<std::uint8_t>(40 + ((x + y) * 3 + g) % 170)));
        }
    }
}

// Light content keeps its left third plain, so that a probe there is away from
// any photo the window holds.
inline sim::Content lookContent(Look look, std::uint32_t seed) {
    switch (look) {
        case Look::Light:
            return sim::Content::solid(kLightPaper);
        case Look::Dark:
            return sim::Content::solid(kDarkPaper);
        case Look::Photo:
            return sim::Content::painter(
                [seed](sim::Image& image) { paintPhoto(image, 0, 0, image.width, image.height, seed); });
        default:
            return sim::Content::painter([seed](sim::Image& image) {
                image.fill(kLightPaper);
                paintPhoto(image, image.width / 2, image.height / 4, image.width, image.height, seed);
            });
    }
}

// The colour the dark effect shows for a pixel of light content.
inline sim::Colour inverted(sim::Colour c) {
    return sim::bgra(static_cast<std::uint8_t>(255 - sim::redOf(c)),
                     static_cast<std::uint8_t>(255 - sim::greenOf(c)),
                     static_cast<std::uint8_t>(255 - sim::blueOf(c)));
}

}  // namespace kestra::testing
