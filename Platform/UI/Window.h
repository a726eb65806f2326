#pragma once
// A window: a frame with an optional title bar, a content view (and view controller), key
// and main status, a first responder that receives key events, sheets attached to it, and
// the routing of mouse, key and drag events to its views. Headless: a window is "on screen"
// when it is visible, and renderToPNG shows what it would look like at its backing scale.
// Main thread only.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Foundation/Error.h"
#include "Platform/Foundation/NotificationCenter.h"
#include "Platform/Foundation/URL.h"
#include "Platform/Graphics/Geometry.h"
#include "Platform/Graphics/Image.h"
#include "Platform/UI/Appearance.h"
#include "Platform/UI/Dragging.h"
#include "Platform/UI/Object.h"

namespace foundation {
class UndoManager;
}

namespace ui {

class Button;
class Event;
class View;
class ViewController;
class Window;
class WindowController;
using WindowPtr = std::shared_ptr<Window>;

// Modal responses: what a sheet, panel or alert ended with.
using ModalResponse = long;
inline constexpr ModalResponse ModalResponseOK = 1;
inline constexpr ModalResponse ModalResponseCancel = 0;
inline constexpr ModalResponse ModalResponseStop = -1000;
inline constexpr ModalResponse ModalResponseAbort = -1001;
inline constexpr ModalResponse ModalResponseContinue = -1002;
inline constexpr ModalResponse AlertFirstButtonReturn = 1000;
inline constexpr ModalResponse AlertSecondButtonReturn = 1001;
inline constexpr ModalResponse AlertThirdButtonReturn = 1002;

enum WindowStyleMask : unsigned long {
    WindowStyleMaskBorderless = 0,
    WindowStyleMaskTitled = 1 << 0,
    WindowStyleMaskClosable = 1 << 1,
    WindowStyleMaskMiniaturizable = 1 << 2,
    WindowStyleMaskResizable = 1 << 3,
    WindowStyleMaskUtilityWindow = 1 << 4,
    WindowStyleMaskDocModalWindow = 1 << 6,
    WindowStyleMaskFullSizeContentView = 1 << 15,
};

enum class WindowButton { closeButton = 0, miniaturizeButton = 1, zoomButton = 2, toolbarButton = 3, documentIconButton = 4 };
enum class WindowTitleVisibility { visible = 0, hidden = 1 };

extern const std::string NSWindowWillCloseNotification;     // "NSWindowWillCloseNotification"
extern const std::string NSWindowDidBecomeKeyNotification;  // "NSWindowDidBecomeKeyNotification"
extern const std::string NSWindowDidResignKeyNotification;  // "NSWindowDidResignKeyNotification"
extern const std::string NSWindowDidBecomeMainNotification; // "NSWindowDidBecomeMainNotification"
extern const std::string NSWindowDidResizeNotification;     // "NSWindowDidResizeNotification"

// Every member is optional; a delegate overrides what it cares about.
class WindowDelegate {
public:
    virtual ~WindowDelegate() = default;
    virtual bool windowShouldClose(Window& sender) { (void)sender; return true; }
    virtual void windowWillClose(const foundation::Notification& notification) { (void)notification; }
    virtual void windowDidBecomeKey(const foundation::Notification& notification) { (void)notification; }
    virtual void windowDidResignKey(const foundation::Notification& notification) { (void)notification; }
    virtual void windowDidResize(const foundation::Notification& notification) { (void)notification; }
    // Where a sheet hangs: `rect` proposes the line (its minimum y, in screen coordinates) that
    // the sheet's top edge meets, at the top of the content area, across the window's width;
    // the sheet is centred on the answer's middle.
    virtual graphics::Rect windowWillPositionSheet(Window& window, Window& sheet, const graphics::Rect& rect)
    {
        (void)window;
        (void)sheet;
        return rect;
    }
    // None: the window keeps an undo manager of its own.
    virtual std::shared_ptr<foundation::UndoManager> windowWillReturnUndoManager(Window& window)
    {
        (void)window;
        return nullptr;
    }
};

class Window : public Responder {
public:
    static WindowPtr initWithContentRect(const graphics::Rect& contentRect, unsigned long styleMask);
    static WindowPtr windowWithContentViewController(const std::shared_ptr<ViewController>& controller);
    ~Window() override;

