// Device contexts and GDI objects of the simulated desktop: window DCs,
// compatible memory DCs, 32-bit DIB sections, solid brushes and BitBlt.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "platform/sim/sim_state.h"

using sim::CallEntry;
using sim::currentState;
using sim::DcRec;
using sim::DesktopState;
using sim::GdiObject;
using sim::WindowRec;

namespace sim {

namespace {
constexpr std::uintptr_t kDcBase = 0x01000000;
constexpr std::uintptr_t kObjectBase = 0x05000000;
}  // namespace

HDC DesktopState::newDc(DcRec rec) {
    const std::uintptr_t key = kDcBase + (nextDc++) * 4;
    dcs.emplace(key, rec);
    return reinterpret_cast<HDC>(key);
}

HGDIOBJ DesktopState::newObject(GdiObject obj) {
    const std::uintptr_t key = kObjectBase + (nextObject++) * 4;
    objects.emplace(key, std::move(obj));
    return reinterpret_cast<HGDIOBJ>(key);
}

DcRec* DesktopState::findDc(HDC dc) {
    auto it = dcs.find(reinterpret_cast<std::uintptr_t>(dc));
    return it == dcs.end() ? nullptr : &it->second;
}

GdiObject* DesktopState::findObject(HGDIOBJ obj) {
    auto it = objects.find(reinterpret_cast<std::uintptr_t>(obj));
    return it == objects.end() ? nullptr : &it->second;
}

// An object deleted while selected is freed when it is no longer selected.
void DesktopState::releaseObjectIfPending(HGDIOBJ obj) {
    GdiObject* o = findObject(obj);
    if (o != nullptr && o->deletePending && o->selectedInto == nullptr) {
        objects.erase(reinterpret_cast<std::uintptr_t>(obj));
    }
}

}  // namespace sim

namespace {

// A view of the pixels behind a DC: a bitmap, a window surface or the screen.
struct PixelTarget {
    std::uint8_t* bits = nullptr;
    int width = 0;
    int height = 0;
    bool topDown = true;
    WindowRec* window = nullptr;
    bool screen = false;

    std::uint8_t* pixel(int x, int y) const {
        const int row = topDown ? y : height - 1 - y;
        return bits + (static_cast<std::size_t>(row) * width + x) * 4;
    }
};

bool targetOf(DesktopState& s, HDC dc, PixelTarget& t) {
    DcRec* d = s.findDc(dc);
    if (d == nullptr) {
        return false;
    }
    if (d->memory) {
        GdiObject* b = s.findObject(d->bitmap);
        if (b == nullptr || b->bits == nullptr) {
            return false;
        }
        t.bits = b->bits.get();
        t.width = b->width;
        t.height = b->height;
        t.topDown = b->topDown;
        return true;
    }
    if (d->screen) {
        t.screen = true;
        return true;
    }
    WindowRec* w = s.find(d->window);
    if (w == nullptr) {
        return false;
    }
    s.ensureSurface(*w);
    t.window = w;
    t.bits = w->surface.pixels.data();
    t.width = w->surface.width;
    t.height = w->surface.height;
    return true;
}

}  // namespace

HDC WINAPI GetDC(HWND hwnd) {
    DesktopState* s = currentState();
    if (s == nullptr) {
        return nullptr;
    }
    if (s->log.enabled()) {
        CallEntry e;
        e.function = "GetDC";
        e.window = hwnd;
        s->record(std::move(e));
    }
    if (s->shouldFail("GetDC", {}, 0, hwnd)) {
        return nullptr;
    }
    DcRec rec;
    if (hwnd == nullptr || hwnd == s->desktop) {
        rec.screen = true;
        rec.window = hwnd;
    } else if (s->find(hwnd) == nullptr) {
        return nullptr;
    } else {
        rec.window = hwnd;
    }
    return s->newDc(rec);
}

