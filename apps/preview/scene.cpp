#include "scene.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <string_view>

namespace kestra::preview {

namespace {

struct Rgb {
    float r = 0;
    float g = 0;
    float b = 0;
};

Rgb mix(const Rgb& a, const Rgb& b, float t) {
    t = std::clamp(t, 0.0f, 1.0f);
    return {a.r + (b.r - a.r) * t, a.g + (b.g - a.g) * t, a.b + (b.b - a.b) * t};
}

Rgb add(const Rgb& a, const Rgb& b, float weight) {
    return {a.r + b.r * weight, a.g + b.g * weight, a.b + b.b * weight};
}

std::uint8_t toByte(float v) {
    return static_cast<std::uint8_t>(std::clamp(v + 0.5f, 0.0f, 255.0f));
}

std::uint32_t hash3(std::uint32_t x, std::uint32_t y, std::uint32_t seed) {
    std::uint32_t h = x * 374761393u + y * 668265263u + seed * 2246822519u;
    h = (h ^ (h >> 13)) * 1274126177u;
    return h ^ (h >> 16);
}

// White noise in [-1, 1].
float grain(int x, int y, std::uint32_t seed) {
    return static_cast<float>(hash3(static_cast<std::uint32_t>(x), static_cast<std::uint32_t>(y), seed) &
                              0xFFFFu) /
               32767.5f -
           1.0f;
}

// Smooth value noise in [-1, 1] with cells of `cell` pixels.
float valueNoise(float x, float y, float cell, std::uint32_t seed) {
    const float fx = x / cell;
    const float fy = y / cell;
    const int ix = static_cast<int>(std::floor(fx));
    const int iy = static_cast<int>(std::floor(fy));
    float tx = fx - static_cast<float>(ix);
    float ty = fy - static_cast<float>(iy);
    tx = tx * tx * (3 - 2 * tx);
    ty = ty * ty * (3 - 2 * ty);
    const float a = grain(ix, iy, seed);
    const float b = grain(ix + 1, iy, seed);
    const float c = grain(ix, iy + 1, seed);
    const float d = grain(ix + 1, iy + 1, seed);
    return (a + (b - a) * tx) + ((c + (d - c) * tx) - (a + (b - a) * tx)) * ty;
}

struct Palette {
    Rgb skyTop, skyMiddle, horizon, sun, far, near, ground;
    float sunX, sunY;
    float grainAmount;
    bool lake;
    std::uint32_t seed;
};

// The desktop wallpaper: a dusk sky over dark hills, the sun to the right.
constexpr Palette kWallpaperPalette{.skyTop = {26, 42, 92},
                                    .skyMiddle = {170, 104, 128},
                                    .horizon = {246, 176, 112},
                                    .sun = {255, 196, 140},
                                    .far = {74, 62, 104},
                                    .near = {34, 48, 64},
                                    .ground = {14, 20, 30},
                                    .sunX = 0.68f,
                                    .sunY = 0.58f,
                                    .grainAmount = 4.0f,
                                    .lake = false,
                                    .seed = 1};

// The photo in the viewer window: a brighter evening over a lake, more grain.
constexpr Palette kPhotoPalette{.skyTop = {40, 70, 140},
                                .skyMiddle = {120, 140, 190},
                                .horizon = {250, 196, 140},
                                .sun = {255, 220, 170},
                                .far = {90, 80, 110},
                                .near = {40, 70, 50},
                                .ground = {20, 36, 52},
                                .sunX = 0.3f,
                                .sunY = 0.6f,
                                .grainAmount = 9.0f,
                                .lake = true,
                                .seed = 5};

// A landscape at dusk: sky gradient with clouds and a sun glow, soft light
// blobs, two ranges of hills, an optional lake mirroring the sky, film grain.
sim::Image landscape(int width, int height, const Palette& p) {
    sim::Image image(std::max(width, 1), std::max(height, 1));
    const float w = static_cast<float>(image.width);
    const float h = static_cast<float>(image.height);
    const float scale = h / 1080.0f;
    struct Blob {
        float x, y, radius, weight;
        Rgb colour;
    };
    std::vector<Blob> blobs;
    for (std::uint32_t i = 0; i < 9; ++i) {
        const float bx = static_cast<float>(hash3(i, 1, p.seed) % 1000) / 1000.0f;
        const float by = 0.05f + 0.45f * static_cast<float>(hash3(i, 2, p.seed) % 1000) / 1000.0f;
        const float br = 0.04f + 0.10f * static_cast<float>(hash3(i, 3, p.seed) % 1000) / 1000.0f;
        blobs.push_back({bx, by, br, 0.18f + 0.1f * static_cast<float>(i % 3),
                         mix(p.sun, p.skyTop, 0.3f * static_cast<float>(i % 4))});
    }
    for (int y = 0; y < image.height; ++y) {
        const float v = (static_cast<float>(y) + 0.5f) / h;
        std::uint8_t* row = image.row(y);
        for (int x = 0; x < image.width; ++x) {
            const float u = (static_cast<float>(x) + 0.5f) / w;
            const float px = static_cast<float>(x) / scale;
            const float py = static_cast<float>(y) / scale;
            Rgb c = v < 0.45f ? mix(p.skyTop, p.skyMiddle, v / 0.45f)
                              : mix(p.skyMiddle, p.horizon, (v - 0.45f) / 0.2f);
            const float cloud = valueNoise(px, py * 2.5f, 180.0f, p.seed + 7) * 0.6f +
                                valueNoise(px, py * 2.0f, 60.0f, p.seed + 8) * 0.4f;
            c = add(c, Rgb{255, 235, 225}, std::max(cloud, 0.0f) * 0.12f * (1.0f - v));
            const float dx = (u - p.sunX) * w / h;
            const float dy = v - p.sunY;
            const float d2 = dx * dx + dy * dy;
            c = add(c, p.sun, 0.55f * std::exp(-d2 / 0.02f) + 0.35f * std::exp(-d2 / 0.0015f));
            for (const Blob& b : blobs) {
                const float bx = (u - b.x) * w / h;
                const float by = v - b.y;
                const float r2 = (bx * bx + by * by) / (b.radius * b.radius);
                if (r2 < 4.0f) {
                    c = add(c, b.colour, b.weight * std::exp(-r2 * 1.6f));
                }
            }
            float ridgeFar = 0.60f + 0.05f * std::sin(u * 7.0f + 1.0f) + 0.025f * std::sin(u * 19.0f + 2.0f) +
                             0.02f * valueNoise(px, 0, 90.0f, p.seed + 11);
            float ridgeNear = 0.74f + 0.045f * std::sin(u * 4.0f + 3.0f) + 0.02f * std::sin(u * 13.0f) +
                              0.015f * valueNoise(px, 0, 40.0f, p.seed + 12);
            if (p.lake) {
                ridgeNear = std::max(ridgeNear, 0.70f);
            }
            if (v > ridgeFar) {
                c = mix(p.far, c, 0.25f * std::exp(-(v - ridgeFar) * 12.0f));
            }
            if (p.lake && v > 0.80f) {
                // The lake mirrors the sky above the far hills, darker and rippled.
                const float mirrored = 1.6f - v;
                const float ripple = 0.012f * valueNoise(px * 0.2f, py * 3.0f, 12.0f, p.seed + 21);
                Rgb sky = mix(p.skyMiddle, p.horizon, (mirrored + ripple - 0.45f) / 0.2f);
                c = mix(sky, p.ground, 0.35f + (v - 0.8f) * 1.5f);
            } else if (v > ridgeNear) {
                const float depth = (v - ridgeNear) / std::max(1.0f - ridgeNear, 0.01f);
                c = mix(p.near, p.ground, depth);
                c = add(
                    c, Rgb{9, 11, 5},
                    valueNoise(px, py, 70.0f, p.seed + 13) + 0.5f * valueNoise(px, py, 23.0f, p.seed + 14));
            }
            const float g = grain(x, y, p.seed) * p.grainAmount;
            c = add(c, Rgb{1, 1, 1}, g);
            std::uint8_t* out = row + 4 * static_cast<std::size_t>(x);
            out[0] = toByte(c.b);
            out[1] = toByte(c.g);
            out[2] = toByte(c.r);
            out[3] = 255;
        }
    }
    return image;
}

constexpr const char* kDocumentParagraphs[] = {
    "The spring release brings the redesigned settings window, faster start-up on older machines and a "
    "cleaner import of shared calendars. Every team has reviewed its open items below; the remaining risks "
    "are listed at the end of this note.",
    "Design signed off the new colour scheme last week. The icons still need a final pass at small sizes, "
    "and the dark theme of the preferences dialog shows two labels with too little contrast.",
    "Engineering finished the migration of the storage layer. Import of large archives is now three times "
    "faster, and memory use while indexing stays below two hundred megabytes on every test machine.",
    "Support asks for a short guide to the new shortcuts and for a way to restore the old toolbar layout. "
    "Both are planned for the first update after the release.",
    "Open risks: the installer on locked-down office machines, translations of the new settings pages into "
    "three languages, and the accessibility review of the calendar view, which is booked for next month.",
};

constexpr const char* kPictureCaption =
    "Evening light over the lake, taken from the north shore a few minutes after sunset. The hills on the "
    "far side keep the last warm colours while the water turns blue. Shot on a small travel camera at "
    "ISO 400, without a tripod.";

constexpr const char* kCodeLines[] = {
    "// Tone the backdrop before it is blurred.",
    "#include <algorithm>",
    "#include <cstdint>",
    "",
    "namespace demo {",
    "",
    "struct Backdrop {",
    "    std::uint8_t* pixels = nullptr;",
    "    int width = 0;",
    "    int height = 0;",
    "    float brightness = 0.75f;",
    "};",
    "",
    "void scaleBrightness(Backdrop& b) {",
    "    const int count = b.width * b.height * 4;",
    "    for (int i = 0; i < count; i += 4) {",
    "        for (int c = 0; c < 3; ++c) {",
    "            float v = b.pixels[i + c] * b.brightness;",
    "            b.pixels[i + c] = static_cast<std::uint8_t>(std::min(v, 255.0f));",
    "        }",
    "    }",
    "}",
    "",
    "}  // namespace demo",
};

int scaled(double value, double scale) {
    return std::max(1, static_cast<int>(std::lround(value * scale)));
}

void drawTitleBar(sim::Image& img, Font& font, const std::string& title, double scale, sim::Colour bar,
                  sim::Colour text) {
    const int height = scaled(34, scale);
    img.fillRect(RECT{0, 0, img.width, height}, bar);
    const int size = scaled(14, scale);
    font.draw(img, scaled(14, scale), (height + size) / 2 - scaled(2, scale), title, size, text);
    // The three caption buttons as small marks on the right.
    for (int i = 0; i < 3; ++i) {
        const int cx = img.width - scaled(22 + 34 * i, scale);
        const int cy = height / 2;
        const int r = scaled(5, scale);
        img.fillRect(RECT{cx - r, cy, cx + r, cy + std::max(1, scaled(1.5, scale))}, text);
    }
}

sim::Content documentContent(const Fonts& fonts, double scale, int scroll) {
    std::shared_ptr<Font> sans = fonts.sans;
    std::shared_ptr<Font> bold = fonts.bold;
    return sim::Content::painter([sans, bold, scale, scroll](sim::Image& img) {
        img.fill(sim::bgra(250, 250, 248));
        const int margin = scaled(36, scale);
        int y = scaled(34, scale) + scaled(52, scale) - scroll;
        bold->draw(img, margin, y, "Spring release planning", scaled(26, scale), sim::bgra(24, 24, 28));
        y += scaled(20, scale);
        const int size = scaled(16, scale);
        const int lineHeight = scaled(25, scale);
        bool full = false;
        for (const char* paragraph : kDocumentParagraphs) {
            y += scaled(14, scale);
            for (const std::string& line : wrapText(*sans, paragraph, size, img.width - 2 * margin)) {
                y += lineHeight;
                if (y > img.height - scaled(12, scale)) {
                    full = true;
                    break;
                }
                sans->draw(img, margin, y, line, size, sim::bgra(34, 34, 38));
            }
            if (full) {
                break;
            }
        }
        // The title bar stays while the text scrolls under it.
        drawTitleBar(img, *sans, "Release notes.txt - Writer", scale, sim::bgra(232, 232, 236),
                     sim::bgra(40, 40, 48));
    });
}

sim::Content pictureContent(const Fonts& fonts, double scale) {
    std::shared_ptr<Font> sans = fonts.sans;
    std::shared_ptr<Font> bold = fonts.bold;
    return sim::Content::painter([sans, bold, scale](sim::Image& img) {
        img.fill(sim::bgra(246, 246, 246));
        drawTitleBar(img, *sans, "lake-at-dusk.jpg - Photos", scale, sim::bgra(228, 230, 234),
                     sim::bgra(40, 40, 48));
        const RECT photo = photoRectFor(img.width, img.height, scale);
        img.draw(makePhoto(photo.right - photo.left, photo.bottom - photo.top), photo.left, photo.top);
        const int left = photo.right + scaled(28, scale);
        int y = photo.top + scaled(30, scale);
        bold->draw(img, left, y, "Lake at dusk", scaled(22, scale), sim::bgra(24, 24, 28));
        y += scaled(12, scale);
        const int size = scaled(15, scale);
        for (const std::string& line :
             wrapText(*sans, kPictureCaption, size, img.width - left - scaled(24, scale))) {
            y += scaled(23, scale);
            if (y > img.height - scaled(10, scale)) {
                break;
            }
            sans->draw(img, left, y, line, size, sim::bgra(50, 50, 56));
        }
    });
}

bool isWordChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_';
}

sim::Colour tokenColour(std::string_view word) {
    static constexpr std::string_view keywords[] = {"namespace",   "struct",  "void", "const",
                                                    "int",         "float",   "for",  "return",
                                                    "static_cast", "nullptr", "auto"};
    for (std::string_view k : keywords) {
        if (word == k) {
            return sim::bgra(198, 120, 221);
        }
    }
    if (std::isdigit(static_cast<unsigned char>(word.front())) != 0) {
        return sim::bgra(209, 154, 102);
    }
    if (word == "std" || word == "uint8_t" || word == "Backdrop") {
        return sim::bgra(229, 192, 123);
    }
    return sim::bgra(171, 178, 191);
}

// One line of code with a small highlighter: comments, preprocessor lines,
// includes, keywords, types, numbers.
void drawCodeLine(sim::Image& img, Font& mono, int x, int y, std::string_view line, int size) {
    const std::size_t comment = line.find("//");
    std::string_view code = line.substr(0, comment);
    if (!code.empty() && code.front() == '#') {
        const std::size_t space = code.find(' ');
        x = mono.draw(img, x, y, code.substr(0, space), size, sim::bgra(198, 120, 221));
        if (space != std::string_view::npos) {
            x = mono.draw(img, x, y, code.substr(space), size, sim::bgra(152, 195, 121));
        }
        code = {};
    }
    std::size_t i = 0;
    while (i < code.size()) {
        std::size_t j = i + 1;
        sim::Colour colour = sim::bgra(171, 178, 191);
        if (isWordChar(code[i])) {
            while (j < code.size() &&
                   (isWordChar(code[j]) || (code[j] == '.' && std::isdigit(code[i]) != 0))) {
                ++j;
            }
            colour = tokenColour(code.substr(i, j - i));
        } else {
            while (j < code.size() && !isWordChar(code[j])) {
                ++j;
            }
        }
        x = mono.draw(img, x, y, code.substr(i, j - i), size, colour);
        i = j;
    }
    if (comment != std::string_view::npos) {
        mono.draw(img, x, y, line.substr(comment), size, sim::bgra(106, 115, 132));
    }
}

sim::Content editorContent(const Fonts& fonts, double scale) {
    std::shared_ptr<Font> sans = fonts.sans;
    std::shared_ptr<Font> mono = fonts.mono;
    return sim::Content::painter([sans, mono, scale](sim::Image& img) {
        img.fill(sim::bgra(40, 44, 52));
        drawTitleBar(img, *sans, "backdrop.cpp - Code", scale, sim::bgra(33, 37, 43),
                     sim::bgra(190, 194, 202));
        const int gutter = scaled(54, scale);
        img.fillRect(RECT{0, scaled(34, scale), gutter, img.height}, sim::bgra(36, 40, 47));
        const int size = scaled(15, scale);
        const int lineHeight = scaled(22, scale);
        int y = scaled(34, scale) + scaled(10, scale);
        int number = 1;
        for (const char* line : kCodeLines) {
            y += lineHeight;
            if (y > img.height - scaled(6, scale)) {
                break;
            }
            const std::string digits = std::to_string(number++);
            mono->draw(img, gutter - scaled(12, scale) - mono->measure(digits, size), y, digits, size,
                       sim::bgra(99, 109, 131));
            drawCodeLine(img, *mono, gutter + scaled(14, scale), y, line, size);
        }
    });
}

}  // namespace

