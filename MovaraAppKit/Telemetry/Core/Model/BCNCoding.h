#pragma once
// Small helpers for the keyed coding of telemetry records: absent fields are not written, and
// every archivable record registers a decoder for its class name.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "Platform/Foundation/KeyedArchiver.h"

namespace bcn {

inline void encodeString(foundation::KeyedArchiver& coder, const std::optional<std::string>& value, const std::string& key)
{
    if (value)
        coder.encodeString(*value, key);
}

inline std::optional<std::int64_t> decodeNumber(foundation::KeyedUnarchiver& coder, const std::string& key)
{
    if (!coder.containsValueForKey(key))
        return std::nullopt;
    return coder.decodeValue(key).integerValue();
}

// Registers `Class` (default-constructible, with initWithCoder) under its own name, with the
// superclass names nearest first.
template <class Class>
bool registerCodingClass(const std::string& name, std::vector<std::string> superclasses)
{
    foundation::KeyedArchiver::registerClass({ name, std::move(superclasses), true, 0, [](foundation::KeyedUnarchiver& coder) {
                                                  auto object = std::make_shared<Class>();
                                                  object->initWithCoder(coder);
                                                  return std::static_pointer_cast<foundation::Coding>(object);
                                              } });
    return true;
}

} // namespace bcn

#define BCN_REGISTER_CODING_CLASS(Class, ...)                                                                          \
    namespace {                                                                                                        \
    [[maybe_unused]] const bool registered##Class = bcn::registerCodingClass<Class>(#Class, std::vector<std::string> __VA_ARGS__); \
    }
