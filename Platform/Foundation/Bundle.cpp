#include "Platform/Foundation/Bundle.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <unistd.h>

#include "Platform/Foundation/FileManager.h"
#include "Platform/Foundation/Localized.h"
#include "Platform/Foundation/PropertyList.h"
#include "Platform/Foundation/StringUtils.h"

namespace foundation {

namespace fs = std::filesystem;

const std::string kCFBundleNameKey = "CFBundleName";

// ---- strings tables -------------------------------------------------------------------------

namespace {

std::optional<std::string> utf16ToUTF8(std::string_view bytes, bool bigEndian)
{
    if (bytes.size() % 2)
        return std::nullopt;
    std::string out;
    out.reserve(bytes.size());
    auto unit = [&](size_t i) -> char16_t {
        const auto a = static_cast<unsigned char>(bytes[i]);
        const auto b = static_cast<unsigned char>(bytes[i + 1]);
        return static_cast<char16_t>(bigEndian ? (a << 8 | b) : (b << 8 | a));
    };
    for (size_t i = 0; i < bytes.size(); i += 2) {
        const char16_t u = unit(i);
        if (u >= 0xD800 && u <= 0xDBFF) {
            if (i + 3 >= bytes.size())
                return std::nullopt;
            const char16_t low = unit(i + 2);
            if (low < 0xDC00 || low > 0xDFFF)
                return std::nullopt;
            appendUTF8(out, 0x10000 + ((char32_t(u) - 0xD800) << 10) + (char32_t(low) - 0xDC00));
            i += 2;
        } else if (u >= 0xDC00 && u <= 0xDFFF) {
            return std::nullopt;
        } else {
            appendUTF8(out, u);
        }
    }
    return out;
}

class StringsParser {
public:
    explicit StringsParser(std::string_view text) : m_text(text) { }

    std::optional<StringsTable> parse(std::string& problem)
    {
        StringsTable table;
        for (;;) {
            if (!skipSpaceAndComments(problem))
                return std::nullopt;
            if (atEnd())
                return table;
            auto key = string(problem);
            if (!key)
                return std::nullopt;
            if (!skipSpaceAndComments(problem))
                return std::nullopt;
            std::string value;
            if (peek() == ';') {
                value = *key;
            } else {
                if (peek() != '=')
                    return fail(problem, "expected \"=\" or \";\" after a key");
                ++m_pos;
                if (!skipSpaceAndComments(problem))
                    return std::nullopt;
                auto v = string(problem);
                if (!v)
                    return std::nullopt;
                value = std::move(*v);
                if (!skipSpaceAndComments(problem))
                    return std::nullopt;
                if (peek() != ';')
                    return fail(problem, "expected \";\" after a value");
            }
            ++m_pos;
            table[std::move(*key)] = std::move(value);
        }
    }

private:
    bool atEnd() const { return m_pos >= m_text.size(); }
    char peek() const { return atEnd() ? '\0' : m_text[m_pos]; }

    int line() const
    {
        int n = 1;
        for (size_t i = 0; i < m_pos && i < m_text.size(); ++i)
            n += m_text[i] == '\n';
        return n;
    }

    std::nullopt_t fail(std::string& problem, const std::string& what) const
    {
        problem = what + " at line " + std::to_string(line());
        return std::nullopt;
    }

    bool skipSpaceAndComments(std::string& problem)
    {
        while (!atEnd()) {
            const char c = m_text[m_pos];
            if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v') {
                ++m_pos;
            } else if (m_text.substr(m_pos, 2) == "//") {
                const auto end = m_text.find('\n', m_pos);
                m_pos = end == std::string_view::npos ? m_text.size() : end + 1;
            } else if (m_text.substr(m_pos, 2) == "/*") {
                const auto end = m_text.find("*/", m_pos + 2);
                if (end == std::string_view::npos) {
                    fail(problem, "unterminated comment");
                    return false;
                }
                m_pos = end + 2;
            } else {
                break;
            }
        }
        return true;
    }

    static bool isUnquoted(char c)
    {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_'
            || c == '.' || c == '-' || c == ':' || c == '/' || c == '$' || c == '+';
    }

