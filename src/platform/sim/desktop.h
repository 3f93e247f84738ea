// The simulated desktop: a deterministic, in-process stand-in for one Windows
// desktop session. Tests and the preview tool drive it through this C++ API;
// the helper only ever sees the Win32 functions of win32_api.h, which act on
// the current desktop (the one most recently constructed and still alive).
//
//     sim::Desktop desk({.width = 1920, .height = 1080});
//     sim::App& editor = desk.app("editor");
//     HWND w = editor.createWindow({.rect = {100, 100, 900, 700}, .title = "notes",
//                                   .content = sim::Content::solid(sim::bgra(250, 250, 250))});
//     desk.after(120, [&] { desk.window(w).moveBy(40, 0); });
//     desk.runFor(200);
//     sim::Image shot = desk.screenshot();
//
// Processes. The helper process is implicit: every window created through
// CreateWindowExA belongs to it, and every class registered through
// RegisterClassExA is one of its classes. Other applications are sim::App
// objects; their windows are created through the App and driven through
// sim::Window, never through the helper's Win32 functions.
//
// Activation. As on Windows, the active window belongs to an input queue: each
// application (the helper included) has its own active window, and the
// foreground window is the active window of the foreground application.
// GetActiveWindow, called by the helper, therefore returns null while another
// application's window is in the foreground. ActiveScope::System makes
// GetActiveWindow return the foreground window instead (as if the helper had
// attached its input to the foreground thread), for tests that want it.
// A process activates its own windows with ShowWindow (SW_SHOW, SW_SHOWNORMAL,
// SW_RESTORE, SW_MAXIMIZE), SetWindowPos without SWP_NOACTIVATE and
// SetActiveWindow, WS_EX_NOACTIVATE windows included (as in Wine); it takes
// the foreground only if it holds it already (the foreground lock). The user
// (sim::Window::activate) never activates a WS_EX_NOACTIVATE window. When the
// foreground window is hidden, minimised or destroyed, the highest visible,
// activatable top-level window becomes the foreground window.
//
// Behaviour checked against Wine 8 (tests/platform/contract_*): z-order
// walks, which show commands raise and activate (SW_HIDE raises too), owned
// windows above their owners, new children below their siblings, WM_PAINT
// after posted messages and WM_QUIT until painted, destroy order (owned
// windows, the window, its children), deferred deletion of selected bitmaps.
// Where Wine differs from Windows the simulation follows Windows: maximised
// frames reach 8 px beyond the monitor on every side, minimised windows are
// parked at (-32000, -32000). Windows have no non-client area: the client
// origin is the window origin.
//
// Time. A virtual clock in microseconds; now() reads it in milliseconds.
// QueryPerformanceCounter runs at 10 MHz from it. Sleep advances it by its
// argument (a sleeping thread handles no sent message, so external events
// wait for the next PeekMessageA), each PeekMessageA runs the due events and
// then advances it by the turn cost. In real-time mode the steady clock is used and
// Sleep really sleeps.
//
// Waits. MsgWaitForMultipleObjectsEx (on no handles) ends at the earlier of
// its timeout and the next external event: the clock jumps there. It does not
// run the event: a message sent from another process is handled by the next
// PeekMessageA, at the same virtual instant. Input already queued (a posted
// message, or a helper window that needs painting) ends it at once. The
// simulation does not track which input the thread has seen already, so
// without MWMO_INPUTAVAILABLE it behaves as with it. Another source of
// external events (e.g. a controller process simulated with threads of its
// own) hooks in with setWaitHook.
//
// Not thread-safe: one desktop, one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/sim/win32_api.h"

