#include "Tests/MovaraAppKit/Telemetry/TelemetryFixture.h"

#include <csignal>
#include <sstream>

#include "MovaraAppKit/Telemetry/Core/Channel/BCNCollectorChannelDelegate.h"
#include "MovaraAppKit/Telemetry/Core/HttpClient/BCNHttpClient.h"
#include "MovaraAppKit/Telemetry/Core/Ingestion/BCNHttpIngestion.h"
#include "MovaraAppKit/Telemetry/Core/Model/CommonSchema/BCNCommonSchemaLog.h"
#include "MovaraAppKit/Telemetry/Core/Storage/BCNLogDBStorage.h"
#include "Platform/Dispatch/Clock.h"
#include "Tests/MovaraAppKit/Telemetry/IngestionServer.h"

namespace {

// Records what a channel reports, from any thread.
struct Recorder : BCNChannelDelegate {
    std::mutex mutex;
    std::vector<std::string> events;
    std::vector<foundation::ErrorPtr> failures;
    bool filterAll = false;

    void record(std::string event)
    {
        std::lock_guard lock(mutex);
        events.push_back(std::move(event));
    }
    std::size_t count(const std::string& event)
    {
        std::lock_guard lock(mutex);
        return static_cast<std::size_t>(std::count(events.begin(), events.end(), event));
    }
    void channelWillSendLog(const BCNChannelPtr&, const BCNLogPtr&) override { record("willSend"); }
    void channelDidSucceedSendingLog(const BCNChannelPtr&, const BCNLogPtr&) override { record("succeeded"); }
    void channelDidFailSendingLog(const BCNChannelPtr&, const BCNLogPtr&, const foundation::ErrorPtr& error) override
    {
        record("failed");
        std::lock_guard lock(mutex);
        failures.push_back(error);
    }
    void channelDidCompleteEnqueueingLog(const BCNChannelPtr&, const BCNLogPtr&, const std::string&) override { record("enqueued"); }
    void channelDidSetEnabled(const BCNChannelPtr& channel, bool enabled, bool) override
    {
        record(std::string(std::dynamic_pointer_cast<BCNChannelUnitProtocol>(channel) ? "unit" : "group") + (enabled ? " enabled" : " disabled"));
    }
    bool channelUnitShouldFilterLog(BCNChannelUnitProtocol&, const BCNLogPtr&) override { return filterAll; }
};

// An event-like log whose common-schema form carries a name, as the analytics service's do.
class NamedLog : public BCNLogWithProperties {
public:
    NamedLog() : BCNLogWithProperties("event") { }
    std::shared_ptr<BCNCommonSchemaLog> toCommonSchemaLogForTargetToken(const std::string& token, BCNLogFlags flags) override
    {
        auto log = BCNAbstractLog::toCommonSchemaLogForTargetToken(token, flags);
        log->name = "test.event";
        return log;
    }
};

} // namespace

class BCNChannelTest : public TelemetryTest {
protected:
    void SetUp() override
    {
        TelemetryTest::SetUp();
        dispatch::Clock::setVirtual(true);
        client = BCNHttpClient::initWithReachability(nullptr);
        group = BCNChannelGroupDefault::initWithHttpClient(client, "11111111-2222-3333-4444-555555555555", server.baseURL());
        group->addDelegate(recorder);
    }
    void TearDown() override
    {
        drain();
        server.releaseHeldRequests();
        group.reset();
        client.reset();
        dispatch::Clock::setVirtual(false);
        TelemetryTest::TearDown();
    }
    void drain() { group->logsDispatchQueue()->sync([] { }); }
    BCNLogPtr log(const std::string& sid, std::size_t padding = 0)
    {
        auto log = std::make_shared<BCNLogWithProperties>();
        log->setType("page");
        log->setSid(sid);
        if (padding)
            log->setProperties(foundation::Value::dictionary({ { "pad", std::string(padding, 'p') } }));
        return log;
    }
    std::vector<std::string> deliveredSids()
    {
        std::vector<std::string> sids;
        for (const auto& json : server.deliveredLogs())
            sids.push_back(json["sid"].asString());
        return sids;
    }
    // The sids of each delivered request. Batches in flight together reach the server in any order,
    // so the batches come back sorted; the order within a batch is the store's.
    std::vector<std::vector<std::string>> deliveredBatches()
    {
        std::vector<std::vector<std::string>> batches;
        for (const auto& request : server.requests()) {
            if (request.path != "/logs")
                continue;
            std::vector<std::string> sids;
            const foundation::Value body = foundation::parseJSON(request.body);
            for (const auto& json : body["logs"].asArray())
                sids.push_back(json["sid"].asString());
            batches.push_back(std::move(sids));
        }
        std::sort(batches.begin(), batches.end());
        return batches;
    }
    bool storeEmpty(const std::string& groupId)
    {
        return waitFor([&] { return group->storedLogs(groupId).empty(); });
    }

