#pragma once
// A path of lines and cubic curves with a line width and winding rule, filled or stroked
// into a GraphicsContext. A plain value.

#include <vector>

#include "Platform/Graphics/Geometry.h"

namespace ui {

class GraphicsContext;

enum class WindingRule { nonZero = 0, evenOdd = 1 };

class BezierPath {
public:
    enum class ElementType { moveTo, lineTo, curveTo, closePath };
    struct Element {
        ElementType type;
        graphics::Point points[3];
    };

    static BezierPath bezierPathWithRect(const graphics::Rect& rect);
    static BezierPath bezierPathWithRoundedRect(const graphics::Rect& rect, double xRadius, double yRadius);
    static BezierPath bezierPathWithOvalInRect(const graphics::Rect& rect);

    void moveToPoint(graphics::Point p);
    void lineToPoint(graphics::Point p);
    void curveToPoint(graphics::Point end, graphics::Point control1, graphics::Point control2);
    void closePath();
    void appendBezierPath(const BezierPath& other);
    void appendBezierPathWithRect(const graphics::Rect& rect);
    void appendBezierPathWithRoundedRect(const graphics::Rect& rect, double xRadius, double yRadius);
    void transformUsingAffineTransform(const graphics::AffineTransform& transform);

    bool isEmpty() const { return m_elements.empty(); }
    const std::vector<Element>& elements() const { return m_elements; }
    // The box around every point, control points included; zero for an empty path.
    graphics::Rect bounds() const;

    double lineWidth() const { return m_lineWidth; }
    void setLineWidth(double width) { m_lineWidth = width; }
    WindingRule windingRule() const { return m_windingRule; }
    void setWindingRule(WindingRule rule) { m_windingRule = rule; }

    // Draw with the context's current fill or stroke colour.
    void fill(GraphicsContext& context) const;
    void stroke(GraphicsContext& context) const;
    void addClip(GraphicsContext& context) const;

private:
    std::vector<Element> m_elements;
    double m_lineWidth = 1.0;
    WindingRule m_windingRule = WindingRule::nonZero;
};

} // namespace ui
