#include "channel/command_set.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <vector>

#include "channel/framing.h"
#include "platform/clock.h"
#include "tracking/tracked_window.h"

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

TrackedWindow& recordAt(int index) {
    return trackedWindows[static_cast<std::size_t>(index)];
}

// Attaches the record's engine and counts it. Once two or more engines are
// counted, every attached engine is given the current overlayExclusions, so
// that none of their captures sees the new overlay window.
bool attachAndCount(int index) {
    if (attach(recordAt(index)) != 0) {
        return false;
    }
    effectCount += 1;
    if (effectCount >= 2) {
        refreshExclusions();
    }
    return true;
}

// Ends tracking of a record whose effects are both off.
void releaseRecord(int index) {
    teardownEngine(index);
    deactivate(index);
}

void setDark(int index, bool on) {
    EffectEngine& engine = recordAt(index).engine;
    if (on) {
        if (!engine.engineAttached && !attachAndCount(index)) {
            return;
        }
        engine.darkEnabled = true;
        // The darkness test runs at the next changed frame.
        engine.lastDarknessTest = dueStamp(kDarknessTestPeriodMs);
        return;
    }
    engine.darkEnabled = false;
    if (!engine.glassEnabled) {
        releaseRecord(index);
    }
}

void setOpacityPair(float& value, float& complement, float setting) {
    value = setting;
    complement = 1.0f - setting;
}

void startGlassEffect(int index, const std::vector<std::string>& pieces) {
    EffectEngine& engine = recordAt(index).engine;
    FrameAnalyzer& analyzer = engine.analyzer;
    engine.blurRadius = readRadius(pieces[1]);
    const float brightness = readFloatSetting(pieces[2]);
    engine.backdropBuffer.backdropBrightness = brightness;
    engine.monitorBuffer.backdropBrightness = brightness;
    engine.wallpaperOnlyBackdrop = readFlag(pieces[3]);
    setOpacityPair(analyzer.contentOpacity, analyzer.contentOpacityComplement, readFloatSetting(pieces[4]));
    engine.glassDarkMode = readFlag(pieces[5]);
    setOpacityPair(analyzer.photoOpacity, analyzer.photoOpacityComplement, readFloatSetting(pieces[6]));
    setOpacityPair(analyzer.foregroundOpacity, analyzer.foregroundOpacityComplement,
                   readFloatSetting(pieces[7]));

    if (engine.engineAttached || attachAndCount(index)) {
        engine.startGlass();
    }
}

void stopGlassEffect(int index) {
    EffectEngine& engine = recordAt(index).engine;
    engine.stopGlass(true);
    if (!engine.darkEnabled) {
        releaseRecord(index);
    }
}

// Commands 4 to 10: one setting of a tracked window.
void changeSetting(std::int32_t command, int index, std::string_view field) {
    EffectEngine& engine = recordAt(index).engine;
    FrameAnalyzer& analyzer = engine.analyzer;
    switch (command) {
        case kSetBlurRadius:
            engine.blurRadius = readRadius(field);
            engine.refreshGlass();
            break;
        case kSetBackdropBrightness: {
            const float brightness = readFloatSetting(field);
            engine.backdropBuffer.backdropBrightness = brightness;
            engine.monitorBuffer.backdropBrightness = brightness;
            engine.refreshGlass();
            break;
        }
        case kSetWallpaperOnly:
            engine.wallpaperOnlyBackdrop = readFlag(field);
            engine.assignBackdropExclusions();
            engine.refreshGlass();
            break;
        case kChangeContentOpacity:
            engine.setContentOpacity(clampToFloatRange(readNumber(field)));
            engine.backdropRecomposed = true;
            break;
        case kSetGlassDarkMode:
            engine.glassDarkMode = readFlag(field);
            engine.setContentOpacity(-1.0);
            break;
        case kSetPhotoOpacity:
            setOpacityPair(analyzer.photoOpacity, analyzer.photoOpacityComplement, readFloatSetting(field));
            engine.backdropRecomposed = true;
            break;
        case kSetForegroundOpacity:
            setOpacityPair(analyzer.foregroundOpacity, analyzer.foregroundOpacityComplement,
                           readFloatSetting(field));
            engine.backdropRecomposed = true;
            break;
        default:
            break;
    }
}

// Everything a command does before its reply.
void carryOut(std::int32_t command, const std::string& payload) {
    if (command == kStopGlassEffect || command == kUntrackWindow) {
        HWND handle = readTargetHandle(payload);
        const int index = handle != nullptr ? findTracked(handle) : -1;
        if (index < 0) {
            return;
        }
        if (command == kStopGlassEffect) {
            stopGlassEffect(index);
        } else {
            deactivate(index);
        }
        return;
    }

    const std::string_view separator = command == kSetDark ? kDarkSeparator : kSettingSeparator;
    const std::size_t required = command == kStartGlassEffect ? kGlassPieces : kSettingPieces;
    const std::vector<std::string> pieces = splitOnDelimiter(payload, separator);
    if (pieces.size() != required) {
        return;
    }
    // A handle that does not read, or reads as null, names no window: it is
    // neither tracked by commands 1 and 2 nor looked up by the others (a null
    // lookup would find a free slot).
    HWND handle = readTargetHandle(pieces[0]);
    if (handle == nullptr) {
        return;
    }

    if (command == kSetDark || command == kStartGlassEffect) {
        const int index = addTracked(handle);
        if (command == kSetDark) {
            setDark(index, readInteger(pieces[1]) != 0);
        } else {
            startGlassEffect(index, pieces);
        }
        return;
    }

    const int index = findTracked(handle);
    if (index < 0) {
        return;
    }
    changeSetting(command, index, pieces[1]);
}

}  // namespace

HWND readTargetHandle(std::string_view field) {
    HWND handle = nullptr;
    if (!readHandle(field, &handle)) {
        return nullptr;
    }
    return handle;
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

void handleCommand(HWND peer, std::int32_t command, std::string payload, std::int32_t requestId) {
    if (command < kSetDark || command > kUntrackWindow) {
        return;
    }
    carryOut(command, payload);
    sendReply(peer, requestId, {});
}

}  // namespace kestra
