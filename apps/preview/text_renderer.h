// Text drawn with FreeType from a system font, anti-aliased, into the BGRA
// images that the simulated windows show.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/sim/desktop.h"

namespace kestra::preview {

inline constexpr const char* kSansFont = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";
inline constexpr const char* kSansBoldFont = "/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf";
inline constexpr const char* kMonoFont = "/usr/share/fonts/truetype/dejavu/DejaVuSansMono.ttf";

class Font {
  public:
    // Opens a font file; null (with error naming the file) when it cannot.
    static std::shared_ptr<Font> open(const std::string& path, std::string& error);
    ~Font();
    Font(const Font&) = delete;
    Font& operator=(const Font&) = delete;

    // Draws one line of text (Latin-1 / ASCII) with its baseline at y,
    // starting at x, blending the glyph coverage over what is in the image.
    // Returns the x after the last glyph.
    int draw(sim::Image& image, int x, int y, std::string_view text, int pixelSize, sim::Colour colour);
    // The advance width of a line of text.
    int measure(std::string_view text, int pixelSize);

  private:
    Font() = default;
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Splits text into lines no wider than width at pixelSize (at spaces).
std::vector<std::string> wrapText(Font& font, std::string_view text, int pixelSize, int width);

}  // namespace kestra::preview
