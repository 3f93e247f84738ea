#include "text_renderer.h"

#include <ft2build.h>
#include FT_FREETYPE_H

#include <algorithm>
#include <cstdint>
#include <vector>

namespace kestra::preview {

struct Font::Impl {
    FT_Library library = nullptr;
    FT_Face face = nullptr;
    int size = 0;

    void setSize(int pixelSize) {
        if (pixelSize != size) {
            FT_Set_Pixel_Sizes(face, 0, static_cast<FT_UInt>(std::max(pixelSize, 1)));
            size = pixelSize;
        }
    }
};

std::shared_ptr<Font> Font::open(const std::string& path, std::string& error) {
    std::shared_ptr<Font> font(new Font());
    font->impl_ = std::make_unique<Impl>();
    if (FT_Init_FreeType(&font->impl_->library) != 0) {
        error = "FreeType could not be initialised";
        return nullptr;
    }
    if (FT_New_Face(font->impl_->library, path.c_str(), 0, &font->impl_->face) != 0) {
        error = "cannot open font '" + path + "' (install fonts-dejavu-core)";
        return nullptr;
    }
    return font;
}

Font::~Font() {
    if (impl_ != nullptr) {
        if (impl_->face != nullptr) {
            FT_Done_Face(impl_->face);
        }
        if (impl_->library != nullptr) {
            FT_Done_FreeType(impl_->library);
        }
    }
}

int Font::draw(sim::Image& image, int x, int y, std::string_view text, int pixelSize, sim::Colour colour) {
    impl_->setSize(pixelSize);
    FT_Face face = impl_->face;
    const unsigned colourBytes[3] = {sim::blueOf(colour), sim::greenOf(colour), sim::redOf(colour)};
    long penX = static_cast<long>(x) * 64;
    FT_UInt previous = 0;
    for (unsigned char ch : text) {
        const FT_UInt glyph = FT_Get_Char_Index(face, ch);
        if (previous != 0 && glyph != 0 && FT_HAS_KERNING(face)) {
            FT_Vector kerning{};
            FT_Get_Kerning(face, previous, glyph, FT_KERNING_DEFAULT, &kerning);
            penX += kerning.x;
        }
        if (FT_Load_Glyph(face, glyph, FT_LOAD_RENDER) != 0) {
            continue;
        }
        const FT_GlyphSlot slot = face->glyph;
        const FT_Bitmap& bitmap = slot->bitmap;
        const int left = static_cast<int>(penX / 64) + slot->bitmap_left;
        const int top = y - slot->bitmap_top;
        for (unsigned row = 0; row < bitmap.rows; ++row) {
            const int py = top + static_cast<int>(row);
            if (py < 0 || py >= image.height) {
                continue;
            }
            const std::uint8_t* coverage = bitmap.buffer + static_cast<long>(row) * bitmap.pitch;
            std::uint8_t* dst = image.row(py);
            for (unsigned column = 0; column < bitmap.width; ++column) {
                const int px = left + static_cast<int>(column);
                const unsigned a = coverage[column];
                if (px < 0 || px >= image.width || a == 0) {
                    continue;
                }
                std::uint8_t* p = dst + 4 * static_cast<std::size_t>(px);
                for (int c = 0; c < 3; ++c) {
                    p[c] = static_cast<std::uint8_t>((colourBytes[c] * a + p[c] * (255 - a) + 127) / 255);
                }
            }
        }
        penX += slot->advance.x;
        previous = glyph;
    }
    return static_cast<int>(penX / 64);
}

int Font::measure(std::string_view text, int pixelSize) {
    impl_->setSize(pixelSize);
    FT_Face face = impl_->face;
    long width = 0;
    FT_UInt previous = 0;
    for (unsigned char ch : text) {
        const FT_UInt glyph = FT_Get_Char_Index(face, ch);
        if (previous != 0 && glyph != 0 && FT_HAS_KERNING(face)) {
            FT_Vector kerning{};
            FT_Get_Kerning(face, previous, glyph, FT_KERNING_DEFAULT, &kerning);
            width += kerning.x;
        }
        if (FT_Load_Glyph(face, glyph, FT_LOAD_DEFAULT) == 0) {
            width += face->glyph->advance.x;
        }
        previous = glyph;
    }
    return static_cast<int>(width / 64);
}

std::vector<std::string> wrapText(Font& font, std::string_view text, int pixelSize, int width) {
    std::vector<std::string> lines;
    std::string line;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find(' ', pos);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        const std::string word(text.substr(pos, end - pos));
        const std::string candidate = line.empty() ? word : line + " " + word;
        if (!line.empty() && font.measure(candidate, pixelSize) > width) {
            lines.push_back(line);
            line = word;
        } else {
            line = candidate;
        }
        pos = end + 1;
    }
    if (!line.empty()) {
        lines.push_back(line);
    }
    return lines;
}

}  // namespace kestra::preview
