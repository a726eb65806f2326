#include "MovaraAppKit/Telemetry/Analytics/BCNAnalytics.h"

#include "MovaraAppKit/Telemetry/Analytics/BCNAnalyticsCategory.h"
#include "MovaraAppKit/Telemetry/Analytics/BCNAnalyticsTransmissionTarget.h"
#include "MovaraAppKit/Telemetry/Core/Context/BCNUserIdContext.h"
#include "MovaraAppKit/Telemetry/Core/BCNBeacon.h"
#include "MovaraAppKit/Telemetry/Core/BCNBeaconUserDefaults.h"
#include "MovaraAppKit/Telemetry/Core/BCNLogger.h"
#include "MovaraAppKit/Telemetry/Core/BCNUtility.h"
#include "MovaraAppKit/Telemetry/Core/Util/BCNSharedInstance.h"
#include "Platform/Dispatch/Queue.h"
#include "Platform/Foundation/UUID.h"

namespace {

BCNSharedInstance<BCNAnalytics>& shared()
{
    static BCNSharedInstance<BCNAnalytics> instance;
    return instance;
}

} // namespace

BCNAnalytics::BCNAnalytics()
{
    BCNBeaconUserDefaults::shared().migrateKeys(
        { { "BeaconSDKAnalyticsIsEnabled", BCNUserDefaultsPrefixKey { "kBNAnalyticsIsEnabledKey" } },
          { "BeaconSDKPastSessions", std::string("pastSessionsKey") } },
        "Analytics");
    BCNUtility::addMigrationClasses({
        { "BNSessionHistoryInfo", "BCNSessionHistoryInfo" },
        { "BNAbstractLog", "BCNAbstractLog" },
        { "BNEventLog", "BCNEventLog" },
        { "BNPageLog", "BCNPageLog" },
        { "BNEventProperties", "BCNEventProperties" },
        { "BNLogWithNameAndProperties", "BCNLogWithNameAndProperties" },
        { "BNBooleanTypedProperty", "BCNBooleanTypedProperty" },
        { "BNDateTimeTypedProperty", "BCNDateTimeTypedProperty" },
        { "BNDoubleTypedProperty", "BCNDoubleTypedProperty" },
        { "BNLongTypedProperty", "BCNLongTypedProperty" },
        { "BNStringTypedProperty", "BCNStringTypedProperty" },
        { "BNTypedProperty", "BCNTypedProperty" },
        { "BNStartSessionLog", "BCNStartSessionLog" },
    });
    m_sessionTracker = std::make_shared<BCNSessionTracker>();
}

std::shared_ptr<BCNAnalytics> BCNAnalytics::sharedInstance()
{
    return shared().get([] {
        std::shared_ptr<BCNAnalytics> analytics(new BCNAnalytics());
        analytics->m_sessionTracker->setDelegate(std::static_pointer_cast<BCNSessionTrackerDelegate>(analytics));
        return analytics;
    });
}

void BCNAnalytics::resetSharedInstance()
{
    if (auto old = shared().reset())
        old->m_sessionTracker->stop();
}

std::optional<BCNChannelUnitConfiguration> BCNAnalytics::channelUnitConfiguration() const
{
    return BCNChannelUnitConfiguration::initDefaultConfigurationWithGroupId(groupId(), m_flushInterval);
}

void BCNAnalytics::startWithChannelGroup(std::shared_ptr<BCNChannelGroupProtocol> channelGroup, const std::optional<std::string>& appSecret,
                                         const std::optional<std::string>& transmissionTargetToken, bool fromApplication)
{
    // The base start applies the enabled state, which starts the session tracker: its first
    // start-session log goes to the main unit, before the critical unit exists.
    BCNServiceAbstract::startWithChannelGroup(channelGroup, appSecret, transmissionTargetToken, fromApplication);
    if (transmissionTargetToken)
        m_defaultTransmissionTarget = createTransmissionTargetForToken(*transmissionTargetToken);
    if (channelGroup)
        m_criticalChannelUnit = channelGroup->addChannelUnitWithConfiguration(
            BCNChannelUnitConfiguration::initDefaultConfigurationWithGroupId(groupId() + "_critical"));
    BCNLogVerbose(logTag(), "Started Analytics service.");
}

