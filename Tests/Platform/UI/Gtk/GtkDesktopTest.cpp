// The on-screen interface: GLib's main context sharing the main run loop, the main menu as GTK
// actions that follow menu validation, and (on a display) the desktop's file chooser.
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <chrono>
#include <optional>
#include <thread>

#include "Platform/Dispatch/RunLoop.h"
#include "Platform/UI/Application.h"
#include "Platform/UI/Event.h"
#include "Platform/UI/Gtk/GtkDesktop.h"
#include "Platform/UI/Gtk/GtkMenuBar.h"
#include "Platform/UI/Menu.h"
#include "Platform/UI/SavePanel.h"

namespace {

TEST(GLibEventSource, GLibSourcesAndPerformedBlocksRunOnTheOneLoop)
{
    auto& loop = dispatch::RunLoop::main();
    auto source = ui::makeGLibEventSource();
    loop.setEventSource(source.get());

    bool fired = false;
    g_timeout_add(20, [](gpointer data) -> gboolean {
        *static_cast<bool*>(data) = true;
        return G_SOURCE_REMOVE;
    }, &fired);
    bool ran = false;
    std::thread performer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(60));
        loop.perform([&] { ran = true; });
    });
    // Long waits: GLib's timeout ends the first, the block performed from elsewhere a later one.
    const auto start = std::chrono::steady_clock::now();
    for (int turn = 0; turn < 10 && !(fired && ran); ++turn)
        loop.runOnce(60);
    performer.join();
    EXPECT_TRUE(fired);
    EXPECT_TRUE(ran);
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 30);

    loop.setEventSource(nullptr);
}

// Answers "play:" always and "stop:" only while playing; "play:" shows a check while playing.
class Player : public ui::Object {
public:
    Player()
    {
        registerAction("play:", [this](Object*) { playing = !playing; });
        registerAction("stop:", [this](Object*) { playing = false; });
    }
    bool validateMenuItem(ui::MenuItem& item) override
    {
        if (item.action() == "play:") {
            item.setTitle(playing ? "Pause" : "Play");
            item.setState(playing ? ui::ControlStateValueOn : ui::ControlStateValueOff);
            return true;
        }
        return playing;
    }
    bool playing = false;
};

// The label of item `index` of section `section` of the first menu of the bar's model.
std::string labelAt(GMenuModel* bar, int section, int index)
{
    GMenuModel* titles = g_menu_model_get_item_link(bar, 0, G_MENU_LINK_SECTION);
    GMenuModel* menu = titles ? g_menu_model_get_item_link(titles, 0, G_MENU_LINK_SUBMENU) : nullptr;
    if (titles)
        g_object_unref(titles);
    GMenuModel* items = menu ? g_menu_model_get_item_link(menu, section, G_MENU_LINK_SECTION) : nullptr;
    char* label = nullptr;
    if (items)
        g_menu_model_get_item_attribute(items, index, G_MENU_ATTRIBUTE_LABEL, "s", &label);
    std::string text = label ? label : "";
    g_free(label);
    if (items)
        g_object_unref(items);
    if (menu)
        g_object_unref(menu);
    return text;
}

TEST(GtkMenuBar, MenuItemsAreActionsEnabledCheckedAndTitledByValidation)
{
    auto player = std::make_shared<Player>();
    auto mainMenu = ui::Menu::initWithTitle("Main");
    auto controls = ui::Menu::initWithTitle("Controls");
    auto top = ui::MenuItem::initWithTitle("Controls");
    top->setSubmenu(controls);
    mainMenu->addItem(top);
    auto play = controls->addItemWithTitle("Play", "play:", " ");
    play->setTarget(player);
    controls->addItem(ui::MenuItem::separatorItem());
    auto stop = controls->addItemWithTitle("Stop", "stop:", "Z");
    stop->setTarget(player);
    auto app = ui::Application::shared();
    app->setMainMenu(mainMenu);

    ui::GtkMenuBar bar;
    GActionGroup* actions = bar.actionGroup();
    EXPECT_EQ(labelAt(bar.model(), 0, 0), "Play");
    EXPECT_TRUE(g_action_group_get_action_enabled(actions, "item0"));
    EXPECT_FALSE(g_action_group_get_action_enabled(actions, "item1"));
    EXPECT_EQ(g_action_group_get_action_state_type(actions, "item0"), nullptr);

    // Choosing an item performs it on the run loop, as a click on the menu does.
    g_action_group_activate_action(actions, "item0", nullptr);
    EXPECT_FALSE(player->playing);
    dispatch::RunLoop::main().runOnce(0);
    EXPECT_TRUE(player->playing);

    // What validation says now shows: enabled, the new title, a check.
    bar.refresh();
    EXPECT_TRUE(g_action_group_get_action_enabled(actions, "item1"));
    GVariant* state = g_action_group_get_action_state(actions, "item0");
    ASSERT_TRUE(state);
    EXPECT_TRUE(g_variant_get_boolean(state));
    g_variant_unref(state);
    EXPECT_EQ(labelAt(bar.model(), 0, 0), "Pause");
    EXPECT_EQ(labelAt(bar.model(), 1, 0), "Stop");

    app->setMainMenu(nullptr);
}

