// The channel's framing on a real Win32 implementation: a controller window
// in this process and a helper-side window in a second process (this same
// program started with --peer) exchange requests and replies through
// WM_COPYDATA, and every byte that arrives is checked. The peer runs the
// channel's own onCopyData, sendRequest and sendReply.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "channel/framing.h"
#include "wine_support.h"

namespace {

constexpr int kQuitCommand = 99;
constexpr const char* kPeerClass = "KESTRA_WINE_PEER";
constexpr const char* kIgnoredTitle = "ignored peer window";

// ---- the peer: the helper side, in its own process ----

LRESULT CALLBACK peerProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_COPYDATA) {
        kestra::onCopyData(window, reinterpret_cast<const COPYDATASTRUCT*>(lParam));
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

// Echoes what it parsed, so that the controller can check command number,
// payload and request id; command 7 echoes the payload alone.
void peerHandler(HWND peer, std::int32_t command, std::string payload, std::int32_t requestId) {
    if (command == 7) {
        kestra::sendReply(peer, requestId, payload);
        return;
    }
    // Built by appending: GCC 12 warns falsely (-Wrestrict) on "c" + string.
    std::string echo(1, 'c');
    echo.append(std::to_string(command)).append(":").append(payload);
    kestra::sendReply(peer, requestId, echo);
    if (command == kQuitCommand) {
        PostQuitMessage(0);
    }
}

int runPeer(const char* controllerText) {
    const std::optional<HWND> read = kestra::readHandle(controllerText);
    if (!read) {
        return 2;
    }
    HWND controller = *read;
    WNDCLASSEXA wc{};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = peerProcedure;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = kPeerClass;
    if (RegisterClassExA(&wc) == 0) {
        return 3;
    }
    HWND helper = CreateWindowExA(0, kPeerClass, nullptr, WS_OVERLAPPEDWINDOW, 0, 0, 0, 0, nullptr, nullptr,
                                  wc.hInstance, nullptr);
    HWND other = CreateWindowExA(0, kPeerClass, kIgnoredTitle, WS_OVERLAPPEDWINDOW, 0, 0, 0, 0, nullptr,
                                 nullptr, wc.hInstance, nullptr);
    if (helper == nullptr || other == nullptr) {
        return 4;
    }
    kestra::helperWindow = helper;
    kestra::commandHandler = peerHandler;
    if (kestra::sendRequest(controller, kestra::formatHandle(helper)) != 0) {
        return 5;
    }
    // Serve until told to quit; give up when the controller is gone.
    SetTimer(nullptr, 0, 200, nullptr);
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        if (msg.message == WM_TIMER && !IsWindow(controller)) {
            return 6;
        }
        DispatchMessageA(&msg);
    }
    DestroyWindow(other);
    DestroyWindow(helper);
    return 0;
}

// ---- the controller side ----

struct Peer {
    winetest::RecordingWindow controller{"framing controller"};
    winetest::ChildProcess process;
    HWND helper = nullptr;
    std::string announcement;
    bool started = false;
};

Peer& peer() {
    static Peer value;
    return value;
}

// Starts the peer once and takes the helper window from its announcement.
HWND peerWindow() {
    Peer& p = peer();
    if (!p.started) {
        p.started = true;
        if (p.process.start(winetest::ownPath(), "--peer " + winetest::handleText(p.controller.hwnd()))) {
            winetest::pumpUntil([&] { return !p.controller.frames().empty(); }, 20000);
        }
        if (!p.controller.frames().empty()) {
            p.announcement = p.controller.frames().front().bytes;
            p.helper = kestra::readHandle(p.announcement).value_or(p.helper);
        }
    }
    return p.helper;
}

// Sends bytes to the peer's helper window and returns the frames that came
// back while the send was in progress.
std::vector<winetest::ReceivedFrame> exchange(const std::string& bytes, HWND to = nullptr) {
    Peer& p = peer();
    p.controller.clear();
    winetest::sendFrame(p.controller.hwnd(), to != nullptr ? to : peerWindow(), bytes);
    return p.controller.frames();
}

class CrossProcessFraming : public ::testing::Test {
  protected:
    void SetUp() override {
        helper = peerWindow();
        ASSERT_NE(helper, nullptr) << "the peer process did not announce itself";
        controller = peer().controller.hwnd();
    }
    HWND helper = nullptr;
    HWND controller = nullptr;
};

TEST_F(CrossProcessFraming, AnnouncementNamesTheHelperWindowTwiceByteForByte) {
    const std::string text = winetest::handleText(helper);
    EXPECT_EQ(peer().announcement, text + "[.2.]REQ[.1.]3[.2.]" + text + "[.2.]");
    EXPECT_EQ(peer().announcement.size(), 56u);
    DWORD owner = 0;
    GetWindowThreadProcessId(helper, &owner);
    EXPECT_EQ(owner, peer().process.processId()) << "the announced window belongs to the peer process";
}