namespace sim {

class Desktop;

// The pixel format of the Magnifier's images (GUID_WICPixelFormat32bppBGRA).
extern const GUID kPixelFormat32bppBGRA;
struct DesktopState;

// ---- pixels ----

// A BGRA colour as one value: 0xAARRGGBB (bytes B, G, R, A in memory).
using Colour = std::uint32_t;
constexpr Colour bgra(std::uint8_t r, std::uint8_t g, std::uint8_t b, std::uint8_t a = 255) {
    return (static_cast<Colour>(a) << 24) | (static_cast<Colour>(r) << 16) | (static_cast<Colour>(g) << 8) |
           b;
}
constexpr std::uint8_t redOf(Colour c) {
    return static_cast<std::uint8_t>(c >> 16);
}
constexpr std::uint8_t greenOf(Colour c) {
    return static_cast<std::uint8_t>(c >> 8);
}
constexpr std::uint8_t blueOf(Colour c) {
    return static_cast<std::uint8_t>(c);
}
constexpr std::uint8_t alphaOf(Colour c) {
    return static_cast<std::uint8_t>(c >> 24);
}

// A top-down 32-bit BGRA image without row padding (stride width * 4).
struct Image {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> pixels;

    Image() = default;
    Image(int w, int h, Colour fill = bgra(0, 0, 0));

    bool empty() const { return width <= 0 || height <= 0; }
    std::size_t stride() const { return static_cast<std::size_t>(width) * 4; }
    std::uint8_t* row(int y) { return pixels.data() + static_cast<std::size_t>(y) * stride(); }
    const std::uint8_t* row(int y) const { return pixels.data() + static_cast<std::size_t>(y) * stride(); }
    // Out-of-range reads return 0, out-of-range writes do nothing.
    Colour pixel(int x, int y) const;
    void setPixel(int x, int y, Colour c);
    void fill(Colour c);
    // Fills the part of r (image coordinates) that lies inside the image.
    void fillRect(const RECT& r, Colour c);
    // Copies src with its top-left corner at (x, y), clipped.
    void draw(const Image& src, int x, int y);
    // Copies the part of this image inside r (image coordinates); outside is black.
    Image crop(const RECT& r) const;
    bool operator==(const Image& o) const = default;
};

// Paints the content of a window (or the wallpaper): the image has the
// window's size and starts filled with opaque white.
using Painter = std::function<void(Image&)>;

// What a window shows. A painter is run again whenever the window changes size;
// an image is drawn at the window's top-left corner over white.
class Content {
  public:
    Content() = default;  // opaque white
    static Content solid(Colour c);
    static Content image(Image img);
    static Content painter(Painter p);
    // Renders the content at the given size.
    Image render(int width, int height) const;

  private:
    Colour colour_ = bgra(255, 255, 255);
    std::shared_ptr<const Image> image_;
    Painter painter_;
};

// ---- desktop set-up ----

enum class ActiveScope {
    PerQueue,  // as on Windows: GetActiveWindow reports the helper's own active window
    System,    // GetActiveWindow reports the foreground window, whoever owns it
};

struct DesktopOptions {
    int width = 1920;  // primary monitor, at (0, 0)
    int height = 1080;
    std::vector<RECT> extraMonitors{};  // further monitors, in enumeration order after the primary
    Content wallpaper = Content::solid(bgra(32, 64, 112));
    double turnCostMs = 1.0;
    bool realTime = false;
    ActiveScope activeScope = ActiveScope::PerQueue;
};

struct WindowOptions {
    RECT rect{100, 100, 900, 700};
    std::string title{};
    std::string className = "SimAppWindow";
    DWORD style = WS_OVERLAPPEDWINDOW;  // WS_VISIBLE is added unless visible is false
    DWORD exStyle = 0;
    HWND owner = nullptr;   // owner of a top-level window
    HWND parent = nullptr;  // parent of a WS_CHILD window (style gets WS_CHILD)
    Content content{};
    bool visible = true;
    bool activate = true;  // a visible new window becomes the foreground window
    // Called for every message sent or delivered to the window before the
    // default handling; return a value to consume it.
    std::function<std::optional<LRESULT>(HWND, UINT, WPARAM, LPARAM)> onMessage{};
};

// ---- windows of any process ----

// A light reference to a window, for scripts: every operation acts as the
// owning application (or the user) would, and returns *this for chaining.
// Operations on a window that no longer exists do nothing.
class Window {
  public:
    Window(Desktop& desk, HWND hwnd) : desk_(&desk), hwnd_(hwnd) {}
    HWND handle() const { return hwnd_; }
    bool exists() const;

