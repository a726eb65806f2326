#include "Platform/UI/Slider.h"

#include <algorithm>
#include <cmath>

#include "Platform/Foundation/Observable.h"
#include "Platform/UI/BezierPath.h"
#include "Platform/UI/Event.h"
#include "Platform/UI/GraphicsContext.h"

namespace ui {

using graphics::Rect;

namespace {
constexpr double kKnob = 16; // knob diameter
}

Slider::Slider(const Rect& frame)
    : Control(frame, Cell::initTextCell(""))
{
    cell()->setObjectValue(0.0);
}

std::shared_ptr<Slider> Slider::initWithFrame(const Rect& frame)
{
    return std::shared_ptr<Slider>(new Slider(frame));
}

std::shared_ptr<Slider> Slider::sliderWithValue(double value, double minValue, double maxValue,
                                                const std::shared_ptr<Object>& target, const std::string& action)
{
    auto slider = initWithFrame(Rect::make(0, 0, 160, 21));
    slider->setMinValue(minValue);
    slider->setMaxValue(maxValue);
    slider->setDoubleValue(value);
    slider->setTarget(target);
    slider->setAction(action);
    return slider;
}

void Slider::setMinValue(double value)
{
    m_minValue = value;
    setDoubleValue(doubleValue());
}

void Slider::setMaxValue(double value)
{
    m_maxValue = value;
    setDoubleValue(doubleValue());
}

double Slider::clamp(double value) const
{
    if (std::isnan(value))
        value = m_minValue;
    const double lo = std::min(m_minValue, m_maxValue);
    const double hi = std::max(m_minValue, m_maxValue);
    value = std::clamp(value, lo, hi);
    if (m_tickValuesOnly && m_tickMarks > 0)
        value = closestTickMarkValueToValue(value);
    return value;
}

void Slider::setDoubleValue(double value)
{
    Control::setObjectValue(clamp(value));
}

void Slider::setObjectValue(const std::any& value)
{
    bool ok = false;
    double d = foundation::detail::anyToDouble(value, ok);
    if (!ok) {
        if (const auto* s = std::any_cast<std::string>(&value))
            d = std::strtod(s->c_str(), nullptr);
    }
    setDoubleValue(d);
}

void Slider::setNumberOfTickMarks(long count)
{
    m_tickMarks = std::max(0L, count);
    setNeedsDisplay(true);
}

double Slider::tickMarkValueAtIndex(long index) const
{
    if (m_tickMarks <= 1)
        return m_minValue;
    return m_minValue + (m_maxValue - m_minValue) * static_cast<double>(index) / static_cast<double>(m_tickMarks - 1);
}

double Slider::closestTickMarkValueToValue(double value) const
{
    if (m_tickMarks <= 0)
        return value;
    if (m_tickMarks == 1 || m_maxValue == m_minValue)
        return tickMarkValueAtIndex(0);
    const double step = (m_maxValue - m_minValue) / static_cast<double>(m_tickMarks - 1);
    const double index = std::clamp(std::round((value - m_minValue) / step), 0.0, static_cast<double>(m_tickMarks - 1));
    return tickMarkValueAtIndex(static_cast<long>(index));
}

double Slider::valueForPoint(graphics::Point point) const
{
    const Rect b = bounds();
    const double length = (isVertical() ? b.height() : b.width()) - kKnob;
    if (length <= 0 || m_maxValue == m_minValue)
        return m_minValue;
    const double along = (isVertical() ? point.y - b.minY() : point.x - b.minX()) - kKnob / 2;
    return clamp(m_minValue + std::clamp(along / length, 0.0, 1.0) * (m_maxValue - m_minValue));
}

Rect Slider::knobRect() const
{
    const Rect b = bounds();
    const double range = m_maxValue - m_minValue;
    const double fraction = range != 0 ? (doubleValue() - m_minValue) / range : 0;
    if (isVertical())
        return Rect::make(b.midX() - kKnob / 2, b.minY() + fraction * (b.height() - kKnob), kKnob, kKnob);
    return Rect::make(b.minX() + fraction * (b.width() - kKnob), b.midY() - kKnob / 2, kKnob, kKnob);
}

void Slider::track(const Event& event)
{
    const double before = doubleValue();
    setDoubleValue(valueForPoint(convertPoint(event.locationInWindow(), nullptr)));
    if (doubleValue() != before) {
        m_changedWhileTracking = true;
        if (isContinuous())
            userDidChangeValue();
    }
}

void Slider::mouseDown(const Event& event)
{
    if (!isEnabled())
        return;
    m_tracking = true;
    m_changedWhileTracking = false;
    setHighlighted(true);
    track(event);
}

void Slider::mouseDragged(const Event& event)
{
    if (m_tracking)
        track(event);
}

void Slider::mouseUp(const Event& event)
{
    if (!m_tracking)
        return;
    track(event);
    m_tracking = false;
    setHighlighted(false);
    // A slider that is not continuous reports once, when the user lets go.
    if (!isContinuous() && m_changedWhileTracking)
        userDidChangeValue();
}

void Slider::draw(const Rect&, GraphicsContext& context)
{
    const Rect b = bounds();
    const Rect knob = knobRect();
    const double t = 4;
    Rect track = isVertical() ? Rect::make(b.midX() - t / 2, b.minY() + kKnob / 2, t, std::max(0.0, b.height() - kKnob))
                              : Rect::make(b.minX() + kKnob / 2, b.midY() - t / 2, std::max(0.0, b.width() - kKnob), t);
    context.setFillColor(Color::quaternaryLabelColor());
    context.fillPath(BezierPath::bezierPathWithRoundedRect(track, t / 2, t / 2));
    Rect filled = isVertical() ? Rect::make(track.minX(), track.minY(), t, knob.midY() - track.minY())
                               : Rect::make(track.minX(), track.minY(), knob.midX() - track.minX(), t);
    context.setFillColor(isEnabled() ? Color::controlAccentColor() : Color::tertiaryLabelColor());
    context.fillPath(BezierPath::bezierPathWithRoundedRect(filled, t / 2, t / 2));
    if (m_tickMarks > 1 && !isVertical()) {
        context.setFillColor(Color::tertiaryLabelColor());
        for (long i = 0; i < m_tickMarks; ++i) {
            const double x = track.minX() + track.width() * static_cast<double>(i) / static_cast<double>(m_tickMarks - 1);
            context.fillRect(Rect::make(std::round(x) - 0.5, b.minY() + 1, 1, 3));
        }
    }
    BezierPath k = BezierPath::bezierPathWithOvalInRect(knob.insetBy(0.5, 0.5));
    const bool dark = context.appearance() && context.appearance()->isDark();
    context.setFillColor(isHighlighted() ? Color::calibratedWhite(dark ? 0.8 : 0.92) : Color::calibratedWhite(dark ? 0.9 : 1.0));
    context.fillPath(k);
    k.setLineWidth(0.5);
    context.setStrokeColor(Color::calibratedWhite(0, 0.3));
    context.strokePath(k);
}

bool Slider::setValueForBinding(const std::string& binding, const std::any& value)
{
    bool ok = false;
    const double d = foundation::detail::anyToDouble(value, ok);
    if (binding == "minValue") {
        setMinValue(ok ? d : 0);
        return true;
    }
    if (binding == "maxValue") {
        setMaxValue(ok ? d : 0);
        return true;
    }
    return Control::setValueForBinding(binding, value);
}

} // namespace ui
