#pragma once
// The telemetry client's facade: the process-wide object through which the application
// configures the client, starts its services, switches the whole client on and off, and sets
// what every log carries. It builds the pipeline's top: the channel group with the log
// ingestion, its own channel unit "Beacon" and the common-schema delegate. Configuring twice
// from the application is refused and leaves the running client alone. Any thread; one
// recursive lock guards the facade (taken before any service's lock).

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "MovaraAppKit/Telemetry/Core/BCNChannelGroup.h"
#include "MovaraAppKit/Telemetry/Core/BCNLogger.h"
#include "MovaraAppKit/Telemetry/Core/BCNServiceAbstract.h"
#include "MovaraAppKit/Telemetry/Core/Model/BCNCustomProperties.h"
#include "Platform/Foundation/UUID.h"

class BCNCollectorChannelDelegate;
class BCNWrapperSdk;

class BCNBeacon {
public:
    // The log-ingestion endpoint used when the application sets none.
    static const std::string DefaultLogUrl;

    static std::shared_ptr<BCNBeacon> sharedInstance();
    // Drops the facade; the next sharedInstance() makes a fresh one.
    static void resetSharedInstance();

    // Configures the client with the configuration string (the application secret, optionally
    // with a "target=" token) and starts the services, highest priority first.
    static void start(const std::string& appSecret, const std::vector<BCNServiceClass>& services);
    static void startWithServices(const std::vector<BCNServiceClass>& services);
    // Starts one more service with the secret the facade already holds.
    static void startService(const BCNServiceClass& service);
    static void startFromLibraryWithServices(const std::vector<BCNServiceClass>& services);
    static void configureWithAppSecret(const std::string& appSecret);
    static void configure();

    static bool isConfigured();
    static bool isRunningInBeaconTestCloud();
    static void setEnabled(bool enabled);
    // False (and the not-configured error) before configuration.
    static bool isEnabled();
    static bool isAppDelegateForwarderEnabled();
    static std::optional<foundation::UUID> installId();
    static BCNLoggerLevel logLevel() { return BCNLogger::currentLogLevel(); }
    // Also lets buffered start-up traces out.
    static void setLogLevel(BCNLoggerLevel level);
    static BCNLogHandler logHandler() { return BCNLogger::logHandler(); }
    static void setLogHandler(BCNLogHandler handler) { BCNLogger::setLogHandler(std::move(handler)); }
    static void setLogUrl(const std::string& logUrl);
    static std::optional<std::string> logUrl();
    static void setWrapperSdk(std::shared_ptr<BCNWrapperSdk> wrapperSdk);
    static std::shared_ptr<BCNWrapperSdk> wrapperSdk();
    static void setCountryCode(const std::optional<std::string>& countryCode);
    static std::optional<std::string> countryCode();
    static void setUserId(const std::optional<std::string>& userId);
    static std::optional<std::string> userId();
    static void setCustomProperties(const BCNCustomProperties* customProperties);
    // At least 24 KiB, once per launch, before the application configures the client.
    static void setMaxStorageSize(std::int64_t sizeInBytes, std::function<void(bool)> completionHandler);
    static bool isDebuggerAttached();
    static std::string sdkVersion();
    static std::string logTag() { return "Beacon"; }
    static std::string groupId() { return "Beacon"; }

    // State the services read.
    bool isSdkConfigured() const;
    bool isEnabledStateUpdating() const;
    std::shared_ptr<BCNChannelGroupProtocol> channelGroup() const;
    std::shared_ptr<BCNChannelUnitProtocol> channelUnit() const;
    std::shared_ptr<BCNCollectorChannelDelegate> collectorChannelDelegate() const;
    std::optional<std::string> appSecret() const;
    std::vector<std::shared_ptr<BCNServiceAbstract>> services() const;
    foundation::UUID installIdValue();

    bool configureWithAppSecret(const std::optional<std::string>& appSecret, const std::optional<std::string>& transmissionTargetToken,
                                bool fromApplication);
    void startServices(const std::vector<BCNServiceClass>& services, const std::optional<std::string>& appSecret,
                       const std::optional<std::string>& transmissionTargetToken, bool fromApplication);
    bool startService(const BCNServiceClass& service, const std::optional<std::string>& appSecret,
                      const std::optional<std::string>& transmissionTargetToken, bool fromApplication);
    // The persisted switch of the whole client; absent means enabled.
    bool isEnabledFlag() const;

private:
    BCNBeacon();
    void start(const std::string& appSecret, const std::vector<BCNServiceClass>& services, bool fromApplication);
    void setEnabledInstance(bool enabled);
    void applyPipelineEnabledState(bool enabled);
    void initializeChannelGroup();
    void sendStartServiceLog(const std::vector<std::string>& names);
    void setUserIdInstance(const std::optional<std::string>& userId);
    void setLogUrlInstance(const std::string& logUrl);
    void setMaxStorageSizeInstance(std::int64_t sizeInBytes, std::function<void(bool)> completionHandler);
    bool canBeUsed() const;
    static bool shouldDisable(const std::string& serviceName);

    mutable std::recursive_mutex m_lock;
    bool m_sdkConfigured = false;
    bool m_configuredFromApplication = false;
    bool m_enabledStateUpdating = false;
    bool m_setMaxStorageSizeHasBeenCalled = false;
    std::optional<foundation::UUID> m_installId;
    std::optional<std::string> m_logUrl;
    std::shared_ptr<BCNChannelUnitProtocol> m_channelUnit;
    std::shared_ptr<BCNCollectorChannelDelegate> m_collectorChannelDelegate;
    std::shared_ptr<BCNChannelGroupProtocol> m_channelGroup;
    std::vector<std::shared_ptr<BCNServiceAbstract>> m_services;
    std::optional<std::vector<std::string>> m_startedServiceNames;
    std::optional<std::string> m_appSecret;
    std::optional<std::string> m_defaultTransmissionTargetToken;
    std::optional<std::int64_t> m_requestedMaxStorageSizeInBytes;
    std::function<void(bool)> m_maxStorageSizeCompletionHandler;
};
