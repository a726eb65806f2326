#pragma once
// An analytics event: a name, a random identifier and its properties (string-typed here),
// serialised as the telemetry ingestion expects.

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "MovaraAppKit/Telemetry/Core/BCNAbstractLog.h"

// The typed properties of an event, in the order they were set.
class BCNEventProperties {
public:
    void setString(const std::string& value, const std::string& key);
    bool isEmpty() const { return m_strings.empty(); }
    const std::vector<std::pair<std::string, std::string>>& strings() const { return m_strings; }
    // [{"type":"string","name":...,"value":...}, ...]
    foundation::Value serializeToArray() const;
    // Reads back what serializeToArray() wrote.
    static BCNEventProperties fromArray(const foundation::Value& array);

private:
    std::vector<std::pair<std::string, std::string>> m_strings;
};

class BCNEventLog : public BCNAbstractLog {
public:
    BCNEventLog() : BCNAbstractLog("event") { }

    const std::string& name() const { return m_name; }
    void setName(std::string name) { m_name = std::move(name); }
    const std::string& eventId() const { return m_eventId; }
    void setEventId(std::string eventId) { m_eventId = std::move(eventId); }
    const std::optional<BCNEventProperties>& typedProperties() const { return m_typedProperties; }
    void setTypedProperties(std::optional<BCNEventProperties> properties) { m_typedProperties = std::move(properties); }

    foundation::Value serializeToDictionary() const override;
    std::string className() const override { return "BCNEventLog"; }
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
    void initWithCoder(foundation::KeyedUnarchiver& coder) override;

private:
    std::string m_name;
    std::string m_eventId;
    std::optional<BCNEventProperties> m_typedProperties;
};
