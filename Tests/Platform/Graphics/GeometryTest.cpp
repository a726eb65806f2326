#include "Platform/Graphics/Geometry.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <string>

using graphics::AffineTransform;
using graphics::Point;
using graphics::Rect;
using graphics::RectEdge;
using graphics::Size;

namespace {

const Rect kNull = Rect::null();
const Rect kInfinite = Rect::infinite();

Rect R(double x, double y, double w, double h) { return Rect::make(x, y, w, h); }

std::string show(const Rect& r)
{
    if (r.isNull())
        return "null";
    if (r.isInfinite())
        return "infinite";
    return "(" + std::to_string(r.origin.x) + ", " + std::to_string(r.origin.y) + ", " +
           std::to_string(r.size.width) + ", " + std::to_string(r.size.height) + ")";
}

void expectRect(const Rect& expected, const Rect& actual, const std::string& what)
{
    EXPECT_TRUE(expected.isNull() ? actual.isNull() : expected == actual)
        << what << ": expected " << show(expected) << ", got " << show(actual);
}

void expectNear(const Rect& expected, const Rect& actual, const std::string& what)
{
    constexpr double eps = 1e-9;
    EXPECT_NEAR(expected.origin.x, actual.origin.x, eps) << what;
    EXPECT_NEAR(expected.origin.y, actual.origin.y, eps) << what;
    EXPECT_NEAR(expected.size.width, actual.size.width, eps) << what;
    EXPECT_NEAR(expected.size.height, actual.size.height, eps) << what;
}

} // namespace

TEST(Geometry, SpecialRectanglesAndTheirPredicates)
{
    struct Case {
        const char* name;
        Rect rect;
        bool isNull, isInfinite, isEmpty;
    } cases[] = {
        {"null", kNull, true, false, true},
        {"null with a size", Rect{{INFINITY, 3}, {5, 5}}, true, false, true},
        {"null in y only", Rect{{3, INFINITY}, {5, 5}}, true, false, true},
        {"infinite", kInfinite, false, true, false},
        {"zero", Rect::zero(), false, false, true},
        {"zero width", R(1, 1, 0, 5), false, false, true},
        {"zero height", R(1, 1, 5, 0), false, false, true},
        {"ordinary", R(1, 2, 3, 4), false, false, false},
        {"negative size is not empty", R(10, 10, -3, -4), false, false, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.isNull, c.rect.isNull()) << c.name;
        EXPECT_EQ(c.isInfinite, c.rect.isInfinite()) << c.name;
        EXPECT_EQ(c.isEmpty, c.rect.isEmpty()) << c.name;
    }
    // The infinite rectangle's far edges stay finite, so arithmetic on it stays sane.
    EXPECT_TRUE(std::isfinite(kInfinite.maxX()));
    EXPECT_TRUE(kInfinite.contains(Point{1e300, -1e300}));
}

