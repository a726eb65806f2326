#pragma once
// The keychain's items in the desktop's Secret Service (GNOME Keyring, KeePassXC...), through
// libsecret. Every item is filed under its keychain's scope (the keychain's location), so two
// keychains never see each other's items. Calls wait for the service; they answer the
// keychain's status codes, errSecNotAvailable when no Secret Service answers.

#include <string>
#include <vector>

#include "Platform/Security/Keychain.h"

namespace security::secretservice {

// Whether a Secret Service answers on the session bus. Only a bus that is running counts: none
// is launched to find out.
bool available();

OSStatus add(const std::string& scope, const KeychainItem& item);
OSStatus copyMatching(const std::string& scope, const KeychainQuery& query, bool returnData, std::size_t limit,
                      std::vector<KeychainItem>* results);
OSStatus update(const std::string& scope, const KeychainQuery& query, const KeychainChanges& changes);
OSStatus remove(const std::string& scope, const KeychainQuery& query);

} // namespace security::secretservice