    std::optional<std::string> string(std::string& problem)
    {
        if (peek() == '"')
            return quoted(problem);
        const size_t start = m_pos;
        while (!atEnd() && isUnquoted(m_text[m_pos]))
            ++m_pos;
        if (m_pos == start) {
            if (atEnd())
                return fail(problem, "unexpected end of the table");
            return fail(problem, std::string("unexpected character \"") + peek() + "\"");
        }
        return std::string(m_text.substr(start, m_pos - start));
    }

    std::optional<unsigned> hex4()
    {
        if (m_pos + 4 > m_text.size())
            return std::nullopt;
        unsigned v = 0;
        for (int k = 0; k < 4; ++k) {
            const char c = m_text[m_pos + k];
            v <<= 4;
            if (c >= '0' && c <= '9') v |= c - '0';
            else if (c >= 'a' && c <= 'f') v |= c - 'a' + 10;
            else if (c >= 'A' && c <= 'F') v |= c - 'A' + 10;
            else return std::nullopt;
        }
        m_pos += 4;
        return v;
    }

    std::optional<std::string> quoted(std::string& problem)
    {
        ++m_pos; // opening quote
        std::string out;
        for (;;) {
            if (atEnd())
                return fail(problem, "unterminated string");
            const char c = m_text[m_pos++];
            if (c == '"')
                return out;
            if (c != '\\') {
                out += c;
                continue;
            }
            if (atEnd())
                return fail(problem, "unterminated string");
            const char e = m_text[m_pos++];
            switch (e) {
            case 'n': out += '\n'; break;
            case 't': out += '\t'; break;
            case 'r': out += '\r'; break;
            case 'a': out += '\a'; break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'v': out += '\v'; break;
            case 'U':
            case 'u': {
                auto unit = hex4();
                if (!unit)
                    return fail(problem, "bad \\U escape");
                char32_t cp = *unit;
                if (cp >= 0xD800 && cp <= 0xDBFF) {
                    // A character beyond the basic plane comes as a pair of \U escapes.
                    if (m_text.substr(m_pos, 2) != "\\U" && m_text.substr(m_pos, 2) != "\\u")
                        return fail(problem, "unpaired surrogate in \\U escape");
                    m_pos += 2;
                    auto low = hex4();
                    if (!low || *low < 0xDC00 || *low > 0xDFFF)
                        return fail(problem, "unpaired surrogate in \\U escape");
                    cp = 0x10000 + ((cp - 0xD800) << 10) + (*low - 0xDC00);
                } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
                    return fail(problem, "unpaired surrogate in \\U escape");
                }
                if (cp == 0)
                    return fail(problem, "NUL character in a string");
                appendUTF8(out, cp);
                break;
            }
            default:
                if (e >= '0' && e <= '7') {
                    unsigned v = e - '0';
                    for (int k = 0; k < 2 && !atEnd() && m_text[m_pos] >= '0' && m_text[m_pos] <= '7'; ++k)
                        v = v * 8 + (m_text[m_pos++] - '0');
                    if (v == 0 || v > 0x7F)
                        return fail(problem, "unsupported octal escape");
                    out += static_cast<char>(v);
                } else {
                    out += e; // \" \\ \' and any other escaped character stand for themselves
                }
            }
        }
    }

    std::string_view m_text;
    size_t m_pos = 0;
};

} // namespace

std::optional<StringsTable> parseStringsTable(std::string_view bytes, ErrorPtr* error)
{
    auto failure = [&](const std::string& problem) -> std::optional<StringsTable> {
        if (error)
            *error = Error::make(NSCocoaErrorDomain, NSPropertyListReadCorruptError,
                                 "The strings table couldn't be read: " + problem + ".");
        return std::nullopt;
    };
    std::string text;
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF && static_cast<unsigned char>(bytes[1]) == 0xFE) {
        auto t = utf16ToUTF8(bytes.substr(2), false);
        if (!t)
            return failure("invalid UTF-16 text");
        text = std::move(*t);
    } else if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFE && static_cast<unsigned char>(bytes[1]) == 0xFF) {
        auto t = utf16ToUTF8(bytes.substr(2), true);
        if (!t)
            return failure("invalid UTF-16 text");
        text = std::move(*t);
    } else {
        if (bytes.substr(0, 3) == "\xEF\xBB\xBF")
            bytes.remove_prefix(3);
        if (!isValidUTF8(bytes))
            return failure("invalid UTF-8 text");
        text.assign(bytes);
    }
    std::string problem;
    auto table = StringsParser(text).parse(problem);
    if (!table)
        return failure(problem);
    return table;
}

