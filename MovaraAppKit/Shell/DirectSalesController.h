#pragma once
// What an application sold outside a store adds at launch: the "Check for Updates…" menu item
// (only with an update feed, "SUFeedURL", in the Info.plist), the "License Agreement…" item
// (only with a licence agreement), and the alert that asks the user to install the application
// when it runs from where it is not installed (its build folder). Made once by the base
// application delegate. Main thread only.

#include <memory>
#include <string>

#include "MovaraAppKit/Shell/LicenseAgreementWindowController.h"
#include "MovaraAppKit/Shell/SoftwareUpdaterController.h"
#include "Platform/Foundation/NotificationCenter.h"
#include "Platform/UI/Object.h"

class DirectSalesController : public std::enable_shared_from_this<DirectSalesController> {
public:
    // "SuppressMoveToAppsFolderAlert": set, the move alert stays quiet for good.
    static const std::string MVRSuppressMoveToAppsFolderAlertKey;

    // Starts listening for the application's did-finish-launching notification.
    static std::shared_ptr<DirectSalesController> init();

    const std::shared_ptr<LicenseAgreementWindowController>& licenseAgreementWindowController() const { return m_licenseAgreementWindowController; }
    const std::shared_ptr<SoftwareUpdaterController>& sparkleUpdater() const { return m_sparkleUpdater; }

    // The menu items, and the move alert one main-queue turn later, once the walkthrough and
    // the account offer are closed.
    void applicationDidFinishLaunching();
    // Asks the user to install the application unless it runs from where it is installed (see
    // isInstalledAt) or the user suppressed the alert.
    void showMoveToAppsFolderAlertIfNecessary();
    // Lets the move alert appear again.
    void resetDialogWarnings();

    // Whether an application whose bundle lies at `path` counts as installed: under /usr, /opt
    // or ~/.local, in any folder named "Applications", or under an installation prefix that
    // holds its launcher (share/applications/IDENTIFIER.desktop).
    static bool isInstalledAt(const std::string& path, const std::string& bundleIdentifier);
    static bool isInstalledLocation(const std::string& path);

private:
    DirectSalesController() = default;
    void showMoveToAppsFolderAlertAfterOnboarding();

    std::shared_ptr<LicenseAgreementWindowController> m_licenseAgreementWindowController;
    std::shared_ptr<SoftwareUpdaterController> m_sparkleUpdater;
    foundation::NotificationCenter::Token m_launchObservation;
    foundation::NotificationCenter::Token m_onboardingObservation;
};