int WINAPI ReleaseDC(HWND hwnd, HDC dc) {
    DesktopState* s = currentState();
    if (s == nullptr) {
        return 0;
    }
    // As in Wine, the window argument is not checked: any window DC is released.
    (void)hwnd;
    DcRec* d = s->findDc(dc);
    if (d == nullptr || d->memory) {
        return 0;
    }
    s->dcs.erase(reinterpret_cast<std::uintptr_t>(dc));
    return 1;
}

HBRUSH WINAPI CreateSolidBrush(COLORREF colour) {
    DesktopState* s = currentState();
    if (s == nullptr) {
        return nullptr;
    }
    GdiObject b;
    b.kind = GdiObject::Kind::Brush;
    b.colour = colour & 0x00FFFFFF;
    return static_cast<HBRUSH>(s->newObject(std::move(b)));
}

HDC WINAPI CreateCompatibleDC(HDC dc) {
    DesktopState* s = currentState();
    if (s == nullptr) {
        return nullptr;
    }
    if ((dc != nullptr && s->findDc(dc) == nullptr) || s->shouldFail("CreateCompatibleDC")) {
        return nullptr;
    }
    DcRec rec;
    rec.memory = true;
    rec.bitmap = s->stockBitmap;
    rec.brush = s->stockBrush;
    return s->newDc(rec);
}

BOOL WINAPI DeleteDC(HDC dc) {
    DesktopState* s = currentState();
    if (s == nullptr) {
        return FALSE;
    }
    DcRec* d = s->findDc(dc);
    if (d == nullptr) {
        return FALSE;
    }
    if (!d->memory) {
        // As in Wine, deleting a window DC frees it like ReleaseDC.
        s->dcs.erase(reinterpret_cast<std::uintptr_t>(dc));
        return TRUE;
    }
    const HGDIOBJ bitmap = d->bitmap;
    const HGDIOBJ brush = d->brush;
    s->dcs.erase(reinterpret_cast<std::uintptr_t>(dc));
    for (HGDIOBJ o : {bitmap, brush}) {
        if (GdiObject* obj = s->findObject(o); obj != nullptr && obj->selectedInto == dc) {
            obj->selectedInto = nullptr;
            s->releaseObjectIfPending(o);
        }
    }
    return TRUE;
}

HBITMAP WINAPI CreateDIBSection(HDC dc, const BITMAPINFO* info, UINT usage, void** bits, HANDLE section,
                                DWORD) {
    DesktopState* s = currentState();
    if (bits != nullptr) {
        *bits = nullptr;
    }
    if (s == nullptr || info == nullptr || usage != DIB_RGB_COLORS || section != nullptr) {
        return nullptr;
    }
    (void)dc;
    const BITMAPINFOHEADER& h = info->bmiHeader;
    if (h.biSize < sizeof(BITMAPINFOHEADER) || h.biWidth <= 0 || h.biHeight == 0 || h.biPlanes != 1 ||
        h.biBitCount != 32 || h.biCompression != BI_RGB) {
        return nullptr;
    }
    const long long rows = h.biHeight < 0 ? -static_cast<long long>(h.biHeight) : h.biHeight;
    const auto bytes = static_cast<std::size_t>(h.biWidth) * static_cast<std::size_t>(rows) * 4;
    if (s->shouldFail("CreateDIBSection", {}, bytes)) {
        return nullptr;
    }
    GdiObject b;
    b.dib = true;
    b.width = h.biWidth;
    b.height = static_cast<int>(rows);
    b.topDown = h.biHeight < 0;
    b.bits = sim::zeroedBytes(bytes);  // zero-filled, as a new DIB section is
    void* pixels = b.bits.get();
    const HGDIOBJ handle = s->newObject(std::move(b));
    if (bits != nullptr) {
        *bits = pixels;
    }
    return static_cast<HBITMAP>(handle);
}

