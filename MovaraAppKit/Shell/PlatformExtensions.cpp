#include "MovaraAppKit/Shell/PlatformExtensions.h"

#include <filesystem>

#include "MovaraKit/Support/Bundle+Movara.h"
#include "Platform/Foundation/Bundle.h"
#include "Platform/Images/UTType.h"
#include "Platform/UI/Appearance.h"
#include "Platform/UI/Window.h"

const std::string MVRMovaraAppKitBundleIdentifier = "com.movara.MovaraAppKit";

namespace {

// Its address tells which shared library this code was loaded from.
int anchor = 0;

} // namespace

std::shared_ptr<foundation::Bundle> mvr_movaraAppKitBundle()
{
    static const std::shared_ptr<foundation::Bundle> bundle = mvr_registerFrameworkBundle(
        MVRMovaraAppKitBundleIdentifier, "MovaraAppKit", &anchor,
        QUINTOR_RESOURCES_DIR);
    return bundle;
}

bool mvr_conformsToType(const foundation::URL& url, const std::string& type)
{
    // A file that is not there has no type, whatever its extension says.
    std::error_code ec;
    if (!url.isFileURL() || !std::filesystem::exists(url.path(), ec))
        return false;
    const std::string identifier = images::typeOfFile(url.path());
    if (identifier.empty())
        return false;
    return images::typeConformsTo(identifier, type);
}

bool mvr_isImageURL(const foundation::URL& url)
{
    return mvr_conformsToType(url, images::kUTTypeImage);
}

bool mvr_isMovieURL(const foundation::URL& url)
{
    return mvr_conformsToType(url, images::kUTTypeMovie);
}

bool mvr_isDirectoryURL(const foundation::URL& url)
{
    if (!url.isFileURL())
        return false;
    std::error_code ec;
    return std::filesystem::is_directory(url.path(), ec);
}

void mvr_setDarkAppearance(ui::Window& window)
{
    window.setAppearance(ui::Appearance::appearanceNamed(ui::NSAppearanceNameDarkAqua));
}

double titleBarHeight()
{
    static const double height = 100.0 - ui::Window::contentRectForFrameRect(graphics::Rect::make(0, 0, 100, 100), ui::WindowStyleMaskTitled).height();
    return height;
}
