// The windowing functions of the simulated desktop, called by the helper
// process. Every call acts on the current desktop; without one they fail.
#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/sim/programs.h"
#include "platform/sim/sim_state.h"

using sim::CallEntry;
using sim::currentState;
using sim::DesktopState;
using sim::kHelperProcess;
using sim::WindowRec;

namespace {

void logWindow(DesktopState& s, const char* fn, HWND h, std::int64_t code = 0, HWND other = nullptr) {
    if (s.log.enabled()) {
        CallEntry e;
        e.function = fn;
        e.window = h;
        e.code = code;
        e.other = other;
        s.record(std::move(e));
    }
}

HICON fakeIcon() {
    return reinterpret_cast<HICON>(static_cast<std::uintptr_t>(0x00010003));
}

}  // namespace

BOOL WINAPI SetProcessDPIAware() {
    return TRUE;
}

ATOM WINAPI RegisterClassExA(const WNDCLASSEXA* wc) {
    DesktopState* s = currentState();
    if (s == nullptr || wc == nullptr || wc->cbSize != sizeof(WNDCLASSEXA) || wc->lpszClassName == nullptr ||
        wc->lpfnWndProc == nullptr) {
        return 0;
    }
    if (s->log.enabled()) {
        CallEntry e;
        e.function = "RegisterClassExA";
        e.text = wc->lpszClassName;
        s->record(std::move(e));
    }
    if (s->shouldFail("RegisterClassExA", wc->lpszClassName)) {
        return 0;
    }
    sim::ClassRec* existing = s->findClass(wc->lpszClassName);
    if (existing != nullptr && !existing->system) {
        return 0;  // already registered by this process
    }
    sim::ClassRec c;
    c.name = wc->lpszClassName;
    c.proc = wc->lpfnWndProc;
    c.background = wc->hbrBackground;
    s->classes[sim::lowerCase(c.name)] = c;
    return s->nextAtom++;
}

BOOL WINAPI UnregisterClassA(LPCSTR className, HINSTANCE) {
    DesktopState* s = currentState();
    if (s == nullptr || className == nullptr) {
        return FALSE;
    }
    sim::ClassRec* c = s->findClass(className);
    if (c == nullptr || c->system) {
        return FALSE;
    }
    for (const auto& w : s->windows) {
        if (w && w->process == kHelperProcess && sim::lowerCase(w->className) == sim::lowerCase(className)) {
            return FALSE;  // windows of the class still exist
        }
    }
    s->classes.erase(sim::lowerCase(className));
    return TRUE;
}

HICON WINAPI LoadIconA(HINSTANCE, LPCSTR) {
    return fakeIcon();
}

HCURSOR WINAPI LoadCursorA(HINSTANCE, LPCSTR) {
    return reinterpret_cast<HCURSOR>(static_cast<std::uintptr_t>(0x00010005));
}

HWND WINAPI CreateWindowExA(DWORD exStyle, LPCSTR className, LPCSTR windowName, DWORD style, int x, int y,
                            int width, int height, HWND parent, HMENU, HINSTANCE, LPVOID) {
    DesktopState* s = currentState();
    if (s == nullptr || className == nullptr) {
        return nullptr;
    }
    const sim::ClassRec* c = s->findClass(className);
    HWND result = nullptr;
    const bool failed = s->shouldFail("CreateWindowExA", className);
    const bool child = (style & WS_CHILD) != 0;
    const WindowRec* p = parent == nullptr ? nullptr : s->find(parent);
    if (c != nullptr && !failed && (parent == nullptr || p != nullptr) && (!child || p != nullptr)) {
        if (x == CW_USEDEFAULT) {
            x = child || (style & WS_POPUP) != 0 ? 0 : 26;
            y = x;
        }
        if (width == CW_USEDEFAULT) {
            const RECT& m = s->monitors.front();
            width = child || (style & WS_POPUP) != 0 ? 0 : (m.right - m.left) * 3 / 4;
            height = child || (style & WS_POPUP) != 0 ? 0 : (m.bottom - m.top) * 3 / 4;
        }
        RECT r{x, y, x + std::max(width, 0), y + std::max(height, 0)};
        if (child) {
            r.left += p->rect.left;
            r.right += p->rect.left;
            r.top += p->rect.top;
            r.bottom += p->rect.top;
        }
        result = s->newWindow(kHelperProcess, c->name, windowName == nullptr ? "" : windowName, style,
                              exStyle, r, parent);
        WindowRec* w = s->find(result);
        w->program = sim::currentProgram();
        w->proc = c->proc;
        w->background = s->brushColour(c->background);
        if (c->system) {
            w->proc = nullptr;  // the Magnifier control handles its own messages
            w->magnifier = std::make_unique<sim::MagnifierRec>();
        }
        if ((style & WS_VISIBLE) != 0) {
            w->style |= WS_VISIBLE;
            w->needsPaint = true;
            if (!child) {
                s->activate(result, kHelperProcess);
            }
        }
    }
    if (s->log.enabled()) {
        CallEntry e;
        e.function = "CreateWindowExA";
        e.window = result;
        e.other = parent;
        e.code = style;
        e.text = className;
        s->record(std::move(e));
    }
    return result;
}

