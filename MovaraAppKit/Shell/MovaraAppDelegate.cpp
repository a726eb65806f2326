#include "MovaraAppKit/Shell/MovaraAppDelegate.h"

#include <cctype>
#include <cstring>

#include "MovaraAppKit/Account/BaseMovaraPlanWindowController.h"
#include "MovaraAppKit/Shell/Analytics.h"
#include "MovaraAppKit/Shell/BeaconTracking.h"
#include "MovaraAppKit/Shell/DirectSalesController.h"
#include "MovaraAppKit/Shell/MovaraAppSpecific.h"
#include "MovaraAppKit/Shell/MovaraPlanOnboardingWindowController.h"
#include "MovaraAppKit/Shell/OnboardingWalkthroughWindowController.h"
#include "MovaraAppKit/Shell/PlatformExtensions.h"
#include "MovaraKit/Service/MVRAPIService.h"
#include "MovaraKit/Service/MVRAPIUser.h"
#include "MovaraKit/Service/MarketingConsentAlertPresentationController.h"
#include "Platform/Foundation/AttributedString.h"
#include "Platform/Foundation/Bundle.h"
#include "Platform/Foundation/FileManager.h"
#include "Platform/Foundation/Localized.h"
#include "Platform/UI/Alert.h"
#include "Platform/UI/AttributedString.h"
#include "Platform/UI/InterfaceRegistry.h"
#include "Platform/UI/Window.h"
#include "Platform/UI/Workspace.h"

const std::string MVRNotificationURL = "MVRNotificationURL";

namespace {

// The root page of the maker's support site.
constexpr const char* SupportURLString = "http://support.movara.com/";

std::string shellText(const std::string& key, const std::string& comment)
{
    return foundation::localized(key, comment, mvr_movaraAppKitBundle());
}

template <class Controller> std::shared_ptr<Controller> instantiate(const std::string& storyboard, const std::string& identifier)
{
    auto board = ui::Storyboard::storyboardWithName(storyboard);
    auto object = board ? board->instantiateControllerWithIdentifier(identifier) : nullptr;
    auto controller = std::dynamic_pointer_cast<Controller>(object);
    if (!controller)
        foundation::fatal("The storyboard " + storyboard + " gave no " + identifier + ".");
    return controller;
}

std::optional<std::string> infoString(const foundation::Bundle& bundle, const std::string& key)
{
    const foundation::Value& value = bundle.objectForInfoDictionaryKey(key);
    if (!value.isString())
        return std::nullopt;
    return value.asString();
}

} // namespace

MovaraAppDelegate::MovaraAppDelegate()
{
    auto info = MVRAppInfo::shared();
    m_apiService = MVRAPIService::initWithBaseURL(info->movaraAPIBaseURL(), info->movaraAPIKey());

    auto name = infoString(*foundation::Bundle::main(), foundation::kCFBundleNameKey);
    if (!name)
        foundation::fatal("The main bundle's Info.plist has no bundle name (CFBundleName).");
    m_appName = *name;
    m_appIconImage = ui::Image::imageNamed("AppIcon");

    m_directSalesController = DirectSalesController::init();
    m_movaraPlanWindowController = instantiate<MovaraPlanWindowController>("MovaraPlanWindow", "MovaraPlanWindowController");
    m_movaraPlanOnboardingWindowController =
        instantiate<MovaraPlanOnboardingWindowController>("MovaraPlanOnboardingWindow", "MovaraPlanOnboardingWindowController");
    m_onboardingWalkthroughWindowController =
        instantiate<OnboardingWalkthroughWindowController>("OnboardingWalkthrough", "OnboardingWalkthroughWindowController");

    registerAction("signOutMovaraPlan:", [this](ui::Object* s) { signOutMovaraPlan(s); });
    registerAction("showMovaraPlanWindow:", [this](ui::Object* s) { showMovaraPlanWindow(s); });
    registerAction("makeMovaraPlanWindowFrontmost:", [this](ui::Object* s) { makeMovaraPlanWindowFrontmost(s); });
    registerAction("showMovaraSupport:", [this](ui::Object* s) { showMovaraSupport(s); });
    registerAction("showOnboardingWalkthroughWindowManually:", [this](ui::Object* s) { showOnboardingWalkthroughWindowManually(s); });
    registerAction("showAboutWindow:", [this](ui::Object* s) { showAboutWindow(s); });
}

