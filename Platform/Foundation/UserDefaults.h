#pragma once
// Preferences: a property list per suite (the main bundle's identifier for standard()) in
// $XDG_CONFIG_HOME (default ~/.config), rewritten atomically on every change. Values not set
// fall back to registered defaults, which are never written. A damaged file is moved aside (as
// "<file>.damaged") with a warning and the suite starts empty. Objects of the same suite share
// their values.
// Thread-safe.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "Platform/Foundation/Value.h"

namespace foundation {

class UserDefaults {
public:
    static std::shared_ptr<UserDefaults> standard();
    // None for a name that can't be a file name ("", ".", "..", or one holding "/").
    static std::shared_ptr<UserDefaults> initWithSuiteName(const std::string& suiteName);

    const std::string& suiteName() const;

    // Merges `defaults` (a dictionary) into the registered defaults.
    void registerDefaults(const Value& defaults);

    // Null when neither set nor registered.
    Value objectForKey(const std::string& key) const;
    // Numbers and "YES"/"true"/digits read as the platform reads them; otherwise false / 0.
    bool boolForKey(const std::string& key) const;
    std::int64_t integerForKey(const std::string& key) const;
    double doubleForKey(const std::string& key) const;
    // Strings, and numbers as text; none otherwise.
    std::optional<std::string> stringForKey(const std::string& key) const;

    // Setting null removes the key. A value that is or holds a set, or holds null inside, has
    // no property-list form: that throws NSInvalidArgumentException.
    void set(const std::string& key, const Value& value);
    void removeObjectForKey(const std::string& key);

    // Writes what a failed earlier write couldn't; returns whether everything is on disk.
    bool synchronize();

    // Registered defaults overlaid by the set values.
    Value dictionaryRepresentation() const;

    struct Storage;
    explicit UserDefaults(std::shared_ptr<Storage> storage) : m_storage(std::move(storage)) { }

private:
    std::shared_ptr<Storage> m_storage;
};

} // namespace foundation
