#include "MovaraAppKit/Controls/PaddedTextField.h"

#include "Platform/UI/BezierPath.h"
#include "Platform/UI/GraphicsContext.h"

using graphics::Rect;

namespace {

// The base cell's text rectangle narrowed by 8 points a side and centred on the height the
// text needs.
Rect paddedRect(const Rect& b, const Rect& base, double naturalHeight)
{
    const double d = b.height() - naturalHeight;
    return Rect::make(b.minX() + 8, base.minY() + d * 0.5, b.width() - 16, base.height() - d).integral();
}

void drawBox(const Rect& frame, ui::GraphicsContext& context)
{
    ui::BezierPath path = ui::BezierPath::bezierPathWithRoundedRect(frame.insetBy(0.5, 0.5), 4, 4);
    path.setLineWidth(1);
    context.setFillColor(ui::Color::controlBackgroundColor());
    context.fillPath(path);
    context.setStrokeColor(ui::Color::controlShadowColor());
    context.strokePath(path);
}

} // namespace

std::shared_ptr<PaddedTextFieldCell> PaddedTextFieldCell::initTextCell(const std::string& text)
{
    std::shared_ptr<PaddedTextFieldCell> cell(new PaddedTextFieldCell());
    cell->setStringValue(text);
    return cell;
}

Rect PaddedTextFieldCell::drawingRectForBounds(const Rect& bounds) const
{
    return paddedRect(bounds, ui::TextFieldCell::drawingRectForBounds(bounds), cellSizeForBounds(bounds).height);
}

void PaddedTextFieldCell::drawWithFrame(const Rect& frame, ui::View& view, ui::GraphicsContext& context)
{
    drawBox(frame, context);
    drawInteriorWithFrame(frame, view, context);
}

void PaddedTextFieldCell::drawFocusRingMaskWithFrame(const Rect& frame, ui::View&, ui::GraphicsContext& context)
{
    drawBox(frame, context);
}

std::shared_ptr<PaddedSecureTextFieldCell> PaddedSecureTextFieldCell::initTextCell(const std::string& text)
{
    std::shared_ptr<PaddedSecureTextFieldCell> cell(new PaddedSecureTextFieldCell());
    cell->setStringValue(text);
    return cell;
}

Rect PaddedSecureTextFieldCell::drawingRectForBounds(const Rect& bounds) const
{
    return paddedRect(bounds, ui::SecureTextFieldCell::drawingRectForBounds(bounds), cellSizeForBounds(bounds).height);
}

void PaddedSecureTextFieldCell::drawWithFrame(const Rect& frame, ui::View& view, ui::GraphicsContext& context)
{
    drawBox(frame, context);
    drawInteriorWithFrame(frame, view, context);
}

void PaddedSecureTextFieldCell::drawFocusRingMaskWithFrame(const Rect& frame, ui::View&, ui::GraphicsContext& context)
{
    drawBox(frame, context);
}

PaddedTextField::PaddedTextField(const Rect& frame)
    : ui::TextField(frame, PaddedTextFieldCell::initTextCell(""))
{
    setEditable(true);
}

std::shared_ptr<PaddedTextField> PaddedTextField::initWithFrame(const Rect& frame)
{
    return std::shared_ptr<PaddedTextField>(new PaddedTextField(frame));
}

PaddedSecureTextField::PaddedSecureTextField(const Rect& frame)
    : ui::SecureTextField(frame)
{
    setCell(PaddedSecureTextFieldCell::initTextCell(""));
    setEditable(true);
}

std::shared_ptr<PaddedSecureTextField> PaddedSecureTextField::initWithFrame(const Rect& frame)
{
    return std::shared_ptr<PaddedSecureTextField>(new PaddedSecureTextField(frame));
}
