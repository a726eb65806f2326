#include "MovaraAppKit/Telemetry/Analytics/BCNAnalyticsAuthenticationProvider.h"

#include <cmath>

#include "MovaraAppKit/Telemetry/Core/BCNLogger.h"
#include "MovaraAppKit/Telemetry/Core/BCNUtility.h"
#include "MovaraAppKit/Telemetry/Core/Ingestion/BCNHttpIngestion.h"

namespace {

const std::string kTag = "BeaconAnalytics";

} // namespace

std::shared_ptr<BCNAnalyticsAuthenticationProvider> BCNAnalyticsAuthenticationProvider::make(BCNAnalyticsAuthenticationType type,
                                                                                             const std::optional<std::string>& ticketKey,
                                                                                             std::weak_ptr<BCNAnalyticsAuthenticationProviderDelegate> delegate)
{
    std::shared_ptr<BCNAnalyticsAuthenticationProvider> provider(new BCNAnalyticsAuthenticationProvider());
    provider->m_type = type;
    provider->m_ticketKey = ticketKey;
    if (ticketKey)
        provider->m_ticketKeyHash = BCNUtility::sha256(*ticketKey);
    provider->m_delegate = std::move(delegate);
    return provider;
}

std::optional<foundation::Date> BCNAnalyticsAuthenticationProvider::expiryDate() const
{
    std::lock_guard guard(m_lock);
    return m_expiryDate;
}

void BCNAnalyticsAuthenticationProvider::acquireTokenAsync()
{
    auto delegate = m_delegate.lock();
    if (!delegate) {
        BCNLogError(kTag, "No completionhandler to acquire token has been set.");
        return;
    }
    std::shared_ptr<const void> handler;
    {
        std::lock_guard guard(m_lock);
        if (m_completionHandler)
            return;
        handler = std::make_shared<int>(0);
        m_completionHandler = handler;
    }
    std::weak_ptr<BCNAnalyticsAuthenticationProvider> weakSelf = shared_from_this();
    std::weak_ptr<const void> weakHandler = handler;
    // The delegate is asked outside the lock: it may answer at once, on this thread.
    delegate->authenticationProviderAcquireToken(*this, [weakSelf, weakHandler](const std::optional<std::string>& token,
                                                                                 const std::optional<foundation::Date>& expiryDate) {
        auto self = weakSelf.lock();
        auto handler = weakHandler.lock();
        if (self && handler)
            self->handleTokenUpdate(token, expiryDate, handler);
    });
}

void BCNAnalyticsAuthenticationProvider::handleTokenUpdate(const std::optional<std::string>& token, const std::optional<foundation::Date>& expiryDate,
                                                           const std::shared_ptr<const void>& handler)
{
    std::lock_guard guard(m_lock);
    if (!handler || handler != m_completionHandler)
        return;
    m_completionHandler = nullptr;
    BCNLogDebug(kTag, "Got result back from BNAcquireTokenCompletionBlock.");
    if (!token) {
        BCNLogError(kTag, "Token must not be null");
        return;
    }
    if (!expiryDate) {
        BCNLogError(kTag, "Date must not be null");
        return;
    }
    const std::string prefix = m_type == BCNAnalyticsAuthenticationTypeDelegate ? "d" : "p";
    if (m_ticketKeyHash)
        BCNTicketCache::sharedInstance().setTicket(prefix + ":" + *token, *m_ticketKeyHash);
    m_expiryDate = expiryDate;
}

void BCNAnalyticsAuthenticationProvider::checkTokenExpiryAt(foundation::Date now)
{
    bool refresh = false;
    {
        std::lock_guard guard(m_lock);
        refresh = m_expiryDate
            && std::trunc(now.timeIntervalSince1970()) + kRefreshThresholdSeconds >= std::trunc(m_expiryDate->timeIntervalSince1970());
    }
    if (refresh)
        acquireTokenAsync();
}