LRESULT WINAPI DefWindowProcA(HWND hwnd, UINT msg, WPARAM, LPARAM) {
    DesktopState* s = currentState();
    if (s == nullptr) {
        return 0;
    }
    if (msg == WM_CLOSE) {
        DestroyWindow(hwnd);
    } else if (msg == WM_PAINT) {
        // Painting validates the whole window.
        if (WindowRec* w = s->find(hwnd)) {
            w->needsPaint = false;
        }
    }
    return 0;
}

BOOL WINAPI DestroyWindow(HWND hwnd) {
    DesktopState* s = currentState();
    if (s == nullptr) {
        return FALSE;
    }
    logWindow(*s, "DestroyWindow", hwnd);
    WindowRec* w = s->find(hwnd);
    // A process can destroy only its own windows.
    if (w == nullptr || hwnd == s->desktop || w->process != kHelperProcess) {
        return FALSE;
    }
    s->destroyWindow(hwnd);
    return TRUE;
}

void WINAPI PostQuitMessage(int exitCode) {
    DesktopState* s = currentState();
    if (s == nullptr) {
        return;
    }
    MSG m{};
    m.message = WM_QUIT;
    m.wParam = static_cast<WPARAM>(exitCode);
    s->posted.push_back(m);
    ++s->quitPosted;
}

BOOL WINAPI PeekMessageA(LPMSG msg, HWND hwnd, UINT filterMin, UINT filterMax, UINT removeMsg) {
    DesktopState* s = currentState();
    if (s == nullptr) {
        return FALSE;
    }
    s->peeks += 1;
    if (s->peekHook) {
        s->peekHook();
    }
    // Started programs take their turns between peeks (programs.h).
    sim::programTurnBoundary();
    // Messages sent from other processes arrive here.
    s->runDue();
    BOOL found = FALSE;
    auto matches = [&](const MSG& m) {
        if (hwnd != nullptr && hwnd != reinterpret_cast<HWND>(-1) && m.hwnd != hwnd) {
            return false;
        }
        if (hwnd == reinterpret_cast<HWND>(-1) && m.hwnd != nullptr) {
            return false;
        }
        if (filterMin == 0 && filterMax == 0) {
            return true;
        }
        return m.message >= filterMin && m.message <= filterMax;
    };
    // WM_QUIT comes only when no other posted message is left, WM_PAINT
    // after both; WM_PAINT stays until the window is painted.
    auto it = std::find_if(s->posted.begin(), s->posted.end(),
                           [&](const MSG& m) { return m.message != WM_QUIT && matches(m); });
    if (it == s->posted.end()) {
        it = std::find_if(s->posted.begin(), s->posted.end(), matches);
    }
    if (it == s->posted.end()) {
        for (const auto& w : s->windows) {
            if (!w || w->process != kHelperProcess || !w->needsPaint || !s->isVisible(w->handle)) {
                continue;
            }
            MSG paint{w->handle, WM_PAINT, 0, 0, 0, POINT{0, 0}, 0};
            if (!matches(paint)) {
                continue;
            }
            if (msg != nullptr) {
                *msg = paint;
                msg->time = static_cast<DWORD>(s->nowUs() / 1000);
                msg->pt = s->cursor;
            }
            found = TRUE;
            break;
        }
    }
    if (it != s->posted.end()) {
        found = TRUE;
        if (msg != nullptr) {
            *msg = *it;
            msg->time = static_cast<DWORD>(s->nowUs() / 1000);
            msg->pt = s->cursor;
        }
        if ((removeMsg & PM_REMOVE) != 0) {
            s->posted.erase(it);
        }
    }
    if (!s->options.realTime) {
        s->advanceUs(s->turnCostUs);
    }
    return found;
}

