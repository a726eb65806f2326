#include "Platform/UI/BezierPath.h"

#include <algorithm>
#include <cmath>

#include "Platform/UI/GraphicsContext.h"

namespace ui {

using graphics::Point;
using graphics::Rect;

BezierPath BezierPath::bezierPathWithRect(const Rect& rect)
{
    BezierPath p;
    p.appendBezierPathWithRect(rect);
    return p;
}

BezierPath BezierPath::bezierPathWithRoundedRect(const Rect& rect, double xRadius, double yRadius)
{
    BezierPath p;
    p.appendBezierPathWithRoundedRect(rect, xRadius, yRadius);
    return p;
}

BezierPath BezierPath::bezierPathWithOvalInRect(const Rect& rect)
{
    BezierPath p;
    const Rect r = rect.standardized();
    p.appendBezierPathWithRoundedRect(r, r.width() / 2, r.height() / 2);
    return p;
}

void BezierPath::moveToPoint(Point p)
{
    m_elements.push_back({ElementType::moveTo, {p, {}, {}}});
}

void BezierPath::lineToPoint(Point p)
{
    m_elements.push_back({ElementType::lineTo, {p, {}, {}}});
}

void BezierPath::curveToPoint(Point end, Point control1, Point control2)
{
    m_elements.push_back({ElementType::curveTo, {control1, control2, end}});
}

void BezierPath::closePath()
{
    m_elements.push_back({ElementType::closePath, {}});
}

void BezierPath::appendBezierPath(const BezierPath& other)
{
    m_elements.insert(m_elements.end(), other.m_elements.begin(), other.m_elements.end());
}

void BezierPath::appendBezierPathWithRect(const Rect& rect)
{
    const Rect r = rect.standardized();
    if (r.isNull())
        return;
    moveToPoint({r.minX(), r.minY()});
    lineToPoint({r.maxX(), r.minY()});
    lineToPoint({r.maxX(), r.maxY()});
    lineToPoint({r.minX(), r.maxY()});
    closePath();
}

void BezierPath::appendBezierPathWithRoundedRect(const Rect& rect, double xRadius, double yRadius)
{
    const Rect r = rect.standardized();
    if (r.isNull())
        return;
    // Radii larger than half a side are clamped, as the platform does.
    const double rx = std::clamp(xRadius, 0.0, r.width() / 2);
    const double ry = std::clamp(yRadius, 0.0, r.height() / 2);
    if (rx <= 0 || ry <= 0) {
        appendBezierPathWithRect(r);
        return;
    }
    const double k = 0.5522847498; // cubic approximation of a quarter circle
    const double x0 = r.minX(), x1 = r.maxX(), y0 = r.minY(), y1 = r.maxY();
    moveToPoint({x0 + rx, y0});
    lineToPoint({x1 - rx, y0});
    curveToPoint({x1, y0 + ry}, {x1 - rx + rx * k, y0}, {x1, y0 + ry - ry * k});
    lineToPoint({x1, y1 - ry});
    curveToPoint({x1 - rx, y1}, {x1, y1 - ry + ry * k}, {x1 - rx + rx * k, y1});
    lineToPoint({x0 + rx, y1});
    curveToPoint({x0, y1 - ry}, {x0 + rx - rx * k, y1}, {x0, y1 - ry + ry * k});
    lineToPoint({x0, y0 + ry});
    curveToPoint({x0 + rx, y0}, {x0, y0 + ry - ry * k}, {x0 + rx - rx * k, y0});
    closePath();
}

void BezierPath::transformUsingAffineTransform(const graphics::AffineTransform& t)
{
    for (auto& e : m_elements) {
        for (auto& p : e.points)
            p = p.applying(t);
    }
}

Rect BezierPath::bounds() const
{
    bool any = false;
    double minX = 0, minY = 0, maxX = 0, maxY = 0;
    for (const auto& e : m_elements) {
        const int count = e.type == ElementType::curveTo ? 3 : (e.type == ElementType::closePath ? 0 : 1);
        for (int i = 0; i < count; ++i) {
            const Point p = e.points[i];
            if (!any) {
                minX = maxX = p.x;
                minY = maxY = p.y;
                any = true;
            }
            minX = std::min(minX, p.x);
            maxX = std::max(maxX, p.x);
            minY = std::min(minY, p.y);
            maxY = std::max(maxY, p.y);
        }
    }
    return any ? Rect::make(minX, minY, maxX - minX, maxY - minY) : Rect::zero();
}

void BezierPath::fill(GraphicsContext& context) const
{
    context.fillPath(*this);
}

void BezierPath::stroke(GraphicsContext& context) const
{
    context.strokePath(*this);
}

void BezierPath::addClip(GraphicsContext& context) const
{
    context.clipToPath(*this);
}

} // namespace ui
