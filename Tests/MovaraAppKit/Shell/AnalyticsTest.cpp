#include <gtest/gtest.h>

#include <functional>

#include "MovaraAppKit/Shell/Analytics.h"
#include "MovaraAppKit/Shell/BeaconTracking.h"
#include "Tests/MovaraAppKit/Shell/ShellTestSupport.h"

namespace {

using shelltest::TrackedEvent;

// Records the calls it receives as short texts, in a log shared with other trackers so the
// order across trackers shows.
class RecordingTracker final : public AnalyticsTracking {
public:
    RecordingTracker(std::string name, std::vector<std::string>& log) : m_name(std::move(name)), m_log(log) { }

    std::function<void()> onSignIn;

    void signUp() override { note("signUp"); }
    void signIn() override
    {
        note("signIn");
        if (onSignIn)
            onSignIn();
    }
    void createDocument(AnalyticsDocumentSource s, const std::optional<AnalyticsProperties>& p) override
    {
        note("createDocument " + std::to_string(int(s)) + (p ? " props" : " none"));
    }
    void openDocument() override { note("openDocument"); }
    void navigateTo(AnalyticsNavigationTab tab) override { note("navigateTo " + std::to_string(int(tab))); }
    void edit(AnalyticsEditAction a) override { note("edit " + std::to_string(int(a))); }
    void exportTo(AnalyticsExportTarget, std::int64_t w, std::int64_t h, std::int64_t i, const std::string& f, std::int64_t o) override
    {
        note("export " + std::to_string(w) + "x" + std::to_string(h) + " " + std::to_string(i) + " " + f + " " + std::to_string(o));
    }
    void upload() override { note("upload"); }
    void resourceLinkClicked(const std::string& link) override { note("link " + link); }
    void viewTutorials() override { note("viewTutorials"); }
    void playTutorial(const std::string& t, double c, double d) override
    {
        note("play " + t + " " + std::to_string(c) + " " + std::to_string(d));
    }
    void beginOnboardingStage(std::int64_t s) override { note("begin " + std::to_string(s)); }
    void endOnboardingStage(std::int64_t s) override { note("end " + std::to_string(s)); }
    void endOnboarding(double c) override { note("endOnboarding " + std::to_string(c)); }

private:
    void note(const std::string& text) { m_log.push_back(m_name + ": " + text); }
    std::string m_name;
    std::vector<std::string>& m_log;
};

class AnalyticsTest : public testing::Test {
protected:
    void SetUp() override { Analytics::shared().stopTracking(); }
    void TearDown() override { Analytics::shared().stopTracking(); }

