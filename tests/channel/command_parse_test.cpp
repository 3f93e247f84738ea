// Reading commands from their number and payload, on their own: what each
// command carries, the separators and piece counts, and the payloads that
// name no window.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <variant>

#include "channel/command_set.h"
#include "channel/framing.h"

namespace kestra {
namespace {

HWND handleOf(std::uintptr_t value) {
    return reinterpret_cast<HWND>(value);
}

const HWND kTarget = handleOf(0xA0B1C);
const std::string kTargetText = formatHandle(kTarget);

// The command read from the payload, which must be of type T.
template <typename T>
T parsedAs(std::int32_t number, const std::string& payload) {
    const std::optional<Command> command = parseCommand(number, payload);
    EXPECT_TRUE(command.has_value()) << number << " \"" << payload << '"';
    if (!command) {
        return T{};
    }
    EXPECT_TRUE(std::holds_alternative<T>(*command)) << number << " \"" << payload << '"';
    if (!std::holds_alternative<T>(*command)) {
        return T{};
    }
    EXPECT_EQ(commandTarget(*command), std::get<T>(*command).target);
    return std::get<T>(*command);
}

TEST(ParseCommand, SetDarkReadsItsValueAsAnIntegerAfterABar) {
    const SetDarkCommand on = parsedAs<SetDarkCommand>(kSetDark, kTargetText + "|2");
    EXPECT_EQ(on.target, kTarget);
    EXPECT_TRUE(on.on);
    EXPECT_FALSE(parsedAs<SetDarkCommand>(kSetDark, kTargetText + "|0").on);
    // An integer reading: "0.9" is 0, "-1" is set, "" is 0.
    EXPECT_FALSE(parsedAs<SetDarkCommand>(kSetDark, kTargetText + "|0.9").on);
    EXPECT_TRUE(parsedAs<SetDarkCommand>(kSetDark, kTargetText + "|-1").on);
    // The comma is not its separator.
    EXPECT_FALSE(parseCommand(kSetDark, kTargetText + ",1").has_value());
}

TEST(ParseCommand, StartGlassCarriesAllSevenSettings) {
    const StartGlassCommand start =
        parsedAs<StartGlassCommand>(kStartGlassEffect, kTargetText + ",20.9,0.75,1,0.2,0,0.8,1e39");
    EXPECT_EQ(start.target, kTarget);
    EXPECT_EQ(start.blurRadius, 20);
    EXPECT_EQ(start.backdropBrightness, 0.75f);
    EXPECT_TRUE(start.wallpaperOnly);
    EXPECT_EQ(start.contentOpacity, 0.2f);
    EXPECT_FALSE(start.glassDarkMode);
    EXPECT_EQ(start.photoOpacity, 0.8f);
    EXPECT_EQ(start.foregroundOpacity, std::numeric_limits<float>::max());
}

TEST(ParseCommand, SettingsCarryTheirFieldReadings) {
    EXPECT_EQ(parsedAs<SetBlurRadiusCommand>(kSetBlurRadius, kTargetText + ",-4").radius, 0);
    EXPECT_EQ(parsedAs<SetBlurRadiusCommand>(kSetBlurRadius, kTargetText + ",1e300").radius,
              std::numeric_limits<std::int32_t>::max());
    EXPECT_EQ(parsedAs<SetBackdropBrightnessCommand>(kSetBackdropBrightness, kTargetText + ",0.5").brightness,
              0.5f);
    EXPECT_TRUE(parsedAs<SetWallpaperOnlyCommand>(kSetWallpaperOnly, kTargetText + ",1.0").on);
    EXPECT_FALSE(parsedAs<SetWallpaperOnlyCommand>(kSetWallpaperOnly, kTargetText + ",2").on);
    // The content opacity keeps double precision, clamped to the float range.
    EXPECT_EQ(parsedAs<ChangeContentOpacityCommand>(kChangeContentOpacity, kTargetText + ",0.1").opacity,
              0.1);
    EXPECT_EQ(parsedAs<ChangeContentOpacityCommand>(kChangeContentOpacity, kTargetText + ",-1e300").opacity,
              -static_cast<double>(std::numeric_limits<float>::max()));
    EXPECT_FALSE(parsedAs<SetGlassDarkModeCommand>(kSetGlassDarkMode, kTargetText + ",0").on);
    EXPECT_EQ(parsedAs<SetPhotoOpacityCommand>(kSetPhotoOpacity, kTargetText + ",0.6").opacity, 0.6f);
    EXPECT_EQ(parsedAs<SetForegroundOpacityCommand>(kSetForegroundOpacity, kTargetText + ",x").opacity, 0.0f);
}

TEST(ParseCommand, StopAndUntrackReadTheWholePayloadAsTheHandle) {
    EXPECT_EQ(parsedAs<StopGlassCommand>(kStopGlassEffect, "0x1A2B").target, handleOf(0x1A2B));
    // The reading stops at the first character that is not a digit.
    EXPECT_EQ(parsedAs<UntrackWindowCommand>(kUntrackWindow, " 1a2b,5").target, handleOf(0x1A2B));
}

TEST(ParseCommand, WrongPieceCountsReadNothing) {
    // A trailing separator gives no empty last piece: "<handle>|" is one piece.
    for (const std::string& payload : {kTargetText + "|", std::string{}, kTargetText + "|1|2", kTargetText}) {
        EXPECT_FALSE(parseCommand(kSetDark, payload).has_value()) << '"' << payload << '"';
    }
    EXPECT_FALSE(parseCommand(kStartGlassEffect, kTargetText + ",20,0.75").has_value());
    EXPECT_FALSE(parseCommand(kStartGlassEffect, kTargetText + ",20,0.75,0,0.2,1,0.8,1,9").has_value());
    EXPECT_FALSE(parseCommand(kSetBlurRadius, kTargetText).has_value());
    EXPECT_FALSE(parseCommand(kSetForegroundOpacity, kTargetText + ",0.7,0.1").has_value());
}

TEST(ParseCommand, AHandleThatIsNullOrUnreadableNamesNoWindow) {
    for (const char* handle : {"zz", "", "0", "0x0", "-"}) {
        const std::string text = handle;
        EXPECT_FALSE(parseCommand(kSetDark, text + "|1").has_value()) << '"' << text << '"';
        EXPECT_FALSE(parseCommand(kStartGlassEffect, text + ",20,0.75,0,0.2,1,0.8,1").has_value()) << text;
        EXPECT_FALSE(parseCommand(kStopGlassEffect, text).has_value()) << text;
        EXPECT_FALSE(parseCommand(kSetPhotoOpacity, text + ",0.5").has_value()) << text;
        EXPECT_FALSE(parseCommand(kUntrackWindow, text).has_value()) << text;
    }
}

TEST(ParseCommand, NumbersOutsideOneToElevenReadNothing) {
    for (std::int32_t number : {0, 12, -1, std::numeric_limits<std::int32_t>::min()}) {
        EXPECT_FALSE(isAnsweredCommand(number)) << number;
        EXPECT_FALSE(parseCommand(number, kTargetText + "|1").has_value()) << number;
        EXPECT_FALSE(parseCommand(number, kTargetText + ",1").has_value()) << number;
    }
    for (std::int32_t number = kSetDark; number <= kUntrackWindow; ++number) {
        EXPECT_TRUE(isAnsweredCommand(number)) << number;
    }
}

// Field readings on their own.
TEST(CommandFields, RadiusTruncatesTowardZeroSaturatesAndClampsNegatives) {
    EXPECT_EQ(readRadius("7.9"), 7);
    EXPECT_EQ(readRadius(" 254"), 254);
    EXPECT_EQ(readRadius("-0.5"), 0);
    EXPECT_EQ(readRadius("-40"), 0);
    EXPECT_EQ(readRadius("2147483647"), 2147483647);
    EXPECT_EQ(readRadius("2147483648"), std::numeric_limits<std::int32_t>::max());
    EXPECT_EQ(readRadius("1e300"), std::numeric_limits<std::int32_t>::max());
    EXPECT_EQ(readRadius(""), 0);
}

TEST(CommandFields, FlagIsSetExactlyByOne) {
    EXPECT_TRUE(readFlag("1"));
    EXPECT_TRUE(readFlag("1.0"));
    EXPECT_TRUE(readFlag("1e0"));
    EXPECT_TRUE(readFlag("  1 trailing"));
    EXPECT_FALSE(readFlag("2"));
    EXPECT_FALSE(readFlag("0.5"));
    EXPECT_FALSE(readFlag("true"));
    EXPECT_FALSE(readFlag("1.0000001"));
    EXPECT_FALSE(readFlag(""));
}

TEST(CommandFields, FloatSettingsAreSinglePrecisionWithinTheFloatRange) {
    EXPECT_EQ(readFloatSetting("0.1"), 0.1f);
    EXPECT_EQ(readFloatSetting("-3.5"), -3.5f);
    EXPECT_EQ(readFloatSetting("1e39"), std::numeric_limits<float>::max());
    EXPECT_EQ(readFloatSetting("-1e39"), -std::numeric_limits<float>::max());
    EXPECT_EQ(readFloatSetting("x"), 0.0f);
}

}  // namespace
}  // namespace kestra
