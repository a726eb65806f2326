#pragma once
// Every telemetry test starts from a fresh client: new facade and services, no stored
// switches, and a log handler that records what the client says.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "MovaraAppKit/Telemetry/Analytics/BCNAnalytics.h"
#include "MovaraAppKit/Telemetry/Core/BCNBeacon.h"
#include "MovaraAppKit/Telemetry/Core/BCNBeaconUserDefaults.h"
#include "MovaraAppKit/Telemetry/Core/BCNLogger.h"
#include "MovaraAppKit/Telemetry/Crashes/BCNCrashes.h"

class TelemetryTest : public ::testing::Test {
protected:
    struct Line {
        BCNLoggerLevel level;
        std::string tag;
        std::string text;
    };

    void SetUp() override
    {
        resetClient();
        BCNLogger::setLogHandler([this](const BCNLogMessageProvider& message, BCNLoggerLevel level, const std::string& tag,
                                        const char*, const char*, unsigned) {
            std::lock_guard lock(m_mutex);
            m_lines.push_back({ level, tag, message() });
        });
    }

    void TearDown() override
    {
        resetClient();
        BCNLogger::setLogHandler(BCNLogger::defaultHandler());
        BCNLogger::setCurrentLogLevel(BCNLogLevelAssert);
        BCNLogger::setIsUserDefinedLogLevel(false);
        ::unsetenv("BEACON_DISABLE");
    }

    static void resetClient()
    {
        BCNBeacon::resetSharedInstance();
        BCNAnalytics::resetSharedInstance();
        BCNCrashes::resetSharedInstance();
        for (const char* key : { "BeaconIsEnabled", "AnalyticsIsEnabled", "CrashesIsEnabled" })
            BCNBeaconUserDefaults::shared().removeObjectForKey(key);
    }

    static std::vector<BCNServiceClass> bothServices()
    {
        return { BCNServiceClass::of<BCNAnalytics>(), BCNServiceClass::of<BCNCrashes>() };
    }

    bool logged(BCNLoggerLevel level, const std::string& text)
    {
        std::lock_guard lock(m_mutex);
        return std::any_of(m_lines.begin(), m_lines.end(), [&](const Line& l) { return l.level == level && l.text == text; });
    }
    std::size_t lineCount()
    {
        std::lock_guard lock(m_mutex);
        return m_lines.size();
    }

    // What waits in the unit of `groupId` of the running client.
    static std::vector<std::shared_ptr<BCNAbstractLog>> pending(const std::string& groupId)
    {
        auto group = std::dynamic_pointer_cast<BCNChannelGroupDefault>(BCNBeacon::sharedInstance()->channelGroup());
        return group ? group->pendingLogs(groupId) : std::vector<std::shared_ptr<BCNAbstractLog>> {};
    }

private:
    std::mutex m_mutex;
    std::vector<Line> m_lines;
};
