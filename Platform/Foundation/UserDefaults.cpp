#include "Platform/Foundation/UserDefaults.h"

#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

#include "Platform/Foundation/Bundle.h"
#include "Platform/Foundation/Error.h"
#include "Platform/Foundation/FileManager.h"
#include "Platform/Foundation/PropertyList.h"

namespace foundation {

struct UserDefaults::Storage {
    std::string suiteName;
    std::string path;
    mutable std::mutex mutex;
    Dictionary values;
    Dictionary registered;
    bool dirty = false;
};

namespace {

// Preferences are a few settings; a file much larger than that is not one we wrote.
constexpr std::uint64_t MaximumPreferencesSize = 4ULL << 20;

bool isValidSuiteName(const std::string& name)
{
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos
        && name.find('\0') == std::string::npos;
}

// Null and sets have no property-list form: stored, either would fail every later save.
bool holdsNonPropertyListObject(const Value& value)
{
    if (value.isNull() || value.isSet())
        return true;
    if (const auto* array = value.arrayValue()) {
        for (const auto& item : *array) {
            if (holdsNonPropertyListObject(item))
                return true;
        }
    }
    if (const auto* dictionary = value.dictionaryValue()) {
        for (const auto& [key, item] : *dictionary) {
            if (holdsNonPropertyListObject(item))
                return true;
        }
    }
    return false;
}

std::string configDirectory()
{
    auto url = FileManager::defaultManager().URLForDirectory(SearchPathDirectory::Configuration, false);
    return url ? url->path() : std::string("/tmp");
}

// Keeps a damaged file for a look, as "<name>.damaged" ("-2", "-3", ... when an earlier one is
// there: that one stays), which frees its place for fresh preferences.
void moveAside(const std::string& path, const std::string& why)
{
    std::string aside;
    int err = 0;
    for (int n = 1; n <= 100; ++n) {
        aside = path + ".damaged" + (n > 1 ? "-" + std::to_string(n) : std::string());
        int done = ::renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, aside.c_str(), RENAME_NOREPLACE);
        if (done != 0 && (errno == EINVAL || errno == ENOSYS)) {
            // A file system without the flag: a link can't replace anything either.
            done = ::link(path.c_str(), aside.c_str());
            if (done == 0)
                ::unlink(path.c_str());
        }
        if (done == 0) {
            std::fprintf(stderr, "UserDefaults: the preferences at %s are damaged and were moved aside to %s; "
                                 "starting afresh. %s\n",
                         path.c_str(), aside.c_str(), why.c_str());
            return;
        }
        err = errno;
        if (err != EEXIST)
            break;
    }
    std::fprintf(stderr, "UserDefaults: the preferences at %s are damaged and can't be moved aside (%s); "
                         "starting afresh. %s\n",
                 path.c_str(), std::strerror(err), why.c_str());
}

// Reads the suite's file. A missing file is simply empty; one that can't be read is reported and
// read as empty; a damaged one (not a property list, not a dictionary, far too large) is moved
// aside with a warning, so that neither it nor what it makes us do stops the program.
Dictionary load(const std::string& path)
{
    ErrorPtr error;
    const auto bytes = FileManager::defaultManager().contentsAtPath(path, &error, MaximumPreferencesSize);
    if (!bytes && error && error->code() == NSFileReadTooLargeError) {
        moveAside(path, error->localizedDescription());
        return {};
    }
    if (!bytes) {
        if (error && error->code() != NSFileReadNoSuchFileError)
            std::fprintf(stderr, "UserDefaults: ignoring unreadable preferences at %s: %s\n", path.c_str(),
                         error->localizedDescription().c_str());
        return {};
    }
    Value root = readPropertyList(*bytes, &error);
    if (!root.isDictionary()) {
        moveAside(path, error ? error->localizedDescription() : "They hold no dictionary.");
        return {};
    }
    return root.asDictionary();
}

// Writes the file beside its final place and renames it over, so a crash or a full disk never
// leaves a half-written preferences file.
bool save(const std::string& path, const Dictionary& values)
{
    ErrorPtr error;
    const Data bytes = toBinaryPropertyList(Value(values), &error);
    if (bytes.empty()) {
        std::fprintf(stderr, "UserDefaults: can't encode preferences: %s\n",
                     error ? error->localizedDescription().c_str() : "unknown error");
        return false;
    }
    const auto slash = path.rfind('/');
    const std::string directory = slash == std::string::npos ? "." : path.substr(0, slash);
    if (!FileManager::defaultManager().createDirectoryAtURL(URL::fileURLWithPath(directory, true), true, &error)) {
        std::fprintf(stderr, "UserDefaults: %s\n", error->localizedDescription().c_str());
        return false;
    }
    std::string temporary = path + ".XXXXXX";
    const int fd = ::mkstemp(temporary.data());
    if (fd < 0) {
        std::perror("UserDefaults: can't create a temporary file");
        return false;
    }
    bool ok = true;
    size_t done = 0;
    while (ok && done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            ok = false;
        else
            done += static_cast<size_t>(n);
    }
    ok = ok && ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    ok = ok && ::rename(temporary.c_str(), path.c_str()) == 0;
    if (!ok) {
        std::perror("UserDefaults: can't write preferences");
        ::unlink(temporary.c_str());
    }
    return ok;
}

struct Registry {
    std::mutex mutex;
    std::map<std::string, std::weak_ptr<UserDefaults::Storage>> storages;
};

Registry& registry()
{
    static Registry r;
    return r;
}

std::shared_ptr<UserDefaults::Storage> storageFor(const std::string& suiteName)
{
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    if (auto existing = r.storages[suiteName].lock())
        return existing;
    auto storage = std::make_shared<UserDefaults::Storage>();
    storage->suiteName = suiteName;
    storage->path = configDirectory() + "/" + suiteName + ".plist";
    storage->values = load(storage->path);
    r.storages[suiteName] = storage;
    return storage;
}

std::string standardSuiteName()
{
    std::string identifier = Bundle::main()->bundleIdentifier();
    if (isValidSuiteName(identifier))
        return identifier;
    // A program without a bundle identifier keeps its preferences under its own name.
    std::string name = program_invocation_short_name ? program_invocation_short_name : "";
    return isValidSuiteName(name) ? name : std::string("Quintor");
}

std::optional<std::int64_t> leadingInteger(const std::string& text)
{
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t'))
        ++i;
    std::int64_t v = 0;
    const char* begin = text.data() + i;
    if (i < text.size() && text[i] == '+')
        ++begin;
    auto [end, ec] = std::from_chars(begin, text.data() + text.size(), v);
    if (ec != std::errc() || end == begin)
        return std::nullopt;
    return v;
}

} // namespace