TEST(GtkMenuBar, KeyEquivalentsShowAsTheDesktopsAccelerators)
{
    struct Case {
        const char* key;
        unsigned long mask;
        const char* accelerator;
    };
    const Case cases[] = {
        {"e", ui::EventModifierFlagCommand, "<Control>e"},
        {"Z", ui::EventModifierFlagCommand, "<Control><Shift>z"},
        {" ", ui::EventModifierFlagCommand, "<Control>space"},
        {"?", ui::EventModifierFlagCommand, "<Control>question"},
        {"r", ui::EventModifierFlagCommand | ui::EventModifierFlagOption, "<Control><Alt>r"},
        {"", ui::EventModifierFlagCommand, ""},
    };
    for (const auto& c : cases) {
        auto item = ui::MenuItem::initWithTitle("Item", "act:", c.key);
        item->setKeyEquivalentModifierMask(c.mask);
        EXPECT_EQ(ui::GtkMenuBar::acceleratorFor(*item), c.accelerator) << "key '" << c.key << "'";
    }
}

namespace onscreen {

// The open panel as the desktop's chooser shows it: the kinds of file it offers.
TEST(GtkDesktopChooser, AnOpenPanelForImagesOffersImagesOfEveryKindAndNothingElse)
{
    if (!ui::hasDisplayEnvironment())
        GTEST_SKIP() << "no display";
#if defined(__SANITIZE_ADDRESS__)
    // GTK's chooser keeps a few bytes until the process ends, which LeakSanitizer would report
    // against this test: it runs in the optimised build.
    GTEST_SKIP() << "the chooser's own allocations outlive the test under LeakSanitizer";
#endif
    auto desktop = ui::GtkDesktop::open();
    if (!desktop)
        GTEST_SKIP() << "the display cannot be opened";
    auto panel = ui::OpenPanel::openPanel();
    panel->setCanChooseFiles(true);
    panel->setCanChooseDirectories(true);
    panel->setAllowedFileTypes({"public.image"});
    std::optional<ui::ModalResponse> response;
    panel->begin([&](ui::ModalResponse r) { response = r; });

    GtkFileChooser* chooser = nullptr;
    ASSERT_TRUE(dispatch::RunLoop::main().runUntil([&] {
        GListModel* toplevels = gtk_window_get_toplevels();
        for (guint i = 0; i < g_list_model_get_n_items(toplevels) && !chooser; ++i) {
            GObject* window = G_OBJECT(g_list_model_get_item(toplevels, i));
            if (GTK_IS_FILE_CHOOSER(window) && gtk_widget_get_visible(GTK_WIDGET(window)))
                chooser = GTK_FILE_CHOOSER(window);
            g_object_unref(window);
        }
        return chooser != nullptr;
    }, 20));
    G_GNUC_BEGIN_IGNORE_DEPRECATIONS
    GtkFileFilter* filter = gtk_file_chooser_get_filter(chooser);
    G_GNUC_END_IGNORE_DEPRECATIONS
    ASSERT_NE(filter, nullptr) << "every file is offered";
    const struct {
        const char* name;
        bool offered;
    } cases[] = {
        {"IMG_0001.jpg", true}, {"IMG_0002.JPG", true}, {"scan.tiff", true}, {"photo.heic", true},
        {"frame.png", true},    {"DSC_0001.NEF", true}, {"clip.mp4", false}, {"clip.mov", false},
        {"notes.txt", false},   {"page.pdf", false},
    };
    for (const auto& c : cases) {
        GFileInfo* info = g_file_info_new();
        g_file_info_set_display_name(info, c.name);
        g_file_info_set_name(info, c.name);
        EXPECT_EQ(gtk_filter_match(GTK_FILTER(filter), info), c.offered) << c.name;
        g_object_unref(info);
    }
    G_GNUC_BEGIN_IGNORE_DEPRECATIONS
    gtk_dialog_response(GTK_DIALOG(chooser), GTK_RESPONSE_CANCEL);
    G_GNUC_END_IGNORE_DEPRECATIONS
    ASSERT_TRUE(dispatch::RunLoop::main().runUntil([&] { return response.has_value(); }, 20));
    EXPECT_EQ(*response, ui::ModalResponseCancel);
}

} // namespace onscreen

} // namespace
