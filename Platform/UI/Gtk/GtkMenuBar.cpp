#include "Platform/UI/Gtk/GtkMenuBar.h"

#include <gtk/gtk.h>

#include <list>

#include "Platform/Dispatch/RunLoop.h"
#include "Platform/UI/Application.h"
#include "Platform/UI/Event.h"

namespace ui {

struct GtkMenuBar::Impl {
    struct Entry {
        std::weak_ptr<MenuItem> item;
        std::string name;
        Impl* owner = nullptr;
    };
    GSimpleActionGroup* group = g_simple_action_group_new();
    GMenu* model = nullptr;
    std::weak_ptr<Menu> builtFrom;
    std::string signature;
    std::vector<std::unique_ptr<Entry>> entries;
    std::list<GtkWidget*> bars; // weak: each bar clears its slot when it goes

    ~Impl()
    {
        for (GtkWidget*& bar : bars) {
            if (bar)
                g_object_remove_weak_pointer(G_OBJECT(bar), reinterpret_cast<gpointer*>(&bar));
        }
        clearActions();
        if (model)
            g_object_unref(model);
        g_object_unref(group);
    }

    void clearActions()
    {
        for (const auto& e : entries)
            g_action_map_remove_action(G_ACTION_MAP(group), e->name.c_str());
        entries.clear();
    }

    static void activate(GSimpleAction*, GVariant*, gpointer data)
    {
        auto* entry = static_cast<Entry*>(data);
        auto item = entry->item.lock();
        Menu* menu = item ? item->menu() : nullptr;
        if (!menu)
            return;
        // Performed on the run loop, outside GTK's dispatch of the click: the command may run
        // a loop of its own (a modal alert), which needs GTK's events to flow.
        std::weak_ptr<MenuItem> weakItem = item;
        dispatch::RunLoop::main().perform([weakItem] {
            auto item = weakItem.lock();
            Menu* menu = item ? item->menu() : nullptr;
            if (!menu)
                return;
            auto keepMenu = menu->sharedAs<Menu>();
            keepMenu->performActionForItemAtIndex(keepMenu->indexOfItem(item));
        });
    }

    // Titles, checks and what is hidden: a change of any needs a new model.
    static void describe(const Menu& menu, std::string& out)
    {
        for (const auto& item : menu.itemArray()) {
            out += item->title();
            out += item->isHidden() ? "h" : "v";
            out += item->state() == ControlStateValueOn ? "1" : "0";
            out += item->isSeparatorItem() ? "-" : "";
            if (auto sub = item->submenu()) {
                out += "{";
                describe(*sub, out);
                out += "}";
            }
            out += "\n";
        }
    }

    GMenu* build(const Menu& menu)
    {
        GMenu* result = g_menu_new();
        GMenu* section = g_menu_new();
        auto flush = [&] {
            if (g_menu_model_get_n_items(G_MENU_MODEL(section)) > 0)
                g_menu_append_section(result, nullptr, G_MENU_MODEL(section));
            g_object_unref(section);
            section = g_menu_new();
        };
        for (const auto& item : menu.itemArray()) {
            if (item->isHidden())
                continue;
            if (item->isSeparatorItem()) {
                flush();
                continue;
            }
            if (auto sub = item->submenu()) {
                GMenu* child = build(*sub);
                g_menu_append_submenu(section, item->title().c_str(), G_MENU_MODEL(child));
                g_object_unref(child);
                continue;
            }
            auto entry = std::make_unique<Entry>();
            entry->item = item;
            entry->owner = this;
            entry->name = "item" + std::to_string(entries.size());
            GSimpleAction* action = item->state() == ControlStateValueOn
                ? g_simple_action_new_stateful(entry->name.c_str(), nullptr, g_variant_new_boolean(TRUE))
                : g_simple_action_new(entry->name.c_str(), nullptr);
            g_signal_connect(action, "activate", G_CALLBACK(activate), entry.get());
            g_simple_action_set_enabled(action, item->isEnabled());
            g_action_map_add_action(G_ACTION_MAP(group), G_ACTION(action));
            g_object_unref(action);
            GMenuItem* menuItem = g_menu_item_new(item->title().c_str(), ("app." + entry->name).c_str());
            const std::string accel = GtkMenuBar::acceleratorFor(*item);
            if (!accel.empty())
                g_menu_item_set_attribute(menuItem, "accel", "s", accel.c_str());
            g_menu_append_item(section, menuItem);
            g_object_unref(menuItem);
            entries.push_back(std::move(entry));
        }
        flush();
        g_object_unref(section);
        return result;
    }

    void rebuild(const std::shared_ptr<Menu>& mainMenu)
    {
        clearActions();
        if (model)
            g_object_unref(model);
        model = mainMenu ? build(*mainMenu) : g_menu_new();
        builtFrom = mainMenu;
        for (GtkWidget* bar : bars) {
            if (bar)
                gtk_popover_menu_bar_set_menu_model(GTK_POPOVER_MENU_BAR(bar), G_MENU_MODEL(model));
        }
    }
};

GtkMenuBar::GtkMenuBar()
    : m_impl(std::make_unique<Impl>())
{
    refresh();
}

GtkMenuBar::~GtkMenuBar() = default;

GActionGroup* GtkMenuBar::actionGroup() const
{
    return G_ACTION_GROUP(m_impl->group);
}

GMenuModel* GtkMenuBar::model() const
{
    return G_MENU_MODEL(m_impl->model);
}

GtkWidget* GtkMenuBar::makeMenuBar()
{
    refresh();
    GtkWidget* bar = gtk_popover_menu_bar_new_from_model(G_MENU_MODEL(m_impl->model));
    m_impl->bars.remove(nullptr);
    // A list: the slot's address, which GLib clears when the bar goes, stays put.
    GtkWidget*& slot = m_impl->bars.emplace_back(bar);
    g_object_add_weak_pointer(G_OBJECT(bar), reinterpret_cast<gpointer*>(&slot));
    return bar;
}

void GtkMenuBar::refresh()
{
    auto mainMenu = Application::shared()->mainMenu();
    if (mainMenu)
        mainMenu->update();
    std::string signature;
    if (mainMenu)
        Impl::describe(*mainMenu, signature);
    if (!m_impl->model || signature != m_impl->signature || m_impl->builtFrom.lock() != mainMenu) {
        m_impl->signature = signature;
        m_impl->rebuild(mainMenu);
        return;
    }
    for (const auto& entry : m_impl->entries) {
        auto item = entry->item.lock();
        GAction* action = g_action_map_lookup_action(G_ACTION_MAP(m_impl->group), entry->name.c_str());
        if (item && action)
            g_simple_action_set_enabled(G_SIMPLE_ACTION(action), item->isEnabled());
    }
}

std::string GtkMenuBar::acceleratorFor(const MenuItem& item)
{
    const std::string& key = item.keyEquivalent();
    if (key.empty())
        return {};
    std::string accel;
    const unsigned long mask = item.keyEquivalentModifierMask();
    if (mask & EventModifierFlagCommand)
        accel += "<Control>";
    if (mask & EventModifierFlagOption)
        accel += "<Alt>";
    const gunichar c = g_utf8_get_char(key.c_str());
    const bool capital = g_unichar_isupper(c);
    if ((mask & EventModifierFlagShift) || capital)
        accel += "<Shift>";
    const guint keyval = gdk_unicode_to_keyval(capital ? g_unichar_tolower(c) : c);
    const char* name = gdk_keyval_name(keyval);
    if (!name)
        return {};
    return accel + name;
}

} // namespace ui