TEST_F(CrossProcessFraming, RequestIsAnsweredBeforeTheSendReturns) {
    const auto replies = exchange(winetest::requestFrame(controller, 5, "hello", 17));
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].bytes, winetest::replyFrame(helper, 17, "c5:hello"));
    EXPECT_EQ(replies[0].receiver, controller);
}

TEST_F(CrossProcessFraming, RequestIdsAndCommandNumbersKeepTheirSignAndValue) {
    EXPECT_EQ(exchange(winetest::requestFrame(controller, 1, "x", -5)).at(0).bytes,
              winetest::replyFrame(helper, -5, "c1:x"));
    EXPECT_EQ(exchange(winetest::requestFrame(controller, -12, "y", 2147483647)).at(0).bytes,
              winetest::replyFrame(helper, 2147483647, "c-12:y"));
    // An empty payload is dispatched as such.
    EXPECT_EQ(exchange(winetest::requestFrame(controller, 4, "", 3)).at(0).bytes,
              winetest::replyFrame(helper, 3, "c4:"));
    // Lenient reading of the sender and the numbers.
    EXPECT_EQ(
        exchange("0x" + winetest::handleText(controller) + "[.2.]REQ[.1.] +8abc[.2.]p[.2.]  12z").at(0).bytes,
        winetest::replyFrame(helper, 12, "c8:p"));
}

TEST_F(CrossProcessFraming, MalformedFramesAreDroppedWithoutReply) {
    const std::string h = winetest::handleText(controller);
    const std::string malformed[] = {
        h + "[.2.]REQ[.1.]3[.2.]" + h + "[.2.]",  // the announcement's shape: no request id
        h + "[.2.]req[.1.]1[.2.]a[.2.]1",         // kind in the wrong case
        h + "[.2.]REQX[.1.]1[.2.]a[.2.]1",        // kind too long
        h + "[.2.]REQ[.1.]1[.2.]a[.2.]b[.2.]1",   // four body pieces
        h + "[.2.]REQ[.1.]1[.2.]a[.2.]1[.1.]x",   // three top-level pieces
        h + "[.2.]x[.2.]REQ[.1.]1[.2.]a[.2.]1",   // three header pieces
        h + "[.2.]RET[.1.]1[.2.]",                // a reply shaped like the helper's own
        "",                                       // nothing at all
    };
    for (const std::string& frame : malformed) {
        EXPECT_TRUE(exchange(frame).empty()) << frame;
    }
    // The peer still serves after all of them.
    EXPECT_EQ(exchange(winetest::requestFrame(controller, 2, "ok", 9)).size(), 1u);
}

TEST_F(CrossProcessFraming, FramesToAnotherWindowOfTheSameProcessAreIgnored) {
    HWND other = FindWindowA(kPeerClass, kIgnoredTitle);
    ASSERT_NE(other, nullptr);
    ASSERT_NE(other, helper);
    EXPECT_TRUE(exchange(winetest::requestFrame(controller, 1, "a", 1), other).empty());
}

TEST_F(CrossProcessFraming, TextEndsAtTheFirstNulAndNeverPastCbData) {
    std::string withNul = winetest::requestFrame(controller, 6, "n", 7);
    withNul.push_back('\0');
    withNul += "99[.2.]junk";
    EXPECT_EQ(exchange(withNul).at(0).bytes, winetest::replyFrame(helper, 7, "c6:n"));

    // cbData shorter than the buffer: the request id "17" is cut to "1".
    const std::string full = winetest::requestFrame(controller, 6, "n", 17);
    COPYDATASTRUCT data{};
    data.cbData = static_cast<DWORD>(full.size() - 1);
    data.lpData = const_cast<char*>(full.data());
    peer().controller.clear();
    SendMessageA(helper, WM_COPYDATA, reinterpret_cast<WPARAM>(controller), reinterpret_cast<LPARAM>(&data));
    ASSERT_EQ(peer().controller.frames().size(), 1u);
    EXPECT_EQ(peer().controller.frames()[0].bytes, winetest::replyFrame(helper, 1, "c6:n"));
}

TEST_F(CrossProcessFraming, LargePayloadsCrossUnchanged) {
    std::string payload(60000, 'a');
    for (std::size_t i = 0; i < payload.size(); ++i) {
        payload[i] = static_cast<char>('A' + (i * 7) % 26);
    }
    const auto replies = exchange(winetest::requestFrame(controller, 7, payload, 21));
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].bytes, winetest::replyFrame(helper, 21, payload));
}

