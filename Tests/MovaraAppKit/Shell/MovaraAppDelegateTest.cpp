#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <tuple>

#include "MovaraAppKit/Account/BaseMovaraPlanWindowController.h"
#include "MovaraAppKit/Shell/Analytics.h"
#include "MovaraAppKit/Shell/DirectSalesController.h"
#include "MovaraAppKit/Shell/MovaraAppDelegate.h"
#include "MovaraAppKit/Shell/MovaraPlanOnboardingWindowController.h"
#include "MovaraAppKit/Shell/OnboardingWalkthroughWindowController.h"
#include "MovaraAppKit/Shell/ProgressSheetController.h"
#include "MovaraKit/Service/MVRAPIUser.h"
#include "MovaraKit/Service/MVRCommand.h"
#include "Platform/Dispatch/RunLoop.h"
#include "Platform/Foundation/AttributedString.h"
#include "Platform/Foundation/Bundle.h"
#include "Platform/Foundation/UserDefaults.h"
#include "Platform/UI/Application.h"
#include "Platform/UI/AttributedString.h"
#include "Platform/UI/Image.h"
#include "Platform/UI/ImageView.h"
#include "Platform/UI/TextField.h"
#include "Platform/UI/Menu.h"
#include "Platform/UI/ScriptedResponder.h"
#include "Platform/UI/Window.h"
#include "Platform/UI/Workspace.h"
#include "Tests/MovaraAppKit/Shell/ShellTestSupport.h"
#include "Tests/Platform/Net/LocalServer.h"
#include "Tests/Support/TempDir.h"

namespace {

using foundation::Value;

std::string infoPlist(const std::vector<std::pair<std::string, std::string>>& entries)
{
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>\n";
    for (const auto& [key, value] : entries)
        xml += "<key>" + key + "</key><string>" + value + "</string>\n";
    return xml + "</dict></plist>\n";
}

// An application bundle, a recording telemetry client, a scripted user and no signed-in user;
// the shell's user defaults start empty.
class ShellLaunchTest : public testing::Test {
protected:
    void SetUp() override
    {
        useInfo({{"CFBundleName", "Tester"}, {"CFBundleIdentifier", "com.movara.ShellTests"}});
        auto defaults = foundation::UserDefaults::standard();
        for (const auto& key : {MVRHasShownWalkthroughWindowOnLaunchKey, MVRDontShowOnboardingWindowOnLaunchKey,
                                DirectSalesController::MVRSuppressMoveToAppsFolderAlertKey})
            defaults->removeObjectForKey(key);
        MVRAPIUser::setCurrentUser(nullptr);
        drainTurns();
        Analytics::shared().stopTracking();
        ui::ScriptedResponder::install(responder);
        ui::Workspace::shared().setRecordsOnly(true);
        ui::Workspace::shared().clearRecordedCalls();
        shelltest::TestAppSpecific::license.reset();
        auto& center = foundation::NotificationCenter::defaultCenter();
        // Commands are sent and finish on the main thread.
        commandObservers.push_back(center.addObserver(MVRCommandSendNotification, nullptr, nullptr,
                                                      [this](const foundation::Notification&) { ++commandsSent; }));
        commandObservers.push_back(center.addObserver(MVRCommandDidFinishNotification, nullptr, nullptr,
                                                      [this](const foundation::Notification&) { ++commandsFinished; }));
    }

    void TearDown() override
    {
        for (auto& window : ui::Application::shared()->windows())
            if (window->isVisible())
                window->orderOut();
        ui::Application::shared()->setDelegate(nullptr);
        // Each test launches into an inactive application, as in a process of its own.
        ui::Application::shared()->deactivate();
        ui::UserNotificationCenter::defaultUserNotificationCenter().removeAllDeliveredNotifications();
        ui::ScriptedResponder::uninstall();
        MVRAPIUser::setCurrentUser(nullptr);
        drainTurns();
        Analytics::shared().stopTracking();
        // Commands the shell sent to the (absent) service end before the test does: one still
        // under way when the process exits would finish on a worker against destroyed objects.
        EXPECT_TRUE(dispatch::RunLoop::main().runUntil([&] { return commandsFinished == commandsSent; }, 30))
            << commandsSent - commandsFinished << " commands still under way";
        commandObservers.clear();
        foundation::Bundle::setMain(nullptr);
    }

    void useInfo(const std::vector<std::pair<std::string, std::string>>& entries, bool withCredits = false)
    {
        bundleDir = std::make_unique<testsupport::TempDir>();
        bundleDir->write("Info.plist", infoPlist(entries));
        if (withCredits)
            bundleDir->write("Resources/Credits.html",
                             "<html><head><style>p{}</style></head><body><h1>Quintor</h1><p>Made by "
                             "<a href=\"https://example.com/ada\">Ada</a> &amp; <b>Grace</b>.</p></body></html>");
        foundation::Bundle::setMain(foundation::Bundle::bundleWithPath(bundleDir->path().string()));
    }

