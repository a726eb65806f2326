#include "MovaraAppKit/Telemetry/Core/BCNBeacon.h"

#include <algorithm>
#include <cstdlib>

#include "MovaraAppKit/Telemetry/Core/BCNBeaconUserDefaults.h"
#include "MovaraAppKit/Telemetry/Core/BCNUtility.h"

namespace {

const std::string kEnabledKey = "BeaconIsEnabled";

std::mutex& singletonMutex()
{
    static std::mutex mutex;
    return mutex;
}

std::shared_ptr<BCNBeacon>& singleton()
{
    static std::shared_ptr<BCNBeacon> beacon;
    return beacon;
}

std::string trimmed(const std::string& s)
{
    auto b = s.find_first_not_of(" \t\n\r");
    if (b == std::string::npos)
        return {};
    auto e = s.find_last_not_of(" \t\n\r");
    return s.substr(b, e - b + 1);
}

std::string joined(const std::vector<std::string>& names)
{
    std::string out;
    for (const auto& name : names)
        out += (out.empty() ? "" : ", ") + name;
    return out;
}

} // namespace

std::shared_ptr<BCNBeacon> BCNBeacon::sharedInstance()
{
    std::lock_guard lock(singletonMutex());
    auto& beacon = singleton();
    if (!beacon)
        beacon.reset(new BCNBeacon());
    return beacon;
}

void BCNBeacon::resetSharedInstance()
{
    std::lock_guard lock(singletonMutex());
    singleton().reset();
}

void BCNBeacon::start(const std::string& appSecret, const std::vector<BCNServiceClass>& services)
{
    sharedInstance()->start(appSecret, services, true);
}

void BCNBeacon::startWithServices(const std::vector<BCNServiceClass>& services)
{
    auto beacon = sharedInstance();
    if (beacon->configureWithAppSecret(std::nullopt, std::nullopt, true))
        beacon->startServices(services, std::nullopt, std::nullopt, true);
}

void BCNBeacon::startService(const BCNServiceClass& service)
{
    if (!service.sharedInstance)
        return;
    auto beacon = sharedInstance();
    std::optional<std::string> secret;
    std::optional<std::string> token;
    {
        std::lock_guard guard(beacon->m_lock);
        secret = beacon->m_appSecret;
        token = beacon->m_defaultTransmissionTargetToken;
    }
    beacon->startServices({ service }, secret, token, true);
}

void BCNBeacon::configureWithAppSecret(const std::string& appSecret)
{
    sharedInstance()->configureWithAppSecret(BCNUtility::appSecretFrom(appSecret), BCNUtility::transmissionTargetTokenFrom(appSecret), true);
}

bool BCNBeacon::isConfigured()
{
    auto beacon = sharedInstance();
    std::lock_guard guard(beacon->m_lock);
    return beacon->m_sdkConfigured && beacon->m_configuredFromApplication;
}

void BCNBeacon::setEnabled(bool enabled)
{
    sharedInstance()->setEnabledInstance(enabled);
}

bool BCNBeacon::isEnabled()
{
    auto beacon = sharedInstance();
    std::lock_guard guard(beacon->m_lock);
    return beacon->canBeUsed() && beacon->isEnabledFlag();
}

bool BCNBeacon::isSdkConfigured() const
{
    std::lock_guard guard(m_lock);
    return m_sdkConfigured;
}

bool BCNBeacon::isEnabledStateUpdating() const
{
    std::lock_guard guard(m_lock);
    return m_enabledStateUpdating;
}

std::shared_ptr<BCNChannelGroupProtocol> BCNBeacon::channelGroup() const
{
    std::lock_guard guard(m_lock);
    return m_channelGroup;
}

std::optional<std::string> BCNBeacon::appSecret() const
{
    std::lock_guard guard(m_lock);
    return m_appSecret;
}

std::vector<std::shared_ptr<BCNServiceAbstract>> BCNBeacon::services() const
{
    std::lock_guard guard(m_lock);
    return m_services;
}

bool BCNBeacon::isEnabledFlag() const
{
    const auto value = BCNBeaconUserDefaults::shared().objectForKey(kEnabledKey);
    return value.isNumber() ? value.asBool() : true;
}

bool BCNBeacon::canBeUsed() const
{
    if (m_sdkConfigured)
        return true;
    BCNLogError(logTag(), "Beacon SDK hasn't been configured. You need to call [BCNBeacon start:YOUR_APP_SECRET withServices:LIST_OF_SERVICES] first.");
    return false;
}

bool BCNBeacon::configureWithAppSecret(const std::optional<std::string>& appSecret,
                                       const std::optional<std::string>& transmissionTargetToken, bool fromApplication)
{
    std::lock_guard guard(m_lock);
    const std::string origin = fromApplication ? "" : "from a library ";
    if (fromApplication && m_configuredFromApplication) {
        BCNLogAssert(logTag(), "Beacon SDK has already been configured.");
        BCNLogAssert(logTag(), "Beacon SDK configuration " + origin + "failed.");
        return false;
    }
    // A held secret or token is never replaced.
    if (!m_appSecret)
        m_appSecret = appSecret;
    if (!m_defaultTransmissionTargetToken)
        m_defaultTransmissionTargetToken = transmissionTargetToken;
    initializeChannelGroup();
    applyPipelineEnabledState(isEnabledFlag());
    m_sdkConfigured = true;
    m_configuredFromApplication = m_configuredFromApplication || fromApplication;
    BCNLogInfo(logTag(), "Beacon SDK configured " + origin + "successfully.");
    return true;
}

void BCNBeacon::start(const std::string& appSecret, const std::vector<BCNServiceClass>& services, bool fromApplication)
{
    const auto secret = BCNUtility::appSecretFrom(appSecret);
    const auto token = BCNUtility::transmissionTargetTokenFrom(appSecret);
    if (configureWithAppSecret(secret, token, fromApplication))
        startServices(services, secret, token, fromApplication);
}

