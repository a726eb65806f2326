#pragma once
// A bundle: a resources directory with an information dictionary and string tables.
// The main bundle is the executable's (resources in "Resources" beside the binary, info from
// its "Info.plist") unless the application sets one; deliverables register their own bundles
// by identifier. Thread-safe; parsed string tables are cached per bundle.

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/Foundation/Error.h"
#include "Platform/Foundation/URL.h"
#include "Platform/Foundation/Value.h"

namespace foundation {

// The information-dictionary key of the bundle's short name.
extern const std::string kCFBundleNameKey; // "CFBundleName"

using StringsTable = std::map<std::string, std::string>;

// Parses a ".strings" table: `"key" = "value";` entries, `/* */` and `//` comments, backslash
// escapes (\n \t \r \" \\ \Uxxxx), unquoted keys and values of letters, digits and "_.-:/",
// and `"key";` for a key that is its own value. The bytes are UTF-8, or UTF-16 / UTF-8 with a
// byte-order mark. Malformed input gives none and an error.
std::optional<StringsTable> parseStringsTable(std::string_view bytes, ErrorPtr* error = nullptr);

class Bundle {
public:
    static std::shared_ptr<Bundle> main();
    // Makes the application's own bundle the main one (before the first localized text, say).
    static void setMain(std::shared_ptr<Bundle> bundle);

    // A bundle directory: resources in its "Resources" folder when there is one, else in the
    // directory itself; info from "Info.plist" in either. None when the directory doesn't exist.
    static std::shared_ptr<Bundle> bundleWithPath(const std::string& path);
    static std::shared_ptr<Bundle> bundleWithIdentifier(const std::string& identifier);
    // Registers (or replaces) the bundle known by `identifier`; the identifier is written into
    // the info dictionary's "CFBundleIdentifier" when that is missing.
    static std::shared_ptr<Bundle> registerBundle(const std::string& identifier, const std::string& resourcesDirectory,
                                                  Value info = Value::dictionary());

    const std::string& bundlePath() const { return m_bundlePath; }
    const std::string& resourcePath() const { return m_resourcePath; }
    URL bundleURL() const { return URL::fileURLWithPath(m_bundlePath, true); }
    URL resourceURL() const { return URL::fileURLWithPath(m_resourcePath, true); }

    const Value& infoDictionary() const { return m_info; }
    // Null when the key is missing.
    const Value& objectForInfoDictionaryKey(const std::string& key) const { return m_info[key]; }
    std::string bundleIdentifier() const { return m_info["CFBundleIdentifier"].asString(); }

    // The resource "name.ext" (ext may be empty or name may carry it) in the resources directory
    // or in `subdirectory` of it, looked up first in the preferred language's ".lproj" folders.
    std::optional<URL> URLForResource(const std::string& name, const std::string& extension,
                                      const std::string& subdirectory = {}) const;
    std::optional<std::string> pathForResource(const std::string& name, const std::string& extension,
                                               const std::string& subdirectory = {}) const;

    // The text for `key` in the table (default "Localizable"); when missing, `value` if it is
    // not empty, else the key itself.
    std::string localizedStringForKey(const std::string& key, const std::string& value = {},
                                      const std::string& table = {}) const;

    // The languages tried for localized resources, best first, ending with "en" and "Base":
    // from $LANGUAGE / $LC_ALL / $LC_MESSAGES / $LANG ("de_CH.UTF-8" gives "de-CH", "de").
    static std::vector<std::string> preferredLocalizations();

    Bundle(std::string bundlePath, std::string resourcePath, Value info);

private:
    const StringsTable& table(const std::string& name) const;

    std::string m_bundlePath;
    std::string m_resourcePath;
    Value m_info;
    mutable std::mutex m_mutex;
    mutable std::map<std::string, StringsTable> m_tables;
};

} // namespace foundation
