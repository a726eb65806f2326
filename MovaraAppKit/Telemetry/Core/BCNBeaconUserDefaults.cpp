#include "MovaraAppKit/Telemetry/Core/BCNBeaconUserDefaults.h"

#include "MovaraAppKit/Telemetry/Core/BCNLogger.h"
#include "Platform/Foundation/UserDefaults.h"

namespace {
const std::string kPrefix = "BeaconSDK";
}

BCNBeaconUserDefaults& BCNBeaconUserDefaults::shared()
{
    static BCNBeaconUserDefaults defaults;
    return defaults;
}

std::string BCNBeaconUserDefaults::prefixed(const std::string& key)
{
    if (key.starts_with(kPrefix)) {
        // A programming error, reported loudly but not fatally: the key is used as given.
        BCNLogAssert("Beacon", "Please do not prepend the key with 'BeaconSDK'. It's done automatically.");
        return key;
    }
    return kPrefix + key;
}

foundation::Value BCNBeaconUserDefaults::objectForKey(const std::string& key) const
{
    return foundation::UserDefaults::standard()->objectForKey(prefixed(key));
}

void BCNBeaconUserDefaults::setObjectForKey(const foundation::Value& value, const std::string& key)
{
    foundation::UserDefaults::standard()->set(prefixed(key), value);
}

void BCNBeaconUserDefaults::removeObjectForKey(const std::string& key)
{
    foundation::UserDefaults::standard()->removeObjectForKey(prefixed(key));
}
