#include "MovaraAppKit/Controls/MovaraButtonCell.h"

#include <algorithm>

#include "MovaraAppKit/Controls/Image+Movara.h"
#include "MovaraAppKit/Shell/PlatformExtensions.h"
#include "Platform/Foundation/Bundle.h"
#include "Platform/UI/GraphicsContext.h"
#include "Platform/UI/View.h"
#include "Platform/UI/Window.h"

using graphics::Rect;

std::shared_ptr<MovaraButtonCell> MovaraButtonCell::initTextCell(const std::string& title)
{
    std::shared_ptr<MovaraButtonCell> cell(new MovaraButtonCell());
    cell->setTitle(title);
    cell->setBordered(true);
    return cell;
}

std::shared_ptr<MovaraButtonCell> MovaraButtonCell::initImageCell(ui::ImagePtr image)
{
    std::shared_ptr<MovaraButtonCell> cell(new MovaraButtonCell());
    cell->setImage(std::move(image));
    cell->setImagePosition(ui::ImagePosition::imageOnly);
    cell->setBordered(true);
    return cell;
}

std::shared_ptr<MovaraButtonCell> MovaraButtonCell::copy() const
{
    std::shared_ptr<MovaraButtonCell> c(new MovaraButtonCell());
    c->setTitle(title());
    c->setAlternateTitle(alternateTitle());
    c->setButtonType(buttonType());
    c->setBezelStyle(bezelStyle());
    c->setImagePosition(imagePosition());
    c->setKeyEquivalent(keyEquivalent());
    c->setKeyEquivalentModifierMask(keyEquivalentModifierMask());
    c->setImage(image());
    c->setEnabled(isEnabled());
    c->setHighlighted(isHighlighted());
    c->setState(state());
    c->setBordered(isBordered());
    c->setFont(font());
    c->setAlignment(alignment());
    c->setTag(tag());
    c->m_textColor = m_textColor;
    c->m_bgColor = m_bgColor;
    c->m_defaultBgColor = m_defaultBgColor;
    c->m_isDrawingInTitleBar = m_isDrawingInTitleBar;
    c->m_backgroundImageName = m_backgroundImageName;
    c->m_backgroundImage = m_backgroundImage ? m_backgroundImage->copy() : nullptr;
    c->m_highlightedBackgroundImage = m_highlightedBackgroundImage ? m_highlightedBackgroundImage->copy() : nullptr;
    c->m_disableddbackgroundImage = m_disableddbackgroundImage ? m_disableddbackgroundImage->copy() : nullptr;
    return c;
}

// Function-local statics: made once, safely against concurrent first use.
const ui::Color& MovaraButtonCell::defaultButtonColor()
{
    static const ui::Color c = ui::Color::calibratedRGB(59.0 / 255.0, 153.0 / 255.0, 252.0 / 255.0);
    return c;
}

const ui::Color& MovaraButtonCell::lightButtonColor()
{
    static const ui::Color c = ui::Color::calibratedRGB(220.0 / 255.0, 220.0 / 255.0, 220.0 / 255.0);
    return c;
}

const ui::Color& MovaraButtonCell::darkButtonColor()
{
    static const ui::Color c = ui::Color::calibratedRGB(59.0 / 255.0, 59.0 / 255.0, 59.0 / 255.0);
    return c;
}

const ui::Color& MovaraButtonCell::darkDisabledButtonColor()
{
    static const ui::Color c = ui::Color::calibratedRGB(50.0 / 255.0, 50.0 / 255.0, 50.0 / 255.0);
    return c;
}

const ui::Color& MovaraButtonCell::lightDisabledButtonColor()
{
    static const ui::Color c = ui::Color::calibratedRGB(0.667, 0.667, 0.667);
    return c;
}

ui::Color MovaraButtonCell::shiftedColor(const ui::Color& color, double delta, const ui::AppearancePtr& appearance)
{
    const auto c = color.rgba(appearance);
    auto clamp = [](double v) { return std::clamp(v, 0.0, 1.0); };
    return ui::Color::calibratedRGB(clamp(c.red + delta), clamp(c.green + delta), clamp(c.blue + delta), c.alpha);
}

