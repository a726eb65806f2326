#pragma once
// A window controller whose window runs as a document-modal sheet on a host window: the owner
// names the host (windowForSheet), begins the sheet, and the sheet ends itself with a return
// code from its OK and Cancel buttons; the host hands that code to the completion handler
// given at the beginning. The actions "beginSheet:", "cancelSheet:" and "ok:" go through the
// overridable operations, so a subclass's override is what the buttons reach. Main thread only.

#include <functional>
#include <memory>
#include <string>

#include "Platform/UI/Window.h"
#include "Platform/UI/WindowController.h"

class SheetController : public ui::WindowController {
public:
    using CompletionHandler = std::function<void(ui::ModalResponse)>;

    static std::shared_ptr<SheetController> initWithWindow(const ui::WindowPtr& window);
    static std::shared_ptr<SheetController> initWithWindowNibName(const std::string& name);

    // The host window, held weakly: the sheet never owns it.
    ui::WindowPtr windowForSheet() const { return m_windowForSheet.lock(); }
    virtual void setWindowForSheet(const ui::WindowPtr& window) { m_windowForSheet = window; }

    // False while the window has not been loaded (and does not load it).
    virtual bool sheetIsVisble();

    // Beginning or ending without a host or a window stops the process (a programming error).
    virtual void beginSheet();
    virtual void beginSheetWithCompletionHandler(CompletionHandler handler);
    virtual void beginCriticalSheetWithCompletionHandler(CompletionHandler handler);
    // Closes the window, then ends the sheet on the host with `returnCode`.
    virtual void endSheetWithReturnCode(ui::ModalResponse returnCode);
    // Ends with OK.
    virtual void endSheet();

    // Actions.
    virtual void beginSheet(ui::Object* sender);
    // Ends with Cancel, leaving any edit in progress uncommitted.
    virtual void cancelSheet(ui::Object* sender);
    // Commits the edit in progress, then ends with OK.
    virtual void ok(ui::Object* sender);

protected:
    SheetController();

private:
    ui::WindowPtr requireSheetWindows(const char* operation, ui::WindowPtr& host);

    std::weak_ptr<ui::Window> m_windowForSheet;
};
