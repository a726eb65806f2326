#pragma once
// Every telemetry test starts from a fresh client: new facade and services, no stored
// switches, and a log handler that records what the client says.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "MovaraAppKit/Telemetry/Analytics/BCNAnalytics.h"
#include "MovaraAppKit/Telemetry/Core/BCNBeacon.h"
#include "MovaraAppKit/Telemetry/Core/BCNBeaconUserDefaults.h"
#include "MovaraAppKit/Telemetry/Core/BCNLogger.h"
#include "MovaraAppKit/Telemetry/Crashes/BCNCrashes.h"
#include "MovaraAppKit/Telemetry/Crashes/BCNCrashesUtil.h"
#include "MovaraAppKit/Telemetry/Core/BCNUtility.h"
#include "MovaraAppKit/Telemetry/Core/Context/BCNDeviceTracker.h"
#include "MovaraAppKit/Telemetry/Core/Context/BCNSessionContext.h"
#include "MovaraAppKit/Telemetry/Core/Context/BCNUserIdContext.h"
#include "Platform/Dispatch/RunLoop.h"
#include "Platform/Foundation/Bundle.h"
#include "Platform/Foundation/UserDefaults.h"
#include "Tests/Support/TempDir.h"

// A clean telemetry state for each test: the client's folder (and so its database and keychain)
// in a fresh directory, no stored "BeaconSDK" values, fresh contexts, and a log handler that
// records what the client says.
class TelemetryTest : public ::testing::Test {
protected:
    struct Line {
        BCNLoggerLevel level;
        std::string tag;
        std::string text;
    };

    // Logs need the application's version and build for their device description.
    static void useTestBundle()
    {
        static const bool installed = [] {
            auto info = foundation::Value::dictionary({ { "CFBundleIdentifier", "com.movara.quintor.tests" },
                                                        { "CFBundleShortVersionString", "1.2" },
                                                        { "CFBundleVersion", "42" } });
            foundation::Bundle::setMain(std::make_shared<foundation::Bundle>(foundation::Bundle::main()->bundlePath(),
                                                                             foundation::Bundle::main()->resourcePath(), info));
            return true;
        }();
        (void)installed;
    }

    void SetUp() override
    {
        useTestBundle();
        // The test process keeps telemetry off for everything else; here it is what is tested.
        if (const char* disable = std::getenv("BEACON_DISABLE"))
            m_previousDisable = disable;
        ::unsetenv("BEACON_DISABLE");
        if (const char* data = std::getenv("XDG_DATA_HOME"))
            m_previousDataHome = data;
        ::setenv("XDG_DATA_HOME", m_home.path().c_str(), 1);
        BCNUtility::resetBeaconDirectory();
        BCNCrashesUtil::resetDirectory();
        clearStoredValues();
        resetContexts();
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
        resetContexts();
        clearStoredValues();
        ::setenv("XDG_DATA_HOME", m_previousDataHome.c_str(), 1);
        BCNUtility::resetBeaconDirectory();
        BCNCrashesUtil::resetDirectory();
        BCNLogger::setLogHandler(BCNLogger::defaultHandler());
        BCNLogger::setCurrentLogLevel(BCNLogLevelAssert);
        BCNLogger::setIsUserDefinedLogLevel(false);
        if (m_previousDisable)
            ::setenv("BEACON_DISABLE", m_previousDisable->c_str(), 1);
        else
            ::unsetenv("BEACON_DISABLE");
    }

    static void clearStoredValues()
    {
        auto defaults = foundation::UserDefaults::standard();
        const foundation::Value all = defaults->dictionaryRepresentation();
        if (all.isDictionary())
            for (const auto& key : all.asDictionary().keys())
                if (key.starts_with("BeaconSDK") || key.starts_with("BN"))
                    defaults->removeObjectForKey(key);
    }

    static void resetContexts()
    {
        BCNDeviceTracker::resetSharedInstance();
        BCNSessionContext::resetSharedInstance();
        BCNUserIdContext::resetSharedInstance();
    }

