#include "MovaraAppKit/Telemetry/Analytics/BCNEventLog.h"
#include "MovaraAppKit/Telemetry/Core/Model/CommonSchema/BCNCommonSchemaLog.h"
#include "Tests/MovaraAppKit/Telemetry/TelemetryFixture.h"

#include <limits>

using foundation::Value;

namespace {

Value property(const char* type, const char* name, Value value)
{
    return Value::dictionary({ { "type", type }, { "name", name }, { "value", std::move(value) } });
}

} // namespace

TEST_F(TelemetryTest, TypedPropertiesSerialiseByTypeAndRefuseWhatCannotBeSent)
{
    BCNEventProperties bag;
    bag.setString("gif", "file type")
        .setInt64(-7, "frames")
        .setDouble(0.25, "ratio")
        .setBool(true, "looped")
        .setDate(foundation::Date::dateWithTimeIntervalSince1970(0.5), "when")
        .setString("mov", "file type");
    EXPECT_EQ(bag.serializeToArray(), Value::array({ property("string", "file type", "mov"), property("long", "frames", -7),
                                                     property("double", "ratio", 0.25), property("boolean", "looped", true),
                                                     property("dateTime", "when", "1970-01-01T00:00:00.500Z") }))
        << "a later set of a key replaces the value where the key first was";

    const Value before = bag.serializeToArray();
    bag.setDouble(std::numeric_limits<double>::infinity(), "ratio");
    bag.setDouble(std::numeric_limits<double>::quiet_NaN(), "nan");
    bag.setString("x", std::nullopt);
    bag.setString(std::nullopt, "x");
    bag.setDate(std::nullopt, "x");
    EXPECT_EQ(bag.serializeToArray(), before);
    EXPECT_TRUE(logged(BCNLogLevelError, "Double value for property 'ratio' must be finite (cannot be INFINITY or NAN)."));
    EXPECT_TRUE(logged(BCNLogLevelError, "Key cannot be null. Property will not be added."));
    EXPECT_EQ(countStartingWith(BCNLogLevelError, "Value cannot be null."), 2u);

    BCNEventProperties other;
    other.setInt64(1, "frames").setString("new", "extra");
    bag.mergeEventProperties(other);
    EXPECT_EQ(bag.serializeToArray()[1], property("long", "frames", 1));
    EXPECT_EQ(bag.count(), 6u);
}

TEST_F(TelemetryTest, EventLogsNeedANameAndAnIdAndSurviveTheStore)
{
    auto event = validLog<BCNEventLog>();
    event->setName("Export");
    EXPECT_FALSE(event->isValid()) << "no id";
    EXPECT_FALSE(event->serializeToDictionary().contains("typedProperties"));
    event->setEventId("E-1");
    EXPECT_TRUE(event->isValid());
    event->setName(std::nullopt);
    EXPECT_FALSE(event->isValid()) << "no name";
    event->setName("Export");

    BCNEventProperties bag;
    bag.setString("gif", "file type").setInt64(3, "repetitions").setDouble(1.5, "speed").setBool(false, "muted").setDate(
        foundation::Date::dateWithTimeIntervalSince1970(1700000000), "at");
    event->setTypedProperties(bag);
    const auto data = BCNUtility::archiveKeyedData(event);
    ASSERT_TRUE(data);
    auto back = std::dynamic_pointer_cast<BCNEventLog>(BCNUtility::unarchiveKeyedData(data));
    ASSERT_NE(back, nullptr);
    EXPECT_TRUE(back->isEqual(*event));
    EXPECT_EQ(back->serializeToDictionary(), event->serializeToDictionary());

    BCNEventProperties fewer;
    fewer.setString("gif", "file type");
    back->setTypedProperties(fewer);
    EXPECT_FALSE(back->isEqual(*event));
}

