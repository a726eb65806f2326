#include "Platform/UI/Window.h"

#include <algorithm>
#include <cmath>
#include <functional>

#include "Platform/Foundation/UndoManager.h"
#include "Platform/UI/Alert.h"
#include "Platform/UI/Application.h"
#include "Platform/UI/BezierPath.h"
#include "Platform/UI/Button.h"
#include "Platform/UI/Event.h"
#include "Platform/UI/GraphicsContext.h"
#include "Platform/UI/Menu.h"
#include "Platform/UI/View.h"
#include "Platform/UI/ViewController.h"
#include "Platform/UI/WindowController.h"

namespace ui {

using graphics::Point;
using graphics::Rect;

const std::string NSWindowWillCloseNotification = "NSWindowWillCloseNotification";
const std::string NSWindowDidBecomeKeyNotification = "NSWindowDidBecomeKeyNotification";
const std::string NSWindowDidResignKeyNotification = "NSWindowDidResignKeyNotification";
const std::string NSWindowDidBecomeMainNotification = "NSWindowDidBecomeMainNotification";
const std::string NSWindowDidResizeNotification = "NSWindowDidResizeNotification";

namespace {

// The strip at the top of a titled window: its background (unless transparent) and the title.
class TitlebarView : public View {
public:
    static std::shared_ptr<TitlebarView> make(Window* window)
    {
        auto v = std::shared_ptr<TitlebarView>(new TitlebarView());
        v->m_owner = window;
        return v;
    }

    void draw(const Rect&, GraphicsContext& context) override
    {
        const Rect b = bounds();
        if (!m_owner->titlebarAppearsTransparent()) {
            context.setFillColor(Color::system(SystemColor::titleBar));
            context.fillRect(b);
            context.setFillColor(Color::separatorColor());
            context.fillRect(Rect::make(b.minX(), b.minY(), b.width(), 1));
        }
        if (m_owner->titleVisibility() == WindowTitleVisibility::visible && !m_owner->title().empty()) {
            TextAttributes a;
            a.font = Font::systemFontOfSize(Font::systemFontSize(), FontWeight::semibold);
            a.alignment = TextAlignment::center;
            a.foregroundColor = Color::labelColor();
            context.drawText(AttributedString(m_owner->title(), a), b.insetBy(80, 0));
        }
    }

private:
    TitlebarView()
        : View(Rect::zero())
    {
    }
    Window* m_owner = nullptr;
};

// The round close, miniaturize and zoom buttons.
class WindowButtonCell : public ButtonCell {
public:
    static std::shared_ptr<WindowButtonCell> make(WindowButton kind)
    {
        auto c = std::shared_ptr<WindowButtonCell>(new WindowButtonCell());
        c->m_kind = kind;
        c->setBordered(false);
        return c;
    }

