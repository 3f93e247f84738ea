// The desktops the preview shows: the built-in scene (a photo-like wallpaper,
// a light document window, a window with a picture beside its caption and a
// dark code editor) or a user's screenshot with the rectangles of its
// application windows.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/sim/desktop.h"
#include "text_renderer.h"

namespace kestra::preview {

struct Fonts {
    std::shared_ptr<Font> sans;
    std::shared_ptr<Font> bold;
    std::shared_ptr<Font> mono;
};

// Opens the three DejaVu faces; false with error naming the missing file.
bool openFonts(Fonts& fonts, std::string& error);

struct SceneWindow {
    std::string name;
    RECT rect{};
    sim::Content content{};
    bool light = true;      // gets the glass effect too
    bool hasPhoto = false;  // photoRect holds the picture, relative to the window's top-left corner
    RECT photoRect{};
    // The content scrolled down by a number of pixels, as when the user
    // scrolls (null: the window does not scroll).
    std::function<sim::Content(int)> scrolled;
};

struct Scene {
    int width = 0;
    int height = 0;
    sim::Image wallpaper;
    std::vector<SceneWindow> windows;  // bottom to top
    bool builtIn = true;
};

// The built-in scene at any size (laid out in proportion to 1920 x 1080).
Scene makeDefaultScene(int width, int height, const Fonts& fonts);

// A screenshot as the desktop: its pixels are the wallpaper, and every
// rectangle becomes an application window showing the screenshot's pixels
// there. Rectangles are screen coordinates (left, top, right, bottom).
Scene makeScreenshotScene(const sim::Image& screenshot, const std::vector<RECT>& windows);

// The procedural parts, exposed for the tests.
sim::Image makeWallpaper(int width, int height);
sim::Image makePhoto(int width, int height);
// Where the picture lies in a picture window of the given size.
RECT photoRectFor(int width, int height, double scale);

}  // namespace kestra::preview