// What one event's properties become in a common-schema log: the data tree, the metadata tree
// and the warnings on the way.
TEST_F(TelemetryTest, EventPropertiesBecomeTheCommonSchemaDataAndMetadataTrees)
{
    struct Case {
        const char* name;
        std::function<void(BCNEventProperties&)> fill;
        Value data;     // null: no data part
        Value metadata; // null: no metadata extension
        std::vector<std::string> warnings;
    };
    const auto dict = [](std::initializer_list<std::pair<std::string, Value>> entries) { return Value::dictionary(entries); };
    const std::vector<Case> cases {
        { "nested long", [](auto& p) { p.setInt64(5, "a.b.c"); }, dict({ { "a", dict({ { "b", dict({ { "c", 5 } }) } }) } }),
          dict({ { "f", dict({ { "a", dict({ { "f", dict({ { "b", dict({ { "f", dict({ { "c", 4 } }) } }) } }) } }) } }) } }), {} },
        { "string and boolean add no metadata", [](auto& p) { p.setString("v", "s").setBool(true, "b"); },
          dict({ { "s", "v" }, { "b", true } }), {}, {} },
        { "date-time", [](auto& p) { p.setDate(foundation::Date::dateWithTimeIntervalSince1970(0), "when"); },
          dict({ { "when", "1970-01-01T00:00:00.000Z" } }), dict({ { "f", dict({ { "when", 9 } }) } }), {} },
        { "double", [](auto& p) { p.setDouble(2.5, "x"); }, dict({ { "x", 2.5 } }), dict({ { "f", dict({ { "x", 6 } }) } }), {} },
        { "a leaf then a branch of the same name", [](auto& p) { p.setString("1", "a").setString("2", "a.b"); }, dict({ { "a", "1" } }), {},
          { "Property key 'b' already has a value, choosing one." } },
        { "a branch then a leaf of the same name", [](auto& p) { p.setString("2", "a.b").setString("1", "a"); },
          dict({ { "a", dict({ { "b", "2" } }) } }), {}, { "Property key 'a' already has a value, choosing one." } },
        { "a long refused under a leaf leaves no metadata", [](auto& p) { p.setString("1", "a").setInt64(2, "a.b"); },
          dict({ { "a", "1" } }), {}, { "Property key 'b' already has a value, choosing one." } },
        { "baseType without baseData", [](auto& p) { p.setString("T", "baseType").setString("v", "x"); }, dict({ { "x", "v" } }), {},
          { "baseType was set but baseData is missing." } },
        { "baseData without baseType, warned once", [](auto& p) { p.setString("1", "baseData.a").setString("2", "baseData.b").setInt64(3, "n"); },
          dict({ { "n", 3 } }), dict({ { "f", dict({ { "n", 4 } }) } }), { "baseData was set but baseType is missing or invalid." } },
        { "baseType and baseData together", [](auto& p) { p.setString("T", "baseType").setString("1", "baseData.a"); },
          dict({ { "baseType", "T" }, { "baseData", dict({ { "a", "1" } }) } }), {}, {} },
        { "a non-string baseType counts as missing", [](auto& p) { p.setInt64(1, "baseType").setString("1", "baseData.a"); }, {}, {},
          { "baseData was set but baseType is missing or invalid." } },
        { "objects where leaves belong", [](auto& p) { p.setString("T", "baseType").setString("1", "baseData.a").setString("x", "baseType.y").setString("z", "baseData"); },
          dict({ { "baseType", "T" }, { "baseData", dict({ { "a", "1" } }) } }), {},
          { "baseType must not be an object.", "baseData must be an object." } },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::size_t warningsBefore = linesAt(BCNLogLevelWarning).size();
        auto event = validLog<BCNEventLog>();
        event->setName("Export");
        event->setEventId("E-1");
        BCNEventProperties bag;
        c.fill(bag);
        event->setTypedProperties(bag);
        const auto tag = std::make_shared<int>(1);
        event->setTag(tag);
        auto log = event->toCommonSchemaLogForTargetToken("abc-def", BCNLogFlagsNormal);
        ASSERT_NE(log, nullptr);
        EXPECT_EQ(log->name, "Export");
        EXPECT_EQ(log->tag(), event->tag());
        EXPECT_EQ(log->data ? *log->data->properties : Value(), c.data);
        EXPECT_EQ(log->ext->metadataExt ? *log->ext->metadataExt->metadata : Value(), c.metadata);
        const auto warnings = linesAt(BCNLogLevelWarning);
        EXPECT_EQ(std::vector<std::string>(warnings.begin() + static_cast<long>(warningsBefore), warnings.end()), c.warnings);
    }
}
