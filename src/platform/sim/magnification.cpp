// The Magnification API of the simulated desktop: the "Magnifier" control
// renders a screen rectangle without its filtered windows into a buffer it
// owns and hands it to the image scaling callback, synchronously.
#include <algorithm>
#include <cstring>

#include "platform/sim/sim_state.h"

using sim::CallEntry;
using sim::currentState;
using sim::DesktopState;
using sim::WindowRec;

namespace sim {
// GUID_WICPixelFormat32bppBGRA
const GUID kPixelFormat32bppBGRA = {
    0x6fddc324, 0x4e03, 0x4bfe, {0xb1, 0x85, 0x3d, 0x77, 0x76, 0x8d, 0xc9, 0x0f}};
}  // namespace sim

namespace {

WindowRec* magnifierOf(DesktopState& s, HWND hwnd) {
    WindowRec* w = s.find(hwnd);
    return w != nullptr && w->magnifier ? w : nullptr;
}

// Keeps the buffer (and its address) while the size stays the same.
std::uint8_t* ensureBuffer(sim::ZeroedBytes& buffer, std::size_t& size, std::size_t wanted,
                           int* allocations) {
    if (buffer && size == wanted) {
        return buffer.get();
    }
    // The new buffer is allocated before the old one is freed, so that it
    // never has the old address.
    auto fresh = sim::zeroedBytes(wanted);
    buffer = std::move(fresh);
    size = wanted;
    if (allocations != nullptr) {
        ++*allocations;
    }
    return buffer.get();
}

}  // namespace

BOOL WINAPI MagInitialize() {
    DesktopState* s = currentState();
    if (s == nullptr) {
        return FALSE;
    }
    if (s->log.enabled()) {
        CallEntry e;
        e.function = "MagInitialize";
        s->record(std::move(e));
    }
    if (s->shouldFail("MagInitialize")) {
        return FALSE;
    }
    s->magInitialised = true;
    if (s->findClass("Magnifier") == nullptr) {
        sim::ClassRec c;
        c.name = "Magnifier";
        c.system = true;
        s->classes[sim::lowerCase(c.name)] = c;
    }
    return TRUE;
}

BOOL WINAPI MagUninitialize() {
    DesktopState* s = currentState();
    if (s == nullptr) {
        return FALSE;
    }
    if (s->log.enabled()) {
        CallEntry e;
        e.function = "MagUninitialize";
        s->record(std::move(e));
    }
    s->magInitialised = false;
    if (sim::ClassRec* c = s->findClass("Magnifier"); c != nullptr && c->system) {
        s->classes.erase(sim::lowerCase("Magnifier"));
    }
    return TRUE;
}

BOOL WINAPI MagSetImageScalingCallback(HWND hwnd, MagImageScalingCallback callback) {
    DesktopState* s = currentState();
    if (s == nullptr) {
        return FALSE;
    }
    if (s->log.enabled()) {
        CallEntry e;
        e.function = "MagSetImageScalingCallback";
        e.window = hwnd;
        e.code = callback != nullptr ? 1 : 0;
        s->record(std::move(e));
    }
    WindowRec* w = magnifierOf(*s, hwnd);
    if (w == nullptr || s->shouldFail("MagSetImageScalingCallback", {}, 0, hwnd)) {
        return FALSE;
    }
    w->magnifier->callback = callback;
    return TRUE;
}

BOOL WINAPI MagSetWindowFilterList(HWND hwnd, DWORD filterMode, int count, HWND* list) {
    DesktopState* s = currentState();
    if (s == nullptr) {
        return FALSE;
    }
    if (s->log.enabled()) {
        CallEntry e;
        e.function = "MagSetWindowFilterList";
        e.window = hwnd;
        e.code = filterMode;
        if (list != nullptr && count > 0) {
            e.handles.assign(list, list + count);
        }
        s->record(std::move(e));
    }
    WindowRec* w = magnifierOf(*s, hwnd);
    // Include mode is not supported by the Magnification API.
    if (w == nullptr || filterMode != MW_FILTERMODE_EXCLUDE || count < 0 || (count > 0 && list == nullptr) ||
        s->shouldFail("MagSetWindowFilterList", {}, 0, hwnd)) {
        return FALSE;
    }
    w->magnifier->filterMode = filterMode;
    w->magnifier->filter.assign(list, list + count);
    return TRUE;
}

BOOL WINAPI MagSetWindowSource(HWND hwnd, RECT rect) {
    DesktopState* s = currentState();
    if (s == nullptr) {
        return FALSE;
    }
    if (s->log.enabled()) {
        CallEntry e;
        e.function = "MagSetWindowSource";
        e.window = hwnd;
        e.rect = rect;
        s->record(std::move(e));
    }
    WindowRec* w = magnifierOf(*s, hwnd);
    if (w == nullptr || !s->magInitialised || rect.right <= rect.left || rect.bottom <= rect.top) {
        return FALSE;
    }
    if (s->shouldFail("MagSetWindowSource", {}, 0, hwnd)) {
        return FALSE;
    }
    sim::MagnifierRec& m = *w->magnifier;
    const auto width = static_cast<UINT>(rect.right - rect.left);
    const auto height = static_cast<UINT>(rect.bottom - rect.top);
    const std::size_t bytes = static_cast<std::size_t>(width) * height * 4;
    std::uint8_t* source = ensureBuffer(m.source, m.sourceBytes, bytes, &m.allocations);
    m.sourceWidth = width;
    m.sourceHeight = height;

    // The control, its host and the filtered windows are left out.
    std::vector<HWND> excluded = m.filter;
    excluded.push_back(hwnd);
    s->composeInto(sim::PixelView{source, static_cast<int>(width), static_cast<int>(height)}, rect, excluded);

    if (m.callback == nullptr) {
        return TRUE;
    }
    const auto destWidth = static_cast<UINT>(std::max<LONG>(w->rect.right - w->rect.left, 0));
    const auto destHeight = static_cast<UINT>(std::max<LONG>(w->rect.bottom - w->rect.top, 0));
    std::uint8_t* dest =
        ensureBuffer(m.dest, m.destBytes, static_cast<std::size_t>(destWidth) * destHeight * 4, nullptr);
    MAGIMAGEHEADER sourceHeader{width, height, sim::kPixelFormat32bppBGRA, width * 4, 0, bytes};
    MAGIMAGEHEADER destHeader{destWidth,     destHeight, sim::kPixelFormat32bppBGRA,
                              destWidth * 4, 0,          m.destBytes};
    const RECT clipped{0, 0, static_cast<LONG>(destWidth), static_cast<LONG>(destHeight)};
    // The callback may destroy the control: keep nothing of it across the call.
    const MagImageScalingCallback callback = m.callback;
    callback(hwnd, source, sourceHeader, dest, destHeader, rect, clipped, nullptr);
    return TRUE;
}
