#include "Platform/UI/Box.h"

#include "Platform/UI/BezierPath.h"
#include "Platform/UI/GraphicsContext.h"

namespace ui {

using graphics::Rect;

Box::Box(const Rect& frame)
    : View(frame)
{
}

std::shared_ptr<Box> Box::initWithFrame(const Rect& frame)
{
    auto box = std::shared_ptr<Box>(new Box(frame));
    box->setContentView(View::initWithFrame(Rect::zero()));
    return box;
}

void Box::setTitle(const std::string& title)
{
    m_title = title;
    layoutContent();
}

void Box::setTitlePosition(TitlePosition position)
{
    m_titlePosition = position;
    layoutContent();
}

void Box::setBoxType(BoxType type)
{
    m_boxType = type;
    layoutContent();
}

void Box::setTransparent(bool value)
{
    m_transparent = value;
    setNeedsDisplay(true);
}

void Box::setFillColor(const Color& color)
{
    m_fillColor = color;
    setNeedsDisplay(true);
}

void Box::setBorderColor(const Color& color)
{
    m_borderColor = color;
    setNeedsDisplay(true);
}

void Box::setBorderWidth(double width)
{
    m_borderWidth = width;
    setNeedsDisplay(true);
}

void Box::setCornerRadius(double radius)
{
    m_cornerRadius = radius;
    setNeedsDisplay(true);
}

void Box::setContentViewMargins(graphics::Size margins)
{
    m_margins = margins;
    layoutContent();
}

void Box::setContentView(const std::shared_ptr<View>& view)
{
    if (m_contentView)
        m_contentView->removeFromSuperview();
    m_contentView = view;
    if (view) {
        addSubview(view);
        layoutContent();
    }
}

Rect Box::borderRect() const
{
    const Rect b = bounds();
    if (m_titlePosition == TitlePosition::noTitle || m_title.empty() || m_boxType == BoxType::separator)
        return b;
    const double titleHeight = m_titleFont.lineHeight() + 2;
    return Rect::make(b.minX(), b.minY(), b.width(), std::max(0.0, b.height() - titleHeight));
}

void Box::setFrame(const Rect& frame)
{
    View::setFrame(frame);
    layoutContent();
}

void Box::layoutContent()
{
    setNeedsDisplay(true);
    if (!m_contentView)
        return;
    const Rect r = borderRect();
    m_contentView->setFrame(Rect::make(r.minX() + m_margins.width, r.minY() + m_margins.height,
                                       std::max(0.0, r.width() - 2 * m_margins.width),
                                       std::max(0.0, r.height() - 2 * m_margins.height)));
}

void Box::draw(const Rect&, GraphicsContext& context)
{
    if (m_transparent)
        return;
    const Rect b = bounds();
    if (m_boxType == BoxType::separator) {
        context.setFillColor(Color::separatorColor());
        if (b.width() >= b.height())
            context.fillRect(Rect::make(b.minX(), b.midY() - 0.5, b.width(), 1));
        else
            context.fillRect(Rect::make(b.midX() - 0.5, b.minY(), 1, b.height()));
        return;
    }
    const Rect r = borderRect();
    if (m_titlePosition != TitlePosition::noTitle && !m_title.empty()) {
        TextAttributes a;
        a.font = m_titleFont;
        a.foregroundColor = Color::secondaryLabelColor();
        context.drawText(AttributedString(m_title, a), Rect::make(b.minX() + 4, r.maxY(), b.width() - 8, b.maxY() - r.maxY()));
    }
    const bool custom = m_boxType == BoxType::custom;
    const double radius = custom ? m_cornerRadius : 5;
    const double lw = custom ? m_borderWidth : 1;
    const Rect inner = r.insetBy(lw / 2, lw / 2);
    if (inner.isNull())
        return;
    BezierPath path = BezierPath::bezierPathWithRoundedRect(inner, radius, radius);
    context.setFillColor(custom ? m_fillColor : Color::quaternaryLabelColor().withAlphaComponent(0.05));
    context.fillPath(path);
    if (lw > 0) {
        path.setLineWidth(lw);
        context.setStrokeColor(custom ? m_borderColor : Color::separatorColor());
        context.strokePath(path);
    }
}

} // namespace ui
