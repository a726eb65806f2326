#pragma once
// Menus and their items. An item has a title, an action sent to its target (or, without one,
// along the responder chain), a key equivalent, tag, state, image, submenu and represented
// object. With autoenablesItems, update() enables each item by asking the object that would
// receive its action (validateMenuItem), which may also retitle it or set its state; an item
// whose action nobody handles is disabled. Main thread only.

#include <any>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Platform/UI/Cell.h"
#include "Platform/UI/Image.h"
#include "Platform/UI/Object.h"

namespace ui {

class Event;
class Menu;

class MenuItem : public Object, public UserInterfaceItem {
public:
    static std::shared_ptr<MenuItem> initWithTitle(const std::string& title, const std::string& action = {},
                                                   const std::string& keyEquivalent = {});
    static std::shared_ptr<MenuItem> separatorItem();

    const std::string& title() const { return m_title; }
    void setTitle(std::string title) { m_title = std::move(title); }
    std::string action() const override { return m_action; }
    void setAction(std::string action) { m_action = std::move(action); }
    std::shared_ptr<Object> target() const { return m_target.lock(); }
    void setTarget(const std::shared_ptr<Object>& target) { m_target = target; }
    const std::string& keyEquivalent() const { return m_keyEquivalent; }
    void setKeyEquivalent(std::string key) { m_keyEquivalent = std::move(key); }
    unsigned long keyEquivalentModifierMask() const { return m_modifiers; }
    void setKeyEquivalentModifierMask(unsigned long mask) { m_modifiers = mask; }
    long tag() const override { return m_tag; }
    void setTag(long tag) { m_tag = tag; }
    ControlStateValue state() const { return m_state; }
    void setState(ControlStateValue state) { m_state = state; }
    bool isEnabled() const { return m_enabled; }
    void setEnabled(bool value) { m_enabled = value; }
    bool isHidden() const { return m_hidden; }
    void setHidden(bool value) { m_hidden = value; }
    ImagePtr image() const { return m_image; }
    void setImage(ImagePtr image) { m_image = std::move(image); }
    const std::any& representedObject() const { return m_representedObject; }
    void setRepresentedObject(std::any object) { m_representedObject = std::move(object); }
    const std::string& toolTip() const { return m_toolTip; }
    void setToolTip(std::string tip) { m_toolTip = std::move(tip); }
    bool isSeparatorItem() const { return m_separator; }

    std::shared_ptr<Menu> submenu() const { return m_submenu; }
    void setSubmenu(std::shared_ptr<Menu> submenu);
    bool hasSubmenu() const { return m_submenu != nullptr; }
    // The menu that holds this item.
    Menu* menu() const { return m_menu; }

protected:
    MenuItem() = default;

private:
    friend class Menu;
    std::string m_title;
    std::string m_action;
    std::weak_ptr<Object> m_target;
    std::string m_keyEquivalent;
    unsigned long m_modifiers = 1ul << 20; // command
    long m_tag = 0;
    ControlStateValue m_state = ControlStateValueOff;
    bool m_enabled = true;
    bool m_hidden = false;
    ImagePtr m_image;
    std::any m_representedObject;
    std::string m_toolTip;
    bool m_separator = false;
    std::shared_ptr<Menu> m_submenu;
    Menu* m_menu = nullptr;
};

using MenuItemPtr = std::shared_ptr<MenuItem>;

class Menu : public Object {
public:
    static std::shared_ptr<Menu> initWithTitle(const std::string& title);
    ~Menu() override;

    const std::string& title() const { return m_title; }
    void setTitle(std::string title) { m_title = std::move(title); }
    Menu* supermenu() const { return m_supermenu; }
    bool autoenablesItems() const { return m_autoenables; }
    void setAutoenablesItems(bool value) { m_autoenables = value; }

    const std::vector<MenuItemPtr>& itemArray() const { return m_items; }
    long numberOfItems() const { return static_cast<long>(m_items.size()); }
    MenuItemPtr itemAtIndex(long index) const;
    void addItem(const MenuItemPtr& item);
    // Index clamped to 0...numberOfItems.
    void insertItem(const MenuItemPtr& item, long index);
    MenuItemPtr addItemWithTitle(const std::string& title, const std::string& action, const std::string& keyEquivalent = {});
    void removeItem(const MenuItemPtr& item);
    void removeItemAtIndex(long index);
    void removeAllItems();

    // -1 when not found.
    long indexOfItem(const MenuItemPtr& item) const;
    long indexOfItemWithTitle(const std::string& title) const;
    long indexOfItemWithTag(long tag) const;
    // The item with this action and (when `target` is given) this target; none: any target.
    long indexOfItemWithTarget(const std::shared_ptr<Object>& target, const std::string& action) const;
    long indexOfItemWithSubmenu(const std::shared_ptr<Menu>& submenu) const;
    MenuItemPtr itemWithTitle(const std::string& title) const;
    MenuItemPtr itemWithTag(long tag) const;

    // Validates every item (and those of submenus) as described above.
    void update();
    // Whether the item would be enabled now (without changing anything when not autoenabling).
    bool validateItem(MenuItem& item) const;
    // Validates, then sends the item's action; false when it is disabled or nobody handled it.
    bool performActionForItemAtIndex(long index);
    // Finds an enabled item whose key equivalent matches the key event (submenus too) and
    // performs it.
    bool performKeyEquivalent(const Event& event);

protected:
    Menu() = default;

private:
    friend class MenuItem;
    std::string m_title;
    Menu* m_supermenu = nullptr;
    bool m_autoenables = true;
    std::vector<MenuItemPtr> m_items;
};

using MenuPtr = std::shared_ptr<Menu>;

} // namespace ui
