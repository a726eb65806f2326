#include "Platform/UI/ViewController.h"

#include <cxxabi.h>

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <typeinfo>
#include <utility>

#include "Platform/Foundation/Error.h"
#include "Platform/UI/InterfaceRegistry.h"
#include "Platform/UI/View.h"
#include "Platform/UI/Window.h"

namespace ui {

namespace {

struct HookTable {
    std::mutex mutex;
    ViewController::AppearanceHookId nextId = 1;
    std::vector<std::pair<ViewController::AppearanceHookId, ViewController::AppearanceHook>> hooks;
};

HookTable& hookTable()
{
    static HookTable table;
    return table;
}

} // namespace

ViewController::AppearanceHookId ViewController::addViewWillAppearHook(AppearanceHook hook)
{
    if (!hook)
        return 0;
    auto& table = hookTable();
    std::lock_guard lock(table.mutex);
    const AppearanceHookId id = table.nextId++;
    table.hooks.emplace_back(id, std::move(hook));
    return id;
}

void ViewController::removeViewWillAppearHook(AppearanceHookId id)
{
    auto& table = hookTable();
    std::lock_guard lock(table.mutex);
    std::erase_if(table.hooks, [id](const auto& entry) { return entry.first == id; });
}

void ViewController::viewWillAppear()
{
    std::vector<AppearanceHook> hooks;
    {
        auto& table = hookTable();
        std::lock_guard lock(table.mutex);
        for (const auto& entry : table.hooks)
            hooks.push_back(entry.second);
    }
    // Run unlocked: a hook may show another controller or add a hook of its own.
    for (const auto& hook : hooks)
        hook(*this);
}

std::string ViewController::className() const
{
    const char* raw = typeid(*this).name();
    int status = 0;
    char* demangled = abi::__cxa_demangle(raw, nullptr, nullptr, &status);
    std::string name = (status == 0 && demangled) ? demangled : raw;
    std::free(demangled);
    return name;
}

ViewControllerPtr ViewController::init()
{
    return ViewControllerPtr(new ViewController());
}

ViewController::~ViewController()
{
    if (m_view && m_view->m_viewController == this)
        m_view->m_viewController = nullptr;
}

std::shared_ptr<View> ViewController::view()
{
    if (!m_view) {
        loadView();
        if (!m_view)
            setView(View::initWithFrame(graphics::Rect::make(0, 0, 480, 270)));
        viewDidLoad();
    }
    return m_view;
}

void ViewController::setView(const std::shared_ptr<View>& view)
{
    if (m_view && m_view->m_viewController == this)
        m_view->m_viewController = nullptr;
    m_view = view;
    if (m_view)
        m_view->m_viewController = this;
}

void ViewController::loadView()
{
    const std::string name = nibName();
    if (name.empty())
        return;
    foundation::ErrorPtr error;
    if (!InterfaceRegistry::loadFile(name, shared_from_this(), &error))
        foundation::fatal("ViewController: " + error->localizedDescription());
}

void ViewController::addChildViewController(const ViewControllerPtr& child)
{
    if (!child || child.get() == this)
        return;
    child->removeFromParentViewController();
    child->m_parent = sharedAs<ViewController>();
    m_children.push_back(child);
}

void ViewController::removeFromParentViewController()
{
    auto parent = m_parent.lock();
    if (!parent)
        return;
    auto keep = sharedAs<ViewController>();
    auto& list = parent->m_children;
    list.erase(std::remove(list.begin(), list.end(), keep), list.end());
    m_parent.reset();
}

void ViewController::presentViewControllerAsSheet(const ViewControllerPtr& controller)
{
    if (!controller)
        return;
    Window* host = view()->window();
    if (!host)
        return;
    controller->m_presenting = sharedAs<ViewController>();
    m_presented.push_back(controller);
    controller->m_sheetWindow = Window::windowWithContentViewController(controller);
    host->beginSheet(controller->m_sheetWindow);
}

void ViewController::dismissViewController(const ViewControllerPtr& controller)
{
    if (!controller)
        return;
    auto it = std::find(m_presented.begin(), m_presented.end(), controller);
    if (it == m_presented.end())
        return;
    auto keep = controller;
    m_presented.erase(it);
    if (auto sheet = controller->m_sheetWindow) {
        if (auto parent = sheet->sheetParent())
            parent->endSheet(sheet, ModalResponseStop);
        sheet->close();
        controller->m_sheetWindow.reset();
    }
    controller->m_presenting.reset();
}

void ViewController::dismissController(Object*)
{
    if (auto presenting = m_presenting.lock()) {
        presenting->dismissViewController(sharedAs<ViewController>());
        return;
    }
    if (m_view && m_view->window())
        m_view->window()->close();
}

std::shared_ptr<Responder> ViewController::nextResponder() const
{
    if (auto explicitNext = Responder::nextResponder())
        return explicitNext;
    if (!m_view)
        return nullptr;
    if (View* super = m_view->superview())
        return super->sharedAs<Responder>();
    if (Window* w = m_view->window())
        return w->sharedAs<Responder>();
    return nullptr;
}

void ViewController::setPreferredContentSize(graphics::Size size)
{
    if (size == m_preferredContentSize)
        return;
    m_preferredContentSize = size;
    if (auto parent = parentViewController())
        parent->preferredContentSizeDidChangeForViewController(*this);
}

void ViewController::sendAppearance(bool appearing, bool did)
{
    // Each transition is told once, however often the window is ordered.
    if (appearing == m_appeared && !did)
        return;
    if (appearing) {
        if (!did) {
            view();
            viewWillAppear();
        } else {
            m_appeared = true;
            viewDidAppear();
        }
    } else {
        if (!did) {
            viewWillDisappear();
        } else {
            m_appeared = false;
            viewDidDisappear();
        }
    }
    for (const auto& child : appearingChildViewControllers())
        child->sendAppearance(appearing, did);
}

} // namespace ui
