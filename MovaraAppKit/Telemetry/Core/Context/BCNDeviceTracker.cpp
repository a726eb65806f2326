#include "MovaraAppKit/Telemetry/Core/Context/BCNDeviceTracker.h"

#include <algorithm>

#include "MovaraAppKit/Telemetry/Core/BCNUtility.h"
#include "MovaraAppKit/Telemetry/Core/Context/BCNHistoryStore.h"
#include "MovaraAppKit/Telemetry/Core/Model/BCNCoding.h"
#include "Platform/Foundation/Bundle.h"
#include "Platform/System/DeviceFacts.h"

namespace {

const std::string kHistoryKey = "PastDevices";

struct TrackerState {
    std::mutex mutex;
    std::shared_ptr<BCNDeviceTracker> shared;
    std::shared_ptr<BCNWrapperSdk> wrapperSdk;
    std::optional<std::string> countryCode;
    bool deviceCurrent = false;
};

TrackerState& state()
{
    static TrackerState s;
    return s;
}

std::optional<std::string> infoString(const std::string& key)
{
    auto bundle = foundation::Bundle::main();
    if (!bundle)
        return std::nullopt;
    const auto& value = bundle->objectForInfoDictionaryKey(key);
    if (!value.isString())
        return std::nullopt;
    return value.asString();
}

std::string localeCode()
{
    auto parts = sys::DeviceFacts::preferredLocale();
    const std::string script = parts.script ? "-" + *parts.script : "";
    // "C" has no country; it stands for US English.
    return parts.language + script + "_" + parts.country.value_or("US");
}

} // namespace

void BCNDeviceHistoryInfo::encodeWithCoder(foundation::KeyedArchiver& coder) const
{
    BCNHistoryInfo::encodeWithCoder(coder);
    if (m_device)
        coder.encodeObject(m_device, "deviceKey");
}

void BCNDeviceHistoryInfo::initWithCoder(foundation::KeyedUnarchiver& coder)
{
    BCNHistoryInfo::initWithCoder(coder);
    m_device = std::dynamic_pointer_cast<BCNDevice>(coder.decodeObject("deviceKey"));
}

BCN_REGISTER_CODING_CLASS(BCNDeviceHistoryInfo, { "BCNHistoryInfo" })

std::shared_ptr<BCNDeviceTracker> BCNDeviceTracker::sharedInstance()
{
    {
        std::lock_guard lock(state().mutex);
        if (state().shared)
            return state().shared;
    }
    // Built outside the state lock: building reads the wrapper SDK and the country code.
    auto tracker = std::make_shared<BCNDeviceTracker>();
    std::lock_guard lock(state().mutex);
    if (!state().shared)
        state().shared = tracker;
    return state().shared;
}

void BCNDeviceTracker::resetSharedInstance()
{
    std::lock_guard lock(state().mutex);
    state().shared.reset();
    state().wrapperSdk.reset();
    state().countryCode.reset();
    state().deviceCurrent = false;
}

void BCNDeviceTracker::refreshDeviceNextTime()
{
    std::lock_guard lock(state().mutex);
    state().deviceCurrent = false;
}

BCNDeviceTracker::BCNDeviceTracker()
{
    m_history = bcn::loadHistory<BCNDeviceHistoryInfo>(kHistoryKey);
    std::erase_if(m_history, [](const auto& entry) { return !entry->device() || !entry->timestamp(); });
    {
        std::lock_guard lock(state().mutex);
        state().deviceCurrent = false;
    }
    device();
}

void BCNDeviceTracker::store() const
{
    bcn::storeTypedHistory(kHistoryKey, m_history);
}

