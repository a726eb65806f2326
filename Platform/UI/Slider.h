#pragma once
// A horizontal (or, when taller than wide, vertical) slider between a minimum and a maximum,
// optionally with tick marks it can be held to. Dragging the knob sets the value; a
// continuous slider sends its action on every change, else when the mouse goes up.
// Main thread only.

#include <memory>

#include "Platform/UI/Control.h"

namespace ui {

class Slider : public Control {
public:
    static std::shared_ptr<Slider> initWithFrame(const graphics::Rect& frame);
    static std::shared_ptr<Slider> sliderWithValue(double value, double minValue, double maxValue,
                                                   const std::shared_ptr<Object>& target, const std::string& action);

    double minValue() const { return m_minValue; }
    void setMinValue(double value);
    double maxValue() const { return m_maxValue; }
    void setMaxValue(double value);
    // Kept within minValue...maxValue (and on a tick mark when allowsTickMarkValuesOnly).
    void setDoubleValue(double value) override;
    void setObjectValue(const std::any& value) override;
    long numberOfTickMarks() const { return m_tickMarks; }
    void setNumberOfTickMarks(long count);
    bool allowsTickMarkValuesOnly() const { return m_tickValuesOnly; }
    void setAllowsTickMarkValuesOnly(bool value) { m_tickValuesOnly = value; }
    double tickMarkValueAtIndex(long index) const;
    double closestTickMarkValueToValue(double value) const;
    bool isVertical() const { return frame().size.height > frame().size.width; }

    // The value a pointer at `point` (in the slider's coordinates) selects.
    double valueForPoint(graphics::Point point) const;
    graphics::Rect knobRect() const;

    void mouseDown(const Event& event) override;
    void mouseDragged(const Event& event) override;
    void mouseUp(const Event& event) override;
    void draw(const graphics::Rect& dirtyRect, GraphicsContext& context) override;
    graphics::Size intrinsicContentSize() const override { return {NSViewNoIntrinsicMetric, 21}; }
    bool setValueForBinding(const std::string& binding, const std::any& value) override;

protected:
    explicit Slider(const graphics::Rect& frame);
    double clamp(double value) const;
    void track(const Event& event);

private:
    double m_minValue = 0;
    double m_maxValue = 1;
    long m_tickMarks = 0;
    bool m_tickValuesOnly = false;
    bool m_tracking = false;
    bool m_changedWhileTracking = false;
};

} // namespace ui
