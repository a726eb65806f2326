#include "Quintor/TrimTrackView.h"

#include <algorithm>
#include <cmath>

#include "Platform/UI/BezierPath.h"
#include "Platform/UI/Event.h"
#include "Platform/UI/GraphicsContext.h"
#include "Platform/UI/Window.h"

using graphics::Point;
using graphics::Rect;

namespace {

// The value range maps onto the bounds less this much on either side, so the knobs that
// frame the range stay inside the view.
constexpr double kInset = 10.0;

} // namespace

std::optional<ChangedItem> ChangedItemFromRawValue(long rawValue)
{
    if (rawValue < 0 || rawValue > 2)
        return std::nullopt;
    return static_cast<ChangedItem>(rawValue);
}

std::optional<ChangeGesture> ChangeGestureFromRawValue(long rawValue)
{
    if (rawValue < 0 || rawValue > 3)
        return std::nullopt;
    return static_cast<ChangeGesture>(rawValue);
}

std::shared_ptr<TrimTrackView> TrimTrackView::initWithFrame(const graphics::Rect& frame)
{
    return std::shared_ptr<TrimTrackView>(new TrimTrackView(frame));
}

TrimTrackView::TrimTrackView(const graphics::Rect& frame)
    : View(frame)
{
}

void TrimTrackView::setStopCount(long count)
{
    m_stopCount = count;
    snapKnobsToStops();
}

void TrimTrackView::setMinValue(double value)
{
    m_minValue = std::min(value, m_maxValue);
    setNeedsDisplay();
}

void TrimTrackView::setMaxValue(double value)
{
    m_maxValue = std::max(value, m_minValue);
    setNeedsDisplay();
}

void TrimTrackView::setStartKnobValue(double value)
{
    // NaN fails the comparison as well and is ignored like any value out of range.
    if (!(value >= m_minValue))
        return;
    m_startKnobValue = value;
    setNeedsDisplay();
}

void TrimTrackView::setEndKnobValue(double value)
{
    if (!(value <= m_maxValue))
        return;
    m_endKnobValue = value;
    setNeedsDisplay();
}

void TrimTrackView::setPlayheadValue(double value)
{
    if (std::isnan(value))
        return;
    m_playheadValue = value;
    setNeedsDisplay();
}

double TrimTrackView::snappedValue(double value) const
{
    if (m_stopCount < 2)
        return value;
    const double step = (m_maxValue - m_minValue) / static_cast<double>(m_stopCount - 1);
    if (!(step > 0))
        return value;
    return std::round((value - m_minValue) / step) * step + m_minValue;
}

void TrimTrackView::snapKnobsToStops()
{
    setStartKnobValue(snappedValue(m_startKnobValue));
    setEndKnobValue(snappedValue(m_endKnobValue));
    setNeedsDisplay();
}

void TrimTrackView::wrapPlayheadIntoRange()
{
    if (m_playheadValue > m_endKnobValue)
        m_playheadValue = m_startKnobValue;
    else if (m_playheadValue < m_startKnobValue)
        m_playheadValue = m_endKnobValue;
    setNeedsDisplay();
}

void TrimTrackView::layoutKnobs()
{
    const Rect b = bounds();
    const Rect track = Rect::make(b.minX(), (b.height() - m_trackHeight) / 2.0, b.width(), m_trackHeight).integral();
    const double midY = track.midY();
    const double span = b.width() - 2 * kInset;
    m_startKnobRect = Rect::make(std::floor(span * m_startKnobValue), midY - m_knobHeight / 2.0, m_knobWidth - 0.5, m_knobHeight)
                          .integral();
    m_endKnobRect = Rect::make(std::ceil(span * m_endKnobValue + kInset), midY - m_knobHeight / 2.0, m_knobWidth - 0.5,
                               m_knobHeight)
                        .integral();
    if (auto* w = window())
        w->invalidateCursorRectsForView(this);
}

void TrimTrackView::draw(const graphics::Rect& dirtyRect, ui::GraphicsContext& context)
{
    View::draw(dirtyRect, context);
    layoutKnobs();
    const Rect b = bounds();
    const Rect track = Rect::make(b.minX(), (b.height() - m_trackHeight) / 2.0, b.width(), m_trackHeight).integral();
    const double startMid = m_startKnobRect.midX();
    const double endMid = m_endKnobRect.midX();

    const auto dimmed = m_midFillColor.withAlphaComponent(0.5);
    context.setFillColor(dimmed);
    if (startMid > track.minX())
        ui::BezierPath::bezierPathWithRoundedRect(Rect::make(track.minX(), track.minY(), startMid - track.minX(), track.height()),
                                                  m_trackCornerRadius, m_trackCornerRadius)
            .fill(context);
    context.setFillColor(m_midFillColor);
    if (endMid > startMid)
        context.fillRect(Rect::make(startMid, track.minY(), endMid - startMid, track.height()));
    context.setFillColor(dimmed);
    if (track.maxX() > endMid)
        ui::BezierPath::bezierPathWithRoundedRect(Rect::make(endMid, track.minY(), track.maxX() - endMid, track.height()),
                                                  m_trackCornerRadius, m_trackCornerRadius)
            .fill(context);

    const double span = b.width() - 2 * kInset;
    const Rect playhead = Rect::make(std::floor(span * m_playheadValue + kInset - 0.5), track.minY() + 0.5, 1.5, m_trackHeight)
                              .integral();
    context.setFillColor(m_playheadFillColor);
    context.fillRect(playhead);

    for (const Rect& knob : { m_startKnobRect, m_endKnobRect }) {
        auto path = ui::BezierPath::bezierPathWithRoundedRect(knob.insetBy(1.0, 1.0), 2.0, 2.0);
        path.setLineWidth(2.0);
        context.setStrokeColor(m_knobStrokeColor);
        path.stroke(context);
        context.setFillColor(m_knobFillColor);
        path.fill(context);
    }
}

