#include "Tests/MovaraAppKit/Telemetry/TelemetryFixture.h"

namespace {

std::shared_ptr<BCNEventLog> onlyEvent(const std::vector<std::shared_ptr<BCNAbstractLog>>& logs)
{
    EXPECT_EQ(logs.size(), 1u);
    return logs.size() != 1 ? nullptr : std::dynamic_pointer_cast<BCNEventLog>(logs[0]);
}

} // namespace

TEST_F(TelemetryTest, TrackingBeforeStartQueuesAndSaysNothing)
{
    BCNAnalytics::sharedInstance();
    const std::size_t linesBefore = lineCount();
    BCNAnalytics::trackEvent("Open Document");
    EXPECT_EQ(lineCount(), linesBefore);
    EXPECT_FALSE(BCNAnalytics::isServiceEnabled());
    EXPECT_TRUE(logged(BCNLogLevelError,
                       "Analytics service hasn't been started. You need to call [BCNBeacon start:YOUR_APP_SECRET withServices:LIST_OF_SERVICES] first."));
    BCNBeacon::start("secret", bothServices());
    EXPECT_TRUE(pendingOfType("Analytics", "event").empty());
}

TEST_F(TelemetryTest, EventsKeepOnlyStringPropertiesAndAcceptNone)
{
    BCNBeacon::start("secret", bothServices());

    BCNAnalytics::trackEvent("Open Document");
    auto plain = onlyEvent(pendingOfType("Analytics", "event"));
    ASSERT_NE(plain, nullptr);
    EXPECT_EQ(plain->name(), "Open Document");
    EXPECT_FALSE(plain->typedProperties()) << "no properties, no property list";
    EXPECT_FALSE(plain->serializeToDictionary().contains("typedProperties"));
    EXPECT_EQ(plain->eventId().value_or("").size(), 36u);
    EXPECT_TRUE(plain->timestamp());

    resetClient();
    BCNBeacon::start("secret", bothServices());
    BCNAnalytics::trackEvent("Export", foundation::Value::dictionary({ { "file type", "gif" }, { "repetitions", 3 }, { "resolution", "{640, 480}" } }));
    const auto stored = pendingOfType("Analytics", "event");
    ASSERT_EQ(stored.size(), 2u) << "the first event is still stored after the restart";
    auto event = std::dynamic_pointer_cast<BCNEventLog>(stored.back());
    ASSERT_NE(event, nullptr);
    ASSERT_TRUE(event->typedProperties());
    EXPECT_EQ(event->typedProperties()->strings(),
              (std::vector<std::pair<std::string, std::string>> { { "file type", "gif" }, { "resolution", "{640, 480}" } }));
    EXPECT_TRUE(logged(BCNLogLevelWarning, "Event property contains an invalid value for key repetitions, dropping the property."));
    EXPECT_EQ(event->serializeToDictionary()["typedProperties"][0],
              foundation::Value::dictionary({ { "type", "string" }, { "name", "file type" }, { "value", "gif" } }));
}

TEST_F(TelemetryTest, FlagsChooseTheUnitByTheirLowByte)
{
    BCNBeacon::start("secret", bothServices());
    BCNAnalytics::trackEvent("critical", {}, 0x102);
    BCNAnalytics::trackEvent("odd", {}, 3);
    EXPECT_EQ(pending("Analytics_critical").size(), 1u);
    auto normal = onlyEvent(pendingOfType("Analytics", "event"));
    ASSERT_NE(normal, nullptr);
    EXPECT_EQ(normal->name(), "odd");
    EXPECT_TRUE(logged(BCNLogLevelWarning, "Invalid flags (3) received, using normal as a default."));
}
