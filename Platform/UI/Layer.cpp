#include "Platform/UI/Layer.h"

#include <cairo.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "Platform/UI/BezierPath.h"
#include "Platform/UI/GraphicsContext.h"

namespace ui {

using graphics::Rect;

namespace {

int& transactionDepth()
{
    static int depth = 0;
    return depth;
}

std::vector<bool>& disableActionsStack()
{
    static std::vector<bool> stack;
    return stack;
}

bool& disableActionsOutside()
{
    static bool value = false;
    return value;
}

BezierPath outline(const Rect& bounds, double radius)
{
    if (radius > 0)
        return BezierPath::bezierPathWithRoundedRect(bounds, radius, radius);
    return BezierPath::bezierPathWithRect(bounds);
}

} // namespace

void Transaction::begin()
{
    ++transactionDepth();
    disableActionsStack().push_back(disableActionsStack().empty() ? false : disableActionsStack().back());
}

void Transaction::commit()
{
    if (transactionDepth() == 0)
        return;
    --transactionDepth();
    disableActionsStack().pop_back();
}

bool Transaction::disableActions()
{
    return disableActionsStack().empty() ? disableActionsOutside() : disableActionsStack().back();
}

void Transaction::setDisableActions(bool value)
{
    if (disableActionsStack().empty())
        disableActionsOutside() = value;
    else
        disableActionsStack().back() = value;
}

LayerPtr Layer::layer()
{
    return LayerPtr(new Layer());
}

graphics::AffineTransform Layer::toSuperlayer() const
{
    // p - (bounds origin + anchor * size), then the transform, then the position.
    const double ax = m_bounds.origin.x + m_anchorPoint.x * m_bounds.size.width;
    const double ay = m_bounds.origin.y + m_anchorPoint.y * m_bounds.size.height;
    return graphics::AffineTransform::makeTranslation(-ax, -ay)
        .concatenating(m_transform)
        .concatenating(graphics::AffineTransform::makeTranslation(m_position.x, m_position.y));
}

graphics::AffineTransform Layer::toRoot() const
{
    graphics::AffineTransform t = graphics::AffineTransform::identity();
    for (const Layer* l = this; l; l = l->m_superlayer)
        t = t.concatenating(l->toSuperlayer());
    return t;
}

Rect Layer::frame() const
{
    return Rect {m_bounds.origin, m_bounds.size}.applying(toSuperlayer());
}

void Layer::setFrame(const Rect& frame)
{
    const Rect f = frame.standardized();
    m_position = {f.origin.x + m_anchorPoint.x * f.size.width, f.origin.y + m_anchorPoint.y * f.size.height};
    // Under a transform the bounds are the frame's size taken back through it (a layer scaled
    // by 2 and framed 10 wide is 5 wide in its own space).
    graphics::Size size = f.size;
    if (!m_transform.isIdentity()) {
        const graphics::Size back = f.size.applying(m_transform.inverted());
        size = {std::abs(back.width), std::abs(back.height)};
    }
    setBounds(Rect {m_bounds.origin, size});
}

void Layer::setBounds(const Rect& bounds)
{
    const graphics::Size old = m_bounds.size;
    m_bounds = bounds;
    const double dw = bounds.size.width - old.width;
    const double dh = bounds.size.height - old.height;
    if (dw == 0 && dh == 0)
        return;
    m_needsLayout = true;
    if (m_needsDisplayOnBoundsChange)
        m_needsDisplay = true;
    for (const auto& sub : m_sublayers) {
        const unsigned mask = sub->m_autoresizingMask;
        if (!(mask & (LayerWidthSizable | LayerHeightSizable)))
            continue;
        Rect r = sub->frame();
        if (mask & LayerWidthSizable)
            r.size.width = std::max(0.0, r.size.width + dw);
        if (mask & LayerHeightSizable)
            r.size.height = std::max(0.0, r.size.height + dh);
        sub->setFrame(r);
    }
}

graphics::Point Layer::convertPointFromLayer(const graphics::Point& point, const Layer* layer) const
{
    if (!layer || layer == this)
        return point;
    return point.applying(layer->toRoot()).applying(toRoot().inverted());
}

graphics::Point Layer::convertPointToLayer(const graphics::Point& point, const Layer* layer) const
{
    if (!layer || layer == this)
        return point;
    return layer->convertPointFromLayer(point, this);
}

Rect Layer::convertRectFromLayer(const Rect& rect, const Layer* layer) const
{
    if (!layer || layer == this || rect.isNull())
        return rect;
    return rect.applying(layer->toRoot().concatenating(toRoot().inverted()));
}

void Layer::display()
{
    m_needsDisplay = false;
    if (auto d = m_delegate.lock())
        d->displayLayer(*this);
}

void Layer::displayIfNeeded()
{
    if (m_needsDisplay)
        display();
}

void Layer::layoutIfNeeded()
{
    if (m_needsLayout) {
        m_needsLayout = false;
        layoutSublayers();
    }
    for (const auto& sub : std::vector<LayerPtr>(m_sublayers))
        sub->layoutIfNeeded();
}

std::optional<std::string> Layer::actionForKey(const std::string& key) const
{
    if (Transaction::disableActions())
        return std::nullopt;
    return defaultActionForKey(key);
}

std::optional<std::string> Layer::defaultActionForKey(const std::string& key) const
{
    // The platform fades or moves most animatable properties over a quarter of a second.
    static const char* const animatable[] = {"bounds", "position", "frame", "anchorPoint", "transform", "opacity",
                                             "hidden", "backgroundColor", "borderColor", "borderWidth", "contents",
                                             "cornerRadius", "shadowColor", "shadowOffset", "shadowOpacity", "shadowRadius",
                                             "sublayers", "onOrderIn", "onOrderOut"};
    for (const char* a : animatable) {
        if (key == a)
            return std::string("basic");
    }
    return std::nullopt;
}

void Layer::addSublayer(const LayerPtr& layer)
{
    insertSublayer(layer, m_sublayers.size());
}

void Layer::insertSublayer(const LayerPtr& layer, size_t index)
{
    if (!layer || layer.get() == this)
        return;
    auto keep = layer;
    layer->removeFromSuperlayer();
    layer->m_superlayer = this;
    m_sublayers.insert(m_sublayers.begin() + static_cast<std::ptrdiff_t>(std::min(index, m_sublayers.size())), layer);
}

void Layer::setSublayers(const std::vector<LayerPtr>& layers)
{
    const std::vector<LayerPtr> keep = layers;
    for (const auto& old : std::vector<LayerPtr>(m_sublayers))
        old->removeFromSuperlayer();
    for (const auto& layer : keep)
        addSublayer(layer);
}

void Layer::removeFromSuperlayer()
{
    Layer* parent = m_superlayer;
    if (!parent)
        return;
    m_superlayer = nullptr;
    auto& subs = parent->m_sublayers;
    subs.erase(std::remove_if(subs.begin(), subs.end(), [this](const LayerPtr& l) { return l.get() == this; }), subs.end());
}

void Layer::renderOwnContent(GraphicsContext& context)
{
    displayIfNeeded();
    const Rect b = bounds();
    if (m_backgroundColor) {
        context.setFillColor(*m_backgroundColor);
        context.fillPath(outline(b, m_cornerRadius));
    }
    context.saveGState();
    if (m_masksToBounds)
        context.clipToPath(outline(b, m_cornerRadius));
    if (m_contents)
        context.drawBitmap(m_contents, b);
    drawInContext(context);
    context.restoreGState();
}

void Layer::renderSublayers(GraphicsContext& context)
{
    if (m_sublayers.empty())
        return;
    context.saveGState();
    if (m_masksToBounds)
        context.clipToPath(outline(bounds(), m_cornerRadius));
    for (const auto& sub : std::vector<LayerPtr>(m_sublayers))
        sub->renderInContext(context);
    context.restoreGState();
}

void Layer::renderBody(GraphicsContext& context)
{
    renderOwnContent(context);
    renderSublayers(context);
    if (m_borderWidth > 0 && m_borderColor) {
        // Drawn inside the bounds, over the sublayers.
        const Rect b = bounds();
        const double w = std::min({m_borderWidth, b.width() / 2, b.height() / 2});
        if (w > 0) {
            context.setStrokeColor(*m_borderColor);
            context.strokeRect(b.insetBy(w / 2, w / 2), w);
        }
    }
}

void Layer::renderInContext(GraphicsContext& context)
{
    if (m_hidden || m_opacity <= 0)
        return;
    layoutIfNeeded();
    cairo_t* cr = context.cairo();
    context.saveGState();
    const bool translucent = m_opacity < 1.0;
    if (translucent)
        cairo_push_group(cr);
    if (m_shadowColor && m_shadowOpacity > 0) {
        // The body's alpha, moved by the offset (in the superlayer's space), painted in the
        // shadow colour under the body. The blur radius is not rendered.
        cairo_push_group(cr);
        context.saveGState();
        context.translate(m_shadowOffset.width, m_shadowOffset.height);
        context.concat(toSuperlayer());
        renderBody(context);
        context.restoreGState();
        cairo_pattern_t* shadow = cairo_pop_group(cr);
        const auto c = m_shadowColor->rgba(context.appearance());
        cairo_set_source_rgba(cr, c.red, c.green, c.blue, c.alpha * m_shadowOpacity);
        cairo_mask(cr, shadow);
        cairo_pattern_destroy(shadow);
    }
    context.concat(toSuperlayer());
    renderBody(context);
    if (translucent) {
        cairo_pop_group_to_source(cr);
        cairo_paint_with_alpha(cr, m_opacity);
    }
    context.restoreGState();
}

std::unique_ptr<GraphicsContext> Layer::snapshot(double scale)
{
    layoutIfNeeded();
    const Rect f = frame();
    auto context = GraphicsContext::bitmapContext(f.size, scale);
    if (!context)
        return nullptr;
    context->translate(-f.origin.x, -f.origin.y);
    renderInContext(*context);
    return context;
}

// ---- shape and text ------------------------------------------------------------------------------

std::shared_ptr<ShapeLayer> ShapeLayer::layer()
{
    return std::shared_ptr<ShapeLayer>(new ShapeLayer());
}

void ShapeLayer::drawInContext(GraphicsContext& context)
{
    if (!m_fillColor || m_path.isEmpty())
        return;
    context.setFillColor(*m_fillColor);
    context.fillPath(m_path);
}

std::shared_ptr<TextLayer> TextLayer::layer()
{
    return std::shared_ptr<TextLayer>(new TextLayer());
}

void TextLayer::drawInContext(GraphicsContext& context)
{
    TextAttributes attributes;
    attributes.font = m_font;
    attributes.foregroundColor = m_foregroundColor;
    attributes.alignment = TextAlignment::left;
    attributes.lineBreakMode = LineBreakMode::clipping;
    context.drawText(AttributedString(m_string, attributes), bounds(), false);
}

// ---- gradient --------------------------------------------------------------------------------

std::shared_ptr<GradientLayer> GradientLayer::layer()
{
    return std::shared_ptr<GradientLayer>(new GradientLayer());
}

void GradientLayer::drawInContext(GraphicsContext& context)
{
    if (m_colors.empty())
        return;
    const Rect b = bounds();
    cairo_t* cr = context.cairo();
    cairo_pattern_t* pattern = cairo_pattern_create_linear(b.minX() + m_start.x * b.width(), b.minY() + m_start.y * b.height(),
                                                           b.minX() + m_end.x * b.width(), b.minY() + m_end.y * b.height());
    const size_t n = m_colors.size();
    for (size_t i = 0; i < n; ++i) {
        const auto c = m_colors[i].rgba(context.appearance());
        const double at = n == 1 ? 0.0 : static_cast<double>(i) / static_cast<double>(n - 1);
        cairo_pattern_add_color_stop_rgba(pattern, at, c.red, c.green, c.blue, c.alpha);
    }
    cairo_save(cr);
    cairo_new_path(cr);
    cairo_rectangle(cr, b.minX(), b.minY(), b.width(), b.height());
    cairo_set_source(cr, pattern);
    cairo_fill(cr);
    cairo_restore(cr);
    cairo_pattern_destroy(pattern);
}

// ---- player ----------------------------------------------------------------------------------

std::shared_ptr<PlayerLayer> PlayerLayer::playerLayerWithPlayer(media::PlayerPtr player)
{
    std::shared_ptr<PlayerLayer> layer(new PlayerLayer());
    layer->m_player = std::move(player);
    return layer;
}

Rect PlayerLayer::videoRectForFrameSize(graphics::Size frameSize) const
{
    const Rect b = bounds();
    if (m_gravity == LayerVideoGravity::resize || !(frameSize.width > 0) || !(frameSize.height > 0))
        return b;
    const double sx = b.width() / frameSize.width;
    const double sy = b.height() / frameSize.height;
    const double s = m_gravity == LayerVideoGravity::resizeAspect ? std::min(sx, sy) : std::max(sx, sy);
    const double w = frameSize.width * s;
    const double h = frameSize.height * s;
    return Rect::make(b.midX() - w / 2, b.midY() - h / 2, w, h);
}

void PlayerLayer::drawInContext(GraphicsContext& context)
{
    if (!m_player)
        return;
    auto item = m_player->currentItem();
    if (!item || item->status() != media::PlayerItemStatus::readyToPlay)
        return;
    auto frame = item->copyImageAtTime(m_player->currentTime());
    if (!frame)
        return;
    context.saveGState();
    context.clipToRect(bounds());
    context.drawBitmap(frame, videoRectForFrameSize({double(frame->width()), double(frame->height())}));
    context.restoreGState();
}

} // namespace ui
