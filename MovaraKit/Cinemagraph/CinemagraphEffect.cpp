#include "MovaraKit/Cinemagraph/CinemagraphEffect.h"

#include <algorithm>
#include <filesystem>

#include "MovaraKit/Media/HardLinkingFileWrapper.h"
#include "Platform/Foundation/FileCoordinator.h"
#include "Platform/Foundation/FileWrapper.h"
#include "Platform/Foundation/PropertyList.h"
#include "Platform/Foundation/UUID.h"
#include "Platform/Images/UTType.h"

using foundation::ErrorPtr;
using foundation::URL;
using foundation::Value;

const std::string CinemagraphEffectReadingErrorDomain = "MovaraKit.CinemagraphEffect.ReadingError";

namespace {

bool fail(ErrorPtr* error, ErrorPtr e)
{
    if (error)
        *error = std::move(e);
    return false;
}

ErrorPtr readingError(CinemagraphEffect::ReadingError code)
{
    return foundation::Error::make(CinemagraphEffectReadingErrorDomain, static_cast<long>(code),
                                   code == CinemagraphEffect::ReadingError::unrecognizedPackage
                                       ? "The file is not a cinemagraph effect package."
                                       : "The effect package was made by a newer version.");
}

ErrorPtr decodingError(const std::string& key, bool missing)
{
    return foundation::Error::make(foundation::NSCocoaErrorDomain,
                                   missing ? foundation::NSCoderValueNotFoundError : foundation::NSCoderReadCorruptError,
                                   missing ? "The data couldn't be read because \"" + key + "\" is missing."
                                           : "The data couldn't be read because \"" + key + "\" isn't in the correct format.");
}

// CoreMedia's dictionary form of a time and a time range.
Value timeDictionary(const media::Time& t)
{
    return Value::dictionary({{"value", t.value}, {"timescale", static_cast<int64_t>(t.timescale)},
                              {"flags", static_cast<int64_t>(t.flags)}, {"epoch", t.epoch}});
}

std::optional<media::Time> timeFromDictionary(const Value& d)
{
    if (!d.isDictionary() || !d["value"].isInteger() || !d["timescale"].isInteger() || !d["flags"].isInteger()
        || !d["epoch"].isInteger())
        return std::nullopt;
    const int64_t timescale = d["timescale"].asInteger();
    const int64_t flags = d["flags"].asInteger();
    if (timescale < INT32_MIN || timescale > INT32_MAX || flags < 0 || flags > UINT32_MAX)
        return std::nullopt;
    media::Time t;
    t.value = d["value"].asInteger();
    t.timescale = static_cast<int32_t>(timescale);
    t.flags = static_cast<uint32_t>(flags);
    t.epoch = d["epoch"].asInteger();
    if (t.isValid() && t.timescale <= 0)
        return std::nullopt;
    return t;
}

media::TimeRange timeRangeFromDictionary(const Value& d)
{
    auto start = timeFromDictionary(d["start"]);
    auto duration = timeFromDictionary(d["duration"]);
    if (!start || !duration)
        return media::TimeRange::invalid();
    return media::TimeRange::make(*start, *duration);
}

bool conformsToEffectPackage(const URL& url)
{
    const std::string type = images::typeOfFile(url.path());
    if (!type.empty() && images::typeConformsTo(type, CinemagraphEffect::identifier()))
        return true;
    return std::filesystem::path(url.path()).extension() == "." + CinemagraphEffect::fileExtension();
}

// Whether `file` is a regular file (a link is not, wherever it leads) of a type conforming
// to `parent`.
bool conformsTo(const URL& file, const std::string& parent)
{
    std::error_code ec;
    if (!std::filesystem::is_regular_file(std::filesystem::symlink_status(file.path(), ec)))
        return false;
    const std::string type = images::typeOfFile(file.path());
    return !type.empty() && images::typeConformsTo(type, parent);
}

// "sourceMovie" + "." + the file's extension (no dot for a file without one).
std::string mediaName(const char* base, const URL& url)
{
    const std::string ext = std::filesystem::path(url.path()).extension().string();
    return std::string(base) + ext;
}

// A package entry that links its file into place when written.
class HardLinkedEntry : public foundation::FileWrapper {
public:
    static std::shared_ptr<HardLinkedEntry> make(std::shared_ptr<HardLinkingFileWrapper> file)
    {
        return std::shared_ptr<HardLinkedEntry>(new HardLinkedEntry(std::move(file)));
    }
    std::optional<foundation::Data> regularFileContents() const override
    {
        auto bytes = m_file->regularFileContents();
        return foundation::Data(bytes.begin(), bytes.end());
    }

protected:
    bool writeContentsAtPath(const std::string& path, ErrorPtr* error) const override
    {
        return m_file->writeToURL(URL::fileURLWithPath(path), FileWrapperWritingAtomic, std::nullopt, error);
    }

private:
    explicit HardLinkedEntry(std::shared_ptr<HardLinkingFileWrapper> file)
        : FileWrapper(Kind::regularFile), m_file(std::move(file))
    {
    }
    std::shared_ptr<HardLinkingFileWrapper> m_file;
};

} // namespace