void BCNAnalytics::updateConfigurationWithAppSecret(const std::optional<std::string>& appSecret,
                                                    const std::optional<std::string>& transmissionTargetToken)
{
    BCNServiceAbstract::updateConfigurationWithAppSecret(appSecret, transmissionTargetToken);
    if (transmissionTargetToken && !m_defaultTransmissionTarget)
        m_defaultTransmissionTarget = createTransmissionTargetForToken(*transmissionTargetToken);
}

void BCNAnalytics::setEnabled(bool enabled)
{
    BCNServiceAbstract::setEnabled(enabled);
    for (const auto& [token, target] : m_transmissionTargets)
        target->setEnabled(enabled);
    if (m_defaultTransmissionTarget)
        m_defaultTransmissionTarget->setEnabled(enabled);
}

std::shared_ptr<BCNAnalyticsTransmissionTarget> BCNAnalytics::transmissionTargetForTokenInstance(const std::string& token)
{
    if (auto found = m_transmissionTargets.find(token); found != m_transmissionTargets.end()) {
        BCNLogDebug(logTag(), "Returning transmission target found with id " + BCNUtility::targetKeyFromTargetToken(token).value_or("") + ".");
        return found->second;
    }
    auto target = createTransmissionTargetForToken(token);
    m_transmissionTargets[token] = target;
    return target;
}

std::shared_ptr<BCNAnalyticsTransmissionTarget> BCNAnalytics::createTransmissionTargetForToken(const std::string& token)
{
    auto target = BCNAnalyticsTransmissionTarget::make(token, nullptr, channelGroup());
    BCNLogDebug(logTag(), "Created transmission target with target key " + BCNUtility::targetKeyFromTargetToken(token).value_or("") + ".");
    return target;
}

std::shared_ptr<BCNChannelUnitProtocol> BCNAnalytics::collectorChannelUnit() const
{
    return channelGroup() ? channelGroup()->channelUnitForGroupId(groupId() + "/one") : nullptr;
}

std::shared_ptr<BCNChannelUnitProtocol> BCNAnalytics::collectorCriticalChannelUnit() const
{
    return channelGroup() ? channelGroup()->channelUnitForGroupId(groupId() + "_critical/one") : nullptr;
}

void BCNAnalytics::pauseTransmissionTargetForTokenInstance(const std::string& token)
{
    for (const auto& unit : { collectorChannelUnit(), collectorCriticalChannelUnit() })
        if (unit)
            unit->pauseSendingLogsWithToken(token);
}

void BCNAnalytics::resumeTransmissionTargetForTokenInstance(const std::string& token)
{
    for (const auto& unit : { collectorChannelUnit(), collectorCriticalChannelUnit() })
        if (unit)
            unit->resumeSendingLogsWithToken(token);
}

void BCNAnalytics::applyEnabledState(bool enabled)
{
    BCNServiceAbstract::applyEnabledState(enabled);
    if (m_criticalChannelUnit)
        m_criticalChannelUnit->setEnabled(enabled, true);
    if (isStartedFromApplication()) {
        auto self = std::dynamic_pointer_cast<BCNAnalytics>(shared_from_this());
        if (enabled) {
            resumeInstance();
            m_sessionTracker->start();
            if (channelGroup()) {
                channelGroup()->addDelegate(m_sessionTracker);
                channelGroup()->addDelegate(self);
            }
            // A page that appeared before the service could take it is tracked now, by name. It
            // stays remembered until a page is reported directly.
            if (m_autoPageTrackingEnabled)
                dispatch::Queue::main()->async([] {
                    if (auto missed = BCNAnalyticsCategory::missedPageViewName(); missed && !missed->empty())
                        BCNAnalytics::trackPage(*missed);
                });
        } else {
            if (channelGroup()) {
                channelGroup()->removeDelegate(m_sessionTracker);
                channelGroup()->removeDelegate(self);
            }
            m_sessionTracker->stop();
            BCNSessionContext::sharedInstance()->clearSessionHistoryAndKeepCurrentSession(false);
        }
    }
    BCNLogInfo(logTag(), std::string("Analytics service has been ") + (enabled ? "enabled." : "disabled."));
}

