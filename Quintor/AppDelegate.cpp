#include "Quintor/AppDelegate.h"

#include "Platform/Dispatch/Queue.h"
#include "Platform/Foundation/ClassRegistry.h"
#include "Platform/Foundation/Localized.h"
#include "Platform/UI/Application.h"
#include "Platform/UI/InterfaceRegistry.h"
#include "Platform/UI/Menu.h"
#include "Platform/UI/PlayerView.h"
#include "Platform/UI/Window.h"
#include "Platform/UI/Workspace.h"
#include "Quintor/MainWindowController.h"
#include "Quintor/PreviewController.h"

const std::string QuintorHelpURLString = "https://www.movara.com/products/mac/quintor/help";

namespace {

// The shell's launch makes the application's delegate by this name.
const bool registered = [] {
    foundation::ClassRegistry::shared().registerClass<MovaraAppDelegate>("AppDelegate", [] { return AppDelegate::init(); });
    return true;
}();

} // namespace

AppDelegate::AppDelegate()
    : m_model(Model::init())
{
    registerAction("showMovaraHelp:", [this](ui::Object* sender) { showMovaraHelp(sender); });
    // The main window's undo manager is the whole application's, so the Edit menu's items work
    // whichever window is in front.
    registerAction("undo:", [this](ui::Object*) {
        if (auto undo = applicationUndoManager(); undo && undo->canUndo() && !undoWaits())
            undo->undo();
    });
    registerAction("redo:", [this](ui::Object*) {
        if (auto undo = applicationUndoManager(); undo && undo->canRedo() && !undoWaits())
            undo->redo();
    });
}

AppDelegate::~AppDelegate() = default;

std::shared_ptr<AppDelegate> AppDelegate::init()
{
    auto self = std::shared_ptr<AppDelegate>(new AppDelegate());
    self->movaraPlanOnboardingWindowController()->setDelegate(self);
    foundation::ErrorPtr error;
    auto objects = ui::InterfaceRegistry::loadFile("MainMenu", self, &error);
    if (!objects)
        foundation::fatal("The application's interface file MainMenu cannot be loaded: " + (error ? error->localizedDescription() : std::string()));
    self->m_interfaceObjects = std::move(*objects);
    self->requireMainWindowController();
    return self;
}

std::shared_ptr<MainWindowController> AppDelegate::requireMainWindowController() const
{
    auto controller = m_mainWindowController.lock();
    if (!controller)
        foundation::fatal("The application delegate's main window controller is not connected.");
    return controller;
}

bool AppDelegate::isExporting() const
{
    // Undoing an addition or a sort rebuilds the preview, which would take the export's
    // progress display and with it the button that cancels the export: they wait, as the
    // commands that change the sequence do.
    auto controller = m_mainWindowController.lock();
    return controller && controller->isExporting();
}

bool AppDelegate::undoWaits() const
{
    // A sheet on the main window shows values that an undo under it would leave stale.
    auto controller = m_mainWindowController.lock();
    auto window = controller ? controller->window() : nullptr;
    return isExporting() || (window && window->attachedSheet());
}

std::shared_ptr<foundation::UndoManager> AppDelegate::applicationUndoManager() const
{
    auto controller = m_mainWindowController.lock();
    return controller ? controller->undoManager() : nullptr;
}

bool AppDelegate::validateMenuItem(ui::MenuItem& item)
{
    const std::string action = item.action();
    if (action == "undo:" || action == "redo:") {
        auto undo = applicationUndoManager();
        const bool isUndo = action == "undo:";
        item.setTitle(undo ? (isUndo ? undo->undoMenuItemTitle() : undo->redoMenuItemTitle())
                           : foundation::localized(isUndo ? "Undo" : "Redo", "menu item title"));
        return undo && !undoWaits() && (isUndo ? undo->canUndo() : undo->canRedo());
    }
    return MovaraAppDelegate::validateMenuItem(item);
}

void AppDelegate::application(ui::Application& app, const std::vector<std::string>& filenames)
{
    std::vector<foundation::URL> urls;
    urls.reserve(filenames.size());
    for (const auto& path : filenames)
        urls.push_back(foundation::URL::fileURLWithPath(path));
    addImages(urls);
    // Photos opened while the application runs (from the file manager, or a second launch)
    // come to the front in the main window, over the onboarding windows if they are up. At
    // launch, becoming active shows it.
    (void)app;
    if (m_launchFinished)
        requireMainWindowController()->showWindow(nullptr);
}

void AppDelegate::application(ui::Application& app, const std::vector<foundation::URL>& urls)
{
    std::vector<std::string> paths;
    paths.reserve(urls.size());
    for (const auto& url : urls)
        paths.push_back(url.path());
    application(app, paths);
}

