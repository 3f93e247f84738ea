// The C++ API of the simulated desktop: images, content, the virtual clock,
// composition of what is on screen, applications, the controller and the
// diagnostics that tests read.
#include "platform/sim/desktop.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "platform/rect.h"
#include "platform/sim/programs.h"
#include "platform/sim/sim_state.h"

namespace sim {
namespace {

std::uint64_t g_generation = 0;

// Live desktops in construction order; the last one is current.
std::vector<DesktopState*>& liveDesktops() {
    static std::vector<DesktopState*> live;
    return live;
}

bool contains(const std::vector<HWND>& list, HWND h) {
    return std::find(list.begin(), list.end(), h) != list.end();
}

}  // namespace

// ---- Image ----

Image::Image(int w, int h, Colour fillColour)
    : width(std::max(w, 0)), height(std::max(h, 0)), pixels(static_cast<std::size_t>(width) * height * 4) {
    fill(fillColour);
}

Colour Image::pixel(int x, int y) const {
    if (x < 0 || y < 0 || x >= width || y >= height) {
        return 0;
    }
    Colour c = 0;
    std::memcpy(&c, pixels.data() + (static_cast<std::size_t>(y) * width + x) * 4, 4);
    return c;
}

void Image::setPixel(int x, int y, Colour c) {
    if (x < 0 || y < 0 || x >= width || y >= height) {
        return;
    }
    std::memcpy(pixels.data() + (static_cast<std::size_t>(y) * width + x) * 4, &c, 4);
}

void Image::fill(Colour c) {
    fillRect(RECT{0, 0, width, height}, c);
}

void Image::fillRect(const RECT& r, Colour c) {
    const RECT clip = kestra::intersection(r, RECT{0, 0, width, height});
    if (clip.right <= clip.left || clip.bottom <= clip.top) {
        return;
    }
    // Fill the first row by doubling copies, then copy that row to the others.
    const auto rowBytes = static_cast<std::size_t>(clip.right - clip.left) * 4;
    std::uint8_t* first = row(clip.top) + static_cast<std::size_t>(clip.left) * 4;
    std::memcpy(first, &c, 4);
    for (std::size_t done = 4; done < rowBytes;) {
        const std::size_t n = std::min(done, rowBytes - done);
        std::memcpy(first + done, first, n);
        done += n;
    }
    for (LONG y = clip.top + 1; y < clip.bottom; ++y) {
        std::memcpy(row(y) + static_cast<std::size_t>(clip.left) * 4, first, rowBytes);
    }
}

void Image::draw(const Image& src, int x, int y) {
    const RECT clip =
        kestra::intersection(RECT{x, y, x + src.width, y + src.height}, RECT{0, 0, width, height});
    if (clip.right <= clip.left) {
        return;
    }
    const auto bytes = static_cast<std::size_t>(clip.right - clip.left) * 4;
    for (LONG yy = clip.top; yy < clip.bottom; ++yy) {
        std::memcpy(row(yy) + static_cast<std::size_t>(clip.left) * 4,
                    src.row(yy - y) + static_cast<std::size_t>(clip.left - x) * 4, bytes);
    }
}

Image Image::crop(const RECT& r) const {
    Image out(r.right - r.left, r.bottom - r.top, bgra(0, 0, 0));
    out.draw(*this, -r.left, -r.top);
    return out;
}

// ---- Content ----

Content Content::solid(Colour c) {
    Content out;
    out.colour_ = c;
    return out;
}

Content Content::image(Image img) {
    Content out;
    out.image_ = std::make_shared<const Image>(std::move(img));
    return out;
}

Content Content::painter(Painter p) {
    Content out;
    out.painter_ = std::move(p);
    return out;
}

Image Content::render(int width, int height) const {
    Image out(width, height, image_ || painter_ ? bgra(255, 255, 255) : colour_);
    if (image_) {
        out.draw(*image_, 0, 0);
    }
    if (painter_) {
        painter_(out);
        // A painter must not change the size.
        if (out.width != width || out.height != height) {
            Image fixed(width, height, bgra(255, 255, 255));
            fixed.draw(out, 0, 0);
            out = std::move(fixed);
        }
    }
    return out;
}

// ---- CallLog ----

std::vector<CallEntry> CallLog::named(std::string_view function) const {
    std::vector<CallEntry> out;
    for (const CallEntry& e : entries_) {
        if (e.function == function) {
            out.push_back(e);
        }
    }
    return out;
}

std::vector<std::string> CallLog::functions() const {
    std::vector<std::string> out;
    out.reserve(entries_.size());
    for (const CallEntry& e : entries_) {
        out.push_back(e.function);
    }
    return out;
}

// ---- time ----

std::int64_t DesktopState::nowUs() const {
    if (options.realTime) {
        return clockUs + std::chrono::duration_cast<std::chrono::microseconds>(
                             std::chrono::steady_clock::now() - realStart)
                             .count();
    }
    return clockUs;
}

void DesktopState::advanceUs(std::int64_t us) {
    if (us <= 0) {
        return;
    }
    if (options.realTime) {
        std::this_thread::sleep_for(std::chrono::microseconds(us));
    } else {
        clockUs += us;
    }
}

void DesktopState::runDue() {
    // Events scheduled by running events run too when they are due already.
    for (int guard = 0; guard < 1000000; ++guard) {
        if (events.empty() || events.begin()->first.first > nowUs()) {
            return;
        }
        auto node = events.extract(events.begin());
        node.mapped()();
    }
}

void DesktopState::schedule(std::int64_t atUs, std::function<void()> fn) {
    events.emplace(std::make_pair(atUs, eventSeq++), std::move(fn));
}

// ---- pixels ----

RECT DesktopState::virtualScreen() const {
    RECT r = monitors.front();
    for (const RECT& m : monitors) {
        r.left = std::min(r.left, m.left);
        r.top = std::min(r.top, m.top);
        r.right = std::max(r.right, m.right);
        r.bottom = std::max(r.bottom, m.bottom);
    }
    return r;
}

bool DesktopState::onMonitor(int x, int y) const {
    for (const RECT& m : monitors) {
        if (x >= m.left && x < m.right && y >= m.top && y < m.bottom) {
            return true;
        }
    }
    return false;
}

void DesktopState::ensureWallpaper() {
    if (wallpaperValid) {
        return;
    }
    const RECT v = virtualScreen();
    wallpaper = options.wallpaper.render(v.right - v.left, v.bottom - v.top);
    for (int y = 0; y < wallpaper.height; ++y) {
        for (int x = 0; x < wallpaper.width; ++x) {
            if (!onMonitor(x + v.left, y + v.top)) {
                wallpaper.setPixel(x, y, bgra(0, 0, 0));
            }
        }
    }
    wallpaperValid = true;
}

Colour DesktopState::brushColour(HBRUSH b) const {
    const auto v = reinterpret_cast<std::uintptr_t>(b);
    if (v == 0) {
        return bgra(255, 255, 255);
    }
    if (v <= 31) {
        // System colour index + 1: COLOR_WINDOW (5) is white, most others grey.
        return v == 6 ? bgra(255, 255, 255) : (v == 1 ? bgra(0, 0, 0) : bgra(240, 240, 240));
    }
    auto it = objects.find(v);
    if (it != objects.end() && it->second.kind == GdiObject::Kind::Brush) {
        return colourOfRef(it->second.colour);
    }
    return bgra(255, 255, 255);
}

void DesktopState::ensureSurface(WindowRec& w) {
    const int width = static_cast<int>(w.rect.right - w.rect.left);
    const int height = static_cast<int>(w.rect.bottom - w.rect.top);
    if (w.surface.width == width && w.surface.height == height) {
        return;
    }
    if (w.hasContent && !w.blitted) {
        w.surface = w.content.render(width, height);
        return;
    }
    Image resized(width, height, w.background);
    resized.draw(w.surface, 0, 0);
    w.surface = std::move(resized);
}

void DesktopState::drawWindow(const PixelView& out, const RECT& r, const WindowRec& w,
                              const std::vector<HWND>& excluded) const {
    if ((w.style & WS_VISIBLE) == 0 || (w.style & WS_MINIMIZE) != 0 || contains(excluded, w.handle)) {
        return;
    }
    const bool layered = (w.exStyle & WS_EX_LAYERED) != 0;
    if (layered && !w.layeredSet) {
        return;  // a layered window shows nothing until its attributes are set
    }
    auto& mutableWindow = const_cast<WindowRec&>(w);
    const_cast<DesktopState*>(this)->ensureSurface(mutableWindow);
    RECT visible = kestra::intersection(w.rect, r);
    // Child windows are clipped to their parents.
    for (HWND p = w.parent; p != nullptr;) {
        const WindowRec* pr = find(p);
        if (pr == nullptr) {
            break;
        }
        visible = kestra::intersection(visible, pr->rect);
        p = pr->parent;
    }
    const bool useAlpha = layered && (w.layeredFlags & LWA_ALPHA) != 0 && w.alpha != 255;
    const bool useKey = layered && (w.layeredFlags & LWA_COLORKEY) != 0;
    const Colour key = colourOfRef(w.colourKey) & 0x00FFFFFF;
    const unsigned a = w.alpha;
    // A window 0 pixels wide or high (Windows allows them) has no pixels to draw.
    const bool empty = visible.right <= visible.left || visible.bottom <= visible.top;
    if (!empty && !(layered && (w.layeredFlags & LWA_ALPHA) != 0 && w.alpha == 0)) {
        for (LONG y = visible.top; y < visible.bottom; ++y) {
            const std::uint8_t* src = w.surface.row(static_cast<int>(y - w.rect.top)) +
                                      static_cast<std::size_t>(visible.left - w.rect.left) * 4;
            std::uint8_t* dst =
                out.row(static_cast<int>(y - r.top)) + static_cast<std::size_t>(visible.left - r.left) * 4;
            if (!useAlpha && !useKey) {
                std::memcpy(dst, src, static_cast<std::size_t>(visible.right - visible.left) * 4);
                continue;
            }
            for (LONG x = visible.left; x < visible.right; ++x, src += 4, dst += 4) {
                Colour s = 0;
                std::memcpy(&s, src, 4);
                if (useKey && (s & 0x00FFFFFF) == key) {
                    continue;
                }
                if (useAlpha) {
                    for (int c = 0; c < 3; ++c) {
                        dst[c] = static_cast<std::uint8_t>((src[c] * a + dst[c] * (255 - a) + 127) / 255);
                    }
                } else {
                    std::memcpy(dst, src, 3);
                }
            }
        }
    }
    // Children, bottom first.
    for (auto it = w.children.rbegin(); it != w.children.rend(); ++it) {
        if (const WindowRec* k = find(*it)) {
            drawWindow(out, r, *k, excluded);
        }
    }
}

void DesktopState::compose(Image& out, const RECT& r, const std::vector<HWND>& excluded) const {
    const int width = std::max<int>(r.right - r.left, 0);
    const int height = std::max<int>(r.bottom - r.top, 0);
    if (out.width != width || out.height != height) {
        out = Image();
        out.width = width;
        out.height = height;
        out.pixels.resize(static_cast<std::size_t>(width) * height * 4);
    }
    composeInto(PixelView{out.pixels.data(), width, height}, r, excluded);
}

void DesktopState::composeInto(const PixelView& out, const RECT& r, const std::vector<HWND>& excluded) const {
    const_cast<DesktopState*>(this)->ensureWallpaper();
    // The wallpaper covers the virtual screen; what lies beyond it is
    // blackened below with everything else outside the monitors.
    const RECT v = virtualScreen();
    const RECT wall = kestra::intersection(v, r);
    if (wall.right > wall.left) {
        const auto bytes = static_cast<std::size_t>(wall.right - wall.left) * 4;
        for (LONG y = wall.top; y < wall.bottom; ++y) {
            std::memcpy(
                out.row(static_cast<int>(y - r.top)) + static_cast<std::size_t>(wall.left - r.left) * 4,
                wallpaper.row(static_cast<int>(y - v.top)) + static_cast<std::size_t>(wall.left - v.left) * 4,
                bytes);
        }
    }
    for (auto it = topLevel.rbegin(); it != topLevel.rend(); ++it) {
        drawWindow(out, r, *find(*it), excluded);
    }
    // What lies outside every monitor is never seen; the screen is opaque.
    bool insideOneMonitor = false;
    for (const RECT& m : monitors) {
        insideOneMonitor = insideOneMonitor ||
                           (r.left >= m.left && r.top >= m.top && r.right <= m.right && r.bottom <= m.bottom);
    }
    std::vector<std::uint8_t> covered(static_cast<std::size_t>(out.width));
    for (int y = 0; y < out.height; ++y) {
        std::uint8_t* p = out.row(y);
        if (!insideOneMonitor) {
            std::fill(covered.begin(), covered.end(), std::uint8_t{0});
            const LONG sy = r.top + y;
            for (const RECT& m : monitors) {
                if (sy < m.top || sy >= m.bottom) {
                    continue;
                }
                const LONG from = std::max<LONG>(m.left - r.left, 0);
                const LONG to = std::min<LONG>(m.right - r.left, out.width);
                for (LONG x = from; x < to; ++x) {
                    covered[static_cast<std::size_t>(x)] = 1;
                }
            }
            for (int x = 0; x < out.width; ++x) {
                if (covered[static_cast<std::size_t>(x)] == 0) {
                    std::memset(p + static_cast<std::size_t>(x) * 4, 0, 3);
                }
            }
        }
        for (int x = 0; x < out.width; ++x) {
            p[static_cast<std::size_t>(x) * 4 + 3] = 255;
        }
    }
}

// ---- Desktop ----

Desktop::Desktop(DesktopOptions options) : state_(std::make_unique<DesktopState>()) {
    DesktopState& s = *state_;
    s.owner = this;
    s.generation = ++g_generation;
    s.options = std::move(options);
    s.monitors.push_back(RECT{0, 0, s.options.width, s.options.height});
    for (const RECT& m : s.options.extraMonitors) {
        s.monitors.push_back(m);
    }
    s.turnCostUs = static_cast<std::int64_t>(s.options.turnCostMs * 1000.0);
    s.realStart = std::chrono::steady_clock::now();
    s.windows.emplace_back();  // id 0 is never a window
    s.desktop = handleOfId(1);
    auto desk = std::make_unique<WindowRec>();
    desk->handle = s.desktop;
    desk->process = kSystemProcess;
    desk->className = "#32769";
    desk->style = WS_POPUP | WS_VISIBLE;
    desk->rect = s.monitors.front();
    desk->normalRect = desk->rect;
    s.windows.push_back(std::move(desk));
    GdiObject stockBitmap;
    stockBitmap.stock = true;
    stockBitmap.width = 1;
    stockBitmap.height = 1;
    stockBitmap.bits = zeroedBytes(4);
    s.stockBitmap = s.newObject(std::move(stockBitmap));
    GdiObject stockBrush;
    stockBrush.kind = GdiObject::Kind::Brush;
    stockBrush.stock = true;
    stockBrush.colour = RGB(255, 255, 255);
    s.stockBrush = s.newObject(std::move(stockBrush));
    liveDesktops().push_back(&s);
    setCurrentState(&s);
}

// The most recently constructed desktop that is still alive becomes current.
Desktop::~Desktop() {
    // Programs started on this desktop end with it.
    endPrograms();
    std::vector<DesktopState*>& live = liveDesktops();
    std::erase(live, state_.get());
    setCurrentState(live.empty() ? nullptr : live.back());
}

Desktop* Desktop::current() {
    DesktopState* s = currentState();
    return s == nullptr ? nullptr : s->owner;
}

std::vector<RECT> Desktop::monitors() const {
    return state_->monitors;
}

void Desktop::addMonitor(const RECT& r) {
    state_->monitors.push_back(r);
    state_->wallpaperValid = false;
}

void Desktop::setMonitors(const std::vector<RECT>& monitors) {
    if (monitors.empty()) {
        return;
    }
    state_->monitors = monitors;
    state_->wallpaperValid = false;
    if (WindowRec* d = state_->find(state_->desktop)) {
        d->rect = monitors.front();
        d->normalRect = d->rect;
    }
}

RECT Desktop::virtualScreen() const {
    return state_->virtualScreen();
}

void Desktop::setWallpaper(Content c) {
    state_->options.wallpaper = std::move(c);
    state_->wallpaperValid = false;
}

App& Desktop::app(const std::string& name) {
    for (auto& a : state_->apps) {
        if (a->name() == name) {
            return *a;
        }
    }
    const int id = static_cast<int>(state_->apps.size()) + 1;
    state_->apps.push_back(std::unique_ptr<App>(new App(*this, name, id)));
    return *state_->apps.back();
}

HWND Desktop::desktopWindow() const {
    return state_->desktop;
}

std::vector<HWND> Desktop::zOrder() const {
    return state_->topLevel;
}

std::vector<HWND> Desktop::helperWindows() const {
    std::vector<HWND> out;
    for (const auto& w : state_->windows) {
        if (w && w->process == kHelperProcess) {
            out.push_back(w->handle);
        }
    }
    return out;
}

bool Desktop::isHelperWindow(HWND hwnd) const {
    const WindowRec* w = state_->find(hwnd);
    return w != nullptr && w->process == kHelperProcess;
}

std::string Desktop::className(HWND hwnd) const {
    const WindowRec* w = state_->find(hwnd);
    return w == nullptr ? std::string() : w->className;
}

std::string Desktop::title(HWND hwnd) const {
    const WindowRec* w = state_->find(hwnd);
    return w == nullptr ? std::string() : w->title;
}

HWND Desktop::owner(HWND hwnd) const {
    const WindowRec* w = state_->find(hwnd);
    return w == nullptr ? nullptr : w->owner;
}

HWND Desktop::parent(HWND hwnd) const {
    const WindowRec* w = state_->find(hwnd);
    return w == nullptr ? nullptr : w->parent;
}

UINT Desktop::showCmd(HWND hwnd) const {
    const WindowRec* w = state_->find(hwnd);
    if (w == nullptr) {
        return 0;
    }
    if ((w->style & WS_MINIMIZE) != 0) {
        return SW_SHOWMINIMIZED;
    }
    return (w->style & WS_MAXIMIZE) != 0 ? static_cast<UINT>(SW_SHOWMAXIMIZED)
                                         : static_cast<UINT>(SW_SHOWNORMAL);
}

void Desktop::setCursor(int x, int y) {
    state_->cursor = POINT{x, y};
}

POINT Desktop::cursor() const {
    return state_->cursor;
}

HWND Desktop::foregroundWindow() const {
    return state_->foreground();
}

HWND Desktop::activeWindowOf(const App& a) const {
    auto it = state_->activeWindow.find(a.id());
    return it == state_->activeWindow.end() ? nullptr : it->second;
}

HWND Desktop::helperActiveWindow() const {
    auto it = state_->activeWindow.find(kHelperProcess);
    return it == state_->activeWindow.end() ? nullptr : it->second;
}

Image Desktop::compose(const RECT& r, const std::vector<HWND>& excluded) const {
    Image out;
    state_->compose(out, r, excluded);
    return out;
}

Image Desktop::screenshot() const {
    return compose(state_->virtualScreen());
}

Colour Desktop::pixelAt(int x, int y) const {
    return compose(RECT{x, y, x + 1, y + 1}).pixel(0, 0);
}

std::int64_t Desktop::now() const {
    return state_->nowUs() / 1000;
}
std::int64_t Desktop::nowUs() const {
    return state_->nowUs();
}

void Desktop::setTurnCost(double ms) {
    state_->turnCostUs = static_cast<std::int64_t>(ms * 1000.0);
}
double Desktop::turnCost() const {
    return static_cast<double>(state_->turnCostUs) / 1000.0;
}
bool Desktop::realTime() const {
    return state_->options.realTime;
}

void Desktop::at(std::int64_t atMs, std::function<void()> fn) {
    state_->schedule(atMs * 1000, std::move(fn));
}

void Desktop::after(std::int64_t delayMs, std::function<void()> fn) {
    state_->schedule(state_->nowUs() + delayMs * 1000, std::move(fn));
}

void Desktop::runUntil(std::int64_t atMs) {
    DesktopState& s = *state_;
    const std::int64_t target = atMs * 1000;
    while (!s.events.empty() && s.events.begin()->first.first <= target) {
        const std::int64_t t = s.events.begin()->first.first;
        if (t > s.nowUs()) {
            s.advanceUs(t - s.nowUs());
        }
        auto node = s.events.extract(s.events.begin());
        node.mapped()();
    }
    if (target > s.nowUs()) {
        s.advanceUs(target - s.nowUs());
    }
}

void Desktop::runFor(std::int64_t ms) {
    runUntil(now() + ms);
}

void Desktop::runDueEvents() {
    state_->runDue();
}

void Desktop::setWaitHook(std::function<bool(std::int64_t untilMs)> hook) {
    state_->waitHook = std::move(hook);
}

void Desktop::setPeekHook(std::function<void()> hook) {
    state_->peekHook = std::move(hook);
}

WaitStats Desktop::waitStats() const {
    return state_->waitStats;
}

void Desktop::setRefreshRate(std::size_t monitor, DWORD hertz) {
    DesktopState& s = *state_;
    if (s.refreshRates.size() <= monitor) {
        s.refreshRates.resize(monitor + 1, kDefaultRefreshRate);
    }
    s.refreshRates[monitor] = hertz;
}

std::size_t Desktop::pendingEvents() const {
    return state_->events.size();
}

std::size_t Desktop::postedMessages() const {
    return state_->posted.size();
}

int Desktop::quitMessagesPosted() const {
    return state_->quitPosted;
}

std::uint64_t Desktop::peekCalls() const {
    return state_->peeks;
}

void Desktop::failNext(std::string function, int count) {
    Fault f;
    f.function = std::move(function);
    f.remaining = count;
    addFault(std::move(f));
}

void Desktop::failAlways(std::string function) {
    failNext(std::move(function), -1);
}

void Desktop::addFault(Fault f) {
    if (f.remaining != 0) {
        state_->faults.push_back(std::move(f));
    }
}

void Desktop::clearFaults() {
    state_->faults.clear();
}

Counts Desktop::counts() const {
    Counts c;
    for (const auto& w : state_->windows) {
        if (w && w->magnifier) {
            c.magnifierBytes += w->magnifier->sourceBytes;
        }
        if (w && w->handle != state_->desktop) {
            ++c.windows;
            if (w->process == kHelperProcess) {
                ++c.helperWindows;
            }
        }
    }
    for (const auto& [key, dc] : state_->dcs) {
        if (dc.memory) {
            ++c.memoryDCs;
        } else {
            ++c.windowDCs;
        }
    }
    for (const auto& [key, obj] : state_->objects) {
        if (obj.stock) {
            continue;
        }
        if (obj.kind == GdiObject::Kind::Brush) {
            ++c.brushes;
        } else {
            ++c.bitmaps;
            if (obj.dib) {
                ++c.dibSections;
                c.dibBytes += static_cast<std::size_t>(obj.width) * static_cast<std::size_t>(obj.height) * 4;
            }
        }
    }
    c.gdiObjects = c.windowDCs + c.memoryDCs + c.bitmaps + c.brushes;
    const HeapTotals heap = heapTotals(state_->generation);
    c.heapBlocks = heap.blocks;
    c.heapBytes = heap.bytes;
    c.emptyWorkingSetCalls = state_->emptyWorkingSetCalls;
    c.badHeapFrees = state_->badHeapFrees;
    return c;
}

CallLog& Desktop::callLog() {
    return state_->log;
}

bool Desktop::magnificationInitialised() const {
    return state_->magInitialised;
}

std::vector<HWND> Desktop::filterList(HWND magnifier) const {
    const WindowRec* w = state_->find(magnifier);
    if (w == nullptr || !w->magnifier) {
        return {};
    }
    return w->magnifier->filter;
}

int Desktop::magnifierBufferAllocations(HWND magnifier) const {
    const WindowRec* w = state_->find(magnifier);
    if (w == nullptr || !w->magnifier) {
        return 0;
    }
    return w->magnifier->allocations;
}

// ---- App ----

HWND App::createWindow(const WindowOptions& o) {
    DesktopState& s = desk_->state();
    DWORD style = o.style;
    HWND link = o.owner;
    if (o.parent != nullptr) {
        style |= WS_CHILD;
        link = o.parent;
        if (s.find(o.parent) == nullptr) {
            return nullptr;
        }
    }
    RECT r = o.rect;
    if (o.parent != nullptr) {
        const WindowRec* p = s.find(o.parent);
        r.left += p->rect.left;
        r.right += p->rect.left;
        r.top += p->rect.top;
        r.bottom += p->rect.top;
    }
    const HWND h = s.newWindow(id_, o.className, o.title, style, o.exStyle, r, link);
    WindowRec* w = s.find(h);
    w->hook = o.onMessage;
    w->content = o.content;
    w->hasContent = true;
    if ((w->exStyle & WS_EX_LAYERED) != 0) {
        // Applications' layered windows are shown opaque.
        w->layeredSet = true;
        w->layeredFlags = LWA_ALPHA;
        w->alpha = 255;
    }
    if (o.visible) {
        w->style |= WS_VISIBLE;
        if (o.activate && o.parent == nullptr) {
            s.activate(h, kSystemProcess);
        }
    }
    return h;
}

Window App::window(HWND hwnd) {
    return Window(*desk_, hwnd);
}

std::vector<HWND> App::windows() const {
    std::vector<HWND> out;
    for (const auto& w : desk_->state().windows) {
        if (w && w->process == id_) {
            out.push_back(w->handle);
        }
    }
    return out;
}

// ---- Window ----

bool Window::exists() const {
    return desk_->state().find(hwnd_) != nullptr;
}

Window& Window::moveTo(int x, int y) {
    DesktopState& s = desk_->state();
    if (WindowRec* w = s.find(hwnd_)) {
        const RECT r = w->rect;
        return setRect(RECT{x, y, x + (r.right - r.left), y + (r.bottom - r.top)});
    }
    return *this;
}

Window& Window::moveBy(int dx, int dy) {
    if (WindowRec* w = desk_->state().find(hwnd_)) {
        return moveTo(w->rect.left + dx, w->rect.top + dy);
    }
    return *this;
}

Window& Window::resize(int width, int height) {
    if (WindowRec* w = desk_->state().find(hwnd_)) {
        return setRect(RECT{w->rect.left, w->rect.top, w->rect.left + width, w->rect.top + height});
    }
    return *this;
}

// Moving or sizing a maximised window by hand restores it first, as dragging
// its caption would.
Window& Window::setRect(const RECT& r) {
    DesktopState& s = desk_->state();
    WindowRec* w = s.find(hwnd_);
    if (w == nullptr) {
        return *this;
    }
    if ((w->style & WS_MAXIMIZE) != 0) {
        w->style &= ~WS_MAXIMIZE;
    }
    if ((w->style & WS_MINIMIZE) != 0) {
        w->normalRect = r;
        return *this;
    }
    s.moveWindow(hwnd_, r);
    w->normalRect = w->rect;
    return *this;
}

Window& Window::minimise() {
    desk_->state().showWindow(hwnd_, SW_MINIMIZE, kSystemProcess);
    return *this;
}

Window& Window::maximise() {
    desk_->state().showWindow(hwnd_, SW_MAXIMIZE, kSystemProcess);
    return *this;
}

Window& Window::restore() {
    desk_->state().showWindow(hwnd_, SW_RESTORE, kSystemProcess);
    return *this;
}

Window& Window::hide() {
    desk_->state().showWindow(hwnd_, SW_HIDE, kSystemProcess);
    return *this;
}

Window& Window::show() {
    desk_->state().showWindow(hwnd_, SW_SHOW, kSystemProcess);
    return *this;
}

Window& Window::showNoActivate() {
    DesktopState& s = desk_->state();
    if (WindowRec* w = s.find(hwnd_)) {
        w->style |= WS_VISIBLE;
    }
    return *this;
}

Window& Window::close() {
    desk_->state().send(hwnd_, WM_CLOSE, 0, 0, kSystemProcess);
    return *this;
}

Window& Window::destroy() {
    desk_->state().destroyWindow(hwnd_);
    return *this;
}

Window& Window::bringToTop() {
    desk_->state().raise(hwnd_);
    return *this;
}

Window& Window::activate() {
    DesktopState& s = desk_->state();
    if (WindowRec* w = s.find(hwnd_)) {
        if ((w->style & WS_MINIMIZE) != 0) {
            s.showWindow(hwnd_, SW_RESTORE, kSystemProcess);
        }
        s.activate(hwnd_, kSystemProcess);
    }
    return *this;
}

Window& Window::setContent(Content c) {
    if (WindowRec* w = desk_->state().find(hwnd_)) {
        w->content = std::move(c);
        w->hasContent = true;
        w->blitted = false;
        w->surface = Image();
    }
    return *this;
}

Window& Window::paint(const Image& img) {
    return setContent(Content::image(img));
}

Window& Window::setTopmost(bool on) {
    desk_->state().setWindowPos(hwnd_, on ? HWND_TOPMOST : HWND_NOTOPMOST, 0, 0, 0, 0,
                                SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE, kSystemProcess);
    return *this;
}

RECT Window::rect() const {
    const WindowRec* w = desk_->state().find(hwnd_);
    return w == nullptr ? RECT{0, 0, 0, 0} : w->rect;
}

Window& Window::hang(std::int64_t forMs) {
    DesktopState& s = desk_->state();
    if (WindowRec* w = s.find(hwnd_)) {
        w->hungFromUs = s.nowUs();
        w->hungUntilUs = w->hungFromUs + forMs * 1000;
    }
    return *this;
}

bool Window::hung() const {
    const DesktopState& s = desk_->state();
    const WindowRec* w = s.find(hwnd_);
    return w != nullptr && s.isHung(*w);
}

bool Window::visible() const {
    return desk_->state().isVisible(hwnd_);
}

bool Window::minimised() const {
    const WindowRec* w = desk_->state().find(hwnd_);
    return w != nullptr && (w->style & WS_MINIMIZE) != 0;
}

bool Window::maximised() const {
    const WindowRec* w = desk_->state().find(hwnd_);
    return w != nullptr && (w->style & WS_MAXIMIZE) != 0;
}

Image Window::content() const {
    DesktopState& s = desk_->state();
    WindowRec* w = s.find(hwnd_);
    if (w == nullptr) {
        return Image();
    }
    s.ensureSurface(*w);
    return w->surface;
}

// ---- Controller ----

Controller::Controller(Desktop& desk, std::string appName)
    : desk_(&desk), generation_(desk.state().generation) {
    WindowOptions o;
    o.rect = RECT{0, 0, 200, 100};
    o.title = "controller";
    o.className = "SimControllerWindow";
    o.visible = false;
    o.activate = false;
    o.onMessage = [this](HWND, UINT msg, WPARAM wp, LPARAM lp) -> std::optional<LRESULT> {
        if (msg != WM_COPYDATA) {
            return std::nullopt;
        }
        ReceivedFrame f;
        f.sender = reinterpret_cast<HWND>(wp);
        f.atMs = desk_->now();
        if (lp != 0) {
            const auto* cds = reinterpret_cast<const COPYDATASTRUCT*>(lp);
            f.dwData = cds->dwData;
            if (cds->lpData != nullptr && cds->cbData > 0) {
                f.bytes.assign(static_cast<const char*>(cds->lpData), cds->cbData);
            }
        }
        received_.push_back(f);
        if (onFrame) {
            onFrame(received_.back());
        }
        return LRESULT{1};
    };
    hwnd_ = desk.app(appName).createWindow(o);
}

Controller::~Controller() {
    // The window procedure refers to this object: it must not outlive it. If
    // the desktop is gone already there is nothing left to detach.
    DesktopState* s = currentState();
    if (s != nullptr && s->owner == desk_ && s->generation == generation_) {
        if (WindowRec* w = s->find(hwnd_)) {
            w->hook = nullptr;
        }
    }
}

LRESULT Controller::send(HWND to, std::string bytes, ULONG_PTR dwData) {
    DesktopState& s = desk_->state();
    WindowRec* self = s.find(hwnd_);
    const int process = self == nullptr ? kSystemProcess : self->process;
    COPYDATASTRUCT cds{dwData, static_cast<DWORD>(bytes.size()), bytes.empty() ? nullptr : bytes.data()};
    return s.send(to, WM_COPYDATA, reinterpret_cast<WPARAM>(hwnd_), reinterpret_cast<LPARAM>(&cds), process);
}

void Controller::sendAt(std::int64_t atMs, HWND to, std::string bytes, ULONG_PTR dwData) {
    desk_->at(atMs, [this, to, b = std::move(bytes), dwData] { send(to, b, dwData); });
}

void Controller::close() {
    desk_->state().destroyWindow(hwnd_);
}

}  // namespace sim