BOOL WINAPI PostMessageA(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    DesktopState* s = currentState();
    if (s == nullptr) {
        return FALSE;
    }
    logWindow(*s, "PostMessageA", hwnd, msg);
    if (hwnd == nullptr) {
        s->posted.push_back(MSG{nullptr, msg, wParam, lParam, 0, POINT{0, 0}, 0});
        return TRUE;
    }
    WindowRec* w = s->find(hwnd);
    if (w == nullptr) {
        return FALSE;
    }
    if (w->process == kHelperProcess) {
        s->posted.push_back(MSG{hwnd, msg, wParam, lParam, 0, POINT{0, 0}, 0});
        return TRUE;
    }
    // Another application handles its posted messages on its own: it does so
    // at the next point where external events run.
    s->schedule(s->nowUs(), [s, hwnd, msg, wParam, lParam] {
        if (WindowRec* target = s->find(hwnd)) {
            s->deliver(*target, msg, wParam, lParam);
        }
    });
    return TRUE;
}

namespace {

thread_local DWORD t_lastError = ERROR_SUCCESS;

// The top-level windows a broadcast reaches, in z-order (taken before any of
// them runs, as the receivers may create or destroy windows).
std::vector<HWND> broadcastTargets(const DesktopState& s) {
    return s.topLevel;
}

// A send to a window whose thread is hung: the sender waits until the thread
// takes messages again (the clock moves on; events wait, as in Sleep).
LRESULT sendBlocking(DesktopState& s, HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    WindowRec* w = s.find(hwnd);
    if (w == nullptr) {
        return 0;
    }
    if (s.isHung(*w)) {
        s.advanceUs(w->hungUntilUs - s.nowUs());
    }
    return s.send(hwnd, msg, wParam, lParam, kHelperProcess);
}

enum class TimedSend { Delivered, TimedOut, NoWindow };

// SendMessageTimeoutA to one window. Windows of the helper itself never time
// out (the call runs the procedure directly, as on Windows).
TimedSend sendTimed(DesktopState& s, HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam, UINT flags,
                    UINT timeoutMs, LRESULT& result) {
    WindowRec* w = s.find(hwnd);
    if (w == nullptr) {
        return TimedSend::NoWindow;
    }
    if (w->process != kHelperProcess && s.isHung(*w)) {
        const std::int64_t now = s.nowUs();
        const bool seenHung = now - w->hungFromUs >= sim::kHungAfterUs;
        if ((flags & SMTO_ABORTIFHUNG) != 0 && seenHung) {
            return TimedSend::TimedOut;  // at once
        }
        std::int64_t deadline = now + static_cast<std::int64_t>(timeoutMs) * 1000;
        if ((flags & SMTO_NOTIMEOUTIFNOTHUNG) != 0) {
            // The time-out only counts once the receiver is seen as hung.
            deadline = std::max(deadline, w->hungFromUs + sim::kHungAfterUs);
        }
        if (w->hungUntilUs > deadline) {
            s.advanceUs(deadline - now);
            return TimedSend::TimedOut;
        }
        s.advanceUs(w->hungUntilUs - now);
        if (s.find(hwnd) == nullptr) {
            return TimedSend::NoWindow;
        }
    }
    result = s.send(hwnd, msg, wParam, lParam, kHelperProcess);
    return TimedSend::Delivered;
}

}  // namespace

