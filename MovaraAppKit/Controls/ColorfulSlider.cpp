#include "MovaraAppKit/Controls/ColorfulSlider.h"

#include <cmath>
#include <cstdio>

#include "MovaraKit/Media/With.h"
#include "Platform/Foundation/Bundle.h"
#include "Platform/UI/Event.h"
#include "Platform/UI/Window.h"

using graphics::Rect;

// ---- background layer ------------------------------------------------------------------------

std::shared_ptr<ColorfulSliderBackgroundLayer> ColorfulSliderBackgroundLayer::layer()
{
    return std::shared_ptr<ColorfulSliderBackgroundLayer>(new ColorfulSliderBackgroundLayer());
}

std::optional<ui::Color> ColorfulSliderBackgroundLayer::trackColor(int index) const
{
    if (index < 0 || index >= 5)
        return std::nullopt;
    return m_trackColors[static_cast<size_t>(index)];
}

void ColorfulSliderBackgroundLayer::setTrackColor(int index, std::optional<ui::Color> color)
{
    if (index < 0 || index >= 5)
        return;
    m_trackColors[static_cast<size_t>(index)] = std::move(color);
}

void ColorfulSliderBackgroundLayer::redraw()
{
    setBackgroundColor(ui::Color::quaternaryLabelColor());
    std::vector<ui::Color> colors;
    for (const auto& c : m_trackColors)
        if (c)
            colors.push_back(*c);
    if (colors.size() < 2) {
        if (colors.size() == 1)
            setBackgroundColor(colors.front());
        if (m_gradientLayer) {
            m_gradientLayer->removeFromSuperlayer();
            m_gradientLayer.reset();
        }
        return;
    }
    if (!m_gradientLayer) {
        m_gradientLayer = ui::GradientLayer::layer();
        addSublayer(m_gradientLayer);
    }
    m_gradientLayer->setColors(std::move(colors));
    m_gradientLayer->setStartPoint({0, 0.5});
    m_gradientLayer->setEndPoint({1, 0.5});
    const Rect b = bounds();
    m_gradientLayer->setFrame(Rect::make(b.minX(), b.maxY() - 2, b.width(), 2));
}

// ---- delta layer -----------------------------------------------------------------------------

std::shared_ptr<ColorfulSliderDeltaLayer> ColorfulSliderDeltaLayer::layer()
{
    std::shared_ptr<ColorfulSliderDeltaLayer> layer(new ColorfulSliderDeltaLayer());
    layer->m_knobLayer = with(ui::Layer::layer(), [](ui::LayerPtr& knob) { knob->setBackgroundColor(ui::Color::calibratedWhite(0.333)); });
    layer->addSublayer(layer->m_knobLayer);
    return layer;
}

void ColorfulSliderDeltaLayer::setHilighted(bool value)
{
    m_hilighted = value;
    if (value) {
        setBackgroundColor(ui::Color::calibratedRGB(0.302, 0.192, 0.667, 0.5));
        m_knobLayer->setBackgroundColor(ui::Color::calibratedRGB(0.486, 0.302, 1.0, 0.5));
    } else {
        setBackgroundColor(ui::Color::tertiaryLabelColor());
        m_knobLayer->setBackgroundColor(ui::Color::tertiaryLabelColor());
    }
}

// ---- text field ------------------------------------------------------------------------------

ColorfulSliderTextField::ColorfulSliderTextField()
    : ui::TextField(Rect::zero(), ui::TextFieldCell::initTextCell(""))
{
    setFont(ui::Font::systemFontOfSize(ui::Font::systemFontSize()));
    setDrawsBackground(false);
    setBordered(false);
    setBezeled(false);
    setEditable(false);
    setSelectable(false);
}

std::shared_ptr<ColorfulSliderTextField> ColorfulSliderTextField::init()
{
    return std::shared_ptr<ColorfulSliderTextField>(new ColorfulSliderTextField());
}

// ---- slider ----------------------------------------------------------------------------------

