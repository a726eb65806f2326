#pragma once
// The telemetry client's preferences: the standard user defaults with every key prefixed by
// "BeaconSDK". Any thread.

#include <memory>
#include <string>

#include "Platform/Foundation/Value.h"

class BCNBeaconUserDefaults {
public:
    static BCNBeaconUserDefaults& shared();

    // Keys are given without the prefix.
    foundation::Value objectForKey(const std::string& key) const;
    void setObjectForKey(const foundation::Value& value, const std::string& key);
    void removeObjectForKey(const std::string& key);

private:
    static std::string prefixed(const std::string& key);
};
