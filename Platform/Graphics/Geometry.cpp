#include "Platform/Graphics/Geometry.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <limits>

namespace graphics {

namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();

// The infinite rectangle: as large as a double allows while its max edges stay finite.
constexpr double kInfiniteOrigin = -DBL_MAX / 2;
constexpr double kInfiniteSize = DBL_MAX;

Rect fromEdges(double minX, double minY, double maxX, double maxY)
{
    return Rect::make(minX, minY, maxX - minX, maxY - minY);
}

} // namespace

Point Point::applying(const AffineTransform& t) const
{
    return Point{t.a * x + t.c * y + t.tx, t.b * x + t.d * y + t.ty};
}

Size Size::applying(const AffineTransform& t) const
{
    return Size{t.a * width + t.c * height, t.b * width + t.d * height};
}

Rect Rect::null() { return Rect::make(kInfinity, kInfinity, 0, 0); }

Rect Rect::infinite() { return Rect::make(kInfiniteOrigin, kInfiniteOrigin, kInfiniteSize, kInfiniteSize); }

bool Rect::isNull() const { return origin.x == kInfinity || origin.y == kInfinity; }

bool Rect::isInfinite() const { return *this == infinite(); }

bool Rect::isEmpty() const { return isNull() || size.width == 0 || size.height == 0; }

Rect Rect::standardized() const
{
    if (isNull())
        return null();
    Rect r = *this;
    if (r.size.width < 0) {
        r.origin.x += r.size.width;
        r.size.width = -r.size.width;
    }
    if (r.size.height < 0) {
        r.origin.y += r.size.height;
        r.size.height = -r.size.height;
    }
    return r;
}

double Rect::minX() const { return standardized().origin.x; }
double Rect::minY() const { return standardized().origin.y; }
double Rect::width() const { return std::fabs(size.width); }
double Rect::height() const { return std::fabs(size.height); }
double Rect::maxX() const { return minX() + width(); }
double Rect::maxY() const { return minY() + height(); }
double Rect::midX() const { return minX() + width() * 0.5; }
double Rect::midY() const { return minY() + height() * 0.5; }

Rect Rect::integral() const
{
    if (isNull() || isInfinite())
        return *this;
    return fromEdges(std::floor(minX()), std::floor(minY()), std::ceil(maxX()), std::ceil(maxY()));
}

Rect Rect::offsetBy(double dx, double dy) const
{
    if (isNull() || isInfinite())
        return *this;
    Rect r = standardized();
    r.origin.x += dx;
    r.origin.y += dy;
    return r;
}

Rect Rect::insetBy(double dx, double dy) const
{
    if (isNull())
        return null();
    if (isInfinite())
        return *this;
    Rect r = standardized();
    r.origin.x += dx;
    r.origin.y += dy;
    r.size.width -= 2 * dx;
    r.size.height -= 2 * dy;
    // A rectangle inset past its own centre no longer covers anything.
    if (r.size.width < 0 || r.size.height < 0 || std::isnan(r.size.width) || std::isnan(r.size.height))
        return null();
    return r;
}

Rect Rect::intersection(const Rect& other) const
{
    if (isNull() || other.isNull())
        return null();
    if (isInfinite())
        return other.standardized();
    if (other.isInfinite())
        return standardized();
    double x0 = std::max(minX(), other.minX());
    double x1 = std::min(maxX(), other.maxX());
    double y0 = std::max(minY(), other.minY());
    double y1 = std::min(maxY(), other.maxY());
    if (x1 < x0 || y1 < y0)
        return null();
    // Two rectangles with area that only touch along an edge share nothing; a rectangle
    // without area (a line or a point) still meets one whose span includes it.
    bool bothHaveArea = !isEmpty() && !other.isEmpty();
    if (bothHaveArea && (x1 == x0 || y1 == y0))
        return null();
    return fromEdges(x0, y0, x1, y1);
}

Rect Rect::unionWith(const Rect& other) const
{
    if (isNull())
        return other.standardized();
    if (other.isNull())
        return standardized();
    if (isInfinite() || other.isInfinite())
        return infinite();
    return fromEdges(std::min(minX(), other.minX()), std::min(minY(), other.minY()),
                     std::max(maxX(), other.maxX()), std::max(maxY(), other.maxY()));
}

