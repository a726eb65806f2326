// Appearance hooks: what other layers see of every view controller that appears.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "Platform/UI/TabViewController.h"
#include "Platform/UI/ViewController.h"
#include "Tests/Platform/UI/UITestSupport.h"

using namespace ui;

namespace hooktest {

// Calls the base, as overrides do.
class ExportViewController : public ViewController {
public:
    static std::shared_ptr<ExportViewController> make() { return std::shared_ptr<ExportViewController>(new ExportViewController()); }
    void viewWillAppear() override
    {
        ViewController::viewWillAppear();
        log.push_back("willAppear");
    }
    void viewDidAppear() override { log.push_back("didAppear"); }
    void viewWillDisappear() override { log.push_back("willDisappear"); }
    void viewDidDisappear() override { log.push_back("didDisappear"); }
    std::vector<std::string> log;
};

class ViewControllerTest : public uitest::UITest {
protected:
    void TearDown() override
    {
        for (auto id : m_ids)
            ViewController::removeViewWillAppearHook(id);
        uitest::UITest::TearDown();
    }
    ViewController::AppearanceHookId add(ViewController::AppearanceHook hook)
    {
        m_ids.push_back(ViewController::addViewWillAppearHook(std::move(hook)));
        return m_ids.back();
    }
    std::vector<std::string> seen;

private:
    std::vector<ViewController::AppearanceHookId> m_ids;
};

TEST_F(ViewControllerTest, HooksSeeEveryAppearingControllerInTheOrderAdded)
{
    const auto first = add([this](ViewController& c) { seen.push_back("1 " + c.className()); });
    add([this](ViewController& c) { seen.push_back("2 " + c.className()); });

    auto tabs = TabViewController::init();
    auto tab = ExportViewController::make();
    tabs->addTabViewItem("Export", tab);
    auto window = Window::windowWithContentViewController(tabs);
    window->makeKeyAndOrderFront();
    EXPECT_EQ(tab->log, (std::vector<std::string> { "willAppear", "didAppear" }));
    EXPECT_EQ(seen, (std::vector<std::string> { "1 ui::TabViewController", "2 ui::TabViewController", "1 hooktest::ExportViewController",
                                                "2 hooktest::ExportViewController" }));

    seen.clear();
    ViewController::removeViewWillAppearHook(first);
    window->orderOut(nullptr);
    window->makeKeyAndOrderFront();
    EXPECT_EQ(seen, (std::vector<std::string> { "2 ui::TabViewController", "2 hooktest::ExportViewController" }));
}

TEST_F(ViewControllerTest, AHookAddedWhileHooksRunActsFromTheNextAppearance)
{
    bool added = false;
    add([&](ViewController&) {
        seen.push_back("outer");
        if (!std::exchange(added, true))
            add([this](ViewController&) { seen.push_back("inner"); });
    });
    auto controller = ExportViewController::make();
    controller->viewWillAppear();
    controller->viewWillAppear();
    EXPECT_EQ(seen, (std::vector<std::string> { "outer", "outer", "inner" }));
    EXPECT_EQ(ViewController::addViewWillAppearHook(nullptr), 0u);
}

TEST_F(ViewControllerTest, OnlyTheSelectedTabAppearsOncePerShowingAndSwitchingMovesIt)
{
    auto tabs = TabViewController::init();
    auto first = ExportViewController::make();
    auto second = ExportViewController::make();
    tabs->addTabViewItem("First", first);
    tabs->addTabViewItem("Second", second);
    auto window = Window::windowWithContentViewController(tabs);
    window->makeKeyAndOrderFront();
    tabs->setSelectedTabViewItemIndex(1);
    tabs->setSelectedTabViewItemIndex(1);
    window->orderOut(nullptr);
    EXPECT_EQ(first->log, (std::vector<std::string> { "willAppear", "didAppear", "willDisappear", "didDisappear" }));
    EXPECT_EQ(second->log, (std::vector<std::string> { "willAppear", "didAppear", "willDisappear", "didDisappear" }));

    // Switching while off screen changes nothing until the tabs are shown again.
    tabs->setSelectedTabViewItemIndex(0);
    EXPECT_EQ(first->log.size(), 4u);
    window->makeKeyAndOrderFront();
    EXPECT_EQ(first->log.back(), "didAppear");
    EXPECT_EQ(second->log.size(), 4u);
}

} // namespace hooktest
