// Menus: finding and inserting items, validation by the action's receiver, key equivalents.

#include <gtest/gtest.h>

#include <memory>

#include "Platform/UI/Button.h"
#include "Platform/UI/Menu.h"
#include "Tests/Platform/UI/UITestSupport.h"

using namespace ui;

namespace {

// Handles "play:" (retitling its item) and "sort:" (checking the item of the current tag).
class Player : public Responder {
public:
    static std::shared_ptr<Player> make()
    {
        auto p = std::shared_ptr<Player>(new Player());
        p->registerAction("play:", [p = p.get()](Object*) { ++p->plays; });
        p->registerAction("sort:", [p = p.get()](Object* sender) {
            if (auto* item = dynamic_cast<MenuItem*>(sender))
                p->sortTag = item->tag();
        });
        return p;
    }
    bool validateMenuItem(MenuItem& item) override
    {
        if (item.action() == "play:") {
            item.setTitle(playing ? "Pause" : "Play");
            return hasImages;
        }
        if (item.action() == "sort:")
            item.setState(item.tag() == sortTag ? ControlStateValueOn : ControlStateValueOff);
        return true;
    }
    bool hasImages = false;
    bool playing = false;
    long sortTag = 1000;
    int plays = 0;

private:
    Player() = default;
};

class MenuTest : public uitest::UITest { };

TEST_F(MenuTest, ItemsAreFoundByTitleTagActionAndTarget)
{
    auto menu = Menu::initWithTitle("App");
    auto about = menu->addItemWithTitle("About", "orderFrontStandardAboutPanel:");
    menu->addItem(MenuItem::separatorItem());
    auto services = MenuItem::initWithTitle("Services");
    auto servicesMenu = Menu::initWithTitle("Services");
    services->setSubmenu(servicesMenu);
    menu->addItem(services);
    auto quit = menu->addItemWithTitle("Quit", "terminate:", "q");
    quit->setTag(7);

    EXPECT_EQ(menu->indexOfItemWithTitle("Quit"), 3);
    EXPECT_EQ(menu->itemWithTag(7), quit);
    EXPECT_EQ(menu->indexOfItemWithTarget(nullptr, "orderFrontStandardAboutPanel:"), 0);
    EXPECT_EQ(menu->indexOfItemWithTarget(Application::shared(), "orderFrontStandardAboutPanel:"), -1);
    about->setTarget(Application::shared());
    EXPECT_EQ(menu->indexOfItemWithTarget(Application::shared(), "orderFrontStandardAboutPanel:"), 0);
    EXPECT_EQ(menu->indexOfItemWithSubmenu(servicesMenu), 2);
    EXPECT_EQ(servicesMenu->supermenu(), menu.get());
    EXPECT_EQ(menu->indexOfItemWithTitle("Missing"), -1);

    // Inserting right below an item; indexes out of range are clamped.
    auto updates = MenuItem::initWithTitle("Check for Updates\u2026", "checkForUpdates:");
    menu->insertItem(updates, menu->indexOfItem(about) + 1);
    EXPECT_EQ(menu->itemAtIndex(1), updates);
    auto last = MenuItem::initWithTitle("Last");
    menu->insertItem(last, 99);
    EXPECT_EQ(menu->itemAtIndex(menu->numberOfItems() - 1), last);
    // An item belongs to one menu.
    auto other = Menu::initWithTitle("Other");
    other->addItem(last);
    EXPECT_EQ(other->numberOfItems(), 0);
    menu->removeItem(last);
    other->addItem(last);
    EXPECT_EQ(last->menu(), other.get());
}

TEST_F(MenuTest, ValidationAsksTheReceiverOfTheAction)
{
    auto player = Player::make();
    auto menu = Menu::initWithTitle("Controls");
    auto play = menu->addItemWithTitle("Play", "play:");
    auto byName = menu->addItemWithTitle("By Name", "sort:");
    byName->setTag(1000);
    auto byDate = menu->addItemWithTitle("By Date", "sort:");
    byDate->setTag(1001);
    auto orphan = menu->addItemWithTitle("Nobody", "nobodyHandlesThis:");
    auto sub = MenuItem::initWithTitle("More");
    sub->setSubmenu(Menu::initWithTitle("More"));
    menu->addItem(sub);

    // The untargeted play item reaches the player along the key window's chain; the sort
    // items name it as their target.
    auto w = makeWindow();
    w->setNextResponder(player);
    w->makeKeyAndOrderFront();
    byName->setTarget(player);
    byDate->setTarget(player);
    menu->update();
    EXPECT_FALSE(play->isEnabled());
    EXPECT_EQ(play->title(), "Play");
    EXPECT_TRUE(byName->isEnabled());
    EXPECT_EQ(byName->state(), ControlStateValueOn);
    EXPECT_EQ(byDate->state(), ControlStateValueOff);
    EXPECT_FALSE(orphan->isEnabled());
    EXPECT_TRUE(sub->isEnabled());

    player->hasImages = true;
    player->playing = true;
    menu->update();
    EXPECT_TRUE(play->isEnabled());
    EXPECT_EQ(play->title(), "Pause");

    // Choosing items sends their actions with the item as sender; disabled ones send nothing.
    EXPECT_TRUE(menu->performActionForItemAtIndex(menu->indexOfItem(byDate)));
    EXPECT_EQ(player->sortTag, 1001);
    player->hasImages = false;
    EXPECT_FALSE(menu->performActionForItemAtIndex(menu->indexOfItem(play)));
    EXPECT_EQ(player->plays, 0);

    // Without autoenabling, the items keep the state they were given.
    menu->setAutoenablesItems(false);
    play->setEnabled(true);
    menu->update();
    EXPECT_TRUE(play->isEnabled());
}

TEST_F(MenuTest, KeyEquivalentsOfTheMainMenuReachTheirActions)
{
    auto player = Player::make();
    player->hasImages = true;
    auto main = Menu::initWithTitle("Main");
    auto controls = MenuItem::initWithTitle("Controls");
    controls->setSubmenu(Menu::initWithTitle("Controls"));
    main->addItem(controls);
    auto play = controls->submenu()->addItemWithTitle("Play", "play:", "p");
    play->setTarget(player);
    Application::shared()->setMainMenu(main);
    auto w = makeWindow();
    w->makeKeyAndOrderFront();
    key(w, "p"); // without command it is typing, not a menu command
    EXPECT_EQ(player->plays, 0);
    key(w, "p", EventModifierFlagCommand);
    EXPECT_EQ(player->plays, 1);
    key(w, "p", EventModifierFlagCommand | EventModifierFlagShift);
    EXPECT_EQ(player->plays, 1);
}

} // namespace

