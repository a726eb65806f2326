#include "MovaraAppKit/Shell/SheetController.h"

#include "MovaraAppKit/Shell/Controller+Editing.h"
#include "Platform/Foundation/Error.h"

SheetController::SheetController()
{
    registerAction("beginSheet:", [this](ui::Object* sender) { beginSheet(sender); });
    registerAction("cancelSheet:", [this](ui::Object* sender) { cancelSheet(sender); });
    registerAction("ok:", [this](ui::Object* sender) { ok(sender); });
}

std::shared_ptr<SheetController> SheetController::initWithWindow(const ui::WindowPtr& window)
{
    std::shared_ptr<SheetController> controller(new SheetController());
    controller->setWindow(window);
    return controller;
}

std::shared_ptr<SheetController> SheetController::initWithWindowNibName(const std::string& name)
{
    std::shared_ptr<SheetController> controller(new SheetController());
    controller->setWindowNibName(name);
    return controller;
}

bool SheetController::sheetIsVisble()
{
    if (!isWindowLoaded())
        return false;
    return window()->isVisible();
}

ui::WindowPtr SheetController::requireSheetWindows(const char* operation, ui::WindowPtr& host)
{
    host = windowForSheet();
    if (!host)
        foundation::fatal(std::string("SheetController: ") + operation + " without a window for the sheet.");
    auto sheet = window();
    if (!sheet)
        foundation::fatal(std::string("SheetController: ") + operation + " of a controller that has no window.");
    return sheet;
}

void SheetController::beginSheet()
{
    beginSheetWithCompletionHandler(nullptr);
}

void SheetController::beginSheetWithCompletionHandler(CompletionHandler handler)
{
    ui::WindowPtr host;
    auto sheet = requireSheetWindows("beginning a sheet", host);
    host->beginSheet(sheet, std::move(handler));
}

void SheetController::beginCriticalSheetWithCompletionHandler(CompletionHandler handler)
{
    ui::WindowPtr host;
    auto sheet = requireSheetWindows("beginning a critical sheet", host);
    host->beginCriticalSheet(sheet, std::move(handler));
}

void SheetController::endSheetWithReturnCode(ui::ModalResponse returnCode)
{
    ui::WindowPtr host;
    auto sheet = requireSheetWindows("ending a sheet", host);
    // The handler may release this controller; keep it until the end.
    auto keep = shared_from_this();
    sheet->close();
    host->endSheet(sheet, returnCode);
}

void SheetController::endSheet()
{
    endSheetWithReturnCode(ui::ModalResponseOK);
}

void SheetController::beginSheet(ui::Object*)
{
    beginSheet();
}

void SheetController::cancelSheet(ui::Object*)
{
    endSheetWithReturnCode(ui::ModalResponseCancel);
}

void SheetController::ok(ui::Object*)
{
    commitEdits(*this);
    endSheetWithReturnCode(ui::ModalResponseOK);
}