void BCNAnalytics::trackEvent(const std::string& eventName, const foundation::Value& properties)
{
    trackEvent(eventName, properties, BCNLogFlagsNormal);
}

void BCNAnalytics::trackEvent(const std::string& eventName, const foundation::Value& properties, BCNLogFlags flags)
{
    auto analytics = sharedInstance();
    const foundation::Value valid = analytics->removeInvalidProperties(properties);
    analytics->trackEventInstance(eventName, BCNEventProperties::initWithStringDictionary(valid), flags);
}

void BCNAnalytics::trackEventWithTypedProperties(const std::string& eventName, const std::optional<BCNEventProperties>& properties,
                                                 BCNLogFlags flags)
{
    sharedInstance()->trackEventInstance(eventName, properties, flags);
}

void BCNAnalytics::trackEventWithTypedProperties(const std::string& eventName, const std::optional<BCNEventProperties>& properties,
                                                 const std::shared_ptr<BCNAnalyticsTransmissionTarget>& target, BCNLogFlags flags)
{
    sharedInstance()->trackEventInstance(eventName, properties, flags, target);
}

void BCNAnalytics::trackPage(const std::string& pageName, const foundation::Value& properties)
{
    sharedInstance()->trackPageInstance(pageName, properties);
}

void BCNAnalytics::setDelegate(std::shared_ptr<BCNAnalyticsDelegate> delegate)
{
    auto analytics = sharedInstance();
    std::lock_guard lock(analytics->m_delegateMutex);
    analytics->m_delegate = std::move(delegate);
}

std::shared_ptr<BCNAnalyticsDelegate> BCNAnalytics::delegate() const
{
    std::lock_guard lock(m_delegateMutex);
    return m_delegate;
}

foundation::Value BCNAnalytics::removeInvalidProperties(const foundation::Value& properties) const
{
    foundation::Value valid = foundation::Value::dictionary();
    if (!properties.isDictionary())
        return valid;
    for (const auto& [key, value] : properties.asDictionary()) {
        if (value.isString())
            valid.set(key, value);
        else
            BCNLogWarning(logTag(), "Event property contains an invalid value for key " + key + ", dropping the property.");
    }
    return valid;
}

namespace {

// Quiet when unusable: tracking before the facade started the service queues and says nothing.
bool usable(const BCNServiceAbstract& service)
{
    return BCNBeacon::sharedInstance()->isSdkConfigured() && service.isStarted() && service.isEnabled();
}

} // namespace

void BCNAnalytics::trackEventInstance(const std::string& eventName, const std::optional<BCNEventProperties>& properties, BCNLogFlags flags,
                                      std::shared_ptr<BCNAnalyticsTransmissionTarget> target)
{
    std::lock_guard guard(lock());
    if (!usable(*this))
        return;
    BCNLogFlags persistence = flags & 0xFF;
    if (persistence != BCNLogFlagsNormal && persistence != BCNLogFlagsCritical) {
        BCNLogWarning(logTag(), "Invalid flags (" + std::to_string(persistence) + ") received, using normal as a default.");
        persistence = BCNLogFlagsNormal;
    }
    if (!target)
        target = m_defaultTransmissionTarget;
    auto log = std::make_shared<BCNEventLog>();
    std::optional<BCNEventProperties> checked;
    if (target) {
        if (!target->isEnabled()) {
            BCNLogError(logTag(), "This transmission target is disabled.");
            return;
        }
        log->addTransmissionTargetToken(target->transmissionTargetToken());
        log->setTag(target);
        if (target == m_defaultTransmissionTarget)
            log->setUserId(BCNUserIdContext::sharedInstance()->userId());
        checked = properties;
    } else if (properties) {
        checked = validateBeaconEventProperties(*properties);
    }
    log->setName(eventName);
    log->setEventId(foundation::UUID::random().UUIDString());
    if (checked && !checked->isEmpty())
        log->setTypedProperties(std::move(checked));
    sendLog(log, persistence);
}