// ---- bundles --------------------------------------------------------------------------------

namespace {

struct Registry {
    std::mutex mutex;
    std::shared_ptr<Bundle> main;
    std::map<std::string, std::shared_ptr<Bundle>> byIdentifier;
};

Registry& registry()
{
    static Registry r;
    return r;
}

// A bundle's Info.plist and strings tables: a few kilobytes each; far larger ones are not read.
constexpr std::uint64_t MaximumBundleFileSize = 8ULL << 20;

std::optional<std::string> readFile(const fs::path& path)
{
    auto bytes = FileManager::defaultManager().contentsAtPath(path.string(), nullptr, MaximumBundleFileSize);
    if (!bytes)
        return std::nullopt;
    return std::string(bytes->begin(), bytes->end());
}

bool isDirectory(const fs::path& p)
{
    std::error_code ec;
    return fs::is_directory(p, ec);
}

bool isFile(const fs::path& p)
{
    std::error_code ec;
    return fs::is_regular_file(p, ec);
}

Value readInfo(const fs::path& bundleDir, const fs::path& resourceDir)
{
    for (const auto& p : { bundleDir / "Info.plist", resourceDir / "Info.plist" }) {
        if (!isFile(p))
            continue;
        auto bytes = readFile(p);
        if (!bytes)
            continue;
        Value info = readPropertyList(std::string_view(*bytes));
        if (info.isDictionary())
            return info;
    }
    return Value::dictionary();
}

std::string executableDirectory()
{
    std::error_code ec;
    auto exe = fs::read_symlink("/proc/self/exe", ec);
    if (ec)
        return fs::current_path(ec).string();
    return exe.parent_path().string();
}

} // namespace

Bundle::Bundle(std::string bundlePath, std::string resourcePath, Value info)
    : m_bundlePath(std::move(bundlePath))
    , m_resourcePath(std::move(resourcePath))
    , m_info(info.isDictionary() ? std::move(info) : Value::dictionary())
{
}

std::shared_ptr<Bundle> Bundle::main()
{
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    if (!r.main) {
        const fs::path dir = executableDirectory();
        const fs::path resources = isDirectory(dir / "Resources") ? dir / "Resources" : dir;
        r.main = std::make_shared<Bundle>(dir.string(), resources.string(), readInfo(dir, resources));
    }
    return r.main;
}

void Bundle::setMain(std::shared_ptr<Bundle> bundle)
{
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    r.main = std::move(bundle);
    if (r.main && !r.main->bundleIdentifier().empty())
        r.byIdentifier[r.main->bundleIdentifier()] = r.main;
}

std::shared_ptr<Bundle> Bundle::bundleWithPath(const std::string& path)
{
    if (path.empty() || !isDirectory(path))
        return nullptr;
    const fs::path dir = fs::absolute(path).lexically_normal();
    const fs::path resources = isDirectory(dir / "Resources") ? dir / "Resources" : dir;
    return std::make_shared<Bundle>(dir.string(), resources.string(), readInfo(dir, resources));
}

std::shared_ptr<Bundle> Bundle::bundleWithIdentifier(const std::string& identifier)
{
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    auto it = r.byIdentifier.find(identifier);
    if (it != r.byIdentifier.end())
        return it->second;
    if (r.main && !identifier.empty() && r.main->bundleIdentifier() == identifier)
        return r.main;
    return nullptr;
}

std::shared_ptr<Bundle> Bundle::registerBundle(const std::string& identifier, const std::string& resourcesDirectory,
                                               Value info)
{
    if (!info.isDictionary())
        info = Value::dictionary();
    if (!info["CFBundleIdentifier"].isString())
        info.set("CFBundleIdentifier", identifier);
    auto bundle = std::make_shared<Bundle>(resourcesDirectory, resourcesDirectory, std::move(info));
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    r.byIdentifier[identifier] = bundle;
    return bundle;
}

