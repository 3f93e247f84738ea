// Started programs on the simulated desktop: CreateProcessA of a registered
// program, the command line it sees, turns that alternate with the starter's
// peeks and sleeps, the exit code, windows destroyed at exit, and
// TerminateProcess.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/sim/desktop.h"
#include "platform/sim/programs.h"

namespace {

struct Started {
    PROCESS_INFORMATION info{};
    BOOL ok = FALSE;
    DWORD error = 0;
};

Started start(const char* path, std::string commandLine) {
    Started s;
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    s.ok = CreateProcessA(path, commandLine.data(), nullptr, nullptr, FALSE, DETACHED_PROCESS, nullptr,
                          nullptr, &startup, &s.info);
    s.error = s.ok ? 0 : GetLastError();
    return s;
}

LRESULT CALLBACK plainProc(HWND w, UINT m, WPARAM wp, LPARAM lp) {
    return DefWindowProcA(w, m, wp, lp);
}

class SimPrograms : public ::testing::Test {
  protected:
    ~SimPrograms() override { sim::unregisterPrograms(); }
    sim::Desktop desk;
};

TEST_F(SimPrograms, AProgramSeesItsArgumentsAndEndsWithItsExitCode) {
    std::string seen;
    sim::registerProgram("Tool.EXE", [&](const char* commandLine) {
        seen = commandLine;
        return -7;
    });
    Started s = start("C:\\bin\\tool.exe", "\"C:\\bin\\tool.exe\"   00000000000A0B1C more");
    ASSERT_TRUE(s.ok);
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeProcess(s.info.hProcess, &code));
    EXPECT_EQ(code, STILL_ACTIVE) << "a program runs only when its starter waits";
    EXPECT_EQ(WaitForSingleObject(s.info.hProcess, 100), WAIT_OBJECT_0);
    EXPECT_EQ(seen, "00000000000A0B1C more");
    ASSERT_TRUE(GetExitCodeProcess(s.info.hProcess, &code));
    EXPECT_EQ(static_cast<int>(code), -7);
    EXPECT_EQ(sim::runningPrograms(), 0);
    EXPECT_TRUE(CloseHandle(s.info.hThread));
    EXPECT_TRUE(CloseHandle(s.info.hProcess));
    EXPECT_EQ(WaitForSingleObject(s.info.hProcess, 0), WAIT_FAILED);
}

TEST_F(SimPrograms, AnUnknownProgramIsNotFound) {
    Started s = start("C:\\bin\\missing.exe", "missing.exe");
    EXPECT_FALSE(s.ok);
    EXPECT_EQ(s.error, ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(GetFileAttributesA("C:\\bin\\missing.exe"), INVALID_FILE_ATTRIBUTES);
    sim::registerProgram("present.exe", [](const char*) { return 0; });
    EXPECT_EQ(GetFileAttributesA("D:/x/PRESENT.exe"), FILE_ATTRIBUTE_NORMAL);
}

TEST_F(SimPrograms, TurnsAlternateWithTheStartersPeeksAndSleeps) {
    std::vector<std::string> order;
    sim::registerProgram("looper.exe", [&](const char*) {
        for (int turn = 0; turn < 3; ++turn) {
            order.push_back("program " + std::to_string(turn));
            MSG m{};
            PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE);
        }
        return 3;
    });
    Started s = start("looper.exe", "looper.exe");
    ASSERT_TRUE(s.ok);
    MSG m{};
    order.push_back("starter peeks");
    PeekMessageA(&m, nullptr, WM_USER, WM_USER, PM_REMOVE);
    order.push_back("starter peeks");
    PeekMessageA(&m, nullptr, WM_USER, WM_USER, PM_REMOVE);
    order.push_back("starter sleeps");
    Sleep(50);
    const std::vector<std::string> expected = {"starter peeks", "program 0",      "starter peeks",
                                               "program 1",     "starter sleeps", "program 2"};
    EXPECT_EQ(order, expected);
    EXPECT_EQ(WaitForSingleObject(s.info.hProcess, 0), WAIT_OBJECT_0);
}

TEST_F(SimPrograms, WindowsOfAProgramGoWhenItEnds) {
    HWND kept = nullptr;
    sim::registerProgram("windowed.exe", [&](const char*) {
        WNDCLASSEXA wc{};
        wc.cbSize = sizeof(wc);
        wc.lpfnWndProc = plainProc;
        wc.lpszClassName = "PROGRAM_WINDOW";
        RegisterClassExA(&wc);
        kept = CreateWindowExA(0, "PROGRAM_WINDOW", "left open", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                               nullptr, nullptr);
        MSG m{};
        PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE);
        return 0;
    });
    Started s = start("windowed.exe", "windowed.exe");
    ASSERT_TRUE(s.ok);
    MSG m{};
    PeekMessageA(&m, nullptr, WM_USER, WM_USER, PM_REMOVE);
    ASSERT_NE(kept, nullptr);
    EXPECT_TRUE(IsWindow(kept));
    EXPECT_EQ(WaitForSingleObject(s.info.hProcess, 10), WAIT_OBJECT_0);
    EXPECT_FALSE(IsWindow(kept));
}

TEST_F(SimPrograms, TerminateProcessEndsAWaitingProgramWithTheGivenCode) {
    int turns = 0;
    bool unwound = false;
    sim::registerProgram("forever.exe", [&](const char*) {
        struct Unwind {
            bool* flag;
            ~Unwind() { *flag = true; }
        } guard{&unwound};
        for (;;) {
            ++turns;
            Sleep(10);
        }
        return 0;
    });
    Started s = start("forever.exe", "forever.exe");
    ASSERT_TRUE(s.ok);
    EXPECT_EQ(WaitForSingleObject(s.info.hProcess, 100), WAIT_TIMEOUT);
    EXPECT_EQ(turns, 10);
    EXPECT_GE(desk.now(), 100);
    ASSERT_TRUE(TerminateProcess(s.info.hProcess, 42));
    EXPECT_TRUE(unwound);
    DWORD code = 0;
    GetExitCodeProcess(s.info.hProcess, &code);
    EXPECT_EQ(code, 42u);
    EXPECT_EQ(sim::runningPrograms(), 0);
    EXPECT_FALSE(TerminateProcess(s.info.hProcess, 1)) << "an ended process cannot be terminated";
}

TEST_F(SimPrograms, TheDesktopEndsProgramsThatStillRun) {
    auto other = std::make_unique<sim::Desktop>();
    sim::registerProgram("stays.exe", [](const char*) {
        for (;;) {
            MSG m{};
            PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE);
        }
        return 0;
    });
    Started s = start("stays.exe", "stays.exe");
    ASSERT_TRUE(s.ok);
    Sleep(5);
    EXPECT_EQ(sim::runningPrograms(), 1);
    other.reset();
    EXPECT_EQ(sim::runningPrograms(), 0);
}

}  // namespace
