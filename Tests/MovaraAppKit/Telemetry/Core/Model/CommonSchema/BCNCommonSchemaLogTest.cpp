#include "Tests/MovaraAppKit/Telemetry/TelemetryFixture.h"

#include "MovaraAppKit/Telemetry/Core/Model/CommonSchema/BCNCommonSchemaLog.h"
#include "Platform/Foundation/JSON.h"

using BCNCommonSchema = TelemetryTest;

TEST_F(BCNCommonSchema, JSONKeepsItsKeyOrderAndLeavesEmptyPartsOut)
{
    BCNCommonSchemaLog log;
    log.data = std::make_shared<BCNCSData>();
    log.data->properties = foundation::Value::dictionary();
    log.ext = std::make_shared<BCNCSExtensions>();
    log.ext->appExt = std::make_shared<BCNAppExtension>();
    log.ext->locExt = std::make_shared<BCNLocExtension>();
    log.ext->locExt->tz = "+01:00";
    log.iKey = "o:k";
    log.setTimestamp(foundation::Date::dateWithTimeIntervalSince1970(0));
    log.name = "n.a.m.e";
    log.ver = "3.0";
    log.setSid("not written");
    EXPECT_EQ(foundation::toJSON(log.serializeToDictionary()),
              R"({"ver":"3.0","name":"n.a.m.e","time":"1970-01-01T00:00:00.000Z","iKey":"o:k","ext":{"loc":{"tz":"+01:00"}},"data":{}})");
    log.flags = 1;
    EXPECT_EQ(log.serializeToDictionary()["flags"], foundation::Value(1));
}

TEST_F(BCNCommonSchema, ValidityNeedsTimestampVerAndName)
{
    BCNLogger::setCurrentLogLevel(BCNLogLevelVerbose);
    BCNCommonSchemaLog log;
    EXPECT_FALSE(log.isValid());
    EXPECT_EQ(linesAt(BCNLogLevelVerbose), std::vector<std::string> { "BCNCommonSchemaLog: \"timestamp\" is not valid." });
    log.setTimestamp(BCNUtility::now());
    log.ver = "3.0";
    EXPECT_FALSE(log.isValid());
    EXPECT_TRUE(logged(BCNLogLevelVerbose, "BCNCommonSchemaLog: \"name\" is not valid."));
    log.name = "a.name";
    EXPECT_TRUE(log.isValid()) << "no device needed";
}

TEST_F(BCNCommonSchema, ALogBecomesOneCommonSchemaLogPerTargetToken)
{
    auto log = validLog();
    EXPECT_TRUE(log->toCommonSchemaLogsWithFlags(1).empty());
    log->setUserId("alice");
    log->device()->osVersion = "14.2";
    log->device()->osBuild = "23C64";
    log->device()->locale = "en_US";
    log->device()->timeZoneOffset = 330;
    log->device()->carrierName.reset();
    log->addTransmissionTargetToken("aaa-1");
    log->addTransmissionTargetToken("-nokey");
    auto converted = log->toCommonSchemaLogsWithFlags(2);
    ASSERT_EQ(converted.size(), 2u);
    std::map<std::string, std::shared_ptr<BCNCommonSchemaLog>> byToken;
    for (auto& c : converted)
        byToken[*c->transmissionTargetTokens()->begin()] = c;
    const auto& withKey = byToken.at("aaa-1");
    EXPECT_EQ(withKey->iKey, "o:aaa");
    EXPECT_FALSE(byToken.at("-nokey")->iKey.has_value());
    EXPECT_EQ(withKey->ver, "3.0");
    EXPECT_EQ(withKey->flags, 2);
    EXPECT_EQ(withKey->timestamp(), log->timestamp());
    const auto ext = withKey->ext->serializeToDictionary();
    EXPECT_EQ(ext["user"]["localId"], foundation::Value("c:alice"));
    EXPECT_EQ(ext["user"]["locale"], foundation::Value("en-US"));
    EXPECT_EQ(ext["os"]["ver"], foundation::Value("Version 14.2 (Build 23C64)"));
    EXPECT_EQ(ext["loc"]["tz"], foundation::Value("+05:30"));
    EXPECT_EQ(ext["sdk"]["libVer"], foundation::Value("beacon.macos-4.0.0"));
    EXPECT_EQ(ext["app"]["id"], foundation::Value("I:com.movara.quintor.tests"));
    EXPECT_FALSE(ext.contains("net")) << "no carrier, no provider";
    EXPECT_FALSE(withKey->name.has_value());
}

TEST(BCNCommonSchemaConversion, HelpersFormatVersionsAndTimeZones)
{
    struct Zone {
        long minutes;
        const char* text;
    };
    // A negative offset under an hour keeps its sign.
    for (const Zone& z : { Zone { 0, "+00:00" }, Zone { 60, "+01:00" }, Zone { 330, "+05:30" }, Zone { -300, "-05:00" },
                           Zone { -210, "-03:30" }, Zone { -30, "-00:30" }, Zone { 45, "+00:45" } })
        EXPECT_EQ(BCNAbstractLog::convertTimeZoneOffsetToISO8601(z.minutes), z.text) << z.minutes;
    EXPECT_EQ(BCNAbstractLog::combineOsVersion("14.2", std::nullopt), "Version 14.2");
    EXPECT_EQ(BCNAbstractLog::combineOsVersion(std::nullopt, "23C64"), std::nullopt);
    EXPECT_EQ(BCNAbstractLog::combineSDKLibVer("beacon", std::nullopt), std::nullopt);
    EXPECT_EQ(BCNUserIdContext::prefixedUserIdFromUserId("x:alice"), "x:alice");
    EXPECT_EQ(BCNUserIdContext::prefixedUserIdFromUserId(std::nullopt), std::nullopt);
}
