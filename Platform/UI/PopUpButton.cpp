#include "Platform/UI/PopUpButton.h"

#include "Platform/Foundation/Observable.h"
#include "Platform/UI/Presenter.h"

namespace ui {

std::shared_ptr<PopUpButton> PopUpButton::initWithFrame(const graphics::Rect& frame)
{
    return std::shared_ptr<PopUpButton>(new PopUpButton(frame));
}

PopUpButton::PopUpButton(const graphics::Rect& frame)
    : Button(frame, ButtonCell::initTextCell(""))
{
    m_menu->setAutoenablesItems(false);
}

void PopUpButton::mouseDown(const Event& event)
{
    Window* host = window();
    if (!isInteractive() || !isEnabled() || !host) {
        Button::mouseDown(event);
        return;
    }
    std::weak_ptr<PopUpButton> weak = sharedAs<PopUpButton>();
    Presenter::installed()->popUpMenu(m_menu, *host, convertRectToView(bounds(), nullptr), [weak](long index) {
        auto self = weak.lock();
        auto item = self ? self->m_menu->itemAtIndex(index) : nullptr;
        if (item)
            self->chooseItemWithTag(item->tag());
    });
}

MenuItemPtr PopUpButton::addItemWithTitle(const std::string& title, long tag)
{
    auto item = MenuItem::initWithTitle(title);
    item->setTag(tag);
    m_menu->addItem(item);
    if (!selectedItem())
        m_selected = item;
    showSelection();
    return item;
}

long PopUpButton::selectedTag() const
{
    auto item = selectedItem();
    return item ? item->tag() : -1;
}

bool PopUpButton::selectItemWithTag(long tag)
{
    auto item = m_menu->itemWithTag(tag);
    if (!item)
        return false;
    m_selected = item;
    showSelection();
    return true;
}

bool PopUpButton::chooseItemWithTag(long tag)
{
    auto item = m_menu->itemWithTag(tag);
    if (!item || item->isHidden() || !item->isEnabled() || !isEnabled())
        return false;
    m_selected = item;
    showSelection();
    pushBindingValue("selectedTag", tag);
    sendAction();
    return true;
}

void PopUpButton::showSelection()
{
    auto item = selectedItem();
    setTitle(item ? item->title() : std::string());
    setNeedsDisplay();
}

bool PopUpButton::setValueForBinding(const std::string& binding, const std::any& value)
{
    try {
        if (binding == "selectedTag") {
            selectItemWithTag(foundation::anyTo<long>(value));
            return true;
        }
        if (binding.rfind("hidden:", 0) == 0) {
            if (auto item = m_menu->itemWithTag(std::stol(binding.substr(7))))
                item->setHidden(foundation::anyTo<bool>(value));
            return true;
        }
        if (binding.rfind("title:", 0) == 0) {
            if (auto item = m_menu->itemWithTag(std::stol(binding.substr(6)))) {
                if (const auto* text = std::any_cast<std::string>(&value))
                    item->setTitle(*text);
                showSelection();
            }
            return true;
        }
    } catch (const std::exception&) {
        // A value of the wrong kind leaves the pop-up as it was.
        return true;
    }
    return Button::setValueForBinding(binding, value);
}

std::vector<std::string> PopUpButton::exposedBindings() const
{
    auto bindings = Button::exposedBindings();
    bindings.push_back("selectedTag");
    return bindings;
}

} // namespace ui
