#include "wine_support.h"

#include <cstdio>

namespace winetest {
namespace {

constexpr const char* kRecordingClass = "KESTRA_WINE_RECORDER";

void registerRecordingClass(WNDPROC procedure) {
    static bool registered = false;
    if (registered) {
        return;
    }
    WNDCLASSEXA wc{};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = procedure;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = kRecordingClass;
    registered = RegisterClassExA(&wc) != 0;
}

}  // namespace

RecordingWindow::RecordingWindow(const char* title) {
    registerRecordingClass(&RecordingWindow::procedure);
    window_ = CreateWindowExA(0, kRecordingClass, title, WS_OVERLAPPEDWINDOW, 0, 0, 100, 100, nullptr,
                              nullptr, GetModuleHandleA(nullptr), this);
}

RecordingWindow::~RecordingWindow() {
    destroy();
}

void RecordingWindow::destroy() {
    if (window_ != nullptr) {
        HWND window = window_;
        window_ = nullptr;
        DestroyWindow(window);
    }
}

LRESULT CALLBACK RecordingWindow::procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        const auto* create = reinterpret_cast<const CREATESTRUCTA*>(lParam);
        SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* self = reinterpret_cast<RecordingWindow*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    if (message == WM_COPYDATA && self != nullptr) {
        const auto* data = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
        ReceivedFrame frame;
        frame.receiver = window;
        frame.sender = reinterpret_cast<HWND>(wParam);
        if (data != nullptr) {
            frame.tag = data->dwData;
            if (data->lpData != nullptr && data->cbData > 0) {
                frame.bytes.assign(static_cast<const char*>(data->lpData), data->cbData);
            }
        }
        self->frames_.push_back(frame);
        if (self->onFrame) {
            self->onFrame(self->frames_.back());
        }
        return 1;
    }
    if (message == WM_NCDESTROY) {
        SetWindowLongPtrA(window, GWLP_USERDATA, 0);
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

void pumpMessages() {
    MSG msg;
    // Bounded: a window whose update region is never validated keeps
    // producing WM_PAINT, so never loop on the peek alone.
    for (int i = 0; i < 256 && PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE); ++i) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

bool pumpUntil(const std::function<bool()>& done, DWORD timeoutMs) {
    const std::int64_t deadline = monotonicMs() + timeoutMs;
    for (;;) {
        pumpMessages();
        if (done()) {
            return true;
        }
        if (monotonicMs() >= deadline) {
            return false;
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
    }
}

std::string handleText(std::uint64_t value) {
    char text[17];
    std::snprintf(text, sizeof(text), "%016llX", static_cast<unsigned long long>(value));
    return text;
}

std::string handleText(HWND window) {
    return handleText(static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(window)));
}

LRESULT sendFrame(HWND from, HWND to, const std::string& bytes, ULONG_PTR tag) {
    COPYDATASTRUCT data{};
    data.dwData = tag;
    data.cbData = static_cast<DWORD>(bytes.size());
    data.lpData = const_cast<char*>(bytes.data());
    return SendMessageA(to, WM_COPYDATA, reinterpret_cast<WPARAM>(from), reinterpret_cast<LPARAM>(&data));
}

std::string requestFrame(HWND sender, int command, const std::string& payload, int requestId) {
    return handleText(sender) + "[.2.]REQ[.1.]" + std::to_string(command) + "[.2.]" + payload + "[.2.]" +
           std::to_string(requestId);
}

std::string replyFrame(HWND sender, int requestId, const std::string& payload) {
    return handleText(sender) + "[.2.]RET[.1.]" + std::to_string(requestId) + "[.2.]" + payload;
}

ChildProcess::~ChildProcess() {
    terminate();
    if (info_.hThread != nullptr) {
        CloseHandle(info_.hThread);
    }
    if (info_.hProcess != nullptr) {
        CloseHandle(info_.hProcess);
    }
}

bool ChildProcess::start(const std::string& program, const std::string& arguments) {
    std::string commandLine = "\"" + program + "\"";
    if (!arguments.empty()) {
        commandLine += " " + arguments;
    }
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    return CreateProcessA(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                          &startup, &info_) != FALSE;
}

bool ChildProcess::waitForExit(DWORD timeoutMs) {
    if (info_.hProcess == nullptr) {
        return false;
    }
    return pumpUntil([this] { return WaitForSingleObject(info_.hProcess, 0) == WAIT_OBJECT_0; }, timeoutMs);
}

bool ChildProcess::running() const {
    return info_.hProcess != nullptr && WaitForSingleObject(info_.hProcess, 0) == WAIT_TIMEOUT;
}

int ChildProcess::exitCode() const {
    DWORD code = STILL_ACTIVE;
    if (info_.hProcess != nullptr) {
        GetExitCodeProcess(info_.hProcess, &code);
    }
    return static_cast<int>(code);
}

void ChildProcess::terminate() {
    if (running()) {
        TerminateProcess(info_.hProcess, 0xDEAD);
        WaitForSingleObject(info_.hProcess, 5000);
    }
}

std::string ownPath() {
    char path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    return std::string(path, length);
}

std::string ownFolder() {
    std::string path = ownPath();
    const std::size_t slash = path.find_last_of("\\/");
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::int64_t monotonicMs() {
    LARGE_INTEGER frequency;
    LARGE_INTEGER counter;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&counter);
    return counter.QuadPart / (frequency.QuadPart / 1000);
}

}  // namespace winetest