std::shared_ptr<UserDefaults> UserDefaults::standard()
{
    static const std::shared_ptr<UserDefaults> defaults = std::make_shared<UserDefaults>(storageFor(standardSuiteName()));
    return defaults;
}

std::shared_ptr<UserDefaults> UserDefaults::initWithSuiteName(const std::string& suiteName)
{
    if (!isValidSuiteName(suiteName))
        return nullptr;
    return std::make_shared<UserDefaults>(storageFor(suiteName));
}

const std::string& UserDefaults::suiteName() const { return m_storage->suiteName; }

void UserDefaults::registerDefaults(const Value& defaults)
{
    const Dictionary* dictionary = defaults.dictionaryValue();
    if (!dictionary)
        return;
    std::lock_guard lock(m_storage->mutex);
    for (const auto& [key, value] : *dictionary)
        m_storage->registered.set(key, value);
}

Value UserDefaults::objectForKey(const std::string& key) const
{
    std::lock_guard lock(m_storage->mutex);
    if (const Value* v = m_storage->values.find(key))
        return *v;
    if (const Value* v = m_storage->registered.find(key))
        return *v;
    return {};
}

bool UserDefaults::boolForKey(const std::string& key) const
{
    const Value v = objectForKey(key);
    if (v.isNumber())
        return v.asDouble() != 0;
    if (auto s = v.stringValue()) {
        std::string lower;
        for (char c : *s)
            lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (lower == "yes" || lower == "true")
            return true;
        return leadingInteger(*s).value_or(0) != 0;
    }
    return false;
}

std::int64_t UserDefaults::integerForKey(const std::string& key) const
{
    const Value v = objectForKey(key);
    if (v.isNumber())
        return v.integerValue().value_or(0);
    if (auto s = v.stringValue())
        return leadingInteger(*s).value_or(0);
    return 0;
}

double UserDefaults::doubleForKey(const std::string& key) const
{
    const Value v = objectForKey(key);
    if (v.isNumber())
        return v.asDouble();
    if (auto s = v.stringValue()) {
        double d = 0;
        const char* begin = s->data();
        while (begin < s->data() + s->size() && (*begin == ' ' || *begin == '\t'))
            ++begin;
        auto [end, ec] = std::from_chars(begin, s->data() + s->size(), d);
        return ec == std::errc() ? d : 0;
    }
    return 0;
}

std::optional<std::string> UserDefaults::stringForKey(const std::string& key) const
{
    const Value v = objectForKey(key);
    if (v.isString())
        return v.asString();
    if (v.isInteger())
        return std::to_string(v.asInteger());
    if (v.isReal()) {
        char buffer[32];
        std::snprintf(buffer, sizeof buffer, "%.17g", v.asDouble());
        return std::string(buffer);
    }
    if (v.isBool())
        return std::string(v.asBool() ? "1" : "0");
    return std::nullopt;
}

void UserDefaults::set(const std::string& key, const Value& value)
{
    if (value.isNull())
        return removeObjectForKey(key);
    if (holdsNonPropertyListObject(value))
        throw Exception(NSInvalidArgumentException,
                        "Attempt to insert non-property list object for key " + key);
    std::lock_guard lock(m_storage->mutex);
    m_storage->values.set(key, value);
    m_storage->dirty = !save(m_storage->path, m_storage->values);
}

void UserDefaults::removeObjectForKey(const std::string& key)
{
    std::lock_guard lock(m_storage->mutex);
    if (!m_storage->values.erase(key))
        return;
    m_storage->dirty = !save(m_storage->path, m_storage->values);
}

bool UserDefaults::synchronize()
{
    std::lock_guard lock(m_storage->mutex);
    if (m_storage->dirty)
        m_storage->dirty = !save(m_storage->path, m_storage->values);
    return !m_storage->dirty;
}

Value UserDefaults::dictionaryRepresentation() const
{
    std::lock_guard lock(m_storage->mutex);
    Dictionary merged = m_storage->registered;
    for (const auto& [key, value] : m_storage->values)
        merged.set(key, value);
    return Value(std::move(merged));
}

} // namespace foundation
