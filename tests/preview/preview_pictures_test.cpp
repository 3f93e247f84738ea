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

#include <sys/wait.h>
#include <unistd.h>

#include "backdrop/backdrop_buffer.h"
#include "backdrop/stack_blur.h"
#include "image_io.h"
#include "preview_run.h"
#include "scene.h"

namespace kestra::preview {
namespace {

namespace fs = std::filesystem;

fs::path freshFolder(const std::string& name) {
    // The process id keeps runs of several builds at the same time apart.
    const fs::path dir =
        fs::temp_directory_path() / ("kestra-preview-test-" + name + "-" + std::to_string(getpid()));
    fs::remove_all(dir);
    return dir;
}

const Stage& stage(const PreviewResult& result, const std::string& suffix) {
    for (const Stage& s : result.stages) {
        if (s.file.size() >= suffix.size() &&
            s.file.compare(s.file.size() - suffix.size(), suffix.size(), suffix) == 0) {
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
    return sim::bgra(static_cast<std::uint8_t>(255 - sim::redOf(c)),
                     static_cast<std::uint8_t>(255 - sim::greenOf(c)),
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
    return 0.2126 * channel(sim::redOf(c)) + 0.7152 * channel(sim::greenOf(c)) +
           0.0722 * channel(sim::blueOf(c));
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
    stackBlur(image.pixels.data(), static_cast<std::uint32_t>(image.width),
              static_cast<std::uint32_t>(image.height), static_cast<std::uint32_t>(glass.radius));
    if (glass.contentOpacity < 0.2f && buffer.isBright && glass.radius >= 8) {
        liftDarkPixels(image.pixels.data(), static_cast<std::uint32_t>(buffer.byteSize));
    }
    return image;
}

// Pixels of a window that show its plain background with no glyph within
// `margin` pixels: where the glass backdrop must show through untouched.
std::vector<POINT> plainBackground(const sim::Image& before, const RECT& r, sim::Colour background,
                                   int margin) {
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

// Removes a test's folder when the test passed; a failed test keeps its
// pictures for a look.
void cleanUp(const fs::path& dir) {
    if (!::testing::Test::HasFailure()) {
        fs::remove_all(dir);
    }
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
    EXPECT_EQ(invertedShare, 1.0) << "the document's text area is not inverted";

    const PreviewWindow& picture = window(result, "picture");
    ASSERT_TRUE(picture.hasPhoto);
    const double photoKept = shareOf(before, dark, picture.photoRect,
                                     [](sim::Colour b, sim::Colour a) { return sameColour(a, b); });
    EXPECT_EQ(photoKept, 1.0) << "the photo was changed by the dark effect";
    const RECT caption =
        RECT{picture.photoRect.right + 8, picture.photoRect.top, picture.rect.right, picture.rect.bottom - 2};
    const double captionInverted = shareOf(
        before, dark, caption, [](sim::Colour b, sim::Colour a) { return sameColour(a, inverted(b)); });
    EXPECT_EQ(captionInverted, 1.0) << "the text beside the photo is not inverted";

    const RECT editor = window(result, "editor").rect;
    const double editorKept =
        shareOf(before, dark, editor, [](sim::Colour b, sim::Colour a) { return sameColour(a, b); });
    EXPECT_EQ(editorKept, 1.0) << "the dark editor was not left alone";

    // Outside every window the wallpaper stays.
    const RECT corner{0, before.height - 10, 10, before.height};
    EXPECT_EQ(shareOf(before, dark, corner, [](sim::Colour b, sim::Colour a) { return sameColour(a, b); }),
              1.0);
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
    EXPECT_EQ(exactShare, 1.0)
        << "the document's page does not show the blurred, toned wallpaper (worst channel off by " << worst
        << ")";

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
    const double ratio =
        contrastRatio(glyphSum / static_cast<double>(glyphs), pageSum / static_cast<double>(plain.size()));
    ::testing::Test::RecordProperty("glassTextContrast", std::to_string(ratio));
    // 4.5:1 is the contrast WCAG 2 asks of body text (level AA); the page
    // before any effect has about 17:1.
    EXPECT_GE(ratio, 4.5) << "the text is not legible over the glass";
}

TEST(PreviewPictures, BuiltInSceneAtHalfSize) {
    const fs::path dir = freshFolder("half");
    const PreviewRun run = runWith({"--size", "960x540", "--turn-cost", "10", "--out", dir.string()});
    ASSERT_EQ(run.exitCode, 0) << run.err << run.out;
    EXPECT_EQ(run.result.helperExitCode, 0);
    EXPECT_GT(run.result.commandsSent, 0);
    EXPECT_EQ(run.result.repliesReceived, run.result.commandsSent);
    ASSERT_EQ(run.result.stages.size(), 9u);
    expectPngsMatch(run, dir);
    checkDarkStage(run.result, 0.5);
    checkGlassStage(run.result, 0.5, GlassSettings{});
    EXPECT_NE(run.out.find("median"), std::string::npos);
    // The meter saw the frames the script caused: one dark and one glass
    // frame for each of the 12 scroll steps of the document, and the backdrop
    // recomposed while it was live after the window changed.
    ASSERT_EQ(run.result.timings.size(), 5u);
    EXPECT_GE(run.result.timings[0].count, 12u) << run.result.timings[0].label;
    EXPECT_GE(run.result.timings[1].count, 12u) << run.result.timings[1].label;
    EXPECT_GT(run.result.timings[2].count, 0u) << run.result.timings[2].label;
    for (const TimingLine& line : run.result.timings) {
        if (line.count > 0) {
            EXPECT_GT(line.medianMs, 0.0) << line.label;
            EXPECT_LE(line.medianMs, line.worstMs) << line.label;
        }
    }
    // Between the script's steps nothing changes for a while: the helper
    // waits for messages then (little of the time here, with 10 ms turns and
    // four windows a round takes longer than a frame), and says how long.
    EXPECT_NE(run.out.find("waiting for messages"), std::string::npos);
    EXPECT_GT(run.result.waitingShare, 0.0);
    EXPECT_LT(run.result.waitingShare, 1.0);
    cleanUp(dir);
}

// The default scene at its full 1920 x 1080, with the dark effect only (the
// glass stages are checked at half size above, where they cost less time).
TEST(PreviewPictures, BuiltInSceneAtFullSizeWithTheDarkEffect) {
    const fs::path dir = freshFolder("full");
    const PreviewRun run = runWith({"--effect", "dark", "--out", dir.string()});
    ASSERT_EQ(run.exitCode, 0) << run.err << run.out;
    EXPECT_EQ(run.result.helperExitCode, 0);
    EXPECT_EQ(run.result.repliesReceived, run.result.commandsSent);
    const sim::Image& before = stage(run.result, "-before.png").image;
    EXPECT_EQ(before.width, 1920);
    EXPECT_EQ(before.height, 1080);
    expectPngsMatch(run, dir);
    checkDarkStage(run.result, 1.0);
    cleanUp(dir);
}

// A user's own screenshot: a light and a dark application window on a
// photo-like desktop. The light one is inverted, the dark one left alone, the
// rest of the screen kept; under glass the light one shows its surroundings
// (here: the screenshot itself) toned and blurred behind its text.
TEST(PreviewPictures, UsersScreenshotWithWindowRectangles) {
    const fs::path dir = freshFolder("screenshot");
    fs::create_directories(dir);
    sim::Image shot = makeWallpaper(480, 320);
    const RECT light{40, 30, 240, 190};
    const RECT dark{280, 60, 450, 280};
    shot.fillRect(light, sim::bgra(244, 244, 240));
    shot.fillRect(dark, sim::bgra(30, 32, 38));
    for (int line = 0; line < 9; ++line) {
        // Lines of "text": short dark bars on the light window, light bars on the dark one.
        for (int word = 0; word < 5; ++word) {
            const LONG x = 52 + word * 36;
            const LONG y = 50 + line * 14;
            shot.fillRect(RECT{x, y, x + 24 + (line * 7 + word * 5) % 9, y + 6}, sim::bgra(30, 30, 34));
            const LONG dx = 292 + word * 30;
            const LONG dy = 80 + line * 20;
            shot.fillRect(RECT{dx, dy, dx + 20, dy + 6}, sim::bgra(200, 210, 220));
        }
    }
    const std::string file = (dir / "desktop.png").string();
    ASSERT_TRUE(writePng(file, shot));

    const PreviewRun run =
        runWith({"--screenshot", file, "--window", "40,30,200,160", "--window", "280,60,170,220", "--out",
                 (dir / "out").string(), "--content-opacity", "0"});
    ASSERT_EQ(run.exitCode, 0) << run.err << run.out;
    EXPECT_EQ(run.result.repliesReceived, run.result.commandsSent);
    const sim::Image& before = stage(run.result, "-before.png").image;
    const sim::Image& afterDark = stage(run.result, "-dark.png").image;
    EXPECT_TRUE(before == shot) << "the desktop is not the screenshot";

    EXPECT_EQ(shareOf(before, afterDark, inset(light, 0, 0, 0, 2),
                      [](sim::Colour b, sim::Colour a) { return sameColour(a, inverted(b)); }),
              1.0)
        << "the light window is not inverted";
    EXPECT_EQ(shareOf(before, afterDark, dark, [](sim::Colour b, sim::Colour a) { return sameColour(a, b); }),
              1.0)
        << "the dark window was not left alone";
    EXPECT_EQ(shareOf(before, afterDark, RECT{0, 200, 270, 320},
                      [](sim::Colour b, sim::Colour a) { return sameColour(a, b); }),
              1.0)
        << "the desktop outside the windows changed";

    const sim::Image& glass = stage(run.result, "-glass.png").image;
    GlassSettings settings;
    const sim::Image expected = expectedBackdrop(shot.crop(light), settings);
    const std::vector<POINT> plain = plainBackground(before, light, sim::bgra(244, 244, 240), 2);
    ASSERT_GT(plain.size(), 1000u);
    std::size_t exact = 0;
    for (const POINT& p : plain) {
        exact += sameColour(glass.pixel(p.x, p.y), expected.pixel(p.x - light.left, p.y - light.top)) ? 1 : 0;
    }
    EXPECT_EQ(exact, plain.size()) << "the light window's page does not show its blurred surroundings";
    cleanUp(dir);
}

TEST(PreviewImages, WallpaperAndPhotoLookPhotographic) {
    const sim::Image wallpaper = makeWallpaper(320, 180);
    EXPECT_TRUE(wallpaper == makeWallpaper(320, 180)) << "the wallpaper is not the same on every run";
    std::vector<sim::Colour> colours;
    long long step = 0;
    for (int y = 0; y < wallpaper.height; ++y) {
        for (int x = 0; x < wallpaper.width; ++x) {
            colours.push_back(wallpaper.pixel(x, y) & 0x00FFFFFFu);
            if (x > 0) {
                step +=
                    std::abs(sim::greenOf(wallpaper.pixel(x, y)) - sim::greenOf(wallpaper.pixel(x - 1, y)));
            }
        }
    }
    std::sort(colours.begin(), colours.end());
    const auto distinct = std::unique(colours.begin(), colours.end()) - colours.begin();
    // Photo-like: thousands of colours (gradients and grain), yet smooth from
    // one pixel to the next (no hard edges everywhere).
    EXPECT_GT(distinct, 5000);
    const double meanStep = static_cast<double>(step) / (319.0 * 180.0);
    EXPECT_GT(meanStep, 0.5);
    EXPECT_LT(meanStep, 12.0);
    EXPECT_FALSE(makePhoto(64, 48) == sim::Image(64, 48, sim::bgra(255, 255, 255)));
}

TEST(PreviewImages, ScaleDownAveragesTheCoveredPixels) {
    sim::Image source(4, 2, sim::bgra(0, 0, 0));
    source.setPixel(0, 0, sim::bgra(200, 100, 40));
    source.setPixel(1, 1, sim::bgra(200, 100, 40));
    source.fillRect(RECT{2, 0, 4, 2}, sim::bgra(255, 255, 255));
    const sim::Image small = scaleDown(source, 2, 1);
    ASSERT_EQ(small.width, 2);
    ASSERT_EQ(small.height, 1);
    EXPECT_EQ(small.pixel(0, 0) & 0x00FFFFFFu, sim::bgra(100, 50, 20) & 0x00FFFFFFu);
    EXPECT_EQ(small.pixel(1, 0) & 0x00FFFFFFu, sim::bgra(255, 255, 255) & 0x00FFFFFFu);
}

// The program itself: its exit codes and messages for a user's mistakes.
int runProgram(const std::string& arguments, const fs::path& errFile) {
    const std::string command =
        std::string(KESTRA_PREVIEW_EXE) + " " + arguments + " >/dev/null 2>" + errFile.string();
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string readText(const fs::path& file) {
    std::FILE* f = std::fopen(file.string().c_str(), "rb");
    if (f == nullptr) {
        return {};
    }
    std::string text;
    char buffer[512];
    std::size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) {
        text.append(buffer, n);
    }
    std::fclose(f);
    return text;
}

TEST(PreviewProgram, ExitCodesAndMessages) {
    const fs::path dir = freshFolder("program");
    fs::create_directories(dir);
    const fs::path err = dir / "err.txt";
    const fs::path notPng = dir / "notes.png";
    {
        std::FILE* f = std::fopen(notPng.string().c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::fputs("this is not a picture", f);
        std::fclose(f);
    }
    const fs::path small = dir / "small.png";
    ASSERT_TRUE(writePng(small.string(), makeWallpaper(200, 100)));

    EXPECT_EQ(runProgram("--help", err), 0);
    EXPECT_EQ(runProgram("--bogus", err), 2);
    EXPECT_NE(readText(err).find("--bogus"), std::string::npos);
    EXPECT_EQ(runProgram("--radius 300", err), 2);
    EXPECT_NE(readText(err).find("--radius"), std::string::npos);
    const fs::path missing = dir / "no-such-file.png";
    EXPECT_EQ(runProgram("--screenshot " + missing.string() + " --window 0,0,100,100", err), 2);
    EXPECT_NE(readText(err).find(missing.string()), std::string::npos);
    EXPECT_EQ(runProgram("--screenshot " + notPng.string() + " --window 0,0,100,100", err), 2);
    EXPECT_NE(readText(err).find(notPng.string()), std::string::npos);
    EXPECT_EQ(
        runProgram("--screenshot " + small.string() + " --window 150,20,100,50 --out " + (dir / "o").string(),
                   err),
        2);
    EXPECT_NE(readText(err).find("inside"), std::string::npos);
    cleanUp(dir);
}

}  // namespace
}  // namespace kestra::preview
