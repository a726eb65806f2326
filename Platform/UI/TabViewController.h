#pragma once
// A view controller that shows one of several child controllers, chosen by a row of tab
// buttons above them. The selected index is observable ("selectedTabViewItemIndex"). A
// selected child with a preferred content size gets it: the tabs (and the window they fill,
// keeping its top edge) take that size plus the tab row. Main thread only.

#include <memory>
#include <string>
#include <vector>

#include "Platform/Foundation/Observable.h"
#include "Platform/UI/Button.h"
#include "Platform/UI/ViewController.h"

namespace ui {

class TabViewController : public ViewController, public foundation::Observable {
public:
    static std::shared_ptr<TabViewController> init();

    // Adds a tab showing `controller` under `label`.
    void addTabViewItem(const std::string& label, const std::shared_ptr<ViewController>& controller);
    std::size_t tabCount() const { return m_items.size(); }
    const std::string& labelAtIndex(std::size_t index) const { return m_items.at(index).label; }
    std::shared_ptr<ViewController> controllerAtIndex(std::size_t index) const { return m_items.at(index).controller; }
    const std::vector<ButtonPtr>& tabButtons() const { return m_buttons; }

    long selectedTabViewItemIndex() const { return m_selected; }
    // Shows the child at `index` (its view appears below the tabs); an index outside the tabs
    // is ignored.
    void setSelectedTabViewItemIndex(long index);

    void loadView() override;

    const foundation::KeyTable& observableKeys() const override;

protected:
    TabViewController() = default;
    // Only the selected child is on screen.
    std::vector<std::shared_ptr<ViewController>> appearingChildViewControllers() const override;
    void preferredContentSizeDidChangeForViewController(ViewController& child) override;

private:
    struct Item {
        std::string label;
        std::shared_ptr<ViewController> controller;
    };
    void layoutTabs();
    void showSelected(const std::shared_ptr<ViewController>& previous);
    void fitSelectedChild();

    std::vector<Item> m_items;
    std::vector<ButtonPtr> m_buttons;
    std::shared_ptr<View> m_content;
    long m_selected = -1;
};

} // namespace ui