BCNDevicePtr BCNDeviceTracker::updatedDevice()
{
    std::lock_guard lock(m_mutex);
    auto device = std::make_shared<BCNDevice>();
    device->sdkName = BCNUtility::sdkName();
    device->sdkVersion = BCNUtility::sdkVersion();
    device->model = sys::DeviceFacts::model().value_or("Unknown");
    device->oemName = sys::DeviceFacts::manufacturer().value_or("Unknown");
    device->osName = sys::DeviceFacts::operatingSystemName();
    const auto version = sys::DeviceFacts::operatingSystemVersion();
    device->osVersion = std::to_string(version.major) + "." + std::to_string(version.minor) + "." + std::to_string(version.patch);
    device->osBuild = sys::DeviceFacts::operatingSystemBuild().value_or("Unknown");
    device->locale = localeCode();
    device->timeZoneOffset = sys::DeviceFacts::timeZoneOffsetSeconds() / 60;
    const auto screen = sys::DeviceFacts::mainScreenSize().value_or(sys::ScreenSize {});
    device->screenSize = std::to_string(screen.width) + "x" + std::to_string(screen.height);
    device->appVersion = infoString("CFBundleShortVersionString");
    device->appBuild = infoString("CFBundleVersion");
    if (auto bundle = foundation::Bundle::main(); bundle && !bundle->bundleIdentifier().empty())
        device->appNamespace = bundle->bundleIdentifier();
    std::shared_ptr<BCNWrapperSdk> wrapper;
    {
        std::lock_guard stateLock(state().mutex);
        device->carrierCountry = state().countryCode;
        wrapper = state().wrapperSdk;
        state().deviceCurrent = true;
    }
    if (wrapper) {
        device->wrapperSdkVersion = wrapper->wrapperSdkVersion;
        device->wrapperSdkName = wrapper->wrapperSdkName;
        device->wrapperRuntimeVersion = wrapper->wrapperRuntimeVersion;
        device->liveUpdateReleaseLabel = wrapper->liveUpdateReleaseLabel;
        device->liveUpdateDeploymentKey = wrapper->liveUpdateDeploymentKey;
        device->liveUpdatePackageHash = wrapper->liveUpdatePackageHash;
    }
    return device;
}

BCNDevicePtr BCNDeviceTracker::device()
{
    std::lock_guard lock(m_mutex);
    return deviceLocked();
}

BCNDevicePtr BCNDeviceTracker::deviceLocked()
{
    bool current;
    {
        std::lock_guard stateLock(state().mutex);
        current = state().deviceCurrent;
    }
    if (m_device && current)
        return m_device;
    m_device = updatedDevice();
    auto entry = std::make_shared<BCNDeviceHistoryInfo>(BCNUtility::now(), m_device);
    auto at = std::upper_bound(m_history.begin(), m_history.end(), *entry->timestamp(),
                               [](const foundation::Date& date, const auto& e) { return date < *e->timestamp(); });
    m_history.insert(at, entry);
    while (m_history.size() > MaximumHistoryCount)
        m_history.erase(m_history.begin());
    store();
    return m_device;
}

BCNDevicePtr BCNDeviceTracker::deviceForTimestamp(const std::optional<foundation::Date>& timestamp)
{
    std::lock_guard lock(m_mutex);
    if (!timestamp || m_history.empty())
        return deviceLocked();
    // The first entry later than the date; the one before it was current at that date.
    auto later = std::upper_bound(m_history.begin(), m_history.end(), *timestamp,
                                  [](const foundation::Date& date, const auto& e) { return date < *e->timestamp(); });
    if (later == m_history.begin())
        return m_history.front()->device();
    return (*std::prev(later))->device();
}

void BCNDeviceTracker::clearDevices()
{
    std::lock_guard lock(m_mutex);
    if (m_history.size() > 1)
        m_history.erase(m_history.begin(), std::prev(m_history.end()));
    store();
}

std::vector<std::shared_ptr<BCNDeviceHistoryInfo>> BCNDeviceTracker::deviceHistory() const
{
    std::lock_guard lock(m_mutex);
    return m_history;
}

void BCNDeviceTracker::setWrapperSdk(std::shared_ptr<BCNWrapperSdk> wrapperSdk)
{
    std::lock_guard lock(m_mutex);
    {
        std::lock_guard stateLock(state().mutex);
        state().wrapperSdk = std::move(wrapperSdk);
        state().deviceCurrent = false;
    }
    if (!m_history.empty())
        m_history.pop_back();
    deviceLocked();
}

std::shared_ptr<BCNWrapperSdk> BCNDeviceTracker::wrapperSdk() const
{
    std::lock_guard stateLock(state().mutex);
    return state().wrapperSdk;
}

void BCNDeviceTracker::setCountryCode(std::optional<std::string> countryCode)
{
    std::lock_guard lock(m_mutex);
    std::lock_guard stateLock(state().mutex);
    state().countryCode = std::move(countryCode);
    state().deviceCurrent = false;
}

std::optional<std::string> BCNDeviceTracker::countryCode() const
{
    std::lock_guard stateLock(state().mutex);
    return state().countryCode;
}