LRESULT WINAPI SendMessageA(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    DesktopState* s = currentState();
    if (s == nullptr) {
        return 0;
    }
    logWindow(*s, "SendMessageA", hwnd, msg);
    if (s->shouldFail("SendMessageA", {}, 0, hwnd)) {
        return 0;
    }
    if (hwnd == HWND_BROADCAST) {
        for (HWND target : broadcastTargets(*s)) {
            sendBlocking(*s, target, msg, wParam, lParam);
        }
        return 0;
    }
    return sendBlocking(*s, hwnd, msg, wParam, lParam);
}

LRESULT WINAPI SendMessageTimeoutA(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam, UINT fuFlags,
                                   UINT uTimeout, PDWORD_PTR lpdwResult) {
    DesktopState* s = currentState();
    if (lpdwResult != nullptr) {
        *lpdwResult = 0;
    }
    if (s == nullptr) {
        t_lastError = ERROR_INVALID_WINDOW_HANDLE;
        return 0;
    }
    logWindow(*s, "SendMessageTimeoutA", hwnd, msg);
    if (s->shouldFail("SendMessageTimeoutA", {}, 0, hwnd)) {
        t_lastError = ERROR_TIMEOUT;
        return 0;
    }
    LRESULT result = 0;
    if (hwnd == HWND_BROADCAST) {
        // Each window gets the time-out on its own; hung ones are skipped.
        for (HWND target : broadcastTargets(*s)) {
            sendTimed(*s, target, msg, wParam, lParam, fuFlags, uTimeout, result);
        }
        return TRUE;
    }
    switch (sendTimed(*s, hwnd, msg, wParam, lParam, fuFlags, uTimeout, result)) {
        case TimedSend::NoWindow:
            t_lastError = ERROR_INVALID_WINDOW_HANDLE;
            return 0;
        case TimedSend::TimedOut:
            t_lastError = ERROR_TIMEOUT;
            return 0;
        case TimedSend::Delivered:
            break;
    }
    if (lpdwResult != nullptr) {
        *lpdwResult = static_cast<DWORD_PTR>(result);
    }
    return TRUE;
}

DWORD WINAPI GetLastError() {
    return t_lastError;
}

void WINAPI SetLastError(DWORD errorCode) {
    t_lastError = errorCode;
}

DWORD WINAPI GetWindowThreadProcessId(HWND hwnd, LPDWORD processId) {
    DesktopState* s = currentState();
    const WindowRec* w = s == nullptr ? nullptr : s->find(hwnd);
    if (w == nullptr) {
        t_lastError = ERROR_INVALID_WINDOW_HANDLE;
        return 0;
    }
    if (processId != nullptr) {
        *processId = DesktopState::processIdOf(w->process);
    }
    return DesktopState::threadIdOf(w->process);
}

BOOL WINAPI IsIconic(HWND hwnd) {
    DesktopState* s = currentState();
    const WindowRec* w = s == nullptr ? nullptr : s->find(hwnd);
    return w != nullptr && (w->style & WS_MINIMIZE) != 0 ? TRUE : FALSE;
}

BOOL WINAPI IsWindow(HWND hwnd) {
    DesktopState* s = currentState();
    return s != nullptr && s->find(hwnd) != nullptr ? TRUE : FALSE;
}

BOOL WINAPI IsWindowVisible(HWND hwnd) {
    DesktopState* s = currentState();
    if (s == nullptr || s->shouldFail("IsWindowVisible", {}, 0, hwnd)) {
        return FALSE;
    }
    return s->isVisible(hwnd) ? TRUE : FALSE;
}

