#pragma once
// A drop shadow: offset (in points, y up on the page whatever the flipping), blur radius and
// colour. fillPathWithShadow fills a path and casts its shadow under it; the shadow is made
// from the whole shape before any clip, so a shape drawn outside the clip can still throw
// its shadow inside it. A plain value; drawing on the context's thread.

#include "Platform/Graphics/Geometry.h"
#include "Platform/UI/Color.h"

namespace ui {

class BezierPath;
class GraphicsContext;

class Shadow {
public:
    Shadow() = default;

    graphics::Size shadowOffset() const { return m_offset; }
    void setShadowOffset(graphics::Size offset) { m_offset = offset; }
    double shadowBlurRadius() const { return m_blurRadius; }
    void setShadowBlurRadius(double radius) { m_blurRadius = radius < 0 ? 0 : radius; }
    // Black at one third opacity unless set.
    Color shadowColor() const { return m_color; }
    void setShadowColor(const Color& color) { m_color = color; }

private:
    graphics::Size m_offset;
    double m_blurRadius = 0;
    Color m_color = Color::calibratedWhite(0, 1.0 / 3.0);
};

// Fills `path` with the context's fill colour, the shadow first. The blur is a Gaussian of
// standard deviation half the radius, at the context's pixel scale.
void fillPathWithShadow(GraphicsContext& context, const BezierPath& path, const Shadow& shadow);

} // namespace ui
