#include "MovaraAppKit/Telemetry/Core/BCNUtility.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

namespace {

std::vector<std::string> split(const std::string& string, char separator)
{
    std::vector<std::string> parts;
    std::string::size_type start = 0;
    while (true) {
        auto end = string.find(separator, start);
        parts.push_back(string.substr(start, end - start));
        if (end == std::string::npos)
            return parts;
        start = end + 1;
    }
}

std::string removingAll(std::string text, const std::string& what)
{
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what))
        text.erase(at, what.size());
    return text;
}

} // namespace

std::optional<std::string> BCNUtility::appSecretFrom(const std::string& string)
{
    const bool platformKeyed = string.find("macos=") != std::string::npos;
    for (const std::string& part : split(string, ';')) {
        if (part.empty() || part.find("target=") != std::string::npos)
            continue;
        if (platformKeyed && part.find("macos=") == std::string::npos)
            continue;
        std::string value = removingAll(part, platformKeyed ? "macos=" : "appsecret=");
        if (value.empty())
            return std::nullopt;
        return value;
    }
    return std::nullopt;
}

std::optional<std::string> BCNUtility::transmissionTargetTokenFrom(const std::string& string)
{
    for (const std::string& part : split(string, ';')) {
        if (part.find("target=") == std::string::npos)
            continue;
        std::string value = removingAll(part, "target=");
        if (!value.empty())
            return value;
    }
    return std::nullopt;
}

// ---------------------------------------------------------------------------------------------

#include <cmath>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <mutex>
// libstdc++'s regex compiler trips GCC's maybe-uninitialized analysis at -O2 (a known false
// positive inside <regex>); the warning says nothing about this file.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <regex>

#include <sys/xattr.h>

#include "MovaraAppKit/Telemetry/Core/BCNLogger.h"
#include "Platform/Dispatch/Clock.h"
#include "Platform/Dispatch/Queue.h"
#include "Platform/Dispatch/RunLoop.h"
#include "Platform/Foundation/Bundle.h"
#include "Platform/Foundation/Digest.h"
#include "Platform/Foundation/FileManager.h"
#include "Platform/Foundation/JSON.h"
#include "Platform/Foundation/StringUtils.h"
#include "Platform/Foundation/URL.h"
#include "Platform/System/LoadedImages.h"
#include "Platform/UI/Application.h"
#include "Platform/UI/Window.h"
#include "Platform/UI/Workspace.h"

namespace {

const std::string kTag = "Beacon";

struct UtilityState {
    std::recursive_mutex fileLock;
    std::optional<std::filesystem::path> directory;
    std::mutex migrationLock;
    std::map<std::string, std::string> migrations;
};

UtilityState& state()
{
    static UtilityState s;
    return s;
}

std::size_t length16(const std::string& text) { return foundation::utf16Length(text); }

// The first `count` UTF-16 units of `text`, never splitting a character.
std::string prefix16(const std::string& text, std::size_t count)
{
    std::size_t pos = 0;
    std::size_t units = 0;
    while (pos < text.size()) {
        std::size_t next = pos;
        auto c = foundation::decodeUTF8(text, next);
        std::size_t width = (c && *c > 0xFFFF) ? 2 : 1;
        if (units + width > count)
            break;
        units += width;
        pos = next > pos ? next : pos + 1;
    }
    return text.substr(0, pos);
}

} // namespace

namespace {

struct SDKIdentityRecord {
    unsigned char format;
    char name[32];
    char version[32];
    char extra[32];
};
static_assert(sizeof(SDKIdentityRecord) == 97);

// Kept by the linker and read through a volatile access: the record, not a copy the compiler
// folded into the code, is what the functions below report.
[[gnu::used, gnu::section("__bcn_ios")]] const SDKIdentityRecord kSDKIdentity = { 1, "beacon.macos", "4.0.0", "1" };

std::string recordText(const char (&field)[32])
{
    const volatile char* bytes = field;
    std::string text;
    for (std::size_t i = 0; i < sizeof field && bytes[i]; ++i)
        text += bytes[i];
    return text;
}

} // namespace

