#pragma once
// Generic-password items of the client's keychain service (the bundle identifier followed by
// ".Beacon"), kept "after first unlock, this device only". Statuses are the keychain's.
// Any thread.

#include <optional>
#include <string>

class BCNKeychainUtil {
public:
    static std::string serviceName();

    static bool storeString(const std::string& string, const std::string& key, const std::string& service);
    static bool storeString(const std::string& string, const std::string& key) { return storeString(string, key, serviceName()); }
    static std::optional<std::string> stringForKey(const std::string& key, const std::string& service, int* statusCode = nullptr);
    static std::optional<std::string> stringForKey(const std::string& key, int* statusCode = nullptr)
    {
        return stringForKey(key, serviceName(), statusCode);
    }
    // The deleted string; none when nothing was stored or deleting failed.
    static std::optional<std::string> deleteStringForKey(const std::string& key, const std::string& service);
    static std::optional<std::string> deleteStringForKey(const std::string& key) { return deleteStringForKey(key, serviceName()); }
    // Deletes every item of the service.
    static bool clear();
};
