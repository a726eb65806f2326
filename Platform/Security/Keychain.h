#pragma once
// The keychain: generic-password items. Where a Secret Service runs on the session bus (GNOME
// Keyring, KeePassXC...) the items live there, through libsecret, filed under the keychain's
// location so that two data homes never see each other's items; a store file found there is
// moved in whole. Without one they live in one store file per user, readable by its owner only
// (mode 0600 under $XDG_DATA_HOME/keychains), and the keychain says so once: that mode is then
// the whole protection, since the key that seals the secrets (AES-256-GCM) lies beside the
// store and only keeps them out of plain sight. Calls answer the platform's status codes.
// Writes replace the file atomically, and a store that can't be read is set aside (never
// overwritten) before a write starts afresh. Thread-safe, and safe between processes (the
// store is locked while it is used).

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace security {

using OSStatus = int;
enum : OSStatus {
    errSecSuccess = 0,
    errSecIO = -36,
    errSecParam = -50,
    errSecAllocate = -108,
    errSecNotAvailable = -25291,
    errSecDuplicateItem = -25299,
    errSecItemNotFound = -25300,
    errSecDecode = -26275,
};

// "After first unlock", the accessibility every item of this system uses.
extern const std::string kSecAttrAccessibleAfterFirstUnlock; // "ck"
// "After first unlock, this device only": never synchronised or restored to another machine.
extern const std::string kSecAttrAccessibleAfterFirstUnlockThisDeviceOnly; // "cku"

struct KeychainItem {
    std::string service;
    std::string account;
    std::string accessGroup;
    std::string label;
    std::string accessible = kSecAttrAccessibleAfterFirstUnlock;
    bool synchronizable = false;
    // The secret; absent in results that asked for attributes only.
    std::optional<std::vector<std::uint8_t>> data;

    bool operator==(const KeychainItem&) const = default;
};

// What to match; an absent field matches anything (synchronizable absent is the platform's "any").
struct KeychainQuery {
    std::optional<std::string> service;
    std::optional<std::string> account;
    std::optional<std::string> accessGroup;
    std::optional<bool> synchronizable;
};

struct KeychainChanges {
    std::optional<std::string> account;
    std::optional<std::string> label;
    std::optional<std::vector<std::uint8_t>> data;
};

class Keychain {
public:
    enum class Backend {
        Automatic,     // the Secret Service when one runs (asked once), else the private file
        SecretService, // errSecNotAvailable without one
        File,
    };

    // The user's keychain, Automatic, under $XDG_DATA_HOME (read at each call).
    static Keychain& defaultKeychain();
    // A keychain at `directory`: its files live there (made on first write), and its items in
    // the Secret Service are filed under it.
    explicit Keychain(std::filesystem::path directory, Backend backend = Backend::File);

    // Whether the items go to the Secret Service.
    bool usesSecretService();

    // errSecDuplicateItem when an item with the same service, account, access group and
    // synchronizable flag exists.
    OSStatus add(const KeychainItem& item);
    // Matches in the order they were added; `limit` 0 means all. errSecItemNotFound for none.
    OSStatus copyMatching(const KeychainQuery& query, bool returnData, std::size_t limit,
                          std::vector<KeychainItem>* results);
    OSStatus update(const KeychainQuery& query, const KeychainChanges& changes);
    OSStatus remove(const KeychainQuery& query);

    // The platform's message for a status.
    static std::string copyErrorMessageString(OSStatus status);

private:
    std::filesystem::path directory() const;
    // Under m_mutex.
    bool usesSecretServiceLocked();
    void moveStoreIntoSecretService(const std::filesystem::path& directory);

    std::optional<std::filesystem::path> m_directory; // none: the default location
    Backend m_backend = Backend::File;
    std::optional<bool> m_usesSecretService;

    struct Store;
    std::mutex m_mutex;
    explicit Keychain(Backend backend) : m_backend(backend) { }
};

} // namespace security
