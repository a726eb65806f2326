#include <fstream>
#include <sstream>

#include "MovaraAppKit/Telemetry/Analytics/BCNAnalyticsTransmissionTarget.h"
#include "MovaraAppKit/Telemetry/Core/Model/CommonSchema/BCNCommonSchemaLog.h"
#include "Platform/Dispatch/Clock.h"
#include "Tests/MovaraAppKit/Telemetry/IngestionServer.h"
#include "Tests/MovaraAppKit/Telemetry/TelemetryFixture.h"

namespace {

// What the collector units stored, oldest first.
std::vector<std::shared_ptr<BCNCommonSchemaLog>> collectorLogs(const std::vector<std::shared_ptr<BCNAbstractLog>>& logs)
{
    std::vector<std::shared_ptr<BCNCommonSchemaLog>> out;
    for (const auto& log : logs)
        if (auto cs = std::dynamic_pointer_cast<BCNCommonSchemaLog>(log))
            out.push_back(cs);
    return out;
}

// "name:key=value,..." of the given data keys that the collector log carries.
std::string describe(const BCNCommonSchemaLog& log, const std::vector<std::string>& keys)
{
    std::string text = log.name.value_or("") + ":";
    for (const auto& key : keys)
        if (log.data && log.data->properties)
            if (const auto* value = log.data->properties->find(key); value && value->isString())
                text += key + "=" + value->asString() + ",";
    return text;
}

std::shared_ptr<BCNCommonSchemaLog> collectorLogTaggedWith(const std::shared_ptr<BCNAnalyticsTransmissionTarget>& target)
{
    auto log = std::make_shared<BCNCommonSchemaLog>();
    log->ext = std::make_shared<BCNCSExtensions>();
    log->ext->appExt = std::make_shared<BCNAppExtension>();
    log->ext->appExt->ver = "core-ver";
    log->ext->appExt->name = "core-name";
    log->addTransmissionTargetToken(target->transmissionTargetToken());
    log->setTag(target);
    return log;
}

} // namespace

TEST(BCNPropertyConfiguratorDeviceId, IsAnIdOfTheMachineForTheApplicationNeverTheMachineIdItself)
{
    testsupport::TempDir dir;
    struct Case {
        const char* contents; // null: no file
        std::optional<std::string> expected;
    };
    for (const auto& c : std::vector<Case> {
             // The values of sd_id128_get_machine_app_specific() for that machine id and the
             // application id of "com.movara.quintor.tests" (first 16 bytes of its SHA-256).
             { "0123456789abcdef0123456789abcdef\n", "u:10CF9A75-98C3-4043-A3FB-327A1994E189" },
             { "0123456789ABCDEF0123456789ABCDEF", "u:10CF9A75-98C3-4043-A3FB-327A1994E189" },
             { nullptr, std::nullopt },
             { "", std::nullopt },
             { "\n", std::nullopt },
             { "0123456789abcdef0123456789abcde\n", std::nullopt },
             { "0123456789abcdef0123456789abcdeg\n", std::nullopt },
             { "uninitialized\n", std::nullopt },
         }) {
        const std::string path = (dir.path() / "machine-id").string();
        std::remove(path.c_str());
        if (c.contents)
            std::ofstream(path) << c.contents;
        const auto id = BCNPropertyConfigurator::getDeviceIdentifier(path, "com.movara.quintor.tests");
        EXPECT_EQ(id, c.expected) << (c.contents ? c.contents : "(no file)");
        EXPECT_NE(id.value_or(""), "u:(null)");
    }
    // Another application on the same machine sees another id.
    const std::string path = (dir.path() / "machine-id").string();
    std::ofstream(path) << "0123456789abcdef0123456789abcdef\n";
    EXPECT_EQ(BCNPropertyConfigurator::getDeviceIdentifier(path, "com.movara.other"), "u:6D99A92F-B540-4E4A-A748-F88AFEC4DD5C");
}

TEST_F(TelemetryTest, TargetEventsCarryTheNearestConfiguratorsPropertiesAndTheirOwnWinOverAll)
{
    BCNBeacon::start("secret", bothServices());
    auto parent = BCNAnalytics::transmissionTargetForToken("parentkey-token");
    EXPECT_EQ(BCNAnalytics::transmissionTargetForToken("parentkey-token"), parent);
    auto child = parent->transmissionTargetForToken("childkey-token");
    EXPECT_EQ(parent->transmissionTargetForToken("childkey-token"), child);
    EXPECT_EQ(child->parentTarget(), parent);
    parent->propertyConfigurator()->setEventPropertyString("parent", "shared");
    parent->propertyConfigurator()->setEventPropertyString("from parent", "inherited");
    child->propertyConfigurator()->setEventPropertyString("child", "shared");

    child->trackEvent("Plain");
    child->trackEvent("OwnValue", std::map<std::string, std::string> { { "shared", "own" } });
    parent->trackEvent("Parent");
    parent->propertyConfigurator()->removeEventPropertyForKey(std::nullopt);
    EXPECT_TRUE(logged(BCNLogLevelError, "Event property key to remove cannot be nil."));

    EXPECT_TRUE(pendingOfType("Analytics", "event").empty());
    const auto logs = collectorLogs(pending("Analytics/one"));
    ASSERT_EQ(logs.size(), 3u);
    std::vector<std::string> texts;
    for (const auto& log : logs)
        texts.push_back(describe(*log, { "inherited", "shared" }));
    EXPECT_EQ(texts, (std::vector<std::string> { "Plain:inherited=from parent,shared=child,", "OwnValue:inherited=from parent,shared=own,",
                                                 "Parent:inherited=from parent,shared=parent," }));
    EXPECT_EQ(logs[0]->iKey, std::optional<std::string>("o:childkey"));
    EXPECT_EQ(logs[2]->iKey, std::optional<std::string>("o:parentkey"));
}