bool Rect::intersects(const Rect& other) const { return !intersection(other).isNull(); }

bool Rect::contains(const Point& p) const
{
    if (isNull())
        return false;
    return p.x >= minX() && p.x < maxX() && p.y >= minY() && p.y < maxY();
}

bool Rect::contains(const Rect& other) const
{
    if (other.isNull())
        return true;
    if (isNull())
        return false;
    return minX() <= other.minX() && other.maxX() <= maxX() && minY() <= other.minY() && other.maxY() <= maxY();
}

std::pair<Rect, Rect> Rect::divided(double amount, RectEdge edge) const
{
    if (isNull())
        return {null(), null()};
    Rect r = standardized();
    bool horizontal = edge == RectEdge::minX || edge == RectEdge::maxX;
    double length = horizontal ? r.size.width : r.size.height;
    double cut = std::clamp(std::isnan(amount) ? 0.0 : amount, 0.0, length);
    Rect slice = r;
    Rect remainder = r;
    switch (edge) {
    case RectEdge::minX:
        slice.size.width = cut;
        remainder.origin.x += cut;
        remainder.size.width -= cut;
        break;
    case RectEdge::maxX:
        slice.origin.x = r.origin.x + length - cut;
        slice.size.width = cut;
        remainder.size.width -= cut;
        break;
    case RectEdge::minY:
        slice.size.height = cut;
        remainder.origin.y += cut;
        remainder.size.height -= cut;
        break;
    case RectEdge::maxY:
        slice.origin.y = r.origin.y + length - cut;
        slice.size.height = cut;
        remainder.size.height -= cut;
        break;
    }
    return {slice, remainder};
}

bool Rect::equalTo(const Rect& other) const
{
    if (isNull() || other.isNull())
        return isNull() && other.isNull();
    return standardized() == other.standardized();
}

Rect Rect::applying(const AffineTransform& t) const
{
    if (isNull())
        return null();
    if (isInfinite())
        return *this;
    Point corners[4] = {
        Point{minX(), minY()}.applying(t),
        Point{maxX(), minY()}.applying(t),
        Point{minX(), maxY()}.applying(t),
        Point{maxX(), maxY()}.applying(t),
    };
    double x0 = corners[0].x, x1 = corners[0].x, y0 = corners[0].y, y1 = corners[0].y;
    for (const Point& p : corners) {
        x0 = std::min(x0, p.x);
        x1 = std::max(x1, p.x);
        y0 = std::min(y0, p.y);
        y1 = std::max(y1, p.y);
    }
    return fromEdges(x0, y0, x1, y1);
}

AffineTransform AffineTransform::makeTranslation(double tx, double ty) { return make(1, 0, 0, 1, tx, ty); }

AffineTransform AffineTransform::makeScale(double sx, double sy) { return make(sx, 0, 0, sy, 0, 0); }

AffineTransform AffineTransform::makeRotation(double radians)
{
    double s = std::sin(radians);
    double c = std::cos(radians);
    return make(c, s, -s, c, 0, 0);
}

bool AffineTransform::isIdentity() const { return *this == identity(); }

AffineTransform AffineTransform::concatenating(const AffineTransform& o) const
{
    return make(a * o.a + b * o.c, a * o.b + b * o.d,
                c * o.a + d * o.c, c * o.b + d * o.d,
                tx * o.a + ty * o.c + o.tx, tx * o.b + ty * o.d + o.ty);
}

AffineTransform AffineTransform::translatedBy(double x, double y) const
{
    return makeTranslation(x, y).concatenating(*this);
}

AffineTransform AffineTransform::scaledBy(double sx, double sy) const { return makeScale(sx, sy).concatenating(*this); }

AffineTransform AffineTransform::rotated(double radians) const { return makeRotation(radians).concatenating(*this); }

AffineTransform AffineTransform::inverted() const
{
    double det = a * d - b * c;
    if (det == 0 || !std::isfinite(det))
        return *this;
    return make(d / det, -b / det, -c / det, a / det,
                (c * ty - d * tx) / det, (b * tx - a * ty) / det);
}

} // namespace graphics
