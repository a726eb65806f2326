#include "MovaraAppKit/Telemetry/Core/Model/BCNTypedProperty.h"

#include "MovaraAppKit/Telemetry/Core/BCNUtility.h"
#include "MovaraAppKit/Telemetry/Core/Model/BCNCoding.h"

foundation::Value BCNTypedProperty::serializeToDictionary() const
{
    foundation::Value dictionary = foundation::Value::dictionary();
    if (m_type)
        dictionary.set("type", *m_type);
    if (m_name)
        dictionary.set("name", *m_name);
    return dictionary;
}

bool BCNTypedProperty::isEqual(const BCNTypedProperty& other) const
{
    return m_type == other.m_type;
}

void BCNTypedProperty::encodeWithCoder(foundation::KeyedArchiver& coder) const
{
    bcn::encodeString(coder, m_type, "type");
    bcn::encodeString(coder, m_name, "name");
}

void BCNTypedProperty::initWithCoder(foundation::KeyedUnarchiver& coder)
{
    m_type = coder.decodeString("type");
    m_name = coder.decodeString("name");
}

#define BCN_TYPED_PROPERTY_BODY(Class, ToJSON, Encode, Decode)                                                          \
    foundation::Value Class::serializeToDictionary() const                                                              \
    {                                                                                                                   \
        foundation::Value dictionary = BCNTypedProperty::serializeToDictionary();                                        \
        ToJSON;                                                                                                         \
        return dictionary;                                                                                              \
    }                                                                                                                   \
    bool Class::isEqual(const BCNTypedProperty& other) const                                                            \
    {                                                                                                                   \
        const auto* that = dynamic_cast<const Class*>(&other);                                                          \
        return that && BCNTypedProperty::isEqual(other) && m_value == that->m_value;                                    \
    }                                                                                                                   \
    void Class::encodeWithCoder(foundation::KeyedArchiver& coder) const                                                 \
    {                                                                                                                   \
        BCNTypedProperty::encodeWithCoder(coder);                                                                       \
        Encode;                                                                                                         \
    }                                                                                                                   \
    void Class::initWithCoder(foundation::KeyedUnarchiver& coder)                                                       \
    {                                                                                                                   \
        BCNTypedProperty::initWithCoder(coder);                                                                         \
        Decode;                                                                                                         \
    }                                                                                                                   \
    BCN_REGISTER_CODING_CLASS(Class, { "BCNTypedProperty" })

BCN_TYPED_PROPERTY_BODY(BCNBooleanTypedProperty, dictionary.set("value", m_value), coder.encodeBool(m_value, "value"),
                        m_value = coder.decodeBool("value"))
BCN_TYPED_PROPERTY_BODY(BCNDateTimeTypedProperty,
                        if (m_value) dictionary.set("value", BCNUtility::dateToISO8601(*m_value)),
                        if (m_value) coder.encodeDate(*m_value, "value"), m_value = coder.decodeDate("value"))
// NaN never equals itself, which the comparison above already gives.
BCN_TYPED_PROPERTY_BODY(BCNDoubleTypedProperty, dictionary.set("value", m_value), coder.encodeDouble(m_value, "value"),
                        m_value = coder.decodeDouble("value"))
BCN_TYPED_PROPERTY_BODY(BCNLongTypedProperty, dictionary.set("value", m_value), coder.encodeInt64(m_value, "value"),
                        m_value = coder.decodeInt64("value"))
BCN_TYPED_PROPERTY_BODY(BCNStringTypedProperty, if (m_value) dictionary.set("value", *m_value),
                        bcn::encodeString(coder, m_value, "value"), m_value = coder.decodeString("value"))
