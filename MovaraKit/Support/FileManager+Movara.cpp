#include "MovaraKit/Support/FileManager+Movara.h"

#include <sys/stat.h>

#include <climits>
#include <string_view>

#include "MovaraKit/Support/FrameworkLog.h"
#include "Platform/Foundation/StringUtils.h"
#include "Platform/Images/UTType.h"

const std::string NSURLNameKey = "NSURLNameKey";
const std::string NSURLTypeIdentifierKey = "NSURLTypeIdentifierKey";
const std::string NSURLIsDirectoryKey = "NSURLIsDirectoryKey";
const std::string NSURLContentModificationDateKey = "NSURLContentModificationDateKey";
const std::string NSURLFileSizeKey = "NSURLFileSizeKey";

namespace {

// The platform's string-to-integer reading: leading white space, an optional sign, then as
// many digits as there are ("3x" reads 3, "x3" reads 0); saturates instead of overflowing.
long long leadingInteger(std::string_view text)
{
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\n'))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    long long value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        int digit = text[i] - '0';
        if (value > (LLONG_MAX - digit) / 10)
            return negative ? LLONG_MIN : LLONG_MAX;
        value = value * 10 + digit;
    }
    return negative ? -value : value;
}

std::string joinedKeys(const std::vector<std::string>& keys)
{
    std::string out = "(";
    for (size_t i = 0; i < keys.size(); ++i)
        out += (i ? ", " : "") + keys[i];
    return out + ")";
}

std::optional<MVRResourceValues> resourceValues(const foundation::URL& url, const std::vector<std::string>& keys,
                                                foundation::ErrorPtr* error)
{
    auto attributes = foundation::FileManager::defaultManager().attributesOfItemAtPath(url.path(), error);
    if (!attributes)
        return std::nullopt;
    MVRResourceValues values = foundation::Value::dictionary();
    for (const std::string& key : keys) {
        if (key == NSURLNameKey) {
            values.set(key, url.lastPathComponent());
        } else if (key == NSURLTypeIdentifierKey) {
            std::string type = attributes->type == foundation::FileType::Directory ? images::kUTTypeFolder
                                                                                  : images::typeOfFile(url.path());
            if (!type.empty())
                values.set(key, type);
        } else if (key == NSURLIsDirectoryKey) {
            values.set(key, attributes->type == foundation::FileType::Directory);
        } else if (key == NSURLContentModificationDateKey) {
            values.set(key, attributes->modificationDate);
        } else if (key == NSURLFileSizeKey) {
            values.set(key, attributes->size);
        }
    }
    return values;
}

} // namespace

std::optional<foundation::Date> mvr_modificationDateForURL(const foundation::URL& url)
{
    foundation::ErrorPtr error;
    auto attributes = foundation::FileManager::defaultManager().attributesOfItemAtPath(url.path(), &error);
    if (!attributes) {
        mvr_frameworkLog().default_("Error creating directory wrapper: %@", MVR_DSO,
                                    error ? error->localizedDescription() : std::string());
        return std::nullopt;
    }
    return attributes->modificationDate;
}

foundation::URL mvr_uniqueFileURLInDirectory(const std::string& directoryPath, const std::string& baseName,
                                             const std::string& extension)
{
    std::string base = baseName;
    for (char& c : base)
        if (c == '/' || c == '\0')
            c = '-';

    unsigned long long counter = 1;
    size_t lastSpace = base.rfind(' ');
    if (lastSpace != std::string::npos) {
        long long trailing = leadingInteger(std::string_view(base).substr(lastSpace + 1));
        if (trailing > 0) {
            counter = static_cast<unsigned long long>(trailing);
            base.erase(lastSpace);
        }
    }

    std::string directory = directoryPath;
    if (!directory.empty() && directory.back() != '/')
        directory += '/';
    for (;;) {
        std::string name = base;
        if (counter >= 2)
            name += " " + std::to_string(counter);
        name += "." + extension;
        std::string path = directory + name;
        // lstat, not stat: a link takes its name wherever it leads, or the file would be
        // written through a dangling one planted there. A name that can't be looked at (too
        // long, a folder that isn't one) can't be written either: the write reports why.
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0 || counter == ULLONG_MAX)
            return foundation::URL::fileURLWithPath(path);
        ++counter;
    }
}

std::vector<foundation::URL> mvr_URLsMatchingTypes(const std::vector<std::string>& types, const foundation::URL& directory)
{
    std::vector<std::string> extensions;
    for (const std::string& identifier : types)
        if (auto type = images::UTType::typeWithIdentifier(identifier))
            for (const std::string& extension : type->filenameExtensions())
                extensions.push_back(foundation::asciiLowercase(extension));

    auto matches = [&](const foundation::URL& url, const MVRResourceValues& values) {
        const foundation::Value* type = values.find(NSURLTypeIdentifierKey);
        if (type && type->isString() && !type->asString().empty())
            for (const std::string& identifier : types)
                if (type->asString() == identifier)
                    return true;
        const foundation::Value* name = values.find(NSURLNameKey);
        foundation::URL named = name && name->isString()
                                    ? foundation::URL::fileURLWithPath("/" + name->asString())
                                    : url;
        std::string extension = foundation::asciiLowercase(named.pathExtension());
        if (extension.empty())
            return false;
        for (const std::string& candidate : extensions)
            if (candidate == extension)
                return true;
        return false;
    };

    std::vector<foundation::URL> result;
    for (const auto& [url, values] : mvr_contentsOfURL(directory, foundation::DirectoryEnumerationSkipsHiddenFiles,
                                                        {NSURLNameKey, NSURLTypeIdentifierKey}, matches))
        result.push_back(url);
    return result;
}

std::map<foundation::URL, MVRResourceValues> mvr_contentsOfURL(const foundation::URL& directory, unsigned options,
                                                               const std::vector<std::string>& keys,
                                                               const MVRURLPredicate& predicate)
{
    std::map<foundation::URL, MVRResourceValues> result;
    auto enumerator = foundation::FileManager::defaultManager().enumeratorAtURL(directory, options);
    while (auto url = enumerator.nextObject()) {
        foundation::ErrorPtr error;
        auto values = resourceValues(*url, keys, &error);
        if (!values) {
            mvr_frameworkLog().default_("%@ - failed to get resource values for keys: %@ error: %@", MVR_DSO,
                                        url->absoluteString(), joinedKeys(keys),
                                        error ? error->localizedDescription() : std::string());
            continue;
        }
        if (!predicate || predicate(*url, *values))
            result.emplace(*url, std::move(*values));
    }
    return result;
}
