#pragma once
// The application's main menu as a GTK menu bar: a GMenu model of its items, one action per
// item in the "app" action group. Choosing an item performs it as a click on the menu would
// (validated, then sent along the responder chain). refresh() validates every item and carries
// the results over: enabled actions, and, when titles, checks or hidden items changed, a new
// model. Keyboard equivalents stay the windows' own (Control stands for the shortcut key);
// the menus show them. Main thread only.

#include <memory>
#include <string>
#include <vector>

#include "Platform/UI/Menu.h"

typedef struct _GtkWidget GtkWidget;
typedef struct _GActionGroup GActionGroup;
typedef struct _GMenuModel GMenuModel;

namespace ui {

class GtkMenuBar {
public:
    GtkMenuBar();
    ~GtkMenuBar();
    GtkMenuBar(const GtkMenuBar&) = delete;
    GtkMenuBar& operator=(const GtkMenuBar&) = delete;

    // A new menu bar widget showing the main menu (floating reference).
    GtkWidget* makeMenuBar();
    GActionGroup* actionGroup() const;
    // The model the menu bars show (owned by this object; replaced when it is rebuilt).
    GMenuModel* model() const;
    void refresh();

    // The accelerator GTK shows for a key equivalent ("<Control><Shift>z" for "Z").
    static std::string acceleratorFor(const MenuItem& item);

    struct Impl;

private:
    std::unique_ptr<Impl> m_impl;
};

} // namespace ui
