// The preview's command line: every option, and every way to get it wrong.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "preview_options.h"

namespace kestra::preview {
namespace {

int parse(const std::vector<std::string>& args, Options& options, std::string& error) {
    return parseOptions(args, options, error);
}

TEST(PreviewOptions, DefaultsAreTheBuiltInSceneWithTheGlassDefaults) {
    Options options;
    std::string error;
    ASSERT_EQ(parse({}, options, error), kExitOk);
    EXPECT_EQ(options.outDir, "preview-out");
    EXPECT_TRUE(options.screenshot.empty());
    EXPECT_EQ(options.effect, EffectChoice::both);
    EXPECT_EQ(options.width, 1920);
    EXPECT_EQ(options.height, 1080);
    EXPECT_EQ(options.glass.radius, 50);
    EXPECT_EQ(options.glass.brightness, 0.75f);
    EXPECT_EQ(options.glass.contentOpacity, 0.0f);
    EXPECT_TRUE(options.glass.darkMode);
    EXPECT_FALSE(options.glass.wallpaperOnly);
    EXPECT_EQ(options.glass.photoOpacity, 1.0f);
    EXPECT_EQ(options.glass.foregroundOpacity, 1.0f);
}

TEST(PreviewOptions, ReadsEveryOption) {
    Options options;
    std::string error;
    ASSERT_EQ(parse({"--out",
                     "shots",
                     "--screenshot",
                     "me.png",
                     "--window",
                     "10,20,300,200",
                     "--window",
                     "-5,0,64,48",
                     "--effect",
                     "glass",
                     "--radius",
                     "12",
                     "--brightness",
                     "0.5",
                     "--content-opacity",
                     "0.25",
                     "--photo-opacity",
                     "0.75",
                     "--foreground-opacity",
                     "0.5",
                     "--glass-dark-mode",
                     "off",
                     "--wallpaper-only",
                     "--turn-cost",
                     "3"},
                    options, error),
              kExitOk)
        << error;
    EXPECT_EQ(options.outDir, "shots");
    EXPECT_EQ(options.screenshot, "me.png");
    ASSERT_EQ(options.windows.size(), 2u);
    EXPECT_EQ(options.windows[0].left, 10);
    EXPECT_EQ(options.windows[0].top, 20);
    EXPECT_EQ(options.windows[0].right, 310);
    EXPECT_EQ(options.windows[0].bottom, 220);
    EXPECT_EQ(options.windows[1].left, -5);
    EXPECT_EQ(options.windows[1].right, 59);
    EXPECT_EQ(options.effect, EffectChoice::glass);
    EXPECT_EQ(options.glass.radius, 12);
    EXPECT_EQ(options.glass.brightness, 0.5f);
    EXPECT_EQ(options.glass.contentOpacity, 0.25f);
    EXPECT_TRUE(options.contentOpacityChosen);
    EXPECT_EQ(options.glass.photoOpacity, 0.75f);
    EXPECT_EQ(options.glass.foregroundOpacity, 0.5f);
    EXPECT_FALSE(options.glass.darkMode);
    EXPECT_TRUE(options.darkModeChosen);
    EXPECT_TRUE(options.glass.wallpaperOnly);
    EXPECT_EQ(options.turnCostMs, 3.0);
}

TEST(PreviewOptions, SizeOfTheBuiltInScene) {
    Options options;
    std::string error;
    ASSERT_EQ(parse({"--size", "960x540"}, options, error), kExitOk);
    EXPECT_EQ(options.width, 960);
    EXPECT_EQ(options.height, 540);
}

TEST(PreviewOptions, HelpNeedsNothingElse) {
    Options options;
    std::string error;
    ASSERT_EQ(parse({"--help"}, options, error), kExitOk);
    EXPECT_TRUE(options.help);
    EXPECT_NE(usageText().find("--screenshot"), std::string::npos);
    EXPECT_NE(usageText().find("--glass-dark-mode"), std::string::npos);
}

// Each bad command line exits with 2 and a message naming what was wrong.
TEST(PreviewOptions, BadArgumentsAreRefusedWithAMessage) {
    struct Case {
        std::vector<std::string> args;
        std::string mentions;
    };
    const std::vector<Case> cases = {
        {{"--frobnicate"}, "--frobnicate"},
        {{"--radius"}, "--radius"},
        {{"--radius", "255"}, "--radius"},
        {{"--radius", "-1"}, "--radius"},
        {{"--radius", "5.5"}, "--radius"},
        {{"--brightness", "bright"}, "--brightness"},
        {{"--brightness", "2.5"}, "--brightness"},
        {{"--content-opacity", "1.1"}, "--content-opacity"},
        {{"--photo-opacity", "-0.1"}, "--photo-opacity"},
        {{"--foreground-opacity", "nan"}, "--foreground-opacity"},
        {{"--glass-dark-mode", "maybe"}, "--glass-dark-mode"},
        {{"--effect", "sepia"}, "--effect"},
        {{"--size", "100x100"}, "--size"},
        {{"--size", "1920"}, "--size"},
        {{"--turn-cost", "0"}, "--turn-cost"},
        {{"--out", ""}, "--out"},
        {{"--screenshot", "a.png", "--window", "1,2,3"}, "--window"},
        {{"--screenshot", "a.png", "--window", "1,2,0,4"}, "--window"},
        {{"--screenshot", "a.png", "--window", "1,2,3,4,5"}, "--window"},
        {{"--window", "0,0,10,10"}, "--screenshot"},
        {{"--screenshot", "a.png"}, "--window"},
        {{"--screenshot", "a.png", "--window", "0,0,10,10", "--size", "640x480"}, "--size"},
    };
    for (const Case& c : cases) {
        Options options;
        std::string error;
        std::string line;
        for (const std::string& a : c.args) {
            line += a + " ";
        }
        EXPECT_EQ(parse(c.args, options, error), kExitBadArguments) << line;
        EXPECT_NE(error.find(c.mentions), std::string::npos) << line << "-> " << error;
    }
}

}  // namespace
}  // namespace kestra::preview
