#include "Platform/UI/ProgressIndicator.h"

#include <algorithm>
#include <cmath>

#include "Platform/Foundation/Observable.h"
#include "Platform/UI/BezierPath.h"
#include "Platform/UI/GraphicsContext.h"

namespace ui {

using graphics::Rect;

std::shared_ptr<ProgressIndicator> ProgressIndicator::initWithFrame(const Rect& frame)
{
    return std::shared_ptr<ProgressIndicator>(new ProgressIndicator(frame));
}

void ProgressIndicator::setIndeterminate(bool value)
{
    m_indeterminate = value;
    setNeedsDisplay(true);
}

void ProgressIndicator::setMinValue(double value)
{
    m_minValue = value;
    setDoubleValue(m_value);
}

void ProgressIndicator::setMaxValue(double value)
{
    m_maxValue = value;
    setDoubleValue(m_value);
}

void ProgressIndicator::setDoubleValue(double value)
{
    if (std::isnan(value))
        value = m_minValue;
    m_value = std::clamp(value, std::min(m_minValue, m_maxValue), std::max(m_minValue, m_maxValue));
    setNeedsDisplay(true);
}

double ProgressIndicator::fractionShown() const
{
    const double range = m_maxValue - m_minValue;
    return range > 0 ? (m_value - m_minValue) / range : 0.0;
}

void ProgressIndicator::setStyle(ProgressIndicatorStyle style)
{
    m_style = style;
    setNeedsDisplay(true);
}

void ProgressIndicator::setDisplayedWhenStopped(bool value)
{
    m_displayedWhenStopped = value;
    setNeedsDisplay(true);
}

void ProgressIndicator::startAnimation(Object*)
{
    m_animating = true;
    setNeedsDisplay(true);
}

void ProgressIndicator::stopAnimation(Object*)
{
    m_animating = false;
    setNeedsDisplay(true);
}

void ProgressIndicator::draw(const Rect&, GraphicsContext& context)
{
    const Rect b = bounds();
    if (m_style == ProgressIndicatorStyle::spinning) {
        if (!m_animating && !m_displayedWhenStopped)
            return;
        // Twelve spokes, fading round the circle.
        const double r = std::min(b.width(), b.height()) / 2;
        for (int i = 0; i < 12; ++i) {
            const double a = i * M_PI / 6;
            BezierPath spoke;
            spoke.moveToPoint({b.midX() + std::cos(a) * r * 0.5, b.midY() + std::sin(a) * r * 0.5});
            spoke.lineToPoint({b.midX() + std::cos(a) * r * 0.95, b.midY() + std::sin(a) * r * 0.95});
            spoke.setLineWidth(std::max(1.5, r * 0.16));
            context.setStrokeColor(Color::labelColor().withAlphaComponent(0.15 + 0.7 * i / 11.0));
            context.strokePath(spoke);
        }
        return;
    }
    const double h = std::min(6.0, b.height());
    const Rect track = Rect::make(b.minX(), b.midY() - h / 2, b.width(), h);
    context.setFillColor(Color::quaternaryLabelColor());
    context.fillPath(BezierPath::bezierPathWithRoundedRect(track, h / 2, h / 2));
    context.setFillColor(Color::controlAccentColor());
    if (m_indeterminate) {
        // A third of the track, as a still picture of the moving stripe.
        context.fillPath(BezierPath::bezierPathWithRoundedRect(
            Rect::make(track.minX() + track.width() / 3, track.minY(), track.width() / 3, h), h / 2, h / 2));
        return;
    }
    const double w = track.width() * std::clamp(fractionShown(), 0.0, 1.0);
    if (w > 0)
        context.fillPath(BezierPath::bezierPathWithRoundedRect(Rect::make(track.minX(), track.minY(), w, h), h / 2, h / 2));
}

bool ProgressIndicator::setValueForBinding(const std::string& binding, const std::any& value)
{
    bool ok = false;
    const double d = foundation::detail::anyToDouble(value, ok);
    if (binding == NSValueBinding)
        setDoubleValue(ok ? d : m_minValue);
    else if (binding == "minValue")
        setMinValue(ok ? d : 0);
    else if (binding == "maxValue")
        setMaxValue(ok ? d : 0);
    else if (binding == "isIndeterminate")
        setIndeterminate(ok && d != 0);
    else if (binding == "animate")
        ok && d != 0 ? startAnimation() : stopAnimation();
    else
        return View::setValueForBinding(binding, value);
    return true;
}

std::vector<std::string> ProgressIndicator::exposedBindings() const
{
    return {NSValueBinding, "minValue", "maxValue", "isIndeterminate", "animate", NSHiddenBinding};
}

} // namespace ui
