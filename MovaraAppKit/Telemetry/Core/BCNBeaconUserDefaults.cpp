#include "MovaraAppKit/Telemetry/Core/BCNBeaconUserDefaults.h"

#include "MovaraAppKit/Telemetry/Core/BCNLogger.h"
#include "Platform/Foundation/Error.h"
#include "Platform/Foundation/UserDefaults.h"

namespace {
const std::string kPrefix = "BeaconSDK";
}

BCNBeaconUserDefaults& BCNBeaconUserDefaults::shared()
{
    static BCNBeaconUserDefaults defaults;
    return defaults;
}

std::string BCNBeaconUserDefaults::getBeaconKeyFrom(const std::string& key)
{
    if (key.starts_with(kPrefix))
        throw foundation::Exception(foundation::NSInternalInconsistencyException,
                                    "Please do not prepend the key with 'BeaconSDK'. It's done automatically.");
    return kPrefix + key;
}

foundation::Value BCNBeaconUserDefaults::objectForKey(const std::string& key) const
{
    return foundation::UserDefaults::standard()->objectForKey(getBeaconKeyFrom(key));
}

void BCNBeaconUserDefaults::setObjectForKey(const foundation::Value& value, const std::string& key)
{
    foundation::UserDefaults::standard()->set(getBeaconKeyFrom(key), value);
}

void BCNBeaconUserDefaults::removeObjectForKey(const std::string& key)
{
    foundation::UserDefaults::standard()->removeObjectForKey(getBeaconKeyFrom(key));
}

void BCNBeaconUserDefaults::swapKeys(const std::string& oldKey, const std::string& newKey, const foundation::Value& value)
{
    if (value.isNull())
        return;
    auto defaults = foundation::UserDefaults::standard();
    defaults->set(newKey, value);
    defaults->removeObjectForKey(oldKey);
    BCNLogVerbose("Beacon", "Migrating key " + oldKey + " -> " + newKey);
}

void BCNBeaconUserDefaults::migrateKeys(const std::map<std::string, OldKey>& migrations, const std::string& service)
{
    const std::string marker = "310" + service + "UserDefaultsMigratedKey";
    if (!objectForKey(marker).isNull())
        return;
    BCNLogVerbose("Beacon", "Migrating the old NSDefaults keys to new ones.");
    auto defaults = foundation::UserDefaults::standard();
    for (const auto& [newKey, oldKey] : migrations) {
        if (const auto* key = std::get_if<std::string>(&oldKey)) {
            swapKeys(*key, newKey, defaults->objectForKey(*key));
            continue;
        }
        const auto& prefix = std::get<BCNUserDefaultsPrefixKey>(oldKey).keyPrefix;
        const foundation::Value all = defaults->dictionaryRepresentation();
        if (!all.isDictionary())
            continue;
        for (const auto& [stored, value] : all.asDictionary())
            if (stored.starts_with(prefix))
                swapKeys(stored, newKey + stored.substr(prefix.size()), value);
    }
    setObjectForKey(true, marker);
}