std::vector<std::string> Bundle::preferredLocalizations()
{
    std::vector<std::string> out;
    auto add = [&](const std::string& s) {
        if (!s.empty() && std::find(out.begin(), out.end(), s) == out.end())
            out.push_back(s);
    };
    auto addLocale = [&](std::string locale) {
        locale = locale.substr(0, locale.find_first_of(".@"));
        if (locale.empty() || locale == "C" || locale == "POSIX")
            return;
        const auto sep = locale.find_first_of("_-");
        if (sep != std::string::npos) {
            std::string dashed = locale;
            dashed[sep] = '-';
            add(dashed);
            dashed[sep] = '_';
            add(dashed);
        }
        add(locale.substr(0, sep));
    };
    if (const char* language = std::getenv("LANGUAGE")) {
        std::string list = language;
        size_t start = 0;
        while (start <= list.size()) {
            const auto end = list.find(':', start);
            addLocale(list.substr(start, end == std::string::npos ? std::string::npos : end - start));
            if (end == std::string::npos)
                break;
            start = end + 1;
        }
    }
    for (const char* name : { "LC_ALL", "LC_MESSAGES", "LANG" }) {
        if (const char* v = std::getenv(name); v && *v) {
            addLocale(v);
            break;
        }
    }
    add("en");
    add("Base");
    return out;
}

std::optional<URL> Bundle::URLForResource(const std::string& name, const std::string& extension,
                                          const std::string& subdirectory) const
{
    auto path = pathForResource(name, extension, subdirectory);
    if (!path)
        return std::nullopt;
    return URL::fileURLWithPath(*path, isDirectory(*path));
}

std::optional<std::string> Bundle::pathForResource(const std::string& name, const std::string& extension,
                                                   const std::string& subdirectory) const
{
    if (name.empty() || m_resourcePath.empty())
        return std::nullopt;
    const std::string file = extension.empty() ? name : name + "." + extension;
    fs::path base = m_resourcePath;
    if (!subdirectory.empty())
        base /= subdirectory;
    // Resources that aren't localized come first, then the best localization that has one.
    std::vector<fs::path> candidates { base / file };
    for (const auto& language : preferredLocalizations())
        candidates.push_back(base / (language + ".lproj") / file);
    for (const auto& candidate : candidates) {
        std::error_code ec;
        if (fs::exists(candidate, ec))
            return candidate.lexically_normal().string();
    }
    return std::nullopt;
}

const StringsTable& Bundle::table(const std::string& name) const
{
    {
        std::lock_guard lock(m_mutex);
        auto it = m_tables.find(name);
        if (it != m_tables.end())
            return it->second;
    }
    StringsTable table;
    if (!m_resourcePath.empty()) {
        std::vector<fs::path> candidates;
        for (const auto& language : preferredLocalizations())
            candidates.push_back(fs::path(m_resourcePath) / (language + ".lproj") / (name + ".strings"));
        candidates.push_back(fs::path(m_resourcePath) / (name + ".strings"));
        for (const auto& candidate : candidates) {
            if (!isFile(candidate))
                continue;
            auto bytes = readFile(candidate);
            if (!bytes)
                continue;
            // A damaged table shows the untranslated texts rather than stopping the program.
            if (auto parsed = parseStringsTable(*bytes))
                table = std::move(*parsed);
            break;
        }
    }
    std::lock_guard lock(m_mutex);
    return m_tables.emplace(name, std::move(table)).first->second;
}

std::string Bundle::localizedStringForKey(const std::string& key, const std::string& value,
                                          const std::string& tableName) const
{
    const StringsTable& strings = table(tableName.empty() ? "Localizable" : tableName);
    auto it = strings.find(key);
    if (it != strings.end())
        return it->second;
    return value.empty() ? key : value;
}

std::string localized(const std::string& key, const std::string&, const std::shared_ptr<Bundle>& bundle)
{
    const auto& b = bundle ? bundle : Bundle::main();
    return b->localizedStringForKey(key);
}

} // namespace foundation
