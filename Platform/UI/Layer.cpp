#include "Platform/UI/Layer.h"

#include <cairo.h>

#include <algorithm>

#include "Platform/UI/BezierPath.h"
#include "Platform/UI/GraphicsContext.h"

namespace ui {

using graphics::Rect;

LayerPtr Layer::layer()
{
    return LayerPtr(new Layer());
}

void Layer::setFrame(const Rect& frame)
{
    const graphics::Size old = m_frame.size;
    m_frame = frame;
    const double dw = frame.size.width - old.width;
    const double dh = frame.size.height - old.height;
    if (dw == 0 && dh == 0)
        return;
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

void Layer::addSublayer(const LayerPtr& layer)
{
    if (!layer || layer.get() == this)
        return;
    auto keep = layer;
    layer->removeFromSuperlayer();
    layer->m_superlayer = this;
    m_sublayers.push_back(layer);
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

namespace {

BezierPath outline(const Rect& bounds, double radius)
{
    if (radius > 0)
        return BezierPath::bezierPathWithRoundedRect(bounds, radius, radius);
    return BezierPath::bezierPathWithRect(bounds);
}

} // namespace

void Layer::renderOwnContent(GraphicsContext& context)
{
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
    m_needsDisplay = false;
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

void Layer::renderInContext(GraphicsContext& context)
{
    if (m_hidden || m_opacity <= 0)
        return;
    cairo_t* cr = context.cairo();
    context.saveGState();
    context.translate(m_frame.origin.x, m_frame.origin.y);
    const bool translucent = m_opacity < 1.0;
    if (translucent)
        cairo_push_group(cr);
    renderOwnContent(context);
    renderSublayers(context);
    if (translucent) {
        cairo_pop_group_to_source(cr);
        cairo_paint_with_alpha(cr, m_opacity);
    }
    context.restoreGState();
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
