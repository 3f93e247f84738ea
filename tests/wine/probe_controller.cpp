// A controller for the real kestra-helper.exe: owns a real controller
// window, starts the helper with its handle, checks the announcement byte for
// byte, sends every command and checks every reply, and checks the exit codes
// of the ways the process ends. Without a Magnification API (plain Wine)
// every attach fails, and every command must still be answered.
//
// The helper is looked for beside this program (the build copies it there).
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "wine_support.h"

namespace {

std::string helperPath() {
    return winetest::ownFolder() + "kestra-helper.exe";
}

std::string lowerCase(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

std::string classOf(HWND window) {
    char name[64] = {};
    const int length = GetClassNameA(window, name, sizeof(name));
    return std::string(name, length > 0 ? static_cast<std::size_t>(length) : 0);
}

// A visible top-level window of this process for the helper to track.
struct Target {
    winetest::RecordingWindow window{"probe target"};
    Target() {
        SetWindowPos(window.hwnd(), HWND_TOP, 100, 120, 400, 300, SWP_SHOWWINDOW | SWP_NOACTIVATE);
        winetest::pumpMessages();
    }
    HWND hwnd() const { return window.hwnd(); }
};

// One helper process started for a controller window of this program.
class HelperRun {
  public:
    // Starts the helper with commandLine; when it is null, with the 16-digit
    // handle of the controller window.
    explicit HelperRun(const char* commandLine = nullptr) {
        startedAt = winetest::monotonicMs();
        started =
            process.start(helperPath(), commandLine != nullptr ? std::string(commandLine)
                                                               : winetest::handleText(controller.hwnd()));
    }

    // Waits for the first frame and reads the helper window from it.
    bool awaitAnnouncement() {
        winetest::pumpUntil([&] { return !controller.frames().empty() || !process.running(); }, 20000);
        if (controller.frames().empty()) {
            return false;
        }
        announcement = controller.frames().front().bytes;
        const std::string text = announcement.substr(0, 16);
        helper = reinterpret_cast<HWND>(static_cast<std::uintptr_t>(std::stoull(text, nullptr, 16)));
        controller.clear();
        return true;
    }

    // Sends one request from the controller window and returns the frames
    // that arrived while it was being handled.
    std::vector<winetest::ReceivedFrame> command(int number, const std::string& payload, int requestId) {
        controller.clear();
        winetest::sendFrame(controller.hwnd(), helper,
                            winetest::requestFrame(controller.hwnd(), number, payload, requestId));
        return controller.frames();
    }

    std::string expectedReply(int requestId) const {
        return winetest::handleText(helper) + "[.2.]RET[.1.]" + std::to_string(requestId) + "[.2.]";
    }

    // Waits for the process to end; returns the seconds since start, or -1.
    double awaitExit(DWORD timeoutMs) {
        if (!process.waitForExit(timeoutMs)) {
            return -1.0;
        }
        return static_cast<double>(winetest::monotonicMs() - startedAt) / 1000.0;
    }

    winetest::RecordingWindow controller{"probe controller"};
    winetest::ChildProcess process;
    std::int64_t startedAt = 0;
    bool started = false;
    std::string announcement;
    HWND helper = nullptr;
};

TEST(ProbeController, HelperAnnouncesItsHiddenWindowByteForByte) {
    HelperRun run;
    ASSERT_TRUE(run.started) << "could not start " << helperPath();
    ASSERT_TRUE(run.awaitAnnouncement()) << "no announcement; exit code " << run.process.exitCode();
    const std::string text = winetest::handleText(run.helper);
    EXPECT_EQ(run.announcement, text + "[.2.]REQ[.1.]3[.2.]" + text + "[.2.]");
    EXPECT_EQ(run.announcement.size(), 56u);
    EXPECT_TRUE(IsWindow(run.helper));
    EXPECT_FALSE(IsWindowVisible(run.helper)) << "the helper window is never shown";
    EXPECT_EQ(classOf(run.helper), "KESTRAHELPER");
    DWORD owner = 0;
    GetWindowThreadProcessId(run.helper, &owner);
    EXPECT_EQ(owner, run.process.processId());
    // Nothing tracked: the first liveness check, just after ten seconds,
    // ends the process with 0.
    const double seconds = run.awaitExit(30000);
    EXPECT_EQ(run.process.exitCode(), 0);
    EXPECT_GE(seconds, 9.9);
    EXPECT_LT(seconds, 20.0);
    std::printf("  helper with nothing tracked ended after %.2f s\n", seconds);
}

TEST(ProbeController, EveryCommandIsAnsweredAndLosingTheControllerEndsWithMinus1000) {
    Target target;
    Target keeper;  // stays tracked, so activeList never runs empty here
    HelperRun run;
    ASSERT_TRUE(run.started);
    ASSERT_TRUE(run.awaitAnnouncement());
    const std::string t = winetest::handleText(target.hwnd());

    struct Step {
        int command;
        std::string payload;
        bool answered;
    };
    const std::vector<Step> steps = {
        {1, winetest::handleText(keeper.hwnd()) + "|1", true},
        {1, t + "|1", true},                      // setDark on (attach fails without the API)
        {2, t + ",5,0.8,0,0.9,1,0.5,0.7", true},  // startGlassEffect
        {3, t, true},                             // stopGlassEffect
        {4, t + ",7.9,", true},                   // setBlurRadius
        {5, t + ",0.5", true},                    // setBackdropBrightness
        {6, t + ",1.0", true},                    // setWallpaperOnly
        {7, t + ",-1", true},                     // changeContentOpacity
        {8, t + ",1", true},                      // setGlassDarkMode
        {9, t + ",0.3", true},                    // setPhotoOpacity
        {10, t + ",0.6", true},                   // setForegroundOpacity
        {11, t, true},                            // untrackWindow
        {12, t, false},                           // not a command: no reply
        {0, t, false},                            // not a command either
        {1, t + "|", true},                       // one piece: answered, nothing changes
        {2, t + ",1,2", true},                    // three pieces: answered
        {4, "0x" + lowerCase(t) + ",3", true},    // lenient handle, untracked window
        {1, "  " + lowerCase(t) + "|2", true},    // setDark on again
        {7, t + ",0.25", true},
    };
    int requestId = 100;
    for (const Step& step : steps) {
        ++requestId;
        const auto replies = run.command(step.command, step.payload, requestId);
        SCOPED_TRACE("command " + std::to_string(step.command) + " payload " + step.payload);
        if (step.answered) {
            ASSERT_EQ(replies.size(), 1u) << "exactly one reply, inside the send";
            EXPECT_EQ(replies[0].bytes, run.expectedReply(requestId));
        } else {
            EXPECT_TRUE(replies.empty());
        }
        ASSERT_TRUE(run.process.running()) << "exit code " << run.process.exitCode();
        // Nothing arrives late either.
        run.controller.clear();
        winetest::pumpUntil([] { return false; }, 100);
        for (const winetest::ReceivedFrame& late : run.controller.frames()) {
            ADD_FAILURE() << "late frame after " << requestId << ": " << late.bytes;
        }
    }

    // A burst of requests: each is answered exactly once, in order.
    run.controller.clear();
    for (int i = 0; i < 300; ++i) {
        const int id = 1000 + i;
        winetest::sendFrame(
            run.controller.hwnd(), run.helper,
            winetest::requestFrame(run.controller.hwnd(), i % 2 == 0 ? 7 : 9, t + ",0.5", id));
        ASSERT_EQ(run.controller.frames().size(), static_cast<std::size_t>(i + 1)) << "request " << id;
        EXPECT_EQ(run.controller.frames().back().bytes, run.expectedReply(id));
    }
    winetest::pumpUntil([] { return false; }, 300);
    EXPECT_EQ(run.controller.frames().size(), 300u) << "late or repeated replies";

    // A WM_QUIT posted to the helper's thread is dropped by the main loop:
    // the helper goes on answering.
    const DWORD helperThread = GetWindowThreadProcessId(run.helper, nullptr);
    ASSERT_NE(helperThread, 0u);
    ASSERT_TRUE(PostThreadMessageA(helperThread, WM_QUIT, 0, 0));
    winetest::pumpUntil([] { return false; }, 300);
    ASSERT_TRUE(run.process.running());
    EXPECT_EQ(run.command(5, t + ",0.7", 77).size(), 1u);

    // A negative request id comes back as such.
    const auto negative = run.command(9, t + ",0.5", -5);
    ASSERT_EQ(negative.size(), 1u);
    EXPECT_EQ(negative[0].bytes, run.expectedReply(-5));

    // Without the Magnification API the overlay class is never registered,
    // so no overlay window exists.
    EXPECT_EQ(FindWindowA("KESTRA_DLAYER", nullptr), nullptr);

    // The controller goes away while the target is still tracked.
    run.controller.destroy();
    const double seconds = run.awaitExit(40000);
    ASSERT_GT(seconds, 0.0) << "the helper did not end";
    EXPECT_EQ(run.process.exitCode(), -1000);
    EXPECT_EQ(static_cast<DWORD>(run.process.exitCode()), 0xFFFFFC18u);
    std::printf("  helper ended with -1000 %.2f s after start\n", seconds);
}

TEST(ProbeController, CommandLineWithPrefixLowerCaseAndTrailingTextIsRead) {
    winetest::RecordingWindow controller("prefixed controller");
    const std::string commandLine =
        "   0x" + lowerCase(winetest::handleText(controller.hwnd())) + " and more";
    HelperRun run(commandLine.c_str());
    // This run's own controller window is not the one named: the announcement
    // must reach the named one.
    winetest::pumpUntil([&] { return !controller.frames().empty() || !run.process.running(); }, 20000);
    ASSERT_EQ(controller.frames().size(), 1u);
    EXPECT_EQ(controller.frames()[0].bytes.substr(16),
              "[.2.]REQ[.1.]3[.2.]" + controller.frames()[0].bytes.substr(0, 16) + "[.2.]");
    EXPECT_TRUE(run.controller.frames().empty());
    // Tracking a window and destroying it empties activeList from inside
    // the scheduler, which ends the process with 0 without waiting for the
    // liveness check.
    HWND helper = nullptr;
    helper = reinterpret_cast<HWND>(
        static_cast<std::uintptr_t>(std::stoull(controller.frames()[0].bytes.substr(0, 16), nullptr, 16)));
    auto target = std::make_unique<Target>();
    controller.clear();
    winetest::sendFrame(
        controller.hwnd(), helper,
        winetest::requestFrame(controller.hwnd(), 1, winetest::handleText(target->hwnd()) + "|1", 1));
    ASSERT_EQ(controller.frames().size(), 1u);
    target.reset();
    const double seconds = run.awaitExit(30000);
    ASSERT_GT(seconds, 0.0);
    EXPECT_EQ(run.process.exitCode(), 0);
    std::printf("  helper ended with 0 %.2f s after start, once its only target was destroyed\n", seconds);
}

TEST(ProbeController, NoUsableControllerHandleEndsWithMinus3) {
    winetest::RecordingWindow gone("destroyed controller");
    const std::string goneText = winetest::handleText(gone.hwnd());
    gone.destroy();
    const std::vector<std::string> commandLines = {"", "zz", "0x", goneText};
    for (const std::string& commandLine : commandLines) {
        HelperRun run(commandLine.c_str());
        ASSERT_TRUE(run.started);
        ASSERT_GT(run.awaitExit(15000), 0.0) << "command line '" << commandLine << "'";
        EXPECT_EQ(run.process.exitCode(), -3) << "command line '" << commandLine << "'";
        EXPECT_TRUE(run.controller.frames().empty());
    }
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
