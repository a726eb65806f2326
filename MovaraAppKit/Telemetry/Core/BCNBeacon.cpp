#include "MovaraAppKit/Telemetry/Core/BCNBeacon.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include <unistd.h>

#include "MovaraAppKit/Telemetry/Core/BCNBeaconUserDefaults.h"
#include "MovaraAppKit/Telemetry/Core/BCNUtility.h"
#include "MovaraAppKit/Telemetry/Core/Channel/BCNCollectorChannelDelegate.h"
#include "MovaraAppKit/Telemetry/Core/Context/BCNDeviceTracker.h"
#include "MovaraAppKit/Telemetry/Core/Context/BCNSessionContext.h"
#include "MovaraAppKit/Telemetry/Core/Context/BCNUserIdContext.h"
#include "MovaraAppKit/Telemetry/Core/DelegateForwarder/BCNDelegateForwarder.h"
#include "MovaraAppKit/Telemetry/Core/Util/BCNSharedInstance.h"
#include "MovaraAppKit/Telemetry/Core/HttpClient/BCNHttpClient.h"
#include "Platform/System/HostInfo.h"

namespace {

const std::string kEnabledKey = "BeaconIsEnabled";
const std::string kInstallIdKey = "InstallId";
constexpr std::int64_t kMinimumStorageSize = 24 * 1024;

BCNSharedInstance<BCNBeacon>& shared()
{
    static BCNSharedInstance<BCNBeacon> instance;
    return instance;
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

const std::string BCNBeacon::DefaultLogUrl = "https://in.beacon.movara.com";

BCNBeacon::BCNBeacon()
{
    // Values stored under the names of earlier client versions move once per installation.
    BCNBeaconUserDefaults::shared().migrateKeys(
        {
            { "BeaconSDKChannelStartTimer", BCNUserDefaultsPrefixKey { "BNChannelStartTimer" } },
            { "BeaconSDKPastDevices", std::string("pastDevicesKey") },
            { "BeaconSDKInstallId", std::string("BNInstallId") },
            { "BeaconSDKBeaconIsEnabled", std::string("BeaconSDKIsEnabled") },
            { "BeaconSDKEncryptionKeyMetadata", std::string("BNEncryptionKeyMetadata") },
            { "BeaconSDKSessionIdHistory", std::string("SessionIdHistory") },
            { "BeaconSDKUserIdHistory", std::string("UserIdHistory") },
        },
        "Beacon");
    // So values archived under older class names still decode.
    BCNUtility::addMigrationClasses({
        { "BNAbstractLog", "BCNAbstractLog" },
        { "BNLogWithProperties", "BCNLogWithProperties" },
        { "BNStartServiceLog", "BCNStartServiceLog" },
        { "BNLogContainer", "BCNLogContainer" },
        { "BNDeviceHistoryInfo", "BCNDeviceHistoryInfo" },
        { "BNDevice", "BCNDevice" },
        { "BNWrapperSdk", "BCNWrapperSdk" },
        { "BNSessionHistoryInfo", "BCNSessionHistoryInfo" },
        { "BNUserIdHistoryInfo", "BCNUserIdHistoryInfo" },
    });
    BCNUtility::addMigrationClasses({ { "BNCustomProperties", "BCNCustomProperties" } });
}

std::shared_ptr<BCNBeacon> BCNBeacon::sharedInstance()
{
    return shared().get([] { return std::shared_ptr<BCNBeacon>(new BCNBeacon()); });
}

void BCNBeacon::resetSharedInstance()
{
    shared().reset();
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
    if (!m_appSecret) {
        m_appSecret = appSecret;
        BCNSessionContext::sharedInstance()->setSessionId(std::nullopt);
    }
    if (!m_defaultTransmissionTargetToken)
        m_defaultTransmissionTargetToken = transmissionTargetToken;
    // The stored user ids are loaded before any log is made.
    BCNUserIdContext::sharedInstance();
    initializeChannelGroup();
    applyPipelineEnabledState(isEnabledFlag());
    m_sdkConfigured = true;
    m_configuredFromApplication = m_configuredFromApplication || fromApplication;
    if (!BCNLogger::isUserDefinedLogLevel() && BCNUtility::currentAppEnvironment() == 99)
        setLogLevel(BCNLogLevelWarning);
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
    if (!enabled) {
        BCNDeviceTracker::sharedInstance()->clearDevices();
        BCNSessionContext::sharedInstance()->clearSessionHistoryAndKeepCurrentSession(false);
        BCNUserIdContext::sharedInstance()->clearUserIdHistory();
    }
    std::lock_guard guard(m_lock);
    if (m_channelGroup)
        m_channelGroup->setEnabled(enabled, true);
    if (enabled && m_startedServiceNames) {
        auto names = std::move(*m_startedServiceNames);
        m_startedServiceNames.reset();
        sendStartServiceLog(names);
    }
}

namespace {

// Pauses every unit of the group, now and later: the process that owns the data folder sends
// what this one stores.
class FolderOwnerPause : public BCNChannelDelegate {
public:
    void channelGroupDidAddChannelUnit(BCNChannelGroupProtocol&, const std::shared_ptr<BCNChannelUnitProtocol>& unit) override
    {
        unit->pauseWithIdentifyingObject(token());
    }
    static const BCNIdentifyingObject& token()
    {
        static const BCNIdentifyingObject object = std::make_shared<int>(0);
        return object;
    }
};

} // namespace

void BCNBeacon::initializeChannelGroup()
{
    std::lock_guard guard(m_lock);
    if (!m_collectorChannelDelegate)
        m_collectorChannelDelegate = BCNCollectorChannelDelegate::init(BCNHttpClient::init(), installIdValue(),
                                                                       m_appSecret ? std::nullopt : m_logUrl);
    if (!m_channelGroup) {
        auto client = BCNDependencyConfiguration::httpClient();
        if (!client)
            client = BCNHttpClient::init();
        auto group = BCNChannelGroupDefault::initWithHttpClient(client, installIdValue().UUIDString(), m_logUrl.value_or(DefaultLogUrl));
        group->addDelegate(m_collectorChannelDelegate);
        if (!BCNUtility::ownsBeaconDirectory())
            group->addDelegate(std::make_shared<FolderOwnerPause>());
        if (m_requestedMaxStorageSizeInBytes)
            group->setMaxStorageSize(*m_requestedMaxStorageSizeInBytes, m_maxStorageSizeCompletionHandler);
        m_channelGroup = group;
    }
    m_channelGroup->setAppSecret(m_appSecret);
    if (!m_channelUnit)
        m_channelUnit = m_channelGroup->addChannelUnitWithConfiguration(BCNChannelUnitConfiguration::initDefaultConfigurationWithGroupId(groupId()));
}

void BCNBeacon::sendStartServiceLog(const std::vector<std::string>& names)
{
    std::lock_guard guard(m_lock);
    if (isEnabledFlag()) {
        auto log = std::make_shared<BCNStartServiceLog>();
        log->setServices(names);
        if (m_channelUnit)
            m_channelUnit->enqueueItem(log, BCNLogFlagsNormal);
    } else {
        if (!m_startedServiceNames)
            m_startedServiceNames.emplace();
        m_startedServiceNames->insert(m_startedServiceNames->end(), names.begin(), names.end());
    }
}

foundation::UUID BCNBeacon::installIdValue()
{
    std::lock_guard guard(m_lock);
    if (!m_installId) {
        const foundation::Value stored = BCNBeaconUserDefaults::shared().objectForKey(kInstallIdKey);
        if (stored.isString())
            m_installId = foundation::UUID::fromString(stored.asString());
        if (!m_installId) {
            m_installId = foundation::UUID::random();
            BCNBeaconUserDefaults::shared().setObjectForKey(m_installId->UUIDString(), kInstallIdKey);
        }
    }
    return *m_installId;
}

std::optional<foundation::UUID> BCNBeacon::installId()
{
    return sharedInstance()->installIdValue();
}

void BCNBeacon::configure()
{
    sharedInstance()->configureWithAppSecret(std::nullopt, std::nullopt, true);
}

void BCNBeacon::startFromLibraryWithServices(const std::vector<BCNServiceClass>& services)
{
    sharedInstance()->start("", services, false);
}

bool BCNBeacon::isRunningInBeaconTestCloud()
{
    const char* value = std::getenv("RUNNING_IN_BEACON");
    return value && std::string(value) == "1";
}

bool BCNBeacon::isAppDelegateForwarderEnabled()
{
    return BCNAppDelegateForwarder::sharedInstance()->isEnabled();
}

void BCNBeacon::setLogLevel(BCNLoggerLevel level)
{
    BCNLogger::setCurrentLogLevel(level);
    BCNDelegateForwarder::flushTraceBuffer();
}

std::shared_ptr<BCNChannelUnitProtocol> BCNBeacon::channelUnit() const
{
    std::lock_guard guard(m_lock);
    return m_channelUnit;
}

std::shared_ptr<BCNCollectorChannelDelegate> BCNBeacon::collectorChannelDelegate() const
{
    std::lock_guard guard(m_lock);
    return m_collectorChannelDelegate;
}

void BCNBeacon::setLogUrl(const std::string& logUrl)
{
    sharedInstance()->setLogUrlInstance(logUrl);
}

std::optional<std::string> BCNBeacon::logUrl()
{
    auto beacon = sharedInstance();
    std::lock_guard guard(beacon->m_lock);
    return beacon->m_logUrl;
}

void BCNBeacon::setLogUrlInstance(const std::string& logUrl)
{
    std::lock_guard guard(m_lock);
    m_logUrl = logUrl;
    if (!m_channelGroup)
        return;
    if (m_appSecret) {
        BCNLogInfo(logTag(), "The log url of Beacon endpoint was changed to " + logUrl);
        m_channelGroup->setLogUrl(logUrl);
    } else {
        BCNLogInfo(logTag(), "The log url of One Collector endpoint was changed to " + logUrl);
        if (m_collectorChannelDelegate)
            m_collectorChannelDelegate->setLogUrl(logUrl);
    }
}

void BCNBeacon::setWrapperSdk(std::shared_ptr<BCNWrapperSdk> wrapperSdk)
{
    BCNDeviceTracker::sharedInstance()->setWrapperSdk(std::move(wrapperSdk));
}

std::shared_ptr<BCNWrapperSdk> BCNBeacon::wrapperSdk()
{
    return BCNDeviceTracker::sharedInstance()->wrapperSdk();
}

void BCNBeacon::setCountryCode(const std::optional<std::string>& countryCode)
{
    BCNDeviceTracker::sharedInstance()->setCountryCode(countryCode);
}

std::optional<std::string> BCNBeacon::countryCode()
{
    return BCNDeviceTracker::sharedInstance()->countryCode();
}

void BCNBeacon::setUserId(const std::optional<std::string>& userId)
{
    sharedInstance()->setUserIdInstance(userId);
}

std::optional<std::string> BCNBeacon::userId()
{
    return BCNUserIdContext::sharedInstance()->userId();
}

void BCNBeacon::setUserIdInstance(const std::optional<std::string>& userId)
{
    {
        std::lock_guard guard(m_lock);
        if (!m_configuredFromApplication) {
            BCNLogError(logTag(), "Beacon must be configured from application, libraries cannot call setUserId.");
            return;
        }
        if (!m_appSecret && !m_defaultTransmissionTargetToken) {
            BCNLogError(logTag(), "Beacon must be configured with a secret from application to call setUserId.");
            return;
        }
        if (userId) {
            if (m_appSecret && !BCNUserIdContext::isUserIdValidForBeacon(userId))
                return;
            if (m_defaultTransmissionTargetToken && !BCNUserIdContext::isUserIdValidForCollector(userId))
                return;
        }
    }
    BCNUserIdContext::sharedInstance()->setUserId(userId);
}

void BCNBeacon::setCustomProperties(const BCNCustomProperties* customProperties)
{
    auto beacon = sharedInstance();
    const foundation::Value properties = customProperties ? customProperties->propertiesImmutableCopy() : foundation::Value();
    if (!customProperties || properties.size() == 0) {
        BCNLogError(logTag(), "Custom properties may not be null or empty");
        return;
    }
    auto unit = beacon->channelUnit();
    if (!unit)
        return;
    auto log = std::make_shared<BCNCustomPropertiesLog>();
    log->setProperties(properties);
    unit->enqueueItem(log, BCNLogFlagsNormal);
}

void BCNBeacon::setMaxStorageSize(std::int64_t sizeInBytes, std::function<void(bool)> completionHandler)
{
    sharedInstance()->setMaxStorageSizeInstance(sizeInBytes, std::move(completionHandler));
}

void BCNBeacon::setMaxStorageSizeInstance(std::int64_t sizeInBytes, std::function<void(bool)> completionHandler)
{
    if (sizeInBytes < kMinimumStorageSize) {
        if (completionHandler)
            completionHandler(false);
        BCNLogWarning(logTag(), "Cannot set storage size to " + std::to_string(sizeInBytes) + " bytes, minimum value is "
                                    + std::to_string(kMinimumStorageSize) + " bytes");
        return;
    }
    bool refused = false;
    {
        std::lock_guard guard(m_lock);
        if (m_setMaxStorageSizeHasBeenCalled) {
            BCNLogWarning(logTag(), "setMaxStorageSize:completionHandler: may only be called once per app launch");
            refused = true;
        } else {
            m_setMaxStorageSizeHasBeenCalled = true;
            if (m_configuredFromApplication) {
                BCNLogWarning(logTag(), "Unable to set storage size after the application has configured Beacon");
                refused = true;
            } else {
                m_requestedMaxStorageSizeInBytes = sizeInBytes;
                m_maxStorageSizeCompletionHandler = completionHandler;
                if (m_channelGroup)
                    m_channelGroup->setMaxStorageSize(sizeInBytes, completionHandler);
            }
        }
    }
    if (refused && completionHandler)
        completionHandler(false);
}

bool BCNBeacon::isDebuggerAttached()
{
    static const bool attached = [] {
        auto facts = sys::processFacts(::getpid());
        if (!facts) {
            std::fprintf(stderr, "[BCNCrashes] ERROR: Checking for a running debugger via sysctl() failed.\n");
            return false;
        }
        return facts->traced;
    }();
    return attached;
}

std::string BCNBeacon::sdkVersion()
{
    return BCNUtility::sdkVersion();
}
