#include "MovaraAppKit/Controls/BezierPath+Movara.h"

#include <cmath>

#include "Platform/UI/GraphicsContext.h"

void fillWithInnerShadow(const ui::BezierPath& path, ui::Shadow& shadow, ui::GraphicsContext& context)
{
    context.saveGState();
    const graphics::Size offset = shadow.shadowOffset();
    const double radius = shadow.shadowBlurRadius();
    const graphics::Rect drawing =
        path.bounds().insetBy(-(std::fabs(offset.width) + radius), -(std::fabs(offset.height) + radius));
    const double h = drawing.height();

    // A frame around a hole shaped like the path, moved out of sight by its own height; its
    // shadow, moved back by the same amount, falls inside the path.
    shadow.setShadowOffset({offset.width, offset.height + h});
    const auto transform = graphics::AffineTransform::makeTranslation(0, context.isFlipped() ? h : -h);
    ui::BezierPath frame = ui::BezierPath::bezierPathWithRect(drawing);
    frame.setWindingRule(ui::WindingRule::evenOdd);
    frame.appendBezierPath(path);
    frame.transformUsingAffineTransform(transform);

    context.clipToPath(path);
    context.setFillColor(ui::Color::black());
    ui::fillPathWithShadow(context, frame, shadow);

    shadow.setShadowOffset(offset);
    context.restoreGState();
}
