#include "Tests/MovaraAppKit/Telemetry/TelemetryFixture.h"

#include "MovaraAppKit/Telemetry/Core/BCNUtility.h"
#include "MovaraAppKit/Telemetry/Core/Channel/BCNCollectorChannelDelegate.h"
#include "MovaraAppKit/Telemetry/Core/Ingestion/BCNHttpIngestion.h"
#include "MovaraAppKit/Telemetry/Core/Storage/BCNLogDBStorage.h"

TEST_F(TelemetryTest, ASecondStartFromTheApplicationLeavesTheRunningClientAlone)
{
    BCNBeacon::start("0d3c4f1e-aaaa-bbbb-cccc-123456789abc", bothServices());
    ASSERT_TRUE(BCNBeacon::isConfigured());
    auto services = BCNBeacon::sharedInstance()->services();
    ASSERT_EQ(services.size(), 2u);
    EXPECT_EQ(services[0]->serviceName(), "Crashes") << "the higher priority starts first";
    EXPECT_EQ(services[1]->serviceName(), "Analytics");

    BCNBeacon::start("another-secret", { BCNServiceClass::of<BCNAnalytics>() });
    EXPECT_TRUE(logged(BCNLogLevelAssert, "Beacon SDK has already been configured."));
    EXPECT_TRUE(logged(BCNLogLevelAssert, "Beacon SDK configuration failed."));
    EXPECT_EQ(BCNBeacon::sharedInstance()->appSecret(), "0d3c4f1e-aaaa-bbbb-cccc-123456789abc");
    EXPECT_EQ(BCNBeacon::sharedInstance()->services(), services);
    EXPECT_TRUE(BCNAnalytics::isServiceEnabled());

    // One "startService" log, naming what started, in start order.
    auto logs = pending("Beacon");
    ASSERT_EQ(logs.size(), 1u);
    auto startLog = std::dynamic_pointer_cast<BCNStartServiceLog>(logs[0]);
    ASSERT_NE(startLog, nullptr);
    EXPECT_EQ(startLog->services(), (std::vector<std::string> { "Crashes", "Analytics" }));
}

TEST_F(TelemetryTest, ServicesNeedingASecretRefuseToStartWithoutOne)
{
    for (const std::string configuration : { "", "target=abc-123" }) {
        resetClient();
        BCNBeacon::start(configuration, bothServices());
        EXPECT_TRUE(logged(BCNLogLevelError,
                           "Cannot start service BCNCrashes. Beacon was started without app secret, but the service requires it."))
            << configuration;
        EXPECT_FALSE(BCNCrashes::sharedInstance()->isStarted()) << configuration;
        EXPECT_TRUE(BCNAnalytics::sharedInstance()->isStarted()) << "analytics needs no secret";
    }
}

TEST_F(TelemetryTest, TheDisableVariableKeepsNamedServicesFromStarting)
{
    struct Case {
        const char* value;
        bool crashes;
        bool analytics;
    };
    for (const Case& c : { Case { " Crashes , something", false, true }, Case { "All", false, false }, Case { "crashes", true, true } }) {
        resetClient();
        ::setenv("BEACON_DISABLE", c.value, 1);
        BCNBeacon::start("secret", bothServices());
        EXPECT_EQ(BCNCrashes::sharedInstance()->isStarted(), c.crashes) << c.value;
        EXPECT_EQ(BCNAnalytics::sharedInstance()->isStarted(), c.analytics) << c.value;
    }
    EXPECT_TRUE(logged(BCNLogLevelDebug, "No services have been started."));
}

TEST_F(TelemetryTest, SwitchingTheWholeClientSwitchesItsServices)
{
    EXPECT_FALSE(BCNBeacon::isEnabled()) << "not configured yet";
    EXPECT_TRUE(logged(BCNLogLevelError,
                       "Beacon SDK hasn't been configured. You need to call [BCNBeacon start:YOUR_APP_SECRET withServices:LIST_OF_SERVICES] first."));
    BCNBeacon::start("secret", bothServices());
    ASSERT_TRUE(BCNBeacon::isEnabled());

    BCNBeacon::setEnabled(false);
    EXPECT_FALSE(BCNBeacon::isEnabled());
    EXPECT_FALSE(BCNAnalytics::isServiceEnabled());
    EXPECT_EQ(BCNBeaconUserDefaults::shared().objectForKey("AnalyticsIsEnabled"), foundation::Value(false));
    BCNAnalytics::trackEvent("Export");
    EXPECT_TRUE(pending("Analytics").empty());

    // A service alone can't be switched on while the client is off.
    BCNAnalytics::setServiceEnabled(true);
    EXPECT_FALSE(BCNAnalytics::isServiceEnabled());
    EXPECT_TRUE(logged(BCNLogLevelError, "The SDK is disabled. Re-enable the whole SDK from Beacon first before enabling Analytics service."));

    BCNBeacon::setEnabled(true);
    EXPECT_TRUE(BCNAnalytics::isServiceEnabled());
    BCNAnalytics::trackEvent("Export");
    EXPECT_EQ(pendingOfType("Analytics", "event").size(), 1u);
}

