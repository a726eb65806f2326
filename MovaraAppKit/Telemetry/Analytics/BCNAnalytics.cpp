#include "MovaraAppKit/Telemetry/Analytics/BCNAnalytics.h"

#include "MovaraAppKit/Telemetry/Core/BCNBeacon.h"
#include "MovaraAppKit/Telemetry/Core/BCNLogger.h"
#include "MovaraAppKit/Telemetry/Core/Util/BCNSharedInstance.h"
#include "Platform/Foundation/UUID.h"

namespace {

BCNSharedInstance<BCNAnalytics>& shared()
{
    static BCNSharedInstance<BCNAnalytics> instance;
    return instance;
}

} // namespace

std::shared_ptr<BCNAnalytics> BCNAnalytics::sharedInstance()
{
    return shared().get([] { return std::shared_ptr<BCNAnalytics>(new BCNAnalytics()); });
}

void BCNAnalytics::resetSharedInstance()
{
    shared().reset();
}

std::optional<BCNChannelUnitConfiguration> BCNAnalytics::channelUnitConfiguration() const
{
    return BCNChannelUnitConfiguration::initDefaultConfigurationWithGroupId(groupId(), m_flushInterval);
}

void BCNAnalytics::startWithChannelGroup(std::shared_ptr<BCNChannelGroupProtocol> channelGroup, const std::optional<std::string>& appSecret,
                                         const std::optional<std::string>& transmissionTargetToken, bool fromApplication)
{
    BCNServiceAbstract::startWithChannelGroup(channelGroup, appSecret, transmissionTargetToken, fromApplication);
    if (channelGroup)
        m_criticalChannelUnit = channelGroup->addChannelUnitWithConfiguration(
            BCNChannelUnitConfiguration::initDefaultConfigurationWithGroupId(groupId() + "_critical"));
    BCNLogVerbose(logTag(), "Started Analytics service.");
}

void BCNAnalytics::applyEnabledState(bool enabled)
{
    BCNServiceAbstract::applyEnabledState(enabled);
    if (m_criticalChannelUnit)
        m_criticalChannelUnit->setEnabled(enabled, true);
    BCNLogInfo(logTag(), std::string("Analytics service has been ") + (enabled ? "enabled." : "disabled."));
}

void BCNAnalytics::trackEvent(const std::string& eventName, const foundation::Value& properties)
{
    trackEvent(eventName, properties, BCNLogFlagsNormal);
}

void BCNAnalytics::trackEvent(const std::string& eventName, const foundation::Value& properties, BCNLogFlags flags)
{
    auto analytics = sharedInstance();
    BCNEventProperties valid = analytics->removeInvalidProperties(properties);
    analytics->trackEventWithTypedProperties(eventName, valid, flags);
}

BCNEventProperties BCNAnalytics::removeInvalidProperties(const foundation::Value& properties) const
{
    BCNEventProperties valid;
    if (!properties.isDictionary())
        return valid;
    for (const auto& [key, value] : properties.asDictionary()) {
        if (value.isString()) {
            valid.setString(value.asString(), key);
        } else {
            const std::string name = key;
            BCNLogWarning(logTag(), "Event property contains an invalid value for key " + name + ", dropping the property.");
        }
    }
    return valid;
}

void BCNAnalytics::trackEventWithTypedProperties(const std::string& eventName, const std::optional<BCNEventProperties>& properties,
                                                 BCNLogFlags flags)
{
    std::lock_guard guard(lock());
    // Before the facade started the service this is silent: nothing is queued, nothing logged.
    if (!BCNBeacon::sharedInstance()->isSdkConfigured() || !isStarted() || !isEnabled())
        return;
    BCNLogFlags persistence = flags & 0xFF;
    if (persistence != BCNLogFlagsNormal && persistence != BCNLogFlagsCritical) {
        BCNLogWarning(logTag(), "Invalid flags (" + std::to_string(persistence) + ") received, using normal as a default.");
        persistence = BCNLogFlagsNormal;
    }
    auto log = std::make_shared<BCNEventLog>();
    log->setName(eventName);
    log->setEventId(foundation::UUID::random().UUIDString());
    if (properties && !properties->isEmpty())
        log->setTypedProperties(properties);
    sendLog(log, persistence);
}

void BCNAnalytics::sendLog(std::shared_ptr<BCNAbstractLog> log, BCNLogFlags flags)
{
    const auto& unit = (flags & BCNLogFlagsCritical) ? m_criticalChannelUnit : channelUnit();
    if (unit)
        unit->enqueueItem(std::move(log), flags);
}
