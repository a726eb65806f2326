#include "Platform/UI/Switch.h"

#include "Platform/UI/Appearance.h"
#include "Platform/UI/BezierPath.h"
#include "Platform/UI/Color.h"
#include "Platform/UI/GraphicsContext.h"

namespace ui {

Switch::Switch(const graphics::Rect& frame)
    : Button(frame, nullptr)
{
    setButtonType(ButtonType::pushOnPushOff);
    setBordered(false);
    setTitle("");
}

std::shared_ptr<Switch> Switch::initWithFrame(const graphics::Rect& frame)
{
    return std::shared_ptr<Switch>(new Switch(frame));
}

std::shared_ptr<Switch> Switch::switchWithTarget(const std::shared_ptr<Object>& target, const std::string& action)
{
    auto made = initWithFrame(graphics::Rect::make(0, 0, 38, 22));
    made->setTarget(target);
    made->setAction(action);
    return made;
}

void Switch::draw(const graphics::Rect&, GraphicsContext& context)
{
    const auto bounds = this->bounds();
    const double height = std::min(bounds.size.height, 22.0);
    const double width = std::min(bounds.size.width, height * 38 / 22);
    const graphics::Rect track = graphics::Rect::make(bounds.origin.x + (bounds.size.width - width) / 2,
                                                      bounds.origin.y + (bounds.size.height - height) / 2, width, height);
    const bool dark = context.appearance() && context.appearance()->isDark();
    Color trackColor = isOn() ? Color::controlAccentColor()
                              : (dark ? Color::calibratedWhite(1, 0.18) : Color::calibratedWhite(0, 0.12));
    context.saveGState();
    if (!isEnabled())
        context.setAlpha(0.5);
    context.setFillColor(trackColor);
    context.fillPath(BezierPath::bezierPathWithRoundedRect(track, height / 2, height / 2));
    const double inset = 2;
    const double knob = height - 2 * inset;
    const double x = isOn() ? track.origin.x + track.size.width - inset - knob : track.origin.x + inset;
    const graphics::Rect knobRect = graphics::Rect::make(x, track.origin.y + inset, knob, knob);
    context.setFillColor(Color::calibratedWhite(0, 0.15));
    context.fillPath(BezierPath::bezierPathWithOvalInRect(graphics::Rect::make(knobRect.origin.x, knobRect.origin.y - 0.5, knob, knob)));
    context.setFillColor(dark ? Color::calibratedWhite(0.85) : Color::white());
    context.fillPath(BezierPath::bezierPathWithOvalInRect(knobRect));
    context.restoreGState();
}

} // namespace ui
