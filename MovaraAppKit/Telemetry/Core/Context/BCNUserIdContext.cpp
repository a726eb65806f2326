#include "MovaraAppKit/Telemetry/Core/Context/BCNUserIdContext.h"

#include "MovaraAppKit/Telemetry/Core/BCNLogger.h"
#include "MovaraAppKit/Telemetry/Core/BCNUtility.h"
#include "MovaraAppKit/Telemetry/Core/Context/BCNHistoryStore.h"
#include "MovaraAppKit/Telemetry/Core/Model/BCNCoding.h"
#include "MovaraAppKit/Telemetry/Core/Util/BCNSharedInstance.h"
#include "Platform/Foundation/StringUtils.h"

namespace {

const std::string kHistoryKey = "UserIdHistory";

BCNSharedInstance<BCNUserIdContext>& shared()
{
    static BCNSharedInstance<BCNUserIdContext> instance;
    return instance;
}

} // namespace

void BCNUserIdHistoryInfo::encodeWithCoder(foundation::KeyedArchiver& coder) const
{
    BCNHistoryInfo::encodeWithCoder(coder);
    bcn::encodeString(coder, m_userId, "userIdKey");
}

void BCNUserIdHistoryInfo::initWithCoder(foundation::KeyedUnarchiver& coder)
{
    BCNHistoryInfo::initWithCoder(coder);
    m_userId = coder.decodeString("userIdKey");
}

BCN_REGISTER_CODING_CLASS(BCNUserIdHistoryInfo, { "BCNHistoryInfo" })

std::shared_ptr<BCNUserIdContext> BCNUserIdContext::sharedInstance()
{
    return shared().get();
}

void BCNUserIdContext::resetSharedInstance()
{
    shared().reset();
}

BCNUserIdContext::BCNUserIdContext()
    : m_history(kHistoryKey)
{
    BCNLogDebug("Beacon", std::to_string(m_history.loadedCount()) + " userId(s) in the history.");
    m_history.openRun();
    m_history.store();
}

std::optional<std::string> BCNUserIdContext::userId() const
{
    std::lock_guard lock(m_mutex);
    return m_history.current()->userId();
}

void BCNUserIdContext::setUserId(const std::optional<std::string>& userId)
{
    std::vector<std::shared_ptr<BCNUserIdContextDelegate>> listeners;
    {
        std::lock_guard lock(m_mutex);
        if (userId == m_history.current()->userId())
            return;
        const auto now = m_history.moveCurrentForward(userId);
        BCNLogVerbose("Beacon", "Stored new userId:" + userId.value_or("(null)") + " and timestamp: " + BCNUtility::dateToISO8601(now) + ".");
        for (const auto& weak : m_delegates)
            if (auto delegate = weak.lock())
                listeners.push_back(delegate);
    }
    for (const auto& delegate : listeners)
        delegate->userIdContextDidUpdateUserId(userId);
}

std::optional<std::string> BCNUserIdContext::userIdAt(const foundation::Date& date) const
{
    std::lock_guard lock(m_mutex);
    return m_history.valueAt(date);
}

void BCNUserIdContext::clearUserIdHistory()
{
    std::lock_guard lock(m_mutex);
    m_history.clear(true);
    BCNLogVerbose("Beacon", "Cleared old userIds while keeping current userId.");
}

std::vector<std::shared_ptr<BCNUserIdHistoryInfo>> BCNUserIdContext::userIdHistory() const
{
    std::lock_guard lock(m_mutex);
    return m_history.entries();
}

void BCNUserIdContext::addDelegate(const std::shared_ptr<BCNUserIdContextDelegate>& delegate)
{
    std::lock_guard lock(m_mutex);
    m_delegates.push_back(delegate);
}

void BCNUserIdContext::removeDelegate(const std::shared_ptr<BCNUserIdContextDelegate>& delegate)
{
    std::lock_guard lock(m_mutex);
    std::erase_if(m_delegates, [&](const auto& weak) {
        auto held = weak.lock();
        return !held || held == delegate;
    });
}

bool BCNUserIdContext::isUserIdValidForBeacon(const std::optional<std::string>& userId)
{
    if (userId && foundation::utf16Length(*userId) > 256) {
        BCNLogError("Beacon", "userId is limited to 256 characters.");
        return false;
    }
    return true;
}

bool BCNUserIdContext::isUserIdValidForCollector(const std::optional<std::string>& userId)
{
    if (!userId)
        return true;
    if (userId->empty()) {
        BCNLogError("Beacon", "userId must not be empty.");
        return false;
    }
    const auto colon = userId->find(':');
    if (colon == std::string::npos)
        return true;
    const std::string prefix = userId->substr(0, colon);
    if (prefix != "c") {
        BCNLogError("Beacon", "userId prefix must be 'c', '" + prefix + "' is not supported.");
        return false;
    }
    if (colon + 1 == userId->size()) {
        BCNLogError("Beacon", "userId must not be empty.");
        return false;
    }
    return true;
}

std::optional<std::string> BCNUserIdContext::prefixedUserIdFromUserId(const std::optional<std::string>& userId)
{
    if (!userId || userId->find(':') != std::string::npos)
        return userId;
    return "c:" + *userId;
}
