#pragma once
// The user interface on a display, through GTK 4. While a GtkDesktop lives, the main run loop
// and GLib's main context run as one loop on the main thread; every visible window that is not
// a sheet gets a GTK window whose drawing area shows the window's own picture (title bar, views
// and an attached sheet, drawn by our views with cairo); pointer, scroll, keys and file drops
// become the window's events; the main menu is the menu bar of the resizable windows; the file
// panels are the desktop's chooser; alerts and modal sessions wait for the person.
// Without a display nothing here is used and the interface stays headless. Main thread only.

#include <memory>
#include <vector>

#include "Platform/Dispatch/RunLoop.h"
#include "Platform/Foundation/URL.h"
#include "Platform/Graphics/Geometry.h"
#include "Platform/UI/Window.h"

namespace ui {

class GtkDesktop {
public:
    // Opens the display (DISPLAY or WAYLAND_DISPLAY) and takes over presenting; none when there
    // is no display to open. One at a time.
    static std::unique_ptr<GtkDesktop> open();
    // Closes every GTK window and gives the main loop back to the run loop alone.
    ~GtkDesktop();

    GtkDesktop(const GtkDesktop&) = delete;
    GtkDesktop& operator=(const GtkDesktop&) = delete;

    // Brings the GTK side up to date with the windows (made, shown, hidden, resized, retitled,
    // redrawn). Runs after every turn of the main loop; callable at any time.
    void synchronize();

    struct Impl;

private:
    GtkDesktop();
    std::unique_ptr<Impl> m_impl;
};

// GLib's default main context as a run loop's event source (what a GtkDesktop installs on the
// main loop): a turn dispatches what GLib has ready, and waiting for work is GLib's wait, which
// perform() ends.
std::unique_ptr<dispatch::RunLoop::EventSource> makeGLibEventSource();

// Brings the GTK window showing `window` (a sheet's parent's for a sheet) in front of the
// desktop's other windows, with the keyboard; nothing without a desktop or such a window.
void raiseOnDisplay(const Window& window);

// Whether a display is named in the environment.
bool hasDisplayEnvironment();

// The window point under a pointer at `x`, `y` of a drawing area showing `window` (GTK's
// y-down pixels of the window's whole frame).
graphics::Point windowPointForAreaPoint(const Window& window, double x, double y);

// A file drop from the desktop at `location` (window coordinates): the files reach the drag
// destination under it as a drag's pasteboard would bring them. Whether it took them.
bool deliverFileDrop(Window& window, const std::vector<foundation::URL>& files, graphics::Point location);

} // namespace ui
