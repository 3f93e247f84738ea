// The command line of kestra-demo: modes, targets, glass options and the
// mistakes it must name.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "demo_options.h"

namespace {

using kestra::demo::Mode;
using kestra::demo::parseArguments;

TEST(DemoOptions, ReadsEachModeAndItsTarget) {
    EXPECT_EQ(parseArguments({}).options->mode, Mode::Help);
    EXPECT_EQ(parseArguments({"list"}).options->mode, Mode::List);
    const auto dark = parseArguments({"dark", "Notepad"});
    ASSERT_TRUE(dark.options);
    EXPECT_EQ(dark.options->mode, Mode::Dark);
    EXPECT_EQ(dark.options->target, "Notepad");
    EXPECT_EQ(parseArguments({"interactive"}).options->mode, Mode::Interactive);
}

TEST(DemoOptions, ReadsEveryGlassOption) {
    const auto parsed =
        parseArguments({"glass", "0x1A2B", "--radius", "40", "--brightness", "0.8", "--content-opacity",
                        "0.25", "--photo-opacity", "0.5", "--foreground-opacity", "0.9", "--wallpaper-only",
                        "on", "--glass-dark-mode", "off", "--verbose", "--start-timeout", "9000"});
    ASSERT_TRUE(parsed.options) << parsed.error;
    const kestra::GlassSettings& g = parsed.options->glass;
    EXPECT_EQ(g.radius, 40);
    EXPECT_EQ(g.brightness, 0.8);
    EXPECT_EQ(g.contentOpacity, 0.25);
    EXPECT_EQ(g.photoOpacity, 0.5);
    EXPECT_EQ(g.foregroundOpacity, 0.9);
    EXPECT_TRUE(g.wallpaperOnly);
    EXPECT_FALSE(g.glassDarkMode);
    EXPECT_TRUE(parsed.options->verbose);
    EXPECT_EQ(parsed.options->startTimeoutMs, 9000u);
    // Settings not given keep the defaults.
    const auto plain = parseArguments({"glass", "Notepad"});
    EXPECT_EQ(plain.options->glass.radius, kestra::GlassSettings{}.radius);
}

TEST(DemoOptions, NamesWhatIsWrong) {
    struct Case {
        std::vector<std::string> arguments;
        std::string message;
    };
    const std::vector<Case> cases = {
        {{"shine"}, "unknown mode 'shine'"},
        {{"dark"}, "dark: name the window"},
        {{"glass", "--radius", "3"}, "glass: name the window"},
        {{"glass", "x", "--radius"}, "--radius needs a value"},
        {{"glass", "x", "--radius", "ten"}, "--radius: cannot read 'ten'"},
        {{"glass", "x", "--brightness", "0,8"}, "--brightness: cannot read '0,8'"},
        {{"glass", "x", "--wallpaper-only", "yes"}, "--wallpaper-only: cannot read 'yes'"},
        {{"glass", "x", "--shine", "1"}, "unknown option --shine"},
        {{"dark", "x", "--radius", "3"}, "--radius applies to glass only"},
        {{"list", "--start-timeout", "0"}, "--start-timeout: cannot read '0'"},
    };
    for (const Case& c : cases) {
        const auto parsed = parseArguments(c.arguments);
        EXPECT_FALSE(parsed.options) << c.message;
        EXPECT_EQ(parsed.error.rfind(c.message, 0), 0u) << parsed.error;
    }
}

TEST(DemoOptions, ReadsHandlesAsListPrintsThemAndMatchesTitlesInAnyCase) {
    EXPECT_EQ(kestra::demo::readHandleArgument("0x1A2B"), 0x1A2Bu);
    EXPECT_EQ(kestra::demo::readHandleArgument("00000000000A0B1C"), 0xA0B1Cu);
    EXPECT_FALSE(kestra::demo::readHandleArgument("Notepad"));
    EXPECT_FALSE(kestra::demo::readHandleArgument("0x"));
    EXPECT_FALSE(kestra::demo::readHandleArgument("1A2B"));  // could be a title
    EXPECT_TRUE(kestra::demo::titleMatches("Untitled - Notepad", "notepad"));
    EXPECT_TRUE(kestra::demo::titleMatches("Untitled - Notepad", "ED - NO"));
    EXPECT_FALSE(kestra::demo::titleMatches("Notepad", "Notepad++"));
    EXPECT_FALSE(kestra::demo::titleMatches("Notepad", ""));
}

}  // namespace
