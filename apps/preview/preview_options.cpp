#include "preview_options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace kestra::preview {

namespace {

bool readDouble(const std::string& text, double& value) {
    if (text.empty()) {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    value = std::strtod(text.c_str(), &end);
    return errno == 0 && end == text.c_str() + text.size() && std::isfinite(value);
}

bool readInt(const std::string& text, long& value) {
    if (text.empty()) {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    value = std::strtol(text.c_str(), &end, 10);
    return errno == 0 && end == text.c_str() + text.size();
}

// "X,Y,W,H" with W and H positive.
bool readWindow(const std::string& text, RECT& rect) {
    long v[4] = {0, 0, 0, 0};
    std::size_t pos = 0;
    for (int i = 0; i < 4; ++i) {
        const std::size_t comma = i < 3 ? text.find(',', pos) : text.size();
        if (comma == std::string::npos || !readInt(text.substr(pos, comma - pos), v[i])) {
            return false;
        }
        pos = comma + 1;
    }
    if (v[2] <= 0 || v[3] <= 0 || v[0] < -100000 || v[1] < -100000 || v[2] > 100000 || v[3] > 100000) {
        return false;
    }
    rect = RECT{static_cast<LONG>(v[0]), static_cast<LONG>(v[1]), static_cast<LONG>(v[0] + v[2]),
                static_cast<LONG>(v[1] + v[3])};
    return true;
}

bool readSize(const std::string& text, int& width, int& height) {
    const std::size_t x = text.find('x');
    long w = 0;
    long h = 0;
    if (x == std::string::npos || !readInt(text.substr(0, x), w) || !readInt(text.substr(x + 1), h)) {
        return false;
    }
    if (w < 320 || h < 200 || w > 7680 || h > 4320) {
        return false;
    }
    width = static_cast<int>(w);
    height = static_cast<int>(h);
    return true;
}

bool readOnOff(const std::string& text, bool& value) {
    if (text == "on" || text == "1" || text == "true") {
        value = true;
        return true;
    }
    if (text == "off" || text == "0" || text == "false") {
        value = false;
        return true;
    }
    return false;
}

}  // namespace

std::string usageText() {
    return "usage: kestra-preview [options]\n"
           "\n"
           "Runs the real helper on a simulated desktop, switches its effects on over\n"
           "application windows and writes PNG screenshots of what a person would see.\n"
           "Without options it shows a built-in 1920x1080 scene.\n"
           "\n"
           "  --out DIR                 output folder (default preview-out)\n"
           "  --screenshot FILE.png     use your own screenshot as the desktop\n"
           "  --window X,Y,W,H          an application window in the screenshot (repeatable,\n"
           "                            at least one with --screenshot)\n"
           "  --effect dark|glass|both  which effect to show (default both)\n"
           "  --radius N                glass blur radius, 0..254 (default 50)\n"
           "  --brightness F            glass backdrop brightness, 0..2 (default 0.75)\n"
           "  --content-opacity F       glass content opacity, 0..1 (default 0.0; the script\n"
           "                            also shows 0.5 unless you choose one)\n"
           "  --photo-opacity F         glass photo opacity, 0..1 (default 1.0)\n"
           "  --foreground-opacity F    glass foreground opacity, 0..1 (default 1.0)\n"
           "  --glass-dark-mode on|off  glass dark mode (default on; the script also shows\n"
           "                            off unless you choose one)\n"
           "  --wallpaper-only          glass shows only the wallpaper behind windows\n"
           "  --size WxH                size of the built-in scene (default 1920x1080)\n"
           "  --turn-cost MS            simulated time per main-loop turn (default 5)\n"
           "  --help                    this text\n"
           "\n"
           "Exit codes: 0 done, 1 failed while running, 2 bad arguments or unreadable file.\n";
}

int parseOptions(const std::vector<std::string>& args, Options& options, std::string& error) {
    bool sizeChosen = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--help" || arg == "-h") {
            options.help = true;
            continue;
        }
        if (arg == "--wallpaper-only") {
            options.glass.wallpaperOnly = true;
            continue;
        }
        static const char* const valued[] = {"--out",
                                             "--screenshot",
                                             "--window",
                                             "--effect",
                                             "--radius",
                                             "--brightness",
                                             "--content-opacity",
                                             "--photo-opacity",
                                             "--foreground-opacity",
                                             "--glass-dark-mode",
                                             "--size",
                                             "--turn-cost"};
        bool known = false;
        for (const char* name : valued) {
            known = known || arg == name;
        }
        if (!known) {
            error = "unknown option '" + arg + "' (see --help)";
            return kExitBadArguments;
        }
        if (i + 1 >= args.size()) {
            error = "option " + arg + " needs a value (see --help)";
            return kExitBadArguments;
        }
        const std::string& value = args[++i];
        auto bad = [&](const std::string& expected) {
            error = "bad value '" + value + "' for " + arg + ": expected " + expected;
            return kExitBadArguments;
        };
        double number = 0;
        long integer = 0;
        if (arg == "--out") {
            if (value.empty()) {
                return bad("a folder name");
            }
            options.outDir = value;
        } else if (arg == "--screenshot") {
            if (value.empty()) {
                return bad("a PNG file");
            }
            options.screenshot = value;
        } else if (arg == "--window") {
            RECT r{};
            if (!readWindow(value, r)) {
                return bad("X,Y,W,H in pixels with W and H above 0");
            }
            options.windows.push_back(r);
        } else if (arg == "--effect") {
            if (value == "dark") {
                options.effect = EffectChoice::dark;
            } else if (value == "glass") {
                options.effect = EffectChoice::glass;
            } else if (value == "both") {
                options.effect = EffectChoice::both;
            } else {
                return bad("dark, glass or both");
            }
        } else if (arg == "--radius") {
            if (!readInt(value, integer) || integer < 0 || integer > 254) {
                return bad("a whole number from 0 to 254");
            }
            options.glass.radius = static_cast<int>(integer);
        } else if (arg == "--brightness") {
            if (!readDouble(value, number) || number < 0.0 || number > 2.0) {
                return bad("a number from 0 to 2");
            }
            options.glass.brightness = static_cast<float>(number);
        } else if (arg == "--content-opacity" || arg == "--photo-opacity" || arg == "--foreground-opacity") {
            if (!readDouble(value, number) || number < 0.0 || number > 1.0) {
                return bad("a number from 0 to 1");
            }
            if (arg == "--content-opacity") {
                options.glass.contentOpacity = static_cast<float>(number);
                options.contentOpacityChosen = true;
            } else if (arg == "--photo-opacity") {
                options.glass.photoOpacity = static_cast<float>(number);
            } else {
                options.glass.foregroundOpacity = static_cast<float>(number);
            }
        } else if (arg == "--glass-dark-mode") {
            if (!readOnOff(value, options.glass.darkMode)) {
                return bad("on or off");
            }
            options.darkModeChosen = true;
        } else if (arg == "--size") {
            if (!readSize(value, options.width, options.height)) {
                return bad("WxH from 320x200 to 7680x4320");
            }
            sizeChosen = true;
        } else if (arg == "--turn-cost") {
            if (!readDouble(value, number) || number < 0.1 || number > 100.0) {
                return bad("milliseconds from 0.1 to 100");
            }
            options.turnCostMs = number;
        }
    }
    if (options.help) {
        return kExitOk;
    }
    if (!options.windows.empty() && options.screenshot.empty()) {
        error = "--window needs --screenshot: window rectangles mark windows in your screenshot";
        return kExitBadArguments;
    }
    if (!options.screenshot.empty() && options.windows.empty()) {
        error = "--screenshot needs at least one --window X,Y,W,H marking an application window";
        return kExitBadArguments;
    }
    if (!options.screenshot.empty() && sizeChosen) {
        error = "--size applies to the built-in scene only; a screenshot keeps its own size";
        return kExitBadArguments;
    }
    return kExitOk;
}

}  // namespace kestra::preview
