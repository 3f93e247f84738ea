// The client library against the real helper entry on the simulated desktop:
// start and announcement, the frames of every typed call byte for byte (the
// README's example exchange among them), replies matched by request id, the
// ways the helper ends early, a helper that never announces, a target that
// vanishes, and the C interface.
#include <gtest/gtest.h>

#include <clocale>
#include <fstream>
#include <locale>
#include <sstream>
#include <string>
#include <vector>

#include "client_fixture.h"
#include "kestra_client.h"

namespace {

using clienttest::ClientOnDesktop;
using clienttest::kHelperPath;
using kestra::ClientErrc;
using kestra::protocol::formatHandle;

std::string announcementOf(HWND helper) {
    const std::string h = formatHandle(helper);
    return h + "[.2.]REQ[.1.]3[.2.]" + h + "[.2.]";
}

std::string replyOf(HWND helper, int id) {
    return formatHandle(helper) + "[.2.]RET[.1.]" + std::to_string(id) + "[.2.]";
}

// The README's example exchange: its lines "controller -> helper  <frame>"
// and "helper -> controller  <frame>", in order.
std::vector<std::pair<std::string, std::string>> readmeExchange() {
    std::ifstream file(std::string(KESTRA_SOURCE_DIR) + "/README.md");
    std::stringstream text;
    text << file.rdbuf();
    const std::string readme = text.str();
    const std::size_t start = readme.find("### Example exchange");
    std::vector<std::pair<std::string, std::string>> lines;
    if (start == std::string::npos) {
        return lines;
    }
    std::istringstream section(readme.substr(start));
    std::string line;
    // (No std::regex: GCC 12 warns about its internals under the sanitizers.)
    while (std::getline(section, line)) {
        for (const std::string direction : {"helper -> controller  ", "controller -> helper  "}) {
            if (line.rfind(direction, 0) == 0 && line.find(' ', direction.size()) == std::string::npos) {
                lines.emplace_back(direction.substr(0, direction.size() - 2), line.substr(direction.size()));
            }
        }
        if (!lines.empty() && line == "```") {
            break;
        }
    }
    return lines;
}

std::string replaceAll(std::string text, const std::string& from, const std::string& to) {
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

TEST_F(ClientOnDesktop, StartsTheHelperAndReadsItsAnnouncement) {
    kestra::Result<HWND> started = client.start(kHelperPath);
    ASSERT_TRUE(started.ok()) << started.error().message;
    const HWND helper = *started;
    EXPECT_EQ(client.helperWindow(), helper);
    EXPECT_EQ(desk.className(helper), "KESTRAHELPER");
    EXPECT_TRUE(client.running());
    EXPECT_FALSE(client.exitCode().has_value());
    ASSERT_EQ(receivedFrames().size(), 1u);
    EXPECT_EQ(receivedFrames()[0], announcementOf(helper));
    // The client's window is hidden and is the one named to the helper.
    EXPECT_FALSE(IsWindowVisible(client.window()));
    kestra::Result<HWND> again = client.start(kHelperPath);
    ASSERT_FALSE(again.ok());
    EXPECT_EQ(again.error().code, ClientErrc::AlreadyStarted);
}

TEST_F(ClientOnDesktop, TypedCallsWriteTheReadmeExampleExchangeByteForByte) {
    const auto exchange = readmeExchange();
    ASSERT_EQ(exchange.size(), 9u) << "the README's example exchange has changed shape";
    const HWND helper = startHelper();
    ASSERT_NE(helper, nullptr);

    ASSERT_TRUE(client.setDark(target, true).ok());
    ASSERT_TRUE(client.startGlass(target, kestra::GlassSettings{}).ok());
    ASSERT_TRUE(client.setBlurRadius(target, 12).ok());
    ASSERT_TRUE(client.untrack(target).ok());

    // The README's handles and request ids 17 to 20 stand for ours: the
    // client's window, the helper window, the target and ids 1 to 4.
    auto ours = [&](std::string frame) {
        frame = replaceAll(frame, "0000000000010004", formatHandle(client.window()));
        frame = replaceAll(frame, "00000000003A0F2C", formatHandle(helper));
        frame = replaceAll(frame, "0000000000020010", formatHandle(target));
        // The request id ends a request and sits between "RET[.1.]" and
        // "[.2.]" in a reply.
        const std::size_t reply = frame.find("RET[.1.]");
        if (reply != std::string::npos) {
            const std::size_t from = reply + 8;
            const std::size_t to = frame.find("[.2.]", from);
            frame.replace(from, to - from, std::to_string(std::stoi(frame.substr(from, to - from)) - 16));
        } else if (frame.find("[.2.]REQ[.1.]3[.2.]") == std::string::npos) {
            const std::size_t from = frame.rfind("[.2.]") + 5;
            frame.replace(from, std::string::npos, std::to_string(std::stoi(frame.substr(from)) - 16));
        }
        return frame;
    };
    ASSERT_EQ(frames.size(), exchange.size());
    for (std::size_t i = 0; i < exchange.size(); ++i) {
        const bool fromController = exchange[i].first == "controller -> helper";
        EXPECT_EQ(frames[i].direction == kestra::FrameDirection::Sent, fromController) << "line " << i;
        EXPECT_EQ(frames[i].bytes, ours(exchange[i].second)) << "line " << i;
    }
}

TEST_F(ClientOnDesktop, EveryOtherTypedCallWritesItsPayload) {
    const HWND helper = startHelper();
    ASSERT_NE(helper, nullptr);
    ASSERT_TRUE(client.setDark(target, true).ok());
    frames.clear();
    const std::string t = formatHandle(target);
    const std::string me = formatHandle(client.window());
    struct Case {
        kestra::Result<void> (*call)(kestra::Client&, HWND);
        std::string command;
        std::string payload;
    };
    const std::vector<Case> cases = {
        {[](kestra::Client& c, HWND w) { return c.setDark(w, false); }, "1", t + "|0"},
        {[](kestra::Client& c, HWND w) {
             kestra::GlassSettings s;
             s.radius = 254;
             s.brightness = 1.25;
             s.wallpaperOnly = true;
             s.contentOpacity = 0.0;
             s.glassDarkMode = false;
             s.photoOpacity = 0.125;
             s.foregroundOpacity = 0.5;
             return c.startGlass(w, s);
         },
         "2", t + ",254,1.25,1,0,0,0.125,0.5"},
        {[](kestra::Client& c, HWND w) { return c.stopGlass(w); }, "3", t},
        {[](kestra::Client& c, HWND w) { return c.setBlurRadius(w, -3); }, "4", t + ",-3"},
        {[](kestra::Client& c, HWND w) { return c.setBackdropBrightness(w, 0.5); }, "5", t + ",0.5"},
        {[](kestra::Client& c, HWND w) { return c.setWallpaperOnly(w, true); }, "6", t + ",1"},
        {[](kestra::Client& c, HWND w) { return c.setContentOpacity(w, -1.0); }, "7", t + ",-1"},
        {[](kestra::Client& c, HWND w) { return c.setGlassDarkMode(w, false); }, "8", t + ",0"},
        {[](kestra::Client& c, HWND w) { return c.setPhotoOpacity(w, 0.3); }, "9", t + ",0.3"},
        {[](kestra::Client& c, HWND w) { return c.setForegroundOpacity(w, 0.6); }, "10", t + ",0.6"},
        {[](kestra::Client& c, HWND w) { return c.untrack(w); }, "11", t},
    };
    int id = 2;  // 1 went to setDark above
    for (const Case& c : cases) {
        frames.clear();
        kestra::Result<void> result = c.call(client, target);
        EXPECT_TRUE(result.ok()) << "command " << c.command << ": " << result.error().message;
        ASSERT_EQ(frames.size(), 2u) << "command " << c.command;
        EXPECT_EQ(frames[0].bytes,
                  me + "[.2.]REQ[.1.]" + c.command + "[.2.]" + c.payload + "[.2.]" + std::to_string(id));
        EXPECT_EQ(frames[1].bytes, replyOf(helper, id));
        ++id;
    }
}

// A C++ locale whose decimal point is a comma, as a German controller has.
struct CommaPoint : std::numpunct<char> {
    char do_decimal_point() const override { return ','; }
};

TEST(ClientProtocol, NumbersAreWrittenWithAPointWhateverTheLocale) {
    const std::locale saved = std::locale::global(std::locale(std::locale::classic(), new CommaPoint));
    const char* cPrevious = std::setlocale(LC_NUMERIC, nullptr);
    const std::string cSaved = cPrevious == nullptr ? "C" : cPrevious;
    // Where a C locale with a decimal comma is installed, it is in force too.
    std::setlocale(LC_NUMERIC, "de_DE.UTF-8");
    EXPECT_EQ(kestra::protocol::formatNumber(0.75), "0.75");
    EXPECT_EQ(kestra::protocol::formatNumber(-1.0), "-1");
    EXPECT_EQ(kestra::protocol::formatNumber(1e-7), "0.0000001");
    EXPECT_EQ(kestra::protocol::glassPayload(nullptr, kestra::GlassSettings{}),
              "0000000000000000,30,0.75,0,0.2,1,0.8,1");
    std::setlocale(LC_NUMERIC, cSaved.c_str());
    std::locale::global(saved);
}

TEST(ClientProtocol, HandlesAreSixteenUpperCaseDigitsAndRepliesAreRead) {
    EXPECT_EQ(formatHandle(reinterpret_cast<HWND>(static_cast<std::uintptr_t>(0x3A0F2C))),
              "00000000003A0F2C");
    EXPECT_EQ(kestra::protocol::replyId("00000000003A0F2C[.2.]RET[.1.]-5[.2.]"), -5);
    EXPECT_FALSE(kestra::protocol::replyId("00000000003A0F2C[.2.]REQ[.1.]5[.2.]").has_value());
    EXPECT_FALSE(kestra::protocol::replyId("3A0F2C[.2.]RET[.1.]5[.2.]").has_value());
    EXPECT_FALSE(kestra::protocol::replyId("00000000003A0F2C[.2.]RET[.1.]5x[.2.]").has_value());
    EXPECT_FALSE(
        kestra::protocol::announcedWindow("00000000003A0F2C[.2.]REQ[.1.]3[.2.]00000000003A0F2D[.2.]"));
}

TEST_F(ClientOnDesktop, OnlyTheReplyWithTheRequestsIdCompletesACall) {
    const HWND helper = startHelper();
    ASSERT_NE(helper, nullptr);
    ASSERT_TRUE(client.setDark(target, true).ok());
    ASSERT_EQ(receivedFrames().back(), replyOf(helper, 1));

    // A stray reply carrying the next request's id arrives before that request...
    sim::Controller stranger(desk, "stranger");
    stranger.send(client.window(), replyOf(helper, 2));
    // ...and the helper's own reply to it is lost: the call must not count the stray one.
    sim::Fault lost;
    lost.function = "SendMessageTimeoutA";
    lost.window = client.window();
    desk.addFault(lost);
    kestra::Result<void> result = client.setBlurRadius(target, 9);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().code, ClientErrc::NoReply);
    EXPECT_NE(result.error().message.find("request id 2"), std::string::npos) << result.error().message;

    // The next call is answered as usual, with its own id.
    EXPECT_TRUE(client.setBlurRadius(target, 11).ok());
    EXPECT_EQ(receivedFrames().back(), replyOf(helper, 3));
}

struct EarlyEnd {
    const char* name;
    int exitCode;
    const char* meaning;
};

class ClientEarlyEnd : public ClientOnDesktop, public ::testing::WithParamInterface<EarlyEnd> {};

TEST_P(ClientEarlyEnd, StartReportsTheExitCodeAndItsMeaning) {
    const EarlyEnd& end = GetParam();
    if (end.exitCode == -1) {
        sim::Fault f;
        f.function = "RegisterClassExA";
        f.className = "KESTRAHELPER";
        desk.addFault(f);
    } else if (end.exitCode == -2) {
        sim::Fault f;
        f.function = "CreateWindowExA";
        f.className = "KESTRAHELPER";
        desk.addFault(f);
    } else {
        // A helper started with a command line that names no window.
        sim::registerProgram("kestra-helper.exe", [](const char*) {
            kestra::resetProcessState();
            return kestra::helperMain(nullptr, "0");
        });
    }
    kestra::Result<HWND> started = client.start(kHelperPath);
    ASSERT_FALSE(started.ok());
    EXPECT_EQ(started.error().code, ClientErrc::NoAnnouncement);
    EXPECT_EQ(started.error().exitCode, end.exitCode);
    EXPECT_NE(started.error().message.find(end.meaning), std::string::npos) << started.error().message;
    EXPECT_EQ(client.exitCode(), end.exitCode);
    EXPECT_FALSE(client.running());
    EXPECT_EQ(sim::runningPrograms(), 0);
    EXPECT_EQ(helperProcessWindows(), 0);
    EXPECT_EQ(client.setDark(target, true).error().code, ClientErrc::NotStarted);
}

INSTANTIATE_TEST_SUITE_P(
    ExitCodes, ClientEarlyEnd,
    ::testing::Values(EarlyEnd{"ClassNotRegistered", -1, "window class could not be registered"},
                      EarlyEnd{"WindowNotCreated", -2, "helper window could not be created"},
                      EarlyEnd{"NotAnnounced", -3, "announcement could not be sent"}),
    [](const ::testing::TestParamInfo<EarlyEnd>& param) { return std::string(param.param.name); });

TEST_F(ClientOnDesktop, AHelperWithNothingTrackedEndsWithZeroAndCallsSaySo) {
    ASSERT_NE(startHelper(), nullptr);
    // Past the first liveness check: the idle helper sleeps 100 ms a turn
    // and checks when it wakes.
    Sleep(10700);
    EXPECT_FALSE(client.running());
    EXPECT_EQ(client.exitCode(), 0);
    kestra::Result<void> call = client.setDark(target, true);
    ASSERT_FALSE(call.ok());
    EXPECT_EQ(call.error().code, ClientErrc::HelperEnded);
    EXPECT_EQ(call.error().exitCode, 0);
    EXPECT_NE(call.error().message.find("nothing was tracked"), std::string::npos) << call.error().message;
    EXPECT_EQ(helperProcessWindows(), 0);
}

TEST_F(ClientOnDesktop, LosingTheClientWindowEndsTheHelperWithMinus1000) {
    ASSERT_NE(startHelper(), nullptr);
    ASSERT_TRUE(client.setDark(target, true).ok());
    DestroyWindow(client.window());
    Sleep(10500);
    EXPECT_EQ(client.exitCode(), -1000);
    kestra::Result<void> call = client.setDark(target, false);
    ASSERT_FALSE(call.ok());
    EXPECT_EQ(call.error().code, ClientErrc::HelperEnded);
    EXPECT_NE(call.error().message.find("controller window no longer existed"), std::string::npos);
}

TEST_F(ClientOnDesktop, StopEndsTheHelperInOrder) {
    ASSERT_NE(startHelper(), nullptr);
    ASSERT_TRUE(client.setDark(target, true).ok());
    const std::int64_t before = desk.now();
    kestra::Result<int> stopped = client.stop(15000);
    ASSERT_TRUE(stopped.ok()) << stopped.error().message;
    EXPECT_EQ(*stopped, -1000);
    EXPECT_LE(desk.now() - before, 10100);
    EXPECT_EQ(sim::runningPrograms(), 0);
    EXPECT_EQ(helperProcessWindows(), 0);
    EXPECT_EQ(client.window(), nullptr);
}

TEST_F(ClientOnDesktop, StopCanLeaveTheHelperToEndAtItsLivenessCheck) {
    ASSERT_NE(startHelper(), nullptr);
    ASSERT_TRUE(client.setDark(target, true).ok());
    kestra::Result<int> stopped = client.stop(1000, kestra::Client::AfterTimeout::LetItEnd);
    ASSERT_FALSE(stopped.ok());
    EXPECT_EQ(stopped.error().code, ClientErrc::CallTimedOut);
    EXPECT_FALSE(client.running()) << "the client let go of the helper";
    EXPECT_EQ(sim::runningPrograms(), 1);
    Sleep(10000);
    EXPECT_EQ(sim::runningPrograms(), 0) << "the helper ended by itself";
    EXPECT_EQ(helperProcessWindows(), 0);
}

TEST_F(ClientOnDesktop, AHelperThatNeverAnnouncesIsTerminatedAfterTheTimeout) {
    sim::registerProgram("kestra-helper.exe", [](const char*) {
        for (;;) {
            MSG message{};
            PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE);
        }
        return 0;
    });
    const std::int64_t before = desk.now();
    kestra::Result<HWND> started = client.start(kHelperPath, nullptr, 500);
    ASSERT_FALSE(started.ok());
    EXPECT_EQ(started.error().code, ClientErrc::NoAnnouncement);
    EXPECT_NE(started.error().message.find("no announcement within 500 ms"), std::string::npos);
    EXPECT_GE(desk.now() - before, 500);
    EXPECT_LT(desk.now() - before, 600);
    EXPECT_EQ(sim::runningPrograms(), 0);
    EXPECT_FALSE(client.running());
}

