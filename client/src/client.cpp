// kestra::Client: the receiving window, starting the helper, waiting for the
// announcement, and numbered requests with their replies.
//
// Call timeout. A request is sent with SendMessageTimeoutA and
// SMTO_ABORTIFHUNG: the call returns at once when the helper has not read its
// messages for five seconds (Windows calls such a window hung), and otherwise
// after at most kDefaultCallTimeoutMs = 5 s. The helper reads its messages
// between frames, and one frame takes tens of milliseconds even on a 4K
// monitor, so a healthy helper answers in well under a second; five seconds
// leaves room for a loaded machine while keeping the caller's thread (often a
// UI thread) from freezing for long. While it waits, SendMessageTimeoutA still
// delivers messages sent to this thread, so the helper's reply reaches the
// receiving window during the call.
#include "kestra/client.h"

#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace kestra {

namespace {

constexpr const char* kClientClassName = "KestraClientWindow";
constexpr int kCopyDataCommand = WM_COPYDATA;

std::int64_t nowMs() {
    LARGE_INTEGER counter{};
    LARGE_INTEGER frequency{};
    QueryPerformanceCounter(&counter);
    QueryPerformanceFrequency(&frequency);
    if (frequency.QuadPart <= 0) {
        return 0;
    }
    return counter.QuadPart / (frequency.QuadPart / 1000);
}

// Receiving windows and the clients they belong to.
std::mutex& registryLock() {
    static std::mutex lock;
    return lock;
}
std::map<HWND, Client::State*>& registry() {
    static std::map<HWND, Client::State*> windows;
    return windows;
}

LRESULT CALLBACK clientWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

ClientError makeError(ClientErrc code, std::string message, std::optional<int> exitCode = std::nullopt) {
    ClientError error;
    error.code = code;
    error.message = std::move(message);
    error.exitCode = exitCode;
    return error;
}

}  // namespace

struct Client::State {
    HWND window = nullptr;
    HWND helper = nullptr;
    HANDLE process = nullptr;
    std::optional<int> exitCode;
    int nextRequestId = 1;
    int inFlight = 0;
    bool replied = false;
    DWORD callTimeoutMs = kDefaultCallTimeoutMs;
    std::function<void(FrameDirection, std::string_view)> trace;

    void received(std::string_view bytes) {
        if (trace) {
            trace(FrameDirection::Received, bytes);
        }
        if (helper == nullptr) {
            if (std::optional<HWND> announced = protocol::announcedWindow(bytes)) {
                helper = *announced;
            }
            return;
        }
        const std::optional<int> id = protocol::replyId(bytes);
        // A reply counts only for the request in flight, and only from the helper.
        if (id && inFlight != 0 && *id == inFlight && bytes.substr(0, 16) == protocol::formatHandle(helper)) {
            replied = true;
        }
    }

    // Reads the exit code once the process has ended; true when it has.
    bool ended() {
        if (exitCode) {
            return true;
        }
        if (process == nullptr || WaitForSingleObject(process, 0) != WAIT_OBJECT_0) {
            return false;
        }
        DWORD code = 0;
        if (GetExitCodeProcess(process, &code) != FALSE) {
            exitCode = static_cast<int>(code);
        }
        return exitCode.has_value();
    }

    // Delivers messages sent to the receiving window. The filter matches no
    // posted message (WM_COPYDATA is only ever sent), so the caller's own
    // posted messages stay in its queue.
    void pump() const {
        MSG message{};
        PeekMessageA(&message, window, kCopyDataCommand, kCopyDataCommand, PM_REMOVE);
    }

    void destroyWindow() {
        if (window == nullptr) {
            return;
        }
        {
            std::lock_guard<std::mutex> guard(registryLock());
            registry().erase(window);
        }
        DestroyWindow(window);
        window = nullptr;
    }

    void closeProcess() {
        if (process != nullptr) {
            CloseHandle(process);
            process = nullptr;
        }
    }
};

namespace {

LRESULT CALLBACK clientWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_COPYDATA && lParam != 0) {
        const auto* data = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
        Client::State* state = nullptr;
        {
            std::lock_guard<std::mutex> guard(registryLock());
            auto it = registry().find(window);
            if (it != registry().end()) {
                state = it->second;
            }
        }
        if (state != nullptr) {
            const auto* bytes = static_cast<const char*>(data->lpData);
            state->received(
                std::string_view(bytes == nullptr ? "" : bytes, bytes == nullptr ? 0 : data->cbData));
        }
        return TRUE;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

}  // namespace

std::string describeExitCode(int exitCode) {
    switch (exitCode) {
        case 0:
            return "0: nothing was tracked at a liveness check, or the last tracked window was closed";
        case -1:
            return "-1: the helper's window class could not be registered";
        case -2:
            return "-2: the helper window could not be created";
        case -3:
            return "-3: the announcement could not be sent (the command line names no existing window)";
        case -1000:
            return "-1000: the controller window no longer existed at a liveness check";
        default:
            return std::to_string(exitCode) +
                   ": not a code the helper uses (the process was ended from outside)";
    }
}

