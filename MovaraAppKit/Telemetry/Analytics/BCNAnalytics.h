#pragma once
// The analytics service: records named events and page views as logs for the telemetry
// channels (normal or critical persistence), runs the session tracker, and checks names and
// properties before anything is stored. Tracking before the service is started, or while it
// is disabled, does nothing. Failures go only to the log (tag "BeaconAnalytics"). Any thread.

#include <atomic>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "MovaraAppKit/Telemetry/Analytics/BCNEventLog.h"
#include "MovaraAppKit/Telemetry/Analytics/BCNPageLog.h"
#include "MovaraAppKit/Telemetry/Analytics/BCNSessionTracker.h"
#include "MovaraAppKit/Telemetry/Core/BCNServiceAbstract.h"

class BCNAnalytics;
class BCNAnalyticsTransmissionTarget;

// Told about the sending of event and page logs, on the channel group's queue. Every call is
// optional.
class BCNAnalyticsDelegate {
public:
    virtual ~BCNAnalyticsDelegate() = default;
    virtual void analyticsWillSendEventLog(BCNAnalytics&, const std::shared_ptr<BCNEventLog>&) { }
    virtual void analyticsDidSucceedSendingEventLog(BCNAnalytics&, const std::shared_ptr<BCNEventLog>&) { }
    virtual void analyticsDidFailSendingEventLog(BCNAnalytics&, const std::shared_ptr<BCNEventLog>&, const foundation::ErrorPtr&) { }
    virtual void analyticsWillSendPageLog(BCNAnalytics&, const std::shared_ptr<BCNPageLog>&) { }
    virtual void analyticsDidSucceedSendingPageLog(BCNAnalytics&, const std::shared_ptr<BCNPageLog>&) { }
    virtual void analyticsDidFailSendingPageLog(BCNAnalytics&, const std::shared_ptr<BCNPageLog>&, const foundation::ErrorPtr&) { }
};

class BCNAnalytics : public BCNServiceAbstract, public BCNChannelDelegate, public BCNSessionTrackerDelegate {
public:
    static std::shared_ptr<BCNAnalytics> sharedInstance();
    // Stops the current instance's session tracker and forgets the instance.
    static void resetSharedInstance();
    static std::string staticClassName() { return "BCNAnalytics"; }

    static constexpr unsigned kDefaultTransmissionInterval = 3;
    static constexpr unsigned kMinTransmissionInterval = 3;
    static constexpr unsigned kMaxTransmissionInterval = 86400;

    // Properties: a dictionary of strings, or null for none; entries whose value is not a
    // string are dropped with a warning each.
    static void trackEvent(const std::string& eventName, const foundation::Value& properties = {});
    static void trackEvent(const std::string& eventName, const foundation::Value& properties, BCNLogFlags flags);
    static void trackEventWithTypedProperties(const std::string& eventName, const std::optional<BCNEventProperties>& properties,
                                              BCNLogFlags flags = BCNLogFlagsNormal);
    // Events for a transmission target (none: the default target, when there is one).
    static void trackEventWithTypedProperties(const std::string& eventName, const std::optional<BCNEventProperties>& properties,
                                              const std::shared_ptr<BCNAnalyticsTransmissionTarget>& target, BCNLogFlags flags);
    // The target for a token, made on first request and kept for the process's life.
    static std::shared_ptr<BCNAnalyticsTransmissionTarget> transmissionTargetForToken(const std::string& token)
    {
        return sharedInstance()->transmissionTargetForTokenInstance(token);
    }
    static void pauseTransmissionTargetForToken(const std::string& token) { sharedInstance()->pauseTransmissionTargetForTokenInstance(token); }
    static void resumeTransmissionTargetForToken(const std::string& token) { sharedInstance()->resumeTransmissionTargetForTokenInstance(token); }
    static void trackPage(const std::string& pageName, const foundation::Value& properties = {});
    static void pause() { sharedInstance()->pauseInstance(); }
    static void resume() { sharedInstance()->resumeInstance(); }
    static unsigned transmissionInterval() { return sharedInstance()->m_flushInterval; }
    static void setTransmissionInterval(unsigned seconds) { sharedInstance()->setTransmissionIntervalInstance(seconds); }
    static bool isAutoPageTrackingEnabled() { return sharedInstance()->m_autoPageTrackingEnabled; }
    // Page views of appearing view controllers (once BCNAnalyticsCategory is activated).
    static void setAutoPageTrackingEnabled(bool enabled) { sharedInstance()->m_autoPageTrackingEnabled = enabled; }
    static void setDelegate(std::shared_ptr<BCNAnalyticsDelegate> delegate);
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
    void updateConfigurationWithAppSecret(const std::optional<std::string>& appSecret,
                                          const std::optional<std::string>& transmissionTargetToken) override;
    void applyEnabledState(bool enabled) override;
    // Also hands the value to every transmission target, the default one last.
    void setEnabled(bool enabled) override;
    // The key of the service's enabled flag; targets keep theirs under it.
    std::string serviceEnabledKey() const { return isEnabledKey(); }