bool openFonts(Fonts& fonts, std::string& error) {
    fonts.sans = Font::open(kSansFont, error);
    if (fonts.sans == nullptr) {
        return false;
    }
    fonts.bold = Font::open(kSansBoldFont, error);
    if (fonts.bold == nullptr) {
        return false;
    }
    fonts.mono = Font::open(kMonoFont, error);
    return fonts.mono != nullptr;
}

sim::Image makeWallpaper(int width, int height) {
    return landscape(width, height, kWallpaperPalette);
}

sim::Image makePhoto(int width, int height) {
    return landscape(width, height, kPhotoPalette);
}

RECT photoRectFor(int width, int height, double scale) {
    const int margin = scaled(18, scale);
    const int top = scaled(34, scale) + margin;
    const int right = std::max(margin + 1, static_cast<int>(width * 0.56));
    return RECT{margin, top, right, std::max(top + 1, height - margin)};
}

Scene makeDefaultScene(int width, int height, const Fonts& fonts) {
    Scene scene;
    scene.width = width;
    scene.height = height;
    scene.wallpaper = makeWallpaper(width, height);
    const double scale = std::min(width / 1920.0, height / 1080.0);
    auto rectOf = [&](double x, double y, double w, double h) {
        const auto left = static_cast<LONG>(std::lround(x * width));
        const auto top = static_cast<LONG>(std::lround(y * height));
        return RECT{left, top, left + static_cast<LONG>(std::lround(w * width)),
                    top + static_cast<LONG>(std::lround(h * height))};
    };
    SceneWindow document;
    document.name = "document";
    document.rect = rectOf(0.05, 0.09, 0.36, 0.64);
    document.content = documentContent(fonts, scale, 0);
    document.scrolled = [fonts, scale](int offset) { return documentContent(fonts, scale, offset); };
    SceneWindow picture;
    picture.name = "picture";
    picture.rect = rectOf(0.46, 0.07, 0.46, 0.42);
    picture.content = pictureContent(fonts, scale);
    picture.hasPhoto = true;
    picture.photoRect =
        photoRectFor(picture.rect.right - picture.rect.left, picture.rect.bottom - picture.rect.top, scale);
    SceneWindow editor;
    editor.name = "editor";
    editor.rect = rectOf(0.48, 0.55, 0.44, 0.38);
    editor.content = editorContent(fonts, scale);
    editor.light = false;
    scene.windows = {editor, picture, document};
    return scene;
}

