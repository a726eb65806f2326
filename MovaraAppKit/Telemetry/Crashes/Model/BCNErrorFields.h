#pragma once
// How the crash service's records turn their fields into JSON, archives and back. A record
// lists its fields once, as (key, member) pairs in its JSON order, and the three operations
// walk that list; absent fields are neither written nor archived.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "MovaraAppKit/Telemetry/Core/BCNUtility.h"
#include "MovaraAppKit/Telemetry/Core/Model/BCNCoding.h"
#include "Platform/Foundation/Base64.h"
#include "Platform/Foundation/KeyedArchiver.h"
#include "Platform/Foundation/Value.h"

// A record that is a field of another record (an exception, a thread, a frame, a binary).
class BCNSerializableObject : public foundation::Coding {
public:
    virtual foundation::Value serializeToDictionary() const = 0;
    virtual void initWithCoder(foundation::KeyedUnarchiver& coder) = 0;
    // Same class and equal fields (absent equals absent).
    bool isEqual(const BCNSerializableObject& other) const
    {
        return className() == other.className() && serializeToDictionary() == other.serializeToDictionary();
    }
};

template <class R> using BCNRecordList = std::optional<std::vector<std::shared_ptr<R>>>;

namespace bcn {

// Bytes written as the raw data in archives and as one base64 line in JSON.
struct Base64Bytes {
    std::optional<foundation::Data> bytes;
    bool operator==(const Base64Bytes&) const = default;
};

inline void put(foundation::Value& d, const char* key, const std::optional<std::string>& v) { if (v) d.set(key, *v); }
inline void put(foundation::Value& d, const char* key, const std::optional<std::int64_t>& v) { if (v) d.set(key, *v); }
inline void put(foundation::Value& d, const char* key, const std::optional<foundation::Date>& v)
{
    if (v)
        d.set(key, BCNUtility::dateToISO8601(*v));
}
inline void put(foundation::Value& d, const char* key, const std::optional<foundation::Value>& v) { if (v) d.set(key, *v); }
inline void put(foundation::Value& d, const char* key, const std::optional<foundation::Data>& v) { if (v) d.set(key, *v); }
inline void put(foundation::Value& d, const char* key, const Base64Bytes& v)
{
    if (v.bytes)
        d.set(key, foundation::base64Encode(std::span<const std::uint8_t>(*v.bytes)));
}
inline void put(foundation::Value& d, const char* key, bool v) { d.set(key, v); }
template <class R> void put(foundation::Value& d, const char* key, const std::shared_ptr<R>& v)
{
    if (v)
        d.set(key, v->serializeToDictionary());
}
template <class R> void put(foundation::Value& d, const char* key, const BCNRecordList<R>& v)
{
    if (!v)
        return;
    foundation::Value array = foundation::Value::array();
    for (const auto& record : *v)
        if (record)
            array.append(record->serializeToDictionary());
    d.set(key, std::move(array));
}

inline void encode(foundation::KeyedArchiver& c, const char* key, const std::optional<std::string>& v) { encodeString(c, v, key); }
inline void encode(foundation::KeyedArchiver& c, const char* key, const std::optional<std::int64_t>& v) { if (v) c.encodeInt64(*v, key); }
inline void encode(foundation::KeyedArchiver& c, const char* key, const std::optional<foundation::Date>& v) { if (v) c.encodeDate(*v, key); }
inline void encode(foundation::KeyedArchiver& c, const char* key, const std::optional<foundation::Value>& v) { if (v) c.encodeValue(*v, key); }
inline void encode(foundation::KeyedArchiver& c, const char* key, const std::optional<foundation::Data>& v) { if (v) c.encodeData(*v, key); }
inline void encode(foundation::KeyedArchiver& c, const char* key, const Base64Bytes& v) { encode(c, key, v.bytes); }
inline void encode(foundation::KeyedArchiver& c, const char* key, bool v) { c.encodeBool(v, key); }
template <class R> void encode(foundation::KeyedArchiver& c, const char* key, const std::shared_ptr<R>& v)
{
    if (v)
        c.encodeObject(v, key);
}
template <class R> void encode(foundation::KeyedArchiver& c, const char* key, const BCNRecordList<R>& v)
{
    if (!v)
        return;
    std::vector<std::shared_ptr<const foundation::Coding>> objects(v->begin(), v->end());
    c.encodeArrayOfObjects(objects, key);
}

inline void decode(foundation::KeyedUnarchiver& c, const char* key, std::optional<std::string>& v) { v = c.decodeString(key); }
inline void decode(foundation::KeyedUnarchiver& c, const char* key, std::optional<std::int64_t>& v)
{
    v = c.containsValueForKey(key) ? std::optional(c.decodeInt64(key)) : std::nullopt;
}
inline void decode(foundation::KeyedUnarchiver& c, const char* key, std::optional<foundation::Date>& v) { v = c.decodeDate(key); }
inline void decode(foundation::KeyedUnarchiver& c, const char* key, std::optional<foundation::Value>& v)
{
    v = c.containsValueForKey(key) ? std::optional(c.decodeValue(key)) : std::nullopt;
}
inline void decode(foundation::KeyedUnarchiver& c, const char* key, std::optional<foundation::Data>& v) { v = c.decodeData(key); }
inline void decode(foundation::KeyedUnarchiver& c, const char* key, Base64Bytes& v) { v.bytes = c.decodeData(key); }
inline void decode(foundation::KeyedUnarchiver& c, const char* key, bool& v) { v = c.decodeBool(key); }
template <class R> void decode(foundation::KeyedUnarchiver& c, const char* key, std::shared_ptr<R>& v)
{
    v = std::dynamic_pointer_cast<R>(c.decodeObjectOfClasses({ R::kClassName }, key));
}
template <class R> void decode(foundation::KeyedUnarchiver& c, const char* key, BCNRecordList<R>& v)
{
    v.reset();
    if (auto objects = c.decodeArrayOfObjectsOfClasses({ R::kClassName }, key)) {
        v.emplace();
        for (const auto& object : *objects)
            if (auto record = std::dynamic_pointer_cast<R>(object))
                v->push_back(record);
    }
}

} // namespace bcn

