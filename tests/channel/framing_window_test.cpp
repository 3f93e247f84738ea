// Framing between real windows on the simulated desktop: the bytes that
// sendRequest and sendReply put on the wire, a request answered from inside
// the window procedure, and frames to windows other than the helper window.
#include <gtest/gtest.h>

#include <cstdint>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "channel/framing.h"
#include "platform/sim/desktop.h"

namespace kestra {
namespace {

constexpr const char* kTestHelperClass = "FramingTestHelper";

struct SeenRequest {
    HWND peer;
    std::int32_t command;
    std::string payload;
    std::int32_t requestId;
};
std::vector<SeenRequest> seenRequests;

// What the command set does last for every request: an empty reply.
void answerRequest(HWND peer, std::int32_t command, std::string payload, std::int32_t requestId) {
    seenRequests.push_back({peer, command, payload, requestId});
    sendReply(peer, requestId, "");
}

LRESULT CALLBACK testWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_COPYDATA) {
        onCopyData(window, reinterpret_cast<const COPYDATASTRUCT*>(lParam));
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

class FramingWindowTest : public ::testing::Test {
  protected:
    sim::Desktop desk;
    sim::Controller controller{desk};
    HWND helper = nullptr;
    HWND sibling = nullptr;  // another window of the helper's class, like a capture host

    void SetUp() override {
        resetChannelState();
        seenRequests.clear();
        WNDCLASSEXA windowClass{};
        windowClass.cbSize = sizeof(windowClass);
        windowClass.lpfnWndProc = testWindowProc;
        windowClass.hInstance = GetModuleHandleA(nullptr);
        windowClass.lpszClassName = kTestHelperClass;
        ASSERT_NE(RegisterClassExA(&windowClass), 0);
        helper = CreateWindowExA(0, kTestHelperClass, nullptr, WS_OVERLAPPEDWINDOW, 0, 0, 0, 0, nullptr,
                                 nullptr, windowClass.hInstance, nullptr);
        sibling = CreateWindowExA(0, kTestHelperClass, nullptr, WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                                  windowClass.hInstance, nullptr);
        ASSERT_NE(helper, nullptr);
        ASSERT_NE(sibling, nullptr);
        helperWindow = helper;
        commandHandler = answerRequest;
    }
    void TearDown() override {
        resetChannelState();
        seenRequests.clear();
    }

    std::string helperText() const { return formatHandle(helper); }
    std::string controllerText() const { return formatHandle(controller.hwnd()); }
};

TEST_F(FramingWindowTest, AnnouncementBytes) {
    ASSERT_EQ(sendRequest(controller.hwnd(), helperText()), 0);
    ASSERT_EQ(controller.received().size(), 1u);
    const std::string expected = helperText() + "[.2.]REQ[.1.]3[.2.]" + helperText() + "[.2.]";
    EXPECT_EQ(controller.received()[0].bytes, expected);
    EXPECT_EQ(controller.received()[0].bytes.size(), 56u);
    EXPECT_EQ(controller.received()[0].dwData, 0u);
}

TEST_F(FramingWindowTest, RequestToNullOrVanishedWindowIsRefused) {
    EXPECT_EQ(sendRequest(nullptr, helperText()), -1);
    controller.close();
    EXPECT_EQ(sendRequest(controller.hwnd(), helperText()), -1);
    EXPECT_TRUE(controller.received().empty());
}

TEST_F(FramingWindowTest, ReplyBytes) {
    sendReply(controller.hwnd(), 17, "");
    sendReply(controller.hwnd(), -5, "payload");
    ASSERT_EQ(controller.received().size(), 2u);
    EXPECT_EQ(controller.received()[0].bytes, helperText() + "[.2.]RET[.1.]17[.2.]");
    EXPECT_EQ(controller.received()[0].bytes.size(), 36u);
    EXPECT_EQ(controller.received()[1].bytes, helperText() + "[.2.]RET[.1.]-5[.2.]payload");
}

TEST_F(FramingWindowTest, ReplyToVanishedWindowIsHarmless) {
    const HWND gone = controller.hwnd();
    controller.close();
    sendReply(gone, 1, "");
    EXPECT_TRUE(controller.received().empty());
}

TEST_F(FramingWindowTest, RequestIsAnsweredToTheSenderNamedInTheFrame) {
    controller.send(helper, controllerText() + "[.2.]REQ[.1.]7[.2.]abc[.2.]-5");
    ASSERT_EQ(seenRequests.size(), 1u);
    EXPECT_EQ(seenRequests[0].peer, controller.hwnd());
    EXPECT_EQ(seenRequests[0].command, 7);
    EXPECT_EQ(seenRequests[0].payload, "abc");
    // The reply arrived inside the controller's send.
    ASSERT_EQ(controller.received().size(), 1u);
    EXPECT_EQ(controller.received()[0].bytes, helperText() + "[.2.]RET[.1.]-5[.2.]");
}

TEST_F(FramingWindowTest, ReplyGoesToThePeerInTheHeaderNotTheMessageSender) {
    sim::Controller other(desk, "other");
    controller.send(helper, formatHandle(other.hwnd()) + "[.2.]REQ[.1.]1[.2.]p[.2.]2");
    EXPECT_TRUE(controller.received().empty());
    ASSERT_EQ(other.received().size(), 1u);
    EXPECT_EQ(other.received()[0].bytes, helperText() + "[.2.]RET[.1.]2[.2.]");
}

TEST_F(FramingWindowTest, ABroadcastSenderGetsNoReplyAndNoWindowIsMessaged) {
    int framesElsewhere = 0;
    auto count = [&](HWND, UINT msg, WPARAM, LPARAM) -> std::optional<LRESULT> {
        framesElsewhere += msg == WM_COPYDATA ? 1 : 0;
        return std::nullopt;
    };
    desk.app("editor").createWindow({.onMessage = count});
    desk.app("tray").createWindow({.visible = false, .onMessage = count});
    // 0xFFFF is HWND_BROADCAST.
    controller.send(helper, "000000000000FFFF[.2.]REQ[.1.]1[.2.]p[.2.]2");
    ASSERT_EQ(seenRequests.size(), 1u);
    EXPECT_EQ(seenRequests[0].peer, HWND_BROADCAST);
    EXPECT_EQ(framesElsewhere, 0);
    EXPECT_TRUE(controller.received().empty());
    sendReply(HWND_BROADCAST, 3, "");
    EXPECT_EQ(framesElsewhere, 0);
    EXPECT_TRUE(controller.received().empty());
}

TEST_F(FramingWindowTest, AHungPeerDelaysTheReplyByAtMostTheSendTimeout) {
    HWND peer = desk.app("stuck").createWindow({});
    desk.window(peer).hang(60'000);
    const std::string request = formatHandle(peer) + "[.2.]REQ[.1.]1[.2.]p[.2.]";
    std::int64_t before = desk.now();
    controller.send(helper, request + "1");
    EXPECT_EQ(seenRequests.size(), 1u);
    EXPECT_LE(desk.now() - before, std::int64_t{kSendTimeoutMs});
    // Once the system sees the peer as hung, replies give up at once.
    desk.runFor(5000);
    before = desk.now();
    controller.send(helper, request + "2");
    EXPECT_EQ(seenRequests.size(), 2u);
    EXPECT_EQ(desk.now(), before);
    EXPECT_TRUE(desk.window(peer).hung());
}

TEST_F(FramingWindowTest, APeerThatIsSlowButAliveStillGetsItsReply) {
    std::vector<std::string> frames;
    HWND peer = desk.app("slow").createWindow(
        {.onMessage = [&](HWND, UINT msg, WPARAM, LPARAM lp) -> std::optional<LRESULT> {
            if (msg == WM_COPYDATA) {
                const auto* data = reinterpret_cast<const COPYDATASTRUCT*>(lp);
                frames.emplace_back(static_cast<const char*>(data->lpData), data->cbData);
            }
            return std::nullopt;
        }});
    desk.window(peer).hang(200);
    controller.send(helper, formatHandle(peer) + "[.2.]REQ[.1.]1[.2.]p[.2.]4");
    EXPECT_EQ(frames, std::vector<std::string>{helperText() + "[.2.]RET[.1.]4[.2.]"});
}

TEST_F(FramingWindowTest, FramesOverTheSizeBoundAreDroppedUnread) {
    // A well-formed request padded with blanks that the number reading skips.
    const std::string head = controllerText() + "[.2.]REQ[.1.]4[.2.]p[.2.]9";
    std::string atBound = head;
    atBound.resize(kMaxFrameBytes - 1, ' ');  // with the NUL the sender adds: exactly the bound
    atBound.push_back('\0');
    controller.send(helper, atBound);
    ASSERT_EQ(seenRequests.size(), 1u);
    EXPECT_EQ(seenRequests[0].requestId, 9);
    std::string over = head;
    over.resize(kMaxFrameBytes + 1, ' ');
    controller.send(helper, over);
    EXPECT_EQ(seenRequests.size(), 1u);
    EXPECT_EQ(controller.received().size(), 1u);
}

TEST_F(FramingWindowTest, NestedFramesPastTheDepthBoundAreDroppedWithoutAReply) {
    // A peer that answers every reply with a new request, 200 times over.
    int sent = 1;
    controller.onFrame = [&](const sim::ReceivedFrame&) {
        if (sent < 200) {
            ++sent;
            controller.send(helper,
                            controllerText() + "[.2.]REQ[.1.]1[.2.]again[.2.]" + std::to_string(sent));
        }
    };
    controller.send(helper, controllerText() + "[.2.]REQ[.1.]1[.2.]first[.2.]1");
    // Handled at depths 1 to kMaxFrameDepth; the request sent from inside the
    // deepest reply is dropped, which ends the chain.
    EXPECT_EQ(seenRequests.size(), static_cast<std::size_t>(kMaxFrameDepth));
    EXPECT_EQ(controller.received().size(), static_cast<std::size_t>(kMaxFrameDepth));
    EXPECT_EQ(sent, kMaxFrameDepth + 1);
    // Once the chain has unwound, frames are handled again.
    controller.onFrame = nullptr;
    controller.send(helper, controllerText() + "[.2.]REQ[.1.]1[.2.]later[.2.]300");
    EXPECT_EQ(seenRequests.back().requestId, 300);
}

void runOutOfMemory(HWND, std::int32_t command, std::string, std::int32_t) {
    if (command == 1) {
        throw std::bad_alloc();
    }
}

TEST_F(FramingWindowTest, AnAllocationFailureDropsTheFrameAndNothingLeavesTheProcedure) {
    commandHandler = runOutOfMemory;
    EXPECT_NO_THROW(controller.send(helper, controllerText() + "[.2.]REQ[.1.]1[.2.]p[.2.]1"));
    // The frame's depth was given back: the next frames are handled.
    commandHandler = answerRequest;
    for (int id = 2; id < 2 + kMaxFrameDepth; ++id) {
        controller.send(helper, controllerText() + "[.2.]REQ[.1.]2[.2.]p[.2.]" + std::to_string(id));
    }
    EXPECT_EQ(seenRequests.size(), static_cast<std::size_t>(kMaxFrameDepth));
}

TEST_F(FramingWindowTest, FramesToOtherHelperWindowsAreIgnored) {
    const std::string frame = controllerText() + "[.2.]REQ[.1.]1[.2.]p[.2.]2";
    controller.send(sibling, frame);
    EXPECT_TRUE(seenRequests.empty());
    EXPECT_TRUE(controller.received().empty());
}

TEST_F(FramingWindowTest, ARequestDeliveredWhileAReplyIsSentIsHandled) {
    // The controller answers the first reply with a second request, which
    // enters onCopyData again from inside the first sendReply.
    int nested = 0;
    controller.onFrame = [&](const sim::ReceivedFrame&) {
        if (nested++ == 0) {
            controller.send(helper, controllerText() + "[.2.]REQ[.1.]2[.2.]second[.2.]2");
        }
    };
    controller.send(helper, controllerText() + "[.2.]REQ[.1.]1[.2.]first[.2.]1");
    ASSERT_EQ(seenRequests.size(), 2u);
    EXPECT_EQ(seenRequests[0].payload, "first");
    EXPECT_EQ(seenRequests[1].payload, "second");
    ASSERT_EQ(controller.received().size(), 2u);
    EXPECT_EQ(controller.received()[0].bytes, helperText() + "[.2.]RET[.1.]1[.2.]");
    EXPECT_EQ(controller.received()[1].bytes, helperText() + "[.2.]RET[.1.]2[.2.]");
}

}  // namespace
}  // namespace kestra