    Window& moveTo(int x, int y);
    Window& moveBy(int dx, int dy);
    Window& resize(int width, int height);
    Window& setRect(const RECT& r);
    Window& minimise();
    Window& maximise();
    Window& restore();
    Window& hide();
    Window& show();            // shows in the current show state, activating
    Window& showNoActivate();  // shows without activating or raising
    Window& close();           // sends WM_CLOSE (destroys unless the window refuses)
    Window& destroy();
    Window& bringToTop();  // raises without activating
    Window& activate();    // raises, makes its application foreground, its active window
    Window& setContent(Content c);
    Window& paint(const Image& img);  // shorthand for setContent(Content::image(img))
    Window& setTopmost(bool on);
    // The window's thread stops taking messages for forMs of desktop time (from
    // now): SendMessageA to it returns only after that, the clock moving on
    // while the sender waits; SendMessageTimeoutA gives up after its time-out,
    // or at once with SMTO_ABORTIFHUNG once the window has been hung for 5 s.
    Window& hang(std::int64_t forMs);
    bool hung() const;

    RECT rect() const;
    bool visible() const;
    bool minimised() const;
    bool maximised() const;
    // The window's current pixels (its size; black if it has none).
    Image content() const;

  private:
    Desktop* desk_;
    HWND hwnd_;
};

// A simulated application other than the helper.
class App {
  public:
    const std::string& name() const { return name_; }
    HWND createWindow(const WindowOptions& options);
    Window window(HWND hwnd);
    // Live windows of this application, in creation order.
    std::vector<HWND> windows() const;
    int id() const { return id_; }

  private:
    friend class Desktop;
    App(Desktop& desk, std::string name, int id) : desk_(&desk), name_(std::move(name)), id_(id) {}
    Desktop* desk_;
    std::string name_;
    int id_;
};

// A WM_COPYDATA frame that a Controller received.
struct ReceivedFrame {
    HWND sender = nullptr;  // wParam of the message
    ULONG_PTR dwData = 0;
    std::string bytes{};
    std::int64_t atMs = 0;  // desktop time of arrival
};

// A window of another application acting as the controller: records every
// WM_COPYDATA frame it receives and sends byte frames with SendMessageA.
// Destroy it before its desktop, or after (it then touches nothing); frames
// scheduled with sendAt must run while it is alive.
class Controller {
  public:
    explicit Controller(Desktop& desk, std::string appName = "controller");
    ~Controller();
    Controller(const Controller&) = delete;
    Controller& operator=(const Controller&) = delete;

    HWND hwnd() const { return hwnd_; }
    // Sends now (synchronously, as SendMessageA across processes): the receiver
    // sees a copy of the bytes; wParam carries the controller's handle.
    LRESULT send(HWND to, std::string bytes, ULONG_PTR dwData = 0);
    // Schedules a send as an external event at an absolute desktop time.
    void sendAt(std::int64_t atMs, HWND to, std::string bytes, ULONG_PTR dwData = 0);
    const std::vector<ReceivedFrame>& received() const { return received_; }
    void clearReceived() { received_.clear(); }
    // Destroys the controller's window (IsWindow then reports false).
    void close();
    // When set, each received frame is also handed to this function (inside
    // the sender's SendMessageA), e.g. to answer at once.
    std::function<void(const ReceivedFrame&)> onFrame;

