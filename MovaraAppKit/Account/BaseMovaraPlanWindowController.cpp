#include "MovaraAppKit/Account/BaseMovaraPlanWindowController.h"

#include "MovaraAppKit/Shell/PlatformExtensions.h"

BaseMovaraPlanWindowController::BaseMovaraPlanWindowController()
{
    registerAction("makeWindowFrontmost:", [this](ui::Object* sender) { makeWindowFrontmost(sender); });
}

std::shared_ptr<BaseMovaraPlanWindowController> BaseMovaraPlanWindowController::initWithWindow(const ui::WindowPtr& window)
{
    std::shared_ptr<BaseMovaraPlanWindowController> controller(new BaseMovaraPlanWindowController());
    controller->setWindow(window);
    controller->windowDidLoad();
    return controller;
}

void BaseMovaraPlanWindowController::windowDidLoad()
{
    ui::WindowController::windowDidLoad();
    if (auto w = window()) {
        w->setTitlebarAppearsTransparent(true);
        w->setDelegate(sharedAs<BaseMovaraPlanWindowController>());
    }
}

graphics::Rect BaseMovaraPlanWindowController::windowWillPositionSheet(ui::Window&, ui::Window&, const graphics::Rect& rect)
{
    return graphics::Rect::make(rect.minX(), rect.minY() - titleBarHeight(), rect.width(), rect.height());
}

void BaseMovaraPlanWindowController::showWindow(ui::Object* sender)
{
    ui::WindowController::showWindow(sender);
    if (auto w = window())
        w->center();
}

void BaseMovaraPlanWindowController::makeWindowFrontmost(ui::Object* sender)
{
    auto w = window();
    if (w && w->isVisible())
        w->makeKeyAndOrderFront(sender);
}

std::shared_ptr<MovaraPlanWindowController> MovaraPlanWindowController::init()
{
    return std::shared_ptr<MovaraPlanWindowController>(new MovaraPlanWindowController());
}


