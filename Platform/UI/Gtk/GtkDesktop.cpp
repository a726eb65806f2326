#include "Platform/UI/Gtk/GtkDesktop.h"

#include <gtk/gtk.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <cstdlib>
#include <functional>
#include <map>
#include <optional>

#include "Platform/Dispatch/RunLoop.h"
#include "Platform/Foundation/Bundle.h"
#include "Platform/Graphics/Image.h"
#include "Platform/Images/UTType.h"
#include "Platform/UI/Application.h"
#include "Platform/UI/Control.h"
#include "Platform/UI/Event.h"
#include "Platform/UI/Gtk/GtkMenuBar.h"
#include "Platform/UI/Menu.h"
#include "Platform/UI/Pasteboard.h"
#include "Platform/UI/PlayerView.h"
#include "Platform/UI/Presenter.h"
#include "Platform/UI/SavePanel.h"
#include "Platform/UI/TextField.h"
#include "Platform/UI/View.h"

namespace ui {

using graphics::Point;
using graphics::Rect;

bool hasDisplayEnvironment()
{
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
        const char* value = std::getenv(name);
        if (value && *value)
            return true;
    }
    return false;
}

Point windowPointForAreaPoint(const Window& window, double x, double y)
{
    return Point {x, window.frame().height() - y};
}

bool deliverFileDrop(Window& window, const std::vector<foundation::URL>& files, Point location)
{
    if (files.empty())
        return false;
    auto pasteboard = Pasteboard::pasteboardWithUniqueName();
    pasteboard->writeURLs(files);
    const bool taken = window.performDragOperation(pasteboard, location, NSDragOperationCopy | NSDragOperationGeneric);
    window.draggingExited();
    return taken;
}

namespace {

// ---- the one main loop ------------------------------------------------------------------------

// GLib's default context as the run loop's event source: a turn dispatches what GLib has ready
// and the run loop's waits are GLib's, ended by g_main_context_wakeup when work is performed.
class GLibEventSource final : public dispatch::RunLoop::EventSource {
public:
    bool dispatchEvents(double waitSeconds) override
    {
        GMainContext* context = g_main_context_default();
        bool dispatched = false;
        if (waitSeconds > 0) {
            const auto ms = static_cast<guint>(std::clamp(std::ceil(waitSeconds * 1000), 1.0, 3600.0 * 1000));
            bool fired = false;
            GSource* timeout = g_timeout_source_new(ms);
            g_source_set_callback(timeout, [](gpointer data) -> gboolean {
                *static_cast<bool*>(data) = true;
                return G_SOURCE_REMOVE;
            }, &fired, nullptr);
            g_source_attach(timeout, context);
            dispatched = g_main_context_iteration(context, TRUE) && !fired;
            g_source_destroy(timeout);
            g_source_unref(timeout);
        }
        // Then whatever else is ready, within reason so that performed work is not starved.
        for (int i = 0; i < 64 && g_main_context_iteration(context, FALSE); ++i)
            dispatched = true;
        return dispatched;
    }

    void wakeUp() override
    {
        m_worked.store(true, std::memory_order_release);
        g_main_context_wakeup(g_main_context_default());
    }

    // Whether work was performed on the run loop since the last call: only work changes what
    // the windows show (the loop's own drawing does not).
    bool takeWork() { return m_worked.exchange(false, std::memory_order_acq_rel); }

private:
    std::atomic<bool> m_worked {true};
};

unsigned long modifiersOf(GdkModifierType state)
{
    unsigned long flags = 0;
    if (state & GDK_SHIFT_MASK)
        flags |= EventModifierFlagShift;
    // The desktop's Control is the key that the application's shortcuts are made with.
    if (state & GDK_CONTROL_MASK)
        flags |= EventModifierFlagCommand;
    if (state & GDK_ALT_MASK)
        flags |= EventModifierFlagOption;
    return flags;
}

std::string utf8(gunichar c)
{
    char buffer[8] = {};
    const int n = g_unichar_to_utf8(c, buffer);
    return std::string(buffer, static_cast<size_t>(n));
}

// The characters a key produces, as the views expect them (function keys in the private-use
// area, Return as "\r"); empty for keys that produce none.
std::string charactersForKey(guint keyval)
{
    switch (keyval) {
    case GDK_KEY_Return:
    case GDK_KEY_KP_Enter:
    case GDK_KEY_ISO_Enter:
        return kReturnKey;
    case GDK_KEY_Escape:
        return kEscapeKey;
    case GDK_KEY_Tab:
    case GDK_KEY_ISO_Left_Tab:
    case GDK_KEY_KP_Tab:
        return kTabKey;
    case GDK_KEY_BackSpace:
        return kDeleteBackwardKey;
    case GDK_KEY_Up: return utf8(0xF700);
    case GDK_KEY_Down: return utf8(0xF701);
    case GDK_KEY_Left: return utf8(0xF702);
    case GDK_KEY_Right: return utf8(0xF703);
    case GDK_KEY_Delete: return utf8(0xF728);
    case GDK_KEY_Home: return utf8(0xF729);
    case GDK_KEY_End: return utf8(0xF72B);
    case GDK_KEY_Page_Up: return utf8(0xF72C);
    case GDK_KEY_Page_Down: return utf8(0xF72D);
    default:
        break;
    }
    const gunichar c = gdk_keyval_to_unicode(keyval);
    if (c == 0 || g_unichar_iscntrl(c))
        return {};
    return utf8(c);
}

template <class T> void forEachView(View* view, const std::function<void(T&)>& visit)
{
    if (!view)
        return;
    if (auto* match = dynamic_cast<T*>(view))
        visit(*match);
    for (const auto& sub : view->subviews())
        forEachView<T>(sub.get(), visit);
}

// Whether a view of the window (or of its attached sheet) draws something new at every moment.
bool isAnimating(Window& window)
{
    bool animating = false;
    forEachView<View>(window.frameView().get(), [&](View& view) {
        if (!animating && view.isAnimating() && !view.isHiddenOrHasHiddenAncestor())
            animating = true;
    });
    if (auto sheet = window.attachedSheet(); sheet && !animating)
        animating = isAnimating(*sheet);
    return animating;
}

// Where an attached sheet hangs in its parent (parent's window coordinates), as the parent's
// picture shows it.
Rect sheetRectIn(const Window& parent, const Window& sheet)
{
    const Rect frame {{0, 0}, parent.frame().size};
    const Rect content = parent.contentRectForFrameRect(frame);
    const graphics::Size s = sheet.contentRectForFrameRect(sheet.frame()).size;
    return Rect::make(std::round((frame.width() - s.width) / 2), content.maxY() - s.height, s.width, s.height);
}

// The window that takes a pointer event at `point`: the attached sheet under it (the point
// moved into the sheet's coordinates), else the window itself.
WindowPtr pointerTarget(const WindowPtr& window, Point& point)
{
    WindowPtr target = window;
    while (WindowPtr sheet = target->attachedSheet()) {
        const Rect at = sheetRectIn(*target, *sheet);
        if (!at.contains(point))
            break;
        point = Point {point.x - at.minX(), point.y - at.minY()};
        target = sheet;
    }
    return target;
}

const char* cursorName(Cursor cursor)
{
    switch (cursor) {
    case Cursor::arrow: return "default";
    case Cursor::pointingHand: return "pointer";
    case Cursor::resizeLeftRight: return "ew-resize";
    case Cursor::resizeUpDown: return "ns-resize";
    case Cursor::iBeam: return "text";
    case Cursor::crosshair: return "crosshair";
    case Cursor::openHand: return "grab";
    case Cursor::closedHand: return "grabbing";
    }
    return "default";
}

// The cursor the views ask for at `point` (window coordinates): the front-most view's rect
// that holds it, the views asked afresh for their rects.
std::optional<Cursor> cursorAt(View& view, Point point)
{
    if (view.isHidden())
        return std::nullopt;
    const auto& subviews = view.subviews();
    for (auto it = subviews.rbegin(); it != subviews.rend(); ++it) {
        if (auto cursor = cursorAt(**it, point))
            return cursor;
    }
    view.discardCursorRects();
    view.resetCursorRects();
    for (const auto& [rect, cursor] : view.cursorRects()) {
        if (view.convertRectToView(rect, nullptr).contains(point))
            return cursor;
    }
    return std::nullopt;
}

// The desktop in charge, for work handed to the run loop.
GtkDesktop::Impl* g_desktop = nullptr;

} // namespace

