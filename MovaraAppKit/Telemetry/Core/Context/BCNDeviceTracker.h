#pragma once
// The device description every log carries, and a history of the descriptions current in this
// and earlier runs ("PastDevices", at most 5), so a log about an earlier moment gets the
// description of that moment. One shared instance; any thread.

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "MovaraAppKit/Telemetry/Core/Model/BCNDevice.h"
#include "MovaraAppKit/Telemetry/Core/Util/BCNHistoryInfo.h"

class BCNDeviceHistoryInfo : public BCNHistoryInfo {
public:
    BCNDeviceHistoryInfo() = default;
    BCNDeviceHistoryInfo(foundation::Date timestamp, BCNDevicePtr device) : BCNHistoryInfo(timestamp), m_device(std::move(device)) { }
    const BCNDevicePtr& device() const { return m_device; }
    std::string className() const override { return "BCNDeviceHistoryInfo"; }
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
    void initWithCoder(foundation::KeyedUnarchiver& coder);

private:
    BCNDevicePtr m_device;
};

class BCNDeviceTracker {
public:
    static constexpr std::size_t MaximumHistoryCount = 5;

    static std::shared_ptr<BCNDeviceTracker> sharedInstance();
    // Also forgets the wrapper SDK and the country code.
    static void resetSharedInstance();
    // The next read of device() builds a new description.
    static void refreshDeviceNextTime();

    // The current description; a newly built one is recorded in the history.
    BCNDevicePtr device();
    // A new description, without touching the history.
    BCNDevicePtr updatedDevice();
    // The newest recorded description at or before `timestamp` (the oldest one for earlier
    // dates); the current one for none or an empty history.
    BCNDevicePtr deviceForTimestamp(const std::optional<foundation::Date>& timestamp);
    // Keeps only the newest entry.
    void clearDevices();
    std::vector<std::shared_ptr<BCNDeviceHistoryInfo>> deviceHistory() const;

    // Replaces the newest entry with one carrying the wrapper fields.
    void setWrapperSdk(std::shared_ptr<BCNWrapperSdk> wrapperSdk);
    std::shared_ptr<BCNWrapperSdk> wrapperSdk() const;
    void setCountryCode(std::optional<std::string> countryCode);
    std::optional<std::string> countryCode() const;

    BCNDeviceTracker();

private:
    BCNDevicePtr deviceLocked();
    void store() const;

    mutable std::recursive_mutex m_mutex;
    BCNDevicePtr m_device;
    std::vector<std::shared_ptr<BCNDeviceHistoryInfo>> m_history;
};
