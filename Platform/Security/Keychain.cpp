#include "Platform/Security/Keychain.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "Platform/Foundation/Base64.h"
#include "Platform/Foundation/FileManager.h"
#include "Platform/Foundation/JSON.h"
#include "Platform/Security/AES.h"
#include "Platform/Security/Random.h"
#include "Platform/Security/SecretServiceStore.h"

namespace security {

namespace fs = std::filesystem;
using foundation::Value;

const std::string kSecAttrAccessibleAfterFirstUnlock = "ck";
const std::string kSecAttrAccessibleAfterFirstUnlockThisDeviceOnly = "cku";

namespace {

constexpr const char* kStoreName = "login.keychain";
constexpr const char* kKeyName = "login.keychain-key";
constexpr const char* kLockName = "login.keychain-lock";
// Refuse to read a store larger than this: no user has that many passwords.
constexpr std::uintmax_t kMaximumStoreBytes = 16u << 20;

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : m_fd(fd) { }
    ~FileDescriptor()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return m_fd; }

private:
    int m_fd = -1;
};

bool writeAll(int fd, const std::string& bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Writes `bytes` to `path` through a private temporary file and a rename, so that a reader
// sees the old file or the new one, never a part.
bool writeAtomically(const fs::path& path, const std::string& bytes)
{
    fs::path temporary = path;
    temporary += ".tmp-" + std::to_string(::getpid());
    FileDescriptor fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (fd.get() < 0)
        return false;
    ::fchmod(fd.get(), 0600);
    if (!writeAll(fd.get(), bytes) || ::fsync(fd.get()) != 0 || ::rename(temporary.c_str(), path.c_str()) != 0) {
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}

std::optional<std::string> readFile(const fs::path& path, bool& missing)
{
    missing = false;
    FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (fd.get() < 0) {
        missing = errno == ENOENT;
        return std::nullopt;
    }
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode) || static_cast<std::uintmax_t>(info.st_size) > kMaximumStoreBytes)
        return std::nullopt;
    std::string bytes;
    char buffer[8192];
    while (true) {
        ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return std::nullopt;
        if (n == 0)
            break;
        bytes.append(buffer, static_cast<std::size_t>(n));
        if (bytes.size() > kMaximumStoreBytes)
            return std::nullopt;
    }
    return bytes;
}

bool matches(const KeychainItem& item, const KeychainQuery& query)
{
    return (!query.service || item.service == *query.service) && (!query.account || item.account == *query.account)
        && (!query.accessGroup || item.accessGroup == *query.accessGroup)
        && (!query.synchronizable || item.synchronizable == *query.synchronizable);
}

} // namespace

// One opened store: the items with their sealed secrets, loaded under the lock.
struct Keychain::Store {
    struct Entry {
        KeychainItem attributes; // without data
        std::vector<std::uint8_t> sealed;
    };

    fs::path directory;
    std::vector<Entry> entries;
    bool damaged = false;
    int lockFD = -1;

    explicit Store(fs::path dir) : directory(std::move(dir)) { }
    ~Store()
    {
        if (lockFD >= 0) {
            ::flock(lockFD, LOCK_UN);
            ::close(lockFD);
        }
    }

