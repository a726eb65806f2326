#include "MovaraKit/Support/Geometry+Movara.h"

#include <cmath>
#include <numbers>

using graphics::Point;
using graphics::Rect;
using graphics::RectEdge;
using graphics::Size;
using graphics::Vector;

namespace {

// `value` unless the minimum is larger; a value that is not a number yields the minimum,
// so a broken delta can never produce a broken rectangle.
double atLeast(double value, double minimum) { return minimum <= value ? value : minimum; }

bool isMinXSide(RectCorner c) { return c == RectCorner::minXY || c == RectCorner::minXmaxY; }
bool isMinYSide(RectCorner c) { return c == RectCorner::minXY || c == RectCorner::maxXminY; }

} // namespace

double mvr_radiansToDegrees(double radians) { return radians * 180 / std::numbers::pi; }

double mvr_degreesToRadians(double degrees) { return degrees * std::numbers::pi / 180; }

double mvr_distance(const Point& point, const Point& from) { return std::hypot(point.x - from.x, point.y - from.y); }

double mvr_aspectRatio(const Size& size) { return size.width / size.height; }

Point mvr_center(const Rect& r) { return Point{r.minX() + r.width() * 0.5, r.minY() + r.height() * 0.5}; }
Point mvr_minXY(const Rect& r) { return Point{r.minX(), r.minY()}; }
Point mvr_minXmaxY(const Rect& r) { return Point{r.minX(), r.maxY()}; }
Point mvr_maxXminY(const Rect& r) { return Point{r.maxX(), r.minY()}; }
Point mvr_maxXY(const Rect& r) { return Point{r.maxX(), r.maxY()}; }

Point mvr_point(const Rect& rect, RectCorner corner)
{
    switch (corner) {
    case RectCorner::minXY:
        return mvr_minXY(rect);
    case RectCorner::minXmaxY:
        return mvr_minXmaxY(rect);
    case RectCorner::maxXminY:
        return mvr_maxXminY(rect);
    case RectCorner::maxXY:
        return mvr_maxXY(rect);
    }
    return mvr_minXY(rect);
}

void mvr_move(Rect& rect, RectCorner corner, const Point& delta, const Size& minimumSize)
{
    Rect r = rect.standardized();
    double oldWidth = r.width();
    if (isMinXSide(corner)) {
        r.size.width = atLeast(oldWidth - delta.x, minimumSize.width);
        r.origin.x += oldWidth - r.size.width;
    } else {
        r.size.width = atLeast(oldWidth + delta.x, minimumSize.width);
    }
    r = r.standardized();

    double oldHeight = r.height();
    if (isMinYSide(corner)) {
        r.size.height = atLeast(oldHeight - delta.y, minimumSize.height);
        r.origin.y += oldHeight - r.size.height;
    } else {
        r.size.height = atLeast(oldHeight + delta.y, minimumSize.height);
    }
    rect = r.standardized();
}

void mvr_move(Rect& rect, RectEdge edge, double delta, double minimumLength)
{
    Rect r = rect.standardized();
    switch (edge) {
    case RectEdge::minX: {
        double old = r.width();
        r.size.width = atLeast(old - delta, minimumLength);
        r.origin.x += old - r.size.width;
        break;
    }
    case RectEdge::maxX:
        r.size.width = atLeast(r.width() + delta, minimumLength);
        break;
    case RectEdge::minY: {
        double old = r.height();
        r.size.height = atLeast(old - delta, minimumLength);
        r.origin.y += old - r.size.height;
        break;
    }
    case RectEdge::maxY:
        r.size.height = atLeast(r.height() + delta, minimumLength);
        break;
    }
    rect = r.standardized();
}

Point mvr_constrain(const Rect& rect, const Point& point)
{
    if (rect.contains(point))
        return point;
    double x = std::fmin(std::fmax(point.x, rect.minX()), rect.maxX());
    double y = std::fmin(std::fmax(point.y, rect.minY()), rect.maxY());
    return Point{x, y};
}

std::optional<Point> mvr_intersection(const Point& p1, const Vector& v1, const Point& p2, const Vector& v2)
{
    // Solved with cross products rather than slopes, so vertical lines work and parallel
    // ones are reported as none instead of coming out as infinities.
    double denominator = v1.dx * v2.dy - v1.dy * v2.dx;
    if (denominator == 0 || !std::isfinite(denominator))
        return std::nullopt;
    double t = ((p2.x - p1.x) * v2.dy - (p2.y - p1.y) * v2.dx) / denominator;
    Point result{p1.x + t * v1.dx, p1.y + t * v1.dy};
    if (!std::isfinite(result.x) || !std::isfinite(result.y))
        return std::nullopt;
    return result;
}