// Input is handed to the run loop rather than handled inside GTK's event dispatch: what it
// starts may run a loop of its own (a modal alert, a wait), and GLib dispatches no further
// window events while it is still dispatching one. Order is kept; the windows are brought up
// to date after each.
static void deliver(std::function<void()> work);

namespace {

// What the desktop calls a window (its title bar, task list and window menu): its title, else
// the application's name.
std::string shownTitle(const Window& window)
{
    if (!window.title().empty())
        return window.title();
    const char* name = g_get_application_name();
    return name ? name : "";
}

} // namespace

// ---- presented windows ----------------------------------------------------------------------

struct GtkDesktop::Impl final : Presenter {
    struct Host {
        Impl* owner = nullptr;
        std::weak_ptr<Window> window;
        GtkWidget* gtkWindow = nullptr;
        GtkWidget* area = nullptr;
        GtkWidget* menuBar = nullptr;
        std::string title;
        graphics::Size size;
        bool pressed = false;
        bool miniaturized = false;
        guint tick = 0;
        guint focusReturn = 0;
        std::string cursor = "default";
        // The picture on screen: drawn afresh only when the window's picture differs from it.
        graphics::ImagePtr shown;
    };

    GLibEventSource eventSource;
    dispatch::RunLoop::ObserverId observer = 0;
    std::map<const Window*, std::unique_ptr<Host>> hosts;
    std::unique_ptr<GtkMenuBar> menus;
    bool synchronizing = false;
    bool hadWindows = false;
    GList* icons = nullptr; // textures of the application's icon, loaded once
    bool iconsLoaded = false;
    std::optional<bool> dark;
    // Something other than performed work may have changed a window's picture (its size).
    bool mayHaveChanged = true;
    std::chrono::steady_clock::time_point lastLook;
    guint pendingLook = 0;

    // ---- Presenter
    void chooseFiles(SavePanel& panel, bool open, const WindowPtr& parent,
                     std::function<void(std::vector<foundation::URL>)> done) override;
    void popUpMenu(const std::shared_ptr<Menu>& menu, Window& window, const Rect& rect,
                   std::function<void(long)> chosen) override;

    void synchronize();
    void followAppearance(const std::vector<WindowPtr>& windows);
    void setIcon(GtkWindow* window);
    void lookAtPictures();
    static bool refreshPicture(Host& host, Window& window);
    static void returnFocusLater(Host& host);
    void present(const WindowPtr& window);
    void dismiss(Host& host);
    GtkWindow* gtkWindowFor(const WindowPtr& window) const
    {
        for (WindowPtr w = window; w; w = w->sheetParent()) {
            auto it = hosts.find(w.get());
            if (it != hosts.end())
                return GTK_WINDOW(it->second->gtkWindow);
        }
        return nullptr;
    }

    static void draw(GtkDrawingArea*, cairo_t* cr, int width, int height, gpointer data);
    static void resized(GtkDrawingArea*, int width, int height, gpointer data);
    static void pressedCallback(GtkGestureClick* gesture, int n, double x, double y, gpointer data);
    static void releasedCallback(GtkGestureClick* gesture, int n, double x, double y, gpointer data);
    static void motionCallback(GtkEventControllerMotion* controller, double x, double y, gpointer data);
    static void leaveCallback(GtkEventControllerMotion* controller, gpointer data);
    static gboolean scrollCallback(GtkEventControllerScroll* controller, double dx, double dy, gpointer data);
    static gboolean keyPressed(GtkEventControllerKey* controller, guint keyval, guint keycode, GdkModifierType state,
                               gpointer data);
    static void keyReleased(GtkEventControllerKey* controller, guint keyval, guint keycode, GdkModifierType state,
                            gpointer data);
    static gboolean closeRequest(GtkWindow*, gpointer data);
    static void activeChanged(GObject*, GParamSpec*, gpointer data);
    static GdkDragAction dropMotion(GtkDropTarget* target, double x, double y, gpointer data);
    static void dropLeave(GtkDropTarget* target, gpointer data);
    static gboolean dropCallback(GtkDropTarget* target, const GValue* value, double x, double y, gpointer data);
    static gboolean tickCallback(GtkWidget*, GdkFrameClock*, gpointer data);
    static void focusChanged(GObject*, GParamSpec*, gpointer data);

    static void sendMouse(Host& host, EventType type, double x, double y, long clicks, GdkModifierType state);
    static bool handleEditingShortcut(Host& host, const WindowPtr& window, guint keyval, GdkModifierType state);
};