Client::Client() : state_(std::make_unique<State>()) {}

Client::~Client() {
    if (running()) {
        stop(2000);
    }
    state_->destroyWindow();
    state_->closeProcess();
}

ClientError Client::endedError(const char* what) const {
    const int code = state_->exitCode.value_or(0);
    return makeError(ClientErrc::HelperEnded,
                     std::string(what) + ": the helper has ended with exit code " + describeExitCode(code),
                     code);
}

Result<HWND> Client::start(const std::string& helperPath, HWND ownerWindow, DWORD timeoutMs) {
    if (running()) {
        return makeError(ClientErrc::AlreadyStarted, "start: the helper started before still runs");
    }
    state_->destroyWindow();
    state_->closeProcess();
    state_->helper = nullptr;
    state_->exitCode.reset();

    if (GetFileAttributesA(helperPath.c_str()) == INVALID_FILE_ATTRIBUTES) {
        return makeError(ClientErrc::HelperNotFound, "start: no helper at " + helperPath);
    }

    HINSTANCE instance = GetModuleHandleA(nullptr);
    WNDCLASSEXA windowClass{};
    windowClass.cbSize = sizeof(WNDCLASSEXA);
    windowClass.lpfnWndProc = clientWindowProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = kClientClassName;
    RegisterClassExA(&windowClass);  // fails harmlessly when registered before
    // A hidden popup owned by the caller's window: Windows destroys it with
    // its owner, and the helper then ends at its next liveness check.
    state_->window = CreateWindowExA(0, kClientClassName, "kestra client", WS_POPUP, 0, 0, 0, 0, ownerWindow,
                                     nullptr, instance, nullptr);
    if (state_->window == nullptr) {
        return makeError(ClientErrc::WindowFailed,
                         "start: the receiving window could not be created (error " +
                             std::to_string(GetLastError()) + ")");
    }
    {
        std::lock_guard<std::mutex> guard(registryLock());
        registry()[state_->window] = state_.get();
    }

    // The whole argument is the receiving window's handle; the helper reads
    // it as its command line.
    std::string commandLine = "\"" + helperPath + "\" " + protocol::formatHandle(state_->window);
    std::vector<char> commandBuffer(commandLine.begin(), commandLine.end());
    commandBuffer.push_back('\0');
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    // DETACHED_PROCESS: the helper has no console, so a Ctrl+C or the closing
    // of a console controller's window does not reach it; the controller
    // ends it in order instead.
    if (CreateProcessA(helperPath.c_str(), commandBuffer.data(), nullptr, nullptr, FALSE, DETACHED_PROCESS,
                       nullptr, nullptr, &startup, &info) == FALSE) {
        const DWORD error = GetLastError();
        state_->destroyWindow();
        return makeError(ClientErrc::StartFailed, "start: CreateProcessA failed for " + helperPath +
                                                      " (error " + std::to_string(error) + ")");
    }
    CloseHandle(info.hThread);
    state_->process = info.hProcess;

    const std::int64_t startedAt = nowMs();
    for (;;) {
        state_->pump();
        if (state_->helper != nullptr) {
            return state_->helper;
        }
        if (state_->ended()) {
            ClientError error = endedError("start");
            error.code = ClientErrc::NoAnnouncement;
            error.message = "start: the helper ended before announcing itself, exit code " +
                            describeExitCode(*state_->exitCode);
            return error;
        }
        if (nowMs() - startedAt >= static_cast<std::int64_t>(timeoutMs)) {
            TerminateProcess(state_->process, 1);
            WaitForSingleObject(state_->process, 1000);
            state_->ended();
            return makeError(ClientErrc::NoAnnouncement, "start: no announcement within " +
                                                             std::to_string(timeoutMs) +
                                                             " ms; the helper was terminated");
        }
        Sleep(1);
    }
}

Result<void> Client::request(Command command, const std::string& payload) {
    return call(static_cast<int>(command), payload);
}

