// Start-up, the announcement, the main loop's liveness check and the exit
// codes of the helper process, on the simulated desktop.
#include "host/helper_main.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "channel/framing.h"
#include "helper_run.h"
#include "platform/clock.h"
#include "support/call_sequence.h"
#include "surfaces/overlay_layer.h"

namespace kestra {
namespace {

using testing::HelperRun;
using Startup = HelperRun;

std::string lowerCase(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

bool isUpperHex16(const std::string& text) {
    if (text.size() != 16) {
        return false;
    }
    for (char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) {
            return false;
        }
    }
    return true;
}

TEST_F(Startup, AnnouncementCarriesTheHelperWindowTwice) {
    const int exitCode = runHelper();
    EXPECT_EQ(exitCode, kExitNothingTracked);
    ASSERT_EQ(controller.received().size(), 1u);
    const std::string& frame = controller.received()[0].bytes;
    ASSERT_EQ(frame.size(), 56u);
    const std::string handle = frame.substr(0, 16);
    EXPECT_TRUE(isUpperHex16(handle)) << handle;
    EXPECT_EQ(frame, handle + "[.2.]REQ[.1.]3[.2.]" + handle + "[.2.]");

    // It names the helper window: the one KESTRAHELPER window the process made.
    HWND helper = announcedHelper();
    EXPECT_EQ(helper, helperWindow);
    EXPECT_EQ(desk.className(helper), "KESTRAHELPER");
    EXPECT_TRUE(desk.isHelperWindow(helper));
    EXPECT_FALSE(desk.window(helper).visible());
}

TEST_F(Startup, HelperWindowAndClassAreMadeAsTheControllerExpects) {
    desk.callLog().enable();
    runHelper();
    const std::vector<sim::CallEntry> created = desk.callLog().named("CreateWindowExA");
    ASSERT_FALSE(created.empty());
    EXPECT_EQ(created[0].text, "KESTRAHELPER");
    EXPECT_EQ(created[0].code, static_cast<std::int64_t>(WS_OVERLAPPEDWINDOW));
    EXPECT_EQ(created[0].other, nullptr);
    // Registration comes before creation, and the announcement after both
    // and after Magnification is initialised.
    EXPECT_TRUE(testing::callSequence(
        desk.callLog().entries(),
        {{"RegisterClassExA"}, {"CreateWindowExA"}, {"MagInitialize"}, {"SendMessageTimeoutA"}},
        testing::CallOrder::inOrder));
    EXPECT_EQ(sharedWindowProc, helperWindowProc);
}

TEST_F(Startup, CommandLineIsReadLeniently) {
    const std::string plain = formatHandle(controller.hwnd());
    std::string digits = plain;
    digits.erase(0, digits.find_first_not_of('0'));
    const std::vector<std::string> forms = {"0x" + digits, "  " + lowerCase(digits) + " trailing", digits,
                                            "0X" + lowerCase(plain), "+" + digits};
    for (const std::string& form : forms) {
        EXPECT_EQ(readHandle(form).value_or(nullptr), controller.hwnd()) << form;
    }
    EXPECT_FALSE(readHandle("").has_value());
    EXPECT_FALSE(readHandle("   ").has_value());
    EXPECT_FALSE(readHandle("window").has_value());
}

// Each start is a fresh process on a fresh desktop.
TEST(StartupCommandLine, LenientFormsReachTheSameController) {
    for (int form = 0; form < 3; ++form) {
        sim::Desktop desk;
        sim::Controller controller(desk);
        resetProcessState();
        std::string digits = formatHandle(controller.hwnd());
        digits.erase(0, digits.find_first_not_of('0'));
        const std::string lines[] = {"0x" + digits, "  " + lowerCase(digits) + " trailing", digits};
        const std::string& line = lines[form];
        EXPECT_EQ(helperMain(nullptr, line.c_str()), kExitNothingTracked) << line;
        EXPECT_EQ(controller.received().size(), 1u) << line;
        resetProcessState();
    }
}

TEST_F(Startup, EmptyCommandLineEndsWithMinusThree) {
    EXPECT_EQ(runHelper(""), kExitNotAnnounced);
    EXPECT_TRUE(controller.received().empty());
    EXPECT_FALSE(desk.magnificationInitialised());
}

TEST_F(Startup, MissingCommandLineEndsWithMinusThree) {
    EXPECT_EQ(helperMain(nullptr, nullptr), kExitNotAnnounced);
    EXPECT_TRUE(controller.received().empty());
}

TEST_F(Startup, HandleOfNoWindowEndsWithMinusThreeWithoutTouchingMagnification) {
    HWND gone = apps.createWindow(testing::windowOptions({0, 0, 10, 10}, "gone"));
    desk.window(gone).destroy();
    desk.callLog().enable();
    EXPECT_EQ(runHelper(formatHandle(gone)), kExitNotAnnounced);
    EXPECT_TRUE(desk.callLog().named("MagInitialize").empty());
    EXPECT_TRUE(controller.received().empty());
}

TEST_F(Startup, ClassRegistrationFailureEndsWithMinusOne) {
    desk.failNext("RegisterClassExA");
    EXPECT_EQ(runHelper(), kExitClassNotRegistered);
    EXPECT_TRUE(controller.received().empty());
    EXPECT_EQ(desk.counts().helperWindows, 0);
}

TEST_F(Startup, WindowCreationFailureEndsWithMinusTwo) {
    desk.failNext("CreateWindowExA");
    EXPECT_EQ(runHelper(), kExitWindowNotCreated);
    EXPECT_TRUE(controller.received().empty());
}

TEST_F(Startup, NothingTrackedByTheFirstLivenessCheckEndsWithZero) {
    const int exitCode = runHelper();
    EXPECT_EQ(exitCode, kExitNothingTracked);
    EXPECT_GT(desk.now(), 10000);
    EXPECT_LE(desk.now(), 10200);
    EXPECT_FALSE(desk.magnificationInitialised());
}

TEST_F(Startup, ControllerGoneWhileTrackingEndsWithMinusThousandAtTheNextCheck) {
    HWND target = makeTarget();
    desk.setTurnCost(50.0);
    desk.at(100, [&] { request(1, formatHandle(target) + "|1"); });
    desk.at(3000, [&] { controller.close(); });
    EXPECT_EQ(runHelper(), kExitControllerGone);
    EXPECT_GT(desk.now(), 10000);
    EXPECT_LE(desk.now(), 10300);
    // No effect torn down, Magnification left initialised.
    EXPECT_TRUE(desk.magnificationInitialised());
    EXPECT_EQ(activeList.size(), 1u);
}

TEST_F(Startup, LaterLivenessChecksFollowEveryTenSeconds) {
    HWND target = makeTarget();
    desk.setTurnCost(50.0);
    desk.at(100, [&] { request(1, formatHandle(target) + "|1"); });
    // Tracking ends between the first and the second check.
    desk.at(12000, [&] { request(11, formatHandle(target)); });
    EXPECT_EQ(runHelper(), kExitNothingTracked);
    EXPECT_GT(desk.now(), 20000);
    EXPECT_LE(desk.now(), 20400);
}

TEST_F(Startup, LivenessChecksKeepTheirPeriodAcrossTheClockWrap) {
    constexpr std::int64_t kWrapMs = std::int64_t{1} << 31;
    HWND target = makeTarget();
    desk.setTurnCost(50.0);
    desk.at(100, [&] {
        request(1, formatHandle(target) + "|1");
        // Weeks of uptime: the clock stands 4 s short of wrapping to negative
        // values. The next turn takes a liveness check.
        Sleep(static_cast<DWORD>(kWrapMs - 4000 - nowMs()));
    });
    desk.at(kWrapMs + 1000, [&] {
        ASSERT_LT(nowMs(), 0);
        controller.close();
    });
    EXPECT_EQ(runHelper(), kExitControllerGone);
    // The check after the wrap comes 10 s after the one before it.
    EXPECT_GT(desk.now(), kWrapMs + 6000);
    EXPECT_LE(desk.now(), kWrapMs + 6300);
}

TEST_F(Startup, SchedulerDroppingTheLastWindowEndsWithZero) {
    HWND target = makeTarget();
    desk.at(100, [&] { request(1, formatHandle(target) + "|1"); });
    desk.at(500, [&] { desk.window(target).destroy(); });
    EXPECT_EQ(runHelper(), kExitNothingTracked);
    EXPECT_LT(desk.now(), 600);
    EXPECT_FALSE(desk.magnificationInitialised());
    EXPECT_TRUE(activeList.empty());
}

TEST_F(Startup, PostedQuitMessageIsDroppedAndTheLoopGoesOn) {
    HWND target = makeTarget();
    bool answered = false;
    desk.at(100, [&] {
        request(1, formatHandle(target) + "|1");
        PostQuitMessage(0);
    });
    desk.at(300, [&] {
        // The quit message was removed by a later peek.
        EXPECT_EQ(desk.postedMessages(), 0u);
        answered = request(4, formatHandle(target) + ",9", 44).size() == 1;
        desk.window(target).destroy();
    });
    EXPECT_EQ(runHelper(), kExitNothingTracked);
    EXPECT_TRUE(answered);
}

TEST_F(Startup, FramesSentToOtherWindowsOfTheProcessAreIgnored) {
    HWND target = makeTarget();
    desk.at(100, [&] {
        request(1, formatHandle(target) + "|1");
        HWND overlay = recordOf(target).engine.overlay.layerWindow;
        ASSERT_NE(overlay, nullptr);
        const std::size_t before = controller.received().size();
        controller.send(overlay, requestFrame(controller.hwnd(), 11, formatHandle(target), 5));
        EXPECT_EQ(controller.received().size(), before);
        EXPECT_NE(indexOf(target), -1);
    });
    desk.at(200, [&] { desk.window(target).destroy(); });
    EXPECT_EQ(runHelper(), kExitNothingTracked);
}

TEST_F(Startup, ClosingTheHelperWindowDoesNotEndTheProcess) {
    HWND target = makeTarget();
    desk.at(100, [&] {
        request(1, formatHandle(target) + "|1");
        SendMessageA(helperWindow, WM_CLOSE, 0, 0);
    });
    desk.at(400, [&] { desk.window(target).destroy(); });
    EXPECT_EQ(runHelper(), kExitNothingTracked);
    EXPECT_GT(desk.now(), 400);
}

// End to end: the scheduler's first ticks after the command present the
// inverted window in its overlay.
TEST_F(Startup, DarkEffectShowsOverTheTargetAfterTheNextTicks) {
    HWND target = makeTarget({100, 100, 260, 220});
    sim::Colour before = 0;
    sim::Colour after = 0;
    desk.at(100, [&] {
        before = desk.pixelAt(180, 160);
        request(1, formatHandle(target) + "|1");
    });
    desk.at(400, [&] {
        after = desk.pixelAt(180, 160);
        desk.window(target).destroy();
    });
    EXPECT_EQ(runHelper(), kExitNothingTracked);
    EXPECT_EQ(sim::redOf(before), 240);
    EXPECT_EQ(sim::redOf(after), 255 - 240);
    EXPECT_EQ(sim::greenOf(after), 255 - 240);
    EXPECT_EQ(sim::blueOf(after), 255 - 240);
    // Everything the helper made for the window is gone with it.
    EXPECT_EQ(desk.counts().helperWindows, 1);
}

TEST_F(Startup, CommandSentFromTheAnnouncementHandlerTakesEffect) {
    // The natural place for a controller's first command is its handler of the
    // announcement: the helper must be ready for it by then.
    HWND target = makeTarget({100, 100, 260, 220});
    std::vector<std::string> replies;
    controller.onFrame = [&](const sim::ReceivedFrame& frame) {
        if (frame.bytes.find("REQ[.1.]3[.2.]") == std::string::npos) {
            return;
        }
        const std::size_t before = controller.received().size();
        controller.send(announcedHelper(),
                        requestFrame(controller.hwnd(), 1, formatHandle(target) + "|1", 5));
        for (std::size_t i = before; i < controller.received().size(); ++i) {
            replies.push_back(controller.received()[i].bytes);
        }
    };
    bool attached = false;
    sim::Colour seen = 0;
    desk.at(400, [&] {
        attached = indexOf(target) >= 0 && recordOf(target).engine.engineAttached;
        seen = desk.pixelAt(180, 160);
        desk.window(target).destroy();
    });
    EXPECT_EQ(runHelper(), kExitNothingTracked);
    EXPECT_EQ(replies, std::vector<std::string>{replyFrame(5)});
    EXPECT_TRUE(attached);
    EXPECT_EQ(sim::redOf(seen), 255 - 240);
}

}  // namespace
}  // namespace kestra