HWND WINAPI GetWindow(HWND hwnd, UINT cmd) {
    DesktopState* s = currentState();
    if (s == nullptr) {
        return nullptr;
    }
    WindowRec* w = s->find(hwnd);
    if (w == nullptr) {
        return nullptr;
    }
    if (cmd == GW_OWNER) {
        return w->owner;
    }
    if (cmd == GW_CHILD) {
        const std::vector<HWND>& kids = hwnd == s->desktop ? s->topLevel : w->children;
        return kids.empty() ? nullptr : kids.front();
    }
    std::vector<HWND>* sib = s->siblingsOf(hwnd);
    if (sib == nullptr) {
        return nullptr;
    }
    auto it = std::find(sib->begin(), sib->end(), hwnd);
    switch (cmd) {
        case GW_HWNDFIRST:
            return sib->front();
        case GW_HWNDLAST:
            return sib->back();
        case GW_HWNDNEXT:
            return it == sib->end() || it + 1 == sib->end() ? nullptr : *(it + 1);
        case GW_HWNDPREV:
            return it == sib->end() || it == sib->begin() ? nullptr : *(it - 1);
        default:
            return nullptr;
    }
}

HWND WINAPI GetTopWindow(HWND hwnd) {
    DesktopState* s = currentState();
    if (s == nullptr) {
        return nullptr;
    }
    return GetWindow(hwnd == nullptr ? s->desktop : hwnd, GW_CHILD);
}

HWND WINAPI GetParent(HWND hwnd) {
    DesktopState* s = currentState();
    const WindowRec* w = s == nullptr ? nullptr : s->find(hwnd);
    if (w == nullptr) {
        return nullptr;
    }
    if ((w->style & WS_POPUP) != 0) {
        return w->owner;
    }
    if ((w->style & WS_CHILD) != 0) {
        return w->parent;
    }
    return nullptr;
}

HWND WINAPI FindWindowA(LPCSTR className, LPCSTR windowName) {
    DesktopState* s = currentState();
    if (s == nullptr) {
        return nullptr;
    }
    for (HWND h : s->topLevel) {
        const WindowRec* w = s->find(h);
        if (className != nullptr && sim::lowerCase(className) != sim::lowerCase(w->className)) {
            continue;
        }
        if (windowName != nullptr && w->title != windowName) {
            continue;
        }
        return h;
    }
    return nullptr;
}

HWND WINAPI GetDesktopWindow() {
    DesktopState* s = currentState();
    return s == nullptr ? nullptr : s->desktop;
}

HWND WINAPI GetActiveWindow() {
    DesktopState* s = currentState();
    if (s == nullptr) {
        return nullptr;
    }
    if (s->options.activeScope == sim::ActiveScope::System) {
        return s->foreground();
    }
    auto it = s->activeWindow.find(kHelperProcess);
    return it == s->activeWindow.end() ? nullptr : it->second;
}

HWND WINAPI SetActiveWindow(HWND hwnd) {
    DesktopState* s = currentState();
    if (s == nullptr) {
        return nullptr;
    }
    logWindow(*s, "SetActiveWindow", hwnd);
    WindowRec* w = s->find(hwnd);
    // Only a window of the calling thread can be made active.
    if (w == nullptr || w->process != kHelperProcess || w->parent != nullptr) {
        return nullptr;
    }
    HWND previous = s->activeWindow[kHelperProcess];
    s->activate(hwnd, kHelperProcess);
    return previous;
}

HWND WINAPI GetForegroundWindow() {
    DesktopState* s = currentState();
    return s == nullptr ? nullptr : s->foreground();
}

BOOL WINAPI GetCursorPos(LPPOINT point) {
    DesktopState* s = currentState();
    if (s == nullptr || point == nullptr || s->shouldFail("GetCursorPos")) {
        return FALSE;
    }
    *point = s->cursor;
    return TRUE;
}

BOOL WINAPI SetCursorPos(int x, int y) {
    DesktopState* s = currentState();
    if (s == nullptr) {
        return FALSE;
    }
    const RECT v = s->virtualScreen();
    s->cursor = POINT{std::clamp<LONG>(x, v.left, v.right - 1), std::clamp<LONG>(y, v.top, v.bottom - 1)};
    return TRUE;
}

BOOL WINAPI GetWindowRect(HWND hwnd, LPRECT rect) {
    DesktopState* s = currentState();
    if (s == nullptr || rect == nullptr) {
        return FALSE;
    }
    const WindowRec* w = s->find(hwnd);
    if (w == nullptr || s->shouldFail("GetWindowRect", {}, 0, hwnd)) {
        return FALSE;
    }
    *rect = w->rect;
    return TRUE;
}