MovaraAppDelegate::~MovaraAppDelegate() = default;

std::shared_ptr<MovaraAppDelegate> MovaraAppDelegate::init()
{
    return std::shared_ptr<MovaraAppDelegate>(new MovaraAppDelegate());
}

const std::string& MovaraAppDelegate::appVersionString()
{
    if (!m_appVersionString) {
        auto main = foundation::Bundle::main();
        const auto version = infoString(*main, "CFBundleShortVersionString");
        const auto build = infoString(*main, "CFBundleVersion");
        const std::string label = shellText("Version", "Version label");
        if (!version)
            m_appVersionString = "";
        else if (build)
            m_appVersionString = label + " " + *version + " (" + *build + ")";
        else
            m_appVersionString = label + " " + *version;
    }
    return *m_appVersionString;
}

void MovaraAppDelegate::signOutMovaraPlan(ui::Object*)
{
    m_apiService->logout();
}

bool MovaraAppDelegate::isMovaraPlanOnboardingWindowVisible()
{
    auto window = m_movaraPlanOnboardingWindowController->window();
    if (!window)
        foundation::fatal("The plan onboarding window controller has no window.");
    return window->isVisible();
}

bool MovaraAppDelegate::isOnboardingWalkthroughWindowVisible()
{
    auto window = m_onboardingWalkthroughWindowController->window();
    if (!window)
        foundation::fatal("The walkthrough window controller has no window.");
    return window->isVisible();
}

void MovaraAppDelegate::showMovaraPlanWindow(ui::Object* sender)
{
    m_movaraPlanWindowController->showWindow(sender);
}

void MovaraAppDelegate::makeMovaraPlanWindowFrontmost(ui::Object* sender)
{
    auto window = m_movaraPlanWindowController->window();
    if (!window)
        foundation::fatal("The account window controller has no window.");
    if (window->isVisible())
        window->makeKeyAndOrderFront(sender);
}

void MovaraAppDelegate::openURLwithPath(const std::string& path)
{
    auto url = foundation::URL::URLWithString(path);
    if (!url)
        foundation::fatal("openURLwithPath: \"" + path + "\" is not a URL.");
    ui::Workspace::shared().openURL(*url);
}

void MovaraAppDelegate::showMovaraSupport(ui::Object*)
{
    ui::Workspace::shared().openURL(*foundation::URL::URLWithString(SupportURLString));
}

void MovaraAppDelegate::showOnboardingWalkthroughWindowManually(ui::Object*)
{
    if (!isOnboardingWalkthroughWindowVisible())
        m_onboardingWalkthroughWindowController->setShouldShowMovaraPlanOnboardingWindowNext(false);
    m_onboardingWalkthroughWindowController->showWindow(nullptr);
    Analytics::shared().resourceLinkClicked("Intro Video");
}

void MovaraAppDelegate::applicationWillFinishLaunching(const foundation::Notification& notification)
{
    ui::UserNotificationCenter::defaultUserNotificationCenter().setDelegate(
        std::dynamic_pointer_cast<ui::UserNotificationCenterDelegate>(shared_from_this()));
    // A launch that opens files (the file manager's "Open With") goes straight to them: the
    // walkthrough and the account offer would cover what the person asked to see. The
    // walkthrough waits for the next plain launch, which still shows it first.
    const bool* isDefaultLaunch = notification.userInfoValue<bool>(ui::NSApplicationLaunchIsDefaultLaunchKey);
    if (isDefaultLaunch && !*isDefaultLaunch)
        return;
    m_onboardingWalkthroughWindowController->showOnLaunch();
}

