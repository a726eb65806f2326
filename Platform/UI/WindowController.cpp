#include "Platform/UI/WindowController.h"

#include "Platform/Foundation/Error.h"
#include "Platform/UI/InterfaceRegistry.h"
#include "Platform/UI/ViewController.h"
#include "Platform/UI/Window.h"

namespace ui {

WindowControllerPtr WindowController::initWithWindow(const std::shared_ptr<Window>& window)
{
    WindowControllerPtr controller(new WindowController());
    controller->setWindow(window);
    return controller;
}

WindowControllerPtr WindowController::initWithWindowNibName(const std::string& name)
{
    WindowControllerPtr controller(new WindowController());
    controller->setWindowNibName(name);
    return controller;
}

WindowController::~WindowController() = default;

std::shared_ptr<Window> WindowController::window()
{
    if (!m_window && !m_loading && !windowNibName().empty()) {
        m_loading = true;
        windowWillLoad();
        loadWindow();
        m_loading = false;
        if (m_window)
            windowDidLoad();
    }
    return m_window;
}

void WindowController::setWindow(const std::shared_ptr<Window>& window)
{
    if (m_window && m_window->windowController().get() == this)
        m_window->setWindowController(nullptr);
    m_window = window;
    if (m_window)
        m_window->setWindowController(sharedAs<WindowController>());
}

void WindowController::loadWindow()
{
    foundation::ErrorPtr error;
    if (!InterfaceRegistry::loadFile(windowNibName(), shared_from_this(), &error))
        foundation::fatal("WindowController: " + error->localizedDescription());
}

void WindowController::showWindow(Object* sender)
{
    if (auto w = window())
        w->makeKeyAndOrderFront(sender);
}

void WindowController::close()
{
    if (m_window)
        m_window->close();
}

std::shared_ptr<ViewController> WindowController::contentViewController() const
{
    return m_window ? m_window->contentViewController() : nullptr;
}

void WindowController::setContentViewController(const std::shared_ptr<ViewController>& controller)
{
    if (auto w = window())
        w->setContentViewController(controller);
}

} // namespace ui
