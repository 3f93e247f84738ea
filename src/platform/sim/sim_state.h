// Internal state of the simulated desktop, shared by the files that implement
// the Win32 functions and the C++ API. Not for tests: they use desktop.h.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/sim/desktop.h"

namespace sim {

constexpr int kHelperProcess = 0;
constexpr int kSystemProcess = -1;
constexpr DWORD kThickFrame = 0x00040000;  // WS_THICKFRAME
constexpr int kMaximisedBorder = 8;
constexpr LONG kMinimisedPos = -32000;
constexpr LONG kMinimisedWidth = 160;
constexpr LONG kMinimisedHeight = 28;
// A thread that has not taken a message for this long counts as hung
// (IsHungAppWindow, SMTO_ABORTIFHUNG).
constexpr std::int64_t kHungAfterUs = 5'000'000;

using MessageHook = std::function<std::optional<LRESULT>(HWND, UINT, WPARAM, LPARAM)>;

struct ClassRec {
    std::string name;
    WNDPROC proc = nullptr;
    HBRUSH background = nullptr;
    bool system = false;  // the "Magnifier" class of the Magnification API
};

// Zero-filled pixel memory as the system hands it out for DIB sections and the
// Magnifier's buffers: fresh pages that read as zero, committed by the first
// write (calloc gives large blocks straight from the system, untouched).
struct FreeBytes {
    void operator()(std::uint8_t* p) const { std::free(p); }
};
using ZeroedBytes = std::unique_ptr<std::uint8_t[], FreeBytes>;
inline ZeroedBytes zeroedBytes(std::size_t bytes) {
    return ZeroedBytes(static_cast<std::uint8_t*>(std::calloc(bytes > 0 ? bytes : 1, 1)));
}

struct MagnifierRec {
    MagImageScalingCallback callback = nullptr;
    DWORD filterMode = MW_FILTERMODE_EXCLUDE;
    std::vector<HWND> filter;
    ZeroedBytes source;  // the control's source image buffer
    std::size_t sourceBytes = 0;
    UINT sourceWidth = 0;
    UINT sourceHeight = 0;
    ZeroedBytes dest;
    std::size_t destBytes = 0;
    int allocations = 0;
};

struct WindowRec {
    HWND handle = nullptr;
    int process = kHelperProcess;
    int program = 0;  // the started program that created it (programs.h), 0: none
    std::string className;
    std::string title;
    DWORD style = 0;
    DWORD exStyle = 0;
    WNDPROC proc = nullptr;  // helper windows: the class procedure
    MessageHook hook;        // other applications' windows
    HWND parent = nullptr;   // null for top-level windows
    HWND owner = nullptr;
    std::vector<HWND> children;  // top of the z-order first
    RECT rect{};                 // screen coordinates, also for child windows
    RECT normalRect{};           // the restored rectangle
    bool restoreToMaximised = false;
    // layered attributes
    bool layeredSet = false;
    BYTE alpha = 255;
    DWORD layeredFlags = 0;
    COLORREF colourKey = 0;
    // pixels
    Content content;
    bool hasContent = false;  // content given by its application
    bool blitted = false;     // pixels came from BitBlt into a window DC
    Colour background = bgra(255, 255, 255);
    Image surface;
    bool destroying = false;
    // The owning application takes no message in [hungFromUs, hungUntilUs).
    std::int64_t hungFromUs = 0;
    std::int64_t hungUntilUs = 0;
    // The window has an update region: while it is visible, the helper's
    // peek returns WM_PAINT for it until DefWindowProcA paints it.
    bool needsPaint = false;
    std::unique_ptr<MagnifierRec> magnifier;
};

struct GdiObject {
    enum class Kind { Bitmap, Brush } kind = Kind::Bitmap;
    bool stock = false;
    bool dib = false;
    int width = 0;
    int height = 0;  // rows
    bool topDown = true;
    ZeroedBytes bits;
    COLORREF colour = 0;
    HDC selectedInto = nullptr;
    bool deletePending = false;
};

struct DcRec {
    bool memory = false;
    HWND window = nullptr;  // window DCs; null with screen = true for GetDC(null)
    bool screen = false;
    HGDIOBJ bitmap = nullptr;
    HGDIOBJ brush = nullptr;
};

// Rows of 32-bit pixels without padding, owned elsewhere.
struct PixelView {
    std::uint8_t* bits = nullptr;
    int width = 0;
    int height = 0;
    std::uint8_t* row(int y) const { return bits + static_cast<std::size_t>(y) * width * 4; }
};

struct Event {
    std::int64_t atUs = 0;
    std::uint64_t seq = 0;
    std::function<void()> fn;
};

struct Posted {
    MSG msg{};
};

struct DesktopState {
    Desktop* owner = nullptr;
    std::uint64_t generation = 0;
    DesktopOptions options;
    std::vector<RECT> monitors;
    std::vector<DWORD> refreshRates;  // per monitor, by enumeration index; missing: kDefaultRefreshRate
    Image wallpaper;                  // rendered over the virtual screen's bounding box
    bool wallpaperValid = false;

    // windows
    std::vector<std::unique_ptr<WindowRec>> windows;  // index = handle id
    HWND desktop = nullptr;
    std::vector<HWND> topLevel;               // top of the z-order first
    std::map<std::string, ClassRec> classes;  // key: lower-case name (helper and system classes)
    ATOM nextAtom = 0xC000;

