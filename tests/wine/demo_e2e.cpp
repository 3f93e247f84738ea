// kestra-demo.exe against the real kestra-helper.exe with the Magnification
// stand-in (all in the mag/ folder): `list` shows a published test window,
// `dark <title>` brings the inverted overlay over it, `glass <title>` replaces
// its page with the backdrop, and Ctrl+C ends the demo and the helper in
// order (exit code -1000, reported by the demo) with no helper process left.
#include <gtest/gtest.h>
// clang-format off
#include <windows.h>
#include <tlhelp32.h>
// clang-format on

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "published_window.h"
#include "wine_support.h"

namespace {

using winetest::invertedMismatches;
using winetest::kHeight;
using winetest::kWidth;
using winetest::PublishedWindow;
using winetest::readScreen;
using winetest::sameRect;

constexpr const char* kTargetTitle = "kestra demo target";

int helperProcesses() {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return -1;
    }
    PROCESSENTRY32 entry{};
    entry.dwSize = sizeof(entry);
    int count = 0;
    for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry)) {
        if (_stricmp(entry.szExeFile, "kestra-helper.exe") == 0) {
            ++count;
        }
    }
    CloseHandle(snapshot);
    return count;
}

// kestra-demo.exe in a console of its own, with its output in a file.
class DemoRun {
  public:
    explicit DemoRun(const std::string& arguments) {
        static int serial = 0;
        outputPath_ = winetest::ownFolder() + "demo-output-" + std::to_string(++serial) + ".txt";
        SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
        output_ = CreateFileA(outputPath_.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        STARTUPINFOA startup{};
        startup.cb = sizeof(startup);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        startup.hStdOutput = output_;
        startup.hStdError = output_;
        const std::string program = winetest::ownFolder() + "kestra-demo.exe";
        std::string commandLine = "\"" + program + "\" " + arguments;
        // A console of its own, as when a person starts it from a console
        // window; its output still goes to the file.
        started_ = CreateProcessA(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                                  CREATE_NEW_CONSOLE, nullptr, nullptr, &startup, &info_) != FALSE;
    }
    ~DemoRun() {
        if (info_.hProcess != nullptr) {
            if (WaitForSingleObject(info_.hProcess, 0) == WAIT_TIMEOUT) {
                TerminateProcess(info_.hProcess, 99);
            }
            CloseHandle(info_.hProcess);
            CloseHandle(info_.hThread);
        }
        if (output_ != INVALID_HANDLE_VALUE) {
            CloseHandle(output_);
        }
    }
    bool started() const { return started_; }
    bool waitForExit(DWORD timeoutMs) {
        return winetest::pumpUntil([&] { return WaitForSingleObject(info_.hProcess, 0) == WAIT_OBJECT_0; },
                                   timeoutMs);
    }
    int exitCode() const {
        DWORD code = STILL_ACTIVE;
        GetExitCodeProcess(info_.hProcess, &code);
        return static_cast<int>(code);
    }
    // Types Ctrl+C into the demo's console, from a fresh process of this
    // program (see typeCtrlC below).
    bool ctrlC() const {
        winetest::ChildProcess typist;
        if (!typist.start(winetest::ownPath(), "--type-ctrl-c " + std::to_string(info_.dwProcessId))) {
            return false;
        }
        return typist.waitForExit(10000) && typist.exitCode() == 0;
    }

    std::string output() const {
        std::ifstream file(outputPath_);
        std::stringstream text;
        text << file.rdbuf();
        return text.str();
    }

  private:
    std::string outputPath_;
    HANDLE output_ = INVALID_HANDLE_VALUE;
    PROCESS_INFORMATION info_{};
    bool started_ = false;
};

// Types Ctrl+C into the console of process `pid`, as a person would: joins
// that console and writes the key into its input. Run in a process of its
// own: under Wine 8, GenerateConsoleCtrlEvent to another console's process
// fails with ERROR_INVALID_HANDLE, and a second attach from the same process
// does not reach the console's input.
int typeCtrlC(DWORD pid) {
    FreeConsole();
    if (AttachConsole(pid) == FALSE) {
        std::fprintf(stderr, "AttachConsole failed: %lu\n", GetLastError());
        return 1;
    }
    SetConsoleCtrlHandler(nullptr, TRUE);  // not for this process
    HANDLE input = CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               nullptr, OPEN_EXISTING, 0, nullptr);
    if (input == INVALID_HANDLE_VALUE) {
        return 2;
    }
    INPUT_RECORD keys[2]{};
    for (int i = 0; i < 2; ++i) {
        keys[i].EventType = KEY_EVENT;
        keys[i].Event.KeyEvent.bKeyDown = i == 0 ? TRUE : FALSE;
        keys[i].Event.KeyEvent.wRepeatCount = 1;
        keys[i].Event.KeyEvent.wVirtualKeyCode = 'C';
        keys[i].Event.KeyEvent.uChar.AsciiChar = 3;
        keys[i].Event.KeyEvent.dwControlKeyState = LEFT_CTRL_PRESSED;
    }
    DWORD count = 0;
    const BOOL written = WriteConsoleInputA(input, keys, 2, &count);
    Sleep(200);  // let the console act on it while this process is attached
    CloseHandle(input);
    return written != FALSE ? 0 : 3;
}

