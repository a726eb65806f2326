#include "MovaraAppKit/Telemetry/Analytics/BCNEventLog.h"

#include "MovaraAppKit/Telemetry/Core/Model/BCNCoding.h"

void BCNEventProperties::setString(const std::string& value, const std::string& key)
{
    for (auto& entry : m_strings) {
        if (entry.first == key) {
            entry.second = value;
            return;
        }
    }
    m_strings.emplace_back(key, value);
}

foundation::Value BCNEventProperties::serializeToArray() const
{
    foundation::Value array = foundation::Value::array();
    for (const auto& [name, value] : m_strings)
        array.append(foundation::Value::dictionary({ { "type", "string" }, { "name", name }, { "value", value } }));
    return array;
}

foundation::Value BCNEventLog::serializeToDictionary() const
{
    foundation::Value dictionary = BCNAbstractLog::serializeToDictionary();
    if (!m_name.empty())
        dictionary.set("name", m_name);
    if (!m_eventId.empty())
        dictionary.set("id", m_eventId);
    if (m_typedProperties)
        dictionary.set("typedProperties", m_typedProperties->serializeToArray());
    return dictionary;
}

BCNEventProperties BCNEventProperties::fromArray(const foundation::Value& array)
{
    BCNEventProperties properties;
    if (array.isArray())
        for (const auto& entry : array.asArray())
            if (entry["name"].isString() && entry["value"].isString())
                properties.setString(entry["value"].asString(), entry["name"].asString());
    return properties;
}

void BCNEventLog::encodeWithCoder(foundation::KeyedArchiver& coder) const
{
    BCNAbstractLog::encodeWithCoder(coder);
    coder.encodeString(m_name, "name");
    coder.encodeString(m_eventId, "id");
    if (m_typedProperties)
        coder.encodeValue(m_typedProperties->serializeToArray(), "typedProperties");
}

void BCNEventLog::initWithCoder(foundation::KeyedUnarchiver& coder)
{
    BCNAbstractLog::initWithCoder(coder);
    m_name = coder.decodeString("name").value_or("");
    m_eventId = coder.decodeString("id").value_or("");
    const foundation::Value properties = coder.decodeValue("typedProperties");
    if (properties.isArray())
        m_typedProperties = BCNEventProperties::fromArray(properties);
}

BCN_REGISTER_CODING_CLASS(BCNEventLog, { "BCNAbstractLog" })
