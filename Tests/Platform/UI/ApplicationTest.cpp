// The application's launch, activation, requests from outside and termination; the
// workspace's recorded requests; user notifications.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "Platform/UI/UserNotificationCenter.h"
#include "Platform/UI/Workspace.h"
#include "Tests/Platform/UI/UITestSupport.h"

using foundation::URL;
using namespace ui;

namespace {

class RecordingDelegate : public ApplicationDelegate {
public:
    void applicationWillFinishLaunching(const foundation::Notification&) override { log.push_back("will"); }
    void applicationDidFinishLaunching(const foundation::Notification&) override { log.push_back("did"); }
    void applicationDidBecomeActive(const foundation::Notification&) override { log.push_back("active"); }
    void applicationDidResignActive(const foundation::Notification&) override { log.push_back("inactive"); }
    void applicationWillTerminate(const foundation::Notification&) override { log.push_back("terminate"); }
    TerminateReply applicationShouldTerminate(Application&) override { return reply; }
    bool applicationShouldHandleReopen(Application&, bool hasVisibleWindows) override
    {
        log.push_back(hasVisibleWindows ? "reopen visible" : "reopen none");
        return handleReopen;
    }
    void application(Application&, const std::vector<std::string>& files) override
    {
        for (const auto& f : files)
            log.push_back("open " + f);
    }
    std::vector<std::string> log;
    TerminateReply reply = TerminateReply::cancel;
    bool handleReopen = false;
};

class ApplicationTest : public uitest::UITest { };

TEST_F(ApplicationTest, LaunchingTellsTheDelegateThenObserversOnceAndActivates)
{
    auto app = Application::shared();
    if (app->isLaunched())
        GTEST_SKIP() << "an application launches once per process (a repeated run)";
    auto delegate = std::make_shared<RecordingDelegate>();
    app->setDelegate(delegate);
    std::vector<std::string> observed;
    auto t1 = foundation::NotificationCenter::defaultCenter().addObserver(
        ApplicationDidFinishLaunchingNotification, nullptr, nullptr,
        [&](const foundation::Notification&) { observed.push_back("did (observer)"); });
    app->finishLaunching();
    app->finishLaunching();
    EXPECT_EQ(delegate->log, (std::vector<std::string>{"will", "did", "active"}));
    EXPECT_EQ(observed, (std::vector<std::string>{"did (observer)"}));
    EXPECT_TRUE(app->isLaunched());
    EXPECT_TRUE(app->isActive());
    app->deactivate();
    app->activateIgnoringOtherApps(true);
    EXPECT_EQ(delegate->log.back(), "active");
    EXPECT_EQ(delegate->log[delegate->log.size() - 2], "inactive");
}

TEST_F(ApplicationTest, OpenRequestsForURLsArriveAsFilePaths)
{
    auto app = Application::shared();
    auto delegate = std::make_shared<RecordingDelegate>();
    app->setDelegate(delegate);
    app->openURLs({URL::fileURLWithPath("/photos/a b.jpg"), *URL::URLWithString("https://example.com/x.jpg"),
                   URL::fileURLWithPath("/photos/folder", true)});
    EXPECT_EQ(delegate->log, (std::vector<std::string>{"open /photos/a b.jpg", "open /photos/folder"}));
}

TEST_F(ApplicationTest, ReopenAsksTheDelegateWhetherAnyWindowIsVisible)
{
    auto app = Application::shared();
    auto delegate = std::make_shared<RecordingDelegate>();
    app->setDelegate(delegate);
    auto w = makeWindow();
    w->makeKeyAndOrderFront();
    app->reopen();
    w->close();
    app->reopen();
    EXPECT_FALSE(w->isVisible()); // the delegate said it handled it
    delegate->handleReopen = true;
    app->reopen();
    EXPECT_TRUE(w->isVisible()); // the platform's default brings the window back
    EXPECT_EQ(delegate->log, (std::vector<std::string>{"reopen visible", "reopen none", "reopen none"}));
}

TEST_F(ApplicationTest, TerminationWaitsForTheDelegatesConsent)
{
    auto app = Application::shared();
    auto delegate = std::make_shared<RecordingDelegate>();
    app->setDelegate(delegate);
    delegate->reply = TerminateReply::cancel;
    app->terminate();
    EXPECT_FALSE(app->isTerminated());
    delegate->reply = TerminateReply::later;
    app->terminate();
    EXPECT_FALSE(app->isTerminated());
    app->replyToApplicationShouldTerminate(false);
    EXPECT_FALSE(app->isTerminated());
    EXPECT_TRUE(delegate->log.empty());
}

TEST_F(ApplicationTest, ARecordingWorkspaceRecordsRequestsInsteadOfStartingPrograms)
{
    auto& ws = Workspace::shared();
    ws.setRecordsOnly(true);
    EXPECT_TRUE(ws.openURL(*URL::URLWithString("https://example.com/help")));
    EXPECT_FALSE(ws.openURL(*URL::URLWithString("relative/path")));
    EXPECT_TRUE(ws.activateFileViewerSelectingURLs({URL::fileURLWithPath("/movies/Trip.mp4")}));
    EXPECT_FALSE(ws.openFile("/tmp/IMG.mov", "Stillara.app")); // not installed
    ws.registerApplication("Stillara.app", "/opt/stillara/bin/stillara");
    EXPECT_EQ(ws.fullPathForApplication("Stillara.app"), "/opt/stillara/bin/stillara");
    EXPECT_TRUE(ws.openFile("/tmp/IMG.mov", "Stillara.app"));
    ws.registerApplication("Stillara.app", "");
    EXPECT_EQ(ws.recordedCalls(),
              (std::vector<Workspace::Call>{{"openURL", {"https://example.com/help"}},
                                            {"activateFileViewerSelectingURLs", {"file:///movies/Trip.mp4"}},
                                            {"openFile", {"/tmp/IMG.mov", "Stillara.app"}}}));
    EXPECT_EQ(ws.preferredFilenameExtensionForType("public.mpeg-4"), "mp4");
    EXPECT_EQ(ws.preferredFilenameExtensionForType("com.apple.quicktime-movie"), "mov");
    auto icon = ws.iconForFile("/nowhere/file.jpg");
    ASSERT_NE(icon, nullptr);
    EXPECT_EQ(icon->size(), (graphics::Size{32, 32}));
}

TEST_F(ApplicationTest, NotificationsArePresentedByTheDelegatesRuleAndActivateThroughIt)
{
    struct Delegate : UserNotificationCenterDelegate {
        bool present = true;
        std::vector<std::string> activated;
        bool userNotificationCenterShouldPresent(UserNotificationCenter&, const UserNotificationPtr&) override
        {
            return present;
        }
        void userNotificationCenterDidActivate(UserNotificationCenter& center, const UserNotificationPtr& n) override
        {
            activated.push_back(n->userInfo()["MVRNotificationURL"].asString());
            center.removeDeliveredNotification(n);
        }
    };
    auto& center = UserNotificationCenter::defaultUserNotificationCenter();
    center.removeAllDeliveredNotifications();
    auto delegate = std::make_shared<Delegate>();
    center.setDelegate(delegate);
    auto app = Application::shared();
    app->activateIgnoringOtherApps(true);

    auto n = UserNotification::init();
    n->setTitle("Export Complete");
    n->setInformativeText("Your timelapse has been exported to Trip.mp4");
    n->setSoundName(UserNotificationDefaultSoundName);
    n->setUserInfo(foundation::Value::dictionary({{"MVRNotificationURL", "file:///movies/Trip.mp4"}}));
    center.deliverNotification(n);
    EXPECT_TRUE(n->isPresented());
    delegate->present = false;
    auto quiet = UserNotification::init();
    center.deliverNotification(quiet);
    EXPECT_FALSE(quiet->isPresented());
    app->deactivate();
    auto background = UserNotification::init();
    center.deliverNotification(background);
    EXPECT_TRUE(background->isPresented()); // in the background everything shows
    EXPECT_EQ(center.deliveredNotifications().size(), 3u);
    EXPECT_EQ(center.desktopDeliveries(), 0); // never the real desktop under tests

    center.activateNotification(n);
    EXPECT_EQ(delegate->activated, (std::vector<std::string>{"file:///movies/Trip.mp4"}));
    EXPECT_EQ(center.deliveredNotifications().size(), 2u);
    center.setDelegate(nullptr);
    center.removeAllDeliveredNotifications();
    app->activateIgnoringOtherApps(true);
}

} // namespace
