#include "Tests/MovaraAppKit/Telemetry/TelemetryFixture.h"

#include "Platform/Dispatch/Clock.h"

// Histories are stamped with the client's clock; virtual time lets a test place entries apart.
class BCNContexts : public TelemetryTest {
protected:
    void SetUp() override
    {
        TelemetryTest::SetUp();
        dispatch::Clock::setVirtual(true);
    }
    void TearDown() override
    {
        dispatch::Clock::setVirtual(false);
        TelemetryTest::TearDown();
    }
    static foundation::Date later(double seconds)
    {
        dispatch::Clock::advance(seconds);
        return BCNUtility::now();
    }
};

TEST_F(BCNContexts, SessionIdsAnswerByTimeWithOneEntryPerRun)
{
    auto context = BCNSessionContext::sharedInstance();
    EXPECT_EQ(context->sessionHistory().size(), 1u);
    EXPECT_TRUE(BCNBeaconUserDefaults::shared().objectForKey("SessionIdHistory").isNull()) << "nothing stored before a session";
    const auto beforeFirst = later(1);
    context->setSessionId("S1");
    const auto firstSet = BCNUtility::now();
    later(10);
    context->setSessionId("S2");
    EXPECT_EQ(context->sessionHistory().size(), 1u) << "the run's entry moves forward";
    EXPECT_EQ(context->sessionId(), "S2");

    BCNSessionContext::resetSharedInstance(); // the next launch
    auto next = BCNSessionContext::sharedInstance();
    const auto secondRun = later(10);
    next->setSessionId("S3");
    const auto thirdSet = BCNUtility::now();
    ASSERT_EQ(next->sessionHistory().size(), 2u);
    EXPECT_EQ(next->sessionIdAt(later(1)), "S3");
    EXPECT_EQ(next->sessionIdAt(secondRun), "S2");
    EXPECT_EQ(next->sessionIdAt(thirdSet), "S2") << "an equal timestamp is not earlier";
    EXPECT_EQ(next->sessionIdAt(beforeFirst), std::nullopt);
    (void)firstSet;

    next->clearSessionHistoryAndKeepCurrentSession(false);
    EXPECT_TRUE(next->sessionHistory().empty());
    next->setSessionId(std::nullopt);
    EXPECT_EQ(next->sessionHistory().size(), 1u);
    EXPECT_EQ(next->sessionIdAt(later(1)), std::nullopt);
}

TEST_F(BCNContexts, UserIdsAreRecordedOnceAndTheirListenersTold)
{
    struct Listener : BCNUserIdContextDelegate {
        std::vector<std::optional<std::string>> heard;
        void userIdContextDidUpdateUserId(const std::optional<std::string>& id) override { heard.push_back(id); }
    };
    auto listener = std::make_shared<Listener>();
    auto context = BCNUserIdContext::sharedInstance();
    EXPECT_FALSE(BCNBeaconUserDefaults::shared().objectForKey("UserIdHistory").isNull()) << "stored at once";
    context->addDelegate(listener);
    context->setUserId(std::nullopt);
    context->setUserId("alice");
    context->setUserId("alice");
    EXPECT_EQ(listener->heard, (std::vector<std::optional<std::string>> { "alice" }));
    const auto aliceSet = BCNUtility::now();

    BCNUserIdContext::resetSharedInstance();
    auto next = BCNUserIdContext::sharedInstance();
    later(5);
    next->setUserId("bob");
    EXPECT_EQ(next->userIdAt(later(1)), "bob");
    EXPECT_EQ(next->userIdAt(aliceSet.dateByAddingTimeInterval(1)), "alice");
    next->clearUserIdHistory();
    EXPECT_EQ(next->userIdHistory().size(), 1u);
}

