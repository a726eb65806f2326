#pragma once
// A pop-up button: a button that shows the selected item of its menu and lets the user choose
// another. Bindings: "selectedTag" (both ways), and per item "hidden:<tag>" and "title:<tag>"
// (from the model). Choosing an item tells the "selectedTag" binding, then sends the action.
// Main thread only.

#include <memory>
#include <string>

#include "Platform/UI/Button.h"
#include "Platform/UI/Menu.h"

namespace ui {

class PopUpButton : public Button {
public:
    static std::shared_ptr<PopUpButton> initWithFrame(const graphics::Rect& frame);

    const MenuPtr& menu() const { return m_menu; }
    MenuItemPtr addItemWithTitle(const std::string& title, long tag);
    MenuItemPtr selectedItem() const { return m_selected.lock(); }
    // -1 without a selection.
    long selectedTag() const;
    // False (selection unchanged) when no item has the tag.
    bool selectItemWithTag(long tag);
    // The user's choice: selects the item, tells the binding and sends the action. False when
    // no visible, enabled item has the tag.
    bool chooseItemWithTag(long tag);

    // On screen a click shows the menu; the item picked is chosen as by chooseItemWithTag.
    void mouseDown(const Event& event) override;

    bool setValueForBinding(const std::string& binding, const std::any& value) override;
    std::vector<std::string> exposedBindings() const override;

protected:
    explicit PopUpButton(const graphics::Rect& frame);

private:
    void showSelection();

    MenuPtr m_menu = Menu::initWithTitle("");
    std::weak_ptr<MenuItem> m_selected;
};

using PopUpButtonPtr = std::shared_ptr<PopUpButton>;

} // namespace ui