void GtkDesktop::Impl::present(const WindowPtr& window)
{
    auto host = std::make_unique<Host>();
    Host* h = host.get();
    h->owner = this;
    h->window = window;
    h->gtkWindow = gtk_window_new();
    g_object_ref_sink(h->gtkWindow);
    GtkWindow* gw = GTK_WINDOW(h->gtkWindow);
    // Our views draw the title bar (it fades with the pointer) and its buttons.
    gtk_window_set_decorated(gw, FALSE);
    gtk_window_set_title(gw, shownTitle(*window).c_str());
    gtk_window_set_resizable(gw, (window->styleMask() & WindowStyleMaskResizable) != 0);

    GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
    if ((window->styleMask() & WindowStyleMaskResizable) && menus) {
        h->menuBar = menus->makeMenuBar();
        gtk_widget_insert_action_group(h->gtkWindow, "app", menus->actionGroup());
        gtk_box_append(GTK_BOX(box), h->menuBar);
    }
    h->area = gtk_drawing_area_new();
    const graphics::Size size = window->frame().size;
    h->size = size;
    gtk_drawing_area_set_content_width(GTK_DRAWING_AREA(h->area), 1);
    gtk_drawing_area_set_content_height(GTK_DRAWING_AREA(h->area), 1);
    gtk_widget_set_hexpand(h->area, TRUE);
    gtk_widget_set_vexpand(h->area, TRUE);
    gtk_widget_set_focusable(h->area, TRUE);
    gtk_drawing_area_set_draw_func(GTK_DRAWING_AREA(h->area), draw, h, nullptr);
    g_signal_connect(h->area, "resize", G_CALLBACK(resized), h);
    gtk_box_append(GTK_BOX(box), h->area);
    gtk_window_set_child(gw, box);
    int menuHeight = 0;
    if (h->menuBar) {
        gtk_widget_measure(h->menuBar, GTK_ORIENTATION_VERTICAL, -1, &menuHeight, nullptr, nullptr, nullptr);
    }
    gtk_window_set_default_size(gw, static_cast<int>(size.width), static_cast<int>(size.height) + menuHeight);
    // The size it is first shown at is also the smallest it can be made: the views were laid
    // out for it.
    gtk_widget_set_size_request(h->area, static_cast<int>(size.width), static_cast<int>(size.height));

    GtkGesture* click = gtk_gesture_click_new();
    gtk_gesture_single_set_button(GTK_GESTURE_SINGLE(click), 0);
    g_signal_connect(click, "pressed", G_CALLBACK(pressedCallback), h);
    g_signal_connect(click, "released", G_CALLBACK(releasedCallback), h);
    gtk_widget_add_controller(h->area, GTK_EVENT_CONTROLLER(click));

    GtkEventController* motion = gtk_event_controller_motion_new();
    g_signal_connect(motion, "motion", G_CALLBACK(motionCallback), h);
    g_signal_connect(motion, "leave", G_CALLBACK(leaveCallback), h);
    gtk_widget_add_controller(h->area, motion);

    GtkEventController* scroll = gtk_event_controller_scroll_new(GTK_EVENT_CONTROLLER_SCROLL_BOTH_AXES);
    g_signal_connect(scroll, "scroll", G_CALLBACK(scrollCallback), h);
    gtk_widget_add_controller(h->area, scroll);

    GtkEventController* keys = gtk_event_controller_key_new();
    g_signal_connect(keys, "key-pressed", G_CALLBACK(keyPressed), h);
    g_signal_connect(keys, "key-released", G_CALLBACK(keyReleased), h);
    gtk_widget_add_controller(h->area, keys);

    GtkDropTarget* drop = gtk_drop_target_new(GDK_TYPE_FILE_LIST, GDK_ACTION_COPY);
    gtk_drop_target_set_preload(drop, TRUE);
    g_signal_connect(drop, "enter", G_CALLBACK(dropMotion), h);
    g_signal_connect(drop, "motion", G_CALLBACK(dropMotion), h);
    g_signal_connect(drop, "leave", G_CALLBACK(dropLeave), h);
    g_signal_connect(drop, "drop", G_CALLBACK(dropCallback), h);
    gtk_widget_add_controller(h->area, GTK_EVENT_CONTROLLER(drop));

    g_signal_connect(h->gtkWindow, "close-request", G_CALLBACK(closeRequest), h);
    g_signal_connect(h->gtkWindow, "notify::is-active", G_CALLBACK(activeChanged), h);
    g_signal_connect(h->gtkWindow, "notify::focus-widget", G_CALLBACK(focusChanged), h);

    // An application-modal window (an alert run on its own) stays over the main window.
    if (Application::shared()->modalWindow() == window) {
        gtk_window_set_modal(gw, TRUE);
        if (auto main = Application::shared()->mainWindow(); main && main != window) {
            if (GtkWindow* parent = gtkWindowFor(main))
                gtk_window_set_transient_for(gw, parent);
        }
    }
    h->title = shownTitle(*window);
    hosts.emplace(window.get(), std::move(host));
    gtk_window_present(gw);
    gtk_widget_grab_focus(h->area);
    setIcon(gw);
}

void GtkDesktop::Impl::dismiss(Host& host)
{
    if (host.tick)
        gtk_widget_remove_tick_callback(host.area, host.tick);
    host.tick = 0;
    if (host.focusReturn)
        g_source_remove(host.focusReturn);
    host.focusReturn = 0;
    if (host.gtkWindow) {
        g_signal_handlers_disconnect_by_data(host.gtkWindow, &host);
        gtk_window_destroy(GTK_WINDOW(host.gtkWindow));
        g_object_unref(host.gtkWindow);
    }
    host.gtkWindow = nullptr;
    host.area = nullptr;
}


void GtkDesktop::Impl::followAppearance(const std::vector<WindowPtr>& windows)
{
    // GTK's own parts (menus, pop-ups, choosers) take the look of the window in front.
    auto app = Application::shared();
    WindowPtr front = app->keyWindow() ? app->keyWindow() : app->mainWindow();
    if (!front && !windows.empty())
        front = windows.front();
    if (!front)
        return;
    const auto appearance = front->effectiveAppearance();
    const bool isDark = appearance && appearance->isDark();
    if (dark == isDark)
        return;
    dark = isDark;
    g_object_set(gtk_settings_get_default(), "gtk-application-prefer-dark-theme", isDark ? TRUE : FALSE, nullptr);
}

void GtkDesktop::Impl::setIcon(GtkWindow* window)
{
    // The application's icon as the window's own (_NET_WM_ICON on X11), for the desktop's task
    // list and window switcher: the bundle's icon file, else its "AppIcon".
    if (!iconsLoaded) {
        iconsLoaded = true;
        // At the size of a desktop's largest icons (X11 takes none larger than 256 pixels).
        if (auto bundle = foundation::Bundle::main()) {
            std::string name = "AppIcon";
            if (const auto& file = bundle->objectForInfoDictionaryKey("CFBundleIconFile"); file.isString() && !file.asString().empty())
                name = foundation::URL::fileURLWithPath(file.asString()).URLByDeletingPathExtension().lastPathComponent();
            if (auto path = bundle->pathForResource(name, "png")) {
                if (GdkTexture* texture = gdk_texture_new_from_filename(path->c_str(), nullptr))
                    icons = g_list_append(icons, texture);
            }
        }
        // GTK sets a window's icon from its icon theme again whenever the theme changes (the
        // dark look, say): this one follows.
        if (GdkDisplay* display = gdk_display_get_default()) {
            g_signal_connect(gtk_icon_theme_get_for_display(display), "changed", G_CALLBACK(+[](GtkIconTheme*, gpointer) {
                if (!g_desktop)
                    return;
                for (auto& [key, host] : g_desktop->hosts) {
                    if (host->gtkWindow)
                        g_desktop->setIcon(GTK_WINDOW(host->gtkWindow));
                }
            }), nullptr);
        }
    }
    GdkSurface* surface = gtk_native_get_surface(GTK_NATIVE(window));
    if (icons && surface && GDK_IS_TOPLEVEL(surface))
        gdk_toplevel_set_icon_list(GDK_TOPLEVEL(surface), icons);
}

