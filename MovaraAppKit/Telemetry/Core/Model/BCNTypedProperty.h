#pragma once
// Event property values that keep their type: a name, a type word and a value, serialised
// into the event's JSON and archived with it. Equality compares type and value, not name.

#include <cstdint>
#include <optional>
#include <string>

#include "Platform/Foundation/Date.h"
#include "Platform/Foundation/KeyedArchiver.h"
#include "Platform/Foundation/Value.h"

class BCNTypedProperty : public foundation::Coding {
public:
    const std::optional<std::string>& type() const { return m_type; }
    void setType(std::optional<std::string> type) { m_type = std::move(type); }
    const std::optional<std::string>& name() const { return m_name; }
    void setName(std::optional<std::string> name) { m_name = std::move(name); }

    virtual foundation::Value serializeToDictionary() const;
    virtual bool isEqual(const BCNTypedProperty& other) const;
    std::string className() const override { return "BCNTypedProperty"; }
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
    virtual void initWithCoder(foundation::KeyedUnarchiver& coder);

protected:
    BCNTypedProperty() = default;
    explicit BCNTypedProperty(std::string type) : m_type(std::move(type)) { }

private:
    std::optional<std::string> m_type;
    std::optional<std::string> m_name;
};

#define BCN_TYPED_PROPERTY(Class, TypeWord, ValueType, Initial)                                                         \
    class Class : public BCNTypedProperty {                                                                             \
    public:                                                                                                            \
        Class() : BCNTypedProperty(TypeWord) { }                                                                        \
        const ValueType& value() const { return m_value; }                                                              \
        void setValue(ValueType value) { m_value = std::move(value); }                                                  \
        foundation::Value serializeToDictionary() const override;                                                       \
        bool isEqual(const BCNTypedProperty& other) const override;                                                     \
        std::string className() const override { return #Class; }                                                       \
        void encodeWithCoder(foundation::KeyedArchiver& coder) const override;                                          \
        void initWithCoder(foundation::KeyedUnarchiver& coder) override;                                                \
                                                                                                                        \
    private:                                                                                                           \
        ValueType m_value = Initial;                                                                                    \
    };

BCN_TYPED_PROPERTY(BCNBooleanTypedProperty, "boolean", bool, false)
BCN_TYPED_PROPERTY(BCNDateTimeTypedProperty, "dateTime", std::optional<foundation::Date>, std::nullopt)
BCN_TYPED_PROPERTY(BCNDoubleTypedProperty, "double", double, 0.0)
BCN_TYPED_PROPERTY(BCNLongTypedProperty, "long", std::int64_t, 0)
BCN_TYPED_PROPERTY(BCNStringTypedProperty, "string", std::optional<std::string>, std::nullopt)

#undef BCN_TYPED_PROPERTY