void AppDelegate::addImages(const std::vector<foundation::URL>& urls)
{
    auto controller = requireMainWindowController();
    // An open request can come before the main window was first shown (the onboarding windows
    // keep the front on a first launch): its views, progress display included, are loaded now.
    if (!controller->window())
        foundation::fatal("The main window controller has no window.");
    // The progress display belongs to the export until it ends; the main window refuses drops
    // and its open panel meanwhile, and an open request from outside is refused the same way.
    if (controller->isExporting()) {
        ui::beep();
        return;
    }
    // A preview that is being built keeps the display, and with it the cancel button that
    // stops that build; the preview of these images is built right after it, with its own.
    auto preview = controller->previewController();
    if (!preview || !preview->isCreatingPreview())
        controller->showProgress(foundation::localized("Starting to create preview", "progress caption"), nullptr, {});

    auto self = std::static_pointer_cast<AppDelegate>(shared_from_this());
    dispatch::Queue::global(dispatch::QoS::UserInitiated)->async([self, urls] {
        foundation::ErrorPtr error;
        if (self->m_model->addImages(urls, &error))
            return; // the model announces the new list; the preview takes over the display
        if (!error)
            error = foundation::Error::make(foundation::NSCocoaErrorDomain, 0, foundation::localized("The images cannot be added.", "error description"));
        dispatch::Queue::main()->async([self, error] { self->presentAdditionError(error); });
    });
}

void AppDelegate::presentAdditionError(const foundation::ErrorPtr& error)
{
    auto controller = requireMainWindowController();
    // A preview that is still being built for an earlier addition keeps the display: it leaves
    // it when it is done.
    auto preview = controller->previewController();
    if (!preview || !preview->isCreatingPreview())
        controller->leaveProgress();
    controller->presentError(error);
}

void AppDelegate::showMovaraHelp(ui::Object*)
{
    ui::Workspace::shared().openURL(*foundation::URL::URLWithString(QuintorHelpURLString));
}

void AppDelegate::applicationWillFinishLaunching(const foundation::Notification& notification)
{
    MovaraAppDelegate::applicationWillFinishLaunching(notification);
}

void AppDelegate::applicationDidFinishLaunching(const foundation::Notification& notification)
{
    MovaraAppDelegate::applicationDidFinishLaunching(notification);
    m_launchFinished = true;
}

void AppDelegate::applicationDidBecomeActive(const foundation::Notification&)
{
    // The onboarding windows keep the front while they are up.
    if (isMovaraPlanOnboardingWindowVisible() || isOnboardingWalkthroughWindowVisible())
        return;
    auto controller = requireMainWindowController();
    auto window = controller->window();
    if (!window)
        foundation::fatal("The main window controller has no window.");
    if (!window->isVisible())
        controller->showWindow(nullptr);
    auto preview = controller->previewController();
    if (!preview)
        foundation::fatal("The main window's preview controller is not connected.");
    preview->play();
}

void AppDelegate::applicationDidResignActive(const foundation::Notification&)
{
    auto preview = requireMainWindowController()->previewController();
    if (!preview)
        return;
    auto playerView = preview->playerView();
    if (!playerView)
        foundation::fatal("The preview's player view is not connected.");
    if (auto player = playerView->player())
        player->pause();
}

bool AppDelegate::applicationShouldHandleReopen(ui::Application&, bool hasVisibleWindows)
{
    if (!hasVisibleWindows)
        requireMainWindowController()->showWindow(nullptr);
    return false;
}

ui::TerminateReply AppDelegate::applicationShouldTerminate(ui::Application&)
{
    auto controller = m_mainWindowController.lock();
    if (!controller || !controller->isExporting())
        return ui::TerminateReply::now;
    controller->confirmStopExport([](bool stopped) { ui::Application::shared()->replyToApplicationShouldTerminate(stopped); });
    return ui::TerminateReply::later;
}

void AppDelegate::movaraPlanOnboardingWindowDidClose()
{
    auto controller = requireMainWindowController();
    auto window = controller->window();
    if (!window || !window->isVisible())
        controller->showWindow(nullptr);
}

std::shared_ptr<AppDelegate> appDelegate()
{
    auto delegate = std::dynamic_pointer_cast<AppDelegate>(ui::Application::shared()->delegate());
    if (!delegate)
        foundation::fatal("The application's delegate is missing or is not the timelapse application's AppDelegate.");
    return delegate;
}

// ---- the main interface file