TEST_F(TelemetryTest, EnabledStateFlowsDownTheTargetTree)
{
    BCNBeacon::start("secret;target=defaultkey-token", bothServices());
    auto service = BCNAnalytics::sharedInstance();
    ASSERT_TRUE(service->defaultTransmissionTarget());
    auto parent = BCNAnalytics::transmissionTargetForToken("parentkey-token");
    auto child = parent->transmissionTargetForToken("childkey-token");
    auto grandchild = child->transmissionTargetForToken("grandkey-token");

    parent->setEnabled(false);
    for (const auto& target : { parent, child, grandchild }) {
        EXPECT_FALSE(target->isEnabled()) << target->transmissionTargetToken();
        EXPECT_EQ(BCNBeaconUserDefaults::shared().objectForKey(target->isEnabledKey()), foundation::Value(false));
    }
    EXPECT_EQ(grandchild->isEnabledKey(), "AnalyticsIsEnabled/grandkey");

    child->setEnabled(true);
    EXPECT_TRUE(logged(BCNLogLevelWarning, "Can't enable; parent transmission target and/or Analytics service is disabled."));
    EXPECT_FALSE(child->isEnabled());
    child->trackEvent("Dropped");
    EXPECT_TRUE(logged(BCNLogLevelError, "This transmission target is disabled."));
    child->pause();
    EXPECT_EQ(countStartingWith(BCNLogLevelError, "This transmission target is disabled."), 2u);
    EXPECT_TRUE(pending("Analytics/one").empty());

    parent->setEnabled(true);
    EXPECT_TRUE(grandchild->isEnabled());

    BCNAnalytics::setServiceEnabled(false);
    for (const auto& target : { service->defaultTransmissionTarget(), parent, child, grandchild })
        EXPECT_FALSE(target->isEnabled()) << target->transmissionTargetToken();
    // Made while the service is off: starts off.
    EXPECT_FALSE(BCNAnalytics::transmissionTargetForToken("latekey-token")->isEnabled());
    BCNAnalytics::setServiceEnabled(true);
    EXPECT_TRUE(parent->isEnabled());
    EXPECT_TRUE(grandchild->isEnabled());
}

TEST_F(TelemetryTest, EventsWithoutATargetGoToTheDefaultTargetWithTheUserIdAndTheConfiguratorsFields)
{
    BCNBeacon::start("secret;target=defaultkey-token", bothServices());
    BCNUserIdContext::sharedInstance()->setUserId("c:alice");
    auto configurator = BCNAnalytics::sharedInstance()->defaultTransmissionTarget()->propertyConfigurator();
    configurator->setAppName("Quintor Test");
    configurator->collectDeviceId();
    BCNAnalytics::trackEvent("Export");
    auto other = BCNAnalytics::transmissionTargetForToken("otherkey-token");
    other->trackEvent("Other");

    const auto logs = collectorLogs(pending("Analytics/one"));
    ASSERT_EQ(logs.size(), 2u);
    EXPECT_EQ(logs[0]->iKey, std::optional<std::string>("o:defaultkey"));
    ASSERT_TRUE(logs[0]->ext && logs[0]->ext->userExt && logs[0]->ext->appExt);
    EXPECT_EQ(logs[0]->ext->userExt->localId, std::optional<std::string>("c:alice"));
    EXPECT_EQ(logs[0]->ext->appExt->name, std::optional<std::string>("Quintor Test"));
    const auto deviceId = BCNPropertyConfigurator::getDeviceIdentifier();
    EXPECT_EQ(logs[0]->ext->deviceExt ? logs[0]->ext->deviceExt->localId : std::nullopt, deviceId);
    EXPECT_EQ(logs[1]->iKey, std::optional<std::string>("o:otherkey"));
    EXPECT_FALSE(logs[1]->ext->userExt && logs[1]->ext->userExt->localId);
    EXPECT_NE(logs[1]->ext->appExt ? logs[1]->ext->appExt->name : std::nullopt, std::optional<std::string>("Quintor Test"));
}

