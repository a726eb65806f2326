#include "MovaraKit/Support/Bundle+Movara.h"

#include <dlfcn.h>

#include <filesystem>

#include "MovaraKit/Support/UnifiedLog.h"
#include "Platform/Foundation/Bundle.h"

const std::string MVRMovaraKitBundleIdentifier = "com.movara.MovaraKit";

namespace {

std::string resourcesDirectory()
{
    // Found through this library's own image, the way the platform finds a framework's bundle
    // through one of its classes.
    Dl_info info{};
    if (::dladdr(MVR_DSO, &info) && info.dli_fname) {
        std::error_code ec;
        auto installed = std::filesystem::path(info.dli_fname).parent_path() / "MovaraKit" / "Resources";
        if (std::filesystem::is_directory(installed, ec))
            return installed.string();
    }
#ifdef QUINTOR_RESOURCES_DIR
    return QUINTOR_RESOURCES_DIR;
#else
    return (std::filesystem::path(__FILE__).parent_path().parent_path() / "Resources").string();
#endif
}

std::string infoString(const foundation::Bundle* bundle, const char* key)
{
    if (!bundle)
        return {};
    const foundation::Value& value = bundle->objectForInfoDictionaryKey(key);
    return value.isString() ? value.asString() : std::string();
}

} // namespace

std::shared_ptr<foundation::Bundle> mvr_movaraKitBundle()
{
    static const std::shared_ptr<foundation::Bundle> bundle = foundation::Bundle::registerBundle(
        MVRMovaraKitBundleIdentifier, resourcesDirectory(),
        foundation::Value::dictionary({{"CFBundleIdentifier", MVRMovaraKitBundleIdentifier}, {"CFBundleName", "MovaraKit"}}));
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
