#include "MovaraKit/Editor/EditorLayers.h"

#include <cairo.h>

#include <cmath>

#include "Platform/UI/GraphicsContext.h"

using graphics::Point;
using graphics::Rect;

// ---- no animation ---------------------------------------------------------------------------------

std::shared_ptr<NoAnimationLayer> NoAnimationLayer::layer()
{
    return std::shared_ptr<NoAnimationLayer>(new NoAnimationLayer());
}

std::optional<std::string> NoAnimationLayer::defaultActionForKey(const std::string&) const
{
    return std::nullopt;
}

std::shared_ptr<NoAnimationTextLayer> NoAnimationTextLayer::layer()
{
    return std::shared_ptr<NoAnimationTextLayer>(new NoAnimationTextLayer());
}

std::optional<std::string> NoAnimationTextLayer::defaultActionForKey(const std::string&) const
{
    return std::nullopt;
}

// ---- selection ------------------------------------------------------------------------------------

SelectionLayer::SelectionLayer()
{
    // Grabbers overhang the edges.
    setMasksToBounds(false);
    m_borderLayer = NoAnimationLayer::layer();
    m_borderLayer->setBorderColor(ui::Color::deviceRGB(0, 1, 0, 1));
    m_borderLayer->setBorderWidth(1.0);
}

std::shared_ptr<SelectionLayer> SelectionLayer::layer()
{
    return std::shared_ptr<SelectionLayer>(new SelectionLayer());
}

ui::LayerPtr& SelectionLayer::grabber(int index)
{
    ui::LayerPtr& slot = m_grabbers[size_t(index)];
    if (!slot) {
        auto g = NoAnimationLayer::layer();
        g->setDelegate(std::dynamic_pointer_cast<SelectionLayer>(shared_from_this()));
        const double side = grabberSize + 2 * grabberMargin;
        g->setBounds(Rect::make(0, 0, side, side));
        g->setNeedsDisplay();
        g->setHidden(!(m_grabberVisibilityMask & (int64_t(1) << index)));
        slot = g;
    }
    return slot;
}

std::vector<ui::LayerPtr> SelectionLayer::grabbers()
{
    std::vector<ui::LayerPtr> list;
    for (int i = 0; i < 8; ++i)
        list.push_back(grabber(i));
    return list;
}

void SelectionLayer::setGrabberVisibilityMask(int64_t mask)
{
    m_grabberVisibilityMask = mask;
    updateGrabberVisibility();
}

void SelectionLayer::updateGrabberVisibility()
{
    // The grabbers' bits follow the order of grabbers(): top is bit 0, topRight bit 7.
    for (int i = 0; i < 8; ++i)
        grabber(i)->setHidden(!(m_grabberVisibilityMask & (int64_t(1) << i)));
}

void SelectionLayer::setAffineTransform(const graphics::AffineTransform& transform)
{
    NoAnimationLayer::setAffineTransform(transform);
    setNeedsLayout();
}

void SelectionLayer::setContentsScale(double scale)
{
    const double before = contentsScale();
    NoAnimationLayer::setContentsScale(scale);
    if (contentsScale() != before) {
        for (const auto& g : grabbers())
            g->setNeedsDisplay();
    }
}

void SelectionLayer::layoutSublayers()
{
    std::vector<ui::LayerPtr> layers {m_borderLayer};
    for (const auto& g : grabbers())
        layers.push_back(g);
    setSublayers(layers);
    for (const auto& l : layers)
        l->setContentsScale(contentsScale());
    m_borderLayer->setFrame(bounds());
    const graphics::AffineTransform t = affineTransform();
    const double angle = std::atan2(t.b, t.a);
    const Rect b = bounds();
    const Point positions[8] = {{b.midX(), b.maxY()}, {b.minX(), b.maxY()}, {b.minX(), b.midY()}, {b.minX(), b.minY()},
                                {b.midX(), b.minY()}, {b.maxX(), b.minY()}, {b.maxX(), b.midY()}, {b.maxX(), b.maxY()}};
    for (int i = 0; i < 8; ++i) {
        grabber(i)->setAffineTransform(graphics::AffineTransform::makeRotation(-angle));
        grabber(i)->setPosition(positions[i]);
    }
}

void SelectionLayer::displayLayer(ui::Layer& layer)
{
    for (const auto& g : m_grabbers) {
        if (g.get() == &layer) {
            layer.setContents(grabberImage(contentsScale()));
            layer.setContentsScale(contentsScale());
            return;
        }
    }
}

