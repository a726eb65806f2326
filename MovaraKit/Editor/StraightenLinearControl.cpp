#include "MovaraKit/Editor/StraightenLinearControl.h"

#include <cmath>
#include <cstdio>
#include <numbers>

#include "Platform/UI/Event.h"
#include "Platform/UI/Window.h"

using graphics::AffineTransform;
using graphics::Point;
using graphics::Rect;

namespace {

enum class Shape { triangle, fill, circle };

// A shape layer whose path is the shape in the given bounds.
std::shared_ptr<ui::ShapeLayer> shapeLayer(Shape shape, const Rect& bounds)
{
    auto layer = ui::ShapeLayer::layer();
    layer->setBounds(bounds);
    ui::BezierPath path;
    switch (shape) {
    case Shape::triangle:
        path.moveToPoint({bounds.minX(), bounds.minY()});
        path.lineToPoint({bounds.maxX(), bounds.minY()});
        path.lineToPoint({bounds.midX(), bounds.maxY()});
        path.closePath();
        break;
    case Shape::fill:
        path = ui::BezierPath::bezierPathWithRect(bounds);
        break;
    case Shape::circle:
        path = ui::BezierPath::bezierPathWithOvalInRect(bounds);
        break;
    }
    layer->setPath(path);
    return layer;
}

const ui::Font& labelFont()
{
    // DIN Alternate is not on Debian; the font system draws its metric stand-in.
    static const ui::Font font = ui::Font::fontWithName("DINAlternate-Bold", 11);
    return font;
}

const ui::Color& longTickColor()
{
    static const ui::Color c = ui::Color::deviceWhite(214.0 / 255.0, 1);
    return c;
}

const ui::Color& shortTickColor()
{
    static const ui::Color c = ui::Color::deviceWhite(121.0 / 255.0, 1);
    return c;
}

std::string format(double value)
{
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%0.0f", value);
    return buffer;
}

int wholeDegrees()
{
    return static_cast<int>(StraightenLinearControlImpl::endValue - StraightenLinearControlImpl::startValue);
}

} // namespace

// ---- the companion --------------------------------------------------------------------------------

StraightenLinearControlImpl::StraightenLinearControlImpl(ui::LayerPtr layer) : m_layer(std::move(layer))
{
}

double StraightenLinearControlImpl::dialPosition(double v) const
{
    const double width = m_dialLayer ? m_dialLayer->bounds().width() : wholeDegrees() * pointsPerDegree;
    return (v - startValue) / (endValue - startValue) * width;
}

void StraightenLinearControlImpl::applyValue()
{
    value = std::min(maxValue, std::max(minValue, value));
    if (m_dialLayer)
        m_dialLayer->setAffineTransform(AffineTransform::makeTranslation(value * pointsPerDegree, 0));
}

std::optional<double> StraightenLinearControlImpl::snappedValue(double v)
{
    if (!rotationCanSnap) {
        const double delta = std::abs(v - touchStartValue);
        rotationCanSnap = delta > CropController::snapEnablingDelta * 180 / std::numbers::pi;
        if (!rotationCanSnap)
            return std::nullopt;
    }
    if (auto controller = cropController.lock()) {
        if (auto s = controller->snappedAngleFor(v * std::numbers::pi / 180))
            return *s * 180 / std::numbers::pi;
    }
    return std::nullopt;
}

void StraightenLinearControlImpl::beginTracking(const Point& point)
{
    touchStartValue = value;
    touchStartPoint = point;
}

void StraightenLinearControlImpl::track(const Point& p)
{
    ui::Transaction::begin();
    ui::Transaction::setDisableActions(true);
    value = touchStartValue + (p.x - touchStartPoint.x) / pointsPerDegree;
    applyValue();
    if (auto s = snappedValue(value)) {
        value = *s;
        applyValue();
        didSnap = true;
    } else {
        didSnap = false;
    }
    ui::Transaction::commit();
}

void StraightenLinearControlImpl::resetTracking()
{
    touchStartValue = 0;
    touchStartPoint = {};
    rotationCanSnap = false;
    didSnap = false;
}

