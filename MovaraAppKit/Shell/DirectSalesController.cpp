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
#include "Platform/UI/Window.h"

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
            self->showMoveToAppsFolderAlertAfterOnboarding();
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

void DirectSalesController::showMoveToAppsFolderAlertAfterOnboarding()
{
    // The walkthrough and the account offer come first, one after the other (the walkthrough's
    // close opens the offer); the alert waits until both are closed rather than stack on them.
    auto onboardingVisible = [] {
        auto delegate = sharedAppDelegate();
        return delegate->isOnboardingWalkthroughWindowVisible() || delegate->isMovaraPlanOnboardingWindowVisible();
    };
    if (!onboardingVisible()) {
        m_onboardingObservation.remove();
        showMoveToAppsFolderAlertIfNecessary();
        return;
    }
    if (m_onboardingObservation.isValid())
        return;
    std::weak_ptr<DirectSalesController> weak = weak_from_this();
    m_onboardingObservation = foundation::NotificationCenter::defaultCenter().addObserver(
        ui::NSWindowWillCloseNotification, nullptr, nullptr, [weak](const foundation::Notification&) {
            // Looked at once the closing is over and whatever it opens is on screen.
            dispatch::Queue::main()->async([weak] {
                if (auto self = weak.lock(); self && self->m_onboardingObservation.isValid())
                    self->showMoveToAppsFolderAlertAfterOnboarding();
            });
        });
}

bool DirectSalesController::isInstalledAt(const std::string& path, const std::string& bundleIdentifier)
{
    if (isInstalledLocation(path))
        return true;
    // Installed anywhere else (`cmake --install --prefix DIR`): the installation's launcher
    // lies in the prefix the program was installed under.
    if (bundleIdentifier.empty() || bundleIdentifier.find('/') != std::string::npos)
        return false;
    const std::filesystem::path bundle = std::filesystem::path(path).lexically_normal();
    for (auto dir = bundle; !dir.empty(); dir = dir.parent_path()) {
        std::error_code ec;
        if (std::filesystem::is_regular_file(dir / "share/applications" / (bundleIdentifier + ".desktop"), ec))
            return true;
        if (dir == dir.root_path())
            break;
    }
    return false;
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
    auto bundle = foundation::Bundle::main();
    if (isInstalledAt(bundle->bundlePath(), bundle->bundleIdentifier()))
        return;

    auto app = ui::Application::shared();
    if (!app->isActive())
        app->activateIgnoringOtherApps(true);

    auto alert = ui::Alert::init();
    // This platform installs programs rather than moving them into one folder: the alert
    // says so in its terms.
    auto named = [](std::string text) {
        for (auto at = text.find("%@"); at != std::string::npos; at = text.find("%@", at))
            text.replace(at, 2, sharedAppDelegate()->appName());
        return text;
    };
    alert->setMessageText(named(shellText("You should install %@.", "alert message")));
    alert->setInformativeText(named(shellText("%@ is running from a folder it is not installed in, such as its build folder. For best "
                                              "results, quit it, install it (under /usr/local, /opt or ~/.local), and start it from "
                                              "the application menu.",
                                              "alert message")));
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