const std::string& CinemagraphEffect::identifier()
{
    static const std::string value = "com.movara.stillara-effect-bundle";
    return value;
}

const std::string& CinemagraphEffect::fileExtension()
{
    // The type registry knows no extension for the package type here, so the fallback holds.
    static const std::string value = [] {
        auto type = images::UTType::typeWithIdentifier(identifier());
        const std::string ext = type ? type->preferredFilenameExtension() : std::string();
        return ext.empty() ? std::string("cinemagraphEffect") : ext;
    }();
    return value;
}

const std::string& CinemagraphEffect::launchScheme()
{
    static const std::string value = "stillara";
    return value;
}

const std::string& CinemagraphEffect::launchHost()
{
    static const std::string value = "import-effect-track";
    return value;
}

const std::string& CinemagraphEffect::urlQueryItemName()
{
    static const std::string value = "url";
    return value;
}

const std::string& CinemagraphEffect::applicationGroupIdentifier()
{
    static const std::string value = "group.com.movara.stillara-import-effect";
    return value;
}

CinemagraphEffect::CinemagraphEffect(URL sourceURL, media::TimeRange sourceTimeRange, URL effectURL, std::string effectName,
                                     bool isVideoProvider, bool isImageProvider)
    : m_sourceURL(std::move(sourceURL))
    , m_sourceTimeRange(sourceTimeRange)
    , m_effectURL(std::move(effectURL))
    , m_effectName(std::move(effectName))
    , m_isVideoProvider(isVideoProvider)
    , m_isImageProvider(isImageProvider)
{
}

std::shared_ptr<CinemagraphEffect> CinemagraphEffect::initWithPackageURL(const URL& packageURL, ErrorPtr* error)
{
    if (!conformsToEffectPackage(packageURL)) {
        fail(error, readingError(ReadingError::unrecognizedPackage));
        return nullptr;
    }
    auto wrapper = foundation::FileWrapper::initWithURL(packageURL, 0, error);
    if (!wrapper)
        return nullptr;
    auto plistEntry = wrapper->isDirectory() ? wrapper->fileWrapperNamed("Data.plist") : nullptr;
    auto plistBytes = plistEntry ? plistEntry->regularFileContents() : std::nullopt;
    if (!plistBytes) {
        fail(error, readingError(ReadingError::unrecognizedPackage));
        return nullptr;
    }
    ErrorPtr parseError;
    const Value record = foundation::readPropertyList(*plistBytes, &parseError);
    if (parseError) {
        fail(error, parseError);
        return nullptr;
    }
    if (!record.isDictionary()) {
        fail(error, decodingError("Data.plist", false));
        return nullptr;
    }
    // Every key is required, with its type.
    struct Key {
        const char* name;
        bool (Value::*is)() const;
    };
    for (const Key& key : {Key {"version", &Value::isInteger}, Key {"sourceFilename", &Value::isString},
                           Key {"sourceTimeRange", &Value::isDictionary}, Key {"effectFilename", &Value::isString},
                           Key {"effectName", &Value::isString}, Key {"isVideoProvider", &Value::isBool},
                           Key {"isImageProvider", &Value::isBool}}) {
        const Value* value = record.find(key.name);
        if (!value) {
            fail(error, decodingError(key.name, true));
            return nullptr;
        }
        if (!(value->*key.is)()) {
            fail(error, decodingError(key.name, false));
            return nullptr;
        }
    }
    // The time range is a dictionary of dictionaries of integers.
    for (const auto& [name, inner] : record["sourceTimeRange"].asDictionary()) {
        bool ok = inner.isDictionary();
        if (ok) {
            for (const auto& [leafName, leaf] : inner.asDictionary())
                ok = ok && leaf.isInteger();
        }
        if (!ok) {
            fail(error, decodingError("sourceTimeRange", false));
            return nullptr;
        }
    }
    if (record["version"].asInteger() > 1) {
        fail(error, readingError(ReadingError::incompatibleVersion));
        return nullptr;
    }
    const std::string sourceName = record["sourceFilename"].asString();
    const std::string effectName = record["effectFilename"].asString();
    // Names come from the package: they must be entries of it, never paths leading out.
    if (!foundation::FileWrapper::isSinglePathComponent(sourceName)
        || !foundation::FileWrapper::isSinglePathComponent(effectName)) {
        fail(error, readingError(ReadingError::unrecognizedPackage));
        return nullptr;
    }
    // Only the package's own files: a link inside it could lead anywhere, and the next write
    // would copy what it leads to into a new package.
    for (const std::string& name : {sourceName, effectName}) {
        auto entry = wrapper->fileWrapperNamed(name);
        if (!entry || !entry->isRegularFile()) {
            fail(error, readingError(ReadingError::unrecognizedPackage));
            return nullptr;
        }
    }
    const URL sourceURL = packageURL.URLByAppendingPathComponent(sourceName);
    const URL effectURL = packageURL.URLByAppendingPathComponent(effectName);
    if (!conformsTo(sourceURL, images::kUTTypeMovie)
        || !(conformsTo(effectURL, images::kUTTypeMovie) || conformsTo(effectURL, images::kUTTypeImage))) {
        fail(error, readingError(ReadingError::unrecognizedPackage));
        return nullptr;
    }
    return std::make_shared<CinemagraphEffect>(sourceURL, timeRangeFromDictionary(record["sourceTimeRange"]), effectURL,
                                               record["effectName"].asString(), record["isVideoProvider"].asBool(),
                                               record["isImageProvider"].asBool());
}