    shelltest::ScopedTelemetryClient telemetry;
};

TEST_F(AnalyticsTest, WithoutTrackersEventsVanishAndTrackingIsOff)
{
    auto& analytics = Analytics::shared();
    EXPECT_FALSE(analytics.isTrackingEnabled());
    analytics.signIn();
    analytics.exportTo(Analytics::ExportTarget::file, 1, 2, 3, "mov", 0);
    analytics.edit(Analytics::EditAction::presetSelected);
    EXPECT_TRUE(telemetry->events.empty());
    EXPECT_TRUE(telemetry->starts.empty());
}

TEST_F(AnalyticsTest, EveryEventReachesEachTrackerInListOrder)
{
    std::vector<std::string> log;
    auto& analytics = Analytics::shared();
    analytics.setTrackers({std::make_shared<RecordingTracker>("A", log), std::make_shared<RecordingTracker>("B", log)});
    EXPECT_TRUE(analytics.isTrackingEnabled());

    analytics.signUp();
    analytics.createDocument(Analytics::DocumentSource::movie, std::nullopt);
    analytics.navigateTo(Analytics::NavigationTab::crop);
    analytics.exportTo(Analytics::ExportTarget::file, 640, 480, 3, "gif", 2);
    analytics.playTutorial("Basics", 0.5, 12);
    analytics.endOnboarding(1.0);
    // The raw-value forms forward exactly like the typed ones.
    analytics.createDocumentWithSource(2, AnalyticsProperties {{"k", "v"}});
    analytics.editWithAction(18);

    const std::vector<std::string> expected = {
        "A: signUp", "B: signUp",
        "A: createDocument 1 none", "B: createDocument 1 none",
        "A: navigateTo 3", "B: navigateTo 3",
        "A: export 640x480 3 gif 2", "B: export 640x480 3 gif 2",
        "A: play Basics 0.500000 12.000000", "B: play Basics 0.500000 12.000000",
        "A: endOnboarding 1.000000", "B: endOnboarding 1.000000",
        "A: createDocument 2 props", "B: createDocument 2 props",
        "A: edit 18", "B: edit 18",
    };
    EXPECT_EQ(log, expected);
}

TEST_F(AnalyticsTest, TrackersChangedDuringAnEventDoNotChangeWhoReceivesIt)
{
    std::vector<std::string> log;
    auto& analytics = Analytics::shared();
    auto first = std::make_shared<RecordingTracker>("A", log);
    auto second = std::make_shared<RecordingTracker>("B", log);
    first->onSignIn = [&] { analytics.stopTracking(); };
    analytics.setTrackers({first, second});

    analytics.signIn();

    EXPECT_EQ(log, (std::vector<std::string> {"A: signIn", "B: signIn"}));
    EXPECT_FALSE(analytics.isTrackingEnabled());
}

TEST_F(AnalyticsTest, StartTrackingInstallsOneTelemetryTrackerAndStartsTheClientOnce)
{
    auto& analytics = Analytics::shared();
    analytics.startTracking();
    analytics.startTracking();
    ASSERT_EQ(analytics.trackers().size(), 1u);
    auto installed = analytics.trackers().front();
    EXPECT_NE(dynamic_cast<BeaconTracking*>(installed.get()), nullptr);
    EXPECT_EQ(telemetry->starts, std::vector<std::string> {shelltest::TestBeaconID});

    analytics.stopTracking();
    EXPECT_FALSE(analytics.isTrackingEnabled());
    analytics.startTracking();
    ASSERT_EQ(analytics.trackers().size(), 1u);
    EXPECT_NE(analytics.trackers().front(), installed);
    EXPECT_EQ(telemetry->starts.size(), 2u);
}

TEST_F(AnalyticsTest, TelemetryTrackerSendsOnlyTheEventsItNames)
{
    auto& analytics = Analytics::shared();
    analytics.startTracking();

    analytics.signUp();
    analytics.signIn();
    analytics.openDocument();
    analytics.navigateTo(Analytics::NavigationTab::loop);
    analytics.resourceLinkClicked("Intro Video");
    analytics.viewTutorials();
    analytics.playTutorial("t", 1, 2);
    analytics.beginOnboardingStage(0);
    analytics.endOnboardingStage(0);
    analytics.endOnboarding(0.5);
    for (int raw : {0, 16, 17, 18, 19, 34})
        analytics.editWithAction(raw);
    analytics.createDocument(Analytics::DocumentSource::imageSequence, AnalyticsProperties {{"frames", "12"}});
    analytics.createDocumentWithSource(1, std::nullopt);
    analytics.createDocumentWithSource(2, std::nullopt);
    analytics.createDocumentWithSource(3, std::nullopt);
    analytics.createDocumentWithSource(7, std::nullopt); // no name for it: nothing is sent
    analytics.exportTo(Analytics::ExportTarget::file, 640, 480, 3, "gif", 5);
    analytics.exportToTarget(0, 1920, 1080, 1, "public.mpeg-4", 0);
    analytics.upload();

    const std::vector<TrackedEvent> expected = {
        {"Preset selected", std::nullopt},
        {"Preset created", std::nullopt},
        {"Image Sequence", AnalyticsProperties {{"frames", "12"}}},
        {"Movie", std::nullopt},
        {"Movie (modernized)", std::nullopt},
        {"Movie Capture", std::nullopt},
        {"Export", AnalyticsProperties {{"file type", "gif"}, {"resolution", "{640, 480}"}, {"repetitions", "3"}}},
        {"Export", AnalyticsProperties {{"file type", "public.mpeg-4"}, {"resolution", "{1920, 1080}"}, {"repetitions", "1"}}},
        {"Upload", std::nullopt},
    };
    EXPECT_EQ(telemetry->events, expected);
}

TEST(AnalyticsEnumerations, RawValuesOutsideEachRangeMakeNothing)
{
    struct Case {
        int raw;
        bool source, tab, target, action;
    };
    const Case cases[] = {
        {-1, false, false, false, false}, {0, true, true, true, true}, {1, true, true, false, true},
        {3, true, true, false, true},     {4, false, false, false, true}, {34, false, false, false, true},
        {35, false, false, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.raw);
        EXPECT_EQ(Analytics::documentSource(c.raw).has_value(), c.source);
        EXPECT_EQ(Analytics::navigationTab(c.raw).has_value(), c.tab);
        EXPECT_EQ(Analytics::exportTarget(c.raw).has_value(), c.target);
        EXPECT_EQ(Analytics::editAction(c.raw).has_value(), c.action);
    }
    EXPECT_EQ(Analytics::editAction(17), Analytics::EditAction::presetSelected);
    EXPECT_EQ(Analytics::editAction(18), Analytics::EditAction::presetCreated);
}

TEST(AnalyticsEnumerations, NavigationTabsAreListedInTabBarOrder)
{
    EXPECT_EQ(Analytics::allNavigationTabs,
              (std::array {Analytics::NavigationTab::loop, Analytics::NavigationTab::stillImage,
                           Analytics::NavigationTab::adjustments, Analytics::NavigationTab::crop}));
    EXPECT_EQ(int(Analytics::allNavigationTabs.front()), 1);
}

} // namespace
