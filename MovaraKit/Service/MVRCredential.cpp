#include "MovaraKit/Service/MVRCredential.h"

#include <cstdio>

#include "MovaraKit/Support/FrameworkLog.h"
#include "Platform/Foundation/Base64.h"

using security::Keychain;

namespace {

// Configuration of this system: the web service's API host and the maker's team prefix.
const std::string kAPIHost = "api.movara.com";
const std::string kAccessGroup = "7MOVARA4QT.com.movara";

std::string labelFor(const std::string& username)
{
    return kAPIHost + " (" + username + ")";
}

} // namespace

std::optional<security::KeychainItem> MVRKeychainAttributesForUsernameAndPassword(const std::string& username,
                                                                                   const std::string& password)
{
    if (username.empty() || password.empty())
        return std::nullopt;
    security::KeychainItem item;
    item.service = kAPIHost;
    item.accessGroup = kAccessGroup;
    item.synchronizable = true;
    item.accessible = security::kSecAttrAccessibleAfterFirstUnlock;
    item.account = username;
    item.label = labelFor(username);
    item.data = std::vector<std::uint8_t>(password.begin(), password.end());
    return item;
}

std::shared_ptr<MVRCredential> MVRCredential::initWithUsername(const std::string& username, const std::string& password)
{
    auto attributes = MVRKeychainAttributesForUsernameAndPassword(username, password);
    if (!attributes)
        return nullptr;
    return std::shared_ptr<MVRCredential>(new MVRCredential(std::move(*attributes)));
}

std::shared_ptr<MVRCredential> MVRCredential::initWithKeychainItemAttributes(security::KeychainItem attributes)
{
    return std::shared_ptr<MVRCredential>(new MVRCredential(std::move(attributes)));
}

std::optional<std::string> MVRCredential::keychainItemDataValue() const
{
    security::KeychainQuery query { m_attributes.service, m_attributes.account, m_attributes.accessGroup, std::nullopt };
    std::vector<security::KeychainItem> found;
    const auto status = Keychain::defaultKeychain().copyMatching(query, true, 1, &found);
    if (status != security::errSecSuccess) {
        mvr_frameworkLog().error("error copying data: %d", nullptr, static_cast<int>(status));
        return std::nullopt;
    }
    if (found.empty() || !found[0].data)
        return std::nullopt;
    return std::string(found[0].data->begin(), found[0].data->end());
}

std::optional<std::string> MVRCredential::password() const
{
    if (m_attributes.data)
        return std::string(m_attributes.data->begin(), m_attributes.data->end());
    return keychainItemDataValue();
}

net::HTTPHeaderFields MVRCredential::HTTPHeaders() const
{
    const std::string pair = username() + ":" + password().value_or("");
    return { { "Authorization", "Basic " + foundation::base64Encode(pair) } };
}

net::URLRequest MVRCredential::requestByApplyingHTTPHeadersToRequest(const net::URLRequest& request) const
{
    net::URLRequest copy = request;
    for (const auto& [name, value] : HTTPHeaders())
        copy.setValueForHTTPHeaderField(value, name);
    return copy;
}

std::string MVRCredential::description() const
{
    char address[32];
    std::snprintf(address, sizeof address, "%p", static_cast<const void*>(this));
    // The password is never written into logs.
    return "<MVRCredential: " + std::string(address) + "; username = " + username() + "; password = ********>";
}

// ---- MVRCredentialStorage -------------------------------------------------------------------

std::shared_ptr<MVRCredentialStorage> MVRCredentialStorage::sharedCredentialStorage()
{
    // There is no earlier credential store on this platform to migrate from.
    static const std::shared_ptr<MVRCredentialStorage> storage(new MVRCredentialStorage());
    return storage;
}

std::string MVRCredentialStorage::keychainService() { return kAPIHost; }
std::string MVRCredentialStorage::keychainAccessGroup() { return kAccessGroup; }

const foundation::KeyTable& MVRCredentialStorage::observableKeys() const
{
    static const foundation::KeyTable table = [] {
        foundation::KeyTable t;
        t.key("loginCredential", &MVRCredentialStorage::loginCredential);
        return t;
    }();
    return table;
}

security::KeychainQuery MVRCredentialStorage::query()
{
    return { kAPIHost, std::nullopt, kAccessGroup, std::nullopt };
}

std::shared_ptr<MVRCredential> MVRCredentialStorage::loginCredential() const
{
    std::vector<security::KeychainItem> found;
    const auto status = Keychain::defaultKeychain().copyMatching(query(), false, 1, &found);
    if (status == security::errSecItemNotFound)
        return nullptr;
    if (status != security::errSecSuccess || found.empty()) {
        mvr_frameworkLog().error("unknown error: %d", nullptr, static_cast<int>(status));
        return nullptr;
    }
    return MVRCredential::initWithKeychainItemAttributes(std::move(found[0]));
}

void MVRCredentialStorage::setLoginCredential(const std::shared_ptr<MVRCredential>& credential)
{
    willChange("loginCredential");
    auto& keychain = Keychain::defaultKeychain();
    if (!credential) {
        keychain.remove(query());
    } else {
        const auto& attributes = credential->keychainItemAttributes();
        security::KeychainChanges changes;
        changes.account = attributes.account;
        changes.label = labelFor(attributes.account);
        if (auto password = credential->password())
            changes.data = std::vector<std::uint8_t>(password->begin(), password->end());
        const auto status = keychain.update(query(), changes);
        if (status != security::errSecSuccess && status != security::errSecItemNotFound) {
            mvr_frameworkLog().error("unexpected error updating keychain item: %{public}s", nullptr,
                                     Keychain::copyErrorMessageString(status).c_str());
            keychain.remove(query());
        }
        if (status != security::errSecSuccess) {
            security::KeychainItem full = attributes;
            if (!full.data && changes.data)
                full.data = changes.data;
            saveKeychainItemAttributes(full);
        }
    }
    didChange("loginCredential");
}

bool MVRCredentialStorage::saveKeychainItemAttributes(const security::KeychainItem& attributes)
{
    if (attributes.account.empty() && attributes.service.empty())
        return false;
    const auto status = Keychain::defaultKeychain().add(attributes);
    if (status == security::errSecDuplicateItem)
        mvr_frameworkLog().error("error saving: duplicate item", nullptr);
    else if (status != security::errSecSuccess)
        mvr_frameworkLog().error("error saving: %d", nullptr, static_cast<int>(status));
    return status == security::errSecSuccess;
}
