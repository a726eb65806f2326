#include "MovaraAppKit/Shell/DirectSalesController.h"

#include <cstdlib>
#include <filesystem>

#include "MovaraAppKit/Shell/MovaraAppDelegate.h"
#include "MovaraAppKit/Shell/MovaraAppSpecific.h"
#include "MovaraAppKit/Shell/PlatformExtensions.h"
#include "Platform/Dispatch/Queue.h"
#include "Platform/Foundation/Bundle.h"
#include "Platform/Foundation/Localized.h"
#include "Platform/Foundation/UserDefaults.h"
#include "Platform/UI/Alert.h"
#include "Platform/UI/Application.h"
#include "Platform/UI/Button.h"
#include "Platform/UI/Menu.h"

const std::string DirectSalesController::MVRSuppressMoveToAppsFolderAlertKey = "SuppressMoveToAppsFolderAlert";

namespace {

std::string shellText(const std::string& key, const std::string& comment)
{
    return foundation::localized(key, comment, mvr_movaraAppKitBundle());
}

ui::MenuPtr applicationMenu(ui::Application& app)
{
    auto mainMenu = app.mainMenu();
    if (!mainMenu)
        return nullptr;
    // The menu that holds the Services menu; without one, the first menu of the bar, which is
    // where the application menu always stands.
    if (auto services = app.servicesMenu()) {
        for (const auto& item : mainMenu->itemArray())
            if (auto submenu = item->submenu(); submenu && submenu->indexOfItemWithSubmenu(services) >= 0)
                return submenu;
    }
    if (mainMenu->numberOfItems() > 0)
        return mainMenu->itemAtIndex(0)->submenu();
    return nullptr;
}

long aboutItemIndex(ui::Menu& menu, const std::shared_ptr<ui::Application>& app)
{
    long index = menu.indexOfItemWithTarget(nullptr, "orderFrontStandardAboutPanel:");
    if (index < 0)
        index = menu.indexOfItemWithTarget(app, "orderFrontStandardAboutPanel:");
    if (index < 0)
        index = menu.indexOfItemWithTarget(nullptr, "showAboutWindow:");
    return index;
}

bool pathLiesUnder(const std::filesystem::path& path, const std::filesystem::path& directory)
{
    auto p = path.begin();
    for (auto d = directory.begin(); d != directory.end(); ++d, ++p) {
        if (d->empty())
            continue; // a trailing "/"
        if (p == path.end() || *p != *d)
            return false;
    }
    return true;
}

} // namespace

std::shared_ptr<DirectSalesController> DirectSalesController::init()
{
    std::shared_ptr<DirectSalesController> controller(new DirectSalesController());
    controller->m_licenseAgreementWindowController = LicenseAgreementWindowController::init();
    controller->m_sparkleUpdater = SoftwareUpdaterController::init();
    std::weak_ptr<DirectSalesController> weak = controller;
    controller->m_launchObservation = foundation::NotificationCenter::defaultCenter().addObserver(
        ui::NSApplicationDidFinishLaunchingNotification, nullptr, nullptr, [weak](const foundation::Notification&) {
            if (auto self = weak.lock())
                self->applicationDidFinishLaunching();
        });
    return controller;
}

void DirectSalesController::applicationDidFinishLaunching()
{
    auto app = ui::Application::shared();
    auto menu = applicationMenu(*app);

    std::weak_ptr<DirectSalesController> weak = weak_from_this();
    dispatch::Queue::main()->async([weak] {
        if (auto self = weak.lock())
            self->showMoveToAppsFolderAlertIfNecessary();
    });

    if (menu && foundation::Bundle::main()->objectForInfoDictionaryKey("SUFeedURL").isString()) {
        auto item = ui::MenuItem::initWithTitle(shellText("Check for Updates\u2026", "menu title"), "checkForUpdates:");
        item->setTarget(m_sparkleUpdater);
        // Directly below the About item; at the top of the menu when there is none.
        menu->insertItem(item, aboutItemIndex(*menu, app) + 1);
    }

    if (MVRAppInfo::shared()->licenseAgreementURL()) {
        if (auto help = app->helpMenu()) {
            auto item = ui::MenuItem::initWithTitle(shellText("License Agreement\u2026", "menu title"), "showWindow:");
            item->setTarget(m_licenseAgreementWindowController);
            help->addItem(item);
        }
    }
}

bool DirectSalesController::isInstalledLocation(const std::string& path)
{
    const std::filesystem::path bundle = std::filesystem::path(path).lexically_normal();
    // This platform has no single applications folder: programs are installed under /usr and
    // /opt for everyone and under ~/.local for one user, and self-contained ones are kept in a
    // folder named "Applications".
    std::vector<std::filesystem::path> installed = {"/usr", "/opt"};
    if (const char* home = std::getenv("HOME"); home && *home)
        installed.push_back(std::filesystem::path(home) / ".local");
    for (const auto& directory : installed)
        if (pathLiesUnder(bundle, directory))
            return true;
    for (const auto& component : bundle)
        if (component == "Applications")
            return true;
    return false;
}

void DirectSalesController::showMoveToAppsFolderAlertIfNecessary()
{
    auto defaults = foundation::UserDefaults::standard();
    if (defaults->boolForKey(MVRSuppressMoveToAppsFolderAlertKey))
        return;
    if (isInstalledLocation(foundation::Bundle::main()->bundlePath()))
        return;

    auto app = ui::Application::shared();
    if (!app->isActive())
        app->activateIgnoringOtherApps(true);

    auto alert = ui::Alert::init();
    std::string message = shellText("You should move %@ to the Applications folder.", "alert message");
    if (auto at = message.find("%@"); at != std::string::npos)
        message.replace(at, 2, sharedAppDelegate()->appName());
    alert->setMessageText(message);
    alert->setInformativeText(shellText("For best results, quit the app, move it to the Applications folder, and relaunch it from there.",
                                        "alert message"));
    alert->addButtonWithTitle(shellText("OK", "alert button title"));
    alert->setShowsSuppressionButton(true);
    alert->runModal();
    if (alert->suppressionButton()->state() == ui::ControlStateValueOn)
        defaults->set(MVRSuppressMoveToAppsFolderAlertKey, foundation::Value(true));
}

void DirectSalesController::resetDialogWarnings()
{
    foundation::UserDefaults::standard()->removeObjectForKey(MVRSuppressMoveToAppsFolderAlertKey);
}