HGDIOBJ WINAPI SelectObject(HDC dc, HGDIOBJ object) {
    DesktopState* s = currentState();
    if (s == nullptr) {
        return nullptr;
    }
    DcRec* d = s->findDc(dc);
    GdiObject* o = s->findObject(object);
    if (d == nullptr || o == nullptr || o->deletePending || s->shouldFail("SelectObject")) {
        return nullptr;
    }
    if (o->kind == GdiObject::Kind::Brush) {
        const HGDIOBJ previous = d->brush;
        if (GdiObject* p = s->findObject(previous); p != nullptr && p->selectedInto == dc) {
            p->selectedInto = nullptr;
        }
        d->brush = object;
        o->selectedInto = o->stock ? nullptr : dc;
        s->releaseObjectIfPending(previous);
        return previous != nullptr ? previous : s->stockBrush;
    }
    // Bitmaps go only into memory DCs, and into one DC at a time.
    if (!d->memory || (o->selectedInto != nullptr && o->selectedInto != dc)) {
        return nullptr;
    }
    const HGDIOBJ previous = d->bitmap;
    if (GdiObject* p = s->findObject(previous); p != nullptr && p->selectedInto == dc) {
        p->selectedInto = nullptr;
    }
    d->bitmap = object;
    o->selectedInto = o->stock ? nullptr : dc;
    s->releaseObjectIfPending(previous);
    return previous;
}

// As in Wine, deleting an object that is still selected succeeds and takes
// effect when it is deselected. Stock objects are never deleted.
BOOL WINAPI DeleteObject(HGDIOBJ object) {
    DesktopState* s = currentState();
    if (s == nullptr) {
        return FALSE;
    }
    GdiObject* o = s->findObject(object);
    if (o == nullptr) {
        return FALSE;
    }
    if (o->stock) {
        return TRUE;
    }
    if (o->selectedInto != nullptr) {
        o->deletePending = true;
        return TRUE;
    }
    s->objects.erase(reinterpret_cast<std::uintptr_t>(object));
    return TRUE;
}

BOOL WINAPI BitBlt(HDC dest, int x, int y, int width, int height, HDC src, int srcX, int srcY, DWORD rop) {
    DesktopState* s = currentState();
    if (s == nullptr) {
        return FALSE;
    }
    if (s->log.enabled()) {
        CallEntry e;
        e.function = "BitBlt";
        e.code = rop;
        e.rect = RECT{x, y, width, height};
        s->record(std::move(e));
    }
    if (rop != SRCCOPY || s->shouldFail("BitBlt")) {
        return FALSE;
    }
    PixelTarget to;
    PixelTarget from;
    if (!targetOf(*s, dest, to) || !targetOf(*s, src, from) || to.screen) {
        return FALSE;
    }
    if (width <= 0 || height <= 0) {
        return TRUE;
    }
    sim::Image screen;
    if (from.screen) {
        // Reading the screen: what is composed there now.
        s->compose(screen, RECT{srcX, srcY, srcX + width, srcY + height}, {});
        from.bits = screen.pixels.data();
        from.width = screen.width;
        from.height = screen.height;
        from.topDown = true;
        srcX = 0;
        srcY = 0;
    }
    // Clip the columns once; rows are contiguous in every kind of target.
    const int colStart = std::max({0, -x, -srcX});
    const int colEnd = std::min({width, to.width - x, from.width - srcX});
    if (colEnd > colStart) {
        const auto bytes = static_cast<std::size_t>(colEnd - colStart) * 4;
        for (int row = 0; row < height; ++row) {
            const int dy = y + row;
            const int sy = srcY + row;
            if (dy < 0 || dy >= to.height || sy < 0 || sy >= from.height) {
                continue;
            }
            std::memcpy(to.pixel(x + colStart, dy), from.pixel(srcX + colStart, sy), bytes);
        }
    }
    if (to.window != nullptr) {
        to.window->blitted = true;
    }
    return TRUE;
}