StraightenLinearControlImpl::Decoration StraightenLinearControlImpl::makeDecoration(double v, bool isLong, bool isSnapMarker)
{
    double length = 6.0;
    ui::Color tickColor = shortTickColor();
    std::optional<std::string> text;
    ui::Color labelColor = ui::Color::deviceWhite(1.0, 1);
    if (isLong && !isSnapMarker) {
        text = format(v);
        tickColor = longTickColor();
        length = 10.0;
    }
    if (v < minValue || v > maxValue) {
        tickColor = ui::Color::deviceWhite(0.1, 1);
        labelColor = ui::Color::deviceWhite(0.15, 1);
    }
    if (isSnapMarker) {
        tickColor = ui::Color::systemYellowColor();
        length = 10.0;
    }
    Decoration d;
    d.value = v;
    d.shapeLayer = shapeLayer(Shape::fill, Rect::make(0, 0, 2.0, length));
    d.shapeLayer->setFillColor(tickColor);
    if (text) {
        auto label = ui::TextLayer::layer();
        label->setString(*text);
        label->setFont(labelFont());
        label->setForegroundColor(labelColor);
        label->setAnchorPoint({0.5, 0.5});
        const graphics::Size size = labelFont().sizeOfString(*text);
        label->setBounds(Rect::make(0, 0, std::ceil(size.width), std::ceil(size.height)));
        label->setNeedsDisplay();
        d.label = label;
    }
    return d;
}

void StraightenLinearControlImpl::placeDecoration(const Decoration& d)
{
    double anchorX = 0.5;
    if (d.label) {
        if (!m_minusGlyphWidth)
            m_minusGlyphWidth = labelFont().sizeOfString("-").width;
        if (d.value < 0 && d.label->bounds().width() > 0)
            anchorX = 0.5 + (*m_minusGlyphWidth * 0.5) / d.label->bounds().width();
    }
    const double pos = dialPosition(d.value);
    d.shapeLayer->setAnchorPoint({0.5, 0.0});
    d.shapeLayer->setPosition({0, 0});
    d.shapeLayer->setAffineTransform(AffineTransform::makeTranslation(pos, 0));
    if (d.label) {
        d.label->setAnchorPoint({anchorX, 1.0});
        d.label->setPosition({0, 0});
        d.label->setAffineTransform(AffineTransform::makeTranslation(pos, m_dialLayer->bounds().maxY() + 3.0));
    }
}

void StraightenLinearControlImpl::buildLayers()
{
    m_layer->setMasksToBounds(true);
    m_layer->setBackgroundColor(ui::Color::deviceWhite(0.0, 1));
    if (!m_dialLayer) {
        m_dialLayer = ui::Layer::layer();
        m_dialLayer->setMasksToBounds(false);
        m_dialLayer->setAnchorPoint({0.5, 0.5});
        m_layer->insertSublayer(m_dialLayer, 0);
    }
    if (!m_indicator) {
        m_indicator = shapeLayer(Shape::triangle, Rect::make(0, 0, 4, 3));
        m_indicator->setFillColor(longTickColor());
        m_indicator->setAnchorPoint({0.5, 0.0});
        m_layer->addSublayer(m_indicator);
    }
    const int n = wholeDegrees();
    const double d = endValue - startValue;
    for (int i = 0; m_decorations.size() <= size_t(n); ++i) {
        const double v = startValue + d * i / n;
        Decoration decoration = makeDecoration(v, i % 5 == 0, false);
        if (decoration.label)
            m_dialLayer->addSublayer(decoration.label);
        m_dialLayer->addSublayer(decoration.shapeLayer);
        placeDecoration(decoration);
        m_decorations.push_back(std::move(decoration));
    }
    // Markers follow the crop controller's snap angles as they are now: the ones of an
    // earlier refresh go, so they never pile up or show angles that are gone.
    for (const Decoration& old : m_snapAngleDecorations)
        old.shapeLayer->removeFromSuperlayer();
    m_snapAngleDecorations.clear();
    if (auto controller = cropController.lock()) {
        for (double s : controller->snapAngles()) {
            const double v = s * 180 / -std::numbers::pi;
            Decoration marker = makeDecoration(v, false, true);
            m_dialLayer->addSublayer(marker.shapeLayer);
            placeDecoration(marker);
            m_snapAngleDecorations.push_back(std::move(marker));
        }
    }
    if (!m_minGradient) {
        const std::vector<ui::Color> colors = {ui::Color::deviceWhite(0, 1), ui::Color::deviceWhite(0, 0)};
        m_minGradient = ui::GradientLayer::layer();
        m_minGradient->setColors(colors);
        m_minGradient->setStartPoint({0, 0.5});
        m_minGradient->setEndPoint({1, 0.5});
        m_maxGradient = ui::GradientLayer::layer();
        m_maxGradient->setColors(colors);
        m_maxGradient->setStartPoint({1, 0.5});
        m_maxGradient->setEndPoint({0, 0.5});
        m_layer->addSublayer(m_minGradient);
        m_layer->addSublayer(m_maxGradient);
    }
}