TEST_F(CrossProcessFraming, RepliesReachTheWindowNamedInTheRequest) {
    // The reply goes to the sender field, not to whichever window sent the
    // message.
    winetest::RecordingWindow elsewhere("reply target");
    peer().controller.clear();
    winetest::sendFrame(controller, helper, winetest::requestFrame(elsewhere.hwnd(), 3, "z", 30));
    EXPECT_TRUE(peer().controller.frames().empty());
    ASSERT_EQ(elsewhere.frames().size(), 1u);
    EXPECT_EQ(elsewhere.frames()[0].bytes, winetest::replyFrame(helper, 30, "c3:z"));
}

// ---- the reply path of onCopyData, on this side ----

std::string lastReplyPayload;
int replyCallbacks = 0;

LRESULT CALLBACK channelProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_COPYDATA) {
        kestra::onCopyData(window, reinterpret_cast<const COPYDATASTRUCT*>(lParam));
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

// A window of this process whose procedure hands WM_COPYDATA to the channel.
HWND createChannelWindow() {
    WNDCLASSEXA wc{};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = channelProcedure;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = "KESTRA_WINE_CHANNEL";
    RegisterClassExA(&wc);  // already registered by an earlier test: fine
    return CreateWindowExA(0, wc.lpszClassName, nullptr, WS_OVERLAPPEDWINDOW, 0, 0, 0, 0, nullptr, nullptr,
                           wc.hInstance, nullptr);
}

TEST_F(CrossProcessFraming, RepliesFromThePeerReachARegisteredWaiter) {
    HWND own = createChannelWindow();
    ASSERT_NE(own, nullptr);
    kestra::resetChannelState();
    kestra::helperWindow = own;
    replyCallbacks = 0;
    kestra::pendingReplies.push_back(
        {helper, {{41, [](std::string) { ++replyCallbacks; }}, {42, [](std::string payload) {
                                                                    ++replyCallbacks;
                                                                    lastReplyPayload = std::move(payload);
                                                                }}}});
    winetest::sendFrame(own, helper, winetest::requestFrame(own, 5, "back", 42));
    EXPECT_EQ(replyCallbacks, 1);
    EXPECT_EQ(lastReplyPayload, "c5:back");
    ASSERT_EQ(kestra::pendingReplies.size(), 1u);
    EXPECT_EQ(kestra::pendingReplies[0].waiters.size(), 1u);
    EXPECT_EQ(kestra::pendingReplies[0].waiters[0].requestId, 41);
    kestra::resetChannelState();
    DestroyWindow(own);
}

// ---- both ends in one thread ----

TEST(SameThreadFraming, AnnouncementAndReplyBetweenTwoWindowsOfOneProcess) {
    winetest::RecordingWindow controllerWindow("same-thread controller");
    HWND own = createChannelWindow();
    ASSERT_NE(own, nullptr);
    kestra::resetChannelState();
    kestra::helperWindow = own;
    kestra::commandHandler = peerHandler;

    ASSERT_EQ(kestra::sendRequest(controllerWindow.hwnd(), kestra::formatHandle(own)), 0);
    const std::string text = winetest::handleText(own);
    ASSERT_EQ(controllerWindow.frames().size(), 1u);
    EXPECT_EQ(controllerWindow.frames()[0].bytes, text + "[.2.]REQ[.1.]3[.2.]" + text + "[.2.]");

    winetest::sendFrame(controllerWindow.hwnd(), own,
                        winetest::requestFrame(controllerWindow.hwnd(), 9, "q", 5));
    ASSERT_EQ(controllerWindow.frames().size(), 2u);
    EXPECT_EQ(controllerWindow.frames()[1].bytes, winetest::replyFrame(own, 5, "c9:q"));

    // A vanished or null target refuses the announcement.
    HWND gone = createChannelWindow();
    DestroyWindow(gone);
    EXPECT_EQ(kestra::sendRequest(gone, "x"), -1);
    EXPECT_EQ(kestra::sendRequest(nullptr, "x"), -1);
    kestra::resetChannelState();
    DestroyWindow(own);
}

// Runs last (tests run in the order written): the peer ends when asked.
TEST_F(CrossProcessFraming, PeerEndsWhenAskedAndExitsWithZero) {
    const auto replies = exchange(winetest::requestFrame(controller, kQuitCommand, "", 1));
    ASSERT_EQ(replies.size(), 1u);
    ASSERT_TRUE(peer().process.waitForExit(10000));
    EXPECT_EQ(peer().process.exitCode(), 0);
    EXPECT_FALSE(IsWindow(helper));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 3 && std::strcmp(argv[1], "--peer") == 0) {
        return runPeer(argv[2]);
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