bool CinemagraphEffect::writeToURL(const URL& url, ErrorPtr* error) const
{
    const std::string sourceName = mediaName("sourceMovie", m_sourceURL);
    const std::string effectName = mediaName("effectMovie", m_effectURL);
    const Value record = Value::dictionary(
        {{"version", 1},
         {"sourceFilename", sourceName},
         {"sourceTimeRange", Value::dictionary({{"start", timeDictionary(m_sourceTimeRange.start)},
                                                {"duration", timeDictionary(m_sourceTimeRange.duration)}})},
         {"effectFilename", effectName},
         {"effectName", m_effectName},
         {"isVideoProvider", m_isVideoProvider},
         {"isImageProvider", m_isImageProvider}});
    ErrorPtr encodeError;
    foundation::Data plist = foundation::toBinaryPropertyList(record, &encodeError);
    if (plist.empty())
        return fail(error, encodeError);

    auto source = HardLinkingFileWrapper::initWithRegularFileURL(m_sourceURL, error);
    if (!source)
        return false;
    auto effect = HardLinkingFileWrapper::initWithRegularFileURL(m_effectURL, error);
    if (!effect)
        return false;
    auto package = foundation::FileWrapper::initDirectoryWithFileWrappers(
        {{"Data.plist", foundation::FileWrapper::initRegularFileWithContents(std::move(plist))},
         {sourceName, HardLinkedEntry::make(source)},
         {effectName, HardLinkedEntry::make(effect)}});
    // Linux has no package flag on folders: the package's extension marks it.
    return package->writeToURL(url, foundation::FileWrapperWritingAtomicOption, std::nullopt, error);
}

std::optional<URL> CinemagraphEffect::exportToStillaraImportContainer() const
{
    auto container = foundation::containerURLForSecurityApplicationGroupIdentifier(applicationGroupIdentifier());
    if (!container)
        return std::nullopt;
    const URL destination = container->URLByAppendingPathComponent(foundation::UUID::random().UUIDString() + "."
                                                                   + fileExtension());
    std::optional<URL> result;
    foundation::FileCoordinator coordinator;
    coordinator.coordinateWritingItemAtURL(destination, foundation::FileCoordinatorWritingForReplacing,
                                           [&](const URL& url) {
                                               if (writeToURL(url))
                                                   result = url;
                                           });
    return result;
}

URL CinemagraphEffect::containerURLToLaunchURL(const URL& containerURL)
{
    foundation::URLComponents components;
    components.setScheme(launchScheme());
    components.setHost(launchHost());
    components.setQueryItems(std::vector<foundation::URLQueryItem> {{urlQueryItemName(), containerURL.absoluteString()}});
    auto url = components.url();
    return url ? *url : *URL::URLWithString(launchScheme() + "://" + launchHost());
}

std::optional<URL> CinemagraphEffect::launchURLToContainerURL(const URL& launchURL)
{
    auto components = foundation::URLComponents::componentsWithString(launchURL.absoluteString());
    if (!components || components->scheme() != launchScheme() || components->host() != launchHost())
        return std::nullopt;
    auto items = components->queryItems();
    if (!items)
        return std::nullopt;
    std::optional<std::string> value;
    for (const auto& item : *items) {
        if (item.name == urlQueryItemName()) {
            value = item.value;
            break;
        }
    }
    if (!value)
        return std::nullopt;
    auto url = URL::URLWithString(*value);
    // Any file URL: this only names a package. Where the package may come from is for whoever
    // opens it to decide, and reading it as a package refuses anything that is not one.
    if (!url || !url->isFileURL())
        return std::nullopt;
    return url;
}