void MovaraButtonCell::setBackgroundImageName(std::optional<std::string> name)
{
    m_backgroundImageName = name;
    if (!name || name->empty())
        return;
    ui::ImagePtr image = mvr_imageForResource(mvr_movaraAppKitBundle(), *name);
    if (!image)
        image = mvr_imageForResource(foundation::Bundle::main(), *name);
    if (!image)
        return;
    m_backgroundImage = image;
    m_highlightedBackgroundImage = mvr_imageTinted(*image, ui::Color::calibratedWhite(0.3, 0.3));
    m_disableddbackgroundImage = mvr_imageTinted(*image, ui::Color::calibratedWhite(1.0, 0.5));
}

ui::AttributedString MovaraButtonCell::attributedTitle() const
{
    std::optional<ui::Color> color;
    if (!isEnabled())
        color = ui::Color::disabledControlTextColor();
    else if (isHighlighted())
        color = ui::Color::controlTextColor();
    else
        color = m_textColor;
    if (!color)
        return ui::ButtonCell::attributedTitle();
    ui::TextAttributes a;
    a.foregroundColor = *color;
    a.alignment = ui::TextAlignment::center;
    a.font = font();
    return ui::AttributedString(title(), a);
}

Rect MovaraButtonCell::bezelRectForFrame(const Rect& frame) const
{
    if (m_isDrawingInTitleBar)
        return frame.insetBy(2, 4).integral();
    Rect r = frame.insetBy(7, 6);
    r.origin.y -= 2;
    return r.integral();
}

void MovaraButtonCell::drawBezelWithFrame(const Rect& frame, ui::View& view, ui::GraphicsContext& context)
{
    Rect rect = bezelRectForFrame(frame);
    if (m_backgroundImageName) {
        ui::ImagePtr image = !isEnabled() ? m_disableddbackgroundImage
            : isHighlighted()             ? m_highlightedBackgroundImage
                                          : m_backgroundImage;
        if (image)
            context.drawImage(*image, rect);
        return;
    }

    const ui::AppearancePtr appearance = view.effectiveAppearance();
    const auto match = appearance ? appearance->bestMatchFromAppearancesWithNames({ui::NSAppearanceNameAqua, ui::NSAppearanceNameDarkAqua})
                                  : std::nullopt;
    const bool dark = match && *match == ui::NSAppearanceNameDarkAqua;

    ui::Color base;
    bool ownColor = false;
    if (!isEnabled()) {
        base = dark ? darkDisabledButtonColor() : lightDisabledButtonColor();
    } else if (keyEquivalent() == "\r") {
        base = m_defaultBgColor.value_or(defaultButtonColor());
        ownColor = true;
    } else if (m_bgColor) {
        base = *m_bgColor;
        ownColor = true;
    } else {
        base = dark ? darkButtonColor() : lightButtonColor();
    }
    if (base.rgba(appearance).alpha == 0)
        return;

    ui::Color fill = base;
    if (isHighlighted())
        fill = ownColor ? shiftedColor(base, -0.2, appearance) : shiftedColor(lightButtonColor(), -0.4, appearance);

    // On a 1x screen a one-point line centred on a whole coordinate straddles two pixels.
    if (view.window() && view.window()->backingScaleFactor() == 1.0)
        rect = rect.insetBy(0.5, 0.5);
    ui::BezierPath path = ui::BezierPath::bezierPathWithRoundedRect(rect, 4, 4);
    context.setFillColor(fill);
    context.fillPath(path);
    drawBorderAround(path, fill, context);
}

void MovaraButtonCell::drawBorderAround(const ui::BezierPath& path, const ui::Color& fillColor, ui::GraphicsContext& context)
{
    context.setStrokeColor(shiftedColor(fillColor, -0.1, context.appearance()));
    context.strokePath(path);
}
