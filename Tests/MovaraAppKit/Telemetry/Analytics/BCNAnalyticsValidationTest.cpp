#include "Tests/MovaraAppKit/Telemetry/TelemetryFixture.h"

namespace {

// "😀" is two UTF-16 units.
const std::string kEmoji = "\xF0\x9F\x98\x80";

std::shared_ptr<BCNEventLog> lastEvent(const std::vector<std::shared_ptr<BCNAbstractLog>>& logs)
{
    return logs.empty() ? nullptr : std::dynamic_pointer_cast<BCNEventLog>(logs.back());
}

} // namespace

TEST_F(TelemetryTest, EventAndPageNamesAreCheckedWhenStored)
{
    BCNBeacon::start("secret", bothServices());
    struct Case {
        std::string name;
        std::optional<std::string> stored; // none: dropped
    };
    const std::vector<Case> cases {
        { std::string(256, 'n'), std::string(256, 'n') },
        { std::string(257, 'n'), std::string(256, 'n') },
        // A cut through the middle of a pair would leave half a character: the pair goes whole.
        { std::string(255, 'n') + kEmoji, std::string(255, 'n') },
        { std::string(254, 'n') + kEmoji + "x", std::string(254, 'n') + kEmoji },
        { "", std::nullopt },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name.size());
        const std::size_t before = pendingOfType("Analytics", "event").size();
        BCNAnalytics::trackEvent(c.name);
        const auto events = pendingOfType("Analytics", "event");
        if (!c.stored) {
            EXPECT_EQ(events.size(), before);
            continue;
        }
        ASSERT_EQ(events.size(), before + 1);
        EXPECT_EQ(std::dynamic_pointer_cast<BCNEventLog>(events.back())->name(), c.stored);
    }
    EXPECT_TRUE(logged(BCNLogLevelError, "event name cannot be null or empty"));
    EXPECT_TRUE(logged(BCNLogLevelWarning, "event '" + std::string(257, 'n')
                                               + "' : name length cannot be longer than 256 characters. Name will be truncated."));

    BCNAnalytics::trackPage("");
    BCNAnalytics::trackPage("Export", foundation::Value::dictionary({ { "from", "menu" }, { "count", 2 } }));
    const auto pages = pendingOfType("Analytics", "page");
    EXPECT_TRUE(logged(BCNLogLevelError, "page name cannot be null or empty"));
    ASSERT_EQ(pages.size(), 1u);
    auto page = std::dynamic_pointer_cast<BCNPageLog>(pages[0]);
    ASSERT_NE(page, nullptr);
    EXPECT_EQ(page->name(), "Export");
    EXPECT_EQ(page->properties(), foundation::Value::dictionary({ { "from", "menu" } }));
    EXPECT_EQ(page->sid(), BCNSessionContext::sharedInstance()->sessionId()) << "pages belong to the current session";
}

TEST_F(TelemetryTest, TypedPropertiesOfEventsAreCutToTwentyAndToTheirLengths)
{
    BCNBeacon::start("secret", bothServices());
    BCNEventProperties many;
    for (int i = 0; i < 25; ++i)
        many.setInt64(i, "p" + std::to_string(i));
    BCNAnalytics::trackEventWithTypedProperties("many", many);
    auto event = lastEvent(pendingOfType("Analytics", "event"));
    ASSERT_NE(event, nullptr);
    ASSERT_TRUE(event->typedProperties());
    EXPECT_EQ(event->typedProperties()->count(), 20u);
    EXPECT_EQ(event->typedProperties()->properties().back().first, "p19");
    EXPECT_EQ(countStartingWith(BCNLogLevelWarning, "Typed properties cannot contain more than 20 items."), 1u);

    BCNEventProperties lengths;
    lengths.setString("v", std::string(125, 'k'))
        .setBool(true, std::string(126, 'b'))
        .setString(std::string(124, 'v') + kEmoji, "pair")
        .setString(std::string(126, 'v'), "long")
        .setDate(foundation::Date::dateWithTimeIntervalSince1970(1), "when");
    BCNAnalytics::trackEventWithTypedProperties("lengths", lengths);
    event = lastEvent(pendingOfType("Analytics", "event"));
    ASSERT_NE(event, nullptr);
    const auto& kept = event->typedProperties()->properties();
    ASSERT_EQ(kept.size(), 5u);
    EXPECT_EQ(kept[0].first, std::string(125, 'k'));
    EXPECT_EQ(kept[1].first, std::string(125, 'b'));
    EXPECT_EQ(kept[1].second->name(), std::string(125, 'b'));
    EXPECT_EQ(std::dynamic_pointer_cast<BCNStringTypedProperty>(kept[2].second)->value(), std::string(124, 'v'));
    EXPECT_EQ(std::dynamic_pointer_cast<BCNStringTypedProperty>(kept[3].second)->value(), std::string(125, 'v'));
    EXPECT_TRUE(std::dynamic_pointer_cast<BCNDateTimeTypedProperty>(kept[4].second));
    EXPECT_TRUE(logged(BCNLogLevelWarning, "Typed property '" + std::string(126, 'b')
                                               + "': key length cannot exceed 125 characters. Property value will be truncated."));
    EXPECT_EQ(countStartingWith(BCNLogLevelWarning, "Typed property value length cannot exceed 125 characters."), 2u);
}

TEST_F(TelemetryTest, OnlyEventAndPageLogsPassTheNameFilter)
{
    BCNBeacon::start("secret", bothServices());
    auto analytics = BCNAnalytics::sharedInstance();
    auto unit = analytics->channelUnit();
    ASSERT_NE(unit, nullptr);
    auto nameless = std::make_shared<BCNStartSessionLog>();
    EXPECT_FALSE(analytics->channelUnitShouldFilterLog(*unit, nameless));
    auto other = validLog<BCNStartServiceLog>();
    EXPECT_FALSE(analytics->channelUnitShouldFilterLog(*unit, other));
    auto page = std::make_shared<BCNPageLog>();
    EXPECT_TRUE(analytics->channelUnitShouldFilterLog(*unit, page));
    page->setName("p");
    EXPECT_FALSE(analytics->channelUnitShouldFilterLog(*unit, page));
}