    // Frame and content rectangles of a window of that style (the title bar is on top).
    static graphics::Rect contentRectForFrameRect(const graphics::Rect& frame, unsigned long styleMask);
    static graphics::Rect frameRectForContentRect(const graphics::Rect& content, unsigned long styleMask);
    static double titleBarHeight() { return 28.0; }

    // ---- look
    const std::string& title() const { return m_title; }
    void setTitle(const std::string& title);
    const std::optional<foundation::URL>& representedURL() const { return m_representedURL; }
    void setRepresentedURL(std::optional<foundation::URL> url);
    unsigned long styleMask() const { return m_styleMask; }
    void setStyleMask(unsigned long mask);
    bool titlebarAppearsTransparent() const { return m_titlebarTransparent; }
    void setTitlebarAppearsTransparent(bool value);
    WindowTitleVisibility titleVisibility() const { return m_titleVisibility; }
    void setTitleVisibility(WindowTitleVisibility value);
    bool isMovableByWindowBackground() const { return m_movableByBackground; }
    void setMovableByWindowBackground(bool value) { m_movableByBackground = value; }
    AppearancePtr appearance() const { return m_appearance; }
    void setAppearance(AppearancePtr appearance);
    AppearancePtr effectiveAppearance() const;
    double backingScaleFactor() const { return m_backingScaleFactor; }
    // 1 or 2; the scale at which the window is rendered.
    void setBackingScaleFactor(double scale);
    // The close, miniaturize, zoom and document-icon buttons of a titled window.
    std::shared_ptr<Button> standardWindowButton(WindowButton kind) const;

    // ---- geometry
    graphics::Rect frame() const { return m_frame; }
    void setFrame(const graphics::Rect& frame, bool display = true);
    graphics::Rect contentRectForFrameRect(const graphics::Rect& frame) const
    {
        return contentRectForFrameRect(frame, m_styleMask);
    }
    void setContentSize(graphics::Size size);
    // Centres the window on the (virtual) screen.
    void center();
    static graphics::Rect screenFrame() { return graphics::Rect::make(0, 0, 1440, 900); }

    // ---- content
    std::shared_ptr<View> contentView() const { return m_contentView; }
    void setContentView(const std::shared_ptr<View>& view);
    std::shared_ptr<ViewController> contentViewController() const { return m_contentViewController; }
    void setContentViewController(const std::shared_ptr<ViewController>& controller);
    // The view that holds the title bar and the content view.
    std::shared_ptr<View> frameView() const { return m_frameView; }

    // ---- ordering
    bool isVisible() const { return m_visible; }
    void orderFront(Object* sender = nullptr);
    void orderOut(Object* sender = nullptr);
    void makeKeyAndOrderFront(Object* sender = nullptr);
    // Asks the delegate (windowShouldClose), then closes.
    void performClose(Object* sender = nullptr);
    // Hides the window, telling the delegate and observers first (windowWillClose).
    void close();
    bool isMiniaturized() const { return m_miniaturized; }
    void miniaturize(Object* sender = nullptr);
    // Zooming a resizable window fills the screen; zooming it again gives back the frame it had.
    bool isZoomed() const { return m_zoomed; }
    void zoom(Object* sender = nullptr);
    // The desktop zoomed or restored the window itself; its frame follows on its own.
    void setZoomedByDesktop(bool zoomed) { m_zoomed = zoomed; }

    bool isKeyWindow() const;
    bool isMainWindow() const;
    virtual bool canBecomeKeyWindow() const { return true; }
    virtual bool canBecomeMainWindow() const { return !isSheet(); }
    void makeKeyWindow();
    void makeMainWindow();

    // ---- responders
    std::shared_ptr<Responder> firstResponder() const;
    // Asks the current first responder to resign and `responder` (nullptr: the window itself)
    // to become first; false when either refuses.
    bool makeFirstResponder(const std::shared_ptr<Responder>& responder);
    std::shared_ptr<View> initialFirstResponder() const { return m_initialFirstResponder.lock(); }
    void setInitialFirstResponder(const std::shared_ptr<View>& view) { m_initialFirstResponder = view; }
    std::shared_ptr<WindowDelegate> delegate() const { return m_delegate.lock(); }
    void setDelegate(const std::shared_ptr<WindowDelegate>& delegate) { m_delegate = delegate; }
    std::shared_ptr<WindowController> windowController() const { return m_windowController.lock(); }
    void setWindowController(const std::shared_ptr<WindowController>& controller) { m_windowController = controller; }
    std::shared_ptr<Responder> nextResponder() const override;
    std::shared_ptr<foundation::UndoManager> undoManager();
    // Close (performClose:) and Zoom (zoom:) are offered while the window's style allows them
    // and no sheet is up.
    bool validateMenuItem(MenuItem& item) override;