    telemetrytest::IngestionServer server;
    std::shared_ptr<BCNHttpClient> client;
    std::shared_ptr<BCNChannelGroupDefault> group;
    std::shared_ptr<Recorder> recorder = std::make_shared<Recorder>();
};

TEST_F(BCNChannelTest, AFullBatchGoesOutGzippedIsRetriedAsAskedAndLeavesTheStore)
{
    group->setAppSecret("0d3c4f1e-aaaa-bbbb-cccc-123456789abc");
    auto unit = group->addChannelUnitWithConfiguration(BCNChannelUnitConfiguration("Analytics", 1, 3, 5, 3));
    server.script({ { 503, "1500" } });
    for (int i = 0; i < 5; ++i)
        unit->enqueueItem(log("s" + std::to_string(i), 400), BCNLogFlagsNormal);
    ASSERT_TRUE(waitFor([&] { return countStartingWith(BCNLogLevelWarning, "Call attempt #0") == 1; })) << "the fifth log sends at once";
    dispatch::Clock::advance(1.5);
    ASSERT_TRUE(storeEmpty("Analytics"));
    ASSERT_EQ(server.requestCount(), 2u);
    const auto request = server.requests().back();
    EXPECT_EQ(request.path, "/logs");
    EXPECT_EQ(request.query, "api-version=1.0.0");
    EXPECT_TRUE(request.gzip);
    EXPECT_EQ(request.header("App-Secret"), "0d3c4f1e-aaaa-bbbb-cccc-123456789abc");
    EXPECT_EQ(request.header("Install-ID"), "11111111-2222-3333-4444-555555555555");
    EXPECT_EQ(request.header("Content-Type"), "application/json");
    EXPECT_EQ(deliveredSids(), (std::vector<std::string> { "s0", "s1", "s2", "s3", "s4" }));
    EXPECT_EQ(recorder->count("succeeded"), 5u);
}

TEST_F(BCNChannelTest, ATimerSendsWhatWaitsAndEveryTwoHundredIsADelivery)
{
    group->setAppSecret("secret");
    auto unit = group->addChannelUnitWithConfiguration(BCNChannelUnitConfiguration::initDefaultConfigurationWithGroupId("Analytics"));
    server.script({ { 204 } });
    unit->enqueueItem(log("a"), BCNLogFlagsNormal);
    unit->enqueueItem(log("b"), BCNLogFlagsNormal);
    drain();
    EXPECT_EQ(server.requestCount(), 0u);
    dispatch::Clock::advance(3);
    ASSERT_TRUE(storeEmpty("Analytics")) << "204 delivers too";
    EXPECT_EQ(server.requestCount(), 1u);
    EXPECT_EQ(recorder->count("succeeded"), 2u);
}

