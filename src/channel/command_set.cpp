#include "channel/command_set.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "channel/framing.h"

namespace kestra {

namespace {

constexpr std::string_view kDarkSeparator = "|";
constexpr std::string_view kSettingSeparator = ",";
constexpr std::size_t kSettingPieces = 2;
constexpr std::size_t kGlassPieces = 8;

// Keeps a number inside the float range, so that the conversion to single
// precision is defined for any value the channel can deliver.
double clampToFloatRange(double value) {
    constexpr double kLargest = static_cast<double>(std::numeric_limits<float>::max());
    return std::clamp(value, -kLargest, kLargest);
}

// A handle that does not read, or reads as null, names no window: it is
// neither tracked by commands 1 and 2 nor looked up by the others (a null
// lookup would find a free slot).
std::optional<HWND> readTarget(std::string_view field) {
    const std::optional<HWND> handle = readHandle(field);
    if (!handle || *handle == nullptr) {
        return std::nullopt;
    }
    return handle;
}

StartGlassCommand readGlassStart(HWND target, const std::vector<std::string_view>& pieces) {
    StartGlassCommand start;
    start.target = target;
    start.blurRadius = readRadius(pieces[1]);
    start.backdropBrightness = readFloatSetting(pieces[2]);
    start.wallpaperOnly = readFlag(pieces[3]);
    start.contentOpacity = readFloatSetting(pieces[4]);
    start.glassDarkMode = readFlag(pieces[5]);
    start.photoOpacity = readFloatSetting(pieces[6]);
    start.foregroundOpacity = readFloatSetting(pieces[7]);
    return start;
}

// Commands 4 to 10: one setting of a tracked window.
std::optional<Command> readSetting(std::int32_t number, HWND target, std::string_view field) {
    switch (number) {
        case kSetBlurRadius:
            return SetBlurRadiusCommand{target, readRadius(field)};
        case kSetBackdropBrightness:
            return SetBackdropBrightnessCommand{target, readFloatSetting(field)};
        case kSetWallpaperOnly:
            return SetWallpaperOnlyCommand{target, readFlag(field)};
        case kChangeContentOpacity:
            return ChangeContentOpacityCommand{target, clampToFloatRange(readNumber(field))};
        case kSetGlassDarkMode:
            return SetGlassDarkModeCommand{target, readFlag(field)};
        case kSetPhotoOpacity:
            return SetPhotoOpacityCommand{target, readFloatSetting(field)};
        case kSetForegroundOpacity:
            return SetForegroundOpacityCommand{target, readFloatSetting(field)};
        default:
            return std::nullopt;
    }
}

}  // namespace

HWND commandTarget(const Command& command) {
    return std::visit([](const auto& c) { return c.target; }, command);
}

std::optional<Command> parseCommand(std::int32_t number, std::string_view payload) {
    if (!isAnsweredCommand(number)) {
        return std::nullopt;
    }
    if (number == kStopGlassEffect || number == kUntrackWindow) {
        const std::optional<HWND> target = readTarget(payload);
        if (!target) {
            return std::nullopt;
        }
        if (number == kStopGlassEffect) {
            return StopGlassCommand{*target};
        }
        return UntrackWindowCommand{*target};
    }

    const std::string_view separator = number == kSetDark ? kDarkSeparator : kSettingSeparator;
    const std::size_t required = number == kStartGlassEffect ? kGlassPieces : kSettingPieces;
    const std::vector<std::string_view> pieces = splitPieces(payload, separator, required + 1);
    if (pieces.size() != required) {
        return std::nullopt;
    }
    const std::optional<HWND> target = readTarget(pieces[0]);
    if (!target) {
        return std::nullopt;
    }
    if (number == kSetDark) {
        return SetDarkCommand{*target, readInteger(pieces[1]) != 0};
    }
    if (number == kStartGlassEffect) {
        return readGlassStart(*target, pieces);
    }
    return readSetting(number, *target, pieces[1]);
}

bool readFlag(std::string_view field) {
    return readNumber(field) == 1.0;
}

float readFloatSetting(std::string_view field) {
    return static_cast<float>(clampToFloatRange(readNumber(field)));
}

std::int32_t readRadius(std::string_view field) {
    const double value = std::trunc(readNumber(field));
    if (!(value > 0.0)) {
        return 0;
    }
    if (value >= static_cast<double>(std::numeric_limits<std::int32_t>::max())) {
        return std::numeric_limits<std::int32_t>::max();
    }
    return static_cast<std::int32_t>(value);
}

}  // namespace kestra
