#include "MovaraKit/Support/Bundle+Movara.h"

#include <dlfcn.h>

#include <filesystem>

#include "MovaraKit/Support/UnifiedLog.h"
#include "Platform/Foundation/Bundle.h"

const std::string MVRMovaraKitBundleIdentifier = "com.movara.MovaraKit";

namespace {

std::string infoString(const foundation::Bundle* bundle, const char* key)
{
    if (!bundle)
        return {};
    const foundation::Value& value = bundle->objectForInfoDictionaryKey(key);
    return value.isString() ? value.asString() : std::string();
}

} // namespace

std::shared_ptr<foundation::Bundle> mvr_registerFrameworkBundle(const std::string& identifier, const std::string& name,
                                                                const void* addressInLibrary,
                                                                const std::string& sourceResources)
{
    // Found through the library's own image, the way the platform finds a framework's bundle
    // through one of its classes.
    std::string resources = sourceResources;
    Dl_info info{};
    if (::dladdr(addressInLibrary, &info) && info.dli_fname) {
        std::error_code ec;
        auto installed = std::filesystem::path(info.dli_fname).parent_path() / name / "Resources";
        if (std::filesystem::is_directory(installed, ec))
            resources = installed.string();
    }
    return foundation::Bundle::registerBundle(
        identifier, resources, foundation::Value::dictionary({{"CFBundleIdentifier", identifier}, {"CFBundleName", name}}));
}

std::shared_ptr<foundation::Bundle> mvr_movaraKitBundle()
{
    static const std::shared_ptr<foundation::Bundle> bundle = mvr_registerFrameworkBundle(
        MVRMovaraKitBundleIdentifier, "MovaraKit", MVR_DSO,
        QUINTOR_RESOURCES_DIR);
    return bundle;
}

const std::string& mvr_applicationVersionBuildString()
{
    static const std::string text = [] {
        auto main = foundation::Bundle::main();
        return infoString(main.get(), "CFBundleName") + " " + infoString(main.get(), "CFBundleShortVersionString") + " (" +
               infoString(main.get(), "CFBundleVersion") + ")";
    }();
    return text;
}
