#include "Platform/UI/Cell.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "Platform/Foundation/Observable.h"
#include "Platform/UI/Application.h"
#include "Platform/UI/BezierPath.h"
#include "Platform/UI/Formatter.h"
#include "Platform/UI/GraphicsContext.h"
#include "Platform/UI/View.h"
#include "Platform/UI/Window.h"

namespace ui {

using graphics::Rect;
using graphics::Size;

namespace {

std::string numberText(double d)
{
    if (std::isnan(d))
        return "NaN";
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.15g", d);
    return buf;
}

} // namespace

// ---- Cell -------------------------------------------------------------------------------------

std::shared_ptr<Cell> Cell::initTextCell(const std::string& text)
{
    std::shared_ptr<Cell> cell(new Cell());
    cell->setStringValue(text);
    return cell;
}

void Cell::setObjectValue(const std::any& value)
{
    m_value = value;
    if (m_controlView)
        m_controlView->setNeedsDisplay(true);
}

std::string Cell::stringValue() const
{
    if (!m_value.has_value())
        return {};
    if (m_formatter) {
        if (auto s = m_formatter->stringForObjectValue(m_value))
            return *s;
    }
    if (const auto* s = std::any_cast<std::string>(&m_value))
        return *s;
    if (const auto* s = std::any_cast<const char*>(&m_value))
        return *s ? *s : "";
    if (const auto* b = std::any_cast<bool>(&m_value))
        return *b ? "1" : "0";
    bool ok = false;
    const double d = foundation::detail::anyToDouble(m_value, ok);
    if (ok)
        return numberText(d);
    return {};
}

void Cell::setStringValue(const std::string& value)
{
    if (m_formatter) {
        std::any parsed;
        if (m_formatter->getObjectValue(&parsed, value, nullptr)) {
            setObjectValue(parsed);
            return;
        }
    }
    setObjectValue(value);
}

double Cell::doubleValue() const
{
    bool ok = false;
    const double d = foundation::detail::anyToDouble(m_value, ok);
    if (ok)
        return d;
    if (const auto* s = std::any_cast<std::string>(&m_value))
        return std::strtod(s->c_str(), nullptr);
    return 0.0;
}

void Cell::setState(ControlStateValue state)
{
    if (state == ControlStateValueMixed && !m_allowsMixedState)
        state = ControlStateValueOn;
    else if (state != ControlStateValueMixed && state != ControlStateValueOff)
        state = ControlStateValueOn;
    m_state = state;
    if (m_controlView)
        m_controlView->setNeedsDisplay(true);
}

AppearancePtr Cell::effectiveAppearance() const
{
    return m_controlView ? m_controlView->effectiveAppearance() : Application::shared()->effectiveAppearance();
}

Size Cell::cellSize() const
{
    const Size text = m_font.sizeOfString(stringValue());
    return Size{std::ceil(text.width) + 4, std::ceil(text.height) + 2};
}

Size Cell::cellSizeForBounds(const Rect&) const
{
    return cellSize();
}

Rect Cell::drawingRectForBounds(const Rect& bounds) const
{
    return bounds;
}

AttributedString Cell::attributedStringValue() const
{
    TextAttributes a;
    a.font = m_font;
    a.alignment = m_alignment;
    a.lineBreakMode = m_lineBreakMode;
    a.foregroundColor = m_enabled ? Color::controlTextColor() : Color::disabledControlTextColor();
    return AttributedString(stringValue(), a);
}

void Cell::drawWithFrame(const Rect& frame, View& view, GraphicsContext& context)
{
    drawInteriorWithFrame(frame, view, context);
}

void Cell::drawInteriorWithFrame(const Rect& frame, View&, GraphicsContext& context)
{
    context.drawText(attributedStringValue(), drawingRectForBounds(frame));
}

void Cell::drawFocusRingMaskWithFrame(const Rect& frame, View&, GraphicsContext& context)
{
    context.fillRect(frame);
}

// ---- ButtonCell -------------------------------------------------------------------------------

std::shared_ptr<ButtonCell> ButtonCell::initTextCell(const std::string& title)
{
    std::shared_ptr<ButtonCell> cell(new ButtonCell());
    cell->setTitle(title);
    cell->setBordered(true);
    cell->setAlignment(TextAlignment::center);
    return cell;
}

std::shared_ptr<ButtonCell> ButtonCell::initImageCell(ImagePtr image)
{
    std::shared_ptr<ButtonCell> cell(new ButtonCell());
    cell->setImage(std::move(image));
    cell->setImagePosition(ImagePosition::imageOnly);
    cell->setBordered(true);
    cell->setAlignment(TextAlignment::center);
    return cell;
}

AttributedString ButtonCell::attributedTitle() const
{
    if (m_attributedTitle && m_attributedTitle->string() == m_title)
        return *m_attributedTitle;
    TextAttributes a;
    a.font = font();
    a.alignment = alignment() == TextAlignment::natural ? TextAlignment::center : alignment();
    return AttributedString(m_title, a);
}

void ButtonCell::setAttributedTitle(const AttributedString& title)
{
    m_title = title.string();
    m_attributedTitle = title;
    if (controlView())
        controlView()->setNeedsDisplay(true);
}

void ButtonCell::setButtonType(ButtonType type)
{
    m_buttonType = type;
    if (type == ButtonType::switchButton || type == ButtonType::radio) {
        setBordered(false);
        setAlignment(TextAlignment::left);
        setImagePosition(ImagePosition::imageLeft);
    }
}

bool ButtonCell::changesState() const
{
    switch (m_buttonType) {
    case ButtonType::pushOnPushOff:
    case ButtonType::toggle:
    case ButtonType::switchButton:
    case ButtonType::radio:
    case ButtonType::onOff:
        return true;
    default:
        return false;
    }
}

void ButtonCell::advanceState()
{
    if (!changesState())
        return;
    if (m_buttonType == ButtonType::radio) {
        setState(ControlStateValueOn);
        return;
    }
    // Off -> on -> (mixed ->) off, as the platform cycles.
    if (state() == ControlStateValueOff)
        setState(ControlStateValueOn);
    else if (state() == ControlStateValueOn && allowsMixedState())
        setState(ControlStateValueMixed);
    else
        setState(ControlStateValueOff);
}

Size ButtonCell::cellSize() const
{
    const Size text = font().sizeOfString(m_title);
    if (m_buttonType == ButtonType::switchButton || m_buttonType == ButtonType::radio)
        return Size{std::ceil(text.width) + 22, std::max(18.0, std::ceil(text.height) + 2)};
    double width = std::ceil(text.width) + (isBordered() ? 28 : 4);
    if (image() && m_imagePosition != ImagePosition::noImage)
        width += image()->size().width + 4;
    return Size{width, isBordered() ? 28.0 : std::ceil(text.height) + 4};
}

void ButtonCell::drawWithFrame(const Rect& frame, View& view, GraphicsContext& context)
{
    const bool isCheck = m_buttonType == ButtonType::switchButton || m_buttonType == ButtonType::radio;
    if (isCheck) {
        // A box (or circle) with a mark, then the title beside it.
        const double s = 14;
        const Rect box = Rect::make(frame.minX() + 1, frame.midY() - s / 2, s, s);
        const bool on = state() != ControlStateValueOff;
        BezierPath path = m_buttonType == ButtonType::radio ? BezierPath::bezierPathWithOvalInRect(box)
                                                            : BezierPath::bezierPathWithRoundedRect(box, 3, 3);
        context.setFillColor(on ? Color::controlAccentColor() : Color::controlColor());
        if (!isEnabled())
            context.setFillColor(on ? Color::controlAccentColor().withAlphaComponent(0.4) : Color::controlColor());
        context.fillPath(path);
        if (!on) {
            context.setStrokeColor(Color::secondaryLabelColor());
            path.setLineWidth(1.0);
            context.strokePath(path);
        } else if (m_buttonType == ButtonType::radio) {
            context.setFillColor(Color::white());
            context.fillPath(BezierPath::bezierPathWithOvalInRect(box.insetBy(4.5, 4.5)));
        } else {
            BezierPath mark;
            if (state() == ControlStateValueMixed) {
                mark.moveToPoint({box.minX() + 3.5, box.midY()});
                mark.lineToPoint({box.maxX() - 3.5, box.midY()});
            } else {
                mark.moveToPoint({box.minX() + 3.5, box.midY()});
                mark.lineToPoint({box.minX() + 6, box.minY() + 3.5});
                mark.lineToPoint({box.maxX() - 3, box.maxY() - 3.5});
            }
            mark.setLineWidth(2.0);
            context.setStrokeColor(Color::white());
            context.strokePath(mark);
        }
        AttributedString title = attributedTitle();
        title.attributes().alignment = TextAlignment::left;
        drawTitle(title, Rect::make(box.maxX() + 5, frame.minY(), std::max(0.0, frame.maxX() - box.maxX() - 5), frame.height()),
                  view, context);
        return;
    }
    if (isBordered())
        drawBezelWithFrame(frame, view, context);
    Rect content = isBordered() ? frame.insetBy(8, 2) : frame;
    if (image() && m_imagePosition != ImagePosition::noImage) {
        const Size is = image()->size();
        if (m_imagePosition == ImagePosition::imageOnly || m_title.empty()) {
            drawImage(image(), Rect::make(frame.midX() - is.width / 2, frame.midY() - is.height / 2, is.width, is.height), view,
                      context);
            return;
        }
        drawImage(image(), Rect::make(content.minX(), content.midY() - is.height / 2, is.width, is.height), view, context);
        content = Rect::make(content.minX() + is.width + 4, content.minY(), std::max(0.0, content.width() - is.width - 4),
                             content.height());
    }
    drawTitle(attributedTitle(), content, view, context);
}

void ButtonCell::drawBezelWithFrame(const Rect& frame, View&, GraphicsContext& context)
{
    // A flat rounded rectangle: accent blue for the default button, the control colour else.
    const Rect r = frame.insetBy(2, 2);
    if (r.isNull())
        return;
    const bool isDefault = m_keyEquivalent == "\r";
    Color fill = m_backgroundColor.value_or(isDefault ? Color::controlAccentColor() : Color::controlColor());
    if (isHighlighted()) {
        const auto c = fill.rgba(context.appearance());
        fill = Color::deviceRGB(c.red * 0.82, c.green * 0.82, c.blue * 0.82, c.alpha);
    }
    if (!isEnabled())
        fill = fill.withAlphaComponent(fill.rgba(context.appearance()).alpha * 0.5);
    BezierPath path = BezierPath::bezierPathWithRoundedRect(r, 5, 5);
    context.setFillColor(fill);
    context.fillPath(path);
    if (!isDefault && !(context.appearance() && context.appearance()->isDark())) {
        path = BezierPath::bezierPathWithRoundedRect(r.insetBy(0.25, 0.25), 5, 5);
        path.setLineWidth(0.5);
        context.setStrokeColor(Color::calibratedWhite(0, 0.2));
        context.strokePath(path);
    }
}

void ButtonCell::drawImage(const ImagePtr& image, const Rect& frame, View&, GraphicsContext& context)
{
    if (image)
        context.drawImage(*image, frame, isEnabled() ? 1.0 : 0.5);
}

Rect ButtonCell::drawTitle(const AttributedString& title, const Rect& frame, View&, GraphicsContext& context)
{
    AttributedString t = title;
    if (!t.attributes().foregroundColor) {
        if (!isEnabled())
            t.attributes().foregroundColor = Color::disabledControlTextColor();
        else if (m_keyEquivalent == "\r" && isBordered() && !m_backgroundColor)
            t.attributes().foregroundColor = Color::white();
        else
            t.attributes().foregroundColor = Color::controlTextColor();
    }
    if (!t.attributes().font)
        t.attributes().font = font();
    context.drawText(t, frame);
    return frame;
}

// ---- TextFieldCell ----------------------------------------------------------------------------

std::shared_ptr<TextFieldCell> TextFieldCell::initTextCell(const std::string& text)
{
    std::shared_ptr<TextFieldCell> cell(new TextFieldCell());
    cell->setStringValue(text);
    return cell;
}

AttributedString TextFieldCell::attributedStringValue() const
{
    AttributedString s = Cell::attributedStringValue();
    if (m_editingText)
        s = AttributedString(*m_editingText, s.attributes());
    if (m_echosBullets) {
        std::string bullets;
        // One bullet per character (UTF-8 lead byte), not per byte.
        for (unsigned char c : s.string()) {
            if ((c & 0xC0) != 0x80)
                bullets += "\u2022";
        }
        s = AttributedString(bullets, s.attributes());
    }
    if (isEnabled())
        s.attributes().foregroundColor = m_textColor.value_or(Color::labelColor());
    return s;
}

Size TextFieldCell::cellSizeForBounds(const Rect& bounds) const
{
    const bool framed = isBezeled() || isBordered();
    const graphics::EdgeInsets in = framed ? m_insets : graphics::EdgeInsets{1, 2, 1, 2};
    const bool wraps = lineBreakMode() == LineBreakMode::wordWrapping || lineBreakMode() == LineBreakMode::charWrapping;
    const std::string text = stringValue().empty() ? m_placeholder : stringValue();
    const Size t = font().sizeOfString(text.empty() ? std::string("X") : text,
                                       wraps ? std::max(1.0, bounds.width() - in.left - in.right) : 0);
    const double width = text.empty() ? in.left + in.right : std::ceil(t.width) + in.left + in.right;
    return Size{width, std::ceil(t.height) + in.top + in.bottom};
}

Rect TextFieldCell::drawingRectForBounds(const Rect& bounds) const
{
    const bool framed = isBezeled() || isBordered();
    const graphics::EdgeInsets in = framed ? m_insets : graphics::EdgeInsets{0, 2, 0, 2};
    const Rect r = Rect::make(bounds.minX() + in.left, bounds.minY() + in.bottom,
                              std::max(0.0, bounds.width() - in.left - in.right),
                              std::max(0.0, bounds.height() - in.top - in.bottom));
    return r;
}

void TextFieldCell::drawWithFrame(const Rect& frame, View& view, GraphicsContext& context)
{
    if (isBezeled() || isBordered()) {
        const Rect r = frame.insetBy(0.5, 0.5);
        BezierPath path = isBezeled() ? BezierPath::bezierPathWithRoundedRect(r, 4, 4) : BezierPath::bezierPathWithRect(r);
        context.setFillColor(m_backgroundColor.value_or(Color::controlBackgroundColor()));
        context.fillPath(path);
        path.setLineWidth(1.0);
        const bool dark = context.appearance() && context.appearance()->isDark();
        context.setStrokeColor(dark ? Color::calibratedWhite(1, 0.18) : Color::calibratedWhite(0, 0.18));
        context.strokePath(path);
    } else if (m_drawsBackground && m_backgroundColor) {
        context.setFillColor(*m_backgroundColor);
        context.fillRect(frame);
    }
    drawInteriorWithFrame(frame, view, context);
}

void TextFieldCell::drawInteriorWithFrame(const Rect& frame, View& view, GraphicsContext& context)
{
    AttributedString s = attributedStringValue();
    if (s.string().empty() && !m_placeholder.empty()) {
        s = AttributedString(m_placeholder, s.attributes());
        s.attributes().foregroundColor = Color::placeholderTextColor();
    }
    const bool wraps = lineBreakMode() == LineBreakMode::wordWrapping || lineBreakMode() == LineBreakMode::charWrapping;
    context.drawText(s, drawingRectForBounds(frame), !wraps);
    // The caret of the field being typed into, after the text (where typing goes), while its
    // window takes the keys.
    Window* window = view.window();
    if (m_editingText && window && window->isKeyWindow()) {
        const Rect caret = context.caretRectAtEndOfText(attributedStringValue(), drawingRectForBounds(frame), !wraps);
        context.setFillColor(m_textColor.value_or(Color::labelColor()));
        context.fillRect(caret);
    }
}

std::shared_ptr<SecureTextFieldCell> SecureTextFieldCell::initTextCell(const std::string& text)
{
    std::shared_ptr<SecureTextFieldCell> cell(new SecureTextFieldCell());
    cell->setStringValue(text);
    return cell;
}

SecureTextFieldCell::SecureTextFieldCell()
{
    setEchosBullets(true);
}

} // namespace ui