TEST_F(TelemetryTest, ConfigurationStringsYieldSecretAndToken)
{
    struct Case {
        const char* text;
        std::optional<std::string> secret;
        std::optional<std::string> token;
    };
    const Case cases[] = {
        { "abc", "abc", std::nullopt },
        { "appsecret=abc;target=tok-1", "abc", "tok-1" },
        { "abc;target=tok", "abc", "tok" },
        { "ios=zzz;macos=mmm", "mmm", std::nullopt },
        { "target=tok", std::nullopt, "tok" },
        { ";;", std::nullopt, std::nullopt },
        { "appsecret=", std::nullopt, std::nullopt },
    };
    for (const Case& c : cases) {
        EXPECT_EQ(BCNUtility::appSecretFrom(c.text), c.secret) << c.text;
        EXPECT_EQ(BCNUtility::transmissionTargetTokenFrom(c.text), c.token) << c.text;
    }
}

TEST(BCNLogger, DefaultHandlerFormatsOnlyAtOrAboveTheLevelWhileACustomOneHearsAll)
{
    int formatted = 0;
    auto provider = [&] {
        ++formatted;
        return std::string("text");
    };
    const auto& handler = BCNLogger::defaultHandler();
    handler(provider, BCNLogLevelVerbose, "Beacon", __FILE__, __func__, __LINE__);
    handler(provider, BCNLogLevelNone, "Beacon", __FILE__, __func__, __LINE__);
    EXPECT_EQ(formatted, 0) << "below ASSERT nothing is formatted";

    std::vector<BCNLoggerLevel> heard;
    EXPECT_FALSE(BCNLogger::isUserDefinedLogLevel());
    BCNLogger::setLogHandler([&](const BCNLogMessageProvider&, BCNLoggerLevel level, const std::string&, const char*, const char*, unsigned) {
        heard.push_back(level);
    });
    EXPECT_TRUE(BCNLogger::isUserDefinedLogLevel()) << "a handler counts as the application's choice";
    BCNLogVerbose("Beacon", "hello");
    EXPECT_EQ(heard, std::vector<BCNLoggerLevel> { BCNLogLevelVerbose });
    BCNLogger::setLogHandler(BCNLogger::defaultHandler());
    BCNLogger::setIsUserDefinedLogLevel(false);
}

TEST_F(TelemetryTest, AClientDisabledInAnEarlierRunHoldsItsServicesBackUntilEnabled)
{
    BCNBeaconUserDefaults::shared().setObjectForKey(false, "BeaconIsEnabled");
    BCNBeacon::start("secret", bothServices());
    EXPECT_FALSE(BCNBeacon::isEnabled());
    EXPECT_TRUE(BCNCrashes::sharedInstance()->isStarted());
    EXPECT_EQ(BCNBeaconUserDefaults::shared().objectForKey("CrashesIsEnabled"), foundation::Value(false)) << "disabled right after its start";
    EXPECT_EQ(BCNBeaconUserDefaults::shared().objectForKey("AnalyticsIsEnabled"), foundation::Value(false));
    EXPECT_TRUE(pending("Beacon").empty()) << "the names wait";

    BCNBeacon::setEnabled(true);
    EXPECT_TRUE(BCNAnalytics::isServiceEnabled());
    EXPECT_TRUE(BCNCrashes::isServiceEnabled());
    const auto logs = pending("Beacon");
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_EQ(std::dynamic_pointer_cast<BCNStartServiceLog>(logs[0])->services(), (std::vector<std::string> { "Crashes", "Analytics" }));
}

TEST_F(TelemetryTest, TheStorageSizeIsTakenOnceBeforeTheApplicationConfigures)
{
    std::vector<bool> answers;
    auto record = [&](bool ok) { answers.push_back(ok); };
    BCNBeacon::setMaxStorageSize(24575, record);
    EXPECT_TRUE(logged(BCNLogLevelWarning, "Cannot set storage size to 24575 bytes, minimum value is 24576 bytes"));
    BCNBeacon::setMaxStorageSize(40960, record);
    BCNBeacon::setMaxStorageSize(40960, record);
    EXPECT_TRUE(logged(BCNLogLevelWarning, "setMaxStorageSize:completionHandler: may only be called once per app launch"));
    EXPECT_EQ(answers, (std::vector<bool> { false, false })) << "the accepted size is answered by the store, later";
    BCNBeacon::start("secret", bothServices());
    auto group = std::dynamic_pointer_cast<BCNChannelGroupDefault>(BCNBeacon::sharedInstance()->channelGroup());
    ASSERT_NE(group, nullptr);
    group->logsDispatchQueue()->sync([] { });
    EXPECT_EQ(answers, (std::vector<bool> { false, false, true }));
    EXPECT_EQ(group->storage()->maxSizeInBytes(), 40960);

    resetClient();
    BCNBeacon::start("secret", bothServices());
    BCNBeacon::setMaxStorageSize(40960, record);
    EXPECT_TRUE(logged(BCNLogLevelWarning, "Unable to set storage size after the application has configured Beacon"));
    EXPECT_EQ(answers.back(), false);
}

