#include "MovaraAppKit/Telemetry/Core/Context/BCNSessionContext.h"

#include "MovaraAppKit/Telemetry/Core/BCNLogger.h"
#include "MovaraAppKit/Telemetry/Core/BCNUtility.h"
#include "MovaraAppKit/Telemetry/Core/Context/BCNHistoryStore.h"
#include "MovaraAppKit/Telemetry/Core/Model/BCNCoding.h"

namespace {

const std::string kHistoryKey = "SessionIdHistory";

std::mutex& singletonMutex()
{
    static std::mutex mutex;
    return mutex;
}

std::shared_ptr<BCNSessionContext>& singleton()
{
    static std::shared_ptr<BCNSessionContext> context;
    return context;
}

} // namespace

void BCNSessionHistoryInfo::encodeWithCoder(foundation::KeyedArchiver& coder) const
{
    BCNHistoryInfo::encodeWithCoder(coder);
    bcn::encodeString(coder, m_sessionId, "sessionIdKey");
}

void BCNSessionHistoryInfo::initWithCoder(foundation::KeyedUnarchiver& coder)
{
    BCNHistoryInfo::initWithCoder(coder);
    m_sessionId = coder.decodeString("sessionIdKey");
}

BCN_REGISTER_CODING_CLASS(BCNSessionHistoryInfo, { "BCNHistoryInfo" })

std::shared_ptr<BCNSessionContext> BCNSessionContext::sharedInstance()
{
    std::lock_guard lock(singletonMutex());
    if (!singleton())
        singleton() = std::make_shared<BCNSessionContext>();
    return singleton();
}

void BCNSessionContext::resetSharedInstance()
{
    std::lock_guard lock(singletonMutex());
    singleton().reset();
}

BCNSessionContext::BCNSessionContext()
{
    m_history = bcn::loadHistory<BCNSessionHistoryInfo>(kHistoryKey);
    BCNLogDebug("Beacon", std::to_string(m_history.size()) + " session(s) in the history.");
    m_current = std::make_shared<BCNSessionHistoryInfo>();
    m_current->setTimestamp(BCNUtility::now());
    m_history.push_back(m_current);
}

std::optional<std::string> BCNSessionContext::sessionId() const
{
    std::lock_guard lock(m_mutex);
    return m_current->sessionId();
}

void BCNSessionContext::setSessionId(const std::optional<std::string>& sessionId)
{
    std::lock_guard lock(m_mutex);
    if (!m_history.empty())
        m_history.pop_back();
    const auto now = BCNUtility::now();
    m_current->setSessionId(sessionId);
    m_current->setTimestamp(now);
    m_history.push_back(m_current);
    bcn::storeTypedHistory(kHistoryKey, m_history);
    BCNLogVerbose("Beacon", "Stored new session with id:" + sessionId.value_or("(null)") + " and timestamp: "
                                + BCNUtility::dateToISO8601(now) + ".");
}

std::optional<std::string> BCNSessionContext::sessionIdAt(const foundation::Date& date) const
{
    std::lock_guard lock(m_mutex);
    for (auto it = m_history.rbegin(); it != m_history.rend(); ++it)
        if ((*it)->timestamp() && *(*it)->timestamp() < date)
            return (*it)->sessionId();
    return std::nullopt;
}

void BCNSessionContext::clearSessionHistoryAndKeepCurrentSession(bool keepCurrentSession)
{
    std::lock_guard lock(m_mutex);
    m_history.clear();
    if (keepCurrentSession)
        m_history.push_back(m_current);
    bcn::storeTypedHistory(kHistoryKey, m_history);
    BCNLogVerbose("Beacon", "Cleared old sessions.");
}

std::vector<std::shared_ptr<BCNSessionHistoryInfo>> BCNSessionContext::sessionHistory() const
{
    std::lock_guard lock(m_mutex);
    return m_history;
}
