#pragma once
// The base log record of the telemetry client and the records the core itself sends. A log
// knows its JSON form (the wire format), archives itself under the same keys (the form the log
// store keeps), checks its required fields, and turns itself into one common-schema log per
// transmission target token. Logs are filled on their maker's thread and not changed after
// they were enqueued, except for their target tokens, which are guarded.

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "MovaraAppKit/Telemetry/Core/Model/BCNDevice.h"
#include "Platform/Foundation/Date.h"
#include "Platform/Foundation/KeyedArchiver.h"
#include "Platform/Foundation/Value.h"

// The flags of an enqueued log; the low byte is the persistence priority.
using BCNLogFlags = std::uint64_t;
enum : BCNLogFlags { BCNLogFlagsNormal = 1, BCNLogFlagsCritical = 2 };

class BCNCommonSchemaLog;

class BCNAbstractLog : public foundation::Coding, public std::enable_shared_from_this<BCNAbstractLog> {
public:
    BCNAbstractLog() = default;
    ~BCNAbstractLog() override = default;

    // Empty means absent.
    const std::string& type() const { return m_type; }
    void setType(std::string type) { m_type = std::move(type); }
    const std::optional<foundation::Date>& timestamp() const { return m_timestamp; }
    void setTimestamp(std::optional<foundation::Date> timestamp) { m_timestamp = timestamp; }
    const std::optional<std::string>& sid() const { return m_sid; }
    void setSid(std::optional<std::string> sid) { m_sid = std::move(sid); }
    const std::optional<std::string>& distributionGroupId() const { return m_distributionGroupId; }
    void setDistributionGroupId(std::optional<std::string> id) { m_distributionGroupId = std::move(id); }
    const std::optional<std::string>& userId() const { return m_userId; }
    void setUserId(std::optional<std::string> userId) { m_userId = std::move(userId); }
    const BCNDevicePtr& device() const { return m_device; }
    void setDevice(BCNDevicePtr device) { m_device = std::move(device); }
    // An opaque marker, neither serialised nor archived; compared by identity.
    const std::shared_ptr<const void>& tag() const { return m_tag; }
    void setTag(std::shared_ptr<const void> tag) { m_tag = std::move(tag); }

    // The common-schema targets the log also goes to; none until a token is added.
    std::optional<std::set<std::string>> transmissionTargetTokens() const;
    void addTransmissionTargetToken(const std::string& token);
    void setTransmissionTargetTokens(std::optional<std::set<std::string>> tokens);

    // Type, timestamp and a valid device are required; the first missing one is logged.
    virtual bool isValid() const;
    // "type", "timestamp" (ISO 8601), "sid", "distributionGroupId", "userId", "device", each
    // when set; subclasses add theirs.
    virtual foundation::Value serializeToDictionary() const;
    // The JSON text, never with "\/"; none when the dictionary has no JSON form.
    std::optional<std::string> serializeLogWithPrettyPrinting(bool prettyPrint) const;
    // Same class family and equal fields; target tokens take no part.
    virtual bool isEqual(const BCNAbstractLog& other) const;

    // One common-schema log per target token (empty when there are none).
    std::vector<std::shared_ptr<BCNCommonSchemaLog>> toCommonSchemaLogsWithFlags(BCNLogFlags flags);
    virtual std::shared_ptr<BCNCommonSchemaLog> toCommonSchemaLogForTargetToken(const std::string& token, BCNLogFlags flags);
    static std::optional<std::string> combineOsVersion(const std::optional<std::string>& version, const std::optional<std::string>& build);
    static std::optional<std::string> combineSDKLibVer(const std::optional<std::string>& name, const std::optional<std::string>& version);
    static std::string convertTimeZoneOffsetToISO8601(long offsetMinutes);

    std::string className() const override { return "BCNAbstractLog"; }
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
    virtual void initWithCoder(foundation::KeyedUnarchiver& coder);

protected:
    explicit BCNAbstractLog(std::string type) : m_type(std::move(type)) { }
    // Logs the not-valid line for `field`.
    bool invalid(const std::string& field) const;

private:
    std::string m_type;
    std::optional<foundation::Date> m_timestamp;
    std::optional<std::string> m_sid;
    std::optional<std::string> m_distributionGroupId;
    std::optional<std::string> m_userId;
    BCNDevicePtr m_device;
    std::shared_ptr<const void> m_tag;
    mutable std::mutex m_tokensLock;
    std::optional<std::set<std::string>> m_transmissionTargetTokens;
};

using BCNLogPtr = std::shared_ptr<BCNAbstractLog>;

// Marks logs that carry their own session id (a crash names the session it happened in): the
// analytics session tracker leaves it alone.
class BCNNoAutoAssignSessionIdLog {
public:
    virtual ~BCNNoAutoAssignSessionIdLog() = default;
};

// A log with a text-to-text property map, the base of the services' logs.
class BCNLogWithProperties : public BCNAbstractLog {
public:
    BCNLogWithProperties() = default;
    const std::optional<foundation::Value>& properties() const { return m_properties; }
    void setProperties(std::optional<foundation::Value> properties) { m_properties = std::move(properties); }

    foundation::Value serializeToDictionary() const override;
    bool isEqual(const BCNAbstractLog& other) const override;
    std::string className() const override { return "BCNLogWithProperties"; }
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
    void initWithCoder(foundation::KeyedUnarchiver& coder) override;

protected:
    explicit BCNLogWithProperties(std::string type) : BCNAbstractLog(std::move(type)) { }

private:
    std::optional<foundation::Value> m_properties;
};

// Log "startService": the names of the services the application started.
class BCNStartServiceLog : public BCNAbstractLog {
public:
    BCNStartServiceLog() : BCNAbstractLog("startService") { }
    const std::vector<std::string>& services() const { return m_services; }
    void setServices(std::vector<std::string> services) { m_services = std::move(services); }
    foundation::Value serializeToDictionary() const override;
    bool isEqual(const BCNAbstractLog& other) const override;
    std::string className() const override { return "BCNStartServiceLog"; }
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
    void initWithCoder(foundation::KeyedUnarchiver& coder) override;

private:
    std::vector<std::string> m_services;
};

// Log "customProperties": name -> string, number, boolean, date or null (cleared).
class BCNCustomPropertiesLog : public BCNAbstractLog {
public:
    BCNCustomPropertiesLog() : BCNAbstractLog("customProperties") { }
    const std::optional<foundation::Value>& properties() const { return m_properties; }
    void setProperties(std::optional<foundation::Value> properties) { m_properties = std::move(properties); }
    // The typed form of one value: "clear", "boolean", "number", "dateTime" or "string"; none
    // for anything else.
    static std::optional<foundation::Value> serializeProperty(const foundation::Value& value);

    bool isValid() const override;
    foundation::Value serializeToDictionary() const override;
    bool isEqual(const BCNAbstractLog& other) const override;
    std::string className() const override { return "BCNCustomPropertiesLog"; }
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
    void initWithCoder(foundation::KeyedUnarchiver& coder) override;

private:
    std::optional<foundation::Value> m_properties;
};