  private:
    Desktop* desk_;
    std::uint64_t generation_ = 0;  // of the desktop it was made on
    HWND hwnd_ = nullptr;
    std::vector<ReceivedFrame> received_;
};

// ---- diagnostics ----

// What the helper's MsgWaitForMultipleObjectsEx calls added up to.
struct WaitStats {
    int waits = 0;              // calls that waited or returned at once
    int timeouts = 0;           // of them, returned WAIT_TIMEOUT
    std::int64_t waitedUs = 0;  // virtual time spent inside them
};

// The refresh rate EnumDisplaySettingsA reports for a monitor unless a test
// sets another.
constexpr DWORD kDefaultRefreshRate = 60;

struct Counts {
    int windows = 0;                 // live windows of every process (the desktop window not counted)
    int helperWindows = 0;           // live windows of the helper process
    int windowDCs = 0;               // GetDC without ReleaseDC
    int memoryDCs = 0;               // CreateCompatibleDC without DeleteDC
    int dibSections = 0;             // CreateDIBSection without DeleteObject
    std::size_t dibBytes = 0;        // pixel bytes of those DIB sections
    std::size_t magnifierBytes = 0;  // source image buffers of live Magnifier controls
    int brushes = 0;                 // CreateSolidBrush without DeleteObject
    int bitmaps = 0;                 // all live bitmaps, including memory DCs' initial ones
    int gdiObjects = 0;              // DCs, bitmaps and brushes together
    int heapBlocks = 0;              // HeapAlloc without HeapFree
    std::size_t heapBytes = 0;
    int emptyWorkingSetCalls = 0;
    int badHeapFrees = 0;  // HeapFree of a pointer that is not a live block (refused)
};

// One platform call as the helper made it. Logged functions and the fields
// they fill:
//   CreateWindowExA     window = result, other = parent, code = style, text = class name
//   DestroyWindow, GetDC, SetActiveWindow   window
//   ShowWindow          window, code = show command
//   SetWindowPos        window, other = insertAfter, code = flags, rect = {x, y, cx, cy}
//   MoveWindow          window, rect = {x, y, width, height}
//   SetParent           window, other = new parent
//   SendMessageA, SendMessageTimeoutA, PostMessageA   window, code = message
//   SetLayeredWindowAttributes  window, code = alpha
//   RegisterClassExA    text = class name
//   BitBlt              code = rop, rect = {x, y, width, height}
//   MagInitialize, MagUninitialize, K32EmptyWorkingSet   (no fields)
//   MagSetImageScalingCallback  window, code = 1 when a callback is installed, 0 when removed
//   MagSetWindowFilterList  window, code = mode, handles = list
//   MagSetWindowSource  window, rect = source
//   Sleep               code = milliseconds
//   MsgWaitForMultipleObjectsEx  code = timeout in milliseconds, result = the value returned
// Calls are logged before their faults are applied, so failed calls appear too.
struct CallEntry {
    std::string function{};
    HWND window = nullptr;
    HWND other = nullptr;
    std::int64_t code = 0;
    RECT rect{0, 0, 0, 0};
    std::vector<HWND> handles{};
    std::string text{};
    std::int64_t result = 0;
};

class CallLog {
  public:
    void enable() { enabled_ = true; }
    void disable() { enabled_ = false; }
    bool enabled() const { return enabled_; }
    void clear() { entries_.clear(); }
    const std::vector<CallEntry>& entries() const { return entries_; }
    // The entries of one function, in order.
    std::vector<CallEntry> named(std::string_view function) const;
    // The function names in order (e.g. to compare against a small table).
    std::vector<std::string> functions() const;
    void record(CallEntry e) {
        if (enabled_) {
            entries_.push_back(std::move(e));
        }
    }

  private:
    bool enabled_ = false;
    std::vector<CallEntry> entries_;
};

// Functions that can be made to fail: "RegisterClassExA", "CreateWindowExA",
// "CreateDIBSection", "SelectObject", "MagInitialize",
// "MagSetImageScalingCallback", "MagSetWindowSource" (the callback is not
// called), "HeapAlloc", "GetWindowRect", "GetWindowPlacement", "GetCursorPos",
// "EnumDisplayMonitors" (enumerates no monitor), "GetDC", "CreateCompatibleDC",
// "SetWindowPos", "SetLayeredWindowAttributes", "SendMessageA",
// "SendMessageTimeoutA" (times out), "IsWindowVisible"
// (reports false), "MagSetWindowFilterList", "BitBlt", "K32EmptyWorkingSet".
struct Fault {
    std::string function{};
    int remaining = 1;         // calls that still fail; negative: every call from now on
    std::string className{};   // CreateWindowExA, RegisterClassExA: only this class (empty: any)
    std::size_t minBytes = 0;  // HeapAlloc: only allocations of at least this size
    HWND window = nullptr;     // window functions: only calls about this window (null: any)
};

// ---- the desktop ----

class Desktop {
  public:
    explicit Desktop(DesktopOptions options = {});
    ~Desktop();
    Desktop(const Desktop&) = delete;
    Desktop& operator=(const Desktop&) = delete;

    // The desktop the Win32 functions act on (null when none is alive).
    static Desktop* current();