    void trackEventInstance(const std::string& eventName, const std::optional<BCNEventProperties>& properties, BCNLogFlags flags,
                            std::shared_ptr<BCNAnalyticsTransmissionTarget> target = nullptr);
    std::shared_ptr<BCNAnalyticsTransmissionTarget> transmissionTargetForTokenInstance(const std::string& token);
    std::shared_ptr<BCNAnalyticsTransmissionTarget> createTransmissionTargetForToken(const std::string& token);
    void pauseTransmissionTargetForTokenInstance(const std::string& token);
    void resumeTransmissionTargetForTokenInstance(const std::string& token);
    const std::shared_ptr<BCNAnalyticsTransmissionTarget>& defaultTransmissionTarget() const { return m_defaultTransmissionTarget; }
    // The collector units ("Analytics/one", "Analytics_critical/one"), once the core made them.
    std::shared_ptr<BCNChannelUnitProtocol> collectorChannelUnit() const;
    std::shared_ptr<BCNChannelUnitProtocol> collectorCriticalChannelUnit() const;
    void trackPageInstance(const std::string& pageName, const foundation::Value& properties);
    // The string entries of `properties` (a dictionary); others dropped with a warning each.
    foundation::Value removeInvalidProperties(const foundation::Value& properties) const;
    void pauseInstance();
    void resumeInstance();
    void setTransmissionIntervalInstance(unsigned seconds);

    const std::shared_ptr<BCNChannelUnitProtocol>& criticalChannelUnit() const { return m_criticalChannelUnit; }
    const std::shared_ptr<BCNSessionTracker>& sessionTracker() const { return m_sessionTracker; }

    // Checks of names and properties.
    // Drops (true) event and page logs whose name is missing or empty; cuts long names.
    bool channelUnitShouldFilterLog(BCNChannelUnitProtocol& unit, const BCNLogPtr& log) override;
    bool validateLog(BCNLogWithNameAndProperties& log) const;
    std::optional<std::string> validateEventName(const std::optional<std::string>& name, const std::string& logType) const;
    foundation::Value validateProperties(const foundation::Value& properties, const std::string& logName, const std::string& logType) const;
    // At most 20 properties, names and string values cut to 125 UTF-16 units.
    BCNEventProperties validateBeaconEventProperties(const BCNEventProperties& properties) const;
    std::shared_ptr<BCNTypedProperty> validateBeaconTypedProperty(const BCNTypedProperty& property) const;
    std::string validateBeaconPropertyName(const std::string& name) const;
    std::string validateBeaconStringTypedPropertyValue(const std::string& value) const;

    void sessionTrackerProcessLog(BCNSessionTracker& tracker, const BCNLogPtr& log) override;
    void channelWillSendLog(const BCNChannelPtr& channel, const BCNLogPtr& log) override;
    void channelDidSucceedSendingLog(const BCNChannelPtr& channel, const BCNLogPtr& log) override;
    void channelDidFailSendingLog(const BCNChannelPtr& channel, const BCNLogPtr& log, const foundation::ErrorPtr& error) override;

private:
    BCNAnalytics();
    void sendLog(std::shared_ptr<BCNAbstractLog> log, BCNLogFlags flags);
    std::shared_ptr<BCNAnalyticsDelegate> delegate() const;

    std::atomic<bool> m_autoPageTrackingEnabled { false };
    unsigned m_flushInterval = kDefaultTransmissionInterval;
    std::shared_ptr<BCNSessionTracker> m_sessionTracker;
    std::shared_ptr<BCNChannelUnitProtocol> m_criticalChannelUnit;
    mutable std::mutex m_delegateMutex;
    std::shared_ptr<BCNAnalyticsDelegate> m_delegate;
    std::map<std::string, std::shared_ptr<BCNAnalyticsTransmissionTarget>> m_transmissionTargets;
    std::shared_ptr<BCNAnalyticsTransmissionTarget> m_defaultTransmissionTarget;
};