void BCNBeacon::startServices(const std::vector<BCNServiceClass>& services, const std::optional<std::string>& appSecret,
                              const std::optional<std::string>& transmissionTargetToken, bool fromApplication)
{
    if (services.empty() || !isSdkConfigured())
        return;
    // Highest initialization priority first; equal priorities keep their order.
    std::vector<std::pair<BCNServiceClass, std::int64_t>> sorted;
    for (const auto& service : services) {
        auto instance = service.sharedInstance ? service.sharedInstance() : nullptr;
        sorted.emplace_back(service, instance ? instance->initializationPriority() : 0);
    }
    std::stable_sort(sorted.begin(), sorted.end(), [](const auto& a, const auto& b) { return a.second > b.second; });

    std::vector<std::string> names;
    for (const auto& entry : sorted)
        names.push_back(entry.first.name);
    BCNLogVerbose(logTag(), "Start services " + joined(names) + " from " + (fromApplication ? "an application" : "a library"));

    std::vector<std::string> started;
    for (const auto& entry : sorted) {
        if (startService(entry.first, appSecret, transmissionTargetToken, fromApplication))
            started.push_back(entry.first.sharedInstance()->serviceName());
    }
    if (!started.empty() && fromApplication)
        sendStartServiceLog(started);
    else if (started.empty())
        BCNLogDebug(logTag(), "No services have been started.");
}

bool BCNBeacon::shouldDisable(const std::string& serviceName)
{
    const char* value = std::getenv("BEACON_DISABLE");
    if (!value)
        return false;
    std::string list = value;
    std::string::size_type start = 0;
    while (true) {
        auto end = list.find(',', start);
        const std::string element = trimmed(list.substr(start, end - start));
        if (element == serviceName || element == "All")
            return true;
        if (end == std::string::npos)
            return false;
        start = end + 1;
    }
}

bool BCNBeacon::startService(const BCNServiceClass& serviceClass, const std::optional<std::string>& appSecret,
                             const std::optional<std::string>& transmissionTargetToken, bool fromApplication)
{
    std::lock_guard guard(m_lock);
    auto service = serviceClass.sharedInstance ? serviceClass.sharedInstance() : nullptr;
    if (!service) {
        BCNLogError(logTag(), "Cannot start service " + serviceClass.name + ". Provided value is nil or invalid.");
        return false;
    }
    if (!m_sdkConfigured || (fromApplication && !m_configuredFromApplication)) {
        BCNLogError(logTag(), "Beacon has not been configured so it couldn't start the service.");
        return false;
    }
    if (fromApplication && service->isAvailable() && service->isStartedFromApplication())
        return false;
    if (service->isAppSecretRequired() && (!appSecret || appSecret->empty())) {
        BCNLogError(logTag(), "Cannot start service " + serviceClass.name + ". Beacon was started without app secret, but the service requires it.");
        return false;
    }
    if (shouldDisable(service->serviceName())) {
        BCNLogDebug(logTag(), "Environment variable to disable service has been set; not starting service " + serviceClass.name);
        return false;
    }
    if (!service->isAvailable()) {
        m_services.push_back(service);
        service->startWithChannelGroup(m_channelGroup, appSecret, transmissionTargetToken, fromApplication);
        if (service->isEnabled() && !isEnabledFlag()) {
            m_enabledStateUpdating = true;
            service->classSetEnabled(false);
            m_enabledStateUpdating = false;
        }
    } else if (fromApplication) {
        service->updateConfigurationWithAppSecret(appSecret, transmissionTargetToken);
    }
    return true;
}

void BCNBeacon::setEnabledInstance(bool enabled)
{
    std::lock_guard guard(m_lock);
    if (!canBeUsed())
        return;
    m_enabledStateUpdating = true;
    if (isEnabledFlag() != enabled) {
        BCNBeaconUserDefaults::shared().setObjectForKey(enabled, kEnabledKey);
        applyPipelineEnabledState(enabled);
    }
    for (const auto& service : m_services)
        service->classSetEnabled(enabled);
    m_enabledStateUpdating = false;
    BCNLogInfo(logTag(), std::string("Beacon SDK ") + (enabled ? "enabled" : "disabled") + ".");
}

void BCNBeacon::applyPipelineEnabledState(bool enabled)
{
    std::lock_guard guard(m_lock);
    if (m_channelGroup)
        m_channelGroup->setEnabled(enabled, true);
    if (enabled && m_startedServiceNames) {
        auto names = std::move(*m_startedServiceNames);
        m_startedServiceNames.reset();
        sendStartServiceLog(names);
    }
}

void BCNBeacon::initializeChannelGroup()
{
    std::lock_guard guard(m_lock);
    if (!m_channelGroup)
        m_channelGroup = BCNChannelGroupDefault::init();
    if (m_appSecret)
        m_channelGroup->setAppSecret(*m_appSecret);
    if (!m_channelUnit)
        m_channelUnit = m_channelGroup->addChannelUnitWithConfiguration(BCNChannelUnitConfiguration::initDefaultConfigurationWithGroupId(groupId()));
}

void BCNBeacon::sendStartServiceLog(const std::vector<std::string>& names)
{
    std::lock_guard guard(m_lock);
    if (isEnabledFlag()) {
        auto log = std::make_shared<BCNStartServiceLog>();
        log->setServices(names);
        m_channelUnit->enqueueItem(log, BCNLogFlagsNormal);
    } else {
        if (!m_startedServiceNames)
            m_startedServiceNames.emplace();
        m_startedServiceNames->insert(m_startedServiceNames->end(), names.begin(), names.end());
    }
}