    // processes
    std::vector<std::unique_ptr<App>> apps;  // index = id - 1
    std::map<int, HWND> activeWindow;        // per process
    int foregroundProcess = kSystemProcess;

    POINT cursor{0, 0};

    // time
    std::int64_t clockUs = 0;
    std::int64_t turnCostUs = 1000;
    std::chrono::steady_clock::time_point realStart;
    std::multimap<std::pair<std::int64_t, std::uint64_t>, std::function<void()>> events;
    std::uint64_t eventSeq = 0;
    // MsgWaitForMultipleObjectsEx: the other source of external events, and
    // what the helper's waits added up to.
    std::function<bool(std::int64_t)> waitHook;
    std::function<void()> peekHook;
    WaitStats waitStats{};

    // helper's message queue
    std::vector<MSG> posted;
    int quitPosted = 0;
    std::uint64_t peeks = 0;  // PeekMessageA calls: turns of the helper's main loop

    // GDI
    std::map<std::uintptr_t, DcRec> dcs;
    std::map<std::uintptr_t, GdiObject> objects;
    std::uintptr_t nextDc = 1;
    std::uintptr_t nextObject = 1;
    HGDIOBJ stockBitmap = nullptr;
    HGDIOBJ stockBrush = nullptr;

    // Magnification API
    bool magInitialised = false;

    // diagnostics
    std::vector<Fault> faults;
    CallLog log;
    int emptyWorkingSetCalls = 0;
    int badHeapFrees = 0;

    // -- lookups --
    WindowRec* find(HWND h);
    const WindowRec* find(HWND h) const;
    ClassRec* findClass(std::string_view name);
    DcRec* findDc(HDC dc);
    GdiObject* findObject(HGDIOBJ obj);

    // -- faults and log --
    bool shouldFail(std::string_view function, std::string_view className = {}, std::size_t bytes = 0,
                    HWND window = nullptr);
    void record(CallEntry e) { log.record(std::move(e)); }

    // -- time --
    std::int64_t nowUs() const;
    void advanceUs(std::int64_t us);
    void runDue();
    void schedule(std::int64_t atUs, std::function<void()> fn);

    // -- windows --
    HWND newWindow(int process, const std::string& className, const std::string& title, DWORD style,
                   DWORD exStyle, RECT rect, HWND parentOrOwner);
    void destroyWindow(HWND h);
    bool isVisible(HWND h) const;  // with every parent visible
    std::vector<HWND>* siblingsOf(HWND h);
    void raise(HWND h);  // to the top of its band (and owned windows above it)
    void placeAfter(HWND h, HWND after);
    void placeBottom(HWND h);
    void normaliseZOrder();
    void moveWindow(HWND h, RECT r);  // move and size, children follow
    RECT maximisedRect(const WindowRec& w) const;
    // The index of the monitor with the largest intersection with r, else of
    // the nearest one; overlaps (if given) says which. monitors is not empty.
    std::size_t monitorIndexFor(const RECT& r, bool* overlaps) const;
    RECT monitorFor(const RECT& r) const;
    // Show commands; actor is the process acting (the helper's calls cannot
    // make another application's window active).
    BOOL showWindow(HWND h, int cmd, int actor);
    BOOL setWindowPos(HWND h, HWND insertAfter, int x, int y, int cx, int cy, UINT flags, int actor);
    void activate(HWND h, int actor);
    void deactivate(HWND h);
    void activateNext();
    HWND foreground() const;
    LRESULT send(HWND h, UINT msg, WPARAM wp, LPARAM lp, int senderProcess);
    // Whether the window's thread takes no message now.
    bool isHung(const WindowRec& w) const;
    // Process and thread ids as GetWindowThreadProcessId reports them.
    static DWORD processIdOf(int process);
    static DWORD threadIdOf(int process);
    LRESULT deliver(WindowRec& w, UINT msg, WPARAM wp, LPARAM lp);
    void ensureSurface(WindowRec& w);
    Colour brushColour(HBRUSH b) const;

    // -- pixels --
    void ensureWallpaper();
    RECT virtualScreen() const;
    bool onMonitor(int x, int y) const;
    // Renders r into out (reused when it has r's size already).
    void compose(Image& out, const RECT& r, const std::vector<HWND>& excluded) const;
    // Renders r into a buffer of r's size; every pixel is written.
    void composeInto(const PixelView& out, const RECT& r, const std::vector<HWND>& excluded) const;
    void drawWindow(const PixelView& out, const RECT& r, const WindowRec& w,
                    const std::vector<HWND>& excluded) const;

    // -- GDI --
    HDC newDc(DcRec rec);
    HGDIOBJ newObject(GdiObject obj);
    void releaseObjectIfPending(HGDIOBJ obj);
};

// The desktop the Win32 functions act on, or null.
DesktopState* currentState();
void setCurrentState(DesktopState* s);

HWND handleOfId(std::size_t id);
std::size_t idOfHandle(HWND h);
std::string lowerCase(std::string_view s);
Colour colourOfRef(COLORREF c);

// Heap blocks of the process heap attributed to a desktop generation.
struct HeapTotals {
    int blocks = 0;
    std::size_t bytes = 0;
};
HeapTotals heapTotals(std::uint64_t generation);

}  // namespace sim
