#include "MovaraKit/Support/Geometry+Movara.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

using graphics::Point;
using graphics::Rect;
using graphics::RectEdge;
using graphics::Size;
using graphics::Vector;

namespace {
Rect R(double x, double y, double w, double h) { return Rect::make(x, y, w, h); }
} // namespace

TEST(GeometryMovara, AnglesDistancesAndCorners)
{
    EXPECT_DOUBLE_EQ(180, mvr_radiansToDegrees(std::numbers::pi));
    EXPECT_DOUBLE_EQ(std::numbers::pi / 2, mvr_degreesToRadians(90));
    EXPECT_DOUBLE_EQ(5, mvr_distance(Point{3, 4}, Point{0, 0}));
    EXPECT_DOUBLE_EQ(1920.0 / 1080.0, mvr_aspectRatio(Size{1920, 1080}));
    EXPECT_EQ((Point{4, 6}), (Point{1, 2} + Point{3, 4}));
    EXPECT_EQ((Point{-2, -2}), (Point{1, 2} - Point{3, 4}));

    // A rectangle with negative sizes has the same corners as its standardized form.
    for (Rect r : {R(10, 20, 100, 50), R(110, 70, -100, -50)}) {
        EXPECT_EQ((Point{60, 45}), mvr_center(r));
        EXPECT_EQ((Point{10, 20}), mvr_point(r, RectCorner::minXY));
        EXPECT_EQ((Point{10, 70}), mvr_point(r, RectCorner::minXmaxY));
        EXPECT_EQ((Point{110, 20}), mvr_point(r, RectCorner::maxXminY));
        EXPECT_EQ((Point{110, 70}), mvr_point(r, RectCorner::maxXY));
    }
}

TEST(GeometryMovara, MoveByCornerKeepsTheOppositeCornerAndTheMinimumSize)
{
    struct Case {
        const char* name;
        Rect rect;
        RectCorner corner;
        Point delta;
        Rect expected;
    } cases[] = {
        {"minXY inward", R(0, 0, 100, 50), RectCorner::minXY, {30, 10}, R(30, 10, 70, 40)},
        {"minXY past the minimum", R(0, 0, 100, 50), RectCorner::minXY, {90, 40}, R(80, 30, 20, 20)},
        {"maxXY shrinks x to the minimum, grows y", R(0, 0, 100, 50), RectCorner::maxXY, {-200, 5}, R(0, 0, 20, 55)},
        {"minXmaxY", R(0, 0, 100, 50), RectCorner::minXmaxY, {-10, 10}, R(-10, 0, 110, 60)},
        {"maxXminY", R(0, 0, 100, 50), RectCorner::maxXminY, {10, -10}, R(0, -10, 110, 60)},
        {"negative-size input", R(100, 50, -100, -50), RectCorner::minXY, {30, 10}, R(30, 10, 70, 40)},
        {"not-a-number delta gives the minimum", R(0, 0, 100, 50), RectCorner::maxXY, {NAN, NAN}, R(0, 0, 20, 20)},
    };
    for (const auto& c : cases) {
        Rect r = c.rect;
        mvr_move(r, c.corner, c.delta, Size{20, 20});
        EXPECT_EQ(c.expected, r) << c.name << ": " << r.origin.x << ", " << r.origin.y << ", " << r.size.width
                                 << ", " << r.size.height;
    }
}

TEST(GeometryMovara, MoveByEdge)
{
    struct Case {
        RectEdge edge;
        double delta;
        Rect expected;
    } cases[] = {
        {RectEdge::minX, 30, R(30, 0, 70, 50)},
        {RectEdge::minX, 95, R(90, 0, 10, 50)},
        {RectEdge::maxX, -30, R(0, 0, 70, 50)},
        {RectEdge::maxX, -300, R(0, 0, 10, 50)},
        {RectEdge::minY, -10, R(0, -10, 100, 60)},
        {RectEdge::minY, 45, R(0, 40, 100, 10)},
        {RectEdge::maxY, 10, R(0, 0, 100, 60)},
    };
    for (const auto& c : cases) {
        Rect r = R(0, 0, 100, 50);
        mvr_move(r, c.edge, c.delta, 10);
        EXPECT_EQ(c.expected, r) << static_cast<int>(c.edge) << " by " << c.delta;
    }
}

TEST(GeometryMovara, ConstrainClampsIntoTheRectangle)
{
    struct Case {
        Point in, out;
    } cases[] = {
        {{150, -5}, {100, 0}},
        {{10, 10}, {10, 10}},
        {{-1, 60}, {0, 50}},
        {{100, 50}, {100, 50}}, // on the max corner: kept as it is
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.out, mvr_constrain(R(0, 0, 100, 50), c.in)) << c.in.x << ", " << c.in.y;
}

TEST(GeometryMovara, LineIntersection)
{
    struct Case {
        const char* name;
        Point p1;
        Vector v1;
        Point p2;
        Vector v2;
        std::optional<Point> expected;
    } cases[] = {
        {"crossing diagonals", {0, 0}, {1, 1}, {0, 2}, {1, -1}, Point{1, 1}},
        {"equal directions", {0, 0}, {1, 1}, {0, 2}, {1, 1}, std::nullopt},
        {"opposite directions", {0, 0}, {1, 1}, {0, 2}, {-2, -2}, std::nullopt},
        {"vertical and horizontal", {3, 0}, {0, 1}, {0, 5}, {1, 0}, Point{3, 5}},
        {"zero direction", {0, 0}, {0, 0}, {0, 2}, {1, -1}, std::nullopt},
        {"slanted", {0, 1}, {2, 1}, {4, 0}, {0, -3}, Point{4, 3}},
    };
    for (const auto& c : cases) {
        auto result = mvr_intersection(c.p1, c.v1, c.p2, c.v2);
        ASSERT_EQ(c.expected.has_value(), result.has_value()) << c.name;
        if (result) {
            EXPECT_NEAR(c.expected->x, result->x, 1e-12) << c.name;
            EXPECT_NEAR(c.expected->y, result->y, 1e-12) << c.name;
        }
    }
}
