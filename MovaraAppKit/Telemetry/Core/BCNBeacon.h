#pragma once
// The telemetry client's facade: the process-wide object through which the application
// configures the client, starts its services and switches the whole client on and off.
// Configuring twice from the application is refused and leaves the running client alone.
// Any thread; one recursive lock guards the facade (taken before any service's lock).

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "MovaraAppKit/Telemetry/Core/BCNChannelGroup.h"
#include "MovaraAppKit/Telemetry/Core/BCNLogger.h"
#include "MovaraAppKit/Telemetry/Core/BCNServiceAbstract.h"

class BCNBeacon {
public:
    static std::shared_ptr<BCNBeacon> sharedInstance();
    // Drops the facade; the next sharedInstance() makes a fresh one.
    static void resetSharedInstance();

    // Configures the client with the configuration string (the application secret, optionally
    // with a "target=" token) and starts the services, highest priority first.
    static void start(const std::string& appSecret, const std::vector<BCNServiceClass>& services);
    static void startWithServices(const std::vector<BCNServiceClass>& services);
    // Starts one more service with the secret the facade already holds.
    static void startService(const BCNServiceClass& service);
    static void configureWithAppSecret(const std::string& appSecret);

    static bool isConfigured();
    static void setEnabled(bool enabled);
    // False (and the not-configured error) before configuration.
    static bool isEnabled();
    static BCNLoggerLevel logLevel() { return BCNLogger::currentLogLevel(); }
    static void setLogLevel(BCNLoggerLevel level) { BCNLogger::setCurrentLogLevel(level); }
    static std::string logTag() { return "Beacon"; }
    static std::string groupId() { return "Beacon"; }

    // State the services read.
    bool isSdkConfigured() const;
    bool isEnabledStateUpdating() const;
    std::shared_ptr<BCNChannelGroupProtocol> channelGroup() const;
    std::optional<std::string> appSecret() const;
    std::vector<std::shared_ptr<BCNServiceAbstract>> services() const;

    bool configureWithAppSecret(const std::optional<std::string>& appSecret, const std::optional<std::string>& transmissionTargetToken,
                                bool fromApplication);
    void startServices(const std::vector<BCNServiceClass>& services, const std::optional<std::string>& appSecret,
                       const std::optional<std::string>& transmissionTargetToken, bool fromApplication);
    bool startService(const BCNServiceClass& service, const std::optional<std::string>& appSecret,
                      const std::optional<std::string>& transmissionTargetToken, bool fromApplication);
    // The persisted switch of the whole client; absent means enabled.
    bool isEnabledFlag() const;

private:
    BCNBeacon() = default;
    void start(const std::string& appSecret, const std::vector<BCNServiceClass>& services, bool fromApplication);
    void setEnabledInstance(bool enabled);
    void applyPipelineEnabledState(bool enabled);
    void initializeChannelGroup();
    void sendStartServiceLog(const std::vector<std::string>& names);
    bool canBeUsed() const;
    static bool shouldDisable(const std::string& serviceName);

    mutable std::recursive_mutex m_lock;
    bool m_sdkConfigured = false;
    bool m_configuredFromApplication = false;
    bool m_enabledStateUpdating = false;
    std::shared_ptr<BCNChannelUnitProtocol> m_channelUnit;
    std::shared_ptr<BCNChannelGroupProtocol> m_channelGroup;
    std::vector<std::shared_ptr<BCNServiceAbstract>> m_services;
    std::optional<std::vector<std::string>> m_startedServiceNames;
    std::optional<std::string> m_appSecret;
    std::optional<std::string> m_defaultTransmissionTargetToken;
};