void StraightenLinearControlImpl::layoutLayers()
{
    // Before the first refresh there is nothing to lay out.
    if (!m_dialLayer || !m_indicator || !m_minGradient)
        return;
    const Rect host = m_layer->bounds();
    m_dialLayer->setBounds(Rect::make(0, 0, wholeDegrees() * pointsPerDegree, 21.0));
    m_dialLayer->setPosition({host.midX(), host.midY()});
    m_dialLayer->setAffineTransform(AffineTransform::makeTranslation(value * pointsPerDegree, 0));
    for (const Decoration& d : m_decorations)
        placeDecoration(d);
    for (const Decoration& d : m_snapAngleDecorations)
        placeDecoration(d);
    m_indicator->setPosition({host.midX(), host.minY()});
    m_indicator->setAffineTransform(AffineTransform::identity());
    m_minGradient->setFrame(host.divided(40.0, graphics::RectEdge::minX).first);
    m_maxGradient->setFrame(host.divided(40.0, graphics::RectEdge::maxX).first);
}

void StraightenLinearControlImpl::refresh()
{
    buildLayers();
    layoutLayers();
    m_layer->setContentsScale(contentsScale);
    m_layer->setNeedsDisplay();
    for (const Decoration& d : m_decorations) {
        d.shapeLayer->setContentsScale(contentsScale);
        d.shapeLayer->setNeedsDisplay();
        if (d.label) {
            d.label->setContentsScale(contentsScale);
            d.label->setNeedsDisplay();
        }
    }
    for (const Decoration& d : m_snapAngleDecorations) {
        d.shapeLayer->setContentsScale(contentsScale);
        d.shapeLayer->setNeedsDisplay();
    }
}

// ---- the control ----------------------------------------------------------------------------------

StraightenLinearControl::StraightenLinearControl(const Rect& frame) : ui::Control(frame, ui::Cell::initTextCell(""))
{
}

StraightenLinearControl::~StraightenLinearControl() = default;

std::shared_ptr<StraightenLinearControl> StraightenLinearControl::initWithFrame(const Rect& frame)
{
    return std::shared_ptr<StraightenLinearControl>(new StraightenLinearControl(frame));
}

StraightenLinearControlImpl& StraightenLinearControl::impl()
{
    if (!m_impl) {
        if (!layer())
            setWantsLayer(true);
        m_impl = std::make_unique<StraightenLinearControlImpl>(layer());
    }
    return *m_impl;
}

double StraightenLinearControl::value()
{
    return impl().value;
}

void StraightenLinearControl::setValue(double value)
{
    impl().value = value;
    impl().applyValue();
}

std::shared_ptr<CropController> StraightenLinearControl::cropController()
{
    return impl().cropController.lock();
}

void StraightenLinearControl::setCropController(const std::shared_ptr<CropController>& controller)
{
    impl().cropController = controller;
}

bool StraightenLinearControl::didSnap()
{
    return impl().didSnap;
}

void StraightenLinearControl::setFrame(const Rect& frame)
{
    ui::Control::setFrame(frame);
    if (layer())
        layer()->setFrame(bounds());
    impl().layoutLayers();
}

void StraightenLinearControl::setNeedsDisplay()
{
    ui::Window* w = window();
    impl().contentsScale = w ? w->backingScaleFactor() : 1.0;
    if (layer())
        layer()->setFrame(bounds());
    impl().refresh();
}

void StraightenLinearControl::viewDidMoveToWindow()
{
    ui::Control::viewDidMoveToWindow();
    setNeedsDisplay();
}

void StraightenLinearControl::mouseDown(const ui::Event& event)
{
    impl().beginTracking(convertPoint(event.locationInWindow(), nullptr));
}

void StraightenLinearControl::mouseDragged(const ui::Event& event)
{
    impl().track(convertPoint(event.locationInWindow(), nullptr));
}

void StraightenLinearControl::mouseUp(const ui::Event& event)
{
    impl().track(convertPoint(event.locationInWindow(), nullptr));
    impl().resetTracking();
}

void StraightenLinearControl::send(const Event& event)
{
    if (m_eventHandler)
        m_eventHandler(event);
}

void StraightenLinearControl::touchesBegan(const Touches& touches)
{
    if (touches.empty())
        return;
    impl().beginTracking(touches.front());
    send(BeginTracking {});
}

void StraightenLinearControl::touchesMoved(const Touches& touches)
{
    if (touches.empty())
        return;
    impl().track(touches.front());
    send(ContinueTracking {impl().value});
}

void StraightenLinearControl::touchesEnded(const Touches&)
{
    impl().resetTracking();
    send(EndTracking {false});
}

void StraightenLinearControl::touchesCancelled(const Touches&)
{
    impl().value = impl().touchStartValue;
    impl().applyValue();
    impl().resetTracking();
    send(EndTracking {true});
}
