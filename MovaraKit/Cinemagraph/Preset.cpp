#include "MovaraKit/Cinemagraph/Preset.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <map>
#include <mutex>

#include "MovaraKit/Cinemagraph/PresetsController.h"
#include "MovaraKit/Support/Bundle+Movara.h"
#include "Platform/Foundation/Bundle.h"
#include "Platform/Foundation/FileManager.h"
#include "Platform/Foundation/StringUtils.h"

const std::string presetUTI = "com.movara.stillara-preset";
const std::string presetFileExtension = "stillarapreset";

namespace {

const std::string kPresetClass = "MovaraKit.Preset";
const std::string kGroupClass = "MovaraKit.PresetGroup";

// A UUID as the platform archives one: "NSUUID" with its sixteen bytes.
class ArchivedUUID final : public foundation::Coding {
public:
    explicit ArchivedUUID(foundation::UUID uuid) : uuid(uuid) { }
    std::string className() const override { return "NSUUID"; }
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override
    {
        coder.encodeData(foundation::Data(uuid.bytes().begin(), uuid.bytes().end()), "NS.uuidbytes");
    }
    foundation::UUID uuid;
};

foundation::ErrorPtr corrupt(const std::string& description)
{
    return foundation::Error::make(foundation::NSCocoaErrorDomain, foundation::NSCoderReadCorruptError, description);
}

void registerClasses()
{
    MVRFilterGraph::initialize();
    foundation::KeyedArchiver::registerClass(foundation::CodingClass{
        "NSUUID", {}, true, 0, [](foundation::KeyedUnarchiver& coder) -> foundation::CodingPtr {
            auto bytes = coder.decodeData("NS.uuidbytes");
            if (!bytes || bytes->size() != 16) {
                coder.failWithError(corrupt("The archive holds a damaged UUID."));
                return nullptr;
            }
            foundation::UUID::Bytes b{};
            std::copy(bytes->begin(), bytes->end(), b.begin());
            return std::make_shared<ArchivedUUID>(foundation::UUID::fromBytes(b));
        }});
    foundation::KeyedArchiver::registerClass(foundation::CodingClass{
        kPresetClass, {}, true, 1, [](foundation::KeyedUnarchiver& coder) -> foundation::CodingPtr {
            auto uuid = coder.decodeObjectOfClass<ArchivedUUID>("NSUUID", "uuid");
            auto name = coder.decodeString("name");
            auto graph = coder.decodeObjectOfClass<MVRFilterGraph>("MVRFilterGraph", "filterGraph");
            if (coder.error())
                return nullptr;
            if (!uuid || !name || !graph) {
                coder.failWithError(corrupt("The preset lacks its identity, name or adjustments."));
                return nullptr;
            }
            std::set<std::string> excluded;
            if (coder.containsValueForKey("excludedKeyPaths")) {
                auto set = coder.decodeStringSet("excludedKeyPaths");
                if (coder.error())
                    return nullptr;
                if (set)
                    excluded = std::move(*set);
            }
            return std::make_shared<Preset>(*name, graph, std::move(excluded), uuid->uuid);
        }});
    foundation::KeyedArchiver::registerClass(foundation::CodingClass{
        kGroupClass, {}, true, 0, [](foundation::KeyedUnarchiver& coder) -> foundation::CodingPtr {
            auto name = coder.decodeString("name");
            auto presets = coder.decodeArrayOfObjectsOfClasses({kPresetClass}, "presets");
            if (coder.error())
                return nullptr;
            if (!name || !presets) {
                coder.failWithError(corrupt("The preset group lacks its name or presets."));
                return nullptr;
            }
            std::vector<PresetPtr> list;
            for (const auto& object : *presets) {
                auto preset = std::dynamic_pointer_cast<Preset>(object);
                if (!preset) {
                    coder.failWithError(corrupt("The preset group holds something other than presets."));
                    return nullptr;
                }
                list.push_back(preset);
            }
            return std::make_shared<PresetGroup>(*name, std::move(list));
        }});
}

template <class T>
foundation::Data archivedArray(const std::vector<std::shared_ptr<T>>& items, foundation::ErrorPtr* error)
{
    registerPresetArchiveClasses();
    foundation::KeyedArchiver archiver(true);
    archiver.encodeArrayOfObjects(std::vector<std::shared_ptr<const foundation::Coding>>(items.begin(), items.end()),
                                  foundation::NSKeyedArchiveRootObjectKey);
    foundation::Data data = archiver.encodedData();
    if (error)
        *error = archiver.error();
    return data;
}

template <class T>
std::optional<std::vector<std::shared_ptr<T>>> unarchivedArray(const foundation::Data& data, const std::string& className,
                                                               foundation::ErrorPtr* error)
{
    registerPresetArchiveClasses();
    auto unarchiver = foundation::KeyedUnarchiver::initForReadingFromData(data, error);
    if (!unarchiver)
        return std::nullopt;
    unarchiver->setRequiresSecureCoding(true);
    auto objects = unarchiver->decodeArrayOfObjectsOfClasses({className}, foundation::NSKeyedArchiveRootObjectKey);
    if (!objects || unarchiver->error()) {
        if (error)
            *error = unarchiver->error() ? unarchiver->error() : corrupt("The archive holds no list at its root.");
        return std::nullopt;
    }
    std::vector<std::shared_ptr<T>> items;
    for (const auto& object : *objects) {
        auto item = std::dynamic_pointer_cast<T>(object);
        if (!item) {
            if (error)
                *error = corrupt("The archive's list holds an object of another kind.");
            return std::nullopt;
        }
        items.push_back(item);
    }
    return items;
}

bool ascendingByName(const std::string& a, const std::string& b)
{
    return foundation::localizedStandardCompare(a, b) == foundation::ComparisonResult::OrderedAscending;
}

std::string lowercased(std::string s)
{
    for (char& c : s)
        if (c >= 'A' && c <= 'Z')
            c = char(c - 'A' + 'a');
    return s;
}

// The type identifier of a preset file: its extension says it.
bool isPresetFile(const std::filesystem::path& path)
{
    std::error_code ec;
    return std::filesystem::is_regular_file(path, ec) && lowercased(path.extension().string()) == "." + presetFileExtension;
}

std::vector<std::string> components(const std::filesystem::path& path)
{
    std::vector<std::string> parts;
    for (const auto& part : path.lexically_normal())
        if (!part.empty() && part != "/")
            parts.push_back(part.string());
    return parts;
}

} // namespace

