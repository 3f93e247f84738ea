// Small RECT helpers shared by the subsystems, the simulated desktop and the
// tests. Rectangles are Win32's: left and top inside, right and bottom one
// past the edge, except where a helper says otherwise.
#pragma once

#include <algorithm>

#include "platform/win32.h"

namespace kestra {

inline LONG widthOf(const RECT& r) {
    return r.right - r.left;
}

inline LONG heightOf(const RECT& r) {
    return r.bottom - r.top;
}

inline bool sameRect(const RECT& a, const RECT& b) {
    return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}

// Whether `point` lies in `rect` with all four edges counted as inside (unlike
// PtInRect, which leaves out the right and bottom edges): the cursor on a
// window's last column still picks that window.
inline bool containsPoint(const RECT& rect, const POINT& point) {
    return rect.left <= point.x && point.x <= rect.right && rect.top <= point.y && point.y <= rect.bottom;
}

// Overlap along one axis: r starts inside s, r ends inside s, or r spans s.
// A span that only touches s at an end does not overlap it.
inline bool spanOverlaps(LONG sLow, LONG sHigh, LONG rLow, LONG rHigh) {
    return (sLow <= rLow && rLow < sHigh) || (sLow < rHigh && rHigh <= sHigh) ||
           (rLow <= sLow && rHigh >= sHigh);
}

// Whether r overlaps s on both axes; sharing only an edge is no overlap.
inline bool rectOverlaps(const RECT& s, const RECT& r) {
    return spanOverlaps(s.left, s.right, r.left, r.right) && spanOverlaps(s.top, s.bottom, r.top, r.bottom);
}

// The common part of a and b; where they do not meet, an empty rectangle at
// the clamped corner (right == left or bottom == top), never a negative size.
inline RECT intersection(const RECT& a, const RECT& b) {
    RECT r{std::max(a.left, b.left), std::max(a.top, b.top), std::min(a.right, b.right),
           std::min(a.bottom, b.bottom)};
    r.right = std::max(r.right, r.left);
    r.bottom = std::max(r.bottom, r.top);
    return r;
}

}  // namespace kestra
