#pragma once
// The telemetry client's preferences: the standard user defaults with every key prefixed by
// "BeaconSDK", and the one-time move of values stored under older key names. Any thread.

#include <map>
#include <memory>
#include <string>
#include <variant>

#include "Platform/Foundation/Value.h"

// Stands for every stored key that begins with the prefix.
struct BCNUserDefaultsPrefixKey {
    std::string keyPrefix;
};

class BCNBeaconUserDefaults {
public:
    static BCNBeaconUserDefaults& shared();
    // The instance keeps nothing of its own (values live in the standard user defaults), so a
    // fresh one is the same as the old: there is nothing to drop.
    static void resetSharedInstance() { }

    // Keys are given without the prefix; a key that already has it is a programming error
    // (NSInternalInconsistencyException).
    foundation::Value objectForKey(const std::string& key) const;
    void setObjectForKey(const foundation::Value& value, const std::string& key);
    void removeObjectForKey(const std::string& key);
    static std::string getBeaconKeyFrom(const std::string& key);

    // New key (given in full, prefix included) -> old key or prefix of old keys. Runs once per
    // service, recorded under "310<service>UserDefaultsMigratedKey".
    using OldKey = std::variant<std::string, BCNUserDefaultsPrefixKey>;
    void migrateKeys(const std::map<std::string, OldKey>& migrations, const std::string& service);

private:
    static void swapKeys(const std::string& oldKey, const std::string& newKey, const foundation::Value& value);
};