void TrimTrackView::resetCursorRects()
{
    View::resetCursorRects();
    addCursorRect(m_startKnobRect, ui::Cursor::resizeLeftRight);
    addCursorRect(m_endKnobRect, ui::Cursor::resizeLeftRight);
}

double TrimTrackView::playheadValueForPoint(graphics::Point location) const
{
    const double width = bounds().width() - m_startKnobRect.width() - m_endKnobRect.width();
    return width > 0 ? (location.x - m_startKnobRect.width()) / width : 0.0;
}

double TrimTrackView::knobValueForPoint(graphics::Point location) const
{
    // The knob's inner edge sits at inset + span x value; the grab offset keeps the spot
    // where the user took hold of the knob under the pointer.
    const double span = bounds().width() - 2 * kInset;
    return span > 0 ? (location.x + m_grabOffset - kInset) / span : 0.0;
}

void TrimTrackView::report(double value, ChangedItem item, ChangeGesture gesture)
{
    if (m_gestureHandler)
        m_gestureHandler(value, item, gesture);
}

void TrimTrackView::click(graphics::Point location)
{
    if (m_startKnobRect.contains(location) || m_endKnobRect.contains(location))
        return;
    const double value = playheadValueForPoint(location);
    if (!(value > m_startKnobValue && value < m_endKnobValue))
        return;
    m_playheadValue = value;
    wrapPlayheadIntoRange();
    setNeedsDisplay();
    report(m_playheadValue, ChangedItem::playhead, ChangeGesture::clicked);
}

void TrimTrackView::pan(PanState state, graphics::Point location)
{
    switch (state) {
    case PanState::began: {
        const bool inStart = m_startKnobRect.contains(location);
        const bool inEnd = m_endKnobRect.contains(location);
        m_isDraggingStartKnob = inStart;
        m_isDraggingEndKnob = inEnd;
        m_isDraggingPlayhead = !(inStart && inEnd);
        if (m_isDraggingStartKnob) {
            m_grabOffset = std::fabs(location.x - m_startKnobRect.maxX());
            report(m_startKnobValue, ChangedItem::startKnob, ChangeGesture::panBegan);
        } else if (m_isDraggingEndKnob) {
            m_grabOffset = -std::fabs(location.x - m_endKnobRect.minX());
            report(m_endKnobValue, ChangedItem::endKnob, ChangeGesture::panBegan);
        } else {
            m_grabOffset = 0;
            report(m_playheadValue, ChangedItem::playhead, ChangeGesture::panBegan);
        }
        break;
    }
    case PanState::changed: {
        const double knobValue = std::clamp(knobValueForPoint(location), m_minValue, m_maxValue);
        if (m_isDraggingStartKnob) {
            setStartKnobValue(snappedValue(std::min(knobValue, m_endKnobValue)));
            if (m_startKnobValue > m_playheadValue) {
                m_playheadValue = m_startKnobValue;
                wrapPlayheadIntoRange();
            }
            setNeedsDisplay();
            report(m_startKnobValue, ChangedItem::startKnob, ChangeGesture::panChanged);
        } else if (m_isDraggingEndKnob) {
            setEndKnobValue(snappedValue(std::max(knobValue, m_startKnobValue)));
            if (m_endKnobValue < m_playheadValue) {
                m_playheadValue = m_endKnobValue;
                wrapPlayheadIntoRange();
            }
            setNeedsDisplay();
            report(m_endKnobValue, ChangedItem::endKnob, ChangeGesture::panChanged);
        } else if (m_isDraggingPlayhead) {
            const double value = playheadValueForPoint(location);
            // Written as max/min rather than clamp: a range whose ends have crossed must not
            // be undefined behaviour.
            m_playheadValue = std::min(std::max(value, m_startKnobValue), m_endKnobValue);
            wrapPlayheadIntoRange();
            setNeedsDisplay();
            report(m_playheadValue, ChangedItem::playhead, ChangeGesture::panChanged);
        }
        break;
    }
    case PanState::ended: {
        if (m_isDraggingStartKnob)
            report(m_startKnobValue, ChangedItem::startKnob, ChangeGesture::panEnded);
        else if (m_isDraggingEndKnob)
            report(m_endKnobValue, ChangedItem::endKnob, ChangeGesture::panEnded);
        else
            report(m_playheadValue, ChangedItem::playhead, ChangeGesture::panEnded);
        endDrag();
        break;
    }
    case PanState::cancelled:
        endDrag();
        break;
    }
}

void TrimTrackView::endDrag()
{
    m_isDraggingStartKnob = false;
    m_isDraggingEndKnob = false;
    m_isDraggingPlayhead = false;
    m_grabOffset = 0;
}

void TrimTrackView::mouseDown(const ui::Event& event)
{
    m_pressLocation = convertPoint(event.locationInWindow(), nullptr);
    m_panning = false;
}

void TrimTrackView::mouseDragged(const ui::Event& event)
{
    if (!m_pressLocation)
        return;
    const Point location = convertPoint(event.locationInWindow(), nullptr);
    if (!m_panning) {
        m_panning = true;
        pan(PanState::began, *m_pressLocation);
    }
    pan(PanState::changed, location);
}

void TrimTrackView::mouseUp(const ui::Event& event)
{
    if (!m_pressLocation)
        return;
    const Point location = convertPoint(event.locationInWindow(), nullptr);
    if (m_panning)
        pan(PanState::ended, location);
    else
        click(location);
    m_pressLocation.reset();
    m_panning = false;
}