// A record whose JSON, archive and class name all come from its field list and kClassName.
template <class Self> class BCNFieldRecord : public BCNSerializableObject {
public:
    foundation::Value serializeToDictionary() const override
    {
        foundation::Value dictionary = foundation::Value::dictionary();
        Self::fields(self(), [&](const char* key, const auto& member) { bcn::put(dictionary, key, member); });
        return dictionary;
    }
    std::string className() const override { return Self::kClassName; }
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override
    {
        Self::fields(self(), [&](const char* key, const auto& member) { bcn::encode(coder, key, member); });
    }
    void initWithCoder(foundation::KeyedUnarchiver& coder) override
    {
        Self::fields(static_cast<Self&>(*this), [&](const char* key, auto& member) { bcn::decode(coder, key, member); });
    }

private:
    const Self& self() const { return static_cast<const Self&>(*this); }
};

// The three operations of a record from its field list `fields(self, f)`.
#define BCN_RECORD_FIELD_OPERATIONS(Base)                                                                              \
    foundation::Value serializeFields(foundation::Value dictionary) const                                              \
    {                                                                                                                  \
        fields(*this, [&](const char* key, const auto& member) { bcn::put(dictionary, key, member); });                \
        return dictionary;                                                                                             \
    }                                                                                                                  \
    void encodeFields(foundation::KeyedArchiver& coder) const                                                          \
    {                                                                                                                  \
        fields(*this, [&](const char* key, const auto& member) { bcn::encode(coder, key, member); });                  \
    }                                                                                                                  \
    void decodeFields(foundation::KeyedUnarchiver& coder)                                                              \
    {                                                                                                                  \
        fields(*this, [&](const char* key, auto& member) { bcn::decode(coder, key, member); });                        \
    }
