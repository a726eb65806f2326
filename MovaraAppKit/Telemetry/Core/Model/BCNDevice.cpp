#include "MovaraAppKit/Telemetry/Core/Model/BCNDevice.h"

#include "MovaraAppKit/Telemetry/Core/BCNLogger.h"
#include "MovaraAppKit/Telemetry/Core/Model/BCNCoding.h"

namespace {

using StringField = std::optional<std::string> BCNWrapperSdk::*;
using DeviceString = std::optional<std::string> BCNDevice::*;

const std::pair<const char*, StringField> kWrapperFields[] = {
    { "wrapperSdkVersion", &BCNWrapperSdk::wrapperSdkVersion },
    { "wrapperSdkName", &BCNWrapperSdk::wrapperSdkName },
    { "wrapperRuntimeVersion", &BCNWrapperSdk::wrapperRuntimeVersion },
    { "liveUpdateReleaseLabel", &BCNWrapperSdk::liveUpdateReleaseLabel },
    { "liveUpdateDeploymentKey", &BCNWrapperSdk::liveUpdateDeploymentKey },
    { "liveUpdatePackageHash", &BCNWrapperSdk::liveUpdatePackageHash },
};

// The device's own fields in their declared order; numbers are told apart by a null pointer.
struct DeviceField {
    const char* key;
    DeviceString string;
    std::optional<std::int64_t> BCNDevice::*number;
};

const DeviceField kDeviceFields[] = {
    { "sdkName", &BCNDevice::sdkName, nullptr },
    { "sdkVersion", &BCNDevice::sdkVersion, nullptr },
    { "model", &BCNDevice::model, nullptr },
    { "oemName", &BCNDevice::oemName, nullptr },
    { "osName", &BCNDevice::osName, nullptr },
    { "osVersion", &BCNDevice::osVersion, nullptr },
    { "osBuild", &BCNDevice::osBuild, nullptr },
    { "osApiLevel", nullptr, &BCNDevice::osApiLevel },
    { "locale", &BCNDevice::locale, nullptr },
    { "timeZoneOffset", nullptr, &BCNDevice::timeZoneOffset },
    { "screenSize", &BCNDevice::screenSize, nullptr },
    { "appVersion", &BCNDevice::appVersion, nullptr },
    { "carrierName", &BCNDevice::carrierName, nullptr },
    { "carrierCountry", &BCNDevice::carrierCountry, nullptr },
    { "appBuild", &BCNDevice::appBuild, nullptr },
    { "appNamespace", &BCNDevice::appNamespace, nullptr },
};

bool present(const BCNDevice& device, const DeviceField& field)
{
    return field.string ? (device.*field.string).has_value() : (device.*field.number).has_value();
}

} // namespace

BCNWrapperSdk::BCNWrapperSdk(std::optional<std::string> version, std::optional<std::string> name,
                             std::optional<std::string> runtimeVersion, std::optional<std::string> releaseLabel,
                             std::optional<std::string> deploymentKey, std::optional<std::string> packageHash)
    : wrapperSdkVersion(std::move(version))
    , wrapperSdkName(std::move(name))
    , wrapperRuntimeVersion(std::move(runtimeVersion))
    , liveUpdateReleaseLabel(std::move(releaseLabel))
    , liveUpdateDeploymentKey(std::move(deploymentKey))
    , liveUpdatePackageHash(std::move(packageHash))
{
}

foundation::Value BCNWrapperSdk::serializeToDictionary() const
{
    foundation::Value dictionary = foundation::Value::dictionary();
    for (const auto& [key, field] : kWrapperFields)
        if (this->*field)
            dictionary.set(key, *(this->*field));
    return dictionary;
}

bool BCNWrapperSdk::isEqual(const BCNWrapperSdk& other) const
{
    for (const auto& [key, field] : kWrapperFields)
        if (this->*field != other.*field)
            return false;
    return true;
}

void BCNWrapperSdk::encodeWithCoder(foundation::KeyedArchiver& coder) const
{
    for (const auto& [key, field] : kWrapperFields)
        bcn::encodeString(coder, this->*field, key);
}

void BCNWrapperSdk::initWithCoder(foundation::KeyedUnarchiver& coder)
{
    for (const auto& [key, field] : kWrapperFields)
        this->*field = coder.decodeString(key);
}

foundation::Value BCNDevice::serializeToDictionary() const
{
    foundation::Value dictionary = BCNWrapperSdk::serializeToDictionary();
    for (const auto& field : kDeviceFields) {
        if (field.string && this->*field.string)
            dictionary.set(field.key, *(this->*field.string));
        else if (field.number && this->*field.number)
            dictionary.set(field.key, *(this->*field.number));
    }
    return dictionary;
}

bool BCNDevice::isValid() const
{
    if (!BCNWrapperSdk::isValid())
        return false;
    static const char* const required[] = { "sdkName", "sdkVersion", "osName", "osVersion", "locale", "timeZoneOffset", "appVersion", "appBuild" };
    for (const char* name : required) {
        for (const auto& field : kDeviceFields) {
            if (std::string(field.key) != name || present(*this, field))
                continue;
            BCNLogVerbose("Beacon", className() + ": \"" + name + "\" is not valid.");
            return false;
        }
    }
    return true;
}

bool BCNDevice::isEqual(const BCNWrapperSdk& other) const
{
    const auto* device = dynamic_cast<const BCNDevice*>(&other);
    if (!device || !BCNWrapperSdk::isEqual(other))
        return false;
    for (const auto& field : kDeviceFields) {
        if (field.string ? this->*field.string != device->*field.string : this->*field.number != device->*field.number)
            return false;
    }
    return true;
}

void BCNDevice::encodeWithCoder(foundation::KeyedArchiver& coder) const
{
    BCNWrapperSdk::encodeWithCoder(coder);
    for (const auto& field : kDeviceFields) {
        if (field.string)
            bcn::encodeString(coder, this->*field.string, field.key);
        else if (this->*field.number)
            coder.encodeValue(*(this->*field.number), field.key);
    }
}

void BCNDevice::initWithCoder(foundation::KeyedUnarchiver& coder)
{
    BCNWrapperSdk::initWithCoder(coder);
    for (const auto& field : kDeviceFields) {
        if (field.string)
            this->*field.string = coder.decodeString(field.key);
        else
            this->*field.number = bcn::decodeNumber(coder, field.key);
    }
}

BCN_REGISTER_CODING_CLASS(BCNWrapperSdk, {})
BCN_REGISTER_CODING_CLASS(BCNDevice, { "BCNWrapperSdk" })
