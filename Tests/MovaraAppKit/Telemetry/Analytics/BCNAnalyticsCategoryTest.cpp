// Automatic page views: appearing view controllers reported as pages by the analytics service.

#include "MovaraAppKit/Telemetry/Analytics/BCNAnalyticsCategory.h"
#include "Platform/Dispatch/RunLoop.h"
#include "Platform/UI/TabViewController.h"
#include "Platform/UI/Window.h"
#include "Tests/MovaraAppKit/Telemetry/TelemetryFixture.h"

namespace pagetest {

class ExportSettingsViewController : public ui::ViewController { };
class MainViewController : public ui::ViewController { };

class PageViewTest : public TelemetryTest {
protected:
    void SetUp() override
    {
        TelemetryTest::SetUp();
        dispatch::RunLoop::main().bindToCurrentThread();
        BCNAnalyticsCategory::activateCategory();
        BCNAnalyticsCategory::clearMissedPageViewName();
    }
    void TearDown() override
    {
        BCNAnalyticsCategory::clearMissedPageViewName();
        TelemetryTest::TearDown();
    }
    template <class T> static void appear()
    {
        auto controller = std::make_shared<T>();
        controller->sendAppearance(true, false);
        controller->sendAppearance(true, true);
    }
    static std::vector<std::string> pages()
    {
        std::vector<std::string> names;
        for (const auto& log : pendingOfType("Analytics", "page"))
            names.push_back(std::dynamic_pointer_cast<BCNPageLog>(log)->name().value_or("?"));
        return names;
    }
};

TEST(PageViewNames, AreTheClassNameWithoutScopeOrControllerSuffix)
{
    const std::vector<std::pair<std::string, std::optional<std::string>>> cases {
        { "quintor::ExportSettingsViewController", "ExportSettings" },
        { "MainViewController", "Main" },
        { "Module.MainViewController", "Main" },
        { "(anonymous namespace)::PlanViewController", "Plan" },
        { "ViewController", "ViewController" },
        { "movara::ViewController", "ViewController" },
        { "quintor::Settings", "Settings" },
        { "ui::TabViewController", std::nullopt },
        { "ui::SplitViewController", std::nullopt },
        { "ui::PageController", std::nullopt },
        { "movara::TabViewController", "Tab" },
    };
    for (const auto& [className, page] : cases)
        EXPECT_EQ(BCNAnalyticsCategory::pageNameForClassName(className), page) << className;
}

TEST_F(PageViewTest, AppearingControllersArePagesOnlyWhileAutomaticTrackingIsOn)
{
    BCNBeacon::start("secret", bothServices());
    appear<MainViewController>();
    EXPECT_TRUE(pages().empty());
    EXPECT_FALSE(BCNAnalyticsCategory::missedPageViewName()) << "nothing is remembered with tracking off";

    BCNAnalytics::setAutoPageTrackingEnabled(true);
    BCNAnalyticsCategory::activateCategory(); // again: still one hook
    appear<MainViewController>();
    // A tab controller is no page, its selected tab is.
    auto tabs = ui::TabViewController::init();
    tabs->addTabViewItem("Export", std::make_shared<ExportSettingsViewController>());
    auto window = ui::Window::windowWithContentViewController(tabs);
    window->makeKeyAndOrderFront();
    window->orderOut(nullptr);
    EXPECT_EQ(pages(), (std::vector<std::string> { "Main", "ExportSettings" }));
    EXPECT_FALSE(BCNAnalyticsCategory::missedPageViewName());
}

TEST_F(PageViewTest, APageThatAppearsBeforeTheServiceIsTrackedWhenItIsEnabled)
{
    BCNAnalytics::setAutoPageTrackingEnabled(true);
    appear<MainViewController>();
    appear<ExportSettingsViewController>();
    EXPECT_EQ(BCNAnalyticsCategory::missedPageViewName(), "ExportSettings") << "the latest one is remembered";

    BCNBeacon::start("secret", bothServices());
    ASSERT_TRUE(waitFor([] { return !pages().empty(); }));
    EXPECT_EQ(pages(), (std::vector<std::string> { "ExportSettings" }));
    EXPECT_EQ(BCNAnalyticsCategory::missedPageViewName(), "ExportSettings") << "kept until a page is reported directly";

    // Disabled, the service is unavailable: pages are remembered again, and caught up on enabling.
    BCNAnalytics::setServiceEnabled(false);
    appear<MainViewController>();
    EXPECT_EQ(BCNAnalyticsCategory::missedPageViewName(), "Main");
    BCNAnalytics::setServiceEnabled(true);
    ASSERT_TRUE(waitFor([] { return pages().size() == 1; }));
    EXPECT_EQ(pages(), (std::vector<std::string> { "Main" }));

    appear<ExportSettingsViewController>();
    EXPECT_FALSE(BCNAnalyticsCategory::missedPageViewName());
}

} // namespace pagetest