TEST(BCNUserIdRules, EachEndpointHasItsOwnRule)
{
    struct Case {
        std::optional<std::string> id;
        bool beacon;
        bool collector;
    };
    const Case cases[] = {
        { std::nullopt, true, true }, { "", true, false }, { "alice", true, true }, { "c:alice", true, true },
        { "c:", true, false }, { "x:alice", true, false }, { "a:b:c", true, false }, { std::string(256, 'u'), true, true },
        { std::string(257, 'u'), false, true },
    };
    for (const Case& c : cases) {
        EXPECT_EQ(BCNUserIdContext::isUserIdValidForBeacon(c.id), c.beacon) << c.id.value_or("(none)");
        EXPECT_EQ(BCNUserIdContext::isUserIdValidForCollector(c.id), c.collector) << c.id.value_or("(none)");
    }
}

TEST_F(BCNContexts, ADevicesIsLookedUpAsTheLatestEntryAtOrBeforeItsTime)
{
    auto tracker = BCNDeviceTracker::sharedInstance();
    ASSERT_EQ(tracker->deviceHistory().size(), 1u);
    EXPECT_FALSE(BCNBeaconUserDefaults::shared().objectForKey("PastDevices").isNull());
    std::vector<foundation::Date> stamps { *tracker->deviceHistory().front()->timestamp() };
    for (const char* country : { "FR", "DE", "IT", "ES", "PT" }) {
        later(10);
        tracker->setCountryCode(country);
        tracker->device();
        stamps.push_back(BCNUtility::now());
    }
    const auto history = tracker->deviceHistory();
    ASSERT_EQ(history.size(), 5u) << "the oldest entries go";
    EXPECT_EQ(history.front()->device()->carrierCountry, "FR");

    EXPECT_EQ(tracker->deviceForTimestamp(stamps[0])->carrierCountry, "FR") << "earlier than every entry: the oldest";
    EXPECT_EQ(tracker->deviceForTimestamp(stamps[3])->carrierCountry, "IT") << "an entry made at that very time";
    EXPECT_EQ(tracker->deviceForTimestamp(stamps[3].dateByAddingTimeInterval(5))->carrierCountry, "IT");
    EXPECT_EQ(tracker->deviceForTimestamp(later(100))->carrierCountry, "PT");
    EXPECT_EQ(tracker->deviceForTimestamp(std::nullopt), tracker->device());

    tracker->setWrapperSdk(std::make_shared<BCNWrapperSdk>("1.0", "wrapper", std::nullopt, std::nullopt, std::nullopt, std::nullopt));
    tracker->setWrapperSdk(std::make_shared<BCNWrapperSdk>("1.1", "wrapper", std::nullopt, std::nullopt, std::nullopt, std::nullopt));
    EXPECT_EQ(tracker->deviceHistory().size(), 5u) << "a wrapper replaces the newest entry";
    EXPECT_EQ(tracker->device()->wrapperSdkVersion, "1.1");
    tracker->clearDevices();
    EXPECT_EQ(tracker->deviceHistory().size(), 1u);

    BCNDeviceTracker::resetSharedInstance();
    EXPECT_EQ(BCNDeviceTracker::sharedInstance()->deviceHistory().size(), 2u) << "the stored history and this run's entry";
}

TEST(BCNDeviceRecord, EqualityAndValidityFollowTheFields)
{
    BCNDevice a;
    for (auto* field : { &a.sdkName, &a.sdkVersion, &a.osName, &a.osVersion, &a.locale, &a.appVersion, &a.appBuild })
        *field = "x";
    a.timeZoneOffset = 60;
    EXPECT_TRUE(a.isValid());
    BCNDevice b = a;
    EXPECT_TRUE(a.isEqual(b));
    b.carrierCountry = "";
    EXPECT_FALSE(a.isEqual(b));
    const BCNWrapperSdk wrapper;
    EXPECT_FALSE(a.isEqual(wrapper));
    EXPECT_TRUE(wrapper.isEqual(a)) << "the wrapper compares its own six fields";
    auto back = std::dynamic_pointer_cast<BCNDevice>(BCNUtility::unarchiveKeyedData(BCNUtility::archiveKeyedData(std::make_shared<BCNDevice>(a))));
    ASSERT_NE(back, nullptr);
    EXPECT_TRUE(back->isEqual(a));
    EXPECT_FALSE(a.serializeToDictionary().contains("model")) << "absent fields write no key";
    a.timeZoneOffset.reset();
    EXPECT_FALSE(a.isValid());
}
