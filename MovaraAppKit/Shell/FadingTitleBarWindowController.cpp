#include "MovaraAppKit/Shell/FadingTitleBarWindowController.h"

#include "Platform/Foundation/Error.h"
#include "Platform/UI/Button.h"
#include "Platform/UI/Window.h"

std::shared_ptr<FadingTitleBarWindowController> FadingTitleBarWindowController::initWithWindow(const std::shared_ptr<ui::Window>& window)
{
    std::shared_ptr<FadingTitleBarWindowController> controller(new FadingTitleBarWindowController());
    std::weak_ptr<FadingTitleBarWindowController> weak = controller;
    controller->registerAction("fadeChrome", [weak](ui::Object*) {
        if (auto self = weak.lock())
            self->fadeChrome();
    });
    controller->registerAction("showWindow:", [weak](ui::Object* sender) {
        if (auto self = weak.lock())
            self->showWindow(sender);
    });
    if (window)
        controller->setWindow(window);
    return controller;
}

FadingTitleBarWindowController::~FadingTitleBarWindowController()
{
    cancelFadeTimer();
}

std::shared_ptr<ui::View> FadingTitleBarWindowController::titlebarContainerView()
{
    auto w = isWindowLoaded() ? window() : nullptr;
    if (!w)
        return nullptr;
    auto close = w->standardWindowButton(ui::WindowButton::closeButton);
    auto content = w->contentView();
    if (!close || !content)
        return nullptr;
    ui::View* closeSuper = close->superview();
    if (!closeSuper)
        return nullptr;
    // The nearest view that holds both the content view and the close button.
    ui::View* common = nullptr;
    for (ui::View* v = content.get(); v && !common; v = v->superview())
        if (close->isDescendantOf(v))
            common = v;
    if (!common)
        return nullptr;
    if (!closeSuper->superview())
        return closeSuper->sharedAs<ui::View>();
    ui::View* v = closeSuper;
    while (v->superview() && v->superview() != common)
        v = v->superview();
    return v->sharedAs<ui::View>();
}

void FadingTitleBarWindowController::windowDidLoad()
{
    ui::WindowController::windowDidLoad();
    auto w = window();
    if (!w)
        foundation::fatal("FadingTitleBarWindowController: no window at windowDidLoad.");
    w->setMovableByWindowBackground(true);
    std::weak_ptr<FadingTitleBarWindowController> weak = sharedAs<FadingTitleBarWindowController>();
    m_frameObservation = foundation::NotificationCenter::defaultCenter().addObserver(
        ui::NSViewFrameDidChangeNotification, foundation::identityOf(w->contentView().get()), nullptr,
        [weak](const foundation::Notification& n) {
            if (auto self = weak.lock())
                self->contentViewFrameDidChange(&n);
        });
    contentViewFrameDidChange(nullptr);
}

void FadingTitleBarWindowController::contentViewFrameDidChange(const foundation::Notification*)
{
    auto w = window();
    auto content = w ? w->contentView() : nullptr;
    if (!content)
        foundation::fatal("FadingTitleBarWindowController: the window has no content view.");
    if (m_trackingArea)
        content->removeTrackingArea(m_trackingArea);
    m_trackingArea = ui::TrackingArea::initWithRect(content->bounds(), ui::NSTrackingMouseEnteredAndExited | ui::NSTrackingActiveAlways,
                                                    sharedAs<ui::Responder>());
    content->addTrackingArea(m_trackingArea);
}

void FadingTitleBarWindowController::cancelFadeTimer()
{
    if (m_fadeTimer) {
        m_fadeTimer->cancel();
        m_fadeTimer.reset();
    }
}

void FadingTitleBarWindowController::setChromeAlpha(double alpha)
{
    // Headless windows have no animation to run: the fade lands at its end value at once.
    if (auto container = titlebarContainerView())
        container->setAlphaValue(alpha);
}

void FadingTitleBarWindowController::showChrome()
{
    cancelFadeTimer();
    setChromeAlpha(1.0);
    std::weak_ptr<FadingTitleBarWindowController> weak = sharedAs<FadingTitleBarWindowController>();
    m_fadeTimer = dispatch::RunLoop::current().performAfter(fadeDelay, [weak] {
        if (auto self = weak.lock())
            self->fadeChrome();
    });
}

void FadingTitleBarWindowController::fadeChrome()
{
    cancelFadeTimer();
    setChromeAlpha(0.0);
}

void FadingTitleBarWindowController::showWindow(ui::Object* sender)
{
    showChrome();
    ui::WindowController::showWindow(sender);
}

void FadingTitleBarWindowController::mouseEntered(const ui::Event& event)
{
    showChrome();
    ui::WindowController::mouseEntered(event);
}

void FadingTitleBarWindowController::mouseMoved(const ui::Event& event)
{
    showChrome();
    ui::WindowController::mouseMoved(event);
}

void FadingTitleBarWindowController::mouseExited(const ui::Event& event)
{
    cancelFadeTimer();
    setChromeAlpha(0.0);
    ui::WindowController::mouseExited(event);
}

void FadingTitleBarWindowController::windowWillClose(const foundation::Notification&)
{
    if (m_trackingArea) {
        if (auto w = isWindowLoaded() ? window() : nullptr)
            if (auto content = w->contentView())
                content->removeTrackingArea(m_trackingArea);
        m_trackingArea.reset();
    }
    cancelFadeTimer();
}