// For a hidden window the show state is taken from the style, as for a shown
// one: 2 when minimised, 3 when maximised, otherwise 1.
BOOL WINAPI GetWindowPlacement(HWND hwnd, WINDOWPLACEMENT* placement) {
    DesktopState* s = currentState();
    if (s == nullptr || placement == nullptr) {
        return FALSE;
    }
    const WindowRec* w = s->find(hwnd);
    if (w == nullptr || s->shouldFail("GetWindowPlacement", {}, 0, hwnd)) {
        return FALSE;
    }
    placement->length = sizeof(WINDOWPLACEMENT);
    placement->flags = 0;
    if ((w->style & WS_MINIMIZE) != 0) {
        placement->showCmd = SW_SHOWMINIMIZED;
        placement->ptMinPosition = POINT{sim::kMinimisedPos, sim::kMinimisedPos};
        if (w->restoreToMaximised) {
            placement->flags = 2;  // WPF_RESTORETOMAXIMIZED
        }
    } else {
        placement->showCmd = (w->style & WS_MAXIMIZE) != 0 ? SW_SHOWMAXIMIZED : SW_SHOWNORMAL;
        placement->ptMinPosition = POINT{-1, -1};
    }
    placement->ptMaxPosition = POINT{-1, -1};
    placement->rcNormalPosition = w->normalRect;
    return TRUE;
}

BOOL WINAPI SetWindowPos(HWND hwnd, HWND insertAfter, int x, int y, int cx, int cy, UINT flags) {
    DesktopState* s = currentState();
    if (s == nullptr) {
        return FALSE;
    }
    if (s->log.enabled()) {
        CallEntry e;
        e.function = "SetWindowPos";
        e.window = hwnd;
        e.other = insertAfter;
        e.code = flags;
        e.rect = RECT{x, y, cx, cy};
        s->record(std::move(e));
    }
    if (s->shouldFail("SetWindowPos", {}, 0, hwnd)) {
        return FALSE;
    }
    return s->setWindowPos(hwnd, insertAfter, x, y, cx, cy, flags, kHelperProcess);
}

BOOL WINAPI MoveWindow(HWND hwnd, int x, int y, int width, int height, BOOL) {
    DesktopState* s = currentState();
    if (s == nullptr) {
        return FALSE;
    }
    if (s->log.enabled()) {
        CallEntry e;
        e.function = "MoveWindow";
        e.window = hwnd;
        e.rect = RECT{x, y, width, height};
        s->record(std::move(e));
    }
    return s->setWindowPos(hwnd, nullptr, x, y, width, height, SWP_NOZORDER | SWP_NOACTIVATE, kHelperProcess);
}

BOOL WINAPI ShowWindow(HWND hwnd, int cmdShow) {
    DesktopState* s = currentState();
    if (s == nullptr) {
        return FALSE;
    }
    logWindow(*s, "ShowWindow", hwnd, cmdShow);
    return s->showWindow(hwnd, cmdShow, kHelperProcess);
}

