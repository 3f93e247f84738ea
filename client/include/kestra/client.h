// kestra::Client, the controller side of the Kestra helper's protocol.
//
// A Client owns a hidden window that receives the helper's frames, starts
// kestra-helper.exe with that window's handle, waits for the announcement,
// and sends the eleven commands as numbered requests, each returning when the
// helper's reply with the same request id has arrived. Errors are values:
// no function throws.
//
//     kestra::Client client;
//     auto helper = client.start("kestra-helper.exe", appWindow);
//     if (!helper) { log(helper.error().message); return; }
//     client.setDark(target, true);
//     client.startGlass(target, kestra::GlassSettings{});
//
// Use a Client from one thread, the thread that created it: its window
// belongs to that thread, and the replies arrive there.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "platform/win32.h"

namespace kestra {

enum class ClientErrc {
    None = 0,
    HelperNotFound,   // no file at the helper path
    StartFailed,      // CreateProcessA failed
    WindowFailed,     // the client's receiving window could not be created
    NoAnnouncement,   // the helper did not announce itself in time
    HelperEnded,      // the helper process has ended (exitCode says how)
    NoReply,          // the helper took the request but no reply with its id came back
    CallTimedOut,     // the helper did not take the request in time (hung or busy)
    NotStarted,       // no helper was started, or it was stopped
    AlreadyStarted,   // start on a Client whose helper still runs
    InvalidArgument,  // e.g. a null target window
};

struct ClientError {
    ClientErrc code = ClientErrc::None;
    std::string message;
    // The helper's exit code when code is HelperEnded or NoAnnouncement after an exit.
    std::optional<int> exitCode;
};

// A value or a ClientError, in the manner of std::expected.
template <typename T>
class Result {
  public:
    Result(T value) : value_(std::move(value)) {}            // NOLINT: implicit, as std::expected
    Result(ClientError error) : error_(std::move(error)) {}  // NOLINT
    bool ok() const { return value_.has_value(); }
    explicit operator bool() const { return ok(); }
    const T& value() const { return *value_; }
    const T& operator*() const { return *value_; }
    const ClientError& error() const { return error_; }

  private:
    std::optional<T> value_;
    ClientError error_;
};

template <>
class Result<void> {
  public:
    Result() = default;
    Result(ClientError error) : error_(std::move(error)), ok_(false) {}  // NOLINT
    bool ok() const { return ok_; }
    explicit operator bool() const { return ok_; }
    const ClientError& error() const { return error_; }

  private:
    ClientError error_;
    bool ok_ = true;
};

// The glass settings of command 2, with the values of the README's example.
struct GlassSettings {
    int radius = 30;
    double brightness = 0.75;
    bool wallpaperOnly = false;
    double contentOpacity = 0.2;
    bool glassDarkMode = true;
    double photoOpacity = 0.8;
    double foregroundOpacity = 1.0;
};

// The command numbers of the protocol.
enum class Command : int {
    SetDark = 1,
    StartGlass = 2,
    StopGlass = 3,
    SetBlurRadius = 4,
    SetBackdropBrightness = 5,
    SetWallpaperOnly = 6,
    ChangeContentOpacity = 7,
    SetGlassDarkMode = 8,
    SetPhotoOpacity = 9,
    SetForegroundOpacity = 10,
    Untrack = 11,
};

// Which way a traced frame went.
enum class FrameDirection { Sent, Received };

// A readable meaning of the helper's exit code ("0: nothing was tracked at a
// liveness check, or the last tracked window closed").
std::string describeExitCode(int exitCode);

// Protocol text, locale-independent.
namespace protocol {
// Exactly 16 upper-case hexadecimal digits.
std::string formatHandle(HWND window);
// A decimal number with '.' as the decimal point and no exponent for the
// values a controller sends: shortest text that reads back to the same double
// ("0.75", "1", "-1", "0.2").
std::string formatNumber(double value);
// "<sender>[.2.]REQ[.1.]<command>[.2.]<payload>[.2.]<requestId>"
std::string requestFrame(HWND sender, int command, std::string_view payload, int requestId);
// The payload of each command.
std::string darkPayload(HWND target, bool on);
std::string glassPayload(HWND target, const GlassSettings& settings);
std::string handlePayload(HWND target);
std::string valuePayload(HWND target, std::string_view value);
// Reads "<helper>[.2.]RET[.1.]<id>[.2.]..." : the request id, or nothing.
std::optional<int> replyId(std::string_view frame);
// Reads the announcement "<helper>[.2.]REQ[.1.]3[.2.]<helper>[.2.]": the helper window, or nothing.
std::optional<HWND> announcedWindow(std::string_view frame);
}  // namespace protocol

class Client {
  public:
    // How long a call waits for the helper to take a request (see client.cpp).
    static constexpr DWORD kDefaultCallTimeoutMs = 5000;
    static constexpr DWORD kDefaultStartTimeoutMs = 5000;

    Client();
    ~Client();  // stops the helper (stop(2000)) if it still runs
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // Creates the receiving window (owned by ownerWindow when given, so that
    // it goes when the owner goes), starts the helper at helperPath with that
    // window's handle on the command line (DETACHED_PROCESS: no console),
    // and pumps messages until the announcement arrives. Returns the helper
    // window, or which step failed.
    Result<HWND> start(const std::string& helperPath, HWND ownerWindow = nullptr,
                       DWORD timeoutMs = kDefaultStartTimeoutMs);

    Result<void> setDark(HWND target, bool on);
    Result<void> startGlass(HWND target, const GlassSettings& settings);
    Result<void> stopGlass(HWND target);
    Result<void> setBlurRadius(HWND target, int radius);
    Result<void> setBackdropBrightness(HWND target, double brightness);
    Result<void> setWallpaperOnly(HWND target, bool on);
    // -1 keeps the opacity and only re-runs the darkness test.
    Result<void> setContentOpacity(HWND target, double opacity);
    Result<void> setGlassDarkMode(HWND target, bool on);
    Result<void> setPhotoOpacity(HWND target, double opacity);
    Result<void> setForegroundOpacity(HWND target, double opacity);
    Result<void> untrack(HWND target);

    // Sends any command with a payload written by the caller.
    Result<void> call(int command, std::string_view payload);

    // What stop does when the helper has not ended within its timeout.
    enum class AfterTimeout {
        Terminate,  // TerminateProcess (exit code 1)
        LetItEnd,   // leave it: it ends by itself at its next liveness check (-1000)
    };

    // Ends the helper: destroys the receiving window (the helper ends at its
    // next liveness check, at most about ten seconds later) and waits up to
    // timeoutMs for the process. Returns the exit code, or, with LetItEnd and
    // a helper still running, CallTimedOut (the client then lets go of it).
    Result<int> stop(DWORD timeoutMs, AfterTimeout afterTimeout = AfterTimeout::Terminate);

    // Whether the helper process is still running.
    bool running() const;
    // The helper's exit code once it has ended.
    std::optional<int> exitCode() const;
    // The helper window from the announcement (null before start).
    HWND helperWindow() const;
    // The client's receiving window (null before start).
    HWND window() const;
    // The helper's process handle (null before start).
    HANDLE process() const;

    void setCallTimeout(DWORD milliseconds);
    // Sees every frame sent and received (announcement and replies included).
    void setTrace(std::function<void(FrameDirection, std::string_view)> trace);

    struct State;

  private:
    Result<void> request(Command command, const std::string& payload);
    ClientError endedError(const char* what) const;
    std::unique_ptr<State> state_;
};

}  // namespace kestra
