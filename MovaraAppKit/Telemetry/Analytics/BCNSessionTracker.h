#pragma once
// Groups the telemetry of one period of use into a session: stamps the current session id on
// every log prepared for storage and hands a start-session log to its delegate for each new
// session. A session ends only once the application was inactive for the timeout and no log
// was prepared for as long.

#include <memory>
#include <mutex>
#include <optional>

#include "MovaraAppKit/Telemetry/Core/BCNChannelGroup.h"
#include "MovaraAppKit/Telemetry/Core/Context/BCNSessionContext.h"
#include "Platform/Foundation/NotificationCenter.h"

class BCNSessionTracker;

class BCNSessionTrackerDelegate {
public:
    virtual ~BCNSessionTrackerDelegate() = default;
    virtual void sessionTrackerProcessLog(BCNSessionTracker& tracker, const BCNLogPtr& log) = 0;
};

class BCNSessionTracker : public BCNChannelDelegate, public std::enable_shared_from_this<BCNSessionTracker> {
public:
    BCNSessionTracker();
    ~BCNSessionTracker() override;

    // Held weakly: the delegate (the analytics service) owns the tracker.
    void setDelegate(std::weak_ptr<BCNSessionTrackerDelegate> delegate) { m_delegate = std::move(delegate); }
    double sessionTimeout() const { return m_sessionTimeout; }
    void setSessionTimeout(double seconds) { m_sessionTimeout = seconds; }
    bool isStarted() const { return m_started; }

    // Renews the session (the application counts as in use) and follows the application's
    // activation; nothing when already started.
    void start();
    // Clears the current session id; nothing when not started.
    void stop();
    void renewSessionId();
    bool hasSessionTimedOut();
    void applicationDidEnterBackground();
    void applicationWillEnterForeground();

    void channelPrepareLog(const BCNChannelPtr& channel, const BCNLogPtr& log) override;

private:
    void observe();
    void stopObserving();

    std::recursive_mutex m_lock;
    bool m_started = false;
    std::weak_ptr<BCNSessionTrackerDelegate> m_delegate;
    double m_sessionTimeout = 20.0;
    std::optional<foundation::Date> m_lastCreatedLogTime;
    std::optional<foundation::Date> m_lastEnteredForegroundTime;
    std::optional<foundation::Date> m_lastEnteredBackgroundTime;
    std::shared_ptr<BCNSessionContext> m_context;
    foundation::NotificationCenter::Token m_resignToken;
    foundation::NotificationCenter::Token m_activeToken;
};