TEST_F(BCNChannelTest, AnUnrecoverableAnswerShutsTheUnitDownAndDeletesItsLogs)
{
    group->setAppSecret("secret");
    auto unit = group->addChannelUnitWithConfiguration(BCNChannelUnitConfiguration::initDefaultConfigurationWithGroupId("Analytics"));
    server.script({ { 401 } });
    unit->enqueueItem(log("a"), BCNLogFlagsNormal);
    drain();
    dispatch::Clock::advance(3);
    ASSERT_TRUE(waitFor([&] { return recorder->count("unit disabled") == 1; }));
    EXPECT_TRUE(storeEmpty("Analytics"));
    EXPECT_EQ(recorder->count("failed"), 1u);

    unit->enqueueItem(log("b"), BCNLogFlagsNormal);
    drain();
    EXPECT_EQ(recorder->count("failed"), 2u);
    ASSERT_EQ(recorder->failures.size(), 2u);
    EXPECT_EQ(recorder->failures[1]->code(), 100);
    EXPECT_EQ(recorder->failures[1]->localizedDescription(), "Canceled, connection paused with log deletion.");
    EXPECT_TRUE(group->storedLogs("Analytics").empty());

    unit->setEnabled(true, false);
    unit->enqueueItem(log("c"), BCNLogFlagsNormal);
    drain();
    EXPECT_EQ(group->storedLogs("Analytics").size(), 1u) << "enabled again, logs are stored";
}

TEST_F(BCNChannelTest, ASlowOrFailedSendGivesTheBatchBackForALaterFlush)
{
    group->setAppSecret("secret");
    client->setRequestTimeout(0.2);
    auto unit = group->addChannelUnitWithConfiguration(BCNChannelUnitConfiguration::initDefaultConfigurationWithGroupId("Analytics"));
    server.script({ { 503, std::nullopt, true } });
    unit->enqueueItem(log("a"), BCNLogFlagsNormal);
    drain();
    dispatch::Clock::advance(3);
    ASSERT_TRUE(waitFor([&] { return recorder->count("failed") == 1; })) << "timed out";
    drain();
    EXPECT_EQ(group->storedLogs("Analytics").size(), 1u);
    dispatch::Clock::advance(3);
    ASSERT_TRUE(storeEmpty("Analytics"));
    EXPECT_EQ(deliveredSids(), std::vector<std::string> { "a" });
}

TEST_F(BCNChannelTest, LogsWaitForTheSecretInsteadOfBeingDropped)
{
    auto unit = group->addChannelUnitWithConfiguration(BCNChannelUnitConfiguration::initDefaultConfigurationWithGroupId("Analytics"));
    unit->enqueueItem(log("early"), BCNLogFlagsNormal);
    drain();
    dispatch::Clock::advance(3);
    drain();
    EXPECT_EQ(group->storedLogs("Analytics").size(), 1u);
    EXPECT_EQ(server.requestCount(), 0u);
    group->setAppSecret("secret");
    unit->enqueueItem(log("later"), BCNLogFlagsNormal);
    drain();
    dispatch::Clock::advance(3);
    ASSERT_TRUE(storeEmpty("Analytics"));
    EXPECT_EQ(deliveredSids(), (std::vector<std::string> { "early", "later" }));
}

TEST_F(BCNChannelTest, AFlakyServerLosesNoLog)
{
    group->setAppSecret("secret");
    auto unit = group->addChannelUnitWithConfiguration(BCNChannelUnitConfiguration::initDefaultConfigurationWithGroupId("Analytics"));
    server.refuseEveryOtherRequest();
    std::set<std::string> sent;
    for (int i = 0; i < 120; ++i) {
        sent.insert("s" + std::to_string(i));
        unit->enqueueItem(log("s" + std::to_string(i)), BCNLogFlagsNormal);
    }
    // Each round lets the retries and flushes that fell due go out, then waits until every
    // answer has been dealt with.
    auto settled = [&] {
        for (int i = 0; i < 100; ++i) {
            if (!waitFor([&] { return !client->hasCallsInProgress(); }))
                return false;
            drain();
            if (!client->hasCallsInProgress())
                return true;
        }
        return false;
    };
    auto allDelivered = [&] { return recorder->count("succeeded") >= sent.size(); };
    for (int round = 0; round < 500 && !allDelivered(); ++round) {
        ASSERT_TRUE(settled());
        dispatch::Clock::advance(5);
    }
    ASSERT_TRUE(storeEmpty("Analytics"));
    const auto delivered = deliveredSids();
    EXPECT_EQ(std::set<std::string>(delivered.begin(), delivered.end()), sent);
}

