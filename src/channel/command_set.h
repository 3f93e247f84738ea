// The command set: the eleven numbered commands by which the controller
// switches the dark and glass effects of a target window on and off and
// changes the glass settings. The channel reads a command's number and
// payload into a typed Command here; the host applies it to the tracked
// windows and answers every command 1 to 11 with exactly one empty reply,
// whatever happened. Other numbers are not answered.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <variant>

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

// True for the numbers 1 to 11, the commands that are answered.
[[nodiscard]] constexpr bool isAnsweredCommand(std::int32_t command) {
    return command >= kSetDark && command <= kUntrackWindow;
}

// Each command names its target window (never null) and carries the fields
// its payload holds, already read.
struct SetDarkCommand {
    HWND target = nullptr;
    bool on = false;  // the value read as an integer, non-zero
};
struct StartGlassCommand {
    HWND target = nullptr;
    std::int32_t blurRadius = 0;
    float backdropBrightness = 0.0f;
    bool wallpaperOnly = false;
    float contentOpacity = 0.0f;
    bool glassDarkMode = false;
    float photoOpacity = 0.0f;
    float foregroundOpacity = 0.0f;
};
struct StopGlassCommand {
    HWND target = nullptr;
};
struct SetBlurRadiusCommand {
    HWND target = nullptr;
    std::int32_t radius = 0;
};
struct SetBackdropBrightnessCommand {
    HWND target = nullptr;
    float brightness = 0.0f;
};
struct SetWallpaperOnlyCommand {
    HWND target = nullptr;
    bool on = false;
};
// The content opacity keeps double precision: the engine reads it with its
// own rules (a negative value recomputes it from the glass mode).
struct ChangeContentOpacityCommand {
    HWND target = nullptr;
    double opacity = 0.0;
};
struct SetGlassDarkModeCommand {
    HWND target = nullptr;
    bool on = false;
};
struct SetPhotoOpacityCommand {
    HWND target = nullptr;
    float opacity = 0.0f;
};
struct SetForegroundOpacityCommand {
    HWND target = nullptr;
    float opacity = 0.0f;
};
struct UntrackWindowCommand {
    HWND target = nullptr;
};

using Command = std::variant<SetDarkCommand, StartGlassCommand, StopGlassCommand, SetBlurRadiusCommand,
                             SetBackdropBrightnessCommand, SetWallpaperOnlyCommand,
                             ChangeContentOpacityCommand, SetGlassDarkModeCommand, SetPhotoOpacityCommand,
                             SetForegroundOpacityCommand, UntrackWindowCommand>;

// The window a command names.
[[nodiscard]] HWND commandTarget(const Command& command);

// Reads command `number` from its payload. Commands 3 and 11 are a handle
// alone; command 1 is "<handle>|<value>"; command 2 is eight ","-separated
// pieces (handle, radius, brightness, wallpaper-only, content, dark mode,
// photos, foreground); commands 4 to 10 are "<handle>,<value>". Empty for a
// number outside 1 to 11, a wrong piece count, or a handle that does not read
// or reads as null: such a handle names no window.
[[nodiscard]] std::optional<Command> parseCommand(std::int32_t number, std::string_view payload);

// Field readings of the command payloads.
// A flag: set exactly when the number equals 1.0.
[[nodiscard]] bool readFlag(std::string_view field);
// A float setting: the number in single precision (saturating at the float range).
[[nodiscard]] float readFloatSetting(std::string_view field);
// A radius: the number truncated toward zero, saturating at the 32-bit range;
// a negative radius reads as 0.
[[nodiscard]] std::int32_t readRadius(std::string_view field);

}  // namespace kestra