std::string BCNUtility::sdkName() { return recordText(kSDKIdentity.name); }
std::string BCNUtility::sdkVersion() { return recordText(kSDKIdentity.version); }

int BCNUtility::applicationState()
{
    // The main bundle's executable: the program's own file.
    if (std::string(sys::executablePath()).find(".appex/") != std::string::npos)
        return 3;
    if (!dispatch::RunLoop::isMainThread())
        return 3;
    const auto app = ui::Application::shared();
    if (!app->isLaunched())
        return 0;
    for (const auto& window : app->windows())
        if (window->isVisible() && !window->isMiniaturized())
            return 0;
    return 2;
}

std::string BCNUtility::prefixUTF16(const std::string& text, std::size_t count) { return prefix16(text, count); }

std::shared_ptr<ui::Application> BCNUtility::sharedApp()
{
    return ui::Application::shared();
}

std::shared_ptr<ui::ApplicationDelegate> BCNUtility::sharedAppDelegate()
{
    return sharedApp()->delegate();
}

void BCNUtility::sharedAppOpenUrl(const foundation::URL& url, std::function<void(bool success)> completionHandler)
{
    dispatch::Queue::main()->async([url, completionHandler = std::move(completionHandler)] {
        const bool opened = ui::Workspace::shared().openURL(url);
        if (completionHandler)
            completionHandler(opened);
    });
}

bool BCNUtility::hasEmbeddedMobileProvision()
{
    return foundation::Bundle::main()->pathForResource("embedded", "mobileprovision").has_value();
}

foundation::Date BCNUtility::now()
{
    return foundation::Date::dateWithTimeIntervalSince1970(dispatch::Clock::wallTime());
}

double BCNUtility::nowInMilliseconds()
{
    return now().timeIntervalSince1970() * 1000.0;
}

std::string BCNUtility::dateToISO8601(const foundation::Date& date)
{
    const double seconds = date.timeIntervalSince1970();
    // Milliseconds cut toward the past, as the formatter does.
    const double totalMilliseconds = std::floor(seconds * 1000.0 + 1e-6);
    const double wholeSeconds = std::floor(totalMilliseconds / 1000.0);
    const int milliseconds = static_cast<int>(totalMilliseconds - wholeSeconds * 1000.0);
    std::time_t t = static_cast<std::time_t>(wholeSeconds);
    std::tm utc {};
    gmtime_r(&t, &utc);
    char text[48];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday,
                  utc.tm_hour, utc.tm_min, utc.tm_sec, milliseconds);
    return text;
}

std::optional<foundation::Date> BCNUtility::dateFromISO8601(const std::string& text)
{
    int year, month, day, hour, minute, second, milliseconds;
    char z = 0;
    int consumed = 0;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d.%3d%c%n", &year, &month, &day, &hour, &minute, &second,
                    &milliseconds, &z, &consumed) != 8
        || z != 'Z' || static_cast<std::size_t>(consumed) != text.size())
        return std::nullopt;
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60 || milliseconds < 0)
        return std::nullopt;
    std::tm utc {};
    utc.tm_year = year - 1900;
    utc.tm_mon = month - 1;
    utc.tm_mday = day;
    utc.tm_hour = hour;
    utc.tm_min = minute;
    utc.tm_sec = second;
    const std::time_t t = timegm(&utc);
    return foundation::Date::dateWithTimeIntervalSince1970(static_cast<double>(t) + milliseconds / 1000.0);
}

