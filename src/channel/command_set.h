// The command set: the eleven numbered commands by which the controller
// switches the dark and glass effects of a target window on and off and
// changes the glass settings. Every command 1 to 11 is answered with exactly
// one empty reply, sent as its last step, whatever happened; other numbers are
// not answered.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/win32.h"

namespace kestra {

enum CommandNumber : std::int32_t {
    kSetDark = 1,
    kStartGlassEffect = 2,
    kStopGlassEffect = 3,
    kSetBlurRadius = 4,
    kSetBackdropBrightness = 5,
    kSetWallpaperOnly = 6,
    kChangeContentOpacity = 7,
    kSetGlassDarkMode = 8,
    kSetPhotoOpacity = 9,
    kSetForegroundOpacity = 10,
    kUntrackWindow = 11,
};

// The handler installed as commandHandler at start-up.
void handleCommand(HWND peer, std::int32_t command, std::string payload, std::int32_t requestId);

// Field readings of the command payloads.
// A window handle; null when the field does not read as hexadecimal.
HWND readTargetHandle(std::string_view field);
// A flag: set exactly when the number equals 1.0.
bool readFlag(std::string_view field);
// A float setting: the number in single precision (saturating at the float range).
float readFloatSetting(std::string_view field);
// A radius: the number truncated toward zero, saturating at the 32-bit range;
// a negative radius reads as 0.
std::int32_t readRadius(std::string_view field);

}  // namespace kestra
