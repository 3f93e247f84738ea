// The shared RECT helpers: sizes, equality, the inclusive point test, the
// overlap test that does not count touching edges, and the clamped
// intersection.
#include "platform/rect.h"

#include <gtest/gtest.h>

namespace kestra {
namespace {

TEST(Rect, SizesAndEqualityReadAllFourEdges) {
    const RECT r{10, 20, 110, 70};
    EXPECT_EQ(widthOf(r), 100);
    EXPECT_EQ(heightOf(r), 50);
    EXPECT_EQ(widthOf(RECT{5, 5, 2, 2}), -3);  // no clamping: a reversed rectangle reads negative
    EXPECT_TRUE(sameRect(r, RECT{10, 20, 110, 70}));
    EXPECT_FALSE(sameRect(r, RECT{11, 20, 110, 70}));
    EXPECT_FALSE(sameRect(r, RECT{10, 21, 110, 70}));
    EXPECT_FALSE(sameRect(r, RECT{10, 20, 111, 70}));
    EXPECT_FALSE(sameRect(r, RECT{10, 20, 110, 71}));
}

TEST(Rect, ContainsPointCountsEveryEdgeAsInside) {
    const RECT r{10, 20, 110, 70};
    EXPECT_TRUE(containsPoint(r, POINT{10, 20}));
    EXPECT_TRUE(containsPoint(r, POINT{110, 70}));  // right and bottom edges too, unlike PtInRect
    EXPECT_TRUE(containsPoint(r, POINT{60, 45}));
    EXPECT_FALSE(containsPoint(r, POINT{9, 45}));
    EXPECT_FALSE(containsPoint(r, POINT{111, 45}));
    EXPECT_FALSE(containsPoint(r, POINT{60, 19}));
    EXPECT_FALSE(containsPoint(r, POINT{60, 71}));
}

TEST(Rect, OverlapNeedsSharedAreaNotASharedEdge) {
    const RECT s{0, 0, 100, 100};
    struct Case {
        RECT r;
        bool overlaps;
    };
    const Case cases[] = {
        {{50, 50, 150, 150}, true},    // starts inside
        {{-50, -50, 1, 1}, true},      // ends inside
        {{-10, -10, 200, 200}, true},  // spans s
        {{20, 20, 30, 30}, true},      // inside
        {{100, 0, 200, 100}, false},   // touches the right edge
        {{-100, 0, 0, 100}, false},    // touches the left edge
        {{0, 100, 100, 200}, false},   // touches the bottom edge
        {{50, 150, 60, 160}, false},   // overlaps in x only
        {{150, 50, 160, 60}, false},   // overlaps in y only
    };
    for (const Case& c : cases) {
        EXPECT_EQ(rectOverlaps(s, c.r), c.overlaps)
            << c.r.left << "," << c.r.top << "," << c.r.right << "," << c.r.bottom;
    }
}

TEST(Rect, IntersectionIsClampedToAnEmptyRectangleWhereTheyDoNotMeet) {
    EXPECT_TRUE(sameRect(intersection(RECT{0, 0, 100, 100}, RECT{50, 60, 150, 160}), RECT{50, 60, 100, 100}));
    EXPECT_TRUE(sameRect(intersection(RECT{0, 0, 100, 100}, RECT{10, 10, 20, 20}), RECT{10, 10, 20, 20}));
    const RECT apart = intersection(RECT{0, 0, 10, 10}, RECT{30, 40, 50, 60});
    EXPECT_TRUE(sameRect(apart, RECT{30, 40, 30, 40}));
    EXPECT_EQ(widthOf(apart), 0);
    EXPECT_EQ(heightOf(apart), 0);
}

}  // namespace
}  // namespace kestra
