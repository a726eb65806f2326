#pragma once
// The timelapse application's delegate. On top of the shell's launch it owns the Model, knows
// the main window controller (connected by the "MainMenu" interface file, which it loads when
// it is made), turns every request to add images into a background addition to the model with
// a progress caption and an error sheet, follows activation with the preview's playback and
// brings the main window back on reopen. Main thread only, except the model's additions.

#include <memory>
#include <string>
#include <vector>

#include "MovaraAppKit/Shell/MovaraAppDelegate.h"
#include "MovaraAppKit/Shell/MovaraPlanOnboardingWindowController.h"
#include "Platform/Foundation/URL.h"
#include "Platform/Foundation/UndoManager.h"
#include "Platform/UI/Menu.h"
#include "Quintor/Model.h"

class MainWindowController;

// The help page of the application on the maker's site.
extern const std::string QuintorHelpURLString;

class AppDelegate : public MovaraAppDelegate, public MovaraPlanOnboardingWindowDelegate {
public:
    // Makes the model, runs the shell's initialisation and loads the "MainMenu" interface file,
    // which connects the main window controller.
    static std::shared_ptr<AppDelegate> init();
    ~AppDelegate() override;

    // Outlet, held weakly; the interface file's objects are kept by the delegate.
    std::shared_ptr<MainWindowController> mainWindowController() const { return m_mainWindowController.lock(); }
    void setMainWindowController(const std::shared_ptr<MainWindowController>& controller) { m_mainWindowController = controller; }
    const std::shared_ptr<Model>& model() const { return m_model; }

    // The one entry for adding images (file manager, open panel, drops): shows "Starting to
    // create preview" (unless a preview is being built, which keeps the display) and adds them
    // on a background queue; a refusal comes back as a sheet.
    void addImages(const std::vector<foundation::URL>& urls);
    // Opens the help page with the workspace.
    void showMovaraHelp(ui::Object* sender);

    // ---- application delegate
    void application(ui::Application& app, const std::vector<std::string>& filenames) override;
    void application(ui::Application& app, const std::vector<foundation::URL>& urls) override;
    void applicationWillFinishLaunching(const foundation::Notification& notification) override;
    void applicationDidFinishLaunching(const foundation::Notification& notification) override;
    void applicationDidBecomeActive(const foundation::Notification& notification) override;
    void applicationDidResignActive(const foundation::Notification& notification) override;
    bool applicationShouldHandleReopen(ui::Application& app, bool hasVisibleWindows) override;
    // While an export runs the main window asks first; quitting then stops the export and
    // waits until its unfinished movie is gone.
    ui::TerminateReply applicationShouldTerminate(ui::Application& app) override;

    // Undo and Redo of the Edit menu go to the main window's undo manager; their titles name
    // the action. Both wait while an export runs.
    bool validateMenuItem(ui::MenuItem& item) override;

    // ---- plan onboarding window
    void movaraPlanOnboardingWindowDidClose() override;

private:
    AppDelegate();
    // The connected main window controller; a missing one is a fault of the interface file.
    std::shared_ptr<MainWindowController> requireMainWindowController() const;
    void presentAdditionError(const foundation::ErrorPtr& error);
    std::shared_ptr<foundation::UndoManager> applicationUndoManager() const;
    bool isExporting() const;
    // Undo and redo wait while an export runs or a sheet is up on the main window.
    bool undoWaits() const;

    std::weak_ptr<MainWindowController> m_mainWindowController;
    std::shared_ptr<Model> m_model;
    std::vector<ui::ObjectPtr> m_interfaceObjects;
    bool m_launchFinished = false;
};

// The application's delegate as the timelapse application's; stops the process when the
// application has none or one of another class.
std::shared_ptr<AppDelegate> appDelegate();
