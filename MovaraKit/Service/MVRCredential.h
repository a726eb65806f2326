#pragma once
// The user's web-service login, kept as one generic-password item of the keychain.
// MVRCredential is one login (its item attributes); MVRCredentialStorage is the process-wide
// store of the one login credential: reading asks the keychain each time, setting updates,
// adds or deletes the item, and every set is announced to observers of "loginCredential".

#include <memory>
#include <optional>
#include <string>

#include "Platform/Foundation/Observable.h"
#include "Platform/Net/URLRequest.h"
#include "Platform/Security/Keychain.h"

// The keychain item for a login: service (the API host), access group, synchronizable,
// accessible after first unlock, account, label "<host> (<user name>)", password as UTF-8.
// None when either string is empty.
std::optional<security::KeychainItem> MVRKeychainAttributesForUsernameAndPassword(const std::string& username,
                                                                                   const std::string& password);

class MVRCredential {
public:
    static std::shared_ptr<MVRCredential> initWithUsername(const std::string& username, const std::string& password);
    static std::shared_ptr<MVRCredential> initWithKeychainItemAttributes(security::KeychainItem attributes);

    const security::KeychainItem& keychainItemAttributes() const { return m_attributes; }
    std::string username() const { return m_attributes.account; }
    // From the attributes, or fetched from the keychain when they carry none.
    std::optional<std::string> password() const;
    std::optional<std::string> keychainItemDataValue() const;

    // { "Authorization": "Basic <base64 of user:password>" }
    net::HTTPHeaderFields HTTPHeaders() const;
    net::URLRequest requestByApplyingHTTPHeadersToRequest(const net::URLRequest& request) const;

    std::string description() const;

private:
    explicit MVRCredential(security::KeychainItem attributes) : m_attributes(std::move(attributes)) { }
    security::KeychainItem m_attributes;
};

class MVRCredentialStorage : public foundation::Observable {
public:
    static std::shared_ptr<MVRCredentialStorage> sharedCredentialStorage();

    // The API host name (item service) and the access group of login items.
    static std::string keychainService();
    static std::string keychainAccessGroup();

    std::shared_ptr<MVRCredential> loginCredential() const;
    void setLoginCredential(const std::shared_ptr<MVRCredential>& credential);

    bool saveKeychainItemAttributes(const security::KeychainItem& attributes);

    const foundation::KeyTable& observableKeys() const override;

private:
    MVRCredentialStorage() = default;
    static security::KeychainQuery query();
};
