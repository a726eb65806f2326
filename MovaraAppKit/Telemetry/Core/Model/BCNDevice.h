#pragma once
// The device description every log carries, and the wrapper-SDK description whose six fields
// travel inside it. Both serialise only the fields that are present (wrapper fields first) and
// archive under the same keys as their JSON.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "Platform/Foundation/KeyedArchiver.h"
#include "Platform/Foundation/Value.h"

class BCNWrapperSdk : public foundation::Coding {
public:
    BCNWrapperSdk() = default;
    BCNWrapperSdk(std::optional<std::string> wrapperSdkVersion, std::optional<std::string> wrapperSdkName,
                  std::optional<std::string> wrapperRuntimeVersion, std::optional<std::string> liveUpdateReleaseLabel,
                  std::optional<std::string> liveUpdateDeploymentKey, std::optional<std::string> liveUpdatePackageHash);

    std::optional<std::string> wrapperSdkVersion, wrapperSdkName, wrapperRuntimeVersion, liveUpdateReleaseLabel,
        liveUpdateDeploymentKey, liveUpdatePackageHash;

    virtual foundation::Value serializeToDictionary() const;
    virtual bool isValid() const { return true; }
    // The six wrapper fields match (a device compared as a wrapper counts as one).
    virtual bool isEqual(const BCNWrapperSdk& other) const;

    std::string className() const override { return "BCNWrapperSdk"; }
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
    virtual void initWithCoder(foundation::KeyedUnarchiver& coder);
};

class BCNDevice : public BCNWrapperSdk {
public:
    std::optional<std::string> sdkName, sdkVersion, model, oemName, osName, osVersion, osBuild;
    std::optional<std::int64_t> osApiLevel;
    std::optional<std::string> locale;
    // Minutes east of UTC.
    std::optional<std::int64_t> timeZoneOffset;
    std::optional<std::string> screenSize, appVersion, carrierName, carrierCountry, appBuild, appNamespace;

    foundation::Value serializeToDictionary() const override;
    // Wrapper part, then sdkName, sdkVersion, osName, osVersion, locale, timeZoneOffset,
    // appVersion, appBuild; the first missing one is logged at VERBOSE.
    bool isValid() const override;
    bool isEqual(const BCNWrapperSdk& other) const override;

    std::string className() const override { return "BCNDevice"; }
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
    void initWithCoder(foundation::KeyedUnarchiver& coder) override;
};

using BCNDevicePtr = std::shared_ptr<BCNDevice>;
