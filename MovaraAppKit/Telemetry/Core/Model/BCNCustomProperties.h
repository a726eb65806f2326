#pragma once
// Named values an application attaches to its installation, sent once as a "customProperties"
// log. Keys are an ASCII letter then letters and digits, at most 128 characters; strings at
// most 128 characters; numbers finite; at most 60 keys, set or cleared. Invalid entries are
// refused one by one with a logged reason. Any thread.

#include <mutex>
#include <string>

#include "Platform/Foundation/Date.h"
#include "Platform/Foundation/Value.h"

class BCNCustomProperties {
public:
    BCNCustomProperties& setString(const std::string& value, const std::string& key) { return setObject(value, key); }
    BCNCustomProperties& setNumber(double value, const std::string& key) { return setObject(value, key); }
    BCNCustomProperties& setNumber(std::int64_t value, const std::string& key) { return setObject(value, key); }
    BCNCustomProperties& setBool(bool value, const std::string& key) { return setObject(value, key); }
    BCNCustomProperties& setDate(const foundation::Date& value, const std::string& key) { return setObject(value, key); }
    BCNCustomProperties& setObject(const foundation::Value& value, const std::string& key);
    // Stores the cleared marker (null) under the key.
    BCNCustomProperties& clearPropertyForKey(const std::string& key);

    bool isValidKey(const std::string& key) const;
    static bool isValidValue(const foundation::Value& value);
    // A dictionary of the entries; null stands for a cleared property.
    foundation::Value propertiesImmutableCopy() const;

private:
    bool isValidKeyLocked(const std::string& key) const;

    mutable std::mutex m_mutex;
    foundation::Value m_properties = foundation::Value::dictionary();
};
