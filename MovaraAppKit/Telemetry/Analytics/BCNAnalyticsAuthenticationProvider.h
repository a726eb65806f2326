#pragma once
// Obtains user tokens for the common-schema collector through the application's delegate and
// keeps the current ticket in the core's ticket cache under the SHA-256 of the ticket key. A
// new token is asked for when the current one is within ten minutes of its expiry. Tokens may
// arrive on any thread; an answer to an older request is ignored.

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "Platform/Foundation/Date.h"

class BCNAnalyticsAuthenticationProvider;

// 0: tickets prefixed "p"; 1: tickets prefixed "d".
using BCNAnalyticsAuthenticationType = unsigned;
constexpr BCNAnalyticsAuthenticationType BCNAnalyticsAuthenticationTypeCompact = 0;
constexpr BCNAnalyticsAuthenticationType BCNAnalyticsAuthenticationTypeDelegate = 1;

// Called with the token and its expiry; either may be missing when the request failed.
using BCNAcquireTokenCompletionBlock = std::function<void(const std::optional<std::string>& token, const std::optional<foundation::Date>& expiryDate)>;

class BCNAnalyticsAuthenticationProviderDelegate {
public:
    virtual ~BCNAnalyticsAuthenticationProviderDelegate() = default;
    virtual void authenticationProviderAcquireToken(BCNAnalyticsAuthenticationProvider& provider, BCNAcquireTokenCompletionBlock completionHandler) = 0;
};

class BCNAnalyticsAuthenticationProvider : public std::enable_shared_from_this<BCNAnalyticsAuthenticationProvider> {
public:
    static constexpr double kRefreshThresholdSeconds = 600;

    static std::shared_ptr<BCNAnalyticsAuthenticationProvider> make(BCNAnalyticsAuthenticationType type, const std::optional<std::string>& ticketKey,
                                                                    std::weak_ptr<BCNAnalyticsAuthenticationProviderDelegate> delegate);

    BCNAnalyticsAuthenticationType type() const { return m_type; }
    const std::optional<std::string>& ticketKey() const { return m_ticketKey; }
    const std::optional<std::string>& ticketKeyHash() const { return m_ticketKeyHash; }
    std::optional<foundation::Date> expiryDate() const;

    // Asks the delegate for a token unless a request is already in flight.
    void acquireTokenAsync();
    // The answer to the request `handler` stands for; ignored unless it is the current one.
    void handleTokenUpdate(const std::optional<std::string>& token, const std::optional<foundation::Date>& expiryDate,
                           const std::shared_ptr<const void>& handler);
    // Asks for a new token when the current one expires within the refresh threshold.
    void checkTokenExpiry() { checkTokenExpiryAt(foundation::Date::now()); }
    void checkTokenExpiryAt(foundation::Date now);

private:
    BCNAnalyticsAuthenticationProvider() = default;

    BCNAnalyticsAuthenticationType m_type = BCNAnalyticsAuthenticationTypeCompact;
    std::optional<std::string> m_ticketKey;
    std::optional<std::string> m_ticketKeyHash;
    std::weak_ptr<BCNAnalyticsAuthenticationProviderDelegate> m_delegate;
    mutable std::recursive_mutex m_lock;
    std::optional<foundation::Date> m_expiryDate;
    // Stands for the request in flight; none when idle.
    std::shared_ptr<const void> m_completionHandler;
};