    void drawWithFrame(const Rect& frame, View&, GraphicsContext& context) override
    {
        Color fill = Color::deviceRGB(0.99, 0.37, 0.34);
        if (m_kind == WindowButton::miniaturizeButton)
            fill = Color::deviceRGB(0.99, 0.74, 0.18);
        else if (m_kind == WindowButton::zoomButton)
            fill = Color::deviceRGB(0.16, 0.78, 0.25);
        if (!isEnabled())
            fill = Color::tertiaryLabelColor();
        const double d = 12;
        context.setFillColor(fill);
        context.fillPath(BezierPath::bezierPathWithOvalInRect(Rect::make(frame.midX() - d / 2, frame.midY() - d / 2, d, d)));
    }

private:
    WindowButtonCell() = default;
    WindowButton m_kind = WindowButton::closeButton;
};

class WindowButtonView : public Button {
public:
    static std::shared_ptr<WindowButtonView> make(std::shared_ptr<ButtonCell> cell)
    {
        return std::shared_ptr<WindowButtonView>(new WindowButtonView(std::move(cell)));
    }

private:
    explicit WindowButtonView(std::shared_ptr<ButtonCell> cell)
        : Button(Rect::make(0, 0, 16, 16), std::move(cell))
    {
    }
};

} // namespace

Rect Window::contentRectForFrameRect(const Rect& frame, unsigned long styleMask)
{
    if ((styleMask & WindowStyleMaskTitled) && !(styleMask & WindowStyleMaskFullSizeContentView))
        return Rect::make(frame.minX(), frame.minY(), frame.width(), std::max(0.0, frame.height() - titleBarHeight()));
    return frame;
}

Rect Window::frameRectForContentRect(const Rect& content, unsigned long styleMask)
{
    if ((styleMask & WindowStyleMaskTitled) && !(styleMask & WindowStyleMaskFullSizeContentView))
        return Rect::make(content.minX(), content.minY(), content.width(), content.height() + titleBarHeight());
    return content;
}

Window::Window(const Rect& contentRect, unsigned long styleMask)
    : m_styleMask(styleMask)
    , m_frame(frameRectForContentRect(contentRect.standardized(), styleMask))
{
}

WindowPtr Window::initWithContentRect(const Rect& contentRect, unsigned long styleMask)
{
    WindowPtr window(new Window(contentRect, styleMask));
    window->setUp();
    return window;
}

WindowPtr Window::windowWithContentViewController(const std::shared_ptr<ViewController>& controller)
{
    const Rect content = controller && controller->view() ? controller->view()->frame() : Rect::make(0, 0, 480, 270);
    auto window = initWithContentRect(Rect{{0, 0}, content.size},
                                      WindowStyleMaskTitled | WindowStyleMaskClosable | WindowStyleMaskMiniaturizable
                                          | WindowStyleMaskResizable);
    if (controller) {
        window->setContentViewController(controller);
        window->setTitle(controller->title());
    }
    return window;
}

void Window::setUp()
{
    registerAction("performClose:", [this](Object* sender) { performClose(sender); });
    registerAction("zoom:", [this](Object* sender) { zoom(sender); });
    m_frameView = View::initWithFrame(Rect{{0, 0}, m_frame.size});
    m_frameView->setWindowRecursive(this);
    setContentView(View::initWithFrame(Rect::zero()));
    setStyleMask(m_styleMask);
    Application::shared()->registerWindow(sharedAs<Window>());
}

Window::~Window()
{
    if (m_frameView)
        m_frameView->setWindowRecursive(nullptr);
}

void Window::setStyleMask(unsigned long mask)
{
    m_styleMask = mask;
    const bool titled = (mask & WindowStyleMaskTitled) != 0;
    if (titled && !m_titlebarContainer) {
        m_titlebarContainer = View::initWithFrame(Rect::zero());
        auto titlebar = TitlebarView::make(this);
        m_titlebarContainer->addSubview(titlebar);
        std::weak_ptr<Window> weak = sharedAs<Window>();
        for (WindowButton kind : {WindowButton::closeButton, WindowButton::miniaturizeButton, WindowButton::zoomButton}) {
            auto button = WindowButtonView::make(WindowButtonCell::make(kind));
            button->setTag(static_cast<long>(kind));
            button->setActionBlock([weak, kind](Control&) {
                auto self = weak.lock();
                if (!self)
                    return;
                if (kind == WindowButton::closeButton)
                    self->performClose(nullptr);
                else if (kind == WindowButton::miniaturizeButton)
                    self->miniaturize(nullptr);
                else if (kind == WindowButton::zoomButton)
                    self->zoom(nullptr);
            });
            titlebar->addSubview(button);
            m_windowButtons.push_back(button);
        }
        auto icon = Button::initWithFrame(Rect::make(0, 0, 16, 16));
        icon->setTag(static_cast<long>(WindowButton::documentIconButton));
        icon->setBordered(false);
        icon->setTitle("");
        icon->setHidden(true);
        titlebar->addSubview(icon);
        m_windowButtons.push_back(icon);
        m_frameView->addSubview(m_titlebarContainer);
    } else if (!titled && m_titlebarContainer) {
        m_titlebarContainer->removeFromSuperview();
        m_titlebarContainer.reset();
        m_windowButtons.clear();
    }
    for (auto& b : m_windowButtons) {
        if (b->tag() == static_cast<long>(WindowButton::closeButton))
            b->setEnabled((mask & WindowStyleMaskClosable) != 0);
        else if (b->tag() == static_cast<long>(WindowButton::miniaturizeButton))
            b->setEnabled((mask & WindowStyleMaskMiniaturizable) != 0);
        else if (b->tag() == static_cast<long>(WindowButton::zoomButton))
            b->setEnabled((mask & WindowStyleMaskResizable) != 0);
    }
    layoutFrameView();
}

void Window::layoutFrameView()
{
    if (!m_frameView)
        return;
    const Rect whole {{0, 0}, m_frame.size};
    m_frameView->setFrame(whole);
    if (m_contentView)
        m_contentView->setFrame(contentRectForFrameRect(whole));
    if (m_titlebarContainer) {
        const double h = titleBarHeight();
        m_titlebarContainer->setFrame(Rect::make(0, whole.height() - h, whole.width(), h));
        auto titlebar = m_titlebarContainer->subviews().front();
        titlebar->setFrame(Rect::make(0, 0, whole.width(), h));
        double x = 8;
        for (auto& b : m_windowButtons) {
            if (b->tag() == static_cast<long>(WindowButton::documentIconButton)) {
                const double titleWidth = Font::systemFontOfSize(Font::systemFontSize(), FontWeight::semibold)
                                              .sizeOfString(m_title)
                                              .width;
                b->setFrame(Rect::make(std::round(whole.width() / 2 - titleWidth / 2 - 20), (h - 16) / 2, 16, 16));
                b->setHidden(!m_representedURL);
            } else {
                b->setFrame(Rect::make(x, (h - 16) / 2, 16, 16));
                x += 20;
            }
        }
    }
}

void Window::setTitle(const std::string& title)
{
    m_title = title;
    layoutFrameView();
}

void Window::setRepresentedURL(std::optional<foundation::URL> url)
{
    m_representedURL = std::move(url);
    layoutFrameView();
}

void Window::setTitlebarAppearsTransparent(bool value)
{
    m_titlebarTransparent = value;
    if (m_frameView)
        m_frameView->setNeedsDisplay(true);
}

void Window::setTitleVisibility(WindowTitleVisibility value)
{
    m_titleVisibility = value;
}

void Window::setAppearance(AppearancePtr appearance)
{
    m_appearance = std::move(appearance);
    if (m_frameView)
        m_frameView->setNeedsDisplay(true);
}

AppearancePtr Window::effectiveAppearance() const
{
    if (m_appearance)
        return m_appearance;
    if (auto parent = sheetParent())
        return parent->effectiveAppearance();
    return Application::shared()->effectiveAppearance();
}

void Window::setBackingScaleFactor(double scale)
{
    m_backingScaleFactor = scale >= 1.5 ? 2.0 : 1.0;
}

std::shared_ptr<Button> Window::standardWindowButton(WindowButton kind) const
{
    for (const auto& b : m_windowButtons) {
        if (b->tag() == static_cast<long>(kind))
            return b;
    }
    return nullptr;
}

void Window::setFrame(const Rect& frame, bool)
{
    const Rect f = frame.standardized();
    if (f == m_frame)
        return;
    const bool resized = f.size != m_frame.size;
    m_frame = f;
    layoutFrameView();
    if (resized) {
        foundation::Notification n {NSWindowDidResizeNotification, foundation::identityOf(this), weak_from_this().lock(), {}};
        if (auto d = delegate())
            d->windowDidResize(n);
        foundation::NotificationCenter::defaultCenter().post(n);
    }
}

void Window::setContentSize(graphics::Size size)
{
    const Rect content = frameRectForContentRect(Rect{m_frame.origin, size}, m_styleMask);
    // Keep the top edge where it is, as the platform does.
    setFrame(Rect::make(m_frame.minX(), m_frame.maxY() - content.height(), content.width(), content.height()));
}

void Window::center()
{
    const Rect screen = screenFrame();
    setFrame(Rect::make(std::round(screen.midX() - m_frame.width() / 2),
                        std::round(screen.minY() + (screen.height() - m_frame.height()) * 2 / 3), m_frame.width(),
                        m_frame.height()));
}

void Window::setContentView(const std::shared_ptr<View>& view)
{
    if (view == m_contentView)
        return;
    if (m_contentView) {
        viewWillLeaveWindow(m_contentView.get());
        m_contentView->removeFromSuperview();
    }
    m_contentView = view;
    if (view) {
        view->setFrame(contentRectForFrameRect(Rect{{0, 0}, m_frame.size}));
        m_frameView->addSubview(view, WindowOrderingMode::below, m_titlebarContainer.get());
    }
}

void Window::setContentViewController(const std::shared_ptr<ViewController>& controller)
{
    if (controller == m_contentViewController)
        return;
    if (m_visible && m_contentViewController)
        m_contentViewController->sendAppearance(false, false);
    auto old = m_contentViewController;
    m_contentViewController = controller;
    if (controller)
        setContentView(controller->view());
    if (m_visible && old)
        old->sendAppearance(false, true);
    if (m_visible && controller) {
        controller->sendAppearance(true, false);
        controller->sendAppearance(true, true);
    }
}

void Window::setVisible(bool visible)
{
    if (visible == m_visible)
        return;
    auto keep = sharedAs<Window>();
    auto controller = m_contentViewController;
    if (controller)
        controller->sendAppearance(visible, false);
    m_visible = visible;
    Application::shared()->windowDidOrder(*this, visible);
    if (controller)
        controller->sendAppearance(visible, true);
}

void Window::orderFront(Object*)
{
    if (!m_visible) {
        setVisible(true);
        if (m_firstResponderIsWindow) {
            if (auto initial = initialFirstResponder())
                makeFirstResponder(initial);
        }
    }
}

void Window::orderOut(Object*)
{
    setVisible(false);
}

void Window::makeKeyAndOrderFront(Object* sender)
{
    orderFront(sender);
    m_miniaturized = false;
    if (canBecomeKeyWindow())
        makeKeyWindow();
    if (canBecomeMainWindow())
        makeMainWindow();
}

void Window::performClose(Object*)
{
    if (auto d = delegate(); d && !d->windowShouldClose(*this)) {
        Application::shared()->beep();
        return;
    }
    close();
}

void Window::close()
{
    auto keep = sharedAs<Window>();
    foundation::Notification n {NSWindowWillCloseNotification, foundation::identityOf(this), keep, {}};
    if (auto d = delegate())
        d->windowWillClose(n);
    foundation::NotificationCenter::defaultCenter().post(n);
    setVisible(false);
}

void Window::miniaturize(Object*)
{
    m_miniaturized = true;
}

void Window::zoom(Object*)
{
    if (!(m_styleMask & WindowStyleMaskResizable) || isSheet())
        return;
    if (m_zoomed) {
        m_zoomed = false;
        setFrame(m_unzoomedFrame);
        return;
    }
    m_unzoomedFrame = m_frame;
    m_zoomed = true;
    setFrame(screenFrame());
}

bool Window::validateMenuItem(MenuItem& item)
{
    // A window's commands wait while a sheet is up; a sheet ends through its own buttons.
    if (item.action() == "performClose:")
        return (m_styleMask & WindowStyleMaskClosable) && !isSheet() && !attachedSheet();
    if (item.action() == "zoom:")
        return (m_styleMask & WindowStyleMaskResizable) && !isSheet() && !attachedSheet();
    return Responder::validateMenuItem(item);
}

bool Window::isKeyWindow() const
{
    return Application::shared()->keyWindow().get() == this;
}

bool Window::isMainWindow() const
{
    return Application::shared()->mainWindow().get() == this;
}

void Window::makeKeyWindow()
{
    if (!isKeyWindow())
        Application::shared()->windowDidBecomeKey(this);
}

void Window::makeMainWindow()
{
    if (!isMainWindow())
        Application::shared()->windowDidBecomeMain(this);
}

std::shared_ptr<Responder> Window::firstResponder() const
{
    if (!m_firstResponderIsWindow) {
        if (auto r = m_firstResponder.lock())
            return r;
    }
    return std::const_pointer_cast<Window>(sharedAs<Window>());
}

bool Window::makeFirstResponder(const std::shared_ptr<Responder>& responder)
{
    auto current = firstResponder();
    if (responder == current || (!responder && m_firstResponderIsWindow))
        return true;
    if (current.get() != this && !current->resignFirstResponder())
        return false;
    m_firstResponderIsWindow = true;
    m_firstResponder.reset();
    if (!responder || responder.get() == this)
        return true;
    if (!responder->acceptsFirstResponder() || !responder->becomeFirstResponder())
        return false;
    m_firstResponder = responder;
    m_firstResponderIsWindow = false;
    return true;
}

std::shared_ptr<Responder> Window::nextResponder() const
{
    if (auto explicitNext = Responder::nextResponder())
        return explicitNext;
    return windowController();
}

std::shared_ptr<foundation::UndoManager> Window::undoManager()
{
    if (auto d = delegate()) {
        if (auto manager = d->windowWillReturnUndoManager(*this))
            return manager;
    }
    if (!m_undoManager)
        m_undoManager = foundation::UndoManager::init();
    return m_undoManager;
}

// ---- sheets ----------------------------------------------------------------------------------

void Window::beginSheet(const WindowPtr& sheet, std::function<void(ModalResponse)> handler)
{
    if (!sheet || sheet.get() == this || sheet->isSheet())
        return;
    sheet->m_sheetParent = sharedAs<Window>();
    m_sheetQueue.push_back({sheet, std::move(handler)});
    if (!m_sheetPresented)
        presentNextSheet();
}

void Window::beginCriticalSheet(const WindowPtr& sheet, std::function<void(ModalResponse)> handler)
{
    if (!sheet || sheet.get() == this || sheet->isSheet())
        return;
    sheet->m_sheetParent = sharedAs<Window>();
    // Ahead of every sheet that waits; one already shown stays until it ends.
    auto at = m_sheetPresented ? m_sheetQueue.begin() + 1 : m_sheetQueue.begin();
    m_sheetQueue.insert(at, {sheet, std::move(handler)});
    if (!m_sheetPresented)
        presentNextSheet();
}

void Window::presentNextSheet()
{
    if (m_sheetQueue.empty()) {
        m_sheetPresented = false;
        return;
    }
    m_sheetPresented = true;
    WindowPtr sheet = m_sheetQueue.front().sheet;
    const Rect content = contentRectForFrameRect(m_frame);
    Rect place = Rect::make(m_frame.minX(), content.maxY(), m_frame.width(), 0);
    if (auto delegate = m_delegate.lock())
        place = delegate->windowWillPositionSheet(*this, *sheet, place);
    sheet->setFrame(Rect::make(std::round(place.midX() - sheet->frame().width() / 2), place.minY() - sheet->frame().height(),
                               sheet->frame().width(), sheet->frame().height()));
    sheet->makeKeyAndOrderFront(nullptr);
}

void Window::endSheet(const WindowPtr& sheet, ModalResponse returnCode)
{
    auto it = std::find_if(m_sheetQueue.begin(), m_sheetQueue.end(), [&](const SheetRequest& r) { return r.sheet == sheet; });
    if (it == m_sheetQueue.end())
        return;
    auto keep = sharedAs<Window>();
    const bool wasPresented = m_sheetPresented && it == m_sheetQueue.begin();
    SheetRequest request = std::move(*it);
    m_sheetQueue.erase(it);
    request.sheet->m_sheetParent.reset();
    if (wasPresented) {
        m_sheetPresented = false;
        request.sheet->orderOut(nullptr);
        if (m_visible)
            makeKeyWindow();
    }
    if (request.handler)
        request.handler(returnCode);
    if (!m_sheetPresented)
        presentNextSheet();
}

WindowPtr Window::attachedSheet() const
{
    return m_sheetPresented && !m_sheetQueue.empty() ? m_sheetQueue.front().sheet : nullptr;
}

std::vector<WindowPtr> Window::sheets() const
{
    std::vector<WindowPtr> out;
    for (const auto& r : m_sheetQueue)
        out.push_back(r.sheet);
    return out;
}

void Window::presentError(const foundation::ErrorPtr& error, std::function<void()> completion)
{
    if (!error)
        return;
    auto alert = Alert::alertWithError(error);
    alert->beginSheetModalForWindow(sharedAs<Window>(), [completion = std::move(completion)](ModalResponse) {
        if (completion)
            completion();
    });
}

// ---- events ----------------------------------------------------------------------------------

void Window::viewWillLeaveWindow(View* view)
{
    if (!m_firstResponderIsWindow) {
        auto r = m_firstResponder.lock();
        auto* v = dynamic_cast<View*>(r.get());
        if (!r || (v && v->isDescendantOf(view))) {
            if (r)
                r->resignFirstResponder();
            m_firstResponder.reset();
            m_firstResponderIsWindow = true;
        }
    }
    if (auto down = m_mouseDownView.lock(); down && down->isDescendantOf(view))
        m_mouseDownView.reset();
    if (auto dest = m_dragDestination.lock(); dest && dest->isDescendantOf(view))
        m_dragDestination.reset();
}

void Window::sendEvent(const Event& event)
{
    auto keep = sharedAs<Window>();
    const EventType type = event.type();
    const bool isMouse = type == EventType::leftMouseDown || type == EventType::leftMouseUp
        || type == EventType::leftMouseDragged || type == EventType::mouseMoved || type == EventType::rightMouseDown
        || type == EventType::rightMouseUp || type == EventType::scrollWheel;
    if (isMouse)
        m_mouseLocation = event.locationInWindow();

    // A window with a sheet takes no clicks; its keys go to the sheet.
    if (WindowPtr sheet = attachedSheet()) {
        if (type == EventType::keyDown || type == EventType::keyUp) {
            sheet->sendEvent(event);
            return;
        }
        if (type == EventType::leftMouseDown || type == EventType::rightMouseDown) {
            Application::shared()->beep();
            return;
        }
    }

    switch (type) {
    case EventType::leftMouseDown:
    case EventType::rightMouseDown: {
        if (!isKeyWindow() && m_visible && canBecomeKeyWindow())
            makeKeyWindow();
        View* hit = m_frameView->hitTest(event.locationInWindow());
        if (!hit)
            return;
        // A double click on the title bar's background zooms, as on a decorated window.
        if (type == EventType::leftMouseDown && event.clickCount() == 2 && m_titlebarContainer
            && hit->isDescendantOf(m_titlebarContainer.get()) && !dynamic_cast<Control*>(hit)) {
            zoom(nullptr);
            return;
        }
        auto view = hit->sharedAs<View>();
        if (view->acceptsFirstResponder())
            makeFirstResponder(view);
        if (type == EventType::rightMouseDown) {
            view->rightMouseDown(event);
            return;
        }
        m_mouseDownView = view;
        view->mouseDown(event);
        return;
    }
    case EventType::leftMouseDragged:
        if (auto view = m_mouseDownView.lock())
            view->mouseDragged(event);
        updateTrackingAreas(event.locationInWindow(), event);
        return;
    case EventType::leftMouseUp:
        if (auto view = m_mouseDownView.lock()) {
            m_mouseDownView.reset();
            view->mouseUp(event);
        }
        return;
    case EventType::mouseMoved:
        updateTrackingAreas(event.locationInWindow(), event);
        return;
    case EventType::scrollWheel:
        if (View* hit = m_frameView->hitTest(event.locationInWindow()))
            hit->scrollWheel(event);
        return;
    case EventType::keyDown: {
        const std::string& c = event.characters();
        const bool special = c == kReturnKey || c == kEscapeKey || (event.modifierFlags() & EventModifierFlagCommand);
        if (special && m_frameView->performKeyEquivalent(event))
            return;
        if (event.modifierFlags() & EventModifierFlagCommand) {
            if (auto menu = Application::shared()->mainMenu(); menu && menu->performKeyEquivalent(event))
                return;
        }
        firstResponder()->keyDown(event);
        return;
    }
    case EventType::keyUp:
        firstResponder()->keyUp(event);
        return;
    default:
        return;
    }
}

void Window::updateTrackingAreas(Point location, const Event& event)
{
    struct Call {
        TrackingAreaPtr area;
        EventType type;
    };
    std::vector<Call> calls;
    std::function<void(View*)> walk = [&](View* v) {
        const bool hidden = v->isHidden();
        for (const auto& area : v->trackingAreas()) {
            Rect r = (area->options() & NSTrackingInVisibleRect) ? v->bounds() : area->rect();
            const bool inside = !hidden && v->convertRectToView(r, nullptr).contains(location);
            if (inside != area->isInside()) {
                area->setInside(inside);
                if (area->options() & NSTrackingMouseEnteredAndExited)
                    calls.push_back({area, inside ? EventType::mouseEntered : EventType::mouseExited});
            } else if (inside && (area->options() & NSTrackingMouseMoved)) {
                calls.push_back({area, EventType::mouseMoved});
            }
        }
        for (const auto& sub : v->subviews())
            walk(sub.get());
    };
    walk(m_frameView.get());
    // Owners may rebuild their areas while handling these, so the list is made first.
    for (const auto& call : calls) {
        auto owner = call.area->owner();
        if (!owner)
            continue;
        const Event e = event.forTrackingArea(call.type, call.area);
        if (call.type == EventType::mouseEntered)
            owner->mouseEntered(e);
        else if (call.type == EventType::mouseExited)
            owner->mouseExited(e);
        else
            owner->mouseMoved(e);
    }
}

View* Window::dragDestinationAt(Point location, const PasteboardPtr& pasteboard)
{
    const auto types = pasteboard ? pasteboard->types() : std::vector<std::string>{};
    for (View* v = m_frameView->hitTest(location); v; v = v->superview()) {
        for (const auto& t : v->registeredDraggedTypes()) {
            if (std::find(types.begin(), types.end(), t) != types.end())
                return v;
        }
    }
    return nullptr;
}

DragOperation Window::draggingUpdated(const PasteboardPtr& pasteboard, Point location, unsigned mask)
{
    auto keep = sharedAs<Window>();
    DraggingInfo info(pasteboard, location, mask, keep, m_dragSequence);
    View* found = attachedSheet() ? nullptr : dragDestinationAt(location, pasteboard);
    auto current = m_dragDestination.lock();
    if (found != current.get()) {
        if (current)
            current->draggingExited(&info);
        m_dragDestination.reset();
        if (!found)
            return NSDragOperationNone;
        auto dest = found->sharedAs<View>();
        m_dragDestination = dest;
        const auto op = static_cast<DragOperation>(dest->draggingEntered(info) & mask);
        dest->m_lastDragOperation = op;
        return op;
    }
    if (!current)
        return NSDragOperationNone;
    const auto op = static_cast<DragOperation>(current->draggingUpdated(info) & mask);
    current->m_lastDragOperation = op;
    return op;
}

void Window::draggingExited()
{
    if (auto current = m_dragDestination.lock()) {
        m_dragDestination.reset();
        current->draggingExited(nullptr);
    }
    ++m_dragSequence;
}

bool Window::performDragOperation(const PasteboardPtr& pasteboard, Point location, unsigned mask)
{
    auto keep = sharedAs<Window>();
    const DragOperation op = draggingUpdated(pasteboard, location, mask);
    auto dest = m_dragDestination.lock();
    m_dragDestination.reset();
    DraggingInfo info(pasteboard, location, mask, keep, m_dragSequence++);
    if (!dest)
        return false;
    if (op == NSDragOperationNone) {
        dest->draggingExited(&info);
        return false;
    }
    if (!dest->prepareForDragOperation(info))
        return false;
    const bool done = dest->performDragOperation(info);
    if (done)
        dest->concludeDragOperation(&info);
    return done;
}

void Window::invalidateCursorRectsForView(View* view)
{
    if (!view)
        return;
    view->discardCursorRects();
    view->resetCursorRects();
}

// ---- pictures --------------------------------------------------------------------------------

graphics::ImagePtr Window::renderImage()
{
    // A sheet shows no title bar: only its content is drawn.
    const Rect area = isSheet() ? contentRectForFrameRect(Rect{{0, 0}, m_frame.size}) : Rect{{0, 0}, m_frame.size};
    auto context = GraphicsContext::bitmapContext(area.size, m_backingScaleFactor);
    if (!context)
        return nullptr;
    context->setAppearance(effectiveAppearance());
    context->setFillColor(Color::windowBackgroundColor());
    context->fillRect(Rect{{0, 0}, area.size});
    context->translate(-area.minX(), -area.minY());
    const bool hideTitlebar = isSheet() && m_titlebarContainer && !m_titlebarContainer->isHidden();
    if (hideTitlebar)
        m_titlebarContainer->setHidden(true);
    m_frameView->displayInContext(*context);
    if (hideTitlebar)
        m_titlebarContainer->setHidden(false);
    context->translate(area.minX(), area.minY());
    if (WindowPtr sheet = attachedSheet()) {
        // The sheet hangs from the bottom of the title bar, centred, over a soft edge.
        const Rect content = contentRectForFrameRect(Rect{{0, 0}, m_frame.size});
        const graphics::Size s = sheet->contentRectForFrameRect(sheet->frame()).size;
        const Rect at = Rect::make(std::round((m_frame.width() - s.width) / 2), content.maxY() - s.height, s.width, s.height);
        context->setFillColor(Color::calibratedWhite(0, 0.12));
        context->fillRect(at.insetBy(-2, -2));
        context->setFillColor(Color::calibratedWhite(0, 0.18));
        context->fillRect(at.insetBy(-1, -1));
        context->drawBitmap(sheet->renderImage(), at);
    }
    return context->createImage();
}

bool Window::renderToPNG(const std::string& path, foundation::ErrorPtr* error)
{
    auto image = renderImage();
    if (!image) {
        if (error)
            *error = foundation::Error::make(foundation::NSCocoaErrorDomain, foundation::NSFileWriteUnknownError,
                                             "The window is too small or too large to draw.");
        return false;
    }
    auto context = GraphicsContext::bitmapContext(
        graphics::Size{static_cast<double>(image->width()), static_cast<double>(image->height())}, 1.0);
    if (!context)
        return false;
    context->drawBitmap(image, Rect::make(0, 0, static_cast<double>(image->width()), static_cast<double>(image->height())));
    return context->writePNG(path, error);
}

} // namespace ui