HWND visibleOverlayOver(HWND target) {
    RECT targetRect{};
    GetWindowRect(target, &targetRect);
    HWND overlay = FindWindowA("KESTRA_DLAYER", nullptr);
    RECT r{};
    if (overlay != nullptr && IsWindowVisible(overlay) && GetWindowRect(overlay, &r) &&
        sameRect(r, targetRect)) {
        return overlay;
    }
    return nullptr;
}

// Ends the demo with Ctrl+C and checks that it ended the helper in order.
void endWithCtrlC(DemoRun& demo) {
    const std::int64_t askedAt = winetest::monotonicMs();
    // Wine's console sometimes drops a typed Ctrl+C that arrives while it is
    // busy; a person would press it again, and so does the test.
    bool ending = false;
    for (int attempt = 0; attempt < 3 && !ending; ++attempt) {
        ASSERT_TRUE(demo.ctrlC()) << "could not type Ctrl+C: " << GetLastError();
        ending = winetest::pumpUntil(
            [&] { return demo.output().find("ending the helper") != std::string::npos; }, 3000);
    }
    ASSERT_TRUE(ending) << demo.output();
    ASSERT_TRUE(demo.waitForExit(30000)) << demo.output();
    std::printf("  demo and helper ended %.1f s after Ctrl+C\n",
                static_cast<double>(winetest::monotonicMs() - askedAt) / 1000.0);
    EXPECT_EQ(demo.exitCode(), 0) << demo.output();
    EXPECT_NE(demo.output().find("helper ended with -1000:"), std::string::npos) << demo.output();
    EXPECT_TRUE(winetest::pumpUntil([] { return helperProcesses() == 0; }, 3000))
        << helperProcesses() << " kestra-helper.exe process(es) left";
}

TEST(DemoEndToEnd, ListShowsTheTestWindowWithHandleTitleAndSize) {
    PublishedWindow target(200, 150, false, kTargetTitle);
    winetest::pumpMessages();
    DemoRun demo("list");
    ASSERT_TRUE(demo.started());
    ASSERT_TRUE(demo.waitForExit(20000));
    EXPECT_EQ(demo.exitCode(), 0);
    const std::string output = demo.output();
    const std::string line = winetest::handleText(target.hwnd()) + "    320x200    " + kTargetTitle;
    EXPECT_NE(output.find(line), std::string::npos) << "no line '" << line << "' in:\n" << output;
}

TEST(DemoEndToEnd, DarkBringsTheInvertedOverlayAndCtrlCEndsTheHelper) {
    PublishedWindow target(200, 150, false, kTargetTitle);
    ASSERT_TRUE(target.published());
    winetest::pumpMessages();
    DemoRun demo("dark \"DEMO TARGET\"");
    ASSERT_TRUE(demo.started());
    ASSERT_TRUE(winetest::pumpUntil([&] { return visibleOverlayOver(target.hwnd()) != nullptr; }, 20000))
        << "no overlay over the target; demo output:\n"
        << demo.output();
    RECT targetRect{};
    GetWindowRect(target.hwnd(), &targetRect);
    int mismatches = kWidth * kHeight;
    winetest::pumpUntil(
        [&] {
            mismatches = invertedMismatches(target, targetRect);
            return mismatches == 0;
        },
        10000);
    EXPECT_EQ(mismatches, 0) << "pixels over the target that are not the target inverted";
    EXPECT_TRUE(
        winetest::pumpUntil([&] { return demo.output().find("dark on: done") != std::string::npos; }, 5000))
        << demo.output();
    endWithCtrlC(demo);
}

TEST(DemoEndToEnd, GlassReplacesThePageAndCtrlCEndsTheHelper) {
    PublishedWindow target(260, 200, false, kTargetTitle);
    ASSERT_TRUE(target.published());
    winetest::pumpMessages();
    DemoRun demo(winetest::handleText(target.hwnd()).insert(0, "glass 0x") +
                 " --radius 6 --brightness 0.9 --wallpaper-only on --content-opacity 0 --glass-dark-mode off"
                 " --photo-opacity 1 --foreground-opacity 1");
    ASSERT_TRUE(demo.started());
    ASSERT_TRUE(winetest::pumpUntil([&] { return visibleOverlayOver(target.hwnd()) != nullptr; }, 20000))
        << "no overlay over the target; demo output:\n"
        << demo.output();
    RECT targetRect{};
    GetWindowRect(target.hwnd(), &targetRect);
    const std::uint32_t page = target.pixel(0, 0) & 0xFFFFFFu;
    double replaced = 0.0;
    winetest::pumpUntil(
        [&] {
            const std::vector<std::uint32_t> screen = readScreen(targetRect);
            int pagePixels = 0;
            int changed = 0;
            for (int row = 0; row < kHeight - 2; ++row) {
                for (int column = 0; column < kWidth; ++column) {
                    if ((target.pixel(column, row) & 0xFFFFFFu) != page) {
                        continue;
                    }
                    ++pagePixels;
                    changed += (screen[static_cast<std::size_t>(row) * kWidth + column] & 0xFFFFFFu) != page;
                }
            }
            replaced = pagePixels > 0 ? static_cast<double>(changed) / pagePixels : 0.0;
            return replaced > 0.9;
        },
        10000);
    EXPECT_GT(replaced, 0.9) << "share of page pixels replaced by the backdrop";
    EXPECT_TRUE(
        winetest::pumpUntil([&] { return demo.output().find("glass on: done") != std::string::npos; }, 5000))
        << demo.output();
    endWithCtrlC(demo);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--type-ctrl-c") {
        return typeCtrlC(static_cast<DWORD>(std::stoul(argv[2])));
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