void registerPresetArchiveClasses()
{
    static std::once_flag once;
    std::call_once(once, [] {
        registerClasses();
        foundation::KeyedArchiver::setClassVersion(kPresetClass, 1);
        foundation::KeyedUnarchiver::setDefaultClass(kPresetClass, "Stillara.Preset");
        foundation::KeyedUnarchiver::setDefaultClass(kGroupClass, "Stillara.PresetGroup");
    });
}

// ---- Preset ---------------------------------------------------------------------------------

Preset::Preset(std::string name, MVRFilterGraphPtr graph, std::set<std::string> excluded, foundation::UUID uuid)
    : m_name(std::move(name)), m_filterGraph(std::move(graph)), m_excludedKeyPaths(std::move(excluded)), m_uuid(uuid)
{
}

PresetPtr Preset::init(const std::string& name, const MVRFilterGraph& filterGraph, std::set<std::string> excludedKeyPaths)
{
    registerPresetArchiveClasses();
    return std::make_shared<Preset>(name, filterGraph.copy(), std::move(excludedKeyPaths), foundation::UUID::random());
}

void Preset::encodeWithCoder(foundation::KeyedArchiver& coder) const
{
    coder.encodeInteger(foundation::KeyedArchiver::classVersion(kPresetClass), "version");
    coder.encodeObject(std::make_shared<ArchivedUUID>(m_uuid), "uuid");
    coder.encodeString(m_name, "name");
    coder.encodeObject(m_filterGraph, "filterGraph");
    coder.encodeStringSet(m_excludedKeyPaths, "excludedKeyPaths");
}

bool Preset::write(const foundation::URL& url, foundation::ErrorPtr* error) const
{
    registerPresetArchiveClasses();
    foundation::ErrorPtr failure;
    // The preset is shared and immutable; the archiver only needs a reference to it.
    std::shared_ptr<const Preset> self(std::shared_ptr<const Preset>{}, this);
    const foundation::Data data = foundation::KeyedArchiver::archivedDataWithRootObject(self, true, &failure);
    if (data.empty()) {
        if (error)
            *error = failure;
        return false;
    }
    if (!writePresetData(data, url.path(), false, &failure)) {
        if (error)
            *error = failure;
        return false;
    }
    return true;
}

void Preset::apply(MVRFilterGraph& target) const
{
    target.takeValuesFrom(*m_filterGraph, m_excludedKeyPaths);
}

// ---- PresetGroup ----------------------------------------------------------------------------

PresetGroupPtr PresetGroup::init(const std::string& name, std::vector<PresetPtr> presets)
{
    registerPresetArchiveClasses();
    return std::make_shared<PresetGroup>(name, std::move(presets));
}

void PresetGroup::encodeWithCoder(foundation::KeyedArchiver& coder) const
{
    coder.encodeString(m_name, "name");
    coder.encodeArrayOfObjects(std::vector<std::shared_ptr<const foundation::Coding>>(m_presets.begin(), m_presets.end()),
                               "presets");
}

const std::vector<PresetGroupPtr>& PresetGroup::builtinGroups()
{
    static const std::vector<PresetGroupPtr> groups = [] {
        registerPresetArchiveClasses();
        auto path = mvr_movaraKitBundle()->pathForResource("Builtin Presets", "plist");
        if (!path) {
            std::printf("failed to find the built-in presets\n");
            return std::vector<PresetGroupPtr>{};
        }
        foundation::ErrorPtr error;
        auto data = foundation::FileManager::defaultManager().contentsAtPath(*path, &error);
        auto list = data ? unarchivedPresetGroups(*data, &error) : std::nullopt;
        if (!list) {
            std::printf("failed to read the built-in presets: %s\n", error ? error->localizedDescription().c_str() : "");
            return std::vector<PresetGroupPtr>{};
        }
        return *list;
    }();
    return groups;
}

