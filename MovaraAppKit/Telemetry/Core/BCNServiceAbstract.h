#pragma once
// The base of the telemetry services (analytics, crashes): whether and by whom the service was
// started, the channel group and the service's own unit, the secret handed over at start, and
// a persisted enabled flag ("BeaconSDK" + group id + "IsEnabled"; absent means enabled).
// A service is a singleton of its class; the facade reaches a class through BCNServiceClass.
// Locks nest facade first, then service.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "MovaraAppKit/Telemetry/Core/BCNChannelGroup.h"

class BCNServiceAbstract : public std::enable_shared_from_this<BCNServiceAbstract> {
public:
    virtual ~BCNServiceAbstract() = default;

    // What a concrete service supplies.
    virtual std::string groupId() const = 0;
    virtual std::string serviceName() const = 0;
    virtual std::string logTag() const = 0;
    // Its class name for messages ("BCNAnalytics").
    virtual std::string className() const = 0;
    virtual std::optional<BCNChannelUnitConfiguration> channelUnitConfiguration() const { return std::nullopt; }
    virtual std::int64_t initializationPriority() const { return 500; }
    virtual bool isAppSecretRequired() const { return true; }

    // The stored flag (instance level).
    bool isEnabled() const;
    // Applies the new state first, then stores it; nothing when it is the current one.
    virtual void setEnabled(bool enabled);
    virtual void applyEnabledState(bool enabled);

    // Configured facade and started service; otherwise logs the not-started error.
    bool canBeUsed() const;
    bool isAvailable() const { return isEnabled() && isStarted(); }
    bool isStarted() const { return m_started; }
    bool isStartedFromApplication() const { return m_startedFromApplication; }

    virtual void startWithChannelGroup(std::shared_ptr<BCNChannelGroupProtocol> channelGroup,
                                       const std::optional<std::string>& appSecret,
                                       const std::optional<std::string>& transmissionTargetToken, bool fromApplication);
    virtual void updateConfigurationWithAppSecret(const std::optional<std::string>& appSecret,
                                                  const std::optional<std::string>& transmissionTargetToken);

    const std::shared_ptr<BCNChannelGroupProtocol>& channelGroup() const { return m_channelGroup; }
    const std::shared_ptr<BCNChannelUnitProtocol>& channelUnit() const { return m_channelUnit; }
    const std::optional<std::string>& appSecret() const { return m_appSecret; }
    const std::optional<std::string>& defaultTransmissionTargetToken() const { return m_defaultTransmissionTargetToken; }

    // The class-level enable operations of the service (its "+isEnabled" and "+setEnabled:"):
    // refused while the whole client is disabled, unless the facade itself is switching.
    bool classIsEnabled();
    void classSetEnabled(bool enabled);

    std::recursive_mutex& lock() const { return m_lock; }

protected:
    BCNServiceAbstract() = default;
    std::string isEnabledKey() const { return groupId() + "IsEnabled"; }
    std::string displayName() const;

private:
    mutable std::recursive_mutex m_lock;
    bool m_startedFromApplication = false;
    bool m_started = false;
    std::shared_ptr<BCNChannelGroupProtocol> m_channelGroup;
    std::shared_ptr<BCNChannelUnitProtocol> m_channelUnit;
    std::optional<std::string> m_appSecret;
    std::optional<std::string> m_defaultTransmissionTargetToken;
};

// A service class as the facade takes it: its name and its shared instance.
struct BCNServiceClass {
    std::string name;
    std::function<std::shared_ptr<BCNServiceAbstract>()> sharedInstance;

    template <class T> static BCNServiceClass of()
    {
        return { T::staticClassName(), [] { return std::static_pointer_cast<BCNServiceAbstract>(T::sharedInstance()); } };
    }
};