TEST_F(TelemetryTest, TheInstallIdStaysAcrossLaunchesAndABrokenOneIsReplaced)
{
    const auto first = BCNBeacon::installId();
    ASSERT_TRUE(first);
    resetClient();
    EXPECT_EQ(BCNBeacon::installId(), first);
    EXPECT_EQ(BCNBeaconUserDefaults::shared().objectForKey("InstallId"), foundation::Value(first->UUIDString()));
    BCNBeaconUserDefaults::shared().setObjectForKey("not a uuid", "InstallId");
    resetClient();
    const auto replaced = BCNBeacon::installId();
    EXPECT_NE(replaced, first);
    EXPECT_EQ(BCNBeaconUserDefaults::shared().objectForKey("InstallId"), foundation::Value(replaced->UUIDString()));
}

TEST_F(TelemetryTest, TheLogUrlGoesToTheIngestionOrWithoutASecretToTheCollector)
{
    BCNBeacon::setLogUrl("http://127.0.0.1:9");
    BCNBeacon::start("secret", bothServices());
    EXPECT_EQ(BCNBeacon::sharedInstance()->channelGroup()->logUrl(), "http://127.0.0.1:9");
    BCNBeacon::setLogUrl("http://127.0.0.1:10");
    EXPECT_EQ(BCNBeacon::sharedInstance()->channelGroup()->logUrl(), "http://127.0.0.1:10");
    EXPECT_TRUE(logged(BCNLogLevelInfo, "The log url of Beacon endpoint was changed to http://127.0.0.1:10"));

    resetClient();
    BCNBeacon::setLogUrl("http://127.0.0.1:11");
    BCNBeacon::start("target=abc-1", { BCNServiceClass::of<BCNAnalytics>() });
    auto collector = BCNBeacon::sharedInstance()->collectorChannelDelegate();
    ASSERT_NE(collector, nullptr);
    EXPECT_EQ(collector->collectorIngestion()->sendURL()->absoluteString(), "http://127.0.0.1:11/Collector/1.0");
}

TEST_F(TelemetryTest, CustomPropertiesAndUserIdsNeedAConfiguredApplication)
{
    BCNCustomProperties properties;
    properties.setString("blue", "color");
    BCNBeacon::setCustomProperties(&properties);
    EXPECT_EQ(lineCount(), 0u) << "before configuration: nothing sent, nothing said";
    BCNBeacon::startFromLibraryWithServices({ BCNServiceClass::of<BCNAnalytics>() });
    BCNBeacon::setUserId("alice");
    EXPECT_TRUE(logged(BCNLogLevelError, "Beacon must be configured from application, libraries cannot call setUserId."));
    EXPECT_EQ(BCNBeacon::userId(), std::nullopt);

    BCNBeacon::start("secret", bothServices());
    BCNBeacon::setCustomProperties(&properties);
    BCNCustomProperties empty;
    BCNBeacon::setCustomProperties(&empty);
    EXPECT_TRUE(logged(BCNLogLevelError, "Custom properties may not be null or empty"));
    const auto logs = pending("Beacon");
    ASSERT_EQ(logs.size(), 2u) << "startService, then customProperties";
    EXPECT_EQ(logs[1]->type(), "customProperties");

    BCNBeacon::setUserId(std::string(257, 'u'));
    EXPECT_TRUE(logged(BCNLogLevelError, "userId is limited to 256 characters."));
    BCNBeacon::setUserId("alice");
    EXPECT_EQ(BCNBeacon::userId(), "alice");
    BCNBeacon::setUserId(std::nullopt);
    EXPECT_EQ(BCNBeacon::userId(), std::nullopt);
}

TEST_F(TelemetryTest, DisablingTheClientForgetsOldHistoriesAndStoredLogs)
{
    BCNBeacon::start("secret", bothServices());
    BCNAnalytics::trackEvent("Export");
    ASSERT_EQ(pendingOfType("Analytics", "event").size(), 1u);
    BCNSessionContext::sharedInstance()->setSessionId("S");
    BCNBeacon::setEnabled(false);
    EXPECT_TRUE(BCNSessionContext::sharedInstance()->sessionHistory().empty());
    EXPECT_EQ(BCNDeviceTracker::sharedInstance()->deviceHistory().size(), 1u);
    EXPECT_TRUE(pending("Analytics").empty());
    EXPECT_TRUE(pending("Beacon").empty());
}

TEST_F(TelemetryTest, WithoutAChosenLevelConfigurationSettlesOnWarnings)
{
    BCNLogger::setIsUserDefinedLogLevel(false);
    BCNBeacon::start("secret", bothServices());
    EXPECT_EQ(BCNBeacon::logLevel(), BCNLogLevelWarning);
    EXPECT_FALSE(BCNBeacon::isDebuggerAttached());
    EXPECT_TRUE(BCNBeacon::isAppDelegateForwarderEnabled());
}