void GtkDesktop::Impl::synchronize()
{
    if (synchronizing)
        return;
    synchronizing = true;
    auto app = Application::shared();
    std::vector<WindowPtr> wanted;
    for (const auto& window : app->windows()) {
        if (window->isVisible() && !window->isSheet())
            wanted.push_back(window);
    }
    // Gone or hidden windows lose their GTK window.
    for (auto it = hosts.begin(); it != hosts.end();) {
        auto window = it->second->window.lock();
        const bool keep = window && std::find(wanted.begin(), wanted.end(), window) != wanted.end();
        if (!keep) {
            dismiss(*it->second);
            it = hosts.erase(it);
        } else {
            ++it;
        }
    }
    // The last window closed: with nothing on screen to come back to (no Dock here), the
    // application quits, once the turn that closed it is over and nothing reopened.
    if (wanted.empty() && hadWindows && app->isLaunched() && !app->isTerminated()) {
        dispatch::RunLoop::main().perform([] {
            auto app = Application::shared();
            for (const auto& window : app->windows()) {
                if (window->isVisible())
                    return;
            }
            if (!app->isTerminated())
                app->terminate(nullptr);
        });
    }
    hadWindows = !wanted.empty();
    if (menus)
        menus->refresh();
    followAppearance(wanted);
    for (const auto& window : wanted) {
        auto it = hosts.find(window.get());
        if (it == hosts.end()) {
            present(window);
            continue;
        }
        Host& h = *it->second;
        GtkWindow* gw = GTK_WINDOW(h.gtkWindow);
        if (shownTitle(*window) != h.title) {
            h.title = shownTitle(*window);
            gtk_window_set_title(gw, h.title.c_str());
        }
        const graphics::Size size = window->frame().size;
        if (size != h.size) {
            // Our code resized the window (the area's own resizes are recorded as they come).
            h.size = size;
            mayHaveChanged = true;
            int menuHeight = 0;
            if (h.menuBar)
                menuHeight = gtk_widget_get_height(h.menuBar);
            gtk_window_set_default_size(gw, static_cast<int>(size.width), static_cast<int>(size.height) + menuHeight);
            if (!(window->styleMask() & WindowStyleMaskResizable))
                gtk_widget_set_size_request(h.area, static_cast<int>(size.width), static_cast<int>(size.height));
        }
        if (window->isMiniaturized() != h.miniaturized) {
            h.miniaturized = window->isMiniaturized();
            if (h.miniaturized)
                gtk_window_minimize(gw);
            else
                gtk_window_unminimize(gw);
        }
        const double scale = gtk_widget_get_scale_factor(h.area);
        if (scale != window->backingScaleFactor()) {
            window->setBackingScaleFactor(scale);
            mayHaveChanged = true;
        }
        if (!h.tick && isAnimating(*window))
            h.tick = gtk_widget_add_tick_callback(h.area, tickCallback, &h, nullptr);
    }
    lookAtPictures();
    synchronizing = false;
}

void GtkDesktop::Impl::lookAtPictures()
{
    // What a window shows changes only through work done on the run loop (events, timers,
    // what other threads hand over) or through the desktop (a resize): with neither, nothing is
    // drawn and the loop sleeps. The windows' own drawing is no work.
    if (eventSource.takeWork())
        mayHaveChanged = true;
    if (!mayHaveChanged)
        return;
    // At most once a frame, however much work comes meanwhile.
    constexpr auto interval = std::chrono::milliseconds(15);
    const auto now = std::chrono::steady_clock::now();
    if (now - lastLook < interval) {
        if (!pendingLook) {
            const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(interval - (now - lastLook)).count() + 1;
            pendingLook = g_timeout_add(static_cast<guint>(wait), [](gpointer) -> gboolean {
                // The turn this ends looks again.
                if (g_desktop)
                    g_desktop->pendingLook = 0;
                return G_SOURCE_REMOVE;
            }, nullptr);
        }
        return;
    }
    mayHaveChanged = false;
    lastLook = now;
    for (auto& [key, host] : hosts) {
        // A window that animates is looked at once a frame of the display by its tick instead.
        if (host->tick)
            continue;
        if (auto window = host->window.lock())
            refreshPicture(*host, *window);
    }
}

bool GtkDesktop::Impl::refreshPicture(Host& host, Window& window)
{
    // The window's picture of the moment; drawn only where it differs from what is shown.
    auto image = window.renderImage();
    if (!image)
        return false;
    if (const auto& shown = host.shown; shown && shown->width() == image->width() && shown->height() == image->height()
        && shown->bytesPerRow() == image->bytesPerRow()
        && std::memcmp(shown->data(), image->data(), image->bytesPerRow() * image->height()) == 0)
        return false;
    host.shown = std::move(image);
    gtk_widget_queue_draw(host.area);
    return true;
}

gboolean GtkDesktop::Impl::tickCallback(GtkWidget* widget, GdkFrameClock*, gpointer data)
{
    // The preview plays (or another view animates): each frame of the display shows the
    // picture of the moment.
    auto* h = static_cast<Host*>(data);
    auto window = h->window.lock();
    if (!window || !isAnimating(*window)) {
        // Still once: what changed as it stopped was left to this tick.
        h->tick = 0;
        if (window)
            refreshPicture(*h, *window);
        return G_SOURCE_REMOVE;
    }
    (void)widget;
    refreshPicture(*h, *window);
    return G_SOURCE_CONTINUE;
}

void GtkDesktop::Impl::draw(GtkDrawingArea*, cairo_t* cr, int, int, gpointer data)
{
    auto* h = static_cast<Host*>(data);
    auto window = h->window.lock();
    if (!window)
        return;
    if (!h->shown)
        h->shown = window->renderImage();
    const graphics::ImagePtr image = h->shown;
    if (!image)
        return;
    cairo_surface_t* surface = cairo_image_surface_create_for_data(
        const_cast<unsigned char*>(image->data()), CAIRO_FORMAT_ARGB32, static_cast<int>(image->width()),
        static_cast<int>(image->height()), static_cast<int>(image->bytesPerRow()));
    const double scale = window->backingScaleFactor();
    cairo_save(cr);
    cairo_scale(cr, 1 / scale, 1 / scale);
    cairo_set_source_surface(cr, surface, 0, 0);
    cairo_paint(cr);
    cairo_restore(cr);
    cairo_surface_destroy(surface);
}

void GtkDesktop::Impl::resized(GtkDrawingArea*, int width, int height, gpointer data)
{
    auto* h = static_cast<Host*>(data);
    auto window = h->window.lock();
    if (!window || width <= 0 || height <= 0)
        return;
    const graphics::Size size {static_cast<double>(width), static_cast<double>(height)};
    if (size == window->frame().size)
        return;
    // The person (or the desktop) resized the window: the views lay out for the new size, the
    // top edge staying where it was.
    const Rect old = window->frame();
    h->size = size;
    h->owner->mayHaveChanged = true;
    window->setFrame(Rect::make(old.minX(), old.maxY() - size.height, size.width, size.height));
}