// As in Wine: the window is hidden, re-linked at the top of its new parent's
// children and shown again if it was visible; an owned popup moved to the
// desktop keeps its owner.
HWND WINAPI SetParent(HWND child, HWND newParent) {
    DesktopState* s = currentState();
    if (s == nullptr) {
        return nullptr;
    }
    logWindow(*s, "SetParent", child, 0, newParent);
    WindowRec* w = s->find(child);
    if (newParent == nullptr) {
        newParent = s->desktop;
    }
    WindowRec* p = s->find(newParent);
    if (w == nullptr || p == nullptr || child == s->desktop || child == newParent) {
        return nullptr;
    }
    for (HWND a = newParent; a != nullptr;) {
        if (a == child) {
            return nullptr;  // would become its own ancestor
        }
        const WindowRec* ar = s->find(a);
        a = ar == nullptr ? nullptr : ar->parent;
    }
    const HWND oldParent = w->parent == nullptr ? s->desktop : w->parent;
    const bool wasVisible = (w->style & WS_VISIBLE) != 0;
    if (wasVisible) {
        s->showWindow(child, SW_HIDE, kHelperProcess);
    }
    if (w->parent == nullptr) {
        std::erase(s->topLevel, child);
    } else if (WindowRec* op = s->find(w->parent)) {
        std::erase(op->children, child);
    }
    // The position relative to the parent's origin is kept.
    LONG ox = 0;
    LONG oy = 0;
    if (w->parent != nullptr) {
        const WindowRec* op = s->find(w->parent);
        ox = op->rect.left;
        oy = op->rect.top;
    }
    LONG nx = 0;
    LONG ny = 0;
    if (newParent != s->desktop) {
        nx = p->rect.left;
        ny = p->rect.top;
    }
    RECT r = w->rect;
    r.left += nx - ox;
    r.right += nx - ox;
    r.top += ny - oy;
    r.bottom += ny - oy;
    if (newParent == s->desktop) {
        w->parent = nullptr;
        s->topLevel.insert(s->topLevel.begin(), child);
        s->raise(child);
    } else {
        w->parent = newParent;
        p->children.insert(p->children.begin(), child);
    }
    s->moveWindow(child, r);
    if ((w->style & (WS_MINIMIZE | WS_MAXIMIZE)) == 0) {
        w->normalRect = w->rect;
    }
    if (wasVisible) {
        s->showWindow(child, SW_SHOW, kHelperProcess);
    }
    return oldParent;
}

LONG WINAPI GetWindowLongA(HWND hwnd, int index) {
    DesktopState* s = currentState();
    const WindowRec* w = s == nullptr ? nullptr : s->find(hwnd);
    if (w == nullptr) {
        return 0;
    }
    if (index == GWL_STYLE) {
        return static_cast<LONG>(w->style);
    }
    if (index == GWL_EXSTYLE) {
        return static_cast<LONG>(w->exStyle);
    }
    return 0;
}

int WINAPI GetClassNameA(HWND hwnd, LPSTR className, int maxCount) {
    DesktopState* s = currentState();
    const WindowRec* w = s == nullptr ? nullptr : s->find(hwnd);
    if (w == nullptr || className == nullptr || maxCount <= 0) {
        return 0;
    }
    const int n = std::min(static_cast<int>(w->className.size()), maxCount - 1);
    std::memcpy(className, w->className.data(), static_cast<std::size_t>(n));
    className[n] = '\0';
    return n;
}

BOOL WINAPI SetLayeredWindowAttributes(HWND hwnd, COLORREF key, BYTE alpha, DWORD flags) {
    DesktopState* s = currentState();
    if (s == nullptr) {
        return FALSE;
    }
    logWindow(*s, "SetLayeredWindowAttributes", hwnd, alpha);
    WindowRec* w = s->find(hwnd);
    if (w == nullptr || (w->exStyle & WS_EX_LAYERED) == 0 || s->shouldFail("SetLayeredWindowAttributes")) {
        return FALSE;
    }
    w->layeredSet = true;
    w->colourKey = key;
    w->alpha = alpha;
    w->layeredFlags = flags;
    return TRUE;
}

BOOL WINAPI EnumDisplayMonitors(HDC, LPCRECT clip, MONITORENUMPROC proc, LPARAM data) {
    DesktopState* s = currentState();
    if (s == nullptr || proc == nullptr) {
        return FALSE;
    }
    if (s->shouldFail("EnumDisplayMonitors")) {
        return FALSE;  // no monitor enumerated
    }
    const std::vector<RECT> monitors = s->monitors;
    for (std::size_t i = 0; i < monitors.size(); ++i) {
        RECT r = monitors[i];
        if (clip != nullptr) {
            r = RECT{std::max(r.left, clip->left), std::max(r.top, clip->top), std::min(r.right, clip->right),
                     std::min(r.bottom, clip->bottom)};
            if (r.left >= r.right || r.top >= r.bottom) {
                continue;
            }
        }
        const auto monitor = reinterpret_cast<HMONITOR>(static_cast<std::uintptr_t>(0x00010001 + i * 2));
        if (proc(monitor, nullptr, &r, data) == FALSE) {
            return FALSE;
        }
    }
    return TRUE;
}