namespace {

ui::MenuItemPtr addItem(const ui::MenuPtr& menu, const std::string& title, const std::string& action,
                        const std::string& key = {}, long tag = 0)
{
    auto item = menu->addItemWithTitle(title, action, key);
    item->setTag(tag);
    return item;
}

ui::MenuPtr submenu(const ui::MenuPtr& mainMenu, const std::string& title)
{
    auto menu = ui::Menu::initWithTitle(title);
    auto item = ui::MenuItem::initWithTitle(title);
    item->setSubmenu(menu);
    mainMenu->addItem(item);
    return menu;
}

std::string menuTitle(const std::string& text)
{
    return foundation::localized(text, "menu item title");
}

// "MainMenu": the application's menus and its main window controller, connected to the
// delegate (the file's owner). Untargeted items travel the responder chain to the main
// window's controller or to the delegate.
void buildMainMenu(ui::InterfaceFile& file)
{
    auto owner = file.ownerAs<AppDelegate>();
    if (!owner)
        foundation::fatal("MainMenu: the file's owner is not the application delegate.");

    auto controller = file.add(MainWindowController::init());
    controller->setModel(owner->model());
    std::weak_ptr<AppDelegate> weakOwner = owner;
    controller->setAddImagesHandler([weakOwner](const std::vector<foundation::URL>& urls) {
        if (auto delegate = weakOwner.lock())
            delegate->addImages(urls);
    });
    controller->setNotificationHandler([weakOwner](const std::string& title, const std::string& info, const foundation::URL& url) {
        if (auto delegate = weakOwner.lock())
            delegate->deliverNotificationWithTitle(title, info, url);
    });
    owner->setMainWindowController(controller);

    auto mainMenu = file.add(ui::Menu::initWithTitle("Main Menu"));
    const std::string appName = owner->appName();

    auto app = submenu(mainMenu, appName);
    addItem(app, menuTitle("About " + appName), "showAboutWindow:");
    app->addItem(ui::MenuItem::separatorItem());
    addItem(app, menuTitle("Show Walkthrough"), "showOnboardingWalkthroughWindowManually:");
    addItem(app, menuTitle("Movara Account\u2026"), "showMovaraPlanWindow:");
    addItem(app, menuTitle("Sign Out"), "signOutMovaraPlan:");
    app->addItem(ui::MenuItem::separatorItem());
    addItem(app, menuTitle("Quit " + appName), "terminate:", "q");

    auto fileMenu = submenu(mainMenu, menuTitle("File"));
    addItem(fileMenu, menuTitle("Open\u2026"), "addImages:", "o");
    fileMenu->addItem(ui::MenuItem::separatorItem());
    addItem(fileMenu, menuTitle("Export\u2026"), "export:", "e");
    addItem(fileMenu, menuTitle("Send to Stillara"), "exportToStillara:");
    fileMenu->addItem(ui::MenuItem::separatorItem());
    addItem(fileMenu, menuTitle("Close"), "performClose:", "w");

    auto edit = submenu(mainMenu, menuTitle("Edit"));
    addItem(edit, menuTitle("Undo"), "undo:", "z");
    addItem(edit, menuTitle("Redo"), "redo:", "Z");
    edit->addItem(ui::MenuItem::separatorItem());
    addItem(edit, menuTitle("Cut"), "cut:", "x");
    addItem(edit, menuTitle("Copy"), "copy:", "c");
    addItem(edit, menuTitle("Paste"), "paste:", "v");

    auto sequence = submenu(mainMenu, menuTitle("Sequence"));
    addItem(sequence, menuTitle("Play"), "togglePlayPause:", " ");
    addItem(sequence, menuTitle("Reverse"), "togglePlayDirection:", "r");
    sequence->addItem(ui::MenuItem::separatorItem());
    addItem(sequence, menuTitle("Sort by Name"), "changeSort:", {}, ui::tagValue(Model::SortTag::byName));
    addItem(sequence, menuTitle("Sort by Date"), "changeSort:", {}, ui::tagValue(Model::SortTag::byDate));
    sequence->addItem(ui::MenuItem::separatorItem());
    addItem(sequence, menuTitle("Reset Trim Range"), "resetTrimRange:");
    addItem(sequence, menuTitle("Remove All Items"), "removeAllItems:");

    auto help = submenu(mainMenu, menuTitle("Help"));
    addItem(help, menuTitle(appName + " Help"), "showMovaraHelp:", "?");
    addItem(help, menuTitle("Movara Support"), "showMovaraSupport:");

    auto application = ui::Application::shared();
    application->setMainMenu(mainMenu);
    application->setHelpMenu(help);
}

const bool mainMenuRegistered = [] {
    ui::InterfaceRegistry::registerFile("MainMenu", buildMainMenu);
    return true;
}();

} // namespace