void GtkDesktop::Impl::sendMouse(Host& host, EventType type, double x, double y, long clicks, GdkModifierType state)
{
    const unsigned long modifiers = modifiersOf(state);
    deliver([weak = host.window, type, x, y, clicks, modifiers] {
        auto window = weak.lock();
        if (!window)
            return;
        Point point = windowPointForAreaPoint(*window, x, y);
        WindowPtr target = pointerTarget(window, point);
        Application::shared()->sendEvent(Event::mouseEvent(type, point, target, clicks, modifiers));
    });
}

void GtkDesktop::Impl::pressedCallback(GtkGestureClick* gesture, int n, double x, double y, gpointer data)
{
    auto* h = static_cast<Host*>(data);
    auto window = h->window.lock();
    if (!window)
        return;
    gtk_widget_grab_focus(h->area);
    const guint button = gtk_gesture_single_get_current_button(GTK_GESTURE_SINGLE(gesture));
    GdkEvent* event = gtk_event_controller_get_current_event(GTK_EVENT_CONTROLLER(gesture));
    const GdkModifierType state = event ? gdk_event_get_modifier_state(event) : GdkModifierType(0);
    if (button == GDK_BUTTON_PRIMARY && !window->attachedSheet()) {
        // The title bar's background and the bottom-right corner move and resize the window,
        // as a decorated window's would.
        GdkSurface* surface = gtk_native_get_surface(GTK_NATIVE(h->gtkWindow));
        GdkDevice* device = gtk_gesture_get_device(GTK_GESTURE(gesture));
        const double areaWidth = gtk_widget_get_width(h->area);
        const double areaHeight = gtk_widget_get_height(h->area);
        double wx = x, wy = y;
        const graphene_point_t zero = GRAPHENE_POINT_INIT(0, 0);
        if (graphene_point_t p; gtk_widget_compute_point(h->area, h->gtkWindow, &zero, &p))
            wx += p.x, wy += p.y;
        const Point point = windowPointForAreaPoint(*window, x, y);
        View* hit = window->frameView()->hitTest(point);
        const bool inTitleBar = (window->styleMask() & WindowStyleMaskTitled)
            && point.y >= window->frame().height() - Window::titleBarHeight();
        const bool resizable = window->styleMask() & WindowStyleMaskResizable;
        if (surface && GDK_IS_TOPLEVEL(surface) && device) {
            const guint32 time = event ? gdk_event_get_time(event) : GDK_CURRENT_TIME;
            if (resizable && x >= areaWidth - 12 && y >= areaHeight - 12) {
                gtk_gesture_set_state(GTK_GESTURE(gesture), GTK_EVENT_SEQUENCE_CLAIMED);
                gdk_toplevel_begin_resize(GDK_TOPLEVEL(surface), GDK_SURFACE_EDGE_SOUTH_EAST, device, button, wx, wy, time);
                return;
            }
            if (inTitleBar && n == 1 && hit && !dynamic_cast<Control*>(hit)) {
                gtk_gesture_set_state(GTK_GESTURE(gesture), GTK_EVENT_SEQUENCE_CLAIMED);
                gdk_toplevel_begin_move(GDK_TOPLEVEL(surface), device, button, wx, wy, time);
                return;
            }
        }
    }
    h->pressed = button == GDK_BUTTON_PRIMARY;
    sendMouse(*h, button == GDK_BUTTON_SECONDARY ? EventType::rightMouseDown : EventType::leftMouseDown, x, y, n, state);
}

void GtkDesktop::Impl::releasedCallback(GtkGestureClick* gesture, int n, double x, double y, gpointer data)
{
    auto* h = static_cast<Host*>(data);
    const guint button = gtk_gesture_single_get_current_button(GTK_GESTURE_SINGLE(gesture));
    GdkEvent* event = gtk_event_controller_get_current_event(GTK_EVENT_CONTROLLER(gesture));
    const GdkModifierType state = event ? gdk_event_get_modifier_state(event) : GdkModifierType(0);
    if (button == GDK_BUTTON_PRIMARY) {
        if (!h->pressed)
            return;
        h->pressed = false;
    }
    sendMouse(*h, button == GDK_BUTTON_SECONDARY ? EventType::rightMouseUp : EventType::leftMouseUp, x, y, n, state);
}

void GtkDesktop::Impl::motionCallback(GtkEventControllerMotion* controller, double x, double y, gpointer data)
{
    auto* h = static_cast<Host*>(data);
    const GdkModifierType state = gtk_event_controller_get_current_event_state(GTK_EVENT_CONTROLLER(controller));
    if (auto window = h->window.lock(); window && !h->pressed) {
        Point point = windowPointForAreaPoint(*window, x, y);
        WindowPtr target = pointerTarget(window, point);
        const auto cursor = cursorAt(*target->frameView(), point);
        const std::string name = cursor ? cursorName(*cursor) : "default";
        if (name != h->cursor) {
            h->cursor = name;
            gtk_widget_set_cursor_from_name(h->area, name.c_str());
        }
    }
    sendMouse(*h, h->pressed ? EventType::leftMouseDragged : EventType::mouseMoved, x, y, 0, state);
}

void GtkDesktop::Impl::leaveCallback(GtkEventControllerMotion*, gpointer data)
{
    // Outside every view: tracking areas see the pointer leave.
    auto* h = static_cast<Host*>(data);
    if (!h->pressed)
        sendMouse(*h, EventType::mouseMoved, -1e6, -1e6, 0, GdkModifierType(0));
}

gboolean GtkDesktop::Impl::scrollCallback(GtkEventControllerScroll* controller, double dx, double dy, gpointer data)
{
    auto* h = static_cast<Host*>(data);
    auto window = h->window.lock();
    if (!window)
        return FALSE;
    double x = 0, y = 0;
    GdkEvent* event = gtk_event_controller_get_current_event(GTK_EVENT_CONTROLLER(controller));
    if (!event || !gdk_event_get_position(event, &x, &y))
        return FALSE;
    // Event positions are in the surface's coordinates; the area may sit under a menu bar.
    const graphene_point_t inWindow = GRAPHENE_POINT_INIT(static_cast<float>(x), static_cast<float>(y));
    graphene_point_t p;
    if (gtk_widget_compute_point(h->gtkWindow, h->area, &inWindow, &p))
        x = p.x, y = p.y;
    const unsigned long modifiers = modifiersOf(gdk_event_get_modifier_state(event));
    deliver([weak = h->window, x, y, dx, dy, modifiers] {
        auto window = weak.lock();
        if (!window)
            return;
        Point point = windowPointForAreaPoint(*window, x, y);
        WindowPtr target = pointerTarget(window, point);
        Event e = Event::mouseEvent(EventType::scrollWheel, point, target, 0, modifiers);
        // Deltas in points, positive up and left as the views expect.
        e.setScrollingDelta(-dx * 10, -dy * 10);
        Application::shared()->sendEvent(e);
    });
    return TRUE;
}