void MovaraAppDelegate::applicationDidFinishLaunching(const foundation::Notification&)
{
    setMarketingConsentHelper(MarketingConsentAlertPresentationController::init([](MarketingConsentAlertPresentationController::Completion completion) {
        auto alert = ui::Alert::init();
        alert->setMessageText(shellText("Marketing Consent", "label/alert text"));
        alert->setInformativeText(
            shellText("Movara can send me product updates and offers via email. You can opt-out at any time.", "label/alert text"));
        // "No" first: it is the default button, so Return declines.
        alert->addButtonWithTitle(shellText("No", "alert button title"));
        alert->addButtonWithTitle(shellText("Yes", "alert button title"));
        completion(alert->runModal() != ui::AlertFirstButtonReturn);
    }));

    std::weak_ptr<MovaraAppDelegate> weak = std::static_pointer_cast<MovaraAppDelegate>(shared_from_this());
    m_currentUserObservation = foundation::NotificationCenter::defaultCenter().addObserver(
        MVRAPICurrentUserDidChangeNotification, nullptr, nullptr, [weak](const foundation::Notification& n) {
            if (auto self = weak.lock())
                self->currentUserDidChange(n);
        });
    startOrStopAnalyticsAppropriately();
}

void MovaraAppDelegate::currentUserDidChange(const foundation::Notification&)
{
    startOrStopAnalyticsAppropriately();
}

void MovaraAppDelegate::startOrStopAnalyticsAppropriately()
{
    auto& analytics = Analytics::shared();
    auto user = MVRAPIUser::currentUser();
    if (user && user->trackingConsent() != true) {
        analytics.stopTracking();
        // Removing our trackers alone would leave the telemetry client's own analytics running
        // for someone who declined to be tracked.
        BeaconTelemetryClient::shared()->setAnalyticsEnabled(false);
        return;
    }
    if (analytics.trackers().empty()) {
        analytics.startTracking();
        // Undoes an earlier decline, which the client keeps across launches.
        BeaconTelemetryClient::shared()->setAnalyticsEnabled(true);
    }
}

void MovaraAppDelegate::showAboutWindow(ui::Object* sender)
{
    auto app = ui::Application::shared();
    if (auto path = foundation::Bundle::main()->pathForResource("Credits", "html")) {
        // The credits are a page of text: a file far larger is not ours and is not read.
        if (auto html = foundation::FileManager::defaultManager().contentsAtPath(*path, nullptr, 1 << 20)) {
            // The credits keep their links and type; the label colour over all of it keeps
            // them readable in the dark appearance.
            auto credits = foundation::AttributedString::initWithHTML(std::string_view(
                reinterpret_cast<const char*>(html->data()), html->size()));
            credits.addAttribute(foundation::NSForegroundColorAttributeName, foundation::Value("labelColor"),
                                 {0, credits.length()});
            app->orderFrontStandardAboutPanelWithOptions({{ui::NSAboutPanelOptionCredits, credits}});
            return;
        }
    }
    app->orderFrontStandardAboutPanel(sender);
}

void MovaraAppDelegate::deliverNotificationWithTitle(const std::string& title, const std::string& info, const foundation::URL& url)
{
    auto notification = ui::UserNotification::init();
    notification->setTitle(title);
    notification->setInformativeText(info);
    notification->setSoundName(ui::UserNotificationDefaultSoundName);
    notification->setUserInfo(foundation::Value::dictionary({{MVRNotificationURL, url.absoluteString()}}));
    ui::UserNotificationCenter::defaultUserNotificationCenter().deliverNotification(notification);
}

bool MovaraAppDelegate::userNotificationCenterShouldPresent(ui::UserNotificationCenter&, const ui::UserNotificationPtr&)
{
    return true;
}

void MovaraAppDelegate::userNotificationCenterDidActivate(ui::UserNotificationCenter& center, const ui::UserNotificationPtr& notification)
{
    if (!notification)
        return;
    const foundation::Value& info = notification->userInfo();
    if (!info.isDictionary() || !info[MVRNotificationURL].isString())
        return;
    auto url = foundation::URL::URLWithString(info[MVRNotificationURL].asString());
    // A relative reference (no scheme) says nowhere to go.
    if (!url || url->scheme().empty())
        return;
    if (url->isFileURL())
        ui::Workspace::shared().activateFileViewerSelectingURLs({*url});
    else
        ui::Workspace::shared().openURL(*url);
    center.removeDeliveredNotification(notification);
}

std::shared_ptr<MovaraAppDelegate> sharedAppDelegate()
{
    auto delegate = std::dynamic_pointer_cast<MovaraAppDelegate>(ui::Application::shared()->delegate());
    if (!delegate)
        foundation::fatal("The application's delegate is missing or is not a MovaraAppDelegate.");
    return delegate;
}