TEST_F(ClientOnDesktop, AMissingOrUnstartableHelperIsReportedAsSuch) {
    kestra::Result<HWND> missing = client.start("C:\\nowhere\\kestra-helpr.exe");
    ASSERT_FALSE(missing.ok());
    EXPECT_EQ(missing.error().code, ClientErrc::HelperNotFound);
    desk.failNext("CreateProcessA");
    kestra::Result<HWND> refused = client.start(kHelperPath);
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().code, ClientErrc::StartFailed);
    EXPECT_NE(refused.error().message.find("error 5"), std::string::npos) << refused.error().message;
    EXPECT_EQ(client.window(), nullptr);
    // The same client starts the helper once the fault is gone.
    EXPECT_TRUE(client.start(kHelperPath).ok());
}

TEST_F(ClientOnDesktop, ATargetThatVanishesEndsTheHelperAndLaterCallsReturnAtOnce) {
    ASSERT_NE(startHelper(), nullptr);
    ASSERT_TRUE(client.setDark(target, true).ok());
    desk.window(target).destroy();
    // A call about the vanished window is still answered.
    EXPECT_TRUE(client.setBlurRadius(target, 5).ok());
    Sleep(1000);  // the helper notices that its last tracked window closed
    EXPECT_EQ(client.exitCode(), 0);
    const std::int64_t before = desk.now();
    kestra::Result<void> call = client.setDark(target, true);
    EXPECT_EQ(call.error().code, ClientErrc::HelperEnded);
    EXPECT_LT(desk.now() - before, 5) << "a call to an ended helper returns at once";
    EXPECT_EQ(helperProcessWindows(), 0);
}