ColorfulSlider::ColorfulSlider(const Rect& frame)
    : ui::Slider(frame)
{
}

std::shared_ptr<ColorfulSlider> ColorfulSlider::initWithCoder(const Rect& frame)
{
    std::shared_ptr<ColorfulSlider> s(new ColorfulSlider(frame));
    s->m_backgroundLayer = ColorfulSliderBackgroundLayer::layer();
    s->m_deltaLayer = ColorfulSliderDeltaLayer::layer();
    s->m_labelTextField = ColorfulSliderTextField::init();
    s->m_valueTextField = with(ColorfulSliderTextField::init(), [](std::shared_ptr<ColorfulSliderTextField>& field) {
        field->setAlignment(ui::TextAlignment::right);
        field->setFont(ui::Font::monospacedDigitSystemFontOfSize(ui::Font::systemFontSize(), ui::FontWeight::regular));
    });
    s->m_backgroundLayer->addSublayer(s->m_deltaLayer);
    s->setWantsLayer(true);
    s->layer()->addSublayer(s->m_backgroundLayer);
    s->addSubview(s->m_labelTextField);
    s->addSubview(s->m_valueTextField);
    s->setHilighted(false);

    std::weak_ptr<ColorfulSlider> weak = s;
    s->registerAction("reset:", [weak](ui::Object* sender) { if (auto self = weak.lock()) self->reset(sender); });
    s->registerAction("minimizeValue:", [weak](ui::Object* sender) { if (auto self = weak.lock()) self->minimizeValue(sender); });
    s->registerAction("maximizeValue:", [weak](ui::Object* sender) { if (auto self = weak.lock()) self->maximizeValue(sender); });
    return s;
}

void ColorfulSlider::setHilighted(bool value)
{
    m_hilighted = value;
    setNeedsDisplay(true);
}

void ColorfulSlider::setLabel(const std::string& label)
{
    m_label = m_localizeLabel ? foundation::Bundle::main()->localizedStringForKey(label, "", {}) : label;
    m_labelTextField->setStringValue(m_label);
    m_labelTextField->sizeToFit();
    setNeedsDisplay(true);
}

void ColorfulSlider::setInitialValue(double value)
{
    m_initialValue = value;
    setNeedsDisplay(true);
}

std::optional<ui::Color> ColorfulSlider::trackColor(int index) const
{
    return m_backgroundLayer->trackColor(index);
}

void ColorfulSlider::setTrackColor(int index, std::optional<ui::Color> color)
{
    m_backgroundLayer->setTrackColor(index, std::move(color));
    m_backgroundLayer->redraw();
    setNeedsDisplay(true);
}

void ColorfulSlider::valueDidChange()
{
    if (auto label = m_valueLabel.lock())
        label->setDoubleValue(doubleValue());
    setNeedsDisplay(true);
}

void ColorfulSlider::setDoubleValue(double value)
{
    ui::Slider::setDoubleValue(value);
    valueDidChange();
}

void ColorfulSlider::setObjectValue(const std::any& value)
{
    ui::Slider::setObjectValue(value);
    valueDidChange();
}

void ColorfulSlider::setBoundValue(double value)
{
    // Values the slider sets itself (reset, double click, the minimum and maximum actions)
    // would otherwise never reach the model: only tracking pushes through the binding.
    if (auto info = infoForBinding(ui::NSValueBinding); info && info->observedObject && !info->keyPath.empty())
        info->observedObject->setValueForKeyPath(info->keyPath, std::any(value));
    setDoubleValue(value);
}

void ColorfulSlider::reset(ui::Object*)
{
    setBoundValue(m_initialValue);
}

void ColorfulSlider::minimizeValue(ui::Object*)
{
    setBoundValue(minValue());
}

void ColorfulSlider::maximizeValue(ui::Object*)
{
    setBoundValue(maxValue());
}

void ColorfulSlider::mouseDown(const ui::Event& event)
{
    ui::Slider::mouseDown(event);
    // Tracking runs until the button goes up; the reset must come after it, or the drag's
    // last position would overwrite it.
    m_resetOnMouseUp = event.clickCount() >= 2;
}

