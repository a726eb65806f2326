#pragma once
// The base of every application delegate built on the shell. It owns the web-service client,
// the account, plan onboarding and walkthrough windows and the marketing-consent prompt, runs
// the shell's part of the launch, keeps analytics in step with the signed-in user's tracking
// consent, delivers the shell's user notifications and shows the About panel. An application
// subclasses it and calls the base launch operations from its overrides. Main thread only.

#include <memory>
#include <optional>
#include <string>

#include "Platform/Foundation/NotificationCenter.h"
#include "Platform/Foundation/URL.h"
#include "Platform/UI/Application.h"
#include "Platform/UI/Image.h"
#include "Platform/UI/UserNotificationCenter.h"

class DirectSalesController;
class MarketingConsentAlertPresentationController;
class MovaraPlanOnboardingWindowController;
class MovaraPlanWindowController;
class MVRAPIService;
class OnboardingWalkthroughWindowController;

// "MVRNotificationURL": the user-info key of the address a shell notification opens.
extern const std::string MVRNotificationURL;

class MovaraAppDelegate : public ui::Responder, public ui::ApplicationDelegate, public ui::UserNotificationCenterDelegate {
public:
    // Stops the process when the configuration object or the bundle name is missing.
    static std::shared_ptr<MovaraAppDelegate> init();
    ~MovaraAppDelegate() override;

    const std::shared_ptr<MVRAPIService>& apiService() const { return m_apiService; }
    const std::string& appName() const { return m_appName; }
    ui::ImagePtr appIconImage() const { return m_appIconImage; }
    // "Version 1.2 (34)", "Version 1.2" without a build, "" without a version; made on first read.
    const std::string& appVersionString();
    void setAppVersionString(std::string text) { m_appVersionString = std::move(text); }
    const std::shared_ptr<DirectSalesController>& directSalesController() const { return m_directSalesController; }
    const std::shared_ptr<MovaraPlanWindowController>& movaraPlanWindowController() const { return m_movaraPlanWindowController; }
    const std::shared_ptr<MovaraPlanOnboardingWindowController>& movaraPlanOnboardingWindowController() const
    {
        return m_movaraPlanOnboardingWindowController;
    }
    const std::shared_ptr<OnboardingWalkthroughWindowController>& onboardingWalkthroughWindowController() const
    {
        return m_onboardingWalkthroughWindowController;
    }

    // ---- overridable operations (the actions are also reachable by name, "signOutMovaraPlan:" ...)
    virtual void signOutMovaraPlan(ui::Object* sender);
    virtual bool isMovaraPlanOnboardingWindowVisible();
    virtual bool isOnboardingWalkthroughWindowVisible();
    virtual void showMovaraPlanWindow(ui::Object* sender);
    virtual void makeMovaraPlanWindowFrontmost(ui::Object* sender);
    // Stops the process when `path` does not form a URL; a failed open is ignored.
    virtual void openURLwithPath(const std::string& path);
    virtual void showMovaraSupport(ui::Object* sender);
    // Opens the walkthrough without leading on to the plan onboarding window afterwards
    // (unless it was open already).
    virtual void showOnboardingWalkthroughWindowManually(ui::Object* sender);
    void applicationWillFinishLaunching(const foundation::Notification& notification) override;
    virtual std::shared_ptr<MarketingConsentAlertPresentationController> marketingConsentHelper() const { return m_marketingConsentHelper; }
    virtual void setMarketingConsentHelper(std::shared_ptr<MarketingConsentAlertPresentationController> helper)
    {
        m_marketingConsentHelper = std::move(helper);
    }
    void applicationDidFinishLaunching(const foundation::Notification& notification) override;
    virtual void currentUserDidChange(const foundation::Notification& notification);
    // Analytics stop when a signed-in user has not consented to tracking (the telemetry
    // client's analytics service is switched off too); otherwise they run, started once.
    virtual void startOrStopAnalyticsAppropriately();
    virtual void showAboutWindow(ui::Object* sender);

    // ---- user notifications (not overridable)
    // Delivers a notification whose activation opens `url` (a file is shown in the file manager).
    void deliverNotificationWithTitle(const std::string& title, const std::string& info, const foundation::URL& url);
    bool userNotificationCenterShouldPresent(ui::UserNotificationCenter& center, const ui::UserNotificationPtr& notification) final;
    void userNotificationCenterDidActivate(ui::UserNotificationCenter& center, const ui::UserNotificationPtr& notification) final;

protected:
    MovaraAppDelegate();

private:
    std::shared_ptr<MVRAPIService> m_apiService;
    std::string m_appName;
    ui::ImagePtr m_appIconImage;
    std::optional<std::string> m_appVersionString;
    std::shared_ptr<DirectSalesController> m_directSalesController;
    std::shared_ptr<MovaraPlanWindowController> m_movaraPlanWindowController;
    std::shared_ptr<MovaraPlanOnboardingWindowController> m_movaraPlanOnboardingWindowController;
    std::shared_ptr<OnboardingWalkthroughWindowController> m_onboardingWalkthroughWindowController;
    std::shared_ptr<MarketingConsentAlertPresentationController> m_marketingConsentHelper;
    foundation::NotificationCenter::Token m_currentUserObservation;
};

// The application's delegate; stops the process when there is none or it is not a
// MovaraAppDelegate.
std::shared_ptr<MovaraAppDelegate> sharedAppDelegate();