    // Makes the delegate and runs both launch steps, then activates the application, as the
    // application does. Without the activation here, the first one would come later from the
    // move alert, and the web service, seeing a user signed in without a stored credential,
    // would sign out the user a test had just put in place.
    // `isDefaultLaunch` false: the launch opens files.
    std::shared_ptr<MovaraAppDelegate> launch(bool isDefaultLaunch = true)
    {
        auto delegate = MovaraAppDelegate::init();
        ui::Application::shared()->setDelegate(delegate);
        foundation::Notification n;
        n.name = ui::NSApplicationWillFinishLaunchingNotification;
        n.userInfo[ui::NSApplicationLaunchIsDefaultLaunchKey] = isDefaultLaunch;
        delegate->applicationWillFinishLaunching(n);
        foundation::NotificationCenter::defaultCenter().post(ui::NSApplicationDidFinishLaunchingNotification);
        delegate->applicationDidFinishLaunching(n);
        ui::Application::shared()->activateIgnoringOtherApps(true);
        return delegate;
    }

    // Lets everything scheduled for the next run-loop turns run.
    static void drainTurns()
    {
        for (int i = 0; i < 3; ++i)
            dispatch::RunLoop::main().runOnce(0);
    }

    static std::shared_ptr<MVRAPIUser> userWithTrackingConsent(std::optional<bool> consent)
    {
        auto json = Value::dictionary({{"id", Value(std::int64_t(7))}, {"username", "ada"}, {"marketing_consent", Value(true)}});
        if (consent)
            json.set("tracking_consent", Value(*consent));
        return MVRAPIUser::initWithJSON(json);
    }

