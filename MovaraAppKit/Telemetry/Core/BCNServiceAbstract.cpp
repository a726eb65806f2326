#include "MovaraAppKit/Telemetry/Core/BCNServiceAbstract.h"

#include "MovaraAppKit/Telemetry/Core/BCNBeacon.h"
#include "MovaraAppKit/Telemetry/Core/BCNBeaconUserDefaults.h"
#include "MovaraAppKit/Telemetry/Core/BCNLogger.h"

std::string BCNServiceAbstract::displayName() const
{
    // The class name without the client's prefix: "Analytics", "Crashes".
    const std::string name = className();
    return name.starts_with("BCN") ? name.substr(3) : name;
}

bool BCNServiceAbstract::isEnabled() const
{
    const auto value = BCNBeaconUserDefaults::shared().objectForKey(isEnabledKey());
    return value.isNumber() ? value.asBool() : true;
}

void BCNServiceAbstract::setEnabled(bool enabled)
{
    if (enabled == isEnabled())
        return;
    applyEnabledState(enabled);
    BCNBeaconUserDefaults::shared().setObjectForKey(enabled, isEnabledKey());
}

void BCNServiceAbstract::applyEnabledState(bool enabled)
{
    if (m_channelUnit)
        m_channelUnit->setEnabled(enabled, true);
}

bool BCNServiceAbstract::canBeUsed() const
{
    auto beacon = BCNBeacon::sharedInstance();
    if (beacon->isSdkConfigured() && m_started)
        return true;
    const std::string name = displayName();
    BCNLogError(BCNBeacon::logTag(), name + " service hasn't been started. You need to call [BCNBeacon start:YOUR_APP_SECRET withServices:LIST_OF_SERVICES] first.");
    return false;
}

void BCNServiceAbstract::startWithChannelGroup(std::shared_ptr<BCNChannelGroupProtocol> channelGroup,
                                               const std::optional<std::string>& appSecret,
                                               const std::optional<std::string>& transmissionTargetToken, bool fromApplication)
{
    m_startedFromApplication = fromApplication;
    m_channelGroup = std::move(channelGroup);
    m_appSecret = appSecret;
    m_defaultTransmissionTargetToken = transmissionTargetToken;
    m_started = true;
    if (auto configuration = channelUnitConfiguration(); configuration && m_channelGroup)
        m_channelUnit = m_channelGroup->addChannelUnitWithConfiguration(*configuration);
    if (isEnabled())
        applyEnabledState(true);
}

void BCNServiceAbstract::updateConfigurationWithAppSecret(const std::optional<std::string>& appSecret,
                                                          const std::optional<std::string>& transmissionTargetToken)
{
    m_startedFromApplication = true;
    m_appSecret = appSecret;
    m_defaultTransmissionTargetToken = transmissionTargetToken;
    if (isEnabled())
        applyEnabledState(true);
}

bool BCNServiceAbstract::classIsEnabled()
{
    std::lock_guard guard(m_lock);
    return canBeUsed() && isEnabled();
}

void BCNServiceAbstract::classSetEnabled(bool enabled)
{
    // The facade's state is read before this service's lock is taken: facade first, always.
    const bool clientEnabled = BCNBeacon::isEnabled();
    const bool facadeSwitching = BCNBeacon::sharedInstance()->isEnabledStateUpdating();
    std::lock_guard guard(m_lock);
    if (!canBeUsed())
        return;
    if (!clientEnabled && !facadeSwitching) {
        const std::string name = displayName();
        BCNLogError(BCNBeacon::logTag(), "The SDK is disabled. Re-enable the whole SDK from Beacon first before enabling " + name + " service.");
        return;
    }
    setEnabled(enabled);
}
