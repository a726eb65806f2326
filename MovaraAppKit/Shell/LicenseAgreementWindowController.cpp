#include "MovaraAppKit/Shell/LicenseAgreementWindowController.h"

#include "MovaraAppKit/Shell/MovaraAppSpecific.h"
#include "Platform/UI/InterfaceRegistry.h"
#include "Platform/UI/Window.h"

LicenseAgreementWindowController::LicenseAgreementWindowController()
{
    setWindowNibName("LicenseAgreementWindow");
    registerAction("showWindow:", [this](ui::Object* sender) { showWindow(sender); });
}

std::shared_ptr<LicenseAgreementWindowController> LicenseAgreementWindowController::init()
{
    return std::shared_ptr<LicenseAgreementWindowController>(new LicenseAgreementWindowController());
}

void LicenseAgreementWindowController::showWindow(ui::Object* sender)
{
    if (auto w = window())
        w->center();
    ui::WindowController::showWindow(sender);
}

namespace {

const bool registered = [] {
    ui::InterfaceRegistry::registerFile("LicenseAgreementWindow", [](ui::InterfaceFile& file) {
        auto owner = file.ownerAs<ui::WindowController>();
        auto window = file.add(ui::Window::initWithContentRect(graphics::Rect::make(0, 0, 600, 700),
                                                               ui::WindowStyleMaskTitled | ui::WindowStyleMaskClosable | ui::WindowStyleMaskResizable));
        window->setTitle("License Agreement");
        if (owner)
            owner->setWindow(window);
    });
    return true;
}();

} // namespace