bool GtkDesktop::Impl::handleEditingShortcut(Host& host, const WindowPtr& window, guint keyval, GdkModifierType state)
{
    // Copy, cut and paste of a text field being edited go through the desktop's clipboard.
    if (!(state & GDK_CONTROL_MASK))
        return false;
    const guint lower = gdk_keyval_to_lower(keyval);
    if (lower != GDK_KEY_c && lower != GDK_KEY_x && lower != GDK_KEY_v && lower != GDK_KEY_a)
        return false;
    WindowPtr target = window;
    while (WindowPtr sheet = target->attachedSheet())
        target = sheet;
    auto field = std::dynamic_pointer_cast<TextField>(target->firstResponder());
    if (!field || !field->isEditing())
        return false;
    GdkClipboard* clipboard = gtk_widget_get_clipboard(host.area);
    const guint key = lower;
    if (key == GDK_KEY_c || key == GDK_KEY_x) {
        gdk_clipboard_set_text(clipboard, field->currentText().c_str());
        if (key == GDK_KEY_x)
            deliver([field] { field->replaceText({}); });
        return true;
    }
    if (key == GDK_KEY_a)
        return true; // the whole text is what copy takes
    if (key == GDK_KEY_v) {
        std::weak_ptr<TextField> weak = field;
        gdk_clipboard_read_text_async(
            clipboard, nullptr,
            [](GObject* source, GAsyncResult* result, gpointer data) {
                auto* weakField = static_cast<std::weak_ptr<TextField>*>(data);
                char* text = gdk_clipboard_read_text_finish(GDK_CLIPBOARD(source), result, nullptr);
                if (auto f = weakField->lock(); f && text && f->isEditing()) {
                    std::string pasted(text);
                    // One line: a field takes no line breaks.
                    std::replace(pasted.begin(), pasted.end(), '\n', ' ');
                    deliver([f, pasted] {
                        if (f->isEditing())
                            f->insertText(pasted);
                    });
                }
                g_free(text);
                delete weakField;
            },
            new std::weak_ptr<TextField>(weak));
        return true;
    }
    return false;
}

gboolean GtkDesktop::Impl::keyPressed(GtkEventControllerKey*, guint keyval, guint, GdkModifierType state, gpointer data)
{
    auto* h = static_cast<Host*>(data);
    auto window = h->window.lock();
    if (!window)
        return FALSE;
    if (keyval == GDK_KEY_F10)
        return FALSE; // the menu bar's own key
    if (handleEditingShortcut(*h, window, keyval, state))
        return TRUE;
    std::string characters = charactersForKey(keyval);
    if (characters.empty())
        return FALSE;
    if ((state & GDK_CONTROL_MASK) && characters.size() == 1) {
        // A shortcut names its key as typed, Shift making the capital ("Z" for Redo).
        const gunichar c = gdk_keyval_to_unicode(gdk_keyval_to_lower(keyval));
        if (c)
            characters = (state & GDK_SHIFT_MASK) && g_unichar_isalpha(c) ? utf8(g_unichar_toupper(c)) : utf8(c);
    }
    const unsigned long modifiers = modifiersOf(state);
    deliver([weak = h->window, characters, keyval, modifiers] {
        auto window = weak.lock();
        if (!window)
            return;
        WindowPtr target = window;
        while (WindowPtr sheet = target->attachedSheet())
            target = sheet;
        // Tab walks the key views of a window whose first responder does not take it itself.
        if (characters == kTabKey && !(modifiers & EventModifierFlagCommand)
            && !std::dynamic_pointer_cast<TextField>(target->firstResponder())) {
            auto current = std::dynamic_pointer_cast<View>(target->firstResponder());
            ViewPtr next = current ? current->nextValidKeyView() : target->initialFirstResponder();
            if (!next && target->contentView())
                next = target->contentView()->nextValidKeyView();
            if (next)
                target->makeFirstResponder(next);
            return;
        }
        Application::shared()->sendEvent(
            Event::keyEvent(EventType::keyDown, characters, window, static_cast<unsigned short>(keyval & 0xffff), modifiers));
    });
    return TRUE;
}

void GtkDesktop::Impl::keyReleased(GtkEventControllerKey*, guint keyval, guint, GdkModifierType state, gpointer data)
{
    auto* h = static_cast<Host*>(data);
    const std::string characters = charactersForKey(keyval);
    if (characters.empty())
        return;
    const unsigned long modifiers = modifiersOf(state);
    deliver([weak = h->window, characters, keyval, modifiers] {
        if (auto window = weak.lock())
            Application::shared()->sendEvent(
                Event::keyEvent(EventType::keyUp, characters, window, static_cast<unsigned short>(keyval & 0xffff), modifiers));
    });
}

gboolean GtkDesktop::Impl::closeRequest(GtkWindow*, gpointer data)
{
    // The window decides (its delegate may refuse); the GTK window follows on the next sync.
    auto* h = static_cast<Host*>(data);
    deliver([weak = h->window] {
        if (auto window = weak.lock())
            window->performClose(nullptr);
    });
    return TRUE;
}

namespace {

bool isInOpenPopover(GtkWidget* widget)
{
    for (; widget; widget = gtk_widget_get_parent(widget)) {
        if (GTK_IS_POPOVER(widget) && gtk_widget_get_visible(widget))
            return true;
    }
    return false;
}

} // namespace

void GtkDesktop::Impl::focusChanged(GObject*, GParamSpec*, gpointer data)
{
    returnFocusLater(*static_cast<Host*>(data));
}

void GtkDesktop::Impl::returnFocusLater(Host& host)
{
    // A menu of the menu bar, or a pop-up menu, leaves the keyboard with the bar or with no
    // widget when it closes; the keys belong to the window's picture again, where the shortcuts
    // and the views take them. Looked at once GTK has finished moving the focus.
    if (host.focusReturn || !host.gtkWindow)
        return;
    host.focusReturn = g_idle_add([](gpointer data) -> gboolean {
        auto* h = static_cast<Host*>(data);
        h->focusReturn = 0;
        GtkWidget* focus = gtk_root_get_focus(GTK_ROOT(h->gtkWindow));
        if (h->area && focus != h->area && !isInOpenPopover(focus))
            gtk_widget_grab_focus(h->area);
        return G_SOURCE_REMOVE;
    }, &host);
}

void GtkDesktop::Impl::activeChanged(GObject*, GParamSpec*, gpointer data)
{
    auto* h = static_cast<Host*>(data);
    if (!h->gtkWindow || !gtk_window_is_active(GTK_WINDOW(h->gtkWindow)))
        return;
    h->miniaturized = false;
    deliver([weak = h->window] {
        auto window = weak.lock();
        if (!window || !window->isVisible())
            return;
        // Brought back by the desktop (from its task list, say): no longer miniaturized.
        if (window->isMiniaturized())
            window->makeKeyAndOrderFront(nullptr);
        if (window->canBecomeKeyWindow())
            window->makeKeyWindow();
        if (window->canBecomeMainWindow())
            window->makeMainWindow();
    });
}