    OSStatus open(bool forWriting)
    {
        std::error_code ec;
        if (forWriting) {
            fs::create_directories(directory, ec);
            ::chmod(directory.c_str(), 0700);
        }
        if (!fs::exists(directory, ec))
            return errSecSuccess; // nothing stored yet
        lockFD = ::open((directory / kLockName).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (lockFD < 0 || ::flock(lockFD, forWriting ? LOCK_EX : LOCK_SH) != 0)
            return errSecIO;
        bool missing = false;
        auto bytes = readFile(directory / kStoreName, missing);
        if (!bytes) {
            damaged = !missing;
            return errSecSuccess;
        }
        foundation::ErrorPtr error;
        Value document = foundation::parseJSON(*bytes, &error);
        if (error || !document["items"].isArray()) {
            damaged = true;
            return errSecSuccess;
        }
        for (const Value& item : document["items"].asArray()) {
            auto sealed = foundation::base64Decode(item["data"].asString());
            if (!item.isDictionary() || !item["service"].isString() || !item["account"].isString() || !sealed) {
                damaged = true;
                entries.clear();
                return errSecSuccess;
            }
            Entry entry;
            entry.attributes.service = item["service"].asString();
            entry.attributes.account = item["account"].asString();
            entry.attributes.accessGroup = item["accessGroup"].asString();
            entry.attributes.label = item["label"].asString();
            entry.attributes.accessible = item["accessible"].asString();
            entry.attributes.synchronizable = item["synchronizable"].asBool();
            entry.sealed = std::move(*sealed);
            entries.push_back(std::move(entry));
        }
        return errSecSuccess;
    }

    OSStatus save()
    {
        if (damaged) {
            // Keep what could not be read for whoever can repair it; start a new store.
            fs::path aside = directory / kStoreName;
            aside += ".damaged-" + std::to_string(::time(nullptr));
            if (::rename((directory / kStoreName).c_str(), aside.c_str()) != 0)
                return errSecIO;
            damaged = false;
        }
        Value items = Value::array();
        for (const Entry& entry : entries) {
            items.append(Value::dictionary({
                { "service", entry.attributes.service },
                { "account", entry.attributes.account },
                { "accessGroup", entry.attributes.accessGroup },
                { "label", entry.attributes.label },
                { "accessible", entry.attributes.accessible },
                { "synchronizable", entry.attributes.synchronizable },
                { "data", foundation::base64Encode(entry.sealed) },
            }));
        }
        Value document = Value::dictionary({ { "version", 1 }, { "items", items } });
        return writeAtomically(directory / kStoreName, foundation::toJSON(document, true)) ? errSecSuccess : errSecIO;
    }

    // The store's key; made on first use when `create`. None when it is missing (and not to
    // be made) or damaged: a damaged key is never replaced, or the secrets sealed with it
    // would be lost for good.
    std::optional<std::vector<std::uint8_t>> key(bool create)
    {
        const fs::path path = directory / kKeyName;
        bool missing = false;
        auto bytes = readFile(path, missing);
        if (bytes)
            return bytes->size() == AESKeyLength ? std::optional(std::vector<std::uint8_t>(bytes->begin(), bytes->end())) : std::nullopt;
        if (!missing || !create)
            return std::nullopt;
        auto fresh = randomBytes(AESKeyLength);
        if (!fresh || !writeAtomically(path, std::string(fresh->begin(), fresh->end())))
            return std::nullopt;
        return fresh;
    }
};

Keychain::Keychain(fs::path directory, Backend backend)
    : m_directory(std::move(directory))
    , m_backend(backend)
{
}

Keychain& Keychain::defaultKeychain()
{
    static Keychain keychain(Backend::Automatic);
    return keychain;
}

bool Keychain::usesSecretService()
{
    std::lock_guard guard(m_mutex);
    return usesSecretServiceLocked();
}

bool Keychain::usesSecretServiceLocked()
{
    if (m_backend != Backend::Automatic)
        return m_backend == Backend::SecretService;
    if (!m_usesSecretService) {
        m_usesSecretService = secretservice::available();
        if (!*m_usesSecretService)
            std::fprintf(stderr, "Keychain: no Secret Service runs on the session bus; passwords are kept in %s, "
                                 "a file only you can read, but not encrypted against anyone who can read your files.\n",
                         (directory() / kStoreName).c_str());
    }
    return *m_usesSecretService;
}

// A store file left from a time without a Secret Service: its items move in, then the file
// and its key go. Anything that can't be moved whole stays where it is.
void Keychain::moveStoreIntoSecretService(const fs::path& directory)
{
    std::error_code ec;
    if (!fs::exists(directory / kStoreName, ec))
        return;
    Store store(directory);
    if (store.open(true) != errSecSuccess || store.damaged)
        return;
    const std::string scope = directory.string();
    auto key = store.key(false);
    for (const Store::Entry& entry : store.entries) {
        KeychainItem item = entry.attributes;
        item.data = key ? aesOpen(*key, entry.sealed) : std::nullopt;
        if (!item.data)
            return;
        const OSStatus status = secretservice::add(scope, item);
        if (status != errSecSuccess && status != errSecDuplicateItem)
            return;
    }
    ::unlink((directory / kStoreName).c_str());
    ::unlink((directory / kKeyName).c_str());
    ::unlink((directory / kLockName).c_str());
    fs::remove(directory, ec); // when nothing else lives there
}

fs::path Keychain::directory() const
{
    if (m_directory)
        return *m_directory;
    // The application-support folder, as the file manager finds it; never made here, so a
    // query of an empty keychain leaves no folders behind.
    auto support = foundation::FileManager::defaultManager().URLForDirectory(foundation::SearchPathDirectory::ApplicationSupport, false);
    return fs::path(support->path()) / "keychains";
}

OSStatus Keychain::add(const KeychainItem& item)
{
    if (item.service.empty() && item.account.empty())
        return errSecParam;
    std::lock_guard guard(m_mutex);
    if (usesSecretServiceLocked()) {
        moveStoreIntoSecretService(directory());
        return secretservice::add(directory().string(), item);
    }
    Store store(directory());
    if (OSStatus status = store.open(true); status != errSecSuccess)
        return status;
    KeychainQuery identity { item.service, item.account, item.accessGroup, item.synchronizable };
    if (std::any_of(store.entries.begin(), store.entries.end(), [&](const Store::Entry& e) { return matches(e.attributes, identity); }))
        return errSecDuplicateItem;
    auto key = store.key(true);
    if (!key)
        return errSecDecode;
    const auto& secret = item.data ? *item.data : std::vector<std::uint8_t>();
    auto sealed = aesSeal(*key, secret);
    if (!sealed)
        return errSecAllocate;
    Store::Entry entry { item, std::move(*sealed) };
    entry.attributes.data.reset();
    store.entries.push_back(std::move(entry));
    return store.save();
}

OSStatus Keychain::copyMatching(const KeychainQuery& query, bool returnData, std::size_t limit,
                                std::vector<KeychainItem>* results)
{
    std::lock_guard guard(m_mutex);
    if (usesSecretServiceLocked()) {
        moveStoreIntoSecretService(directory());
        return secretservice::copyMatching(directory().string(), query, returnData, limit, results);
    }
    Store store(directory());
    if (OSStatus status = store.open(false); status != errSecSuccess)
        return status;
    if (store.damaged)
        return errSecDecode;
    std::optional<std::vector<std::uint8_t>> key;
    std::vector<KeychainItem> found;
    for (const Store::Entry& entry : store.entries) {
        if (!matches(entry.attributes, query))
            continue;
        KeychainItem item = entry.attributes;
        if (returnData) {
            if (!key)
                key = store.key(false);
            auto secret = key ? aesOpen(*key, entry.sealed) : std::nullopt;
            if (!secret)
                return errSecDecode;
            item.data = std::move(*secret);
        }
        found.push_back(std::move(item));
        if (limit && found.size() == limit)
            break;
    }
    if (found.empty())
        return errSecItemNotFound;
    if (results)
        *results = std::move(found);
    return errSecSuccess;
}

OSStatus Keychain::update(const KeychainQuery& query, const KeychainChanges& changes)
{
    std::lock_guard guard(m_mutex);
    if (usesSecretServiceLocked()) {
        moveStoreIntoSecretService(directory());
        return secretservice::update(directory().string(), query, changes);
    }
    Store store(directory());
    if (OSStatus status = store.open(true); status != errSecSuccess)
        return status;
    if (store.damaged)
        return errSecItemNotFound;
    std::optional<std::vector<std::uint8_t>> key;
    bool any = false;
    for (Store::Entry& entry : store.entries) {
        if (!matches(entry.attributes, query))
            continue;
        any = true;
        if (changes.account)
            entry.attributes.account = *changes.account;
        if (changes.label)
            entry.attributes.label = *changes.label;
        if (changes.data) {
            if (!key)
                key = store.key(true);
            auto sealed = key ? aesSeal(*key, *changes.data) : std::nullopt;
            if (!sealed)
                return errSecDecode;
            entry.sealed = std::move(*sealed);
        }
    }
    if (!any)
        return errSecItemNotFound;
    // The change must not make two items the same.
    for (std::size_t i = 0; i < store.entries.size(); ++i) {
        const auto& a = store.entries[i].attributes;
        for (std::size_t j = i + 1; j < store.entries.size(); ++j) {
            const auto& b = store.entries[j].attributes;
            if (a.service == b.service && a.account == b.account && a.accessGroup == b.accessGroup && a.synchronizable == b.synchronizable)
                return errSecDuplicateItem;
        }
    }
    return store.save();
}

OSStatus Keychain::remove(const KeychainQuery& query)
{
    std::lock_guard guard(m_mutex);
    if (usesSecretServiceLocked()) {
        moveStoreIntoSecretService(directory());
        return secretservice::remove(directory().string(), query);
    }
    Store store(directory());
    if (OSStatus status = store.open(true); status != errSecSuccess)
        return status;
    if (store.damaged)
        return errSecItemNotFound;
    const auto before = store.entries.size();
    std::erase_if(store.entries, [&](const Store::Entry& e) { return matches(e.attributes, query); });
    if (store.entries.size() == before)
        return errSecItemNotFound;
    return store.save();
}

std::string Keychain::copyErrorMessageString(OSStatus status)
{
    switch (status) {
    case errSecSuccess: return "No error.";
    case errSecIO: return "I/O error (bummers)";
    case errSecParam: return "One or more parameters passed to a function were not valid.";
    case errSecAllocate: return "Failed to allocate memory.";
    case errSecNotAvailable: return "No keychain is available. You may need to restart your computer.";
    case errSecDuplicateItem: return "The specified item already exists in the keychain.";
    case errSecItemNotFound: return "The specified item could not be found in the keychain.";
    case errSecDecode: return "Unable to decode the provided data.";
    default: return "OSStatus " + std::to_string(status);
    }
}

} // namespace security