    std::unique_ptr<testsupport::TempDir> bundleDir;
    shelltest::ScopedTelemetryClient telemetry;
    std::vector<foundation::NotificationCenter::Token> commandObservers;
    int commandsSent = 0;
    int commandsFinished = 0;
    std::shared_ptr<ui::ScriptedResponder> responder = ui::ScriptedResponder::make();
};

TEST_F(ShellLaunchTest, FirstLaunchShowsTheWalkthroughThenThePlanOnboardingWindow)
{
    auto delegate = launch();
    EXPECT_TRUE(delegate->isOnboardingWalkthroughWindowVisible());
    EXPECT_FALSE(delegate->isMovaraPlanOnboardingWindowVisible());
    EXPECT_TRUE(foundation::UserDefaults::standard()->boolForKey("hasShownWalkthroughWindowOnLaunch"));
    EXPECT_EQ(delegate->onboardingWalkthroughWindowController()->window()->title(), "Tester");

    delegate->onboardingWalkthroughWindowController()->close();
    EXPECT_TRUE(dispatch::RunLoop::main().runUntil([&] { return delegate->isMovaraPlanOnboardingWindowVisible(); }, 5));
    EXPECT_FALSE(delegate->isOnboardingWalkthroughWindowVisible());
}

TEST_F(ShellLaunchTest, LaterLaunchesOfferThePlanOnboardingWindowAtOnceUnlessTurnedOff)
{
    foundation::UserDefaults::standard()->set("hasShownWalkthroughWindowOnLaunch", Value(true));
    auto delegate = launch();
    EXPECT_FALSE(delegate->isOnboardingWalkthroughWindowVisible());
    EXPECT_TRUE(delegate->isMovaraPlanOnboardingWindowVisible());
    delegate->movaraPlanOnboardingWindowController()->close();

    foundation::UserDefaults::standard()->set("dontShowOnboardingWindowOnLaunch", Value(true));
    auto second = launch();
    EXPECT_FALSE(second->isOnboardingWalkthroughWindowVisible());
    EXPECT_FALSE(second->isMovaraPlanOnboardingWindowVisible());
}

TEST_F(ShellLaunchTest, ALaunchThatOpensFilesLeavesTheWalkthroughAndTheOfferToTheNextPlainLaunch)
{
    auto delegate = launch(false);
    EXPECT_FALSE(delegate->isOnboardingWalkthroughWindowVisible());
    EXPECT_FALSE(delegate->isMovaraPlanOnboardingWindowVisible());
    EXPECT_FALSE(foundation::UserDefaults::standard()->boolForKey("hasShownWalkthroughWindowOnLaunch"));

    auto next = launch();
    EXPECT_TRUE(next->isOnboardingWalkthroughWindowVisible());
}

TEST_F(ShellLaunchTest, ClosingThePlanOnboardingWindowTellsItsDelegate)
{
    struct Listener : MovaraPlanOnboardingWindowDelegate {
        int closes = 0;
        void movaraPlanOnboardingWindowDidClose() override { ++closes; }
    };
    foundation::UserDefaults::standard()->set("hasShownWalkthroughWindowOnLaunch", Value(true));
    auto listener = std::make_shared<Listener>();
    auto delegate = MovaraAppDelegate::init();
    delegate->movaraPlanOnboardingWindowController()->setDelegate(listener);
    ui::Application::shared()->setDelegate(delegate);
    delegate->applicationWillFinishLaunching({});
    ASSERT_TRUE(delegate->isMovaraPlanOnboardingWindowVisible());

    MVRAPIUser::setCurrentUser(userWithTrackingConsent(true)); // signing in from the form closes it
    EXPECT_TRUE(dispatch::RunLoop::main().runUntil([&] { return listener->closes == 1; }, 5));
    EXPECT_FALSE(delegate->isMovaraPlanOnboardingWindowVisible());
}

TEST_F(ShellLaunchTest, ASignOutLeavesThePlanOnboardingWindowOpen)
{
    struct Listener : MovaraPlanOnboardingWindowDelegate {
        int closes = 0;
        void movaraPlanOnboardingWindowDidClose() override { ++closes; }
    };
    foundation::UserDefaults::standard()->set("hasShownWalkthroughWindowOnLaunch", Value(true));
    auto listener = std::make_shared<Listener>();
    auto delegate = launch();
    delegate->movaraPlanOnboardingWindowController()->setDelegate(listener);
    ASSERT_TRUE(delegate->isMovaraPlanOnboardingWindowVisible());

    // The announcement of a change to nobody signed in, as a sign-out makes it.
    foundation::NotificationCenter::defaultCenter().post(MVRAPICurrentUserDidChangeNotification);
    drainTurns();
    EXPECT_TRUE(delegate->isMovaraPlanOnboardingWindowVisible());
    EXPECT_EQ(listener->closes, 0);
}

TEST_F(ShellLaunchTest, WalkthroughFromTheMenuDoesNotLeadToThePlanOnboardingWindow)
{
    foundation::UserDefaults::standard()->set("hasShownWalkthroughWindowOnLaunch", Value(true));
    foundation::UserDefaults::standard()->set("dontShowOnboardingWindowOnLaunch", Value(false));
    auto delegate = launch();
    delegate->movaraPlanOnboardingWindowController()->close();
    EXPECT_TRUE(delegate->performAction("showOnboardingWalkthroughWindowManually:", nullptr));
    EXPECT_TRUE(delegate->isOnboardingWalkthroughWindowVisible());
    delegate->onboardingWalkthroughWindowController()->close();
    drainTurns();
    EXPECT_FALSE(delegate->isMovaraPlanOnboardingWindowVisible());

    // Opened at first launch and chosen again from the menu while open: it keeps leading on.
    foundation::UserDefaults::standard()->removeObjectForKey("hasShownWalkthroughWindowOnLaunch");
    auto first = launch();
    first->showOnboardingWalkthroughWindowManually(nullptr);
    first->onboardingWalkthroughWindowController()->close();
    EXPECT_TRUE(dispatch::RunLoop::main().runUntil([&] { return first->isMovaraPlanOnboardingWindowVisible(); }, 5));
}

TEST_F(ShellLaunchTest, AnalyticsFollowTheSignedInUsersTrackingConsent)
{
    auto delegate = launch();
    // Nobody signed in: analytics run, and the client was started once.
    ASSERT_EQ(Analytics::shared().trackers().size(), 1u);
    EXPECT_EQ(telemetry->starts, std::vector<std::string> {shelltest::TestBeaconID});
    auto tracker = Analytics::shared().trackers().front();

    delegate->startOrStopAnalyticsAppropriately();
    EXPECT_EQ(Analytics::shared().trackers().front(), tracker);
    EXPECT_EQ(telemetry->starts.size(), 1u);

    struct Step {
        const char* what;
        std::shared_ptr<MVRAPIUser> user;
        bool running;
        std::optional<bool> analyticsService; // the last switch of the client's analytics
    };
    const Step steps[] = {
        {"declined", userWithTrackingConsent(false), false, false},
        {"signed out", nullptr, true, true},
        {"no answer counts as declined", userWithTrackingConsent(std::nullopt), false, false},
        {"consented", userWithTrackingConsent(true), true, true},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.what);
        MVRAPIUser::setCurrentUser(step.user);
        // The change is announced one run-loop turn later.
        EXPECT_TRUE(dispatch::RunLoop::main().runUntil([&] { return Analytics::shared().isTrackingEnabled() == step.running; }, 5));
        ASSERT_FALSE(telemetry->analyticsEnabled.empty());
        EXPECT_EQ(telemetry->analyticsEnabled.back(), step.analyticsService);
    }
    // Each restart made a new tracker and started the client again.
    EXPECT_EQ(telemetry->starts.size(), 3u);
}

