#include "MovaraAppKit/Shell/Controller+Editing.h"

#include "Platform/UI/View.h"
#include "Platform/UI/Window.h"

namespace {

// A loaded window only: asking window() would load it from its interface file.
ui::WindowPtr loadedWindow(ui::WindowController& controller)
{
    return controller.isWindowLoaded() ? controller.window() : nullptr;
}

} // namespace

void commitEdits(ui::WindowController& controller)
{
    if (auto window = loadedWindow(controller))
        window->makeFirstResponder(nullptr);
}

void goToInitialFirstResponder(ui::WindowController& controller)
{
    if (auto window = loadedWindow(controller))
        window->makeFirstResponder(window->initialFirstResponder());
}

void closeWindow(ui::WindowController& controller, ui::Object*)
{
    controller.close();
}

void commitEdits(ui::ViewController& controller)
{
    if (!controller.isViewLoaded())
        return;
    if (auto* window = controller.view()->window())
        window->makeFirstResponder(nullptr);
}

void goToFirstKeyView(ui::ViewController& controller)
{
    if (!controller.isViewLoaded())
        return;
    auto view = controller.view();
    if (auto* window = view->window())
        window->makeFirstResponder(view->nextValidKeyView());
}

ui::ViewControllerPtr rootViewController(const ui::ViewController& controller)
{
    auto root = controller.parentViewController();
    while (root) {
        auto parent = root->parentViewController();
        if (!parent)
            break;
        root = parent;
    }
    return root;
}

void dismissRootViewController(ui::ViewController& controller, ui::Object* sender)
{
    if (auto root = rootViewController(controller))
        root->dismissController(sender);
}
