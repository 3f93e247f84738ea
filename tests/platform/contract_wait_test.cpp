// MsgWaitForMultipleObjectsEx on no handles, as the main loop waits: the
// timeout expires, a WM_COPYDATA sent from another process ends the wait
// (and reaches the window procedure in the next peek), and with
// MWMO_INPUTAVAILABLE a message that was already queued (and seen by a peek)
// ends it at once. Elapsed times come from the performance counter: virtual
// on the simulated desktop, real under Wine.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "platform/contract_env.h"
#include "platform/win32.h"

namespace {

struct Received {
    int copies = 0;
    ULONG_PTR tag = 0;
    std::string bytes;
};

Received& received() {
    static Received r;
    return r;
}

LRESULT CALLBACK waitProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_COPYDATA && lParam != 0) {
        const auto* data = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
        Received& r = received();
        ++r.copies;
        r.tag = data->dwData;
        r.bytes.assign(static_cast<const char*>(data->lpData), data->cbData);
        return 1;
    }
    return DefWindowProcA(hwnd, msg, wParam, lParam);
}

constexpr const char* kClass = "KestraContractWait";

double nowMs() {
    LARGE_INTEGER count{};
    LARGE_INTEGER frequency{};
    QueryPerformanceCounter(&count);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(count.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

DWORD waitFor(DWORD ms) {
    return MsgWaitForMultipleObjectsEx(0, nullptr, ms, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
}

class WaitContract : public ::testing::Test {
  protected:
    void SetUp() override {
        received() = Received{};
        WNDCLASSEXA wc{};
        wc.cbSize = sizeof(wc);
        wc.lpfnWndProc = waitProc;
        wc.lpszClassName = kClass;
        ASSERT_NE(RegisterClassExA(&wc), 0);
        // Hidden: it never needs painting, so only what a test sends or posts
        // is input.
        window_ = CreateWindowExA(0, kClass, "", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
        ASSERT_NE(window_, nullptr);
        drain();
    }
    void TearDown() override {
        DestroyWindow(window_);
        drain();
        UnregisterClassA(kClass, nullptr);
    }
    // Removes what is queued (a bounded number of messages: never loop on an
    // undispatched peek).
    static void drain() {
        MSG msg{};
        for (int i = 0; i < 100 && PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE); ++i) {
        }
    }

    contract::Environment env_;
    HWND window_ = nullptr;
};

TEST_F(WaitContract, TheTimeoutExpiresWithoutInput) {
    const double start = nowMs();
    EXPECT_EQ(waitFor(60), WAIT_TIMEOUT);
    const double took = nowMs() - start;
    EXPECT_GE(took, 50.0);  // a timer tick early at most
    EXPECT_LT(took, 1000.0);
}

TEST_F(WaitContract, AMessageAlreadyQueuedEndsTheWaitAtOnceWithInputAvailable) {
    ASSERT_TRUE(PostMessageA(window_, WM_USER + 5, 0, 0));
    // A peek that leaves it queued: it is no longer new input, and only
    // MWMO_INPUTAVAILABLE makes the wait see it.
    MSG msg{};
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE));
    EXPECT_EQ(msg.message, WM_USER + 5);
    const double start = nowMs();
    EXPECT_EQ(waitFor(2000), WAIT_OBJECT_0);
    EXPECT_LT(nowMs() - start, 500.0);
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(msg.message, WM_USER + 5);
}

TEST_F(WaitContract, CopyDataSentFromAnotherProcessEndsTheWait) {
    ASSERT_TRUE(env_.sendCopyDataLater(window_, 100));
    const double start = nowMs();
    DWORD last = WAIT_FAILED;
    // Wait as the main loop does until the frame has arrived: each wait ends
    // with input, and the peek after it handles the sent message.
    for (int round = 0; round < 50 && received().copies == 0 && nowMs() - start < 10000.0; ++round) {
        last = waitFor(10000);
        MSG msg{};
        PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE);
    }
    const double took = nowMs() - start;
    EXPECT_EQ(last, WAIT_OBJECT_0);
    ASSERT_EQ(received().copies, 1);
    EXPECT_EQ(received().tag, 7u);
    EXPECT_EQ(received().bytes, "hello");
    EXPECT_GE(took, 90.0);
    EXPECT_LT(took, 9000.0) << "the wait ran to its timeout";
}

}  // namespace