namespace {

std::vector<foundation::URL> filesOf(const GValue* value)
{
    std::vector<foundation::URL> urls;
    if (!value || !G_VALUE_HOLDS(value, GDK_TYPE_FILE_LIST))
        return urls;
    for (GSList* l = static_cast<GSList*>(g_value_get_boxed(value)); l; l = l->next) {
        char* path = g_file_get_path(G_FILE(l->data));
        if (path)
            urls.push_back(foundation::URL::fileURLWithPath(path));
        g_free(path);
    }
    return urls;
}

} // namespace

GdkDragAction GtkDesktop::Impl::dropMotion(GtkDropTarget* target, double x, double y, gpointer data)
{
    auto* h = static_cast<Host*>(data);
    auto window = h->window.lock();
    if (!window)
        return GdkDragAction(0);
    auto pasteboard = Pasteboard::pasteboardWithUniqueName();
    pasteboard->writeURLs(filesOf(gtk_drop_target_get_value(target)));
    const DragOperation op = window->draggingUpdated(pasteboard, windowPointForAreaPoint(*window, x, y),
                                                     NSDragOperationCopy | NSDragOperationGeneric);
    h->owner->synchronize();
    return op == NSDragOperationNone ? GdkDragAction(0) : GDK_ACTION_COPY;
}

void GtkDesktop::Impl::dropLeave(GtkDropTarget*, gpointer data)
{
    auto* h = static_cast<Host*>(data);
    if (auto window = h->window.lock())
        window->draggingExited();
    h->owner->synchronize();
}

gboolean GtkDesktop::Impl::dropCallback(GtkDropTarget*, const GValue* value, double x, double y, gpointer data)
{
    auto* h = static_cast<Host*>(data);
    auto window = h->window.lock();
    if (!window)
        return FALSE;
    const bool taken = deliverFileDrop(*window, filesOf(value), windowPointForAreaPoint(*window, x, y));
    h->owner->synchronize();
    return taken;
}

// ---- file panels ------------------------------------------------------------------------------

namespace {

// The chooser's answer that takes what is selected as it is, a folder included.
constexpr int kTakeSelection = 1;

// A filter of the chooser that shows the panel's allowed kinds of file (folders always show).
GtkFileFilter* filterFor(const SavePanel& panel)
{
    std::vector<std::string> suffixes;
    bool images = true;
    for (const auto& allowed : panel.allowedFileTypes()) {
        const bool identifier = allowed.find('.') != std::string::npos;
        images = images && identifier && images::typeConformsTo(allowed, images::kUTTypeImage);
        const auto extensions = identifier ? images::filenameExtensionsConformingTo(allowed) : std::vector<std::string> {allowed};
        suffixes.insert(suffixes.end(), extensions.begin(), extensions.end());
    }
    if (suffixes.empty())
        return nullptr;
    GtkFileFilter* filter = gtk_file_filter_new();
    gtk_file_filter_set_name(filter, images ? "Images" : "Supported Files");
    for (const auto& suffix : suffixes)
        gtk_file_filter_add_suffix(filter, suffix.c_str());
    return filter;
}

} // namespace

void GtkDesktop::Impl::chooseFiles(SavePanel& panel, bool open, const WindowPtr& parent,
                                   std::function<void(std::vector<foundation::URL>)> done)
{
    auto* openPanel = open ? dynamic_cast<OpenPanel*>(&panel) : nullptr;
    const bool files = !openPanel || openPanel->canChooseFiles();
    const bool folders = openPanel && openPanel->canChooseDirectories();
    GtkFileChooserAction action = GTK_FILE_CHOOSER_ACTION_SAVE;
    if (openPanel)
        action = folders && !files ? GTK_FILE_CHOOSER_ACTION_SELECT_FOLDER : GTK_FILE_CHOOSER_ACTION_OPEN;
    const std::string title = !panel.title().empty() ? panel.title() : !panel.message().empty() ? panel.message()
                                                                       : (open ? "Open" : "Save");
    const std::string accept = !panel.prompt().empty() ? panel.prompt() : (open ? "_Open" : "_Save");
    // GTK's own accept goes into a folder selected in a chooser of files: a panel that takes
    // folders as well answers with what is selected, or with the folder shown when nothing is.
    const int acceptResponse = files && folders ? kTakeSelection : GTK_RESPONSE_ACCEPT;
    G_GNUC_BEGIN_IGNORE_DEPRECATIONS
    GtkWidget* dialog = gtk_file_chooser_dialog_new(title.c_str(), gtkWindowFor(parent), action, "_Cancel",
                                                    GTK_RESPONSE_CANCEL, nullptr);
    gtk_dialog_add_button(GTK_DIALOG(dialog), accept.c_str(), acceptResponse);
    gtk_dialog_set_default_response(GTK_DIALOG(dialog), acceptResponse);
    GtkFileChooser* fc = GTK_FILE_CHOOSER(dialog);
    if (openPanel)
        gtk_file_chooser_set_select_multiple(fc, openPanel->allowsMultipleSelection());
    if (panel.directoryURL() && panel.directoryURL()->isFileURL()) {
        GFile* folder = g_file_new_for_path(panel.directoryURL()->path().c_str());
        gtk_file_chooser_set_current_folder(fc, folder, nullptr);
        g_object_unref(folder);
    }
    if (!open && !panel.nameFieldStringValue().empty())
        gtk_file_chooser_set_current_name(fc, panel.nameFieldStringValue().c_str());
    if (open && files) {
        if (GtkFileFilter* filter = filterFor(panel)) {
            gtk_file_chooser_add_filter(fc, filter);
            if (panel.allowsOtherFileTypes()) {
                GtkFileFilter* all = gtk_file_filter_new();
                gtk_file_filter_set_name(all, "All Files");
                gtk_file_filter_add_pattern(all, "*");
                gtk_file_chooser_add_filter(fc, all);
                g_object_unref(all);
            }
            gtk_file_chooser_set_filter(fc, filter);
            g_object_unref(filter);
        }
    }
    G_GNUC_END_IGNORE_DEPRECATIONS
    gtk_window_set_modal(GTK_WINDOW(dialog), TRUE);

    struct Pending {
        std::function<void(std::vector<foundation::URL>)> done;
        int acceptResponse;
    };
    auto* pending = new Pending {std::move(done), acceptResponse};
    g_signal_connect(dialog, "response", G_CALLBACK(+[](GtkDialog* d, int response, gpointer data) {
        auto* p = static_cast<Pending*>(data);
        std::vector<foundation::URL> urls;
        auto add = [&urls](GFile* file) {
            if (char* path = g_file_get_path(file)) {
                urls.push_back(foundation::URL::fileURLWithPath(path));
                g_free(path);
            }
        };
        G_GNUC_BEGIN_IGNORE_DEPRECATIONS
        if (response == p->acceptResponse) {
            GListModel* chosen = gtk_file_chooser_get_files(GTK_FILE_CHOOSER(d));
            const guint n = chosen ? g_list_model_get_n_items(chosen) : 0;
            for (guint i = 0; i < n; ++i) {
                GFile* file = G_FILE(g_list_model_get_item(chosen, i));
                add(file);
                g_object_unref(file);
            }
            if (chosen)
                g_object_unref(chosen);
            if (n == 0 && response == kTakeSelection) {
                if (GFile* folder = gtk_file_chooser_get_current_folder(GTK_FILE_CHOOSER(d))) {
                    add(folder);
                    g_object_unref(folder);
                }
            }
        }
        G_GNUC_END_IGNORE_DEPRECATIONS
        auto callback = std::move(p->done);
        delete p;
        gtk_window_destroy(GTK_WINDOW(d));
        if (callback)
            deliver([callback, urls] { callback(urls); });
    }), pending);
    gtk_window_present(GTK_WINDOW(dialog));
}

