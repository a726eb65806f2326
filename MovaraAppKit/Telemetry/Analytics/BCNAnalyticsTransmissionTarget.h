#pragma once
// Transmission targets route analytics events to the common-schema collector under a tenant
// token. A target can make child targets, which inherit its event properties and its enabled
// state; each target's property configurator overrides application fields of the collector
// logs made for it. The enabled flag of a target persists in the client's user defaults.

#include <map>
#include <memory>
#include <optional>
#include <string>

#include "MovaraAppKit/Telemetry/Analytics/BCNAnalyticsAuthenticationProvider.h"
#include "MovaraAppKit/Telemetry/Analytics/BCNEventLog.h"
#include "MovaraAppKit/Telemetry/Core/BCNChannelGroup.h"

class BCNAnalyticsTransmissionTarget;

class BCNPropertyConfigurator : public BCNChannelDelegate {
public:
    explicit BCNPropertyConfigurator(std::weak_ptr<BCNAnalyticsTransmissionTarget> target);

    const std::optional<std::string>& appVersion() const { return m_appVersion; }
    void setAppVersion(std::optional<std::string> value) { m_appVersion = std::move(value); }
    const std::optional<std::string>& appName() const { return m_appName; }
    void setAppName(std::optional<std::string> value) { m_appName = std::move(value); }
    const std::optional<std::string>& appLocale() const { return m_appLocale; }
    void setAppLocale(std::optional<std::string> value) { m_appLocale = std::move(value); }
    // Kept prefixed; a value the collector would refuse leaves the old one.
    const std::optional<std::string>& userId() const { return m_userId; }
    void setUserId(const std::optional<std::string>& userId);
    const std::optional<std::string>& deviceId() const { return m_deviceId; }

    void setEventPropertyString(const std::optional<std::string>& value, const std::optional<std::string>& key);
    void setEventPropertyDouble(double value, const std::optional<std::string>& key);
    void setEventPropertyInt64(std::int64_t value, const std::optional<std::string>& key);
    void setEventPropertyBool(bool value, const std::optional<std::string>& key);
    void setEventPropertyDate(const std::optional<foundation::Date>& value, const std::optional<std::string>& key);
    void removeEventPropertyForKey(const std::optional<std::string>& key);
    BCNEventProperties eventProperties() const;
    // Copies in every property whose key `properties` does not have yet.
    void mergeTypedPropertiesWith(BCNEventProperties& properties) const;

    void collectDeviceId();
    // "u:" and an id of this machine for this application, in UUID form: machine-id(5) says the
    // machine id itself must never leave the machine, so what is sent is derived from it as
    // sd_id128_get_machine_app_specific() does (HMAC-SHA256 keyed by the machine id over a
    // 128-bit application id, made a version-4 UUID), the application id being the first 16
    // bytes of the SHA-256 of the bundle identifier. None when the machine id can't be read or
    // isn't one, so that no made-up device id is ever sent.
    static std::optional<std::string> getDeviceIdentifier();
    static std::optional<std::string> getDeviceIdentifier(const std::string& machineIdPath, const std::string& applicationIdentifier);

    void channelPrepareLog(const BCNChannelPtr& channel, const BCNLogPtr& log) override;

private:
    std::optional<std::string> m_appVersion, m_appName, m_appLocale, m_userId;
    std::weak_ptr<BCNAnalyticsTransmissionTarget> m_transmissionTarget;
    BCNEventProperties m_eventProperties;
    std::optional<std::string> m_deviceId;
};

class BCNAnalyticsTransmissionTarget : public BCNChannelDelegate, public std::enable_shared_from_this<BCNAnalyticsTransmissionTarget> {
public:
    // Made disabled when its parent (or, without one, the analytics service) is disabled; the
    // configurator and then the target join the channel group's delegates.
    static std::shared_ptr<BCNAnalyticsTransmissionTarget> make(const std::string& token, std::shared_ptr<BCNAnalyticsTransmissionTarget> parent,
                                                                std::shared_ptr<BCNChannelGroupProtocol> channelGroup);

    const std::string& transmissionTargetToken() const { return m_token; }
    const std::shared_ptr<BCNPropertyConfigurator>& propertyConfigurator() const { return m_propertyConfigurator; }
    std::shared_ptr<BCNAnalyticsTransmissionTarget> parentTarget() const { return m_parentTarget.lock(); }
    const std::string& isEnabledKey() const { return m_isEnabledKey; }

    void trackEvent(const std::string& eventName);
    void trackEvent(const std::string& eventName, const std::optional<std::map<std::string, std::string>>& properties,
                    BCNLogFlags flags = BCNLogFlagsNormal);
    void trackEventWithTypedProperties(const std::string& eventName, const std::optional<BCNEventProperties>& properties,
                                       BCNLogFlags flags = BCNLogFlagsNormal);

    // The child under `token`, made on first request.
    std::shared_ptr<BCNAnalyticsTransmissionTarget> transmissionTargetForToken(const std::string& token);

    bool isEnabled() const;
    // Enabling under a disabled parent is refused with a warning; otherwise the value is
    // stored and handed down to every child.
    void setEnabled(bool enabled);
    void pause();
    void resume();
    bool isImmediateParent() const;

    // One provider for all targets. Adding one asks it for a token at once; none is refused.
    static void addAuthenticationProvider(const std::shared_ptr<BCNAnalyticsAuthenticationProvider>& provider);
    static std::shared_ptr<BCNAnalyticsAuthenticationProvider> authenticationProvider();
    static void setAuthenticationProvider(std::shared_ptr<BCNAnalyticsAuthenticationProvider> provider);

    // Collector logs for this target's token name the provider's ticket while it is enabled.
    void channelPrepareLog(const BCNChannelPtr& channel, const BCNLogPtr& log) override;

private:
    BCNAnalyticsTransmissionTarget() = default;

    std::shared_ptr<BCNPropertyConfigurator> m_propertyConfigurator;
    // Weak: the parent keeps its children, and the analytics service keeps the roots.
    std::weak_ptr<BCNAnalyticsTransmissionTarget> m_parentTarget;
    std::map<std::string, std::shared_ptr<BCNAnalyticsTransmissionTarget>> m_childTransmissionTargets;
    std::string m_isEnabledKey;
    // Weak: logs queued in the group hold their target as tag.
    std::weak_ptr<BCNChannelGroupProtocol> m_channelGroup;
    std::string m_token;
};