TEST_F(BCNChannelTest, WhatAKilledProcessLeftIsSentAtTheNextStart)
{
    EXPECT_EXIT(
        {
            auto storage = BCNLogDBStorage::init();
            auto leftover = validLog<BCNLogWithProperties>();
            leftover->setSid("left over");
            if (storage->saveLog(leftover, "Analytics", 1))
                std::raise(SIGKILL);
            std::_Exit(1);
        },
        ::testing::KilledBySignal(SIGKILL), "");
    group->setAppSecret("secret");
    group->addChannelUnitWithConfiguration(BCNChannelUnitConfiguration::initDefaultConfigurationWithGroupId("Analytics"));
    drain();
    dispatch::Clock::advance(3);
    ASSERT_TRUE(storeEmpty("Analytics"));
    EXPECT_EQ(deliveredSids(), std::vector<std::string> { "left over" });
}

TEST_F(BCNChannelTest, TheGroupFansOutAndSwitchesEveryUnit)
{
    auto second = std::make_shared<Recorder>();
    auto third = std::make_shared<Recorder>();
    second->filterAll = true;
    group->addDelegate(second);
    group->addDelegate(third);
    auto unit = group->addChannelUnitWithConfiguration(BCNChannelUnitConfiguration::initDefaultConfigurationWithGroupId("Analytics"));
    group->addChannelUnitWithConfiguration(BCNChannelUnitConfiguration::initDefaultConfigurationWithGroupId("Crashes"));
    EXPECT_EQ(group->channelUnitForGroupId("Analytics"), unit);
    EXPECT_EQ(group->channelUnitForGroupId("Nothing"), nullptr);
    unit->enqueueItem(log("filtered"), BCNLogFlagsNormal);
    drain();
    EXPECT_TRUE(group->storedLogs("Analytics").empty());
    EXPECT_EQ(third->count("enqueued"), 1u);

    group->setEnabled(false, true);
    drain();
    EXPECT_EQ(recorder->count("group disabled"), 1u);
    EXPECT_EQ(recorder->count("unit disabled"), 2u);
}

TEST_F(BCNChannelTest, TargetedLogsReachTheCollectorAsNumberedLines)
{
    auto collectorClient = BCNHttpClient::initWithReachability(nullptr);
    auto collector = BCNCollectorChannelDelegate::init(collectorClient, *foundation::UUID::fromString("AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE"),
                                                       server.baseURL());
    group->addDelegate(collector);
    group->setAppSecret("secret");
    auto unit = group->addChannelUnitWithConfiguration(BCNChannelUnitConfiguration::initDefaultConfigurationWithGroupId("Analytics", 3));
    ASSERT_NE(group->channelUnitForGroupId("Analytics/one"), nullptr);
    ASSERT_NE(group->channelUnitForGroupId("Analytics/one"), nullptr);
    EXPECT_EQ(group->channelUnitForGroupId("Analytics/one/one"), nullptr);

    auto targeted = std::make_shared<NamedLog>();
    targeted->setSid("targeted");
    targeted->addTransmissionTargetToken("key1-first-token");
    targeted->addTransmissionTargetToken("key1-second-token");
    unit->enqueueItem(targeted, BCNLogFlagsNormal);
    drain();
    EXPECT_TRUE(group->storedLogs("Analytics").empty()) << "the targeted log stays out of its unit";
    EXPECT_EQ(group->storedLogs("Analytics/one").size(), 2u);

    server.script({ { 503, "1500" } });
    dispatch::Clock::advance(3);
    ASSERT_TRUE(waitFor([&] { return countStartingWith(BCNLogLevelWarning, "Call attempt #0") == 1; }));
    dispatch::Clock::advance(1.5);
    // The warning is written before the retry's timer is set: on a busy machine the clock can
    // pass 1.5 s before there is a timer to fire, so it is moved on a little at a time until
    // the retry has gone.
    ASSERT_TRUE(waitFor([&] {
        if (group->storedLogs("Analytics/one").empty())
            return true;
        dispatch::Clock::advance(0.1);
        return false;
    }));
    std::vector<telemetrytest::ReceivedRequest> collected;
    for (const auto& request : server.requests())
        if (request.path == "/Collector/1.0")
            collected.push_back(request);
    ASSERT_EQ(collected.size(), 2u);
    const auto& last = collected.back();
    EXPECT_EQ(last.header("Content-Type"), "application/x-json-stream; charset=utf-8");
    EXPECT_EQ(last.header("Client-Version"), "BCN-iOS-ObjectiveC-no-4.0.0-no");
    EXPECT_EQ(last.header("apikey"), "key1-first-token,key1-second-token");
    EXPECT_EQ(last.header("Upload-Time").size(), 13u);
    EXPECT_GE(std::stoll(last.header("Upload-Time")) - std::stoll(collected.front().header("Upload-Time")), 1500)
        << "taken at each sending";
    ASSERT_EQ(last.body.back(), '\n');
    std::vector<foundation::Value> lines;
    std::istringstream body(last.body);
    for (std::string line; std::getline(body, line);)
        lines.push_back(foundation::parseJSON(line));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0]["name"], foundation::Value("test.event"));
    EXPECT_EQ(lines[0]["iKey"], foundation::Value("o:key1"));
    EXPECT_EQ(lines[0]["ext"]["sdk"]["epoch"], lines[1]["ext"]["sdk"]["epoch"]);
    EXPECT_EQ(lines[0]["ext"]["sdk"]["seq"], foundation::Value(1));
    EXPECT_EQ(lines[1]["ext"]["sdk"]["seq"], foundation::Value(2));
    EXPECT_EQ(lines[0]["ext"]["sdk"]["installId"], foundation::Value("AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE"));
}