std::unique_ptr<dispatch::RunLoop::EventSource> makeGLibEventSource()
{
    return std::make_unique<GLibEventSource>();
}

// ---- pop-up menus ----------------------------------------------------------------------------

void GtkDesktop::Impl::popUpMenu(const std::shared_ptr<Menu>& menu, Window& window, const Rect& rect,
                                 std::function<void(long)> chosen)
{
    // The window on screen that shows `window` (itself, or the parent it hangs from as a sheet),
    // and the rectangle in that window's coordinates.
    WindowPtr shown = window.sharedAs<Window>();
    Rect at = rect;
    while (WindowPtr parent = shown->sheetParent()) {
        const Rect sheetAt = sheetRectIn(*parent, *shown);
        at = Rect::make(at.minX() + sheetAt.minX(), at.minY() + sheetAt.minY(), at.width(), at.height());
        shown = parent;
    }
    auto it = hosts.find(shown.get());
    if (it == hosts.end() || !menu)
        return;
    Host& host = *it->second;

    struct Pending {
        std::function<void(long)> chosen;
        GSimpleActionGroup* group = nullptr;
        GtkWidget* popover = nullptr;
        GtkWidget* area = nullptr;
    };
    auto* pending = new Pending {std::move(chosen), g_simple_action_group_new(), nullptr, host.area};
    GMenu* model = g_menu_new();
    for (long i = 0; i < menu->numberOfItems(); ++i) {
        auto item = menu->itemAtIndex(i);
        if (item->isHidden() || item->isSeparatorItem())
            continue;
        const std::string name = "item" + std::to_string(i);
        GSimpleAction* action = g_simple_action_new(name.c_str(), nullptr);
        g_simple_action_set_enabled(action, item->isEnabled());
        g_object_set_data(G_OBJECT(action), "index", GINT_TO_POINTER(i));
        g_signal_connect(action, "activate", G_CALLBACK(+[](GSimpleAction* a, GVariant*, gpointer data) {
            auto* p = static_cast<Pending*>(data);
            const long index = GPOINTER_TO_INT(g_object_get_data(G_OBJECT(a), "index"));
            if (p->chosen)
                dispatch::RunLoop::main().perform([chosen = p->chosen, index] { chosen(index); });
        }), pending);
        g_action_map_add_action(G_ACTION_MAP(pending->group), G_ACTION(action));
        g_object_unref(action);
        g_menu_append(model, item->title().c_str(), ("popup." + name).c_str());
    }
    gtk_widget_insert_action_group(host.area, "popup", G_ACTION_GROUP(pending->group));
    pending->popover = gtk_popover_menu_new_from_model(G_MENU_MODEL(model));
    g_object_unref(model);
    g_object_ref(pending->popover);
    g_object_ref(pending->area);
    gtk_widget_set_parent(pending->popover, host.area);
    gtk_popover_set_has_arrow(GTK_POPOVER(pending->popover), FALSE);
    const double h = shown->frame().height();
    const GdkRectangle target {static_cast<int>(at.minX()), static_cast<int>(h - at.maxY()), static_cast<int>(at.width()),
                               static_cast<int>(at.height())};
    gtk_popover_set_pointing_to(GTK_POPOVER(pending->popover), &target);
    g_signal_connect(pending->popover, "closed", G_CALLBACK(+[](GtkPopover*, gpointer data) {
        // Taken apart once GTK is done with the click that closed it.
        g_idle_add_once([](gpointer d) {
            auto* p = static_cast<Pending*>(d);
            if (gtk_widget_get_parent(p->popover))
                gtk_widget_unparent(p->popover);
            // The keys go back to the window the menu was shown over.
            if (gtk_widget_get_root(p->area))
                gtk_widget_grab_focus(p->area);
            gtk_widget_insert_action_group(p->area, "popup", nullptr);
            g_object_unref(p->popover);
            g_object_unref(p->area);
            g_object_unref(p->group);
            delete p;
        }, data);
    }), pending);
    gtk_popover_popup(GTK_POPOVER(pending->popover));
}

static void deliver(std::function<void()> work)
{
    dispatch::RunLoop::main().perform([work = std::move(work)] {
        work();
        if (g_desktop)
            g_desktop->synchronize();
    });
}

// ---- the desktop ------------------------------------------------------------------------------

namespace {
std::atomic<bool> g_open {false};

}

GtkDesktop::GtkDesktop()
    : m_impl(std::make_unique<Impl>())
{
}

std::unique_ptr<GtkDesktop> GtkDesktop::open()
{
    if (g_open.load() || !hasDisplayEnvironment())
        return nullptr;
    // Named before the display opens: the desktop matches the windows to the launcher by it.
    g_set_prgname("quintor");
    g_set_application_name("Quintor");
    if (!gtk_init_check())
        return nullptr;
    g_open = true;
    std::unique_ptr<GtkDesktop> desktop(new GtkDesktop());
    Impl* impl = desktop->m_impl.get();
    impl->menus = std::make_unique<GtkMenuBar>();
    auto& loop = dispatch::RunLoop::main();
    loop.setEventSource(&impl->eventSource);
    impl->observer = loop.addTurnObserver([impl] { impl->synchronize(); });
    Presenter::install(impl);
    g_desktop = impl;
    return desktop;
}

GtkDesktop::~GtkDesktop()
{
    auto& loop = dispatch::RunLoop::main();
    loop.removeTurnObserver(m_impl->observer);
    Presenter::install(nullptr);
    g_desktop = nullptr;
    if (m_impl->pendingLook)
        g_source_remove(m_impl->pendingLook);
    m_impl->pendingLook = 0;
    for (auto& [window, host] : m_impl->hosts)
        m_impl->dismiss(*host);
    m_impl->hosts.clear();
    m_impl->menus.reset();
    g_list_free_full(m_impl->icons, g_object_unref);
    m_impl->icons = nullptr;

    // What the windows' destruction queued runs before GLib stops being the loop's source.
    while (g_main_context_iteration(g_main_context_default(), FALSE)) {
    }
    loop.setEventSource(nullptr);
    g_open = false;
}

void GtkDesktop::synchronize()
{
    m_impl->synchronize();
}

void raiseOnDisplay(const Window& window)
{
    if (!g_desktop)
        return;
    g_desktop->synchronize();
    if (GtkWindow* gw = g_desktop->gtkWindowFor(std::const_pointer_cast<Window>(window.sharedAs<Window>())))
        gtk_window_present(gw);
}

} // namespace ui
