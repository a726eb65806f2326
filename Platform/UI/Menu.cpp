#include "Platform/UI/Menu.h"

#include <algorithm>

#include "Platform/UI/Application.h"
#include "Platform/UI/Event.h"

namespace ui {

std::shared_ptr<MenuItem> MenuItem::initWithTitle(const std::string& title, const std::string& action,
                                                  const std::string& keyEquivalent)
{
    std::shared_ptr<MenuItem> item(new MenuItem());
    item->m_title = title;
    item->m_action = action;
    item->m_keyEquivalent = keyEquivalent;
    return item;
}

std::shared_ptr<MenuItem> MenuItem::separatorItem()
{
    std::shared_ptr<MenuItem> item(new MenuItem());
    item->m_separator = true;
    item->m_enabled = false;
    return item;
}

void MenuItem::setSubmenu(std::shared_ptr<Menu> submenu)
{
    if (m_submenu)
        m_submenu->m_supermenu = nullptr;
    m_submenu = std::move(submenu);
    if (m_submenu)
        m_submenu->m_supermenu = m_menu;
}

std::shared_ptr<Menu> Menu::initWithTitle(const std::string& title)
{
    std::shared_ptr<Menu> menu(new Menu());
    menu->m_title = title;
    return menu;
}

Menu::~Menu()
{
    for (auto& item : m_items) {
        item->m_menu = nullptr;
        if (item->m_submenu)
            item->m_submenu->m_supermenu = nullptr;
    }
}

MenuItemPtr Menu::itemAtIndex(long index) const
{
    if (index < 0 || index >= numberOfItems())
        return nullptr;
    return m_items[static_cast<size_t>(index)];
}

void Menu::addItem(const MenuItemPtr& item)
{
    insertItem(item, numberOfItems());
}

void Menu::insertItem(const MenuItemPtr& item, long index)
{
    // An item lives in one menu at a time.
    if (!item || item->m_menu)
        return;
    index = std::clamp(index, 0L, numberOfItems());
    m_items.insert(m_items.begin() + index, item);
    item->m_menu = this;
    if (item->m_submenu)
        item->m_submenu->m_supermenu = this;
}

MenuItemPtr Menu::addItemWithTitle(const std::string& title, const std::string& action, const std::string& keyEquivalent)
{
    auto item = MenuItem::initWithTitle(title, action, keyEquivalent);
    addItem(item);
    return item;
}

void Menu::removeItem(const MenuItemPtr& item)
{
    removeItemAtIndex(indexOfItem(item));
}

void Menu::removeItemAtIndex(long index)
{
    if (index < 0 || index >= numberOfItems())
        return;
    auto item = m_items[static_cast<size_t>(index)];
    m_items.erase(m_items.begin() + index);
    item->m_menu = nullptr;
    if (item->m_submenu)
        item->m_submenu->m_supermenu = nullptr;
}

void Menu::removeAllItems()
{
    while (!m_items.empty())
        removeItemAtIndex(numberOfItems() - 1);
}

long Menu::indexOfItem(const MenuItemPtr& item) const
{
    auto it = std::find(m_items.begin(), m_items.end(), item);
    return it == m_items.end() ? -1 : static_cast<long>(it - m_items.begin());
}

long Menu::indexOfItemWithTitle(const std::string& title) const
{
    for (size_t i = 0; i < m_items.size(); ++i) {
        if (m_items[i]->title() == title)
            return static_cast<long>(i);
    }
    return -1;
}

long Menu::indexOfItemWithTag(long tag) const
{
    for (size_t i = 0; i < m_items.size(); ++i) {
        if (m_items[i]->tag() == tag)
            return static_cast<long>(i);
    }
    return -1;
}

long Menu::indexOfItemWithTarget(const std::shared_ptr<Object>& target, const std::string& action) const
{
    for (size_t i = 0; i < m_items.size(); ++i) {
        const auto& item = m_items[i];
        if (item->action() == action && (!target || item->target() == target))
            return static_cast<long>(i);
    }
    return -1;
}

long Menu::indexOfItemWithSubmenu(const std::shared_ptr<Menu>& submenu) const
{
    for (size_t i = 0; i < m_items.size(); ++i) {
        if (m_items[i]->submenu() == submenu)
            return static_cast<long>(i);
    }
    return -1;
}

MenuItemPtr Menu::itemWithTitle(const std::string& title) const
{
    return itemAtIndex(indexOfItemWithTitle(title));
}

MenuItemPtr Menu::itemWithTag(long tag) const
{
    return itemAtIndex(indexOfItemWithTag(tag));
}

bool Menu::validateItem(MenuItem& item) const
{
    if (item.isSeparatorItem())
        return false;
    if (item.hasSubmenu())
        return true;
    if (!m_autoenables)
        return item.isEnabled();
    auto target = Application::shared()->targetForAction(item.action(), item.target());
    if (!target)
        return false;
    return target->validateMenuItem(item);
}

void Menu::update()
{
    for (const auto& item : std::vector<MenuItemPtr>(m_items)) {
        if (m_autoenables)
            item->setEnabled(validateItem(*item));
        if (item->submenu())
            item->submenu()->update();
    }
}

bool Menu::performActionForItemAtIndex(long index)
{
    auto item = itemAtIndex(index);
    if (!item || item->isHidden())
        return false;
    const bool enabled = validateItem(*item);
    if (m_autoenables)
        item->setEnabled(enabled);
    if (!enabled)
        return false;
    return Application::shared()->sendAction(item->action(), item->target(), item.get());
}

bool Menu::performKeyEquivalent(const Event& event)
{
    const unsigned long relevant = EventModifierFlagCommand | EventModifierFlagOption | EventModifierFlagControl
        | EventModifierFlagShift;
    for (long i = 0; i < numberOfItems(); ++i) {
        auto item = m_items[static_cast<size_t>(i)];
        if (item->submenu()) {
            if (item->submenu()->performKeyEquivalent(event))
                return true;
            continue;
        }
        if (item->keyEquivalent().empty() || item->keyEquivalent() != event.characters())
            continue;
        if ((item->keyEquivalentModifierMask() & relevant) != (event.modifierFlags() & relevant))
            continue;
        return performActionForItemAtIndex(i);
    }
    return false;
}

} // namespace ui
