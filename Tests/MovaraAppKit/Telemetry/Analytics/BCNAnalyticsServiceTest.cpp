#include "Tests/MovaraAppKit/Telemetry/TelemetryFixture.h"

TEST_F(TelemetryTest, TheTransmissionIntervalIsCheckedAndFixedAtStart)
{
    struct Case {
        unsigned seconds;
        unsigned result;
    };
    for (const auto& c : std::vector<Case> { { 2, 3 }, { 86401, 3 }, { 86400, 86400 }, { 3, 3 }, { 60, 60 } }) {
        BCNAnalytics::resetSharedInstance();
        BCNAnalytics::setTransmissionInterval(c.seconds);
        EXPECT_EQ(BCNAnalytics::transmissionInterval(), c.result) << c.seconds;
    }
    EXPECT_EQ(countStartingWith(BCNLogLevelError, "The transmission interval is not valid, it should be between 3 second(s) and 86400 second(s) (1 day)."), 2u);

    BCNBeacon::start("secret", bothServices());
    EXPECT_EQ(BCNAnalytics::sharedInstance()->channelUnit()->configuration().flushInterval(), 60u);
    EXPECT_EQ(BCNAnalytics::sharedInstance()->criticalChannelUnit()->configuration().flushInterval(), 3u);
    BCNAnalytics::setTransmissionInterval(10);
    EXPECT_EQ(BCNAnalytics::transmissionInterval(), 60u);
    EXPECT_TRUE(logged(BCNLogLevelError, "The transmission interval should be set before the BCNAnalytics service is started."));
}

TEST_F(TelemetryTest, DisablingAnalyticsEndsTheSessionAndEnablingStartsANewOne)
{
    BCNBeacon::start("secret", bothServices());
    const auto first = BCNSessionContext::sharedInstance()->sessionId();
    ASSERT_TRUE(first);
    ASSERT_EQ(pendingOfType("Analytics", "startSession").size(), 1u);
    EXPECT_EQ(pendingOfType("Analytics", "startSession")[0]->sid(), first);

    BCNAnalytics::setServiceEnabled(false);
    EXPECT_FALSE(BCNSessionContext::sharedInstance()->sessionId());
    EXPECT_TRUE(BCNSessionContext::sharedInstance()->sessionHistory().size() <= 1);
    EXPECT_TRUE(pending("Analytics").empty());
    BCNAnalytics::trackPage("Ignored");

    BCNAnalytics::setServiceEnabled(true);
    const auto second = BCNSessionContext::sharedInstance()->sessionId();
    ASSERT_TRUE(second);
    EXPECT_NE(second, first);
    BCNAnalytics::trackEvent("Export");
    const auto logs = pending("Analytics");
    ASSERT_EQ(logs.size(), 2u);
    EXPECT_EQ(logs[0]->type(), "startSession");
    EXPECT_EQ(logs[1]->sid(), second);
}

namespace {

struct RecordingDelegate : BCNAnalyticsDelegate {
    std::vector<std::string> calls;
    void analyticsWillSendEventLog(BCNAnalytics&, const std::shared_ptr<BCNEventLog>& log) override { calls.push_back("will event " + log->name().value_or("")); }
    void analyticsDidFailSendingPageLog(BCNAnalytics&, const std::shared_ptr<BCNPageLog>& log, const foundation::ErrorPtr&) override
    {
        calls.push_back("failed page " + log->name().value_or(""));
    }
};

} // namespace

TEST_F(TelemetryTest, TheAnalyticsDelegateHearsOfEventsAndPagesOnly)
{
    BCNBeacon::start("secret", bothServices());
    auto delegate = std::make_shared<RecordingDelegate>();
    BCNAnalytics::setDelegate(delegate);
    auto analytics = BCNAnalytics::sharedInstance();
    auto event = std::make_shared<BCNEventLog>();
    event->setName("E");
    auto page = std::make_shared<BCNPageLog>();
    page->setName("P");
    for (const BCNLogPtr& log : std::vector<BCNLogPtr> { event, page, std::make_shared<BCNStartSessionLog>() }) {
        analytics->channelWillSendLog(nullptr, log);
        analytics->channelDidSucceedSendingLog(nullptr, log);
        analytics->channelDidFailSendingLog(nullptr, log, nullptr);
    }
    EXPECT_EQ(delegate->calls, (std::vector<std::string> { "will event E", "failed page P" }));
    BCNAnalytics::setDelegate(nullptr);
}