void BCNAnalytics::trackPageInstance(const std::string& pageName, const foundation::Value& properties)
{
    std::lock_guard guard(lock());
    if (!usable(*this))
        return;
    auto log = std::make_shared<BCNPageLog>();
    log->setName(pageName);
    if (properties.isDictionary() && properties.size() > 0)
        log->setProperties(removeInvalidProperties(properties));
    sendLog(log, BCNLogFlagsNormal);
}

void BCNAnalytics::sendLog(std::shared_ptr<BCNAbstractLog> log, BCNLogFlags flags)
{
    const auto& unit = (flags & BCNLogFlagsCritical) ? m_criticalChannelUnit : channelUnit();
    if (unit)
        unit->enqueueItem(std::move(log), flags);
}

void BCNAnalytics::sessionTrackerProcessLog(BCNSessionTracker&, const BCNLogPtr& log) { sendLog(log, BCNLogFlagsNormal); }

void BCNAnalytics::pauseInstance()
{
    std::lock_guard guard(lock());
    if (!canBeUsed())
        return;
    const BCNIdentifyingObject self = shared_from_this();
    if (channelUnit())
        channelUnit()->pauseWithIdentifyingObject(self);
    if (m_criticalChannelUnit)
        m_criticalChannelUnit->pauseWithIdentifyingObject(self);
}

void BCNAnalytics::resumeInstance()
{
    std::lock_guard guard(lock());
    if (!canBeUsed())
        return;
    const BCNIdentifyingObject self = shared_from_this();
    if (channelUnit())
        channelUnit()->resumeWithIdentifyingObject(self);
    if (m_criticalChannelUnit)
        m_criticalChannelUnit->resumeWithIdentifyingObject(self);
}

void BCNAnalytics::setTransmissionIntervalInstance(unsigned seconds)
{
    if (isStarted()) {
        BCNLogError(logTag(), "The transmission interval should be set before the BCNAnalytics service is started.");
        return;
    }
    if (seconds < kMinTransmissionInterval || seconds > kMaxTransmissionInterval) {
        BCNLogError(logTag(), "The transmission interval is not valid, it should be between " + std::to_string(kMinTransmissionInterval)
                                  + " second(s) and " + std::to_string(kMaxTransmissionInterval) + " second(s) (1 day).");
        return;
    }
    m_flushInterval = seconds;
    BCNLogDebug(logTag(), "Transmission interval set to " + std::to_string(seconds) + " second(s)");
}

namespace {

// Event logs to the event calls, page logs to the page calls, nothing for other logs.
template <class OnEvent, class OnPage>
void tellDelegate(const std::shared_ptr<BCNAnalyticsDelegate>& delegate, const BCNLogPtr& log, OnEvent onEvent, OnPage onPage)
{
    if (!delegate)
        return;
    if (auto event = std::dynamic_pointer_cast<BCNEventLog>(log))
        onEvent(*delegate, event);
    else if (auto page = std::dynamic_pointer_cast<BCNPageLog>(log))
        onPage(*delegate, page);
}

} // namespace

void BCNAnalytics::channelWillSendLog(const BCNChannelPtr&, const BCNLogPtr& log)
{
    tellDelegate(
        delegate(), log, [&](BCNAnalyticsDelegate& d, const auto& event) { d.analyticsWillSendEventLog(*this, event); },
        [&](BCNAnalyticsDelegate& d, const auto& page) { d.analyticsWillSendPageLog(*this, page); });
}

void BCNAnalytics::channelDidSucceedSendingLog(const BCNChannelPtr&, const BCNLogPtr& log)
{
    tellDelegate(
        delegate(), log, [&](BCNAnalyticsDelegate& d, const auto& event) { d.analyticsDidSucceedSendingEventLog(*this, event); },
        [&](BCNAnalyticsDelegate& d, const auto& page) { d.analyticsDidSucceedSendingPageLog(*this, page); });
}

void BCNAnalytics::channelDidFailSendingLog(const BCNChannelPtr&, const BCNLogPtr& log, const foundation::ErrorPtr& error)
{
    tellDelegate(
        delegate(), log, [&](BCNAnalyticsDelegate& d, const auto& event) { d.analyticsDidFailSendingEventLog(*this, event, error); },
        [&](BCNAnalyticsDelegate& d, const auto& page) { d.analyticsDidFailSendingPageLog(*this, page, error); });
}