namespace {

graphics::ImagePtr makeGrabberImage(double s)
{
    const double n = std::trunc((SelectionLayer::grabberSize + 2 * SelectionLayer::grabberMargin) * s);
    if (!(n >= 1) || !std::isfinite(n))
        return nullptr;
    // Drawn in pixels: one unit is one pixel, so the outline is one pixel wide at any scale.
    auto context = ui::GraphicsContext::bitmapContext({n, n}, 1.0);
    if (!context)
        return nullptr;
    const Rect square = Rect::make(3 * s, 3 * s, 6 * s, 6 * s);
    cairo_t* cr = context->cairo();
    // The shadow: black at one third, one pixel down, softened over about two pixels.
    for (int ring = 2; ring >= 0; --ring) {
        const double grow = ring * 0.75;
        context->setFillColor(ui::Color::deviceWhite(0, (1.0 / 3.0) / 3.0));
        context->fillRect(square.offsetBy(0, -1).insetBy(-grow, -grow));
    }
    // Fill and outline together, as one piece over the shadow.
    cairo_push_group(cr);
    context->setFillColor(ui::Color::deviceWhite(1, 1));
    context->fillRect(square);
    context->setStrokeColor(ui::Color::deviceWhite(0, 1));
    context->strokeRect(square.insetBy(0.5, 0.5), 1.0);
    cairo_pop_group_to_source(cr);
    cairo_paint(cr);
    return context->createImage();
}

} // namespace

graphics::ImagePtr SelectionLayer::grabberImage(double scale)
{
    static std::map<double, graphics::ImagePtr> cache;
    auto it = cache.find(scale);
    if (it != cache.end())
        return it->second;
    graphics::ImagePtr image = makeGrabberImage(scale);
    if (image)
        cache[scale] = image;
    return image;
}

// ---- alignment guide ------------------------------------------------------------------------------

AlignmentGuideLayer::AlignmentGuideLayer()
    : m_alignmentGuideColor(ui::Color::systemYellowColor())
{
    setMasksToBounds(false);
    setBackgroundColor(m_alignmentGuideColor);
}

std::shared_ptr<AlignmentGuideLayer> AlignmentGuideLayer::layer()
{
    return std::shared_ptr<AlignmentGuideLayer>(new AlignmentGuideLayer());
}

ui::Font AlignmentGuideLayer::labelFont()
{
    return ui::Font::monospacedDigitSystemFontOfSize(12, ui::FontWeight::medium);
}

void AlignmentGuideLayer::setLabel(std::optional<std::string> label)
{
    if (label != m_label)
        setNeedsLayout();
    m_label = std::move(label);
}

void AlignmentGuideLayer::setIsVertical(bool value)
{
    if (value != m_isVertical)
        setNeedsLayout();
    m_isVertical = value;
}

void AlignmentGuideLayer::layoutSublayers()
{
    if (!m_label) {
        if (m_distanceLabel) {
            m_distanceLabel->removeFromSuperlayer();
            m_distanceLabel.reset();
        }
    } else {
        if (!m_distanceLabel) {
            m_distanceLabel = NoAnimationTextLayer::layer();
            m_distanceLabel->setFont(labelFont());
            m_distanceLabel->setForegroundColor(m_alignmentGuideColor);
            m_distanceLabel->setShadowColor(ui::Color::deviceRGB(0, 0, 0, 1));
            m_distanceLabel->setShadowOffset({0, -1});
            m_distanceLabel->setShadowRadius(0);
            m_distanceLabel->setShadowOpacity(1.0);
            m_distanceLabel->setFontSize(12);
            addSublayer(m_distanceLabel);
        }
        m_distanceLabel->setString(*m_label);
        const graphics::Size measured = labelFont().sizeOfString(*m_label);
        const double w = std::ceil(measured.width), h = std::ceil(measured.height);
        const Rect b = bounds();
        if (!m_isVertical)
            m_distanceLabel->setFrame(Rect::make(std::floor(b.midX() - w / 2), b.maxY() + 2, w, h));
        else
            m_distanceLabel->setFrame(Rect::make(b.maxX() + 4, std::floor(b.midY() - h / 2), w, h));
    }
    for (const auto& sub : sublayers())
        sub->setContentsScale(contentsScale());
}
