#include "MovaraAppKit/Telemetry/Core/Util/BCNKeychainUtil.h"

#include "MovaraAppKit/Telemetry/Core/BCNLogger.h"
#include "Platform/Foundation/Bundle.h"
#include "Platform/Security/Keychain.h"

namespace {
const std::string kTag = "Beacon";
}

std::string BCNKeychainUtil::serviceName()
{
    auto bundle = foundation::Bundle::main();
    return (bundle ? bundle->bundleIdentifier() : std::string()) + ".Beacon";
}

bool BCNKeychainUtil::storeString(const std::string& string, const std::string& key, const std::string& service)
{
    security::KeychainItem item;
    item.service = service;
    item.account = key;
    item.accessible = security::kSecAttrAccessibleAfterFirstUnlockThisDeviceOnly;
    item.data = std::vector<std::uint8_t>(string.begin(), string.end());
    auto& keychain = security::Keychain::defaultKeychain();
    security::OSStatus status = keychain.add(item);
    if (status == security::errSecDuplicateItem) {
        keychain.remove({ service, key, std::nullopt, std::nullopt });
        status = keychain.add(item);
    }
    if (status == security::errSecSuccess) {
        BCNLogVerbose(kTag, "Stored a string with key='" + key + "', service='" + service + "' to keychain.");
        return true;
    }
    BCNLogWarning(kTag, "Failed to store item with key='" + key + "', service='" + service + "' to keychain. OS Status code "
                            + std::to_string(status));
    return false;
}

std::optional<std::string> BCNKeychainUtil::stringForKey(const std::string& key, const std::string& service, int* statusCode)
{
    std::vector<security::KeychainItem> results;
    const security::OSStatus status = security::Keychain::defaultKeychain().copyMatching({ service, key, std::nullopt, std::nullopt },
                                                                                         true, 1, &results);
    if (statusCode)
        *statusCode = status;
    if (status == security::errSecSuccess && !results.empty() && results.front().data) {
        BCNLogVerbose(kTag, "Retrieved a string with key='" + key + "', service='" + service + "' from keychain.");
        const auto& bytes = *results.front().data;
        return std::string(bytes.begin(), bytes.end());
    }
    BCNLogWarning(kTag, "Failed to retrieve item with key='" + key + "', service='" + service
                            + "' from keychain. OS Status code " + std::to_string(status));
    return std::nullopt;
}

std::optional<std::string> BCNKeychainUtil::deleteStringForKey(const std::string& key, const std::string& service)
{
    auto string = stringForKey(key, service);
    if (!string)
        return std::nullopt;
    const security::OSStatus status = security::Keychain::defaultKeychain().remove({ service, key, std::nullopt, std::nullopt });
    if (status == security::errSecSuccess) {
        BCNLogVerbose(kTag, "Deleted a string with key='" + key + "', service='" + service + "' from keychain.");
        return string;
    }
    BCNLogWarning(kTag, "Failed to delete item with key='" + key + "', service='" + service + "' from keychain. OS Status code "
                            + std::to_string(status));
    return std::nullopt;
}

bool BCNKeychainUtil::clear()
{
    return security::Keychain::defaultKeychain().remove({ serviceName(), std::nullopt, std::nullopt, std::nullopt })
        == security::errSecSuccess;
}
