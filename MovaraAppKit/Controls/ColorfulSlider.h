#pragma once
// The shell's flat, layer-drawn slider for adjustment values: a rounded track with an
// optional strip of up to five colours, a band from the neutral (initial) value to the
// current one with a thin knob at the current value, a caption at the left and the value
// with one decimal at the right. It lights up under the pointer, returns to its initial value
// on a double click, and writes the values it sets itself through its "value" binding.
// Made by layouts (initWithCoder). Main thread only.

#include <array>
#include <memory>
#include <optional>
#include <string>

#include "Platform/UI/Layer.h"
#include "Platform/UI/Slider.h"
#include "Platform/UI/TextField.h"

enum class RectEdge { minX = 0, minY = 1, maxX = 2, maxY = 3 };

// The track: its background and, with two or more colours, a thin gradient strip.
class ColorfulSliderBackgroundLayer : public ui::Layer {
public:
    static std::shared_ptr<ColorfulSliderBackgroundLayer> layer();
    std::optional<ui::Color> trackColor(int index) const;
    void setTrackColor(int index, std::optional<ui::Color> color);
    std::shared_ptr<ui::GradientLayer> gradientLayer() const { return m_gradientLayer; }
    void redraw();

protected:
    ColorfulSliderBackgroundLayer() = default;

private:
    std::array<std::optional<ui::Color>, 5> m_trackColors;
    std::shared_ptr<ui::GradientLayer> m_gradientLayer;
};

// The band from the neutral value to the current one, with the knob at one of its edges.
class ColorfulSliderDeltaLayer : public ui::Layer {
public:
    static std::shared_ptr<ColorfulSliderDeltaLayer> layer();
    RectEdge knobEdge() const { return m_knobEdge; }
    void setKnobEdge(RectEdge edge) { m_knobEdge = edge; }
    bool hilighted() const { return m_hilighted; }
    void setHilighted(bool value);
    const ui::LayerPtr& knobLayer() const { return m_knobLayer; }

protected:
    ColorfulSliderDeltaLayer() = default;

private:
    RectEdge m_knobEdge = RectEdge::minX;
    bool m_hilighted = false;
    ui::LayerPtr m_knobLayer;
};

class ColorfulSliderTextField : public ui::TextField {
public:
    static std::shared_ptr<ColorfulSliderTextField> init();

protected:
    ColorfulSliderTextField();
};

class ColorfulSlider : public ui::Slider {
public:
    static std::shared_ptr<ColorfulSlider> initWithCoder(const graphics::Rect& frame);

    std::shared_ptr<ui::TextField> valueLabel() const { return m_valueLabel.lock(); }
    void setValueLabel(const std::shared_ptr<ui::TextField>& field) { m_valueLabel = field; }
    bool hilighted() const { return m_hilighted; }
    void setHilighted(bool value);
    const std::string& label() const { return m_label; }
    // Localised through the main bundle when localizeLabel() is true.
    void setLabel(const std::string& label);
    bool localizeLabel() const { return m_localizeLabel; }
    void setLocalizeLabel(bool value) { m_localizeLabel = value; }
    double initialValue() const { return m_initialValue; }
    void setInitialValue(double value);
    // Colours 1 to 5 of the track strip (index 0 to 4).
    std::optional<ui::Color> trackColor(int index) const;
    void setTrackColor(int index, std::optional<ui::Color> color);

    void setDoubleValue(double value) override;
    void setObjectValue(const std::any& value) override;

    // Actions "reset:", "minimizeValue:", "maximizeValue:".
    void reset(ui::Object* sender);
    void minimizeValue(ui::Object* sender);
    void maximizeValue(ui::Object* sender);

    void mouseDown(const ui::Event& event) override;
    void mouseUp(const ui::Event& event) override;
    void mouseEntered(const ui::Event& event) override;
    void mouseExited(const ui::Event& event) override;
    void updateTrackingAreas() override;

    bool wantsUpdateLayer() const override { return true; }
    void updateLayer() override;
    void draw(const graphics::Rect& dirtyRect, ui::GraphicsContext& context) override;
    graphics::Size intrinsicContentSize() const override { return {ui::NSViewNoIntrinsicMetric, 29}; }

    // Parts, for the layout and its tests.
    const std::shared_ptr<ColorfulSliderBackgroundLayer>& backgroundLayer() const { return m_backgroundLayer; }
    const std::shared_ptr<ColorfulSliderDeltaLayer>& deltaLayer() const { return m_deltaLayer; }
    const std::shared_ptr<ColorfulSliderTextField>& labelTextField() const { return m_labelTextField; }
    const std::shared_ptr<ColorfulSliderTextField>& valueTextField() const { return m_valueTextField; }

protected:
    explicit ColorfulSlider(const graphics::Rect& frame);

private:
    // Writes `value` to the model behind the "value" binding, then shows it.
    void setBoundValue(double value);
    void valueDidChange();

    std::weak_ptr<ui::TextField> m_valueLabel;
    bool m_hilighted = false;
    std::string m_label;
    bool m_localizeLabel = true;
    double m_initialValue = 0.0;
    std::shared_ptr<ColorfulSliderBackgroundLayer> m_backgroundLayer;
    std::shared_ptr<ColorfulSliderDeltaLayer> m_deltaLayer;
    std::shared_ptr<ColorfulSliderTextField> m_labelTextField;
    std::shared_ptr<ColorfulSliderTextField> m_valueTextField;
    ui::TrackingAreaPtr m_trackingArea;
    bool m_resetOnMouseUp = false;
};
