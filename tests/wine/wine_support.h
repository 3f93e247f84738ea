// Small Win32 helpers shared by the programs that run under Wine: windows
// that record the WM_COPYDATA frames they receive, message pumping with a
// bound, child processes, and the 16-digit handle text written independently
// of the product's own formatting.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace winetest {

// One WM_COPYDATA as it arrived: the sender (wParam), dwData and the bytes.
struct ReceivedFrame {
    HWND receiver = nullptr;
    HWND sender = nullptr;
    ULONG_PTR tag = 0;
    std::string bytes;
};

// A top-level window whose procedure records every WM_COPYDATA it gets.
// An optional hook runs after recording (to answer, for example).
class RecordingWindow {
  public:
    explicit RecordingWindow(const char* title = "kestra wine test");
    ~RecordingWindow();
    RecordingWindow(const RecordingWindow&) = delete;
    RecordingWindow& operator=(const RecordingWindow&) = delete;

    HWND hwnd() const { return window_; }
    const std::vector<ReceivedFrame>& frames() const { return frames_; }
    void clear() { frames_.clear(); }
    void destroy();
    std::function<void(const ReceivedFrame&)> onFrame;

  private:
    static LRESULT CALLBACK procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    HWND window_ = nullptr;
    std::vector<ReceivedFrame> frames_;
};

// Dispatches every queued message once (sent messages from other processes
// are delivered inside the peek).
void pumpMessages();

// Pumps messages until done() holds or timeoutMs passes; true when done.
bool pumpUntil(const std::function<bool()>& done, DWORD timeoutMs);

// The process-wide handle text: exactly 16 upper-case hexadecimal digits.
std::string handleText(HWND window);
std::string handleText(std::uint64_t value);

// Sends bytes as WM_COPYDATA from `from` to `to` with SendMessageA.
LRESULT sendFrame(HWND from, HWND to, const std::string& bytes, ULONG_PTR tag = 0);

// A request frame as a controller writes it.
std::string requestFrame(HWND sender, int command, const std::string& payload, int requestId);
// A reply frame with an empty payload as the helper writes it.
std::string replyFrame(HWND sender, int requestId, const std::string& payload);

// A started child process.
class ChildProcess {
  public:
    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts `program` with `arguments` (the command line is
    // "\"program\" arguments", or just "\"program\"" when arguments is empty).
    bool start(const std::string& program, const std::string& arguments);
    DWORD processId() const { return info_.dwProcessId; }
    HANDLE handle() const { return info_.hProcess; }
    // Pumps messages while waiting; true when the process ended in time.
    bool waitForExit(DWORD timeoutMs);
    // The exit code as a signed value (STILL_ACTIVE while running).
    int exitCode() const;
    bool running() const;
    // Ends the process if it still runs (test clean-up only).
    void terminate();

  private:
    PROCESS_INFORMATION info_{};
};

// The full path of the running executable's folder, with a trailing '\\'.
std::string ownFolder();
std::string ownPath();

// Milliseconds from a monotonic counter.
std::int64_t monotonicMs();

}  // namespace winetest