    // ---- sheets
    // Attaches `sheet` to this window; `handler` gets the code given to endSheet. A second
    // sheet waits until the first has ended; a critical one goes first.
    void beginSheet(const WindowPtr& sheet, std::function<void(ModalResponse)> handler = {});
    void beginCriticalSheet(const WindowPtr& sheet, std::function<void(ModalResponse)> handler = {});
    void endSheet(const WindowPtr& sheet, ModalResponse returnCode = ModalResponseStop);
    WindowPtr attachedSheet() const;
    std::vector<WindowPtr> sheets() const;
    WindowPtr sheetParent() const { return m_sheetParent.lock(); }
    bool isSheet() const { return !m_sheetParent.expired(); }

    // Shows the error in an alert sheet on this window; `completion` runs when it is dismissed.
    void presentError(const foundation::ErrorPtr& error, std::function<void()> completion = {});

    // ---- events
    void sendEvent(const Event& event);
    // Drags from outside: the window finds the destination view under `location` (window
    // coordinates) among views registered for the pasteboard's types and passes the drag on.
    DragOperation draggingUpdated(const PasteboardPtr& pasteboard, graphics::Point location,
                                  unsigned sourceOperationMask = NSDragOperationEvery);
    void draggingExited();
    bool performDragOperation(const PasteboardPtr& pasteboard, graphics::Point location,
                              unsigned sourceOperationMask = NSDragOperationEvery);
    void invalidateCursorRectsForView(View* view);
    graphics::Point mouseLocationOutsideOfEventStream() const { return m_mouseLocation; }

    // ---- pictures
    // What the window looks like (title bar, content, an attached sheet), at its backing scale.
    graphics::ImagePtr renderImage();
    bool renderToPNG(const std::string& path, foundation::ErrorPtr* error = nullptr);

    // Internal: a view is leaving this window (or being hidden).
    void viewWillLeaveWindow(View* view);

protected:
    Window(const graphics::Rect& contentRect, unsigned long styleMask);
    void setUp();

private:
    struct SheetRequest {
        WindowPtr sheet;
        std::function<void(ModalResponse)> handler;
    };
    void layoutFrameView();
    void presentNextSheet();
    void setVisible(bool visible);
    void updateTrackingAreas(graphics::Point location, const Event& event);
    View* dragDestinationAt(graphics::Point location, const PasteboardPtr& pasteboard);

    std::string m_title;
    std::optional<foundation::URL> m_representedURL;
    unsigned long m_styleMask = 0;
    bool m_titlebarTransparent = false;
    WindowTitleVisibility m_titleVisibility = WindowTitleVisibility::visible;
    bool m_movableByBackground = false;
    AppearancePtr m_appearance;
    double m_backingScaleFactor = 2.0;
    graphics::Rect m_frame;
    std::shared_ptr<View> m_frameView;
    std::shared_ptr<View> m_titlebarContainer;
    std::shared_ptr<View> m_contentView;
    std::shared_ptr<ViewController> m_contentViewController;
    std::vector<std::shared_ptr<Button>> m_windowButtons;
    bool m_visible = false;
    bool m_miniaturized = false;
    bool m_zoomed = false;
    graphics::Rect m_unzoomedFrame;
    std::weak_ptr<Responder> m_firstResponder;
    bool m_firstResponderIsWindow = true;
    std::weak_ptr<View> m_initialFirstResponder;
    std::weak_ptr<WindowDelegate> m_delegate;
    std::weak_ptr<WindowController> m_windowController;
    std::shared_ptr<foundation::UndoManager> m_undoManager;
    std::weak_ptr<Window> m_sheetParent;
    std::vector<SheetRequest> m_sheetQueue; // front: the attached sheet once presented
    bool m_sheetPresented = false;
    std::weak_ptr<View> m_mouseDownView;
    std::weak_ptr<View> m_dragDestination;
    long m_dragSequence = 0;
    graphics::Point m_mouseLocation;
};

} // namespace ui
