#include "image_io.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#define STB_IMAGE_WRITE_IMPLEMENTATION
#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_PNG
#include <stb/stb_image.h>
#include <stb/stb_image_write.h>

namespace kestra::preview {

bool writePng(const std::string& path, const sim::Image& image) {
    if (image.empty()) {
        return false;
    }
    std::vector<std::uint8_t> rgb(static_cast<std::size_t>(image.width) * image.height * 3);
    for (int y = 0; y < image.height; ++y) {
        const std::uint8_t* src = image.row(y);
        std::uint8_t* dst = rgb.data() + static_cast<std::size_t>(y) * image.width * 3;
        for (int x = 0; x < image.width; ++x) {
            dst[3 * x + 0] = src[4 * x + 2];
            dst[3 * x + 1] = src[4 * x + 1];
            dst[3 * x + 2] = src[4 * x + 0];
        }
    }
    return stbi_write_png(path.c_str(), image.width, image.height, 3, rgb.data(), image.width * 3) != 0;
}

bool readPng(const std::string& path, sim::Image& image, std::string& error) {
    int width = 0;
    int height = 0;
    int channels = 0;
    std::uint8_t* data = stbi_load(path.c_str(), &width, &height, &channels, 4);
    if (data == nullptr) {
        const char* reason = stbi_failure_reason();
        error = "cannot read PNG '" + path + "': " + (reason != nullptr ? reason : "unknown error");
        return false;
    }
    image = sim::Image(width, height);
    for (int y = 0; y < height; ++y) {
        const std::uint8_t* src = data + static_cast<std::size_t>(y) * width * 4;
        std::uint8_t* dst = image.row(y);
        for (int x = 0; x < width; ++x) {
            // Transparent screenshots are shown as on a desktop: over black.
            const unsigned alpha = src[4 * x + 3];
            dst[4 * x + 0] = static_cast<std::uint8_t>(src[4 * x + 2] * alpha / 255);
            dst[4 * x + 1] = static_cast<std::uint8_t>(src[4 * x + 1] * alpha / 255);
            dst[4 * x + 2] = static_cast<std::uint8_t>(src[4 * x + 0] * alpha / 255);
            dst[4 * x + 3] = 255;
        }
    }
    stbi_image_free(data);
    return true;
}

sim::Image scaleDown(const sim::Image& source, int width, int height) {
    sim::Image out(std::max(width, 1), std::max(height, 1));
    if (source.empty()) {
        return out;
    }
    for (int y = 0; y < out.height; ++y) {
        const int y0 = static_cast<int>(static_cast<long long>(y) * source.height / out.height);
        const int y1 =
            std::max(y0 + 1, static_cast<int>(static_cast<long long>(y + 1) * source.height / out.height));
        for (int x = 0; x < out.width; ++x) {
            const int x0 = static_cast<int>(static_cast<long long>(x) * source.width / out.width);
            const int x1 =
                std::max(x0 + 1, static_cast<int>(static_cast<long long>(x + 1) * source.width / out.width));
            unsigned sum[3] = {0, 0, 0};
            unsigned count = 0;
            for (int yy = y0; yy < y1 && yy < source.height; ++yy) {
                const std::uint8_t* row = source.row(yy);
                for (int xx = x0; xx < x1 && xx < source.width; ++xx) {
                    sum[0] += row[4 * xx + 0];
                    sum[1] += row[4 * xx + 1];
                    sum[2] += row[4 * xx + 2];
                    ++count;
                }
            }
            count = std::max(count, 1u);
            std::uint8_t* dst = out.row(y) + 4 * static_cast<std::size_t>(x);
            dst[0] = static_cast<std::uint8_t>(sum[0] / count);
            dst[1] = static_cast<std::uint8_t>(sum[1] / count);
            dst[2] = static_cast<std::uint8_t>(sum[2] / count);
            dst[3] = 255;
        }
    }
    return out;
}

}  // namespace kestra::preview