    // -- monitors and screen --
    // Monitor rectangles in enumeration order; the first is the primary.
    std::vector<RECT> monitors() const;
    void addMonitor(const RECT& r);
    void setMonitors(const std::vector<RECT>& monitors);  // must not be empty
    RECT virtualScreen() const;
    void setWallpaper(Content c);
    // The refresh rate (Hz) EnumDisplaySettingsA reports for the monitor at
    // this enumeration index; 0 or 1 stand for "the hardware's default", as
    // Windows may report it.
    void setRefreshRate(std::size_t monitor, DWORD hertz);

    // -- applications and windows --
    App& app(const std::string& name);  // created on first use
    Window window(HWND hwnd) { return Window(*this, hwnd); }
    HWND desktopWindow() const;
    // Top-level windows from the top of the z-order down (hidden ones included).
    std::vector<HWND> zOrder() const;
    // Windows created by the helper process, live, in creation order.
    std::vector<HWND> helperWindows() const;
    bool isHelperWindow(HWND hwnd) const;
    std::string className(HWND hwnd) const;
    std::string title(HWND hwnd) const;
    HWND owner(HWND hwnd) const;
    HWND parent(HWND hwnd) const;  // null for top-level windows
    // The window's show state as GetWindowPlacement reports it (1, 2 or 3).
    UINT showCmd(HWND hwnd) const;

    // -- input and activation --
    void setCursor(int x, int y);
    POINT cursor() const;
    HWND foregroundWindow() const;
    HWND activeWindowOf(const App& app) const;
    HWND helperActiveWindow() const;

    // -- content --
    // Renders the visible windows bottom to top (wallpaper first) into an image
    // of r's size; outside the virtual screen is black.
    Image compose(const RECT& r, const std::vector<HWND>& excluded = {}) const;
    // What a person would see: compose of the whole virtual screen.
    Image screenshot() const;
    // The colour a person sees at a screen point.
    Colour pixelAt(int x, int y) const;

    // -- time and external events --
    std::int64_t now() const;    // milliseconds
    std::int64_t nowUs() const;  // microseconds
    void setTurnCost(double ms);
    double turnCost() const;
    bool realTime() const;
    // Schedules fn as an external event; events run, in time order (ties in
    // the order scheduled), when PeekMessageA or Sleep or runUntil reach them.
    void at(std::int64_t atMs, std::function<void()> fn);
    void after(std::int64_t delayMs, std::function<void()> fn);
    // Runs the due events and advances the clock to atMs (virtual time only).
    void runUntil(std::int64_t atMs);
    void runFor(std::int64_t ms);
    // Runs the events that are due now.
    void runDueEvents();
    std::size_t pendingEvents() const;
    // Called when the helper waits in MsgWaitForMultipleObjectsEx, with the
    // virtual time (ms) at which the wait would end without external events.
    // It may run other simulated processes up to then and schedule events for
    // the helper with at(); returning true ends the wait at once (something
    // was delivered to the helper's thread during the call). Null: no hook.
    void setWaitHook(std::function<bool(std::int64_t untilMs)> hook);
    WaitStats waitStats() const;
    // Called first thing in every PeekMessageA of the helper, before the due
    // events run (diagnostics, e.g. to time the main loop's turns without an
    // event that would end every wait). Null: no hook.
    void setPeekHook(std::function<void()> hook);

    // -- posted messages of the helper's queue --
    std::size_t postedMessages() const;
    int quitMessagesPosted() const;
    // PeekMessageA calls so far: one per turn of the helper's main loop.
    std::uint64_t peekCalls() const;

    // -- faults --
    void failNext(std::string function, int count = 1);
    void failAlways(std::string function);
    void addFault(Fault f);
    void clearFaults();

    // -- diagnostics --
    Counts counts() const;
    CallLog& callLog();
    // Whether MagInitialize is in force.
    bool magnificationInitialised() const;
    // The filter list last set on a Magnifier control.
    std::vector<HWND> filterList(HWND magnifier) const;
    // How often the Magnifier control's image buffer was (re)allocated.
    int magnifierBufferAllocations(HWND magnifier) const;

    DesktopState& state() { return *state_; }
    const DesktopState& state() const { return *state_; }

  private:
    std::unique_ptr<DesktopState> state_;
};

}  // namespace sim
