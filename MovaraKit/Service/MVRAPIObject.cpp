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

std::string MVRAPIObject::description() const
{
    return foundation::toJSON(m_JSON, true);
}

void MVRAPIObject::encodeWithCoder(foundation::KeyedArchiver& coder) const
{
    coder.encodeValue(m_JSON, "JSON");
}
