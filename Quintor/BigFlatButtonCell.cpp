#include "Quintor/BigFlatButtonCell.h"

#include <algorithm>

#include "Platform/UI/BezierPath.h"
#include "Platform/UI/GraphicsContext.h"

namespace {

struct BezelColors {
    ui::Color defaultNormal = ui::Color::deviceRGB(59.0 / 255.0, 153.0 / 255.0, 252.0 / 255.0);
    ui::Color defaultHighlighted = ui::Color::deviceRGB(49.0 / 255.0, 127.0 / 255.0, 212.0 / 255.0);
    ui::Color otherNormal = ui::Color::deviceWhite(63.0 / 255.0);
    ui::Color otherHighlighted = ui::Color::deviceWhite(0.2);
};

// Made once and shared by every cell; the static's initialisation is safe against a
// concurrent first use.
const BezelColors& bezelColors()
{
    static const BezelColors colors;
    return colors;
}

} // namespace

std::shared_ptr<BigFlatButtonCell> BigFlatButtonCell::initTextCell(const std::string& title)
{
    std::shared_ptr<BigFlatButtonCell> cell(new BigFlatButtonCell());
    cell->setTitle(title);
    cell->setBordered(true);
    cell->setAlignment(ui::TextAlignment::center);
    return cell;
}

std::shared_ptr<BigFlatButtonCell> BigFlatButtonCell::initImageCell(ui::ImagePtr image)
{
    std::shared_ptr<BigFlatButtonCell> cell(new BigFlatButtonCell());
    cell->setImage(std::move(image));
    cell->setImagePosition(ui::ImagePosition::imageOnly);
    cell->setBordered(true);
    cell->setAlignment(ui::TextAlignment::center);
    return cell;
}

ui::Color BigFlatButtonCell::bezelFillColor() const
{
    const BezelColors& colors = bezelColors();
    if (keyEquivalent() == "\r")
        return isHighlighted() ? colors.defaultHighlighted : colors.defaultNormal;
    return isHighlighted() ? colors.otherHighlighted : colors.otherNormal;
}

void BigFlatButtonCell::drawBezelWithFrame(const graphics::Rect& frame, ui::View&, ui::GraphicsContext& context)
{
    graphics::Rect rect = frame;
    rect.size.height = std::max(0.0, rect.size.height - 3.0);
    const ui::BezierPath path = ui::BezierPath::bezierPathWithRoundedRect(rect, 3.0, 3.0);
    context.setFillColor(bezelFillColor());
    path.fill(context);
}

ui::AttributedString BigFlatButtonCell::attributedTitle() const
{
    ui::AttributedString title = ButtonCell::attributedTitle();
    title.attributes().foregroundColor = ui::Color::white();
    return title;
}
