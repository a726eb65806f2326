#include "MovaraAppKit/Telemetry/Analytics/BCNSessionTracker.h"

#include "MovaraAppKit/Telemetry/Analytics/BCNPageLog.h"
#include "MovaraAppKit/Telemetry/Core/BCNBeaconUserDefaults.h"
#include "MovaraAppKit/Telemetry/Core/BCNLogger.h"
#include "MovaraAppKit/Telemetry/Core/BCNUtility.h"
#include "Platform/Foundation/UUID.h"
#include "Platform/UI/Application.h"

BCNSessionTracker::BCNSessionTracker() : m_context(BCNSessionContext::sharedInstance())
{
    // The history of sessions lives in the session context now.
    BCNBeaconUserDefaults::shared().removeObjectForKey("PastSessions");
}

BCNSessionTracker::~BCNSessionTracker() { stopObserving(); }

void BCNSessionTracker::start()
{
    {
        std::lock_guard lock(m_lock);
        if (m_started)
            return;
        m_started = true;
    }
    // Active or inactive (not in the background): the application is in use.
    if (BCNUtility::applicationState() < 2)
        renewSessionId();
    observe();
}

void BCNSessionTracker::stop()
{
    std::lock_guard lock(m_lock);
    if (!m_started)
        return;
    stopObserving();
    m_started = false;
    m_context->setSessionId(std::nullopt);
}

void BCNSessionTracker::observe()
{
    std::weak_ptr<BCNSessionTracker> weak = weak_from_this();
    auto& center = foundation::NotificationCenter::defaultCenter();
    m_resignToken = center.addObserver(ui::NSApplicationDidResignActiveNotification, nullptr, nullptr, [weak](const foundation::Notification&) {
        if (auto tracker = weak.lock())
            tracker->applicationDidEnterBackground();
    });
    m_activeToken = center.addObserver(ui::NSApplicationDidBecomeActiveNotification, nullptr, nullptr, [weak](const foundation::Notification&) {
        if (auto tracker = weak.lock())
            tracker->applicationWillEnterForeground();
    });
}

void BCNSessionTracker::stopObserving()
{
    m_resignToken.remove();
    m_activeToken.remove();
}

void BCNSessionTracker::applicationDidEnterBackground()
{
    std::lock_guard lock(m_lock);
    m_lastEnteredBackgroundTime = BCNUtility::now();
}

void BCNSessionTracker::applicationWillEnterForeground()
{
    {
        std::lock_guard lock(m_lock);
        m_lastEnteredForegroundTime = BCNUtility::now();
    }
    renewSessionId();
}

void BCNSessionTracker::renewSessionId()
{
    std::shared_ptr<BCNAbstractLog> log;
    {
        std::lock_guard lock(m_lock);
        if (!m_started)
            return;
        if (m_context->sessionId() && !hasSessionTimedOut())
            return;
        const std::string sessionId = foundation::UUID::random().UUIDString();
        m_context->setSessionId(sessionId);
        BCNLogInfo("BeaconAnalytics", "New session ID: " + sessionId);
        log = std::make_shared<BCNStartSessionLog>();
        log->setSid(sessionId);
    }
    // The delegate enqueues, which calls back into channelPrepareLog: outside the lock.
    if (auto delegate = m_delegate.lock())
        delegate->sessionTrackerProcessLog(*this, log);
}

bool BCNSessionTracker::hasSessionTimedOut()
{
    std::lock_guard lock(m_lock);
    const foundation::Date now = BCNUtility::now();
    const auto since = [&](const foundation::Date& date) { return now.timeIntervalSince1970() - date.timeIntervalSince1970(); };
    const bool noLogSentForLong = !m_lastCreatedLogTime || since(*m_lastCreatedLogTime) >= m_sessionTimeout;
    const bool isBackgroundForLong = m_lastEnteredBackgroundTime && m_lastEnteredForegroundTime
                                     && m_lastEnteredBackgroundTime->timeIntervalSince1970() > m_lastEnteredForegroundTime->timeIntervalSince1970()
                                     && since(*m_lastEnteredBackgroundTime) >= m_sessionTimeout;
    const bool wasBackgroundForLong = m_lastEnteredBackgroundTime && m_lastEnteredForegroundTime
                                      && m_lastEnteredForegroundTime->timeIntervalSince1970() - m_lastEnteredBackgroundTime->timeIntervalSince1970()
                                             >= m_sessionTimeout;
    return noLogSentForLong && (isBackgroundForLong || wasBackgroundForLong);
}

void BCNSessionTracker::channelPrepareLog(const BCNChannelPtr&, const BCNLogPtr& log)
{
    if (!log || dynamic_cast<BCNStartSessionLog*>(log.get()) || dynamic_cast<BCNStartServiceLog*>(log.get()))
        return;
    if (!dynamic_cast<BCNNoAutoAssignSessionIdLog*>(log.get()))
        log->setSid(m_context->sessionId());
    std::lock_guard lock(m_lock);
    m_lastCreatedLogTime = BCNUtility::now();
}
