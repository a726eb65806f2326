#include "Tests/MovaraAppKit/Telemetry/TelemetryFixture.h"

#include "MovaraAppKit/Telemetry/Analytics/BCNEventLog.h"
#include "MovaraAppKit/Telemetry/Core/Model/BCNLogContainer.h"
#include "MovaraAppKit/Telemetry/Core/Model/BCNTypedProperty.h"
#include "MovaraAppKit/Telemetry/Core/Model/CommonSchema/BCNCommonSchemaLog.h"
#include "Platform/Foundation/JSON.h"

#include <cmath>

namespace {

BCNLogPtr roundTrip(const BCNLogPtr& log)
{
    auto data = BCNUtility::archiveKeyedData(log);
    EXPECT_TRUE(data.has_value());
    return std::dynamic_pointer_cast<BCNAbstractLog>(BCNUtility::unarchiveKeyedData(data));
}

} // namespace

using BCNLogModel = TelemetryTest;

TEST_F(BCNLogModel, EveryKindOfLogSurvivesItsArchiveAndWritesItsJSON)
{
    auto properties = validLog<BCNLogWithProperties>();
    properties->setType("page");
    properties->setSid("S1");
    properties->setUserId("alice");
    properties->setDistributionGroupId("G");
    properties->setProperties(foundation::Value::dictionary({ { "url", "https://a.b/c" } }));

    auto start = validLog<BCNStartServiceLog>();
    start->setServices({ "Crashes", "Analytics" });

    auto custom = validLog<BCNCustomPropertiesLog>();
    custom->setProperties(foundation::Value::dictionary({ { "cleared", nullptr },
                                                          { "flag", true },
                                                          { "count", 1 },
                                                          { "when", foundation::Date::dateWithTimeIntervalSince1970(0.5) },
                                                          { "name", "x" } }));

    auto event = validLog<BCNEventLog>();
    event->setName("Export");
    event->setEventId("E-1");
    BCNEventProperties strings;
    strings.setString("mov", "file type");
    event->setTypedProperties(strings);

    auto commonSchema = validLog<BCNCommonSchemaLog>();
    commonSchema->ver = "3.0";
    commonSchema->name = "event.name";
    commonSchema->iKey = "o:abc";
    commonSchema->flags = 2;
    commonSchema->popSample = 50;
    commonSchema->ext = std::make_shared<BCNCSExtensions>();
    commonSchema->ext->sdkExt = std::make_shared<BCNSDKExtension>();
    commonSchema->ext->sdkExt->seq = 7;
    commonSchema->ext->sdkExt->installId = foundation::UUID::random();
    commonSchema->ext->protocolExt = std::make_shared<BCNProtocolExtension>();
    commonSchema->ext->protocolExt->ticketKeys = std::vector<std::string> { "k1" };
    commonSchema->ext->metadataExt = std::make_shared<BCNMetadataExtension>();
    commonSchema->ext->metadataExt->metadata = foundation::Value::dictionary({ { "f", foundation::Value::dictionary({ { "a", 4 } }) } });
    commonSchema->data = std::make_shared<BCNCSData>();
    commonSchema->data->properties = foundation::Value::dictionary({ { "a", 1 }, { "baseData", "d" }, { "baseType", "t" } });

    struct Case {
        BCNLogPtr log;
        const char* json;
    };
    const Case cases[] = {
        { properties, R"({"type":"page","timestamp":"2023-11-14T22:13:20.500Z","sid":"S1","distributionGroupId":"G","userId":"alice","device":{},"properties":{"url":"https://a.b/c"}})" },
        { start, R"({"type":"startService","timestamp":"2023-11-14T22:13:20.500Z","device":{},"services":["Crashes","Analytics"]})" },
        { custom, R"({"type":"customProperties","timestamp":"2023-11-14T22:13:20.500Z","device":{},"properties":[{"type":"clear","name":"cleared"},{"type":"boolean","value":true,"name":"flag"},{"type":"number","value":1,"name":"count"},{"type":"dateTime","value":"1970-01-01T00:00:00.500Z","name":"when"},{"type":"string","value":"x","name":"name"}]})" },
        { event, R"({"type":"event","timestamp":"2023-11-14T22:13:20.500Z","device":{},"name":"Export","id":"E-1","typedProperties":[{"type":"string","name":"file type","value":"mov"}]})" },
    };
    for (const Case& c : cases) {
        auto json = c.log->serializeToDictionary();
        json.set("device", foundation::Value::dictionary()); // the machine's own values vary
        EXPECT_EQ(foundation::toJSON(json), c.json) << c.log->className();
        auto back = roundTrip(c.log);
        ASSERT_NE(back, nullptr) << c.log->className();
        EXPECT_EQ(back->className(), c.log->className());
        EXPECT_TRUE(back->isEqual(*c.log)) << c.log->className();
        EXPECT_EQ(back->serializeToDictionary(), c.log->serializeToDictionary()) << c.log->className();
    }
    auto back = std::dynamic_pointer_cast<BCNCommonSchemaLog>(roundTrip(commonSchema));
    ASSERT_NE(back, nullptr);
    EXPECT_TRUE(back->isEqual(*commonSchema));
    EXPECT_EQ(back->popSample, 50);
    EXPECT_EQ(foundation::toJSON(back->serializeToDictionary()["data"]), R"({"baseType":"t","baseData":"d","a":1})");
}

TEST_F(BCNLogModel, LogsArchivedUnderOlderClassNamesStillDecode)
{
    BCNUtility::addMigrationClasses({ { "BNStartServiceLog", "BCNStartServiceLog" }, { "BNDevice", "BCNDevice" } });
    auto log = validLog<BCNStartServiceLog>();
    log->setServices({ "Analytics" });
    foundation::KeyedArchiver archiver;
    archiver.setClassName("BNStartServiceLog", "BCNStartServiceLog");
    archiver.setClassName("BNDevice", "BCNDevice");
    archiver.encodeObject(log, foundation::NSKeyedArchiveRootObjectKey);
    auto back = std::dynamic_pointer_cast<BCNStartServiceLog>(BCNUtility::unarchiveKeyedData(archiver.encodedData()));
    ASSERT_NE(back, nullptr);
    EXPECT_TRUE(back->isEqual(*log));
    EXPECT_EQ(back->services(), std::vector<std::string> { "Analytics" });
}

TEST_F(BCNLogModel, ValidityNamesTheFirstMissingField)
{
    struct Case {
        std::function<void(BCNAbstractLog&)> spoil;
        std::string message;
    };
    const Case cases[] = {
        { [](BCNAbstractLog& l) { l.setType(""); l.setTimestamp(std::nullopt); }, "BCNStartServiceLog: \"type\" is not valid." },
        { [](BCNAbstractLog& l) { l.setTimestamp(std::nullopt); l.setDevice(nullptr); }, "BCNStartServiceLog: \"timestamp\" is not valid." },
        { [](BCNAbstractLog& l) { l.setDevice(nullptr); }, "BCNStartServiceLog: \"device\" is not valid." },
        { [](BCNAbstractLog& l) { auto d = std::make_shared<BCNDevice>(*l.device()); d->locale.reset(); l.setDevice(d); },
          "BCNDevice: \"locale\" is not valid." },
    };
    BCNLogger::setCurrentLogLevel(BCNLogLevelVerbose);
    for (const Case& c : cases) {
        auto log = validLog();
        EXPECT_TRUE(log->isValid());
        c.spoil(*log);
        EXPECT_FALSE(log->isValid()) << c.message;
        EXPECT_TRUE(logged(BCNLogLevelVerbose, c.message)) << c.message;
    }
    // One line per log (only its first missing field), plus the device's own line for its locale.
    EXPECT_EQ(linesAt(BCNLogLevelVerbose).size(), std::size(cases) + 1);

    auto custom = validLog<BCNCustomPropertiesLog>();
    custom->setProperties(foundation::Value::dictionary());
    EXPECT_FALSE(custom->isValid());
    EXPECT_TRUE(logged(BCNLogLevelVerbose, "BCNCustomPropertiesLog: \"properties\" is not valid."));
}

TEST_F(BCNLogModel, EqualityIgnoresTokensButNotDevicesOrClass)
{
    auto a = validLog<BCNLogWithProperties>();
    auto b = std::make_shared<BCNLogWithProperties>();
    b->setType(a->type());
    b->setTimestamp(a->timestamp());
    b->setDevice(std::make_shared<BCNDevice>(*a->device()));
    b->addTransmissionTargetToken("tok-1");
    EXPECT_TRUE(a->isEqual(*b));
    b->device()->carrierCountry = "";
    EXPECT_FALSE(a->isEqual(*b)) << "an empty carrier country is not an absent one";
    auto plain = std::make_shared<BCNAbstractLog>();
    EXPECT_FALSE(plain->isEqual(*a) && a->isEqual(*plain));
}

TEST_F(BCNLogModel, TypedPropertiesKeepTheirTypeThroughJSONAndArchive)
{
    auto flag = std::make_shared<BCNBooleanTypedProperty>();
    flag->setName("flag");
    flag->setValue(true);
    auto big = std::make_shared<BCNLongTypedProperty>();
    big->setName("big");
    big->setValue(INT64_MAX);
    auto when = std::make_shared<BCNDateTimeTypedProperty>();
    when->setName("when");
    when->setValue(foundation::Date::dateWithTimeIntervalSince1970(0.5));
    auto text = std::make_shared<BCNStringTypedProperty>();
    text->setName("text");
    text->setValue("hi");
    auto ratio = std::make_shared<BCNDoubleTypedProperty>();
    ratio->setName("ratio");
    ratio->setValue(0.25);

    EXPECT_EQ(foundation::toJSON(flag->serializeToDictionary()), R"({"type":"boolean","name":"flag","value":true})");
    EXPECT_EQ(foundation::toJSON(big->serializeToDictionary()), R"({"type":"long","name":"big","value":9223372036854775807})");
    EXPECT_EQ(foundation::toJSON(when->serializeToDictionary()), R"({"type":"dateTime","name":"when","value":"1970-01-01T00:00:00.500Z"})");
    for (const std::shared_ptr<BCNTypedProperty>& property : std::vector<std::shared_ptr<BCNTypedProperty>> { flag, big, when, text, ratio }) {
        auto back = std::dynamic_pointer_cast<BCNTypedProperty>(BCNUtility::unarchiveKeyedData(BCNUtility::archiveKeyedData(property)));
        ASSERT_NE(back, nullptr) << property->className();
        EXPECT_TRUE(back->isEqual(*property)) << property->className();
        EXPECT_EQ(back->name(), property->name());
    }

    auto renamed = std::make_shared<BCNLongTypedProperty>();
    renamed->setName("other");
    renamed->setValue(INT64_MAX);
    EXPECT_TRUE(renamed->isEqual(*big)) << "names take no part in equality";
    auto nan = std::make_shared<BCNDoubleTypedProperty>();
    nan->setValue(std::nan(""));
    EXPECT_FALSE(nan->isEqual(*nan));
}

TEST_F(BCNLogModel, AContainerWritesItsLogsInOrderAndNeedsThemValid)
{
    auto first = validLog();
    auto second = validLog<BCNLogWithProperties>();
    second->setProperties(foundation::Value::dictionary());
    BCNLogContainer container("b1", { first, second });
    ASSERT_TRUE(container.isValid());
    const auto json = foundation::parseJSON(*container.serializeLog());
    ASSERT_EQ(json["logs"].size(), 2u);
    EXPECT_EQ(json["logs"][0]["type"], foundation::Value("startService"));
    EXPECT_FALSE(json["logs"][1].contains("properties")) << "an empty map writes no key";
    EXPECT_FALSE(json.contains("batchId"));
    EXPECT_NE(container.serializeLogWithPrettyPrinting(true)->find("\n"), std::string::npos);

    EXPECT_FALSE(BCNLogContainer("b2", {}).isValid());
    auto broken = validLog();
    broken->setDevice(nullptr);
    EXPECT_FALSE(BCNLogContainer("b3", { first, broken }).isValid());
}
