// The command line of the preview tool.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/win32.h"

namespace kestra::preview {

enum class EffectChoice { both, dark, glass };

struct GlassSettings {
    int radius = 50;
    float brightness = 0.75f;
    bool wallpaperOnly = false;
    float contentOpacity = 0.0f;
    bool darkMode = true;
    float photoOpacity = 1.0f;
    float foregroundOpacity = 1.0f;
};

struct Options {
    std::string outDir = "preview-out";
    std::string screenshot;     // empty: the built-in scene
    std::vector<RECT> windows;  // left, top, right, bottom
    EffectChoice effect = EffectChoice::both;
    GlassSettings glass;
    // Whether the user chose the content opacity or the glass dark mode; the
    // script then shows only those and skips its own variations of them.
    bool contentOpacityChosen = false;
    bool darkModeChosen = false;
    int width = 1920;  // built-in scene size
    int height = 1080;
    double turnCostMs = 5.0;
    bool help = false;
};

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitBadArguments = 2;

// Reads the arguments (without the program name). Returns kExitOk, or
// kExitBadArguments with a message for the user in error. Files are not
// opened here.
int parseOptions(const std::vector<std::string>& args, Options& options, std::string& error);

// The text printed by --help.
std::string usageText();

}  // namespace kestra::preview