TEST_F(ShellLaunchTest, VersionStringFromTheInfoPlist)
{
    struct Case {
        std::vector<std::pair<std::string, std::string>> info;
        std::string expected;
    };
    const Case cases[] = {
        {{{"CFBundleShortVersionString", "1.2"}, {"CFBundleVersion", "34"}}, "Version 1.2 (34)"},
        {{{"CFBundleShortVersionString", "1.2"}}, "Version 1.2"},
        {{{"CFBundleVersion", "34"}}, ""},
        {{}, ""},
    };
    for (const auto& c : cases) {
        auto info = c.info;
        info.push_back({"CFBundleName", "Tester"});
        useInfo(info);
        auto delegate = MovaraAppDelegate::init();
        EXPECT_EQ(delegate->appVersionString(), c.expected);
        delegate->setAppVersionString("custom");
        EXPECT_EQ(delegate->appVersionString(), "custom");
    }
}

TEST_F(ShellLaunchTest, MissingBundleNameStopsTheLaunch)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    useInfo({{"CFBundleIdentifier", "com.movara.ShellTests"}});
    EXPECT_DEATH(MovaraAppDelegate::init(), "no bundle name");
}

TEST_F(ShellLaunchTest, SharedAppDelegateNeedsAShellDelegate)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    ui::Application::shared()->setDelegate(nullptr);
    EXPECT_DEATH(sharedAppDelegate(), "not a MovaraAppDelegate");
    auto delegate = MovaraAppDelegate::init();
    ui::Application::shared()->setDelegate(delegate);
    EXPECT_EQ(sharedAppDelegate(), delegate);
}

// The application menu with its About item and Services menu, and a Help menu.
struct Menus {
    Menus()
    {
        auto app = ui::Application::shared();
        auto bar = ui::Menu::initWithTitle("");
        appMenu = ui::Menu::initWithTitle("Tester");
        appMenu->addItemWithTitle("About Tester", "orderFrontStandardAboutPanel:");
        appMenu->addItem(ui::MenuItem::separatorItem());
        services = ui::Menu::initWithTitle("Services");
        appMenu->addItemWithTitle("Services", "")->setSubmenu(services);
        appMenu->addItemWithTitle("Quit Tester", "terminate:");
        bar->addItemWithTitle("Tester", "")->setSubmenu(appMenu);
        help = ui::Menu::initWithTitle("Help");
        help->addItemWithTitle("Tester Help", "showHelp:");
        bar->addItemWithTitle("Help", "")->setSubmenu(help);
        app->setMainMenu(bar);
        app->setServicesMenu(services);
        app->setHelpMenu(help);
    }
    ~Menus()
    {
        auto app = ui::Application::shared();
        app->setMainMenu(nullptr);
        app->setServicesMenu(nullptr);
        app->setHelpMenu(nullptr);
    }
    ui::MenuPtr appMenu, services, help;
};

TEST_F(ShellLaunchTest, MenuItemsAppearOnlyWithTheirKeys)
{
    struct Case {
        bool feed;
        bool license;
    };
    for (const Case c : {Case {false, false}, Case {true, false}, Case {false, true}, Case {true, true}}) {
        SCOPED_TRACE(testing::Message() << "feed " << c.feed << " license " << c.license);
        std::vector<std::pair<std::string, std::string>> info = {{"CFBundleName", "Tester"}};
        if (c.feed)
            info.push_back({"SUFeedURL", "http://127.0.0.1:9/appcast.xml"}); // nobody there: the check fails at once
        useInfo(info);
        if (c.license)
            shelltest::TestAppSpecific::license = foundation::URL::fileURLWithPath("/nonexistent/License.pdf");
        else
            shelltest::TestAppSpecific::license.reset();
        Menus menus;
        foundation::UserDefaults::standard()->set("SuppressMoveToAppsFolderAlert", Value(true));
        auto delegate = launch();

        const long updates = menus.appMenu->indexOfItemWithTitle("Check for Updates\u2026");
        EXPECT_EQ(updates >= 0, c.feed);
        if (c.feed) {
            EXPECT_EQ(updates, 1); // directly below About
            EXPECT_TRUE(menus.appMenu->performActionForItemAtIndex(updates));
            EXPECT_EQ(delegate->directSalesController()->sparkleUpdater()->checkCount(), 1);
            EXPECT_TRUE(dispatch::RunLoop::main().runUntil([&] { return !delegate->directSalesController()->sparkleUpdater()->isChecking(); }, 30));
        }
        const long license = menus.help->indexOfItemWithTitle("License Agreement\u2026");
        EXPECT_EQ(license >= 0, c.license);
        if (c.license) {
            EXPECT_TRUE(menus.help->performActionForItemAtIndex(license));
            EXPECT_TRUE(delegate->directSalesController()->licenseAgreementWindowController()->window()->isVisible());
        }
    }
}

