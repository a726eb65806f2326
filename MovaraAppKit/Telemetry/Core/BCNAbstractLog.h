#pragma once
// The base log record of the telemetry client and the records the facade sends itself.
// Logs are handed to a channel unit and not changed by their maker afterwards.

#include <optional>
#include <set>
#include <string>
#include <vector>

#include "Platform/Foundation/Date.h"
#include "Platform/Foundation/Value.h"

// The flags of an enqueued log; the low byte is the persistence priority.
using BCNLogFlags = unsigned;
enum : BCNLogFlags { BCNLogFlagsNormal = 1, BCNLogFlagsCritical = 2 };

class BCNAbstractLog {
public:
    virtual ~BCNAbstractLog() = default;

    const std::string& type() const { return m_type; }
    void setType(std::string type) { m_type = std::move(type); }
    const std::optional<foundation::Date>& timestamp() const { return m_timestamp; }
    void setTimestamp(std::optional<foundation::Date> timestamp) { m_timestamp = timestamp; }
    const std::optional<std::string>& sid() const { return m_sid; }
    void setSid(std::optional<std::string> sid) { m_sid = std::move(sid); }
    const std::optional<std::string>& userId() const { return m_userId; }
    void setUserId(std::optional<std::string> userId) { m_userId = std::move(userId); }
    const std::set<std::string>& transmissionTargetTokens() const { return m_transmissionTargetTokens; }
    void addTransmissionTargetToken(const std::string& token) { m_transmissionTargetTokens.insert(token); }

    // Type and timestamp are required.
    virtual bool isValid() const { return !m_type.empty() && m_timestamp.has_value(); }
    // The JSON object of the log: "type", "timestamp" (ISO 8601, UTC, milliseconds), "sid",
    // "userId", each when set; subclasses add theirs.
    virtual foundation::Value serializeToDictionary() const;

protected:
    explicit BCNAbstractLog(std::string type) : m_type(std::move(type)) { }

private:
    std::string m_type;
    std::optional<foundation::Date> m_timestamp;
    std::optional<std::string> m_sid;
    std::optional<std::string> m_userId;
    std::set<std::string> m_transmissionTargetTokens;
};

// Log "startService": the names of the services the application started.
class BCNStartServiceLog : public BCNAbstractLog {
public:
    BCNStartServiceLog() : BCNAbstractLog("startService") { }
    const std::vector<std::string>& services() const { return m_services; }
    void setServices(std::vector<std::string> services) { m_services = std::move(services); }
    foundation::Value serializeToDictionary() const override;

private:
    std::vector<std::string> m_services;
};