TEST(BCNCollectorChannelDelegateTest, EventNamesFollowTheCollectorsRule)
{
    struct Case {
        std::string name;
        bool valid;
    };
    for (const Case& c : { Case { "abc", false }, Case { ".abcd", false }, Case { "_abcd", false }, Case { "ab..cd", false },
                           Case { "abcd.", false }, Case { "abcd", true }, Case { "a_b.c_d.e", true }, Case { std::string(100, 'a'), true },
                           Case { std::string(101, 'a'), false }, Case { "ab-cd", false }, Case { "", false } })
        EXPECT_EQ(BCNCollectorChannelDelegate::validateLogName(c.name), c.valid) << c.name;
}

TEST_F(BCNChannelTest, ALongFlushIntervalKeepsRunningAcrossALaunch)
{
    group->setAppSecret("secret");
    const auto configuration = BCNChannelUnitConfiguration("Crashes", 1, 10, 2, 3);
    auto unit = group->addChannelUnitWithConfiguration(configuration);
    for (const char* sid : { "a", "b", "c" })
        unit->enqueueItem(log(sid), BCNLogFlagsNormal);
    drain();
    EXPECT_TRUE(BCNBeaconUserDefaults::shared().objectForKey("ChannelStartTimer:Crashes").isDate()) << "the interval's start is kept";
    dispatch::Clock::advance(6);
    drain();
    EXPECT_EQ(server.requestCount(), 0u) << "a long interval does not flush early on count";

    // The next launch waits only for what is left of the interval.
    group = BCNChannelGroupDefault::initWithHttpClient(client, "11111111-2222-3333-4444-555555555555", server.baseURL());
    group->setAppSecret("secret");
    group->addDelegate(recorder);
    unit = group->addChannelUnitWithConfiguration(configuration);
    drain();
    dispatch::Clock::advance(3);
    drain();
    EXPECT_EQ(server.requestCount(), 0u);
    dispatch::Clock::advance(1);
    ASSERT_TRUE(storeEmpty("Crashes"));
    EXPECT_EQ(deliveredBatches(), (std::vector<std::vector<std::string>> { { "a", "b" }, { "c" } }))
        << "two batches of at most two, each in the order the logs were stored";
    EXPECT_TRUE(BCNBeaconUserDefaults::shared().objectForKey("ChannelStartTimer:Crashes").isNull());
}

