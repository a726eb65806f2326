// The application's launch, activation, requests from outside and termination; the
// workspace's recorded requests; user notifications.

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "Platform/UI/Event.h"
#include "Platform/UI/UserNotificationCenter.h"
#include "Platform/UI/View.h"
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
        NSApplicationDidFinishLaunchingNotification, nullptr, nullptr,
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

// A key view whose key handling does whatever the test says.
class KeyProbe : public View {
public:
    static std::shared_ptr<KeyProbe> make() { return std::shared_ptr<KeyProbe>(new KeyProbe()); }
    bool acceptsFirstResponder() const override { return true; }
    void keyDown(const Event& e) override
    {
        keys.push_back(e.characters());
        if (onKey)
            onKey();
    }
    std::function<void()> onKey;
    std::vector<std::string> keys;

private:
    KeyProbe() : View(graphics::Rect{{0, 0}, {100, 100}}) { }
};

// Replaced implementations of the application, put back when the test ends.
struct RecordedReports {
    static inline std::vector<std::string> reports;
    static inline std::vector<std::string> events;
    static void report(Application&, const foundation::Exception& e) { reports.push_back(e.name() + ": " + e.reason()); }
    static void send(Application& app, const Event& event)
    {
        events.push_back(event.characters());
        previousSend(app, event);
    }
    static inline Application::SendEventImplementation previousSend = nullptr;
};

TEST_F(ApplicationTest, AnExceptionOfThePlatformEscapingAnEventIsReportedAndGoesNoFurther)
{
    auto app = Application::shared();
    auto window = Window::initWithContentRect(graphics::Rect{{0, 0}, {100, 100}}, 0);
    auto probe = KeyProbe::make();
    window->setContentView(probe);
    ASSERT_TRUE(window->makeFirstResponder(probe));

    RecordedReports::reports.clear();
    const auto previousReport = Application::exchangeReportExceptionImplementation(RecordedReports::report);
    struct Case {
        const char* name;
        std::function<void()> onKey;
        std::vector<std::string> reports;
        bool escapes;
    };
    const Case cases[] = {
        { "no exception", [] { }, {}, false },
        { "platform exception", [] { throw foundation::Exception(foundation::NSInternalInconsistencyException, "bad state"); },
          { "NSInternalInconsistencyException: bad state" }, false },
        { "other exception", [] { throw std::runtime_error("not the platform's"); }, {}, true },
    };
    for (const auto& c : cases) {
        RecordedReports::reports.clear();
        probe->onKey = c.onKey;
        bool escaped = false;
        try {
            app->sendEvent(Event::keyEvent(EventType::keyDown, "a", window));
        } catch (const std::runtime_error&) {
            escaped = true;
        }
        EXPECT_EQ(RecordedReports::reports, c.reports) << c.name;
        EXPECT_EQ(escaped, c.escapes) << c.name;
    }
    EXPECT_EQ(probe->keys.size(), 3u) << "every event reached the window's first responder";

    // A replaced dispatch runs in place of the window's, and can call on the one it replaced.
    RecordedReports::events.clear();
    RecordedReports::previousSend = Application::exchangeSendEventImplementation(RecordedReports::send);
    probe->onKey = nullptr;
    app->sendEvent(Event::keyEvent(EventType::keyDown, "b", window));
    EXPECT_EQ(RecordedReports::events, (std::vector<std::string> { "b" }));
    EXPECT_EQ(probe->keys.back(), "b");

    // Putting back none restores the application's own implementations.
    EXPECT_EQ(Application::exchangeSendEventImplementation(nullptr), &RecordedReports::send);
    EXPECT_EQ(Application::exchangeSendEventImplementation(RecordedReports::previousSend), RecordedReports::previousSend);
    EXPECT_EQ(Application::exchangeReportExceptionImplementation(previousReport), &RecordedReports::report);
    window->close();
}

} // namespace
