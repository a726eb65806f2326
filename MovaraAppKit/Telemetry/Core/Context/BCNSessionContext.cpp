#include "MovaraAppKit/Telemetry/Core/Context/BCNSessionContext.h"

#include "MovaraAppKit/Telemetry/Core/BCNLogger.h"
#include "MovaraAppKit/Telemetry/Core/BCNUtility.h"
#include "MovaraAppKit/Telemetry/Core/Context/BCNHistoryStore.h"
#include "MovaraAppKit/Telemetry/Core/Model/BCNCoding.h"
#include "MovaraAppKit/Telemetry/Core/Util/BCNSharedInstance.h"

namespace {

const std::string kHistoryKey = "SessionIdHistory";

BCNSharedInstance<BCNSessionContext>& shared()
{
    static BCNSharedInstance<BCNSessionContext> instance;
    return instance;
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
    return shared().get();
}

void BCNSessionContext::resetSharedInstance()
{
    shared().reset();
}

BCNSessionContext::BCNSessionContext()
    : m_history(kHistoryKey)
{
    BCNLogDebug("Beacon", std::to_string(m_history.loadedCount()) + " session(s) in the history.");
    // Stored only once a session id is set.
    m_history.openRun();
}

std::optional<std::string> BCNSessionContext::sessionId() const
{
    std::lock_guard lock(m_mutex);
    return m_history.current()->sessionId();
}

void BCNSessionContext::setSessionId(const std::optional<std::string>& sessionId)
{
    std::lock_guard lock(m_mutex);
    const auto now = m_history.moveCurrentForward(sessionId);
    BCNLogVerbose("Beacon", "Stored new session with id:" + sessionId.value_or("(null)") + " and timestamp: "
                                + BCNUtility::dateToISO8601(now) + ".");
}

std::optional<std::string> BCNSessionContext::sessionIdAt(const foundation::Date& date) const
{
    std::lock_guard lock(m_mutex);
    return m_history.valueAt(date);
}

void BCNSessionContext::clearSessionHistoryAndKeepCurrentSession(bool keepCurrentSession)
{
    std::lock_guard lock(m_mutex);
    m_history.clear(keepCurrentSession);
    BCNLogVerbose("Beacon", "Cleared old sessions.");
}

std::vector<std::shared_ptr<BCNSessionHistoryInfo>> BCNSessionContext::sessionHistory() const
{
    std::lock_guard lock(m_mutex);
    return m_history.entries();
}
