#pragma once
// Stateless helpers of the telemetry client: files in the client's own folder, ISO 8601 dates,
// the configuration string and target tokens, property validation, digests, masking, JSON
// pretty printing, and keyed archiving with class-name migration. Any thread.

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Foundation/Date.h"
#include "Platform/Foundation/KeyedArchiver.h"
#include "Platform/Foundation/Value.h"

namespace foundation {
class URL;
}
namespace ui {
class Application;
class ApplicationDelegate;
}

class BCNUtility {
public:
    // Identity of the client library, read from the constant record the library carries in a
    // section of its own ("__bcn_ios", 97 bytes: 1, then the name, the version and "1", each
    // NUL-padded to 32 bytes), where tools that look at the file find it too.
    static std::string sdkName();
    static std::string sdkVersion();
    // 3 (unknown) off the main thread or in an app extension; 2 (background) when the
    // application has launched its interface and none of its windows is shown (all closed,
    // hidden or in the Dock); else 0. A process that never launched an interface (a tool, a
    // headless run) is in use, not in the background.
    static int applicationState();
    static std::shared_ptr<ui::Application> sharedApp();
    static std::shared_ptr<ui::ApplicationDelegate> sharedAppDelegate();
    // Opens the URL with the user's application for it, later on the main queue, then tells
    // whether that could be started.
    static void sharedAppOpenUrl(const foundation::URL& url, std::function<void(bool success)> completionHandler);
    // Always 99: this platform has no store environments to tell apart.
    static int currentAppEnvironment() { return 99; }
    // Whether the application carries a provisioning profile ("embedded.mobileprovision"
    // among its resources).
    static bool hasEmbeddedMobileProvision();
    // Builds here are never given a store receipt, sandboxed or not.
    static bool isAppStoreReceiptSandbox() { return false; }

    // Now on the process clock's wall time (virtual in tests), so flush and retry schedules
    // that compare stored dates with now move with the clock their timers run on.
    static foundation::Date now();
    // Milliseconds since 1970 (with fraction).
    static double nowInMilliseconds();
    // "yyyy-MM-dd'T'HH:mm:ss.SSS'Z'" in UTC.
    static std::string dateToISO8601(const foundation::Date& date);
    static std::optional<foundation::Date> dateFromISO8601(const std::string& text);

    // The client's folder: application support / bundle identifier / "com.movara.beacon",
    // made on first use. Path components below resolve against it.
    static std::filesystem::path beaconDirectoryURL();
    static std::filesystem::path fullURLForPathComponent(const std::string& pathComponent);
    static bool fileExistsForPathComponent(const std::string& pathComponent);
    // Writes `data` (empty when none) when the file is missing or overwriting is forced; an
    // existing file is left alone. None after an error line when the write fails.
    static std::optional<std::filesystem::path> createFileAtPathComponent(const std::string& pathComponent,
                                                                          const std::optional<foundation::Data>& data,
                                                                          bool atomically, bool forceOverwrite);
    static bool deleteItemForPathComponent(const std::string& pathComponent);
    static bool deleteFileAtURL(const std::filesystem::path& url);
    static std::optional<std::filesystem::path> createDirectoryForPathComponent(const std::string& pathComponent);
    static std::optional<foundation::Data> loadDataForPathComponent(const std::string& pathComponent);
    // Creates the folder with its parents and marks it excluded from backup.
    static bool createDirectoryAtURL(const std::filesystem::path& url);
    // Marks the folder with the desktop's "not to be backed up" attribute
    // ("user.xdg.robots.backup" = "false"), which backup tools honour.
    static bool disableBackupForDirectoryURL(const std::optional<std::filesystem::path>& url);
    // The entries of a folder below the client's own; none (after a debug line) when it can't
    // be listed, and for an empty path.
    static std::optional<std::vector<std::filesystem::path>> contentsOfDirectory(const std::string& pathComponent);
    // Forgets the folder worked out earlier (tests move the application-support folder).
    static void resetBeaconDirectory();
    // Whether this process is the one that sends what the folder holds. Two copies of an
    // application running at once share the folder: the first to ask holds a lock on it for its
    // whole life and sends the stored logs and earlier crashes; any other only stores what it
    // tracks, so that nothing goes out twice. True when no lock can be taken at all.
    static bool ownsBeaconDirectory();

    // The first `count` UTF-16 units of `text`, never splitting a character (a pair that would be
    // cut in half is left out whole).
    static std::string prefixUTF16(const std::string& text, std::size_t count);

    // Up to 20 string properties, keys and values cut to 125 characters, others dropped.
    static foundation::Value validateProperties(const foundation::Value& properties, const std::string& logName,
                                                const std::string& logType);

    // The application secret of a configuration string: a bare value, "appsecret=<value>" or
    // the "macos=<value>" part; never a "target=" part.
    static std::optional<std::string> appSecretFrom(const std::string& string);
    // The "target=<token>" part of a configuration string.
    static std::optional<std::string> transmissionTargetTokenFrom(const std::string& string);
    // The token's text before its first "-"; none when that is empty.
    static std::optional<std::string> targetKeyFromTargetToken(const std::optional<std::string>& token);
    // "o:" followed by the target key.
    static std::optional<std::string> iKeyFromTargetToken(const std::optional<std::string>& token);
    static std::string sha256(const std::string& text);
    // The JSON re-written with indentation; the bytes as text when they are not JSON.
    static std::optional<std::string> prettyPrintJson(const std::optional<foundation::Data>& data);
    // Every case-insensitive match of `pattern` replaced by `replacementTemplate`; none (after an
    // error line) for a pattern that doesn't compile.
    static std::optional<std::string> obfuscateString(const std::optional<std::string>& string, const std::string& pattern,
                                                      const std::string& replacementTemplate);

    // Keyed archives without secure coding; none (after an error line) on failure.
    static std::optional<foundation::Data> archiveKeyedData(const std::shared_ptr<const foundation::Coding>& object);
    static foundation::CodingPtr unarchiveKeyedData(const std::optional<foundation::Data>& data);
    // Old archived class name -> current class name, applied by every later unarchive.
    static void addMigrationClasses(const std::map<std::string, std::string>& classes);
};