namespace {

// A window-level command and an application-level one, side by side in one menu.
struct SheetMenus {
    std::shared_ptr<Player> player = Player::make();
    std::shared_ptr<Menu> menu = Menu::initWithTitle("Main");
    MenuItemPtr play = menu->addItemWithTitle("Play", "play:", "p");
    MenuItemPtr close = menu->addItemWithTitle("Close", "performClose:", "w");
    MenuItemPtr quit = menu->addItemWithTitle("Quit", "stop:", "q");
};

} // namespace

TEST_F(MenuTest, ASheetTakesItsWindowsCommandsAwayUntilItEnds)
{
    SheetMenus m;
    m.player->hasImages = true;
    Application::shared()->setMainMenu(m.menu);
    auto w = makeWindow(300, 200, WindowStyleMaskTitled | WindowStyleMaskClosable | WindowStyleMaskResizable);
    w->setNextResponder(m.player);
    w->makeKeyAndOrderFront();
    m.menu->update();
    EXPECT_TRUE(m.play->isEnabled());
    EXPECT_TRUE(m.close->isEnabled());

    auto sheet = makeWindow(100, 50);
    w->beginSheet(sheet);
    m.menu->update();
    EXPECT_FALSE(m.play->isEnabled()) << "a command of the window under a sheet";
    EXPECT_FALSE(m.close->isEnabled()) << "a sheet is ended by its buttons, not closed";
    EXPECT_TRUE(m.quit->isEnabled()) << "the application's own commands stay";
    // Its shortcuts do nothing either, whichever of the two windows the key reaches.
    key(w, "p", EventModifierFlagCommand);
    key(sheet, "p", EventModifierFlagCommand);
    EXPECT_EQ(m.player->plays, 0);
    key(w, "w", EventModifierFlagCommand);
    EXPECT_TRUE(w->isVisible());
    EXPECT_TRUE(sheet->isVisible());

    w->endSheet(sheet);
    m.menu->update();
    EXPECT_TRUE(m.play->isEnabled());
    key(w, "p", EventModifierFlagCommand);
    EXPECT_EQ(m.player->plays, 1);
}

TEST_F(MenuTest, WindowsCloseAndZoomFromMenuShortcutsAndTitleBar)
{
    auto menu = Menu::initWithTitle("Main");
    auto close = menu->addItemWithTitle("Close", "performClose:", "w");
    auto zoom = menu->addItemWithTitle("Zoom", "zoom:");
    Application::shared()->setMainMenu(menu);

    // A window that cannot be closed or resized offers neither.
    auto fixed = makeWindow(300, 200, WindowStyleMaskTitled);
    fixed->makeKeyAndOrderFront();
    menu->update();
    EXPECT_FALSE(close->isEnabled());
    EXPECT_FALSE(zoom->isEnabled());

    auto w = makeWindow(300, 200, WindowStyleMaskTitled | WindowStyleMaskClosable | WindowStyleMaskResizable);
    w->makeKeyAndOrderFront();
    menu->update();
    EXPECT_TRUE(close->isEnabled());
    EXPECT_TRUE(zoom->isEnabled());

    // Zoom fills the screen and a second zoom gives the window its size back; the title bar's
    // zoom button and a double click on the bar do the same.
    const graphics::Rect before = w->frame();
    EXPECT_TRUE(menu->performActionForItemAtIndex(menu->indexOfItem(zoom)));
    EXPECT_TRUE(w->isZoomed());
    EXPECT_GT(w->frame().width(), before.width());
    w->zoom(nullptr);
    EXPECT_FALSE(w->isZoomed());
    EXPECT_EQ(w->frame(), before);

    auto button = w->standardWindowButton(WindowButton::zoomButton);
    ASSERT_TRUE(button);
    const auto at = button->convertRectToView(button->bounds(), nullptr);
    click(w, at.midX(), at.midY());
    EXPECT_TRUE(w->isZoomed());
    const double barY = w->frame().height() - Window::titleBarHeight() / 2;
    mouse(w, EventType::leftMouseDown, w->frame().width() / 2, barY, 2);
    mouse(w, EventType::leftMouseUp, w->frame().width() / 2, barY, 2);
    EXPECT_FALSE(w->isZoomed());
    EXPECT_EQ(w->frame(), before);

    key(w, "w", EventModifierFlagCommand);
    EXPECT_FALSE(w->isVisible());
}
