#pragma once
// The analytics records that carry a name: the base of events and pages, the typed property bag
// of an event, and the event itself with its two wire forms (the ingestion's JSON and, for
// transmission targets, a common-schema log whose data tree is built from the dotted property
// names).

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "MovaraAppKit/Telemetry/Core/BCNAbstractLog.h"
#include "MovaraAppKit/Telemetry/Core/Model/BCNTypedProperty.h"

// A log with a name ("name", written only when set) and a string property map.
class BCNLogWithNameAndProperties : public BCNLogWithProperties {
public:
    const std::optional<std::string>& name() const { return m_name; }
    void setName(std::optional<std::string> name) { m_name = std::move(name); }

    bool isValid() const override;
    foundation::Value serializeToDictionary() const override;
    bool isEqual(const BCNAbstractLog& other) const override;
    std::string className() const override { return "BCNLogWithNameAndProperties"; }
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
    void initWithCoder(foundation::KeyedUnarchiver& coder) override;

    BCNLogWithNameAndProperties() = default;

protected:
    explicit BCNLogWithNameAndProperties(std::string type) : BCNLogWithProperties(std::move(type)) { }

private:
    std::optional<std::string> m_name;
};

// Property name -> typed property, in the order names were first set. The typed setters,
// serialisation and archiving lock the bag; merging, isEmpty and reads don't, so a bag is not
// read that way while another thread writes it.
class BCNEventProperties : public foundation::Coding {
public:
    using Entry = std::pair<std::string, std::shared_ptr<BCNTypedProperty>>;

    BCNEventProperties() = default;
    BCNEventProperties(const BCNEventProperties& other);
    BCNEventProperties& operator=(const BCNEventProperties& other);

    // One string property per entry of a dictionary, without checks.
    static BCNEventProperties initWithStringDictionary(const foundation::Value& dictionary);

    // A missing key or value is refused with an error line; a later set of a key replaces it.
    BCNEventProperties& setString(const std::optional<std::string>& value, const std::optional<std::string>& key);
    BCNEventProperties& setDouble(double value, const std::optional<std::string>& key);
    BCNEventProperties& setInt64(std::int64_t value, const std::optional<std::string>& key);
    BCNEventProperties& setBool(bool value, const std::optional<std::string>& key);
    BCNEventProperties& setDate(const std::optional<foundation::Date>& value, const std::optional<std::string>& key);
    // Stores a property under `key` as it is (the caller made it).
    void setProperty(const std::string& key, std::shared_ptr<BCNTypedProperty> property);
    void removePropertyForKey(const std::string& key);

    static bool validateKey(const std::optional<std::string>& key);
    static bool validateValue(bool present);

    const std::vector<Entry>& properties() const { return m_properties; }
    std::shared_ptr<BCNTypedProperty> propertyForKey(const std::string& key) const;
    // The string properties only, as (name, value), in order.
    std::vector<std::pair<std::string, std::string>> strings() const;
    bool isEmpty() const { return m_properties.empty(); }
    std::size_t count() const { return m_properties.size(); }
    bool isEqual(const BCNEventProperties& other) const;
    // Every entry of `other` copied in, replacing entries with the same key.
    void mergeEventProperties(const BCNEventProperties& other);
    // [{"type":…,"name":…,"value":…}, …]
    foundation::Value serializeToArray() const;

    std::string className() const override { return "BCNEventProperties"; }
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
    void initWithCoder(foundation::KeyedUnarchiver& coder);

private:
    void put(const std::string& key, std::shared_ptr<BCNTypedProperty> property);

    mutable std::mutex m_lock;
    std::vector<Entry> m_properties;
};

class BCNCommonSchemaLog;

class BCNEventLog : public BCNLogWithNameAndProperties {
public:
    BCNEventLog() : BCNLogWithNameAndProperties("event") { }

    const std::optional<std::string>& eventId() const { return m_eventId; }
    void setEventId(std::optional<std::string> eventId) { m_eventId = std::move(eventId); }
    const std::optional<BCNEventProperties>& typedProperties() const { return m_typedProperties; }
    std::optional<BCNEventProperties>& typedProperties() { return m_typedProperties; }
    void setTypedProperties(std::optional<BCNEventProperties> properties) { m_typedProperties = std::move(properties); }
    // The common-schema metadata type of a typed property type: long 4, double 6, dateTime 9.
    static std::optional<int> metadataTypeId(const std::string& type);

    bool isValid() const override;
    foundation::Value serializeToDictionary() const override;
    bool isEqual(const BCNAbstractLog& other) const override;
    std::string className() const override { return "BCNEventLog"; }
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
    void initWithCoder(foundation::KeyedUnarchiver& coder) override;

    // The base conversion plus the name, the data and metadata trees and the tag. Removes the
    // "baseType"/"baseData." properties that can't go out from this event's own properties.
    std::shared_ptr<BCNCommonSchemaLog> toCommonSchemaLogForTargetToken(const std::string& token, BCNLogFlags flags) override;
    void setPropertiesAndMetadataForCSLog(BCNCommonSchemaLog& log);
    // One property into the data tree and the metadata tree (dotted names make nested objects).
    void addTypedPropertyToCSMetadataAndCSProperties(const BCNTypedProperty& property, foundation::Value& metadata,
                                                     foundation::Value& properties) const;
    // Stores the value under `key` in `node` unless the node is missing or already has the key.
    static bool addTypedPropertyToPropertyTree(const BCNTypedProperty& property, foundation::Value* node, const std::string& key);

private:
    std::optional<std::string> m_eventId;
    std::optional<BCNEventProperties> m_typedProperties;
};
