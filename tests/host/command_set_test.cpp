// The command set through the real channel: a controller window sends request
// frames to the running helper and reads the replies.
#include "host/command_apply.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "channel/framing.h"
#include "helper_run.h"
#include "platform/clock.h"

namespace kestra {
namespace {

using testing::HelperRun;

std::string handleText(HWND window) {
    return formatHandle(window);
}

// The glass settings most tests start with: radius 20, brightness 0.75, the
// full backdrop, content 0.2, dark glass, photos 0.8, foreground 1.
const std::string kGlassSettings = ",20,0.75,0,0.2,1,0.8,1";

class Commands : public HelperRun {
  protected:
    // Command 1, "<handle>|<value>".
    std::vector<std::string> setDark(HWND window, const std::string& value, std::int32_t requestId = 7) {
        return request(1, handleText(window) + "|" + value, requestId);
    }

    // A per-window setting, "<handle>,<value>".
    std::vector<std::string> setValue(std::int32_t command, HWND window, const std::string& value,
                                      std::int32_t requestId = 7) {
        return request(command, handleText(window) + "," + value, requestId);
    }

    void startDefaultGlass(HWND window) { request(2, handleText(window) + kGlassSettings); }
};

TEST_F(Commands, EveryCommandOneToElevenIsAnsweredOnceWithAnEmptyReply) {
    HWND target = makeTarget();
    HWND untracked = makeTarget({300, 300, 340, 340});
    const std::string h = handleText(target);
    struct Case {
        std::int32_t command;
        std::string payload;
    };
    // Well-formed, wrong piece counts and untracked handles alike.
    const std::vector<Case> cases = {
        {1, h + "|1"},
        {1, h + "|"},
        {1, h + "|1|2"},
        {2, h + kGlassSettings},
        {2, h + ",20,0.75"},
        {3, handleText(untracked)},
        {4, h + ",12"},
        {4, h},
        {5, h + ",0.5"},
        {5, handleText(untracked) + ",0.5"},
        {6, h + ",1"},
        {7, h + ",0.3"},
        {8, h + ",0"},
        {9, h + ",0.6"},
        {10, h + ",0.7"},
        {10, h + ",0.7,0.1"},
        {11, handleText(untracked)},
        {3, h},
        {11, h},
    };
    const int exitCode = runScript([&] {
        std::int32_t id = 100;
        for (const Case& c : cases) {
            const std::vector<std::string> frames = request(c.command, c.payload, id);
            ASSERT_EQ(frames.size(), 1u) << "command " << c.command << " payload " << c.payload;
            EXPECT_EQ(frames[0], replyFrame(id));
            ++id;
        }
    });
    EXPECT_EQ(exitCode, kExitNothingTracked);
}

TEST_F(Commands, CommandsOutsideOneToElevenAreNotAnswered) {
    HWND target = makeTarget();
    runScript([&] {
        EXPECT_TRUE(request(0, handleText(target) + "|1").empty());
        EXPECT_TRUE(request(12, handleText(target) + "|1").empty());
        EXPECT_TRUE(request(-1, handleText(target) + "|1").empty());
        EXPECT_EQ(indexOf(target), -1);
    });
}

TEST_F(Commands, NegativeRequestIdIsEchoedInDecimal) {
    HWND target = makeTarget();
    runScript([&] {
        const std::vector<std::string> frames = request(4, handleText(target) + ",9", -5);
        ASSERT_EQ(frames.size(), 1u);
        EXPECT_EQ(frames[0], formatHandle(announcedHelper()) + "[.2.]RET[.1.]-5[.2.]");
    });
}

TEST_F(Commands, ReplyGoesToTheWindowNamedInTheRequest) {
    HWND target = makeTarget();
    sim::Controller other(desk, "other");
    runScript([&] {
        controller.send(announcedHelper(), requestFrame(other.hwnd(), 4, handleText(target) + ",9", 3));
        ASSERT_EQ(other.received().size(), 1u);
        EXPECT_EQ(other.received()[0].bytes, replyFrame(3));
        EXPECT_EQ(controller.received().size(), 1u);  // the announcement only
    });
}

TEST_F(Commands, SetDarkReadsItsValueAsAnInteger) {
    HWND target = makeTarget();
    runScript([&] {
        setDark(target, "2");
        ASSERT_NE(indexOf(target), -1);
        TrackedWindow& record = recordOf(target);
        EXPECT_TRUE(record.engine.engineAttached);
        EXPECT_TRUE(record.engine.darkEnabled);
        EXPECT_EQ(record.engine.lastDarknessTest, -2000);
        EXPECT_TRUE(isActive(target));
        EXPECT_EQ(effectCount, 1);
        EXPECT_NE(
            std::find(overlayExclusions.begin(), overlayExclusions.end(), record.engine.overlay.layerWindow),
            overlayExclusions.end());

        // 0.9 reads as the integer 0: off, and the window is released.
        setDark(target, "0.9");
        EXPECT_EQ(indexOf(target), -1);
        EXPECT_TRUE(activeList.empty());
        EXPECT_EQ(effectCount, 0);
        EXPECT_TRUE(overlayExclusions.empty());
    });
}

TEST_F(Commands, SetDarkWithOnePieceChangesNothing) {
    HWND target = makeTarget();
    runScript([&] {
        setDark(target, "");
        EXPECT_EQ(indexOf(target), -1);
        EXPECT_TRUE(trackedWindows.empty());
    });
}

TEST_F(Commands, SetDarkOffForAnUntrackedWindowCreatesAndReleasesARecord) {
    HWND target = makeTarget();
    runScript([&] {
        setDark(target, "0");
        EXPECT_EQ(trackedWindows.size(), 1u);
        EXPECT_EQ(trackedWindows[0].target, nullptr);
        EXPECT_EQ(indexOf(target), -1);
        EXPECT_TRUE(activeList.empty());
    });
}

// Tearing down or dropping a record that was never attached must not lower
// the effect count below the number of overlays, or a later attach would skip
// the refresh and another engine's capture would see the new overlay.
TEST_F(Commands, EveryAttachedCaptureLeavesOutEveryOverlayAfterAnUntrackedWindowWasSwitchedOff) {
    HWND never = makeTarget({10, 10, 50, 50});
    HWND first = makeTarget({100, 10, 160, 60});
    HWND second = makeTarget({200, 10, 260, 60});
    runScript([&] {
        setDark(never, "0");
        setDark(first, "1");
        setDark(second, "1");
        TrackedWindow& a = recordOf(first);
        TrackedWindow& b = recordOf(second);
        ASSERT_TRUE(a.engine.engineAttached);
        ASSERT_TRUE(b.engine.engineAttached);
        const std::vector<HWND>& aExclusions = a.engine.mainCapture.exclusions;
        const std::vector<HWND>& bExclusions = b.engine.mainCapture.exclusions;
        EXPECT_NE(std::find(aExclusions.begin(), aExclusions.end(), b.engine.overlay.layerWindow),
                  aExclusions.end());
        EXPECT_NE(std::find(bExclusions.begin(), bExclusions.end(), a.engine.overlay.layerWindow),
                  bExclusions.end());
        EXPECT_GE(effectCount, 1);
    });
}

TEST_F(Commands, VanishedWindowsAreDiscountedOnlyWhenTheyHeldAnOverlay) {
    HWND kept = makeTarget({10, 10, 60, 60});
    HWND closed = makeTarget({100, 10, 160, 60});
    HWND failed = makeTarget({200, 10, 260, 60});
    HWND late = makeTarget({300, 10, 360, 60});
    desk.at(100, [&] {
        setDark(kept, "1");
        setDark(closed, "1");
        EXPECT_EQ(effectCount, 2);
        desk.window(closed).destroy();
    });
    desk.at(300, [&] {
        EXPECT_EQ(indexOf(closed), -1);
        EXPECT_EQ(effectCount, 1);
        desk.addFault({.function = "CreateWindowExA", .remaining = 1, .className = "KESTRA_DLAYER"});
        setDark(failed, "1");
        ASSERT_NE(indexOf(failed), -1);
        EXPECT_FALSE(recordOf(failed).engine.engineAttached);
        desk.window(failed).destroy();
    });
    desk.at(600, [&] {
        EXPECT_EQ(indexOf(failed), -1);
        EXPECT_EQ(effectCount, 1);
        setDark(late, "1");
        EXPECT_EQ(effectCount, 2);
        const std::vector<HWND>& keptExclusions = recordOf(kept).engine.mainCapture.exclusions;
        EXPECT_NE(std::find(keptExclusions.begin(), keptExclusions.end(),
                            recordOf(late).engine.overlay.layerWindow),
                  keptExclusions.end());
        desk.window(kept).destroy();
        desk.window(late).destroy();
    });
    EXPECT_EQ(runHelper(), kExitNothingTracked);
}

TEST_F(Commands, FailedAttachIsAnsweredAndLeavesTheWindowTracked) {
    HWND target = makeTarget();
    desk.addFault({.function = "CreateWindowExA", .remaining = -1, .className = "KESTRA_DLAYER"});
    runScript([&] {
        const std::vector<std::string> frames = setDark(target, "1", 11);
        ASSERT_EQ(frames.size(), 1u);
        EXPECT_EQ(frames[0], replyFrame(11));
        ASSERT_NE(indexOf(target), -1);
        EXPECT_FALSE(recordOf(target).engine.engineAttached);
        EXPECT_FALSE(recordOf(target).engine.darkEnabled);
        EXPECT_TRUE(isActive(target));
        EXPECT_EQ(effectCount, 0);

        startDefaultGlass(target);
        EXPECT_FALSE(recordOf(target).engine.glassEnabled);
        EXPECT_EQ(recordOf(target).engine.blurRadius, 20);
        EXPECT_EQ(effectCount, 0);
    });
}

TEST_F(Commands, StartGlassStoresAllSevenSettings) {
    HWND target = makeTarget();
    runScript([&] {
        setValue(2, target, "30,0.5,1,0.25,0,0.75,0.125");
        TrackedWindow& record = recordOf(target);
        const EffectEngine& engine = record.engine;
        EXPECT_EQ(engine.blurRadius, 30);
        EXPECT_FLOAT_EQ(engine.backdropBuffer.backdropBrightness, 0.5f);
        EXPECT_FLOAT_EQ(engine.monitorBuffer.backdropBrightness, 0.5f);
        EXPECT_TRUE(engine.wallpaperOnlyBackdrop);
        EXPECT_FLOAT_EQ(engine.analyzer.contentOpacity, 0.25f);
        EXPECT_FLOAT_EQ(engine.analyzer.contentOpacityComplement, 0.75f);
        EXPECT_FALSE(engine.glassDarkMode);
        EXPECT_FLOAT_EQ(engine.analyzer.photoOpacity, 0.75f);
        EXPECT_FLOAT_EQ(engine.analyzer.photoOpacityComplement, 0.25f);
        EXPECT_FLOAT_EQ(engine.analyzer.foregroundOpacity, 0.125f);
        EXPECT_FLOAT_EQ(engine.analyzer.foregroundOpacityComplement, 0.875f);
        EXPECT_TRUE(engine.engineAttached);
        EXPECT_TRUE(engine.glassEnabled);
        EXPECT_FALSE(engine.darkEnabled);
        EXPECT_TRUE(isActive(target));
        EXPECT_EQ(effectCount, 1);
    });
}

TEST_F(Commands, BlurRadiusIsTruncatedAndTrailingSeparatorIgnored) {
    HWND target = makeTarget();
    runScript([&] {
        setDark(target, "1");
        setValue(4, target, "7.9,");
        EXPECT_EQ(recordOf(target).engine.blurRadius, 7);
        // Three pieces: only answered.
        setValue(4, target, ",7.9");
        EXPECT_EQ(recordOf(target).engine.blurRadius, 7);
        setValue(4, target, "-7.9");
        EXPECT_EQ(recordOf(target).engine.blurRadius, 0);
        setValue(4, target, "1e12");
        EXPECT_EQ(recordOf(target).engine.blurRadius, std::numeric_limits<std::int32_t>::max());
        setValue(4, target, "abc");
        EXPECT_EQ(recordOf(target).engine.blurRadius, 0);
    });
}

TEST_F(Commands, BrightnessGoesIntoBothBackdropBuffers) {
    HWND target = makeTarget();
    runScript([&] {
        setDark(target, "1");
        setValue(5, target, "0.4");
        EXPECT_FLOAT_EQ(recordOf(target).engine.backdropBuffer.backdropBrightness, 0.4f);
        EXPECT_FLOAT_EQ(recordOf(target).engine.monitorBuffer.backdropBrightness, 0.4f);
        // Out of range values are stored as given.
        setValue(5, target, "1.5");
        EXPECT_FLOAT_EQ(recordOf(target).engine.backdropBuffer.backdropBrightness, 1.5f);
    });
}

TEST_F(Commands, WallpaperOnlyFlagIsSetOnlyByExactlyOne) {
    HWND target = makeTarget();
    runScript([&] {
        setDark(target, "1");
        setValue(6, target, "1.0");
        EXPECT_TRUE(recordOf(target).engine.wallpaperOnlyBackdrop);
        setValue(6, target, "2");
        EXPECT_FALSE(recordOf(target).engine.wallpaperOnlyBackdrop);
        setValue(6, target, "1e0");
        EXPECT_TRUE(recordOf(target).engine.wallpaperOnlyBackdrop);
        setValue(6, target, "true");
        EXPECT_FALSE(recordOf(target).engine.wallpaperOnlyBackdrop);
    });
}

// After weeks of uptime the clock wraps; the stamps the commands set must
// still make the work due at once.
TEST_F(Commands, SettingsRearmTheDarknessTestWhereverTheClockStands) {
    HWND target = makeTarget();
    runScript([&] {
        // One second short of the clock's wrap back to zero.
        Sleep(static_cast<DWORD>((std::int64_t{1} << 32) - 1000 - std::int64_t{nowMs()}));
        ASSERT_LT(nowMs(), 0);
        setDark(target, "1");
        EffectEngine& engine = recordOf(target).engine;
        EXPECT_GT(elapsedSince(engine.lastDarknessTest), 2000);
        EXPECT_GE(elapsedSince(engine.lastColourLearning), 2500);

        for (const std::string& change : {std::string("7,0.5"), std::string("7,-1"), std::string("8,1")}) {
            engine.lastDarknessTest = nowMs();
            const std::size_t comma = change.find(',');
            request(std::stoi(change.substr(0, comma)), handleText(target) + "," + change.substr(comma + 1));
            EXPECT_GT(elapsedSince(engine.lastDarknessTest), 2000) << "command " << change;
        }
    });
}

TEST_F(Commands, ContentOpacityMinusOneOnlyRearmsTheDarknessTest) {
    HWND target = makeTarget();
    runScript([&] {
        setDark(target, "1");
        setValue(7, target, "0.6");
        EffectEngine& engine = recordOf(target).engine;
        EXPECT_FLOAT_EQ(engine.analyzer.contentOpacity, 0.6f);
        EXPECT_FLOAT_EQ(engine.analyzer.contentOpacityComplement, 0.4f);
        EXPECT_TRUE(engine.backdropRecomposed);

        engine.lastDarknessTest = 12345;
        engine.backdropRecomposed = false;
        setValue(7, target, "-1");
        EXPECT_FLOAT_EQ(engine.analyzer.contentOpacity, 0.6f);
        EXPECT_EQ(engine.lastDarknessTest, -2000);
        EXPECT_TRUE(engine.backdropRecomposed);
    });
}

TEST_F(Commands, GlassDarkModeStoresTheFlagAndRearmsTheDarknessTest) {
    HWND target = makeTarget();
    runScript([&] {
        setDark(target, "1");
        setValue(7, target, "0.3");
        EffectEngine& engine = recordOf(target).engine;
        engine.lastDarknessTest = 4321;
        setValue(8, target, "0");
        EXPECT_FALSE(engine.glassDarkMode);
        EXPECT_EQ(engine.lastDarknessTest, -2000);
        EXPECT_FLOAT_EQ(engine.analyzer.contentOpacity, 0.3f);
        setValue(8, target, "1");
        EXPECT_TRUE(engine.glassDarkMode);
    });
}

TEST_F(Commands, PhotoAndForegroundOpacitiesStoreTheirComplements) {
    HWND target = makeTarget();
    runScript([&] {
        setDark(target, "1");
        EffectEngine& engine = recordOf(target).engine;
        setValue(9, target, "0.25");
        EXPECT_FLOAT_EQ(engine.analyzer.photoOpacity, 0.25f);
        EXPECT_FLOAT_EQ(engine.analyzer.photoOpacityComplement, 0.75f);
        EXPECT_TRUE(engine.backdropRecomposed);
        engine.backdropRecomposed = false;
        setValue(10, target, "0.9");
        EXPECT_FLOAT_EQ(engine.analyzer.foregroundOpacity, 0.9f);
        EXPECT_FLOAT_EQ(engine.analyzer.foregroundOpacityComplement, 1.0f - 0.9f);
        EXPECT_TRUE(engine.backdropRecomposed);
    });
}

TEST_F(Commands, StopGlassReleasesOnlyAWindowWithoutTheDarkEffect) {
    HWND both = makeTarget({10, 10, 60, 60});
    HWND glassOnly = makeTarget({100, 10, 160, 60});
    runScript([&] {
        setDark(both, "1");
        startDefaultGlass(both);
        startDefaultGlass(glassOnly);
        ASSERT_TRUE(recordOf(both).engine.glassEnabled);
        EXPECT_EQ(effectCount, 2);

        request(3, handleText(both));
        EXPECT_FALSE(recordOf(both).engine.glassEnabled);
        EXPECT_TRUE(recordOf(both).engine.darkEnabled);
        EXPECT_TRUE(recordOf(both).engine.engineAttached);
        EXPECT_TRUE(isActive(both));

        request(3, handleText(glassOnly));
        EXPECT_EQ(indexOf(glassOnly), -1);
        EXPECT_FALSE(isActive(glassOnly));
        EXPECT_EQ(effectCount, 1);
    });
}

TEST_F(Commands, SetDarkOffKeepsAWindowWhoseGlassRuns) {
    HWND target = makeTarget();
    runScript([&] {
        startDefaultGlass(target);
        setDark(target, "1");
        setDark(target, "0");
        EXPECT_FALSE(recordOf(target).engine.darkEnabled);
        EXPECT_TRUE(recordOf(target).engine.glassEnabled);
        EXPECT_TRUE(isActive(target));
        EXPECT_EQ(effectCount, 1);
    });
}

TEST_F(Commands, UntrackOnlyUntracks) {
    HWND target = makeTarget();
    runScript([&] {
        setDark(target, "1");
        const int countBefore = effectCount;
        request(11, handleText(target));
        EXPECT_EQ(indexOf(target), -1);
        EXPECT_TRUE(activeList.empty());
        EXPECT_EQ(effectCount, countBefore);
        EXPECT_TRUE(overlayExclusions.empty());
    });
}

TEST_F(Commands, SettingsOfAnUntrackedWindowChangeNothing) {
    HWND tracked = makeTarget({10, 10, 60, 60});
    HWND other = makeTarget({100, 10, 160, 60});
    runScript([&] {
        setDark(tracked, "1");
        setValue(4, other, "9");
        setValue(6, other, "1");
        request(11, handleText(other));
        EXPECT_EQ(indexOf(other), -1);
        EXPECT_EQ(recordOf(tracked).engine.blurRadius, 50);
        EXPECT_FALSE(recordOf(tracked).engine.wallpaperOnlyBackdrop);
        EXPECT_EQ(trackedWindows.size(), 1u);
    });
}

// A handle that does not read, or reads as 0, names no window.
TEST_F(Commands, UnreadableOrNullHandleNamesNoWindow) {
    HWND target = makeTarget();
    runScript([&] {
        EXPECT_EQ(request(1, "zz|1").size(), 1u);
        EXPECT_EQ(request(1, "0|1").size(), 1u);
        EXPECT_EQ(request(2, "nothex" + kGlassSettings).size(), 1u);
        EXPECT_TRUE(trackedWindows.empty());
        EXPECT_TRUE(activeList.empty());

        // A free slot must not be mistaken for the window a null handle names.
        setDark(target, "1");
        request(11, handleText(target));
        ASSERT_EQ(trackedWindows.size(), 1u);
        ASSERT_EQ(trackedWindows[0].target, nullptr);
        const int countBefore = effectCount;
        EXPECT_EQ(request(4, "0,9").size(), 1u);
        EXPECT_EQ(request(4, "xyz,9").size(), 1u);
        EXPECT_EQ(request(3, "0").size(), 1u);
        EXPECT_EQ(request(3, "").size(), 1u);
        EXPECT_EQ(trackedWindows[0].engine.blurRadius, 50);
        EXPECT_EQ(effectCount, countBefore);
    });
}

TEST_F(Commands, HandlesReadLeniently) {
    HWND target = makeTarget();
    runScript([&] {
        std::string lower = handleText(target);
        std::transform(lower.begin(), lower.end(), lower.begin(),
                       [](char c) { return static_cast<char>(c >= 'A' && c <= 'F' ? c - 'A' + 'a' : c); });
        request(1, "0x" + lower + "|1");
        ASSERT_NE(indexOf(target), -1);
        request(4, "  " + lower + ",13");
        EXPECT_EQ(recordOf(target).engine.blurRadius, 13);
        EXPECT_EQ(trackedWindows.size(), 1u);
    });
}

TEST_F(Commands, NonDecimalNumbersReadAsZero) {
    HWND target = makeTarget();
    runScript([&] {
        setDark(target, "1");
        EffectEngine& engine = recordOf(target).engine;
        for (const char* value : {"nan", "inf", "-inf", "0x1p3"}) {
            engine.blurRadius = 50;
            setValue(4, target, value);
            EXPECT_EQ(engine.blurRadius, 0) << value;
            setValue(9, target, value);
            EXPECT_EQ(engine.analyzer.photoOpacity, 0.0f) << value;
            EXPECT_EQ(engine.analyzer.photoOpacityComplement, 1.0f) << value;
        }
        // Beyond the float range: saturated, never infinite.
        setValue(10, target, "1e300");
        EXPECT_EQ(engine.analyzer.foregroundOpacity, std::numeric_limits<float>::max());
    });
}

TEST_F(Commands, ARequestDuringAReplyFindsThePreviousCommandComplete) {
    HWND target = makeTarget();
    bool nested = false;
    controller.onFrame = [&](const sim::ReceivedFrame& frame) {
        if (nested || frame.bytes != replyFrame(21)) {
            return;
        }
        nested = true;
        // Still inside the helper's SendMessageA of the reply to request 21.
        EXPECT_TRUE(recordOf(target).engine.darkEnabled);
        const std::vector<std::string> frames = setValue(4, target, "17", 22);
        ASSERT_EQ(frames.size(), 1u);
        EXPECT_EQ(frames[0], replyFrame(22));
    };
    runScript([&] {
        setDark(target, "1", 21);
        EXPECT_TRUE(nested);
        EXPECT_EQ(recordOf(target).engine.blurRadius, 17);
    });
    controller.onFrame = nullptr;
}

}  // namespace
}  // namespace kestra