std::filesystem::path BCNUtility::beaconDirectoryURL()
{
    std::lock_guard lock(state().fileLock);
    if (state().directory)
        return *state().directory;
    auto support = foundation::FileManager::defaultManager().URLForDirectory(foundation::SearchPathDirectory::ApplicationSupport, false);
    std::filesystem::path directory = support ? std::filesystem::path(support->path()) : std::filesystem::temp_directory_path();
    if (auto bundle = foundation::Bundle::main(); bundle && !bundle->bundleIdentifier().empty())
        directory /= bundle->bundleIdentifier();
    directory /= "com.movara.beacon";
    createDirectoryAtURL(directory);
    state().directory = directory;
    return directory;
}

void BCNUtility::resetBeaconDirectory()
{
    std::lock_guard lock(state().fileLock);
    state().directory.reset();
}

bool BCNUtility::ownsBeaconDirectory()
{
    // One lock per folder for the process's life: a lock taken again through another descriptor
    // would conflict with the process's own.
    static std::mutex mutex;
    static std::filesystem::path lockedDirectory;
    static int fd = -1;
    static bool owner = true;
    const auto directory = beaconDirectoryURL();
    std::lock_guard lock(mutex);
    if (fd >= 0 && directory == lockedDirectory)
        return owner;
    if (fd >= 0)
        ::close(fd);
    lockedDirectory = directory;
    fd = ::open((directory / "owner.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        owner = true; // a folder without a lock is this process's as before
        return owner;
    }
    owner = ::flock(fd, LOCK_EX | LOCK_NB) == 0 || errno != EWOULDBLOCK;
    if (!owner)
        BCNLogInfo(kTag, "Another process of this application uses " + directory.string()
                         + ": this one stores its logs and leaves sending them, and the crashes of earlier runs, to that one.");
    return owner;
}

std::filesystem::path BCNUtility::fullURLForPathComponent(const std::string& pathComponent)
{
    return beaconDirectoryURL() / pathComponent;
}

bool BCNUtility::fileExistsForPathComponent(const std::string& pathComponent)
{
    std::error_code ec;
    return std::filesystem::exists(fullURLForPathComponent(pathComponent), ec);
}

bool BCNUtility::createDirectoryAtURL(const std::filesystem::path& url)
{
    std::error_code ec;
    std::filesystem::create_directories(url, ec);
    if (ec) {
        BCNLogError(kTag, "Couldn't create directory at " + url.string() + ": " + ec.message());
        return false;
    }
    // Events, session and user ids, crash registers and paths: for this user's eyes only. A
    // folder an older version made open to all is closed too.
    ::chmod(url.c_str(), 0700);
    disableBackupForDirectoryURL(url);
    return true;
}

bool BCNUtility::disableBackupForDirectoryURL(const std::optional<std::filesystem::path>& url)
{
    static constexpr char kAttribute[] = "user.xdg.robots.backup";
    static constexpr char kNo[] = "false";
    if (!url || url->empty()) {
        BCNLogError(kTag, "Error excluding (null) from iCloud backup (null)");
        return false;
    }
    if (::setxattr(url->c_str(), kAttribute, kNo, sizeof kNo - 1, 0) != 0) {
        BCNLogError(kTag, "Error excluding " + url->string() + " from iCloud backup " + std::strerror(errno));
        return false;
    }
    return true;
}

std::optional<std::vector<std::filesystem::path>> BCNUtility::contentsOfDirectory(const std::string& pathComponent)
{
    if (pathComponent.empty())
        return std::nullopt;
    std::lock_guard lock(state().fileLock);
    const auto folder = fullURLForPathComponent(pathComponent);
    std::vector<std::filesystem::path> entries;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
        entries.push_back(it->path());
    if (ec) {
        BCNLogDebug(kTag, "Couldn't get files in the directory \"" + pathComponent + "\": " + ec.message());
        return std::nullopt;
    }
    return entries;
}

std::optional<std::filesystem::path> BCNUtility::createFileAtPathComponent(const std::string& pathComponent,
                                                                           const std::optional<foundation::Data>& data,
                                                                           bool atomically, bool forceOverwrite)
{
    std::lock_guard lock(state().fileLock);
    const auto url = fullURLForPathComponent(pathComponent);
    std::error_code ec;
    if (!forceOverwrite && std::filesystem::exists(url, ec))
        return url;
    createDirectoryAtURL(url.parent_path());
    const auto target = atomically ? std::filesystem::path(url.string() + ".tmp") : url;
    bool written = false;
    {
        // Created private, before anything is written into it.
        const int fd = ::open(target.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        if (fd >= 0) {
            ::fchmod(fd, 0600);
            ::close(fd);
        }
        std::ofstream out(target, std::ios::binary | std::ios::trunc);
        if (out) {
            if (data && !data->empty())
                out.write(reinterpret_cast<const char*>(data->data()), static_cast<std::streamsize>(data->size()));
            out.flush();
            written = out.good();
        }
    }
    if (written && atomically) {
        std::filesystem::rename(target, url, ec);
        written = !ec;
    }
    if (!written) {
        std::filesystem::remove(target, ec);
        BCNLogError(kTag, "Couldn't create new file at path " + url.string());
        return std::nullopt;
    }
    return url;
}

bool BCNUtility::deleteItemForPathComponent(const std::string& pathComponent)
{
    std::lock_guard lock(state().fileLock);
    return deleteFileAtURL(fullURLForPathComponent(pathComponent));
}

bool BCNUtility::deleteFileAtURL(const std::filesystem::path& url)
{
    if (url.empty())
        return false;
    std::error_code ec;
    const bool removed = std::filesystem::remove_all(url, ec) > 0;
    if (ec || !removed) {
        const std::string reason = ec ? ec.message() : "No such file or directory";
        BCNLogDebug(kTag, "Couldn't remove item at " + url.string() + ": " + reason);
        return false;
    }
    return true;
}

std::optional<std::filesystem::path> BCNUtility::createDirectoryForPathComponent(const std::string& pathComponent)
{
    std::lock_guard lock(state().fileLock);
    const auto url = fullURLForPathComponent(pathComponent);
    if (!createDirectoryAtURL(url))
        return std::nullopt;
    return url;
}

std::optional<foundation::Data> BCNUtility::loadDataForPathComponent(const std::string& pathComponent)
{
    std::lock_guard lock(state().fileLock);
    // What the client stores are small archives and logs: a file far larger is not one of ours.
    constexpr std::uint64_t maximumSize = 16ULL << 20;
    foundation::ErrorPtr error;
    auto data = foundation::FileManager::defaultManager().contentsAtPath(fullURLForPathComponent(pathComponent).string(),
                                                                         &error, maximumSize);
    if (!data && error && error->code() == foundation::NSFileReadTooLargeError)
        BCNLogError(kTag, error->localizedDescription());
    return data;
}

foundation::Value BCNUtility::validateProperties(const foundation::Value& properties, const std::string& logName,
                                                 const std::string& logType)
{
    constexpr std::size_t maxCount = 20;
    constexpr std::size_t maxLength = 125;
    foundation::Value result = foundation::Value::dictionary();
    if (!properties.isDictionary())
        return result;
    for (const auto& [rawKey, value] : properties.asDictionary()) {
        if (result.size() >= maxCount) {
            BCNLogWarning(kTag, logType + " '" + logName + "' : properties cannot contain more than " + std::to_string(maxCount)
                                    + " items. Skipping other properties.");
            break;
        }
        if (!value.isString())
            continue;
        std::string key = rawKey;
        if (key.empty()) {
            BCNLogWarning(kTag, logType + " '" + logName + "' : a property key cannot be null or empty. Property will be skipped.");
            continue;
        }
        if (length16(key) > maxLength) {
            BCNLogWarning(kTag, logType + " '" + logName + "' : property " + key + " : property key length cannot be longer than "
                                    + std::to_string(maxLength) + " characters. Property key will be truncated.");
            key = prefix16(key, maxLength);
        }
        std::string text = value.asString();
        if (length16(text) > maxLength) {
            BCNLogWarning(kTag, logType + " '" + logName + "' : property '" + key + "' : property value cannot be longer than "
                                    + std::to_string(maxLength) + " characters. Property value will be truncated.");
            text = prefix16(text, maxLength);
        }
        result.set(key, text);
    }
    return result;
}

std::optional<std::string> BCNUtility::targetKeyFromTargetToken(const std::optional<std::string>& token)
{
    if (!token)
        return std::nullopt;
    std::string key = token->substr(0, token->find('-'));
    if (key.empty())
        return std::nullopt;
    return key;
}

std::optional<std::string> BCNUtility::iKeyFromTargetToken(const std::optional<std::string>& token)
{
    auto key = targetKeyFromTargetToken(token);
    if (!key)
        return std::nullopt;
    return "o:" + *key;
}

std::string BCNUtility::sha256(const std::string& text)
{
    // The digest of the text up to its first NUL, as the C string the platform hashes.
    return foundation::sha256Hex(std::string_view(text.c_str()));
}

std::optional<std::string> BCNUtility::prettyPrintJson(const std::optional<foundation::Data>& data)
{
    if (!data)
        return std::nullopt;
    const std::string text(data->begin(), data->end());
    foundation::ErrorPtr error;
    const foundation::Value json = foundation::parseJSON(*data, &error);
    if (error)
        return text;
    foundation::ErrorPtr writeError;
    std::string pretty = foundation::toJSON(json, true, &writeError);
    if (writeError)
        return text;
    return pretty;
}

std::optional<std::string> BCNUtility::obfuscateString(const std::optional<std::string>& string, const std::string& pattern,
                                                       const std::string& replacementTemplate)
{
    if (!string)
        return std::nullopt;
    try {
        const std::regex expression(pattern, std::regex::ECMAScript | std::regex::icase);
        return std::regex_replace(*string, expression, replacementTemplate);
    } catch (const std::regex_error& error) {
        BCNLogError(kTag, "Couldn't create regular expression with pattern\"" + pattern + "\": " + error.what());
        return std::nullopt;
    }
}

std::optional<foundation::Data> BCNUtility::archiveKeyedData(const std::shared_ptr<const foundation::Coding>& object)
{
    if (!object)
        return std::nullopt;
    foundation::ErrorPtr error;
    foundation::Data data = foundation::KeyedArchiver::archivedDataWithRootObject(object, false, &error);
    if (data.empty() || error) {
        const std::string reason = error ? error->localizedDescription() : "unknown error";
        BCNLogError(kTag, "Archiving NSData failed with error: " + reason);
        return std::nullopt;
    }
    return data;
}

foundation::CodingPtr BCNUtility::unarchiveKeyedData(const std::optional<foundation::Data>& data)
{
    if (!data)
        return nullptr;
    foundation::ErrorPtr error;
    auto unarchiver = foundation::KeyedUnarchiver::initForReadingFromData(*data, &error);
    foundation::CodingPtr object;
    if (unarchiver) {
        unarchiver->setRequiresSecureCoding(false);
        {
            std::lock_guard lock(state().migrationLock);
            for (const auto& [coded, current] : state().migrations)
                unarchiver->setClass(current, coded);
        }
        object = unarchiver->decodeObject(foundation::NSKeyedArchiveRootObjectKey);
        if (!object)
            error = unarchiver->error();
    }
    if (!object) {
        const std::string reason = error ? error->localizedDescription() : "no root object";
        BCNLogError(kTag, "Unarchiving NSData failed with error: " + reason);
    }
    return object;
}

void BCNUtility::addMigrationClasses(const std::map<std::string, std::string>& classes)
{
    std::lock_guard lock(state().migrationLock);
    for (const auto& [coded, current] : classes)
        state().migrations[coded] = current;
}