Scene makeScreenshotScene(const sim::Image& screenshot, const std::vector<RECT>& windows) {
    Scene scene;
    scene.builtIn = false;
    scene.width = screenshot.width;
    scene.height = screenshot.height;
    scene.wallpaper = screenshot;
    int number = 1;
    for (const RECT& r : windows) {
        SceneWindow w;
        w.name = "window " + std::to_string(number++);
        w.rect = r;
        const sim::Image pixels = screenshot.crop(r);
        // Light when most of it is: the helper leaves dark windows alone, so
        // the script drags and scrolls a light one, and gives glass to those.
        std::size_t lightPixels = 0;
        for (int y = 0; y < pixels.height; ++y) {
            for (int x = 0; x < pixels.width; ++x) {
                const sim::Colour c = pixels.pixel(x, y);
                lightPixels += (sim::redOf(c) + sim::greenOf(c) + sim::blueOf(c)) / 3 >= 127 ? 1 : 0;
            }
        }
        w.light = 2 * lightPixels >
                  static_cast<std::size_t>(pixels.width) * static_cast<std::size_t>(pixels.height);
        w.content = sim::Content::image(pixels);
        w.scrolled = [screenshot, r](int offset) {
            return sim::Content::image(
                screenshot.crop(RECT{r.left, r.top + offset, r.right, r.bottom + offset}));
        };
        scene.windows.push_back(w);
    }
    return scene;
}

}  // namespace kestra::preview