std::vector<PresetGroupPtr> PresetGroup::groups(const foundation::URL& folder)
{
    registerPresetArchiveClasses();
    auto& files = foundation::FileManager::defaultManager();
    auto enumerator = files.enumeratorAtURL(folder, 0, [](const foundation::URL& url, const foundation::ErrorPtr& error) {
        std::printf("failure at %s; error: %s\nbarrelling along anyway!\n", url.absoluteString().c_str(),
                    error ? error->localizedDescription().c_str() : "");
        return true;
    });
    const std::vector<std::string> folderParts = components(folder.path());
    // Group name → preset name → stored preset; a later file of the same names replaces.
    std::map<std::string, std::map<std::string, PresetPtr>> found;
    while (auto item = enumerator.nextObject()) {
        if (enumerator.level() < 2)
            continue;
        const std::filesystem::path path(item->path());
        if (!isPresetFile(path))
            continue;
        std::vector<std::string> parent = components(path.parent_path());
        for (const auto& part : folderParts) {
            auto it = std::find(parent.begin(), parent.end(), part);
            if (it != parent.end())
                parent.erase(it);
        }
        if (parent.empty())
            continue;
        auto data = files.contentsAtPath(path.string());
        if (!data)
            continue;
        auto preset = foundation::KeyedUnarchiver::unarchivedObjectOfClass<Preset>(kPresetClass, *data);
        if (!preset)
            continue;
        found[parent.front()][path.stem().string()] = preset;
    }
    std::vector<std::string> groupNames;
    for (const auto& [name, presets] : found)
        groupNames.push_back(name);
    std::stable_sort(groupNames.begin(), groupNames.end(), ascendingByName);
    std::vector<PresetGroupPtr> result;
    for (const auto& groupName : groupNames) {
        const auto& byName = found[groupName];
        std::vector<std::string> names;
        for (const auto& [name, preset] : byName)
            names.push_back(name);
        std::stable_sort(names.begin(), names.end(), ascendingByName);
        std::vector<PresetPtr> presets;
        for (const auto& name : names)
            presets.push_back(Preset::init(name, *byName.at(name)->filterGraph()));
        result.push_back(PresetGroup::init(groupName, std::move(presets)));
    }
    return result;
}

PresetGroupPtr PresetGroup::custom()
{
    return PresetGroup::init("Custom", PresetsController::shared()->presets());
}

// ---- files ----------------------------------------------------------------------------------

bool writePresetData(const foundation::Data& data, const std::string& path, bool atomically, foundation::ErrorPtr* error)
{
    const std::string name = std::filesystem::path(path).filename().string();
    auto fail = [&](int code) {
        if (error)
            *error = foundation::Error::make(foundation::NSCocoaErrorDomain,
                                             code == EEXIST ? foundation::NSFileWriteFileExistsError
                                                            : foundation::NSFileWriteUnknownError,
                                             "The file \"" + name + "\" could not be saved.", foundation::Error::posix(code, path));
        return false;
    };
    // Atomically: into a fresh file beside the target, which then takes the target's place.
    std::string target = atomically ? path + ".XXXXXX" : path;
    const int fd = atomically ? ::mkostemp(target.data(), O_CLOEXEC)
                              : ::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0)
        return fail(errno);
    if (atomically)
        ::fchmod(fd, 0644); // a temporary file starts private; the file it becomes is not
    size_t written = 0;
    int code = 0;
    while (written < data.size()) {
        const ssize_t n = ::write(fd, data.data() + written, data.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            code = n < 0 ? errno : EIO;
            break;
        }
        written += size_t(n);
    }
    if (!code && ::fsync(fd) != 0)
        code = errno;
    if (::close(fd) != 0 && !code)
        code = errno;
    if (!code && atomically && ::rename(target.c_str(), path.c_str()) != 0)
        code = errno;
    if (code) {
        ::unlink(target.c_str()); // never leave half a file behind
        return fail(code);
    }
    return true;
}

// ---- archives -------------------------------------------------------------------------------

foundation::Data archivedPresets(const std::vector<PresetPtr>& presets, foundation::ErrorPtr* error)
{
    return archivedArray(presets, error);
}

std::optional<std::vector<PresetPtr>> unarchivedPresets(const foundation::Data& data, foundation::ErrorPtr* error)
{
    return unarchivedArray<Preset>(data, kPresetClass, error);
}

foundation::Data archivedPresetGroups(const std::vector<PresetGroupPtr>& groups, foundation::ErrorPtr* error)
{
    return archivedArray(groups, error);
}

std::optional<std::vector<PresetGroupPtr>> unarchivedPresetGroups(const foundation::Data& data, foundation::ErrorPtr* error)
{
    return unarchivedArray<PresetGroup>(data, kGroupClass, error);
}
