// Keyed archives from hostile bytes. The root is decoded as any registered class (the
// frameworks' own archived objects register theirs), or as a probe of this target whose own
// decoder asks for every kind of field under narrow class sets and checks that what comes back
// is of a class it allowed: a cached object or value never skips that check.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "Platform/Foundation/KeyedArchiver.h"

namespace {

using foundation::KeyedUnarchiver;
using foundation::Value;

class Probe : public foundation::Coding {
public:
    std::string className() const override { return "FuzzProbe"; }
    void encodeWithCoder(foundation::KeyedArchiver&) const override { }
};

// Whether `value` (and, in collections, every element) is of a class in `allowed`.
bool isOfAllowedClasses(const Value& value, const foundation::ClassSet& allowed)
{
    auto has = [&](const char* name) { return allowed.count(name) > 0; };
    switch (value.type()) {
    case Value::Type::Null:
        return true; // the null reference, or nothing decoded
    case Value::Type::Bool:
    case Value::Type::Integer:
    case Value::Type::Real:
        return has("NSNumber");
    case Value::Type::String:
        return has("NSString");
    case Value::Type::Data:
        return has("NSData");
    case Value::Type::Date:
        return has("NSDate");
    case Value::Type::Array:
        if (!has("NSArray"))
            return false;
        for (const Value& item : value.asArray())
            if (!isOfAllowedClasses(item, allowed))
                return false;
        return true;
    case Value::Type::Dictionary:
        if (!has("NSDictionary"))
            return false;
        for (const auto& [key, item] : value.asDictionary())
            if (!isOfAllowedClasses(item, allowed))
                return false;
        return true;
    case Value::Type::Set:
        if (!has("NSSet"))
            return false;
        for (const Value& item : value.asSet())
            if (!isOfAllowedClasses(item, allowed))
                return false;
        return true;
    }
    return false;
}

// A decoded set holds no two equal members, and finds each of its members that equals anything.
bool setsAreWhole(const Value& value)
{
    const foundation::Set& set = value.asSet();
    if (foundation::Set(std::vector<Value>(set.begin(), set.end())).size() != set.size())
        return false;
    for (const Value& item : set)
        if ((item == item && !set.contains(item)) || !setsAreWhole(item))
            return false;
    for (const Value& item : value.asArray())
        if (!setsAreWhole(item))
            return false;
    for (const auto& [key, item] : value.asDictionary())
        if (!setsAreWhole(item))
            return false;
    return true;
}

foundation::CodingPtr decodeProbe(KeyedUnarchiver& coder)
{
    (void)coder.containsValueForKey("b");
    (void)coder.decodeBool("b");
    (void)coder.decodeInt64("i");
    (void)coder.decodeDouble("d");
    (void)coder.decodeString("s");
    (void)coder.decodeData("data");
    (void)coder.decodeDate("date");
    (void)coder.decodeStringSet("set");
    // The same fields asked for again under other class sets.
    static const foundation::ClassSet sets[] = {
        foundation::PropertyListClasses, {"NSString"}, {"NSArray", "NSNumber"}, {"NSDictionary", "NSString"}, {"NSData"},
        {"NSSet", "NSString", "NSNumber", "NSDictionary"}};
    for (const char* key : {"a", "b", "s", "v"}) {
        for (const auto& allowed : sets) {
            const Value value = coder.decodeValue(key, allowed);
            FUZZ_CHECK(coder.error() || isOfAllowedClasses(value, allowed), "decodeValue returned a class it was not allowed");
            FUZZ_CHECK(setsAreWhole(value), "a decoded set does not find its own member");
        }
    }
    for (const char* key : {"child", "a", "v"}) {
        auto child = coder.decodeObjectOfClasses({"FuzzProbe"}, key);
        FUZZ_CHECK(!child || std::dynamic_pointer_cast<Probe>(child), "decodeObjectOfClasses returned a class it was not allowed");
    }
    if (auto list = coder.decodeArrayOfObjectsOfClasses({"FuzzProbe"}, "list")) {
        for (const auto& item : *list)
            FUZZ_CHECK(!item || std::dynamic_pointer_cast<Probe>(item), "an array of objects holds a class it was not allowed");
    }
    if (auto map = coder.decodeDictionaryOfObjectsOfClasses({"FuzzProbe"}, "map")) {
        for (const auto& [name, item] : *map)
            FUZZ_CHECK(!item || std::dynamic_pointer_cast<Probe>(item), "a dictionary of objects holds a class it was not allowed");
    }
    (void)coder.decodeObjectOfClasses({"NSObject"}, "any");
    if (coder.error())
        return nullptr;
    return std::make_shared<Probe>();
}

const bool registered = [] {
    foundation::KeyedArchiver::registerClass({"FuzzProbe", {}, true, 0, decodeProbe});
    return true;
}();

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const foundation::Data bytes(data, data + size);
    foundation::ErrorPtr error;
    auto root = KeyedUnarchiver::unarchivedObjectOfClasses({"FuzzProbe", "NSObject"}, bytes, &error);
    FUZZ_CHECK(root || error, "a failed decode gave no error");
    // The system's own stores: without secure coding.
    foundation::ErrorPtr systemError;
    (void)KeyedUnarchiver::unarchivedObject(bytes, &systemError);
    return 0;
}