    static void resetClient()
    {
        // Work the old pipeline queued finishes before the folders it writes to go.
        if (auto group = std::dynamic_pointer_cast<BCNChannelGroupDefault>(BCNBeacon::sharedInstance()->channelGroup()))
            group->logsDispatchQueue()->sync([] { });
        BCNBeacon::resetSharedInstance();
        BCNDependencyConfiguration::setHttpClient(nullptr);
        BCNAnalytics::resetSharedInstance();
        BCNCrashes::resetSharedInstance();
        for (const char* key : { "BeaconIsEnabled", "AnalyticsIsEnabled", "CrashesIsEnabled" })
            BCNBeaconUserDefaults::shared().removeObjectForKey(key);
        // Whatever a test starts sends to a closed local port, never to the real service.
        BCNBeacon::setLogUrl(kUnusedLocalUrl);
    }

    static constexpr const char* kUnusedLocalUrl = "http://127.0.0.1:9";

    static std::vector<BCNServiceClass> bothServices()
    {
        return { BCNServiceClass::of<BCNAnalytics>(), BCNServiceClass::of<BCNCrashes>() };
    }

    const testsupport::TempDir& home() const { return m_home; }

    // Runs the main loop until `done` holds (10 s at most); false when it never did.
    static bool waitFor(const std::function<bool()>& done) { return dispatch::RunLoop::main().runUntil(done, 10); }

    // A log of class T that passes validation: type set by T, a timestamp and this machine's device.
    template <class T = BCNStartServiceLog> static std::shared_ptr<T> validLog(double secondsSince1970 = 1700000000.5)
    {
        auto log = std::make_shared<T>();
        if (log->type().empty())
            log->setType("test");
        log->setTimestamp(foundation::Date::dateWithTimeIntervalSince1970(secondsSince1970));
        log->setDevice(BCNDeviceTracker::sharedInstance()->device());
        return log;
    }

    bool logged(BCNLoggerLevel level, const std::string& text)
    {
        std::lock_guard lock(m_mutex);
        return std::any_of(m_lines.begin(), m_lines.end(), [&](const Line& l) { return l.level == level && l.text == text; });
    }
    bool loggedStartingWith(BCNLoggerLevel level, const std::string& prefix)
    {
        std::lock_guard lock(m_mutex);
        return std::any_of(m_lines.begin(), m_lines.end(), [&](const Line& l) { return l.level == level && l.text.starts_with(prefix); });
    }
    std::size_t countStartingWith(BCNLoggerLevel level, const std::string& prefix)
    {
        std::lock_guard lock(m_mutex);
        return static_cast<std::size_t>(std::count_if(m_lines.begin(), m_lines.end(), [&](const Line& l) {
            return l.level == level && l.text.starts_with(prefix);
        }));
    }
    std::size_t lineCount()
    {
        std::lock_guard lock(m_mutex);
        return m_lines.size();
    }

    // What the running client has stored for `groupId`, oldest first.
    static std::vector<std::shared_ptr<BCNAbstractLog>> pending(const std::string& groupId)
    {
        auto group = std::dynamic_pointer_cast<BCNChannelGroupDefault>(BCNBeacon::sharedInstance()->channelGroup());
        return group ? group->storedLogs(groupId) : std::vector<std::shared_ptr<BCNAbstractLog>> {};
    }

    // The stored logs of one type (the analytics group also holds start-session logs).
    static std::vector<std::shared_ptr<BCNAbstractLog>> pendingOfType(const std::string& groupId, const std::string& type)
    {
        auto logs = pending(groupId);
        std::erase_if(logs, [&](const auto& log) { return log->type() != type; });
        return logs;
    }

    std::vector<std::string> linesAt(BCNLoggerLevel level)
    {
        std::lock_guard lock(m_mutex);
        std::vector<std::string> texts;
        for (const auto& line : m_lines)
            if (line.level == level)
                texts.push_back(line.text);
        return texts;
    }

private:
    testsupport::TempDir m_home;
    std::string m_previousDataHome;
    std::optional<std::string> m_previousDisable;
    std::mutex m_mutex;
    std::vector<Line> m_lines;
};