TEST(Geometry, AccessorsReadTheStandardizedRectangle)
{
    struct Case {
        Rect rect;
        double minX, midX, maxX, minY, midY, maxY, width, height;
    } cases[] = {
        {R(1, 2, 4, 6), 1, 3, 5, 2, 5, 8, 4, 6},
        {R(5, 8, -4, -6), 1, 3, 5, 2, 5, 8, 4, 6},
        {R(5, 2, -4, 6), 1, 3, 5, 2, 5, 8, 4, 6},
        {R(-3, -3, 0, 0), -3, -3, -3, -3, -3, -3, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(show(c.rect));
        EXPECT_EQ(c.minX, c.rect.minX());
        EXPECT_EQ(c.midX, c.rect.midX());
        EXPECT_EQ(c.maxX, c.rect.maxX());
        EXPECT_EQ(c.minY, c.rect.minY());
        EXPECT_EQ(c.midY, c.rect.midY());
        EXPECT_EQ(c.maxY, c.rect.maxY());
        EXPECT_EQ(c.width, c.rect.width());
        EXPECT_EQ(c.height, c.rect.height());
    }
    expectRect(R(1, 2, 4, 6), R(5, 8, -4, -6).standardized(), "standardized");
    expectRect(kNull, kNull.standardized(), "null standardized");
}

TEST(Geometry, ContainsPointIsHalfOpen)
{
    struct Case {
        Rect rect;
        Point point;
        bool inside;
    } cases[] = {
        {R(0, 0, 10, 10), {0, 0}, true},
        {R(0, 0, 10, 10), {9.999, 5}, true},
        {R(0, 0, 10, 10), {10, 5}, false},
        {R(0, 0, 10, 10), {5, 10}, false},
        {R(0, 0, 10, 10), {-0.001, 5}, false},
        {R(10, 10, -10, -10), {0, 0}, true},
        {R(10, 10, -10, -10), {10, 10}, false},
        {R(5, 5, 0, 0), {5, 5}, false},
        {kNull, {0, 0}, false},
        {kInfinite, {-1e200, 1e200}, true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.inside, c.rect.contains(c.point)) << show(c.rect) << " (" << c.point.x << ", " << c.point.y << ")";
}

TEST(Geometry, ContainsRect)
{
    struct Case {
        Rect outer, inner;
        bool contains;
    } cases[] = {
        {R(0, 0, 10, 10), R(2, 2, 3, 3), true},
        {R(0, 0, 10, 10), R(0, 0, 10, 10), true},
        {R(0, 0, 10, 10), R(5, 5, 6, 1), false},
        {R(0, 0, 10, 10), R(7, 7, -5, -5), true},
        {R(10, 10, -10, -10), R(2, 2, 3, 3), true},
        {R(0, 0, 10, 10), R(20, 20, 0, 0), false},
        {R(0, 0, 10, 10), kNull, true},
        {kNull, kNull, true},
        {kNull, R(0, 0, 1, 1), false},
        {kInfinite, R(-1e100, 0, 2e100, 1), true},
        {R(0, 0, 10, 10), kInfinite, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.contains, c.outer.contains(c.inner)) << show(c.outer) << " contains " << show(c.inner);
}

TEST(Geometry, IntersectionAndIntersects)
{
    struct Case {
        const char* name;
        Rect a, b, expected;
    } cases[] = {
        {"overlap", R(0, 0, 10, 10), R(5, 5, 10, 10), R(5, 5, 5, 5)},
        {"inside", R(0, 0, 10, 10), R(2, 3, 4, 5), R(2, 3, 4, 5)},
        {"negative sizes", R(10, 10, -10, -10), R(15, 15, -10, -10), R(5, 5, 5, 5)},
        {"disjoint", R(0, 0, 1, 1), R(5, 5, 1, 1), kNull},
        {"touching edges", R(0, 0, 10, 10), R(10, 0, 10, 10), kNull},
        {"touching corners", R(0, 0, 10, 10), R(10, 10, 1, 1), kNull},
        {"point inside", R(0, 0, 10, 10), R(3, 4, 0, 0), R(3, 4, 0, 0)},
        {"null", R(0, 0, 10, 10), kNull, kNull},
        {"null first", kNull, R(0, 0, 10, 10), kNull},
        {"infinite", kInfinite, R(1, 2, 3, 4), R(1, 2, 3, 4)},
        {"infinite second", R(4, 3, -3, -2), kInfinite, R(1, 1, 3, 2)},
        {"both infinite", kInfinite, kInfinite, kInfinite},
    };
    for (const auto& c : cases) {
        expectRect(c.expected, c.a.intersection(c.b), c.name);
        expectRect(c.expected, c.b.intersection(c.a), std::string(c.name) + " swapped");
        EXPECT_EQ(!c.expected.isNull(), c.a.intersects(c.b)) << c.name;
    }
}

TEST(Geometry, UnionIgnoresNull)
{
    struct Case {
        const char* name;
        Rect a, b, expected;
    } cases[] = {
        {"disjoint", R(0, 0, 1, 1), R(5, 5, 1, 1), R(0, 0, 6, 6)},
        {"negative sizes", R(1, 1, -1, -1), R(6, 6, -1, -1), R(0, 0, 6, 6)},
        {"empty still counts", R(0, 0, 1, 1), R(9, 9, 0, 0), R(0, 0, 9, 9)},
        {"null", R(1, 2, 3, 4), kNull, R(1, 2, 3, 4)},
        {"null standardizes the other", R(4, 6, -3, -4), kNull, R(1, 2, 3, 4)},
        {"both null", kNull, kNull, kNull},
        {"infinite", kInfinite, R(1, 2, 3, 4), kInfinite},
    };
    for (const auto& c : cases) {
        expectRect(c.expected, c.a.unionWith(c.b), c.name);
        expectRect(c.expected, c.b.unionWith(c.a), std::string(c.name) + " swapped");
    }
}

TEST(Geometry, OffsetInsetAndIntegral)
{
    struct Case {
        const char* name;
        Rect result, expected;
    } cases[] = {
        {"offset", R(1, 2, 3, 4).offsetBy(10, -2), R(11, 0, 3, 4)},
        {"offset standardizes", R(4, 6, -3, -4).offsetBy(1, 1), R(2, 3, 3, 4)},
        {"offset null", kNull.offsetBy(1, 1), kNull},
        {"offset infinite", kInfinite.offsetBy(5, 5), kInfinite},
        {"inset", R(0, 0, 10, 10).insetBy(2, 3), R(2, 3, 6, 4)},
        {"outset", R(0, 0, 10, 10).insetBy(-1, -1), R(-1, -1, 12, 12)},
        {"inset standardizes", R(10, 10, -10, -10).insetBy(1, 1), R(1, 1, 8, 8)},
        {"inset to nothing", R(0, 0, 10, 10).insetBy(5, 5), R(5, 5, 0, 0)},
        {"inset past the centre", R(0, 0, 10, 10).insetBy(6, 0), kNull},
        {"inset null", kNull.insetBy(-5, -5), kNull},
        {"integral", R(0.5, 1.2, 2.4, 3.9).integral(), R(0, 1, 3, 5)},
        {"integral negative origin", R(-0.5, -1.5, 1, 1).integral(), R(-1, -2, 2, 2)},
        {"integral standardizes", R(2.5, 2.5, -1, -1).integral(), R(1, 1, 2, 2)},
        {"integral of whole numbers", R(1, 2, 3, 4).integral(), R(1, 2, 3, 4)},
        {"integral null", kNull.integral(), kNull},
        {"integral infinite", kInfinite.integral(), kInfinite},
    };
    for (const auto& c : cases)
        expectRect(c.expected, c.result, c.name);
}

TEST(Geometry, DivideSlicesFromAnEdge)
{
    struct Case {
        const char* name;
        Rect rect;
        double amount;
        RectEdge edge;
        Rect slice, remainder;
    } cases[] = {
        {"minX", R(0, 0, 10, 4), 3, RectEdge::minX, R(0, 0, 3, 4), R(3, 0, 7, 4)},
        {"maxX", R(0, 0, 10, 4), 3, RectEdge::maxX, R(7, 0, 3, 4), R(0, 0, 7, 4)},
        {"minY", R(0, 0, 4, 10), 3, RectEdge::minY, R(0, 0, 4, 3), R(0, 3, 4, 7)},
        {"maxY", R(0, 0, 4, 10), 3, RectEdge::maxY, R(0, 7, 4, 3), R(0, 0, 4, 7)},
        {"amount beyond the width", R(0, 0, 10, 4), 30, RectEdge::minX, R(0, 0, 10, 4), R(10, 0, 0, 4)},
        {"negative amount", R(0, 0, 10, 4), -3, RectEdge::maxX, R(10, 0, 0, 4), R(0, 0, 10, 4)},
        {"negative size", R(10, 4, -10, -4), 3, RectEdge::minX, R(0, 0, 3, 4), R(3, 0, 7, 4)},
        {"null", kNull, 3, RectEdge::minX, kNull, kNull},
    };
    for (const auto& c : cases) {
        auto [slice, remainder] = c.rect.divided(c.amount, c.edge);
        expectRect(c.slice, slice, std::string(c.name) + " slice");
        expectRect(c.remainder, remainder, std::string(c.name) + " remainder");
    }
}

TEST(Geometry, EqualToComparesStandardizedRectangles)
{
    EXPECT_TRUE(R(0, 0, 2, 2).equalTo(R(2, 2, -2, -2)));
    EXPECT_FALSE(R(0, 0, 2, 2) == R(2, 2, -2, -2));
    EXPECT_TRUE(kNull.equalTo(Rect{{INFINITY, 0}, {3, 3}}));
    EXPECT_FALSE(kNull.equalTo(Rect::zero()));
    EXPECT_FALSE(R(0, 0, 1, 1).equalTo(R(0, 0, 1, 2)));
}

TEST(Geometry, TransformConcatenationAppliesTheFirstOperandFirst)
{
    // Scale then translate: (1, 1) -> (2, 2) -> (12, 2).
    AffineTransform scaleThenMove = AffineTransform::makeScale(2, 2).concatenating(AffineTransform::makeTranslation(10, 0));
    EXPECT_EQ((Point{12, 2}), (Point{1, 1}).applying(scaleThenMove));
    // translatedBy prepends: the translation happens before the existing scale.
    AffineTransform moveThenScale = AffineTransform::makeScale(2, 2).translatedBy(10, 0);
    EXPECT_EQ((Point{22, 2}), (Point{1, 1}).applying(moveThenScale));
    EXPECT_EQ((Point{22, 2}), (Point{1, 1}).applying(AffineTransform::makeTranslation(10, 0).concatenating(AffineTransform::makeScale(2, 2))));

    Point rotated = (Point{1, 0}).applying(AffineTransform::makeRotation(std::numbers::pi / 2));
    EXPECT_NEAR(0, rotated.x, 1e-12);
    EXPECT_NEAR(1, rotated.y, 1e-12);

    // Sizes are vectors: translation does not move them.
    EXPECT_EQ((Size{6, 4}), (Size{3, 4}).applying(AffineTransform::make(2, 0, 0, 1, 100, 100)));
}

TEST(Geometry, InvertRoundTripsAndLeavesSingularTransformsAlone)
{
    AffineTransform t = AffineTransform::makeRotation(0.3).scaledBy(2, 5).translatedBy(7, -3);
    AffineTransform round = t.concatenating(t.inverted());
    EXPECT_NEAR(1, round.a, 1e-12);
    EXPECT_NEAR(0, round.b, 1e-12);
    EXPECT_NEAR(0, round.c, 1e-12);
    EXPECT_NEAR(1, round.d, 1e-12);
    EXPECT_NEAR(0, round.tx, 1e-12);
    EXPECT_NEAR(0, round.ty, 1e-12);

    AffineTransform singular = AffineTransform::make(1, 2, 2, 4, 5, 6);
    EXPECT_EQ(singular, singular.inverted());
    EXPECT_EQ(AffineTransform::makeScale(0, 1), AffineTransform::makeScale(0, 1).inverted());

    EXPECT_TRUE(AffineTransform::identity().isIdentity());
    EXPECT_TRUE(AffineTransform::identity().inverted().isIdentity());
    EXPECT_FALSE(AffineTransform::makeTranslation(0, 1).isIdentity());
}

TEST(Geometry, RectUnderTransformIsTheBoundingBoxOfItsCorners)
{
    struct Case {
        const char* name;
        Rect rect;
        AffineTransform t;
        Rect expected;
    } cases[] = {
        {"translate", R(1, 2, 3, 4), AffineTransform::makeTranslation(10, 20), R(11, 22, 3, 4)},
        {"negative scale flips", R(1, 2, 3, 4), AffineTransform::makeScale(-1, 2), R(-4, 4, 3, 8)},
        {"quarter turn", R(0, 0, 4, 2), AffineTransform::makeRotation(std::numbers::pi / 2), R(-2, 0, 2, 4)},
        {"eighth turn", R(0, 0, 1, 1), AffineTransform::makeRotation(std::numbers::pi / 4),
         R(-std::sqrt(0.5), 0, 2 * std::sqrt(0.5), 2 * std::sqrt(0.5))},
        {"negative size", R(4, 6, -3, -4), AffineTransform::identity(), R(1, 2, 3, 4)},
    };
    for (const auto& c : cases)
        expectNear(c.expected, c.rect.applying(c.t), c.name);
    expectRect(kNull, kNull.applying(AffineTransform::makeScale(2, 2)), "null");
}
