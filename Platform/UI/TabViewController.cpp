#include "Platform/UI/TabViewController.h"

#include "Platform/UI/View.h"
#include "Platform/UI/Window.h"

namespace ui {

namespace {
constexpr double kTabBarHeight = 36;

// The selected tab shows pressed, the others plain.
void markSelected(Button& button, bool selected)
{
    button.setState(selected ? ControlStateValueOn : ControlStateValueOff);
    button.setHighlighted(selected);
}
}

std::shared_ptr<TabViewController> TabViewController::init()
{
    return std::shared_ptr<TabViewController>(new TabViewController());
}

void TabViewController::addTabViewItem(const std::string& label, const std::shared_ptr<ViewController>& controller)
{
    m_items.push_back({ label, controller });
    addChildViewController(controller);
    if (isViewLoaded())
        layoutTabs();
    if (m_selected < 0)
        setSelectedTabViewItemIndex(0);
}

void TabViewController::loadView()
{
    // Big enough for the largest child, plus the tab row.
    graphics::Size size { 300, 200 };
    for (const auto& item : m_items) {
        auto frame = item.controller->view()->frame();
        size.width = std::max(size.width, frame.size.width);
        size.height = std::max(size.height, frame.size.height);
    }
    auto root = View::initWithFrame(graphics::Rect::make(0, 0, size.width, size.height + kTabBarHeight));
    m_content = View::initWithFrame(graphics::Rect::make(0, 0, size.width, size.height));
    root->addSubview(m_content);
    setView(root);
    layoutTabs();
    showSelected(nullptr);
}

void TabViewController::layoutTabs()
{
    for (const auto& button : m_buttons)
        button->removeFromSuperview();
    m_buttons.clear();
    if (!isViewLoaded())
        return;
    auto root = view();
    std::weak_ptr<TabViewController> weak = std::static_pointer_cast<TabViewController>(shared_from_this());
    double total = 0;
    for (std::size_t i = 0; i < m_items.size(); ++i) {
        auto button = Button::buttonWithTitle(m_items[i].label, nullptr, "");
        button->setButtonType(ButtonType::pushOnPushOff);
        button->setTag(static_cast<long>(i));
        button->setActionBlock([weak, i](Control&) {
            if (auto self = weak.lock())
                self->setSelectedTabViewItemIndex(static_cast<long>(i));
        });
        total += button->frame().size.width;
        m_buttons.push_back(button);
    }
    double x = (root->bounds().size.width - total) / 2;
    const double y = root->bounds().size.height - kTabBarHeight + (kTabBarHeight - 24) / 2;
    for (std::size_t i = 0; i < m_buttons.size(); ++i) {
        auto& button = m_buttons[i];
        button->setFrame(graphics::Rect::make(x, y, button->frame().size.width, 24));
        markSelected(*button, static_cast<long>(i) == m_selected);
        x += button->frame().size.width;
        root->addSubview(button);
    }
}

void TabViewController::setSelectedTabViewItemIndex(long index)
{
    if (index < 0 || index >= static_cast<long>(m_items.size()))
        return;
    if (index == m_selected && isViewLoaded() && !m_content->subviews().empty()) {
        for (std::size_t i = 0; i < m_buttons.size(); ++i)
            markSelected(*m_buttons[i], static_cast<long>(i) == index);
        return;
    }
    const auto previous = m_selected >= 0 ? m_items[static_cast<std::size_t>(m_selected)].controller : nullptr;
    willChange("selectedTabViewItemIndex");
    m_selected = index;
    didChange("selectedTabViewItemIndex");
    if (isViewLoaded())
        showSelected(previous == m_items[static_cast<std::size_t>(index)].controller ? nullptr : previous);
}

void TabViewController::showSelected(const std::shared_ptr<ViewController>& previous)
{
    // While the tabs are on screen, switching is the old child disappearing and the new one
    // appearing; otherwise the selected child appears with the tabs, once.
    const bool onScreen = hasAppeared();
    if (onScreen && previous)
        previous->sendAppearance(false, false);
    for (const auto& subview : std::vector<ViewPtr>(m_content->subviews()))
        subview->removeFromSuperview();
    if (onScreen && previous)
        previous->sendAppearance(false, true);
    for (std::size_t i = 0; i < m_buttons.size(); ++i)
        markSelected(*m_buttons[i], static_cast<long>(i) == m_selected);
    if (m_selected < 0)
        return;
    auto child = m_items[static_cast<std::size_t>(m_selected)].controller;
    auto childView = child->view();
    if (onScreen)
        child->sendAppearance(true, false);
    auto frame = childView->frame();
    frame.origin = { (m_content->bounds().size.width - frame.size.width) / 2, m_content->bounds().size.height - frame.size.height };
    childView->setFrame(frame);
    m_content->addSubview(childView);
    fitSelectedChild();
    if (onScreen)
        child->sendAppearance(true, true);
}

void TabViewController::preferredContentSizeDidChangeForViewController(ViewController& child)
{
    if (m_selected >= 0 && m_items[static_cast<std::size_t>(m_selected)].controller.get() == &child)
        fitSelectedChild();
}

void TabViewController::fitSelectedChild()
{
    if (!isViewLoaded() || m_selected < 0)
        return;
    auto child = m_items[static_cast<std::size_t>(m_selected)].controller;
    const graphics::Size size = child->preferredContentSize();
    if (size.width <= 0 || size.height <= 0)
        return;
    auto root = view();
    const graphics::Size rootSize { size.width, size.height + kTabBarHeight };
    auto window = root->window();
    if (window && window->contentView() == root)
        window->setContentSize(rootSize);
    else
        root->setFrameSize(rootSize);
    m_content->setFrame(graphics::Rect::make(0, 0, size.width, size.height));
    if (child->isViewLoaded())
        child->view()->setFrame(graphics::Rect::make(0, 0, size.width, size.height));
    layoutTabs();
    setPreferredContentSize(rootSize);
}

std::vector<std::shared_ptr<ViewController>> TabViewController::appearingChildViewControllers() const
{
    if (m_selected < 0)
        return {};
    return { m_items[static_cast<std::size_t>(m_selected)].controller };
}

const foundation::KeyTable& TabViewController::observableKeys() const
{
    static const foundation::KeyTable table = [] {
        foundation::KeyTable t;
        t.key("selectedTabViewItemIndex", &TabViewController::selectedTabViewItemIndex, &TabViewController::setSelectedTabViewItemIndex);
        return t;
    }();
    return table;
}

} // namespace ui