void ColorfulSlider::mouseUp(const ui::Event& event)
{
    ui::Slider::mouseUp(event);
    if (m_resetOnMouseUp) {
        m_resetOnMouseUp = false;
        setBoundValue(m_initialValue);
    }
}

void ColorfulSlider::mouseEntered(const ui::Event& event)
{
    setHilighted(true);
    ui::Slider::mouseEntered(event);
}

void ColorfulSlider::mouseExited(const ui::Event& event)
{
    setHilighted(false);
    ui::Slider::mouseExited(event);
}

void ColorfulSlider::updateTrackingAreas()
{
    ui::Slider::updateTrackingAreas();
    if (m_trackingArea)
        removeTrackingArea(m_trackingArea);
    m_trackingArea = ui::TrackingArea::initWithRect(bounds(), ui::NSTrackingMouseEnteredAndExited | ui::NSTrackingActiveAlways,
                                                    sharedAs<ui::Responder>());
    addTrackingArea(m_trackingArea);
    if (auto* w = window()) {
        const graphics::Point p = convertPoint(w->mouseLocationOutsideOfEventStream(), nullptr);
        const bool inside = bounds().contains(p);
        m_trackingArea->setInside(inside);
        setHilighted(inside);
    }
}

void ColorfulSlider::draw(const Rect&, ui::GraphicsContext&)
{
}

void ColorfulSlider::updateLayer()
{
    const Rect b = bounds();
    layer()->setMasksToBounds(true);
    layer()->setCornerRadius(3.0);

    m_backgroundLayer->setFrame(b);
    m_backgroundLayer->redraw();

    const double range = maxValue() - minValue();
    const double w = b.width();
    const double x0 = range != 0 ? (m_initialValue - minValue()) / range * w : 0.0;
    const double d = doubleValue() - m_initialValue;
    double bandX = x0;
    double bandWidth = 0.5;
    if (d != 0) {
        bandWidth = range != 0 ? std::fabs(d) / range * w : 0.0;
        if (d < 0) {
            bandX = x0 - bandWidth;
            m_deltaLayer->setKnobEdge(RectEdge::minX);
        } else {
            m_deltaLayer->setKnobEdge(RectEdge::maxX);
        }
    }
    m_deltaLayer->setFrame(Rect::make(bandX, b.minY(), bandWidth, b.height()).integral());
    const Rect band = m_deltaLayer->bounds();
    const double knobX = m_deltaLayer->knobEdge() == RectEdge::minX ? 0.0 : band.width() - 2;
    m_deltaLayer->knobLayer()->setFrame(Rect::make(knobX, 0, 2, band.height()).integral());

    const graphics::Size labelSize = m_labelTextField->frame().size;
    m_labelTextField->setFrame(Rect::make(5, (b.maxY() - labelSize.height) / 2, labelSize.width, labelSize.height).integral());

    char text[64];
    std::snprintf(text, sizeof text, "%.1f", doubleValue());
    m_valueTextField->setStringValue(text);
    m_valueTextField->sizeToFit();
    // Digits of one width are set a little wider than plain text measures; without the room
    // the value would be cut short to an ellipsis.
    m_valueTextField->setFrameSize({m_valueTextField->frame().size.width + 4, m_valueTextField->frame().size.height});
    const graphics::Size valueSize = m_valueTextField->frame().size;
    m_valueTextField->setFrame(
        Rect::make(b.maxX() - valueSize.width - 5, (b.maxY() - valueSize.height) / 2, valueSize.width, valueSize.height).integral());
    m_valueTextField->setHidden(doubleValue() == m_initialValue);

    const ui::Color textColor = m_hilighted ? ui::Color::labelColor() : ui::Color::secondaryLabelColor();
    m_labelTextField->setTextColor(textColor);
    m_valueTextField->setTextColor(textColor);
    m_deltaLayer->setHilighted(m_hilighted);
}
