#pragma once
// The analytics service: records named events as logs for the telemetry channels (normal or
// critical persistence). Tracking before the service is started, or while it is disabled,
// does nothing. Any thread.

#include <memory>
#include <string>

#include "MovaraAppKit/Telemetry/Analytics/BCNEventLog.h"
#include "MovaraAppKit/Telemetry/Core/BCNServiceAbstract.h"

class BCNAnalytics : public BCNServiceAbstract {
public:
    static std::shared_ptr<BCNAnalytics> sharedInstance();
    static void resetSharedInstance();
    static std::string staticClassName() { return "BCNAnalytics"; }

    // Properties: a dictionary of strings, or null for none; entries whose value is not a
    // string are dropped with a warning.
    static void trackEvent(const std::string& eventName, const foundation::Value& properties = {});
    static void trackEvent(const std::string& eventName, const foundation::Value& properties, BCNLogFlags flags);
    // The class's enable switch ("+isEnabled" / "+setEnabled:").
    static bool isServiceEnabled() { return sharedInstance()->classIsEnabled(); }
    static void setServiceEnabled(bool enabled) { sharedInstance()->classSetEnabled(enabled); }

    std::string groupId() const override { return "Analytics"; }
    std::string serviceName() const override { return "Analytics"; }
    std::string logTag() const override { return "BeaconAnalytics"; }
    std::string className() const override { return staticClassName(); }
    bool isAppSecretRequired() const override { return false; }
    std::optional<BCNChannelUnitConfiguration> channelUnitConfiguration() const override;

    void startWithChannelGroup(std::shared_ptr<BCNChannelGroupProtocol> channelGroup, const std::optional<std::string>& appSecret,
                               const std::optional<std::string>& transmissionTargetToken, bool fromApplication) override;
    void applyEnabledState(bool enabled) override;

    void trackEventWithTypedProperties(const std::string& eventName, const std::optional<BCNEventProperties>& properties,
                                       BCNLogFlags flags);
    // The string entries of `properties` (a dictionary); others dropped with a warning each.
    BCNEventProperties removeInvalidProperties(const foundation::Value& properties) const;

    const std::shared_ptr<BCNChannelUnitProtocol>& criticalChannelUnit() const { return m_criticalChannelUnit; }

private:
    BCNAnalytics() = default;
    void sendLog(std::shared_ptr<BCNAbstractLog> log, BCNLogFlags flags);

    unsigned m_flushInterval = 3;
    std::shared_ptr<BCNChannelUnitProtocol> m_criticalChannelUnit;
};
