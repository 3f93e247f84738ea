// Window records of the simulated desktop: creation, destruction, z-order,
// show states, placement and activation. The Win32 wrappers (user32.cpp) and
// the C++ API (desktop.cpp) both act through these.
#include <algorithm>
#include <cctype>

#include "platform/sim/programs.h"
#include "platform/sim/sim_state.h"

namespace sim {
namespace {

constexpr std::uintptr_t kWindowBase = 0x00020000;
constexpr std::uintptr_t kWindowStep = 0x10;

DesktopState* g_current = nullptr;

bool isTopmost(const WindowRec& w) {
    return (w.exStyle & WS_EX_TOPMOST) != 0;
}

}  // namespace

DesktopState* currentState() {
    return g_current;
}
void setCurrentState(DesktopState* s) {
    g_current = s;
}

HWND handleOfId(std::size_t id) {
    return reinterpret_cast<HWND>(kWindowBase + id * kWindowStep);
}

std::size_t idOfHandle(HWND h) {
    const auto v = reinterpret_cast<std::uintptr_t>(h);
    if (v < kWindowBase || (v - kWindowBase) % kWindowStep != 0) {
        return static_cast<std::size_t>(-1);
    }
    return (v - kWindowBase) / kWindowStep;
}

std::string lowerCase(std::string_view s) {
    std::string out(s);
    for (char& c : out) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return out;
}

Colour colourOfRef(COLORREF c) {
    return bgra(static_cast<std::uint8_t>(c & 0xFF), static_cast<std::uint8_t>((c >> 8) & 0xFF),
                static_cast<std::uint8_t>((c >> 16) & 0xFF));
}

WindowRec* DesktopState::find(HWND h) {
    const std::size_t id = idOfHandle(h);
    if (id >= windows.size()) {
        return nullptr;
    }
    return windows[id].get();
}

const WindowRec* DesktopState::find(HWND h) const {
    const std::size_t id = idOfHandle(h);
    if (id >= windows.size()) {
        return nullptr;
    }
    return windows[id].get();
}

ClassRec* DesktopState::findClass(std::string_view name) {
    auto it = classes.find(lowerCase(name));
    return it == classes.end() ? nullptr : &it->second;
}

bool DesktopState::shouldFail(std::string_view function, std::string_view className, std::size_t bytes,
                              HWND window) {
    for (auto it = faults.begin(); it != faults.end(); ++it) {
        Fault& f = *it;
        if (f.function != function || f.remaining == 0) {
            continue;
        }
        if (!f.className.empty() && lowerCase(f.className) != lowerCase(className)) {
            continue;
        }
        if (bytes < f.minBytes) {
            continue;
        }
        if (f.window != nullptr && f.window != window) {
            continue;
        }
        if (f.remaining > 0) {
            --f.remaining;
            if (f.remaining == 0) {
                faults.erase(it);
            }
        }
        return true;
    }
    return false;
}

// ---- creation and destruction ----

HWND DesktopState::newWindow(int process, const std::string& className, const std::string& title, DWORD style,
                             DWORD exStyle, RECT rect, HWND parentOrOwner) {
    auto rec = std::make_unique<WindowRec>();
    const HWND h = handleOfId(windows.size());
    rec->handle = h;
    rec->process = process;
    rec->className = className;
    rec->title = title;
    rec->style = style & ~WS_VISIBLE;
    rec->exStyle = exStyle;
    if ((style & WS_CHILD) != 0) {
        rec->parent = parentOrOwner;
    } else if (parentOrOwner != nullptr && parentOrOwner != desktop) {
        // The owner of a top-level window is always a top-level window.
        HWND o = parentOrOwner;
        while (const WindowRec* ow = find(o)) {
            if (ow->parent == nullptr) {
                break;
            }
            o = ow->parent;
        }
        rec->owner = o;
    }
    rec->rect = rect;
    rec->normalRect = rect;
    windows.push_back(std::move(rec));
    WindowRec& w = *windows.back();
    if (w.parent != nullptr) {
        // New child windows go below their siblings (as in Wine).
        WindowRec* p = find(w.parent);
        p->children.push_back(h);
    } else {
        topLevel.insert(topLevel.begin(), h);
        normaliseZOrder();
        raise(h);
    }
    return h;
}

void DesktopState::destroyWindow(HWND h) {
    WindowRec* w = find(h);
    if (w == nullptr || w->destroying || h == desktop) {
        return;
    }
    w->destroying = true;
    if ((w->style & WS_VISIBLE) != 0) {
        w->style &= ~WS_VISIBLE;
        deactivate(h);
    }
    // Owned windows of the same process go first; those of other processes
    // lose their owner instead (a thread cannot destroy another's windows).
    if (w->parent == nullptr) {
        const std::vector<HWND> order = topLevel;
        for (HWND o : order) {
            WindowRec* ow = find(o);
            if (ow == nullptr || ow->owner != h) {
                continue;
            }
            if (ow->process == w->process) {
                destroyWindow(o);
            } else {
                ow->owner = nullptr;
            }
        }
    }
    // WM_DESTROY to the window, then to its children (parent first).
    std::function<void(HWND)> sendDestroy = [&](HWND x) {
        WindowRec* xr = find(x);
        if (xr == nullptr) {
            return;
        }
        deliver(*xr, WM_DESTROY, 0, 0);
        xr = find(x);
        if (xr == nullptr) {
            return;
        }
        const std::vector<HWND> kids = xr->children;
        for (HWND k : kids) {
            if (WindowRec* kr = find(k)) {
                kr->destroying = true;
            }
            sendDestroy(k);
        }
    };
    sendDestroy(h);
    // WM_NCDESTROY children first, then free the records.
    std::function<void(HWND)> free = [&](HWND x) {
        WindowRec* xr = find(x);
        if (xr == nullptr) {
            return;
        }
        const std::vector<HWND> kids = xr->children;
        for (HWND k : kids) {
            free(k);
        }
        xr = find(x);
        if (xr == nullptr) {
            return;
        }
        deliver(*xr, WM_NCDESTROY, 0, 0);
        xr = find(x);
        if (xr == nullptr) {
            return;
        }
        if (xr->parent != nullptr) {
            if (WindowRec* p = find(xr->parent)) {
                std::erase(p->children, x);
            }
        } else {
            std::erase(topLevel, x);
        }
        for (auto& [process, active] : activeWindow) {
            if (active == x) {
                active = nullptr;
            }
        }
        std::erase_if(posted, [x](const MSG& m) { return m.hwnd == x; });
        windows[idOfHandle(x)].reset();
    };
    free(h);
    if (foreground() == nullptr) {
        activateNext();
    }
}

bool DesktopState::isVisible(HWND h) const {
    const WindowRec* w = find(h);
    if (w == nullptr) {
        return false;
    }
    if (h == desktop) {
        return true;
    }
    while (w != nullptr) {
        if ((w->style & WS_VISIBLE) == 0) {
            return false;
        }
        if (w->parent == nullptr) {
            return true;
        }
        w = find(w->parent);
    }
    return false;
}

// ---- z-order ----

std::vector<HWND>* DesktopState::siblingsOf(HWND h) {
    WindowRec* w = find(h);
    if (w == nullptr) {
        return nullptr;
    }
    if (w->parent == nullptr) {
        return h == desktop ? nullptr : &topLevel;
    }
    WindowRec* p = find(w->parent);
    return p == nullptr ? nullptr : &p->children;
}

// Keeps the topmost band first and every owned window above its owner; an
// owned window of a topmost owner is topmost itself.
void DesktopState::normaliseZOrder() {
    for (int pass = 0; pass < 4; ++pass) {
        bool changed = false;
        for (HWND h : topLevel) {
            WindowRec* w = find(h);
            if (w->owner == nullptr) {
                continue;
            }
            const WindowRec* o = find(w->owner);
            if (o != nullptr && isTopmost(*o) && !isTopmost(*w)) {
                w->exStyle |= WS_EX_TOPMOST;
                changed = true;
            }
        }
        std::stable_partition(topLevel.begin(), topLevel.end(),
                              [this](HWND h) { return isTopmost(*find(h)); });
        // Move owned windows found below their owner to just above it, keeping
        // the order among them.
        for (std::size_t i = 0; i < topLevel.size(); ++i) {
            WindowRec* w = find(topLevel[i]);
            if (w->owner == nullptr) {
                continue;
            }
            auto ownerIt = std::find(topLevel.begin(), topLevel.end(), w->owner);
            if (ownerIt == topLevel.end()) {
                continue;
            }
            const auto ownerPos = static_cast<std::size_t>(ownerIt - topLevel.begin());
            if (ownerPos < i && isTopmost(*w) == isTopmost(*find(w->owner))) {
                const HWND moved = topLevel[i];
                topLevel.erase(topLevel.begin() + static_cast<std::ptrdiff_t>(i));
                topLevel.insert(topLevel.begin() + static_cast<std::ptrdiff_t>(ownerPos), moved);
                changed = true;
            }
        }
        if (!changed) {
            return;
        }
    }
}

void DesktopState::raise(HWND h) {
    std::vector<HWND>* sib = siblingsOf(h);
    if (sib == nullptr) {
        return;
    }
    std::erase(*sib, h);
    if (sib != &topLevel) {
        sib->insert(sib->begin(), h);
        return;
    }
    const WindowRec* w = find(h);
    auto pos = topLevel.begin();
    if (!isTopmost(*w)) {
        pos = std::find_if(topLevel.begin(), topLevel.end(), [this](HWND x) { return !isTopmost(*find(x)); });
    }
    topLevel.insert(pos, h);
    normaliseZOrder();
}

void DesktopState::placeAfter(HWND h, HWND after) {
    std::vector<HWND>* sib = siblingsOf(h);
    if (sib == nullptr || after == h) {
        return;
    }
    std::erase(*sib, h);
    auto it = std::find(sib->begin(), sib->end(), after);
    if (it == sib->end()) {
        sib->insert(sib->begin(), h);
    } else {
        const auto next = sib->insert(it + 1, h);
        if (sib == &topLevel) {
            WindowRec* w = find(h);
            if (!isTopmost(*find(after))) {
                w->exStyle &= ~WS_EX_TOPMOST;
            } else if (next + 1 != sib->end() && isTopmost(*find(*(next + 1)))) {
                w->exStyle |= WS_EX_TOPMOST;
            }
        }
    }
    if (sib == &topLevel) {
        normaliseZOrder();
    }
}

void DesktopState::placeBottom(HWND h) {
    std::vector<HWND>* sib = siblingsOf(h);
    if (sib == nullptr) {
        return;
    }
    std::erase(*sib, h);
    sib->push_back(h);
    if (sib == &topLevel) {
        find(h)->exStyle &= ~WS_EX_TOPMOST;
        normaliseZOrder();
    }
}

// ---- geometry ----

void DesktopState::moveWindow(HWND h, RECT r) {
    WindowRec* w = find(h);
    if (w == nullptr) {
        return;
    }
    if (r.right < r.left) {
        r.right = r.left;
    }
    if (r.bottom < r.top) {
        r.bottom = r.top;
    }
    const LONG dx = r.left - w->rect.left;
    const LONG dy = r.top - w->rect.top;
    if (r.right - r.left != w->rect.right - w->rect.left ||
        r.bottom - r.top != w->rect.bottom - w->rect.top) {
        w->needsPaint = true;
    }
    w->rect = r;
    if (dx != 0 || dy != 0) {
        std::function<void(HWND)> shift = [&](HWND p) {
            WindowRec* pr = find(p);
            for (HWND k : pr->children) {
                WindowRec* kr = find(k);
                kr->rect.left += dx;
                kr->rect.right += dx;
                kr->rect.top += dy;
                kr->rect.bottom += dy;
                kr->normalRect = kr->rect;
                shift(k);
            }
        };
        shift(h);
    }
}

std::size_t DesktopState::monitorIndexFor(const RECT& r, bool* overlaps) const {
    // The monitor with the largest intersection, else the nearest one.
    std::size_t best = 0;
    long long bestArea = 0;
    std::size_t nearest = 0;
    long long nearestDistance = -1;
    for (std::size_t i = 0; i < monitors.size(); ++i) {
        const RECT& m = monitors[i];
        const long long w = std::min(r.right, m.right) - std::max(r.left, m.left);
        const long long hgt = std::min(r.bottom, m.bottom) - std::max(r.top, m.top);
        if (w > 0 && hgt > 0 && w * hgt > bestArea) {
            bestArea = w * hgt;
            best = i;
        }
        const long long dx =
            r.right <= m.left ? m.left - r.right : (m.right <= r.left ? r.left - m.right : 0);
        const long long dy =
            r.bottom <= m.top ? m.top - r.bottom : (m.bottom <= r.top ? r.top - m.bottom : 0);
        const long long d = dx * dx + dy * dy;
        if (nearestDistance < 0 || d < nearestDistance) {
            nearestDistance = d;
            nearest = i;
        }
    }
    if (overlaps != nullptr) {
        *overlaps = bestArea > 0;
    }
    return bestArea > 0 ? best : nearest;
}

RECT DesktopState::monitorFor(const RECT& r) const {
    return monitors[monitorIndexFor(r, nullptr)];
}

// A maximised sizeable window covers its monitor with its frame outside it.
RECT DesktopState::maximisedRect(const WindowRec& w) const {
    RECT m = monitorFor(w.normalRect);
    if ((w.style & kThickFrame) != 0) {
        m.left -= kMaximisedBorder;
        m.top -= kMaximisedBorder;
        m.right += kMaximisedBorder;
        m.bottom += kMaximisedBorder;
    }
    return m;
}

// ---- activation ----

HWND DesktopState::foreground() const {
    auto it = activeWindow.find(foregroundProcess);
    return it == activeWindow.end() ? nullptr : it->second;
}

void DesktopState::activate(HWND h, int actor) {
    WindowRec* w = find(h);
    if (w == nullptr || w->parent != nullptr) {
        return;
    }
    // WS_EX_NOACTIVATE keeps the user and the system from activating the
    // window; its own process still activates it with ShowWindow, SetWindowPos
    // or SetActiveWindow (as Wine does).
    if (actor == kSystemProcess && (w->exStyle & WS_EX_NOACTIVATE) != 0) {
        return;
    }
    if (actor != w->process && actor != kSystemProcess) {
        return;  // a process cannot activate another process's window
    }
    activeWindow[w->process] = h;
    // The system, or the process that holds the foreground, moves the
    // foreground; a background process only changes its own active window.
    if (actor == kSystemProcess || foregroundProcess == w->process || foregroundProcess == kSystemProcess) {
        foregroundProcess = w->process;
    }
    raise(h);
}

void DesktopState::deactivate(HWND h) {
    WindowRec* w = find(h);
    if (w == nullptr) {
        return;
    }
    auto it = activeWindow.find(w->process);
    if (it == activeWindow.end() || it->second != h) {
        return;
    }
    it->second = nullptr;
    if (foregroundProcess == w->process) {
        activateNext();
    }
}

// Gives the foreground to the highest visible, activatable, restored or
// maximised top-level window, or to nobody.
void DesktopState::activateNext() {
    for (HWND h : topLevel) {
        const WindowRec* w = find(h);
        if (w->destroying || (w->style & WS_VISIBLE) == 0 || (w->style & WS_MINIMIZE) != 0 ||
            (w->exStyle & WS_EX_NOACTIVATE) != 0) {
            continue;
        }
        activeWindow[w->process] = h;
        foregroundProcess = w->process;
        return;
    }
    foregroundProcess = kSystemProcess;
}

// ---- show states ----

BOOL DesktopState::showWindow(HWND h, int cmd, int actor) {
    WindowRec* w = find(h);
    if (w == nullptr || h == desktop) {
        return FALSE;
    }
    const BOOL wasVisible = (w->style & WS_VISIBLE) != 0 ? TRUE : FALSE;
    const bool child = w->parent != nullptr;
    auto restoreNormal = [&] {
        if ((w->style & WS_MINIMIZE) != 0 && w->restoreToMaximised) {
            w->style &= ~WS_MINIMIZE;
            w->style |= WS_MAXIMIZE;
            moveWindow(h, maximisedRect(*w));
        } else if ((w->style & (WS_MINIMIZE | WS_MAXIMIZE)) != 0) {
            w->style &= ~(WS_MINIMIZE | WS_MAXIMIZE);
            moveWindow(h, w->normalRect);
        }
        w->restoreToMaximised = false;
    };
    auto minimise = [&] {
        if ((w->style & WS_MINIMIZE) == 0) {
            w->restoreToMaximised = (w->style & WS_MAXIMIZE) != 0;
            w->style &= ~WS_MAXIMIZE;
            w->style |= WS_MINIMIZE;
            moveWindow(h, RECT{kMinimisedPos, kMinimisedPos, kMinimisedPos + kMinimisedWidth,
                               kMinimisedPos + kMinimisedHeight});
        }
    };
    switch (cmd) {
        case SW_HIDE:
            // As in Wine, a hidden top-level window moves to the top.
            if (wasVisible) {
                w->style &= ~WS_VISIBLE;
                if (!child) {
                    raise(h);
                }
                deactivate(h);
            }
            break;
        case SW_SHOWNORMAL:
        case SW_RESTORE:
            restoreNormal();
            w->style |= WS_VISIBLE;
            if (!child) {
                activate(h, actor);
                raise(h);
            }
            break;
        case SW_SHOWNOACTIVATE:
            restoreNormal();
            w->style |= WS_VISIBLE;
            break;
        case SW_SHOWMAXIMIZED:
            if ((w->style & WS_MAXIMIZE) == 0) {
                w->style &= ~WS_MINIMIZE;
                w->style |= WS_MAXIMIZE;
                w->restoreToMaximised = false;
                moveWindow(h, maximisedRect(*w));
            }
            w->style |= WS_VISIBLE;
            if (!child) {
                activate(h, actor);
                raise(h);
            }
            break;
        case SW_SHOW:
            w->style |= WS_VISIBLE;
            if (!child && !wasVisible) {
                activate(h, actor);
                raise(h);
            }
            break;
        case SW_SHOWNA:
            w->style |= WS_VISIBLE;
            if (!child && !wasVisible) {
                raise(h);
            }
            break;
        case SW_MINIMIZE:
        case SW_SHOWMINNOACTIVE:
        case SW_SHOWMINIMIZED:
            minimise();
            w->style |= WS_VISIBLE;
            deactivate(h);
            break;
        default:
            return wasVisible;
    }
    if (!wasVisible && (w->style & WS_VISIBLE) != 0) {
        w->needsPaint = true;
    }
    return wasVisible;
}

BOOL DesktopState::setWindowPos(HWND h, HWND insertAfter, int x, int y, int cx, int cy, UINT flags,
                                int actor) {
    WindowRec* w = find(h);
    if (w == nullptr || h == desktop) {
        return FALSE;
    }
    if ((flags & SWP_NOZORDER) == 0 && insertAfter != HWND_TOP && insertAfter != HWND_BOTTOM &&
        insertAfter != HWND_TOPMOST && insertAfter != HWND_NOTOPMOST && find(insertAfter) == nullptr) {
        return FALSE;
    }
    RECT r = w->rect;
    if ((flags & SWP_NOMOVE) == 0) {
        LONG ox = 0;
        LONG oy = 0;
        if (w->parent != nullptr) {
            const WindowRec* p = find(w->parent);
            ox = p->rect.left;
            oy = p->rect.top;
        }
        const LONG width = r.right - r.left;
        const LONG height = r.bottom - r.top;
        r.left = ox + x;
        r.top = oy + y;
        r.right = r.left + width;
        r.bottom = r.top + height;
    }
    if ((flags & SWP_NOSIZE) == 0) {
        r.right = r.left + std::max(cx, 0);
        r.bottom = r.top + std::max(cy, 0);
    }
    if ((flags & (SWP_NOMOVE | SWP_NOSIZE)) != (SWP_NOMOVE | SWP_NOSIZE)) {
        moveWindow(h, r);
        if ((w->style & (WS_MINIMIZE | WS_MAXIMIZE)) == 0) {
            w->normalRect = w->rect;
        }
    }
    if ((flags & SWP_NOZORDER) == 0) {
        if (insertAfter == HWND_TOP) {
            raise(h);
        } else if (insertAfter == HWND_BOTTOM) {
            placeBottom(h);
        } else if (insertAfter == HWND_TOPMOST) {
            if (w->parent == nullptr) {
                w->exStyle |= WS_EX_TOPMOST;
            }
            raise(h);
        } else if (insertAfter == HWND_NOTOPMOST) {
            w->exStyle &= ~WS_EX_TOPMOST;
            raise(h);
        } else {
            placeAfter(h, insertAfter);
        }
    }
    if ((flags & SWP_SHOWWINDOW) != 0 && (w->style & WS_VISIBLE) == 0) {
        w->style |= WS_VISIBLE;
        w->needsPaint = true;
    } else if ((flags & SWP_HIDEWINDOW) != 0 && (w->style & WS_VISIBLE) != 0) {
        w->style &= ~WS_VISIBLE;
        deactivate(h);
    }
    if ((flags & SWP_NOACTIVATE) == 0 && w->parent == nullptr && (w->style & WS_VISIBLE) != 0) {
        const bool keepZ = (flags & SWP_NOZORDER) != 0;
        std::vector<HWND> saved;
        if (keepZ) {
            saved = topLevel;
        }
        activate(h, actor);
        if (keepZ) {
            topLevel = saved;
        }
    }
    return TRUE;
}

// ---- messages ----

LRESULT DesktopState::deliver(WindowRec& w, UINT msg, WPARAM wp, LPARAM lp) {
    const HWND h = w.handle;
    if (w.proc != nullptr) {
        // A sent message runs the receiving program's code on the sender's
        // thread: what it creates belongs to that program.
        const ProgramScope acting(w.program);
        return w.proc(h, msg, wp, lp);
    }
    if (w.hook) {
        const MessageHook hook = w.hook;  // the window may go away inside
        if (std::optional<LRESULT> r = hook(h, msg, wp, lp)) {
            return *r;
        }
    }
    if (msg == WM_CLOSE && find(h) != nullptr) {
        destroyWindow(h);
    }
    return 0;
}

bool DesktopState::isHung(const WindowRec& w) const {
    const std::int64_t t = nowUs();
    return t >= w.hungFromUs && t < w.hungUntilUs;
}

DWORD DesktopState::processIdOf(int process) {
    // Multiples of four, as Windows hands them out; the system's windows
    // belong to a process of its own.
    return process == kSystemProcess ? 4U : 0x1000U + 4U * static_cast<DWORD>(process);
}

DWORD DesktopState::threadIdOf(int process) {
    return processIdOf(process) + 0x800U;  // one thread per process
}

LRESULT DesktopState::send(HWND h, UINT msg, WPARAM wp, LPARAM lp, int senderProcess) {
    WindowRec* w = find(h);
    if (w == nullptr) {
        return 0;
    }
    if (msg == WM_COPYDATA && senderProcess != w->process && lp != 0) {
        // Across processes the receiver gets its own copy of the record and of
        // the bytes, valid only during the call.
        const auto* original = reinterpret_cast<const COPYDATASTRUCT*>(lp);
        std::vector<std::uint8_t> bytes(original->cbData);
        if (original->cbData > 0 && original->lpData != nullptr) {
            std::copy_n(static_cast<const std::uint8_t*>(original->lpData), original->cbData, bytes.begin());
        }
        COPYDATASTRUCT copy{original->dwData, original->cbData, bytes.empty() ? nullptr : bytes.data()};
        const LRESULT r = deliver(*w, msg, wp, reinterpret_cast<LPARAM>(&copy));
        std::fill(bytes.begin(), bytes.end(), std::uint8_t{0xDD});
        copy.lpData = nullptr;
        copy.cbData = 0;
        return r;
    }
    return deliver(*w, msg, wp, lp);
}

}  // namespace sim
