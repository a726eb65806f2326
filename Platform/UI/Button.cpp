#include "Platform/UI/Button.h"

#include "Platform/Foundation/Observable.h"
#include "Platform/UI/Event.h"

namespace ui {

Button::Button(const graphics::Rect& frame, std::shared_ptr<ButtonCell> cell)
    : Control(frame, cell ? std::move(cell) : ButtonCell::initTextCell("Button"))
{
}

std::shared_ptr<Button> Button::initWithFrame(const graphics::Rect& frame)
{
    return std::shared_ptr<Button>(new Button(frame, nullptr));
}

namespace {

std::shared_ptr<Button> made(const std::string& title, ButtonType type, const std::shared_ptr<Object>& target,
                             const std::string& action)
{
    auto button = Button::initWithFrame(graphics::Rect::zero());
    button->setButtonType(type);
    button->setTitle(title);
    button->setTarget(target);
    button->setAction(action);
    button->sizeToFit();
    return button;
}

} // namespace

std::shared_ptr<Button> Button::buttonWithTitle(const std::string& title, const std::shared_ptr<Object>& target,
                                                const std::string& action)
{
    return made(title, ButtonType::momentaryPushIn, target, action);
}

std::shared_ptr<Button> Button::checkboxWithTitle(const std::string& title, const std::shared_ptr<Object>& target,
                                                  const std::string& action)
{
    return made(title, ButtonType::switchButton, target, action);
}

std::shared_ptr<Button> Button::radioButtonWithTitle(const std::string& title, const std::shared_ptr<Object>& target,
                                                     const std::string& action)
{
    return made(title, ButtonType::radio, target, action);
}

std::shared_ptr<Button> Button::buttonWithImage(ImagePtr image, const std::shared_ptr<Object>& target,
                                                const std::string& action)
{
    auto button = std::shared_ptr<Button>(new Button(graphics::Rect::zero(), ButtonCell::initImageCell(std::move(image))));
    button->setTarget(target);
    button->setAction(action);
    button->sizeToFit();
    return button;
}

std::string Button::title() const
{
    return cell()->title();
}

void Button::setTitle(const std::string& title)
{
    cell()->setTitle(title);
    setNeedsDisplay(true);
}

AttributedString Button::attributedTitle() const
{
    if (auto bc = buttonCell())
        return bc->attributedTitle();
    return AttributedString(title());
}

void Button::setAttributedTitle(const AttributedString& title)
{
    if (auto bc = buttonCell())
        bc->setAttributedTitle(title);
    setNeedsDisplay(true);
}

void Button::setImage(ImagePtr image)
{
    cell()->setImage(std::move(image));
    if (auto bc = buttonCell(); bc && bc->imagePosition() == ImagePosition::noImage)
        bc->setImagePosition(bc->title().empty() ? ImagePosition::imageOnly : ImagePosition::imageLeft);
    setNeedsDisplay(true);
}

void Button::setState(ControlStateValue state)
{
    cell()->setState(state);
    setNeedsDisplay(true);
}

std::string Button::keyEquivalent() const
{
    auto bc = buttonCell();
    return bc ? bc->keyEquivalent() : std::string();
}

void Button::setKeyEquivalent(const std::string& key)
{
    if (auto bc = buttonCell())
        bc->setKeyEquivalent(key);
    setNeedsDisplay(true);
}

void Button::setButtonType(ButtonType type)
{
    if (auto bc = buttonCell())
        bc->setButtonType(type);
    setNeedsDisplay(true);
}

BezelStyle Button::bezelStyle() const
{
    auto bc = buttonCell();
    return bc ? bc->bezelStyle() : BezelStyle::rounded;
}

void Button::setBezelStyle(BezelStyle style)
{
    if (auto bc = buttonCell())
        bc->setBezelStyle(style);
    setNeedsDisplay(true);
}

void Button::setBordered(bool value)
{
    cell()->setBordered(value);
    setNeedsDisplay(true);
}

void Button::performClick(Object*)
{
    if (!isEnabled())
        return;
    auto keep = sharedAs<Button>();
    if (auto bc = buttonCell()) {
        const bool stateful = bc->changesState();
        bc->advanceState();
        if (stateful)
            pushBindingValue(NSValueBinding, static_cast<long>(state()));
    }
    setHighlighted(false);
    sendAction();
}

void Button::mouseDown(const Event&)
{
    if (!isEnabled())
        return;
    m_tracking = true;
    setHighlighted(true);
}

void Button::mouseDragged(const Event& event)
{
    if (!m_tracking)
        return;
    setHighlighted(bounds().contains(convertPoint(event.locationInWindow(), nullptr)));
}

void Button::mouseUp(const Event& event)
{
    if (!m_tracking)
        return;
    m_tracking = false;
    setHighlighted(false);
    // Letting go outside the button cancels the click, as on the platform.
    if (bounds().contains(convertPoint(event.locationInWindow(), nullptr)))
        performClick(this);
}

bool Button::performKeyEquivalent(const Event& event)
{
    const std::string key = keyEquivalent();
    if (key.empty() || !isEnabled() || isHiddenOrHasHiddenAncestor())
        return false;
    auto bc = buttonCell();
    const unsigned long relevant = EventModifierFlagCommand | EventModifierFlagOption | EventModifierFlagControl;
    if (event.characters() != key || (event.modifierFlags() & relevant) != (bc->keyEquivalentModifierMask() & relevant))
        return false;
    performClick(this);
    return true;
}

bool Button::setValueForBinding(const std::string& binding, const std::any& value)
{
    if (binding == NSValueBinding) {
        long s = 0;
        try {
            s = value.has_value() ? foundation::anyTo<long>(value) : 0;
        } catch (const std::bad_any_cast&) {
        }
        setState(s);
        return true;
    }
    if (binding == NSTitleBinding) {
        if (const auto* s = std::any_cast<std::string>(&value))
            setTitle(*s);
        else
            setTitle("");
        return true;
    }
    return Control::setValueForBinding(binding, value);
}

} // namespace ui