TEST_F(ClientOnDesktop, TheCInterfaceDrivesTheHelper) {
    kestra_client* c = kestra_client_create();
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(kestra_client_exit_code(c), KESTRA_STILL_RUNNING);
    EXPECT_EQ(kestra_client_set_dark(c, 1, 1), KESTRA_ERR_NOT_STARTED);
    EXPECT_NE(std::string(kestra_client_last_error(c)), "");
    EXPECT_EQ(kestra_client_start(c, "C:\\nowhere.exe", 0, 1000), KESTRA_ERR_HELPER_NOT_FOUND);
    ASSERT_EQ(kestra_client_start(c, kHelperPath, 0, 5000), KESTRA_OK) << kestra_client_last_error(c);
    EXPECT_STREQ(kestra_client_last_error(c), "");
    const HWND helper = reinterpret_cast<HWND>(static_cast<std::uintptr_t>(kestra_client_helper_window(c)));
    EXPECT_EQ(desk.className(helper), "KESTRAHELPER");
    const auto t = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(target));
    kestra_glass_settings glass;
    kestra_glass_defaults(&glass);
    EXPECT_EQ(glass.radius, 30);
    EXPECT_EQ(kestra_client_set_dark(c, t, 1), KESTRA_OK);
    EXPECT_EQ(kestra_client_start_glass(c, t, &glass), KESTRA_OK);
    EXPECT_EQ(kestra_client_set_blur_radius(c, t, 12), KESTRA_OK);
    EXPECT_EQ(kestra_client_set_backdrop_brightness(c, t, 0.5), KESTRA_OK);
    EXPECT_EQ(kestra_client_set_wallpaper_only(c, t, 0), KESTRA_OK);
    EXPECT_EQ(kestra_client_set_content_opacity(c, t, 0.4), KESTRA_OK);
    EXPECT_EQ(kestra_client_set_glass_dark_mode(c, t, 1), KESTRA_OK);
    EXPECT_EQ(kestra_client_set_photo_opacity(c, t, 0.9), KESTRA_OK);
    EXPECT_EQ(kestra_client_set_foreground_opacity(c, t, 1.0), KESTRA_OK);
    EXPECT_EQ(kestra_client_stop_glass(c, t), KESTRA_OK);
    EXPECT_EQ(kestra_client_untrack(c, t), KESTRA_OK);
    EXPECT_EQ(kestra_client_running(c), 1);
    EXPECT_EQ(kestra_client_stop(c, 15000), KESTRA_OK);
    EXPECT_EQ(kestra_client_running(c), 0);
    const int code = kestra_client_exit_code(c);
    EXPECT_TRUE(code == -1000 || code == 0) << code;
    EXPECT_NE(std::string(kestra_exit_code_meaning(code)).find(std::to_string(code) + ":"),
              std::string::npos);
    kestra_client_destroy(c);
    EXPECT_EQ(sim::runningPrograms(), 0);
}

}  // namespace
