// The preview run end to end: the real helper on the simulated desktop, and
// its pictures checked by what they show. Each run costs seconds, so one test
// makes one run and checks everything about it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "backdrop/backdrop_buffer.h"
#include "backdrop/stack_blur.h"
#include "image_io.h"
#include "preview_run.h"
#include "scene.h"

namespace kestra::preview {
namespace {

namespace fs = std::filesystem;

fs::path freshFolder(const std::string& name) {
    const fs::path dir = fs::temp_directory_path() / ("kestra-preview-test-" + name);
    fs::remove_all(dir);
    return dir;
}

const Stage& stage(const PreviewResult& result, const std::string& suffix) {
    for (const Stage& s : result.stages) {
        if (s.file.size() >= suffix.size() && s.file.compare(s.file.size() - suffix.size(), suffix.size(), suffix) == 0) {
            return s;
        }
    }
    ADD_FAILURE() << "no stage " << suffix;
    static const Stage none;
    return none;
}

const PreviewWindow& window(const PreviewResult& result, const std::string& name) {
    for (const PreviewWindow& w : result.windows) {
        if (w.name == name) {
            return w;
        }
    }
    ADD_FAILURE() << "no window " << name;
    static const PreviewWindow none;
    return none;
}

RECT inset(const RECT& r, int left, int top, int right, int bottom) {
    return RECT{r.left + left, r.top + top, r.right - right, r.bottom - bottom};
}

sim::Colour inverted(sim::Colour c) {
    return sim::bgra(static_cast<std::uint8_t>(255 - sim::redOf(c)), static_cast<std::uint8_t>(255 - sim::greenOf(c)),
                     static_cast<std::uint8_t>(255 - sim::blueOf(c)));
}

bool sameColour(sim::Colour a, sim::Colour b) {
    return (a & 0x00FFFFFFu) == (b & 0x00FFFFFFu);
}

// Share of the pixels of r where pred(before, after) holds.
template <typename Pred>
double shareOf(const sim::Image& before, const sim::Image& after, const RECT& r, Pred pred) {
    std::size_t hits = 0;
    std::size_t total = 0;
    for (int y = r.top; y < r.bottom; ++y) {
        for (int x = r.left; x < r.right; ++x) {
            ++total;
            hits += pred(before.pixel(x, y), after.pixel(x, y)) ? 1 : 0;
        }
    }
    return total == 0 ? 0.0 : static_cast<double>(hits) / static_cast<double>(total);
}

// Relative luminance of an sRGB colour (WCAG 2).
double luminance(sim::Colour c) {
    auto channel = [](std::uint8_t v) {
        const double s = v / 255.0;
        return s <= 0.03928 ? s / 12.92 : std::pow((s + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * channel(sim::redOf(c)) + 0.7152 * channel(sim::greenOf(c)) + 0.0722 * channel(sim::blueOf(c));
}

double contrastRatio(double l1, double l2) {
    return (std::max(l1, l2) + 0.05) / (std::min(l1, l2) + 0.05);
}

// What the glass effect puts behind a window: the desktop behind it, toned
// and stack-blurred as the helper's backdrop does it.
sim::Image expectedBackdrop(const sim::Image& behind, const GlassSettings& glass) {
    sim::Image image = behind;
    BackdropBuffer buffer;
    buffer.frame = image.pixels.data();
    buffer.width = image.width;
    buffer.height = image.height;
    buffer.pixelCount = image.width * image.height;
    buffer.rowBytes = image.width * 4;
    buffer.lastRowOffset = (image.height - 1) * buffer.rowBytes;
    buffer.byteSize = buffer.pixelCount * 4;
    buffer.backdropBrightness = glass.brightness;
    scaleBrightness(buffer);
    measureBrightness(buffer);
    stackBlur(image.pixels.data(), static_cast<std::uint32_t>(image.width), static_cast<std::uint32_t>(image.height),
              static_cast<std::uint32_t>(glass.radius));
    if (glass.contentOpacity < 0.2f && buffer.isBright && glass.radius >= 8) {
        liftDarkPixels(image.pixels.data(), static_cast<std::uint32_t>(buffer.byteSize));
    }
    return image;
}

// Pixels of a window that show its plain background with no glyph within
// `margin` pixels: where the glass backdrop must show through untouched.
std::vector<POINT> plainBackground(const sim::Image& before, const RECT& r, sim::Colour background, int margin) {
    std::vector<POINT> points;
    for (int y = r.top + margin; y < r.bottom - margin; ++y) {
        for (int x = r.left + margin; x < r.right - margin; ++x) {
            bool plain = true;
            for (int dy = -margin; dy <= margin && plain; ++dy) {
                for (int dx = -margin; dx <= margin && plain; ++dx) {
                    plain = sameColour(before.pixel(x + dx, y + dy), background);
                }
            }
            if (plain) {
                points.push_back(POINT{x, y});
            }
        }
    }
    return points;
}

struct PreviewRun {
    int exitCode = -1;
    std::string out;
    std::string err;
    PreviewResult result;
};

PreviewRun runWith(const std::vector<std::string>& args) {
    PreviewRun run;
    std::ostringstream out;
    std::ostringstream err;
    run.exitCode = previewMain(args, out, err, &run.result);
    run.out = out.str();
    run.err = err.str();
    return run;
}

void expectPngsMatch(const PreviewRun& run, const fs::path& dir) {
    for (const Stage& s : run.result.stages) {
        sim::Image read;
        std::string error;
        ASSERT_TRUE(readPng((dir / s.file).string(), read, error)) << error;
        EXPECT_TRUE(read == s.image) << s.file << " differs from what the desktop showed";
        EXPECT_NE(run.out.find(s.file), std::string::npos) << "the report does not name " << s.file;
    }
    EXPECT_TRUE(fs::exists(dir / "contact-sheet.png"));
}

// The dark stage of the built-in scene: the document's page inverted, the
// picture's photo untouched, the dark editor left as it is.
void checkDarkStage(const PreviewResult& result, double scale) {
    const sim::Image& before = stage(result, "-before.png").image;
    const sim::Image& dark = stage(result, "-dark.png").image;
    const int titleBar = static_cast<int>(std::lround(34 * scale));

    // The pixel passes leave the last two rows of a frame as captured, so the
    // bottom two rows of every overlay show the window's own colours; they are
    // left out here.
    const RECT page = inset(window(result, "document").rect, 0, titleBar, 0, 2);
    const double invertedShare =
        shareOf(before, dark, page, [](sim::Colour b, sim::Colour a) { return sameColour(a, inverted(b)); });
    std::printf("document page inverted: %.5f\n", invertedShare);
    EXPECT_EQ(invertedShare, 1.0) << "the document's text area is not inverted";

    const PreviewWindow& picture = window(result, "picture");
    ASSERT_TRUE(picture.hasPhoto);
    const double photoKept =
        shareOf(before, dark, picture.photoRect, [](sim::Colour b, sim::Colour a) { return sameColour(a, b); });
    std::printf("photo unchanged: %.5f\n", photoKept);
    EXPECT_EQ(photoKept, 1.0) << "the photo was changed by the dark effect";
    const RECT caption =
        RECT{picture.photoRect.right + 8, picture.photoRect.top, picture.rect.right, picture.rect.bottom - 2};
    const double captionInverted =
        shareOf(before, dark, caption, [](sim::Colour b, sim::Colour a) { return sameColour(a, inverted(b)); });
    std::printf("caption inverted: %.5f\n", captionInverted);
    EXPECT_EQ(captionInverted, 1.0) << "the text beside the photo is not inverted";

    const RECT editor = window(result, "editor").rect;
    const double editorKept = shareOf(before, dark, editor, [](sim::Colour b, sim::Colour a) { return sameColour(a, b); });
    EXPECT_EQ(editorKept, 1.0) << "the dark editor was not left alone";

    // Outside every window the wallpaper stays.
    const RECT corner{0, before.height - 10, 10, before.height};
    EXPECT_EQ(shareOf(before, dark, corner, [](sim::Colour b, sim::Colour a) { return sameColour(a, b); }), 1.0);
}

// The glass stage: where the document shows only its page colour, the glass
// shows the wallpaper behind it, toned and blurred; its text stays legible.
void checkGlassStage(const PreviewResult& result, double scale, const GlassSettings& glass) {
    const sim::Image& before = stage(result, "-before.png").image;
    const sim::Image& shot = stage(result, "-glass.png").image;
    const RECT doc = window(result, "document").rect;
    const sim::Image expected = expectedBackdrop(result.wallpaper.crop(doc), glass);

    const std::vector<POINT> plain = plainBackground(before, doc, sim::bgra(250, 250, 248), 2);
    ASSERT_GT(plain.size(), 1000u);
    std::size_t exact = 0;
    int worst = 0;
    for (const POINT& p : plain) {
        const sim::Colour want = expected.pixel(p.x - doc.left, p.y - doc.top);
        const sim::Colour got = shot.pixel(p.x, p.y);
        exact += sameColour(want, got) ? 1 : 0;
        worst = std::max({worst, std::abs(sim::redOf(want) - sim::redOf(got)),
                          std::abs(sim::greenOf(want) - sim::greenOf(got)),
                          std::abs(sim::blueOf(want) - sim::blueOf(got))});
    }
    const double exactShare = static_cast<double>(exact) / static_cast<double>(plain.size());
    std::printf("glass background exact: %.5f of %zu, worst %d\n", exactShare, plain.size(), worst);
    EXPECT_GE(exactShare, 0.999) << "the document's page does not show the blurred, toned wallpaper";

    // Legibility: glyph cores (the darkest pixels of the text, fully covered
    // by a glyph) against the plain page around them, in the same rows.
    const int titleBar = static_cast<int>(std::lround(34 * scale));
    const RECT text = inset(doc, 0, titleBar, 0, 0);
    double glyphSum = 0;
    std::size_t glyphs = 0;
    for (int y = text.top; y < text.bottom; ++y) {
        for (int x = text.left; x < text.right; ++x) {
            if (luminance(before.pixel(x, y)) < 0.03) {
                glyphSum += luminance(shot.pixel(x, y));
                ++glyphs;
            }
        }
    }
    double pageSum = 0;
    for (const POINT& p : plain) {
        pageSum += luminance(shot.pixel(p.x, p.y));
    }
    ASSERT_GT(glyphs, 200u);
    const double ratio = contrastRatio(glyphSum / static_cast<double>(glyphs), pageSum / static_cast<double>(plain.size()));
    std::printf("glass text contrast %.2f:1 over %zu glyph pixels\n", ratio, glyphs);
    // 4.5:1 is the contrast WCAG 2 asks of body text (level AA); the page
    // before any effect has about 17:1.
    EXPECT_GE(ratio, 4.5) << "the text is not legible over the glass";
}

TEST(PreviewPictures, BuiltInSceneAtHalfSize) {
    const fs::path dir = freshFolder("half");
    const PreviewRun run = runWith({"--size", "960x540", "--out", dir.string()});
    ASSERT_EQ(run.exitCode, 0) << run.err << run.out;
    EXPECT_EQ(run.result.helperExitCode, 0);
    EXPECT_GT(run.result.commandsSent, 0);
    EXPECT_EQ(run.result.repliesReceived, run.result.commandsSent);
    ASSERT_EQ(run.result.stages.size(), 9u);
    expectPngsMatch(run, dir);
    checkDarkStage(run.result, 0.5);
    checkGlassStage(run.result, 0.5, GlassSettings{});
    EXPECT_NE(run.out.find("median"), std::string::npos);
}

}  // namespace
}  // namespace kestra::preview
