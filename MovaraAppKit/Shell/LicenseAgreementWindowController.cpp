#include "MovaraAppKit/Shell/LicenseAgreementWindowController.h"

#include "MovaraAppKit/Shell/MovaraAppSpecific.h"
#include "Platform/Foundation/Error.h"
#include "Platform/UI/InterfaceRegistry.h"
#include "Platform/UI/SavePanel.h"
#include "Platform/UI/Window.h"

LicenseAgreementWindowController::LicenseAgreementWindowController()
{
    setWindowNibName("LicenseAgreementWindow");
    registerAction("showWindow:", [this](ui::Object* sender) { showWindow(sender); });
    registerAction("saveLicense:", [this](ui::Object* sender) { saveLicense(sender); });
}

std::shared_ptr<LicenseAgreementWindowController> LicenseAgreementWindowController::init()
{
    return std::shared_ptr<LicenseAgreementWindowController>(new LicenseAgreementWindowController());
}

void LicenseAgreementWindowController::awakeFromNib()
{
    ui::WindowController::awakeFromNib();
    auto url = MVRAppInfo::shared()->licenseAgreementURL();
    if (!url)
        return;
    // A document that cannot be read leaves the view empty, as a missing one does.
    if (auto view = pdfView())
        view->setDocument(ui::PDFDocument::initWithURL(*url));
}

void LicenseAgreementWindowController::showWindow(ui::Object* sender)
{
    if (auto w = window())
        w->center();
    ui::WindowController::showWindow(sender);
}

void LicenseAgreementWindowController::saveLicense(ui::Object*)
{
    auto url = MVRAppInfo::shared()->licenseAgreementURL();
    if (!url)
        return;
    auto w = window();
    if (!w)
        foundation::fatal("LicenseAgreementWindowController: no window to attach the save panel to.");
    auto panel = ui::SavePanel::savePanel();
    panel->setCanCreateDirectories(true);
    panel->setCanSelectHiddenExtension(true);
    panel->setAllowedFileTypes({url->pathExtension()});
    panel->setNameFieldStringValue(url->lastPathComponent());
    std::weak_ptr<LicenseAgreementWindowController> weak = sharedAs<LicenseAgreementWindowController>();
    panel->beginSheetModalForWindow(w, [weak, panel](ui::ModalResponse response) {
        auto self = weak.lock();
        if (!self || response != ui::ModalResponseOK || !panel->URL())
            return;
        auto view = self->pdfView();
        if (!view || !view->document())
            return;
        foundation::ErrorPtr error;
        // The user believes a copy now exists; if it does not, say so.
        if (!view->document()->writeToURL(*panel->URL(), &error))
            if (auto window = self->window())
                window->presentError(error);
    });
}

namespace {

const bool registered = [] {
    ui::InterfaceRegistry::registerFile("LicenseAgreementWindow", [](ui::InterfaceFile& file) {
        auto owner = file.ownerAs<LicenseAgreementWindowController>();
        auto window = file.add(ui::Window::initWithContentRect(graphics::Rect::make(0, 0, 600, 700),
                                                               ui::WindowStyleMaskTitled | ui::WindowStyleMaskClosable | ui::WindowStyleMaskResizable));
        window->setTitle("License Agreement");
        auto pdf = ui::PDFView::initWithFrame(graphics::Rect::make(0, 0, 600, 700));
        window->setContentView(pdf);
        if (owner) {
            owner->setPdfView(pdf);
            owner->setWindow(window);
            file.wake(owner);
        }
    });
    return true;
}();

} // namespace