TEST_F(ShellLaunchTest, MoveAlertUntilSuppressedAndBackAfterReset)
{
    auto delegate = launch();
    auto sales = delegate->directSalesController();
    drainTurns(); // the alert scheduled by the launch
    responder->clearTranscript();

    responder->answerAlertWithButton("OK", true);
    sales->showMoveToAppsFolderAlertIfNecessary();
    ASSERT_EQ(responder->transcript().size(), 1u);
    const auto record = responder->transcript().front();
    EXPECT_EQ(record.messageText, "You should install Tester.");
    EXPECT_EQ(record.informativeText, "Tester is running from a folder it is not installed in, such as its build folder. For best "
                                      "results, quit it, install it (under /usr/local, /opt or ~/.local), and start it from the "
                                      "application menu.");
    EXPECT_TRUE(foundation::UserDefaults::standard()->boolForKey("SuppressMoveToAppsFolderAlert"));

    sales->showMoveToAppsFolderAlertIfNecessary();
    EXPECT_EQ(responder->transcript().size(), 1u);

    sales->resetDialogWarnings();
    sales->showMoveToAppsFolderAlertIfNecessary();
    EXPECT_EQ(responder->transcript().size(), 2u);
    EXPECT_FALSE(foundation::UserDefaults::standard()->boolForKey("SuppressMoveToAppsFolderAlert"));
}

TEST_F(ShellLaunchTest, TheInstallAlertWaitsUntilTheWalkthroughAndTheOfferAreClosed)
{
    responder->answerAlertWithButton("OK");
    auto alerts = [&] {
        int count = 0;
        for (const auto& r : responder->transcript())
            count += r.messageText == "You should install Tester.";
        return count;
    };
    auto delegate = launch();
    drainTurns();
    ASSERT_TRUE(delegate->isOnboardingWalkthroughWindowVisible());
    EXPECT_EQ(alerts(), 0) << "stacked on the walkthrough";

    delegate->onboardingWalkthroughWindowController()->close();
    ASSERT_TRUE(dispatch::RunLoop::main().runUntil([&] { return delegate->isMovaraPlanOnboardingWindowVisible(); }, 5));
    drainTurns();
    EXPECT_EQ(alerts(), 0) << "stacked on the account offer";

    delegate->movaraPlanOnboardingWindowController()->close();
    EXPECT_TRUE(dispatch::RunLoop::main().runUntil([&] { return alerts() == 1; }, 5));
    drainTurns();
    EXPECT_EQ(alerts(), 1);
}

TEST(DirectSalesController, AnInstallationPrefixHoldingTheLauncherCountsAsInstalled)
{
    testsupport::TempDir dir;
    const auto prefix = dir.path() / "apps";
    std::filesystem::create_directories(prefix / "lib/x86_64-linux-gnu/quintor");
    std::filesystem::create_directories(prefix / "share/applications");
    std::ofstream(prefix / "share/applications/com.movara.Quintor.desktop") << "[Desktop Entry]\n";
    const std::string bundle = (prefix / "lib/x86_64-linux-gnu/quintor").string();
    EXPECT_TRUE(DirectSalesController::isInstalledAt(bundle, "com.movara.Quintor"));
    EXPECT_FALSE(DirectSalesController::isInstalledAt(bundle, "com.movara.Other"));
    EXPECT_FALSE(DirectSalesController::isInstalledAt(bundle, "../applications/com.movara.Quintor"));
    // A build tree has no launcher above it.
    EXPECT_FALSE(DirectSalesController::isInstalledAt((dir.path() / "build/ci").string(), "com.movara.Quintor"));
}

