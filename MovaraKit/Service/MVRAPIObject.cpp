#include "MovaraKit/Service/MVRAPIObject.h"

#include "Platform/Foundation/JSON.h"
#include "Platform/Foundation/NotificationCenter.h"

const std::string MVRAPIObjectDidChangeNotification = "MVRAPIObjectDidChangeNotification";

void MVRAPIObject::setJSON(const foundation::Value& JSON)
{
    if (JSON == m_JSON)
        return;
    m_JSON = JSON;
    foundation::NotificationCenter::defaultCenter().post(MVRAPIObjectDidChangeNotification, shared_from_this());
}

void MVRAPIObject::setValuesForKeysWithJSONDictionary(const foundation::Value& dictionary)
{
    if (!dictionary.isDictionary())
        return;
    foundation::Value merged = m_JSON.isDictionary() ? m_JSON : foundation::Value::dictionary();
    for (const auto& [key, value] : dictionary.asDictionary())
        merged.set(key, value);
    setJSON(merged);
}

const MVRAPIObject::KeyMapping& MVRAPIObject::customKeyMapping()
{
    static const KeyMapping none;
    return none;
}

std::string MVRAPIObject::description() const
{
    const KeyMapping& mapping = classKeyMapping();
    if (mapping.empty() || !m_JSON.isDictionary())
        return foundation::toJSON(m_JSON, true);
    foundation::Value mapped = foundation::Value::dictionary();
    for (const auto& [key, value] : m_JSON.asDictionary()) {
        auto it = mapping.find(key);
        mapped.set(it == mapping.end() ? key : it->second, value);
    }
    return foundation::toJSON(mapped, true);
}

void MVRAPIObject::encodeWithCoder(foundation::KeyedArchiver& coder) const
{
    coder.encodeValue(m_JSON, "JSON");
}