Result<void> Client::call(int command, std::string_view payload) {
    State& s = *state_;
    if (s.process == nullptr || s.helper == nullptr) {
        return makeError(ClientErrc::NotStarted, "call: no helper was started");
    }
    if (s.ended()) {
        return endedError("call");
    }
    const int id = s.nextRequestId;
    s.nextRequestId = s.nextRequestId == 0x7FFFFFFF ? 1 : s.nextRequestId + 1;
    const std::string frame = protocol::requestFrame(s.window, command, payload, id);
    if (s.trace) {
        s.trace(FrameDirection::Sent, frame);
    }
    COPYDATASTRUCT data{};
    data.dwData = 0;
    data.cbData = static_cast<DWORD>(frame.size());
    data.lpData = const_cast<char*>(frame.data());
    s.inFlight = id;
    s.replied = false;
    DWORD_PTR result = 0;
    const LRESULT sent = SendMessageTimeoutA(s.helper, WM_COPYDATA, reinterpret_cast<WPARAM>(s.window),
                                             reinterpret_cast<LPARAM>(&data), SMTO_NORMAL | SMTO_ABORTIFHUNG,
                                             s.callTimeoutMs, &result);
    const DWORD error = sent == 0 ? GetLastError() : 0;
    s.inFlight = 0;
    if (sent == 0) {
        // A helper that is ending may still be on its way out: give it a moment.
        if (s.ended() || (WaitForSingleObject(s.process, 200) == WAIT_OBJECT_0 && s.ended())) {
            return endedError("call");
        }
        if (error == ERROR_TIMEOUT) {
            return makeError(ClientErrc::CallTimedOut, "call: the helper did not take request " +
                                                           std::to_string(id) + " within " +
                                                           std::to_string(s.callTimeoutMs) + " ms");
        }
        return makeError(ClientErrc::CallTimedOut, "call: SendMessageTimeoutA failed for request " +
                                                       std::to_string(id) + " (error " +
                                                       std::to_string(error) + ")");
    }
    if (!s.replied) {
        return makeError(ClientErrc::NoReply, "call: no reply with request id " + std::to_string(id));
    }
    return {};
}

Result<void> Client::setDark(HWND target, bool on) {
    return request(Command::SetDark, protocol::darkPayload(target, on));
}
Result<void> Client::startGlass(HWND target, const GlassSettings& settings) {
    return request(Command::StartGlass, protocol::glassPayload(target, settings));
}
Result<void> Client::stopGlass(HWND target) {
    return request(Command::StopGlass, protocol::handlePayload(target));
}
Result<void> Client::setBlurRadius(HWND target, int radius) {
    return request(Command::SetBlurRadius, protocol::valuePayload(target, std::to_string(radius)));
}
Result<void> Client::setBackdropBrightness(HWND target, double brightness) {
    return request(Command::SetBackdropBrightness,
                   protocol::valuePayload(target, protocol::formatNumber(brightness)));
}
Result<void> Client::setWallpaperOnly(HWND target, bool on) {
    return request(Command::SetWallpaperOnly, protocol::valuePayload(target, on ? "1" : "0"));
}
Result<void> Client::setContentOpacity(HWND target, double opacity) {
    return request(Command::ChangeContentOpacity,
                   protocol::valuePayload(target, protocol::formatNumber(opacity)));
}
Result<void> Client::setGlassDarkMode(HWND target, bool on) {
    return request(Command::SetGlassDarkMode, protocol::valuePayload(target, on ? "1" : "0"));
}
Result<void> Client::setPhotoOpacity(HWND target, double opacity) {
    return request(Command::SetPhotoOpacity, protocol::valuePayload(target, protocol::formatNumber(opacity)));
}
Result<void> Client::setForegroundOpacity(HWND target, double opacity) {
    return request(Command::SetForegroundOpacity,
                   protocol::valuePayload(target, protocol::formatNumber(opacity)));
}
Result<void> Client::untrack(HWND target) {
    return request(Command::Untrack, protocol::handlePayload(target));
}

Result<int> Client::stop(DWORD timeoutMs, AfterTimeout afterTimeout) {
    State& s = *state_;
    if (s.process == nullptr) {
        return makeError(ClientErrc::NotStarted, "stop: no helper was started");
    }
    s.destroyWindow();
    s.helper = nullptr;
    const std::int64_t startedAt = nowMs();
    while (!s.ended()) {
        if (nowMs() - startedAt < static_cast<std::int64_t>(timeoutMs)) {
            WaitForSingleObject(s.process, 50);
            continue;
        }
        if (afterTimeout == AfterTimeout::LetItEnd) {
            s.closeProcess();
            return makeError(ClientErrc::CallTimedOut, "stop: the helper still runs after " +
                                                           std::to_string(timeoutMs) +
                                                           " ms; it ends at its next liveness check");
        }
        TerminateProcess(s.process, 1);
        WaitForSingleObject(s.process, 1000);
        s.ended();
        break;
    }
    if (!s.exitCode) {
        return makeError(ClientErrc::CallTimedOut, "stop: the helper could not be ended");
    }
    return *s.exitCode;
}

bool Client::running() const {
    return state_->process != nullptr && !state_->ended();
}

std::optional<int> Client::exitCode() const {
    state_->ended();
    return state_->exitCode;
}

HWND Client::helperWindow() const {
    return state_->helper;
}
HWND Client::window() const {
    return state_->window;
}
HANDLE Client::process() const {
    return state_->process;
}
void Client::setCallTimeout(DWORD milliseconds) {
    state_->callTimeoutMs = milliseconds;
}
void Client::setTrace(std::function<void(FrameDirection, std::string_view)> trace) {
    state_->trace = std::move(trace);
}

}  // namespace kestra