TEST(DirectSalesController, InstalledLocationsNeverAskToBeMoved)
{
    ::setenv("HOME", "/home/ada", 1);
    struct Case {
        const char* path;
        bool installed;
    };
    const Case cases[] = {
        {"/usr/bin", true}, {"/usr/local/lib/quintor", true}, {"/opt/quintor", true},
        {"/home/ada/.local/bin", true}, {"/home/ada/Applications/Quintor", true}, {"/mnt/disk/Applications", true},
        {"/home/ada/Downloads/quintor", false}, {"/usrx/bin", false}, {"/home/ada/.localx", false},
        {"/tmp/MyApplications/q", false}, {"/home/bob/.local/bin", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(DirectSalesController::isInstalledLocation(c.path), c.installed) << c.path;
}

TEST_F(ShellLaunchTest, ReturnInTheConsentPromptDeclines)
{
    auto delegate = launch();
    auto user = MVRAPIUser::initWithJSON(Value::dictionary({{"id", Value(std::int64_t(9))}, {"username", "grace"}}));
    MVRAPIUser::setCurrentUser(user); // no marketing answer yet: the prompt asks
    ASSERT_TRUE(dispatch::RunLoop::main().runUntil([&] {
        for (const auto& r : responder->transcript())
            if (r.messageText == "Marketing Consent")
                return true;
        return false;
    }, 5));
    for (const auto& r : responder->transcript()) {
        if (r.messageText != "Marketing Consent")
            continue;
        EXPECT_EQ(r.informativeText, "Movara can send me product updates and offers via email. You can opt-out at any time.");
        EXPECT_EQ(r.buttons, (std::vector<std::string> {"No", "Yes"}));
        EXPECT_EQ(r.response, ui::AlertFirstButtonReturn); // no script: the default button, as Return
    }
}

TEST_F(ShellLaunchTest, NotificationsCarryTheirAddressAndOpenItWhenActivated)
{
    auto delegate = launch();
    auto& center = ui::UserNotificationCenter::defaultUserNotificationCenter();
    EXPECT_EQ(center.delegate(), delegate);
    EXPECT_TRUE(delegate->userNotificationCenterShouldPresent(center, ui::UserNotification::init()));

    const auto movie = foundation::URL::fileURLWithPath("/tmp/Export 1.mov");
    delegate->deliverNotificationWithTitle("Export Complete", "Export 1.mov", movie);
    ASSERT_EQ(center.deliveredNotifications().size(), 1u);
    auto delivered = center.deliveredNotifications().front();
    EXPECT_EQ(delivered->title(), "Export Complete");
    EXPECT_EQ(delivered->informativeText(), "Export 1.mov");
    EXPECT_EQ(delivered->soundName(), ui::UserNotificationDefaultSoundName);
    EXPECT_EQ(delivered->userInfo(), Value::dictionary({{"MVRNotificationURL", "file:///tmp/Export%201.mov"}}));

    struct Case {
        const char* what;
        Value userInfo;
        std::vector<ui::Workspace::Call> calls;
        bool removed;
    };
    const Case cases[] = {
        {"file", Value::dictionary({{"MVRNotificationURL", "file:///tmp/Export%201.mov"}}),
         {{"activateFileViewerSelectingURLs", {"file:///tmp/Export%201.mov"}}}, true},
        {"web", Value::dictionary({{"MVRNotificationURL", "https://movara.com/x"}}), {{"openURL", {"https://movara.com/x"}}}, true},
        {"no user info", Value(), {}, false},
        {"no key", Value::dictionary({{"other", "https://movara.com/"}}), {}, false},
        {"not a string", Value::dictionary({{"MVRNotificationURL", Value(std::int64_t(3))}}), {}, false},
        {"not a URL", Value::dictionary({{"MVRNotificationURL", "not a url at all"}}), {}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        center.removeAllDeliveredNotifications();
        ui::Workspace::shared().clearRecordedCalls();
        auto notification = ui::UserNotification::init();
        notification->setUserInfo(c.userInfo);
        center.deliverNotification(notification);
        center.activateNotification(notification);
        EXPECT_EQ(ui::Workspace::shared().recordedCalls(), c.calls);
        EXPECT_EQ(center.deliveredNotifications().empty(), c.removed);
    }
}

TEST_F(ShellLaunchTest, AboutPanelShowsTheCreditsWithTheirLinksAndTypeInTheLabelColour)
{
    auto app = ui::Application::shared();
    auto delegate = launch();
    const long before = app->aboutPanelCount();
    delegate->showAboutWindow(nullptr);
    EXPECT_EQ(app->aboutPanelCount(), before + 1);
    EXPECT_EQ(app->lastAboutPanelOptions().count("Credits"), 0u);

    useInfo({{"CFBundleName", "Tester"}}, true);
    EXPECT_TRUE(delegate->performAction("showAboutWindow:", nullptr));
    ASSERT_EQ(app->lastAboutPanelOptions().count("Credits"), 1u);
    const auto* credits = std::any_cast<foundation::AttributedString>(&app->lastAboutPanelOptions().at("Credits"));
    ASSERT_NE(credits, nullptr);
    const std::string& text = credits->string();
    EXPECT_EQ(text, "Quintor\nMade by Ada & Grace.\n");
    // The links and the type stay; all of it is in the label colour.
    const auto at = [&](const std::string& word) { return credits->attributesAtIndex(text.find(word)); };
    for (const char* word : {"Quintor", "Made", "Ada", "Grace"})
        EXPECT_EQ(at(word)[foundation::NSForegroundColorAttributeName], foundation::Value("labelColor")) << word;
    EXPECT_EQ(at("Ada")[foundation::NSLinkAttributeName], foundation::Value("https://example.com/ada"));
    EXPECT_EQ(at("Made").count(foundation::NSLinkAttributeName), 0u);
    EXPECT_EQ(at("Grace")[foundation::NSFontAttributeName], foundation::Value("Times-Bold 12"));
    EXPECT_NE(at("Made")[foundation::NSFontAttributeName], at("Grace")[foundation::NSFontAttributeName]);
}

TEST_F(ShellLaunchTest, AboutWindowShowsTheIconNameVersionCreditsAndCopyright)
{
    useInfo({{"CFBundleName", "Tester"}, {"CFBundleShortVersionString", "1.2"}, {"CFBundleVersion", "34"},
             {"NSHumanReadableCopyright", "\u00a9 Movara"}},
            true);
    ui::Image::registerImageNamed("AppIcon", ui::Image::imageWithSize({64, 64}, false, [](auto&, auto&) { }, 1.0));
    auto delegate = launch();
    delegate->showAboutWindow(nullptr);

    std::shared_ptr<ui::Window> about;
    for (const auto& window : ui::Application::shared()->windows())
        if (window->isVisible() && window->title() == "About Tester")
            about = window;
    ASSERT_TRUE(about) << "no About window on screen";
    std::vector<std::string> texts;
    int icons = 0;
    std::function<void(const ui::ViewPtr&)> collect = [&](const ui::ViewPtr& v) {
        if (auto field = std::dynamic_pointer_cast<ui::TextField>(v); field && !field->isHiddenOrHasHiddenAncestor())
            texts.push_back(field->stringValue());
        if (auto image = std::dynamic_pointer_cast<ui::ImageView>(v); image && image->image())
            ++icons;
        for (const auto& sub : v->subviews())
            collect(sub);
    };
    collect(about->contentView());
    EXPECT_EQ(icons, 1);
    EXPECT_EQ(texts, (std::vector<std::string> {"Tester", "Version 1.2 (34)", "Quintor\nMade by Ada & Grace.", "\u00a9 Movara"}));
    // Every line fits the window, one under the other.
    double previousBottom = about->contentView()->bounds().maxY();
    for (const auto& view : about->contentView()->subviews()) {
        EXPECT_LE(view->frame().maxY(), previousBottom + 0.5);
        EXPECT_GE(view->frame().minX(), 0.0);
        EXPECT_LE(view->frame().maxX(), about->contentView()->bounds().maxX());
        previousBottom = view->frame().minY();
    }
    EXPECT_GE(previousBottom, 0.0);
    testsupport::TempDir dir;
    foundation::ErrorPtr error;
    ASSERT_TRUE(about->renderToPNG((dir.path() / "about.png").string(), &error));
    if (const char* keep = std::getenv("SHELL_SNAPSHOT_DIR"))
        std::filesystem::copy_file(dir.path() / "about.png", std::filesystem::path(keep) / "about.png",
                                   std::filesystem::copy_options::overwrite_existing);

    // Asked again, the one window comes forward.
    delegate->showAboutWindow(nullptr);
    int shown = 0;
    for (const auto& window : ui::Application::shared()->windows())
        shown += window->isVisible() && window->title() == "About Tester";
    EXPECT_EQ(shown, 1);
}

std::string appcast(const std::vector<std::tuple<std::string, std::string, std::string>>& items)
{
    std::string xml = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
                      "<rss version=\"2.0\" xmlns:sparkle=\"http://www.andymatuschak.org/xml-namespaces/sparkle\">\n"
                      "<channel><title>Tester</title><link>https://example.com/channel</link>\n";
    for (const auto& [shortVersion, build, link] : items)
        xml += "<item><title>Version " + shortVersion + "</title><link>" + link + "</link><sparkle:version>" + build
            + "</sparkle:version><sparkle:shortVersionString>" + shortVersion + "</sparkle:shortVersionString>"
              "<enclosure url=\"" + link + ".tar.gz\" length=\"1\" type=\"application/octet-stream\"/></item>\n";
    return xml + "</channel></rss>\n";
}

TEST_F(ShellLaunchTest, CheckForUpdatesReadsTheFeedAndSaysWhatItFound)
{
    testsupport::LocalServer server;
    std::string body;
    int status = 200;
    server.server().Get("/appcast.xml", [&](const httplib::Request&, httplib::Response& response) {
        response.status = status;
        response.set_content(body, "application/rss+xml");
    });
    server.start();
    // A port nobody listens on: taken, then let go.
    std::string refused;
    {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        ASSERT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length), 0);
        refused = "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/appcast.xml";
        ::close(fd);
    }

    struct Case {
        const char* what;
        std::string feed;
        int status;
        std::string body;
        std::string message;
        std::string informative; // what the informative text begins with
        std::vector<ui::Workspace::Call> calls; // the first button pressed
    };
    const std::string newer = "https://example.com/tester-1.10";
    const std::vector<Case> cases {
        {"a newer version", server.url("/appcast.xml"), 200,
         appcast({{"1.1", "30", "https://example.com/tester-1.1"}, {"1.10", "110", newer}, {"1.3", "40", "https://example.com/tester-1.3"}}),
         "A new version of Tester is available!", "Tester 1.10 is now available\u2014you have 1.2.", {{"openURL", {newer}}}},
        {"the same version", server.url("/appcast.xml"), 200, appcast({{"1.2", "34", "https://example.com/tester-1.2"}}),
         "You\u2019re up to date!", "Tester 1.2 is currently the newest version available.", {}},
        {"only older versions", server.url("/appcast.xml"), 200, appcast({{"1.1", "30", "https://example.com/tester-1.1"}}),
         "You\u2019re up to date!", "Tester 1.2 is currently the newest version available.", {}},
        {"a missing feed", server.url("/appcast.xml"), 404, "not here", "Update Error!",
         "An error occurred in retrieving update information. Please try again later.", {}},
        {"a feed that is not XML", server.url("/appcast.xml"), 200, "{\"version\": 2}", "Update Error!",
         "An error occurred in retrieving update information. Please try again later.", {}},
        {"a feed without versions", server.url("/appcast.xml"), 200, appcast({}), "Update Error!",
         "An error occurred in retrieving update information. Please try again later.", {}},
        {"no server", refused, 200, "", "Update Error!",
         "An error occurred in retrieving update information. Please try again later.", {}},
        {"no address", "not a feed", 200, "", "Update Error!",
         "An error occurred in retrieving update information. Please try again later.", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        useInfo({{"CFBundleName", "Tester"}, {"CFBundleShortVersionString", "1.2"}, {"CFBundleVersion", "34"}, {"SUFeedURL", c.feed}});
        status = c.status;
        body = c.body;
        auto updater = SoftwareUpdaterController::init();
        responder->clearTranscript();
        ui::Workspace::shared().clearRecordedCalls();
        updater->checkForUpdates(nullptr);
        ASSERT_TRUE(dispatch::RunLoop::main().runUntil([&] { return !responder->transcript().empty(); }, 20));
        const auto records = responder->transcript();
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(records[0].messageText, c.message);
        EXPECT_EQ(records[0].informativeText.rfind(c.informative, 0), 0u) << records[0].informativeText;
        if (c.message == "Update Error!") {
            EXPECT_GT(records[0].informativeText.size(), c.informative.size() + 4) << "no reason given";
        }
        if (!c.calls.empty()) {
            EXPECT_NE(records[0].informativeText.find(newer), std::string::npos) << "the link is not shown";
        }
        EXPECT_EQ(ui::Workspace::shared().recordedCalls(), c.calls);
    }
}

TEST(SoftwareUpdater, ComparesVersionsAsTheFeedsMeanThem)
{
    const struct {
        const char* a;
        const char* b;
        int order;
    } cases[] = {
        {"1.10", "1.9", 1}, {"34", "34", 0}, {"2", "10", -1}, {"1.0b1", "1.0", -1}, {"1.0.1", "1.0", 1},
        {"1.0.1", "1.0b", 1}, {"007", "7", 0}, {"99999999999999999999999", "99999999999999999999998", 1}, {"", "1", -1},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(SoftwareUpdaterController::compareVersions(c.a, c.b), c.order) << c.a << " " << c.b;
        EXPECT_EQ(SoftwareUpdaterController::compareVersions(c.b, c.a), -c.order) << c.b << " " << c.a;
    }
}

TEST_F(ShellLaunchTest, ActionsReachTheServiceAndTheWorkspace)
{
    auto delegate = launch();
    EXPECT_TRUE(delegate->performAction("showMovaraSupport:", nullptr));
    delegate->openURLwithPath("https://movara.com/products");
    const std::vector<ui::Workspace::Call> expected = {
        {"openURL", {"http://support.movara.com/"}},
        {"openURL", {"https://movara.com/products"}},
    };
    EXPECT_EQ(ui::Workspace::shared().recordedCalls(), expected);

    EXPECT_TRUE(delegate->performAction("showMovaraPlanWindow:", nullptr));
    EXPECT_TRUE(delegate->movaraPlanWindowController()->window()->isVisible());
    EXPECT_TRUE(delegate->movaraPlanWindowController()->window()->titlebarAppearsTransparent());

    MVRAPIUser::setCurrentUser(userWithTrackingConsent(true));
    drainTurns();
    EXPECT_TRUE(delegate->performAction("signOutMovaraPlan:", nullptr));
    EXPECT_TRUE(dispatch::RunLoop::main().runUntil([] { return MVRAPIUser::currentUser() == nullptr; }, 5));
}

TEST_F(ShellLaunchTest, PictureOfTheProgressSheet)
{
    auto host = ui::Window::initWithContentRect(graphics::Rect::make(0, 0, 520, 260), ui::WindowStyleMaskTitled);
    host->setTitle("Export");
    host->setBackingScaleFactor(1);
    host->makeKeyAndOrderFront();
    auto sheet = ProgressSheetController::init();
    sheet->setWindowForSheet(host);
    sheet->beginSheet();
    sheet->setCaption("Exporting \u201cTimelapse.mov\u201d");
    sheet->setDetail("Frame 120 of 480");
    sheet->setDoubleValue(0.25);
    sheet->cancelButton()->setHidden(false);
    sheet->cancelButton()->setEnabled(true);

    const auto path = bundleDir->path() / "progress-sheet.png";
    foundation::ErrorPtr error;
    ASSERT_TRUE(host->renderToPNG(path.string(), &error)) << (error ? error->localizedDescription() : "");
    if (const char* keep = std::getenv("SHELL_SNAPSHOT_DIR"))
        std::filesystem::copy_file(path, std::filesystem::path(keep) / "progress-sheet.png",
                                   std::filesystem::copy_options::overwrite_existing);
    EXPECT_GT(std::filesystem::file_size(path), 1000u);
    sheet->cancelSheet(nullptr);
}

} // namespace