TEST_F(TelemetryTest, TheConfiguratorFillsOnlyItsOwnTargetsCollectorLogs)
{
    BCNBeacon::start("secret", bothServices());
    auto parent = BCNAnalytics::transmissionTargetForToken("parentkey-token");
    auto child = parent->transmissionTargetForToken("childkey-token");
    parent->propertyConfigurator()->setAppVersion("2.0");
    parent->propertyConfigurator()->setAppLocale("fr-FR");
    child->propertyConfigurator()->setAppLocale("de-DE");
    child->propertyConfigurator()->setUserId("c:bob");
    child->propertyConfigurator()->setUserId("x:refused");
    EXPECT_EQ(child->propertyConfigurator()->userId(), std::optional<std::string>("c:bob"));

    auto log = collectorLogTaggedWith(child);
    child->propertyConfigurator()->channelPrepareLog(nullptr, log);
    EXPECT_EQ(log->ext->appExt->ver, std::optional<std::string>("2.0"));
    EXPECT_EQ(log->ext->appExt->name, std::optional<std::string>("core-name"));
    EXPECT_EQ(log->ext->appExt->locale, std::optional<std::string>("de-DE"));
    ASSERT_TRUE(log->ext->userExt);
    EXPECT_EQ(log->ext->userExt->localId, std::optional<std::string>("c:bob"));
    // No device id collected: none is sent.
    ASSERT_TRUE(log->ext->deviceExt);
    EXPECT_EQ(log->ext->deviceExt->localId, std::nullopt);

    // Carrying the parent's token but tagged with the child: the parent leaves it alone.
    auto other = collectorLogTaggedWith(child);
    other->addTransmissionTargetToken(parent->transmissionTargetToken());
    parent->propertyConfigurator()->channelPrepareLog(nullptr, other);
    EXPECT_EQ(other->ext->appExt->ver, std::optional<std::string>("core-ver"));
    EXPECT_FALSE(other->ext->deviceExt);

    child->setEnabled(false);
    auto disabled = collectorLogTaggedWith(child);
    child->propertyConfigurator()->channelPrepareLog(nullptr, disabled);
    EXPECT_EQ(disabled->ext->appExt->ver, std::optional<std::string>("core-ver"));
}

namespace {

// "name@iKey" of every line the collector received, in arrival order.
std::vector<std::string> collectedEvents(const telemetrytest::IngestionServer& server)
{
    std::vector<std::string> events;
    for (const auto& request : server.requests()) {
        if (request.path != "/Collector/1.0")
            continue;
        std::istringstream body(request.body);
        for (std::string line; std::getline(body, line);) {
            const foundation::Value json = foundation::parseJSON(line);
            events.push_back(json["name"].asString() + "@" + json["iKey"].asString());
        }
    }
    return events;
}

// Lets the channel group's queue finish what was handed to it (timers are set there).
void drain()
{
    if (auto group = std::dynamic_pointer_cast<BCNChannelGroupDefault>(BCNBeacon::sharedInstance()->channelGroup()))
        group->logsDispatchQueue()->sync([] { });
}

bool contains(const std::vector<std::string>& list, const std::string& item)
{
    return std::find(list.begin(), list.end(), item) != list.end();
}

} // namespace

TEST_F(TelemetryTest, APausedTargetsEventsWaitInBothCollectorUnitsUntilItIsResumed)
{
    telemetrytest::IngestionServer server;
    dispatch::Clock::setVirtual(true);
    struct RealClockAgain {
        ~RealClockAgain() { dispatch::Clock::setVirtual(false); }
    } realClockAgain;
    // Without an application secret the log url is the collector's.
    BCNBeacon::setLogUrl(server.baseURL());
    BCNBeacon::start("target=livekey-token", { BCNServiceClass::of<BCNAnalytics>() });
    auto paused = BCNAnalytics::transmissionTargetForToken("heldkey-token");
    paused->pause();
    paused->trackEvent("held.normal");
    paused->trackEvent("held.critical", std::map<std::string, std::string> {}, BCNLogFlagsCritical);
    BCNAnalytics::trackEvent("live.normal");
    BCNAnalytics::trackEvent("live.critical", {}, BCNLogFlagsCritical);

    // Both units flush what is not held; the held events stay stored.
    drain();
    dispatch::Clock::advance(3);
    ASSERT_TRUE(waitFor([&] {
        const auto events = collectedEvents(server);
        return contains(events, "live.normal@o:livekey") && contains(events, "live.critical@o:livekey");
    }));
    dispatch::Clock::advance(3);
    ASSERT_TRUE(waitFor([] { return pending("Analytics/one").size() == 1 && pending("Analytics_critical/one").size() == 1; }));
    EXPECT_EQ(collectedEvents(server).size(), 2u);

    paused->resume();
    drain();
    dispatch::Clock::advance(3);
    ASSERT_TRUE(waitFor([&] { return collectedEvents(server).size() == 4; }));
    const auto events = collectedEvents(server);
    EXPECT_TRUE(contains(events, "held.normal@o:heldkey"));
    EXPECT_TRUE(contains(events, "held.critical@o:heldkey"));
    ASSERT_TRUE(waitFor([] { return pending("Analytics/one").empty() && pending("Analytics_critical/one").empty(); }));
}
