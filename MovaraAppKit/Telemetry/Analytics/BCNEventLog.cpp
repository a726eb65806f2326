#include "MovaraAppKit/Telemetry/Analytics/BCNEventLog.h"

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
