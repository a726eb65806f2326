#pragma once
// The on-screen half of the user interface, when the process has a display. Without one
// (tests, --snapshot, a server) nothing is presented: windows are seen only through their
// pictures and the installed ScriptedResponder (else the defaults) answers alerts and panels.
// With one, a person answers them: alerts wait for a click and the file panels are the
// desktop's own chooser. Main thread only.

#include <functional>
#include <optional>
#include <vector>

#include "Platform/Foundation/URL.h"
#include "Platform/UI/Window.h"

namespace ui {

class Menu;
class SavePanel;

class Presenter {
public:
    virtual ~Presenter() = default;

    // Shows the desktop's file chooser for `panel` (an OpenPanel when `open`), modal to
    // `parent` when given; `done` runs once, later, with the chosen file URLs (empty when
    // cancelled).
    virtual void chooseFiles(SavePanel& panel, bool open, const WindowPtr& parent,
                             std::function<void(std::vector<foundation::URL>)> done)
        = 0;

    // Shows `menu` under `rect` (window coordinates of `window`); `chosen` runs, later, with
    // the index of the item picked, and not at all when the menu is dismissed.
    virtual void popUpMenu(const std::shared_ptr<Menu>& menu, Window& window, const graphics::Rect& rect,
                           std::function<void(long)> chosen)
        = 0;

    static Presenter* installed();
    static void install(Presenter* presenter);
};

// Whether a person answers what the interface asks: a presenter is installed and no scripted
// responder stands in for the user.
bool isInteractive();

} // namespace ui