TEST_F(BCNChannelTest, AUnitSendsOnlyWhenNoObjectHoldsItPaused)
{
    group->setAppSecret("secret");
    auto unit = group->addChannelUnitWithConfiguration(BCNChannelUnitConfiguration::initDefaultConfigurationWithGroupId("Analytics"));
    auto first = std::make_shared<int>(1);
    auto second = std::make_shared<int>(2);
    unit->pauseWithIdentifyingObject(first);
    unit->pauseWithIdentifyingObject(second);
    unit->enqueueItem(log("held"), BCNLogFlagsNormal);
    drain();
    unit->resumeWithIdentifyingObject(first);
    dispatch::Clock::advance(3);
    drain();
    EXPECT_EQ(server.requestCount(), 0u) << "still held by the second";
    EXPECT_EQ(group->storedLogs("Analytics").size(), 1u) << "stored while paused";
    unit->resumeWithIdentifyingObject(second);
    drain();
    dispatch::Clock::advance(3);
    ASSERT_TRUE(storeEmpty("Analytics"));
    EXPECT_EQ(deliveredSids(), std::vector<std::string> { "held" });
}

TEST_F(BCNChannelTest, NoMoreBatchesThanTheLimitAreInFlightAtOnce)
{
    group->setAppSecret("secret");
    auto unit = std::dynamic_pointer_cast<BCNChannelUnitDefault>(
        group->addChannelUnitWithConfiguration(BCNChannelUnitConfiguration("Analytics", 1, 3, 1, 3)));
    ASSERT_TRUE(unit);
    // The service keeps every request until the test lets them go.
    server.script({ { 200, std::nullopt, true }, { 200, std::nullopt, true }, { 200, std::nullopt, true }, { 200, std::nullopt, true },
                    { 200, std::nullopt, true } });
    for (int i = 0; i < 5; ++i)
        unit->enqueueItem(log("s" + std::to_string(i)), BCNLogFlagsNormal);
    ASSERT_TRUE(waitFor([&] { return server.requestCount() >= 3; }));
    drain();
    EXPECT_EQ(unit->pendingBatchCount(), 3u) << "a limit of 3 means a 4th batch waits until one completes";
    EXPECT_EQ(recorder->count("willSend"), 3u);
    server.releaseHeldRequests();
    ASSERT_TRUE(waitFor([&] {
        server.releaseHeldRequests();
        return recorder->count("succeeded") == 5;
    }));
    ASSERT_TRUE(storeEmpty("Analytics"));
    EXPECT_EQ(recorder->count("willSend"), 5u);
}

TEST_F(BCNChannelTest, EachFailureInARowDoublesTheWaitUpToFiveMinutes)
{
    // Nothing listens there: every attempt fails at once, without the client's own retries.
    auto refusing = BCNChannelGroupDefault::initWithHttpClient(client, "11111111-2222-3333-4444-555555555555", "http://127.0.0.1:9");
    auto failures = std::make_shared<Recorder>();
    refusing->addDelegate(failures);
    refusing->setAppSecret("secret");
    auto unit = refusing->addChannelUnitWithConfiguration(BCNChannelUnitConfiguration("Analytics", 1, 1, 50, 3));
    unit->enqueueItem(log("a"), BCNLogFlagsNormal);
    refusing->logsDispatchQueue()->sync([] { });
    auto settle = [&] {
        EXPECT_TRUE(waitFor([&] { return !client->hasCallsInProgress(); }));
        refusing->logsDispatchQueue()->sync([] { });
    };
    dispatch::Clock::advance(1);
    ASSERT_TRUE(waitFor([&] { return failures->count("failed") == 1; }));
    settle();
    std::size_t attempts = 1;
    for (const double delay : { 1.0, 2.0, 4.0, 8.0, 16.0, 32.0, 64.0, 128.0, 256.0, 300.0, 300.0 }) {
        dispatch::Clock::advance(delay - 0.5);
        settle();
        EXPECT_EQ(failures->count("failed"), attempts) << "tried again before " << delay << " s";
        dispatch::Clock::advance(0.5);
        ASSERT_TRUE(waitFor([&] { return failures->count("failed") == attempts + 1; })) << "not tried again after " << delay << " s";
        settle();
        ++attempts;
    }
    EXPECT_EQ(refusing->storedLogs("Analytics").size(), 1u) << "the log waits for a service that answers";
}
