#pragma once
// A progress bar (determinate: value between min and max; indeterminate: a moving stripe)
// or a spinning wheel. Bindable: "value", "minValue", "maxValue", "isIndeterminate",
// "animate". Main thread only.

#include <memory>

#include "Platform/UI/View.h"

namespace ui {

enum class ProgressIndicatorStyle { bar = 0, spinning = 1 };

class ProgressIndicator : public View {
public:
    static std::shared_ptr<ProgressIndicator> initWithFrame(const graphics::Rect& frame);

    bool isIndeterminate() const { return m_indeterminate; }
    void setIndeterminate(bool value);
    double minValue() const { return m_minValue; }
    void setMinValue(double value);
    double maxValue() const { return m_maxValue; }
    void setMaxValue(double value);
    double doubleValue() const { return m_value; }
    // Kept within minValue...maxValue.
    void setDoubleValue(double value);
    void incrementBy(double delta) { setDoubleValue(m_value + delta); }
    // (value - min) / (max - min), 0 when the range is empty.
    double fractionShown() const;
    ProgressIndicatorStyle style() const { return m_style; }
    void setStyle(ProgressIndicatorStyle style);
    bool isDisplayedWhenStopped() const { return m_displayedWhenStopped; }
    void setDisplayedWhenStopped(bool value);
    void startAnimation(Object* sender = nullptr);
    void stopAnimation(Object* sender = nullptr);
    bool isAnimating() const { return m_animating; }

    void draw(const graphics::Rect& dirtyRect, GraphicsContext& context) override;
    bool setValueForBinding(const std::string& binding, const std::any& value) override;
    std::vector<std::string> exposedBindings() const override;

protected:
    explicit ProgressIndicator(const graphics::Rect& frame) : View(frame) { }

private:
    bool m_indeterminate = true;
    double m_minValue = 0;
    double m_maxValue = 100;
    double m_value = 0;
    ProgressIndicatorStyle m_style = ProgressIndicatorStyle::bar;
    bool m_displayedWhenStopped = true;
    bool m_animating = false;
};

} // namespace ui
