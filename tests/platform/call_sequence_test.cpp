// The call-sequence check the other suites compare call logs with: exact and
// in-order tables, codes and windows, and the mismatches it must report.
#include "support/call_sequence.h"

#include <gtest/gtest.h>

#include <vector>

#include "platform/sim/desktop.h"
#include "platform/win32.h"

namespace kestra::testing {
namespace {

class CallSequence : public ::testing::Test {
  protected:
    void SetUp() override {
        WNDCLASSEXA wc{};
        wc.cbSize = sizeof(wc);
        wc.lpfnWndProc = DefWindowProcA;
        wc.lpszClassName = "KESTRAHELPER";
        ASSERT_NE(RegisterClassExA(&wc), 0);
        first = CreateWindowExA(0, "KESTRAHELPER", "", WS_POPUP, 0, 0, 50, 50, nullptr, nullptr, nullptr,
                                nullptr);
        second = CreateWindowExA(0, "KESTRAHELPER", "", WS_POPUP, 60, 0, 50, 50, nullptr, nullptr, nullptr,
                                 nullptr);
        desk.callLog().enable();
        ShowWindow(first, SW_SHOWNOACTIVATE);
        ShowWindow(second, SW_SHOWNOACTIVATE);
        SetWindowPos(first, nullptr, 1, 2, 3, 4, SWP_NOACTIVATE);
        ShowWindow(first, SW_HIDE);
        desk.callLog().disable();
    }

    sim::Desktop desk;
    HWND first = nullptr;
    HWND second = nullptr;
};

TEST_F(CallSequence, ExactTableMatchesCallForCall) {
    EXPECT_TRUE(callSequence(desk.callLog().entries(), {{"ShowWindow", SW_SHOWNOACTIVATE, first},
                                                        {"ShowWindow", SW_SHOWNOACTIVATE, second},
                                                        {"SetWindowPos"},
                                                        {"ShowWindow", SW_HIDE}}));
    EXPECT_TRUE(callSequence(callsAbout(desk.callLog(), first, "ShowWindow"),
                             {{"ShowWindow", SW_SHOWNOACTIVATE}, {"ShowWindow", SW_HIDE}}));
    EXPECT_TRUE(callSequence(callsAbout(desk.callLog(), second, "SetWindowPos"), {}));
}

TEST_F(CallSequence, ExactTableReportsWrongMissingAndExtraCalls) {
    const std::vector<sim::CallEntry> shows = callsAbout(desk.callLog(), first, "ShowWindow");
    EXPECT_FALSE(callSequence(shows, {{"ShowWindow", SW_HIDE}, {"ShowWindow", SW_HIDE}})) << "wrong code";
    EXPECT_FALSE(callSequence(shows, {{"ShowWindow", SW_SHOWNOACTIVATE, second}, {"ShowWindow"}}))
        << "wrong window";
    EXPECT_FALSE(callSequence(shows, {{"ShowWindow"}})) << "a call more than the rows";
    EXPECT_FALSE(callSequence(shows, {{"ShowWindow"}, {"ShowWindow"}, {"ShowWindow"}})) << "a row not called";
    EXPECT_FALSE(callSequence(desk.callLog().entries(), {{"ShowWindow"}, {"SetWindowPos"}, {"ShowWindow"}}))
        << "calls between rows";
}

TEST_F(CallSequence, InOrderTableSkipsOtherCallsButNotTheOrder) {
    const std::vector<sim::CallEntry>& all = desk.callLog().entries();
    EXPECT_TRUE(callSequence(all, {{"ShowWindow", SW_SHOWNOACTIVATE, first}, {"ShowWindow", SW_HIDE, first}},
                             CallOrder::inOrder));
    EXPECT_TRUE(callSequence(all, {{"SetWindowPos"}}, CallOrder::inOrder));
    EXPECT_FALSE(callSequence(all, {{"ShowWindow", SW_HIDE}, {"SetWindowPos"}}, CallOrder::inOrder));
    EXPECT_FALSE(callSequence(all, {{"BitBlt"}}, CallOrder::inOrder));
}

}  // namespace
}  // namespace kestra::testing
