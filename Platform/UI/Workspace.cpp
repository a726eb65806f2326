#include "Platform/UI/Workspace.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <unistd.h>

#include <gio/gdesktopappinfo.h>
#include <gio/gio.h>

#include "Platform/Foundation/StringUtils.h"
#include "Platform/Images/UTType.h"
#include "Platform/UI/BezierPath.h"
#include "Platform/UI/GraphicsContext.h"
#include "Platform/UI/Spawn.h"

namespace ui {

Workspace& Workspace::shared()
{
    static Workspace workspace;
    return workspace;
}

bool Workspace::recordsOnly() const
{
    std::lock_guard lock(m_mutex);
    return m_recordsOnly;
}

void Workspace::setRecordsOnly(bool value)
{
    std::lock_guard lock(m_mutex);
    m_recordsOnly = value;
}

std::vector<Workspace::Call> Workspace::recordedCalls() const
{
    std::lock_guard lock(m_mutex);
    return m_calls;
}

void Workspace::clearRecordedCalls()
{
    std::lock_guard lock(m_mutex);
    m_calls.clear();
}

bool Workspace::perform(Call call, const std::vector<std::string>& argv)
{
    const bool record = recordsOnly();
    {
        std::lock_guard lock(m_mutex);
        m_calls.push_back(std::move(call));
    }
    return record ? true : detail::spawnDetached(argv);
}

bool Workspace::openURL(const foundation::URL& url)
{
    if (url.scheme().empty())
        return false;
    return perform({"openURL", {url.absoluteString()}}, {"xdg-open", url.absoluteString()});
}

bool Workspace::openFile(const std::string& path, const std::string& application)
{
    if (path.empty())
        return false;
    if (application.empty())
        return perform({"openFile", {path}}, {"xdg-open", path});
    auto app = fullPathForApplication(application);
    if (!app)
        return false;
    return perform({"openFile", {path, application}}, {*app, path});
}

bool Workspace::activateFileViewerSelectingURLs(const std::vector<foundation::URL>& urls)
{
    if (urls.empty() || !urls.front().isFileURL())
        return false;
    std::vector<std::string> args;
    for (const auto& u : urls)
        args.push_back(u.absoluteString());
    const std::string folder = urls.front().URLByDeletingLastPathComponent().path();
    return perform({"activateFileViewerSelectingURLs", args}, {"xdg-open", folder});
}

void Workspace::registerApplication(const std::string& name, const std::string& path)
{
    std::lock_guard lock(m_mutex);
    m_applications.erase(std::remove_if(m_applications.begin(), m_applications.end(),
                                        [&](const auto& p) { return p.first == name; }),
                         m_applications.end());
    if (!path.empty())
        m_applications.emplace_back(name, path);
}

std::optional<std::string> Workspace::fullPathForApplication(const std::string& name) const
{
    {
        std::lock_guard lock(m_mutex);
        for (const auto& [n, p] : m_applications) {
            if (n == name)
                return p;
        }
    }
    if (recordsOnly())
        return std::nullopt; // tests see only what they registered
    std::string exe = name;
    if (exe.size() > 4 && exe.compare(exe.size() - 4, 4, ".app") == 0)
        exe.resize(exe.size() - 4);
    exe = foundation::asciiLowercase(exe);
    if (exe.empty() || exe.find('/') != std::string::npos)
        return std::nullopt;
    const char* pathEnv = std::getenv("PATH");
    std::stringstream dirs(pathEnv ? pathEnv : "");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        if (dir.empty())
            continue;
        const std::string candidate = dir + "/" + exe;
        if (::access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return std::nullopt;
}

ImagePtr Workspace::iconForFile(const std::string& path) const
{
    std::error_code ec;
    const bool folder = std::filesystem::is_directory(path, ec);
    std::string ext = foundation::URL::fileURLWithPath(path).pathExtension();
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return Image::imageWithSize({32, 32}, false, [folder, ext](GraphicsContext& ctx, const graphics::Rect& r) {
        if (folder) {
            ctx.setFillColor(Color::deviceRGB(0.36, 0.67, 0.95));
            ctx.fillPath(BezierPath::bezierPathWithRoundedRect(graphics::Rect::make(2, 5, 28, 20), 3, 3));
            ctx.fillPath(BezierPath::bezierPathWithRoundedRect(graphics::Rect::make(2, 20, 12, 7), 2, 2));
            return;
        }
        BezierPath page = BezierPath::bezierPathWithRoundedRect(graphics::Rect::make(6, 2, 20, 28), 2, 2);
        ctx.setFillColor(Color::white());
        ctx.fillPath(page);
        page.setLineWidth(1);
        ctx.setStrokeColor(Color::calibratedWhite(0.6));
        ctx.strokePath(page);
        if (!ext.empty()) {
            TextAttributes a;
            a.font = Font::boldSystemFontOfSize(6);
            a.alignment = TextAlignment::center;
            a.foregroundColor = Color::calibratedWhite(0.35);
            ctx.drawText(AttributedString(ext.substr(0, 4), a), graphics::Rect::make(6, 4, 20, 10));
        }
        (void)r;
    });
}

std::optional<std::string> Workspace::URLForApplicationToOpenURL(const foundation::URL& url) const
{
    const std::string scheme = foundation::asciiLowercase(url.scheme());
    if (scheme.empty() || scheme.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789+-.") != std::string::npos)
        return std::nullopt;
    GAppInfo* app = g_app_info_get_default_for_uri_scheme(scheme.c_str());
    if (!app)
        return std::nullopt;
    std::optional<std::string> path;
    if (G_IS_DESKTOP_APP_INFO(app)) {
        if (const char* file = g_desktop_app_info_get_filename(G_DESKTOP_APP_INFO(app)))
            path = file;
    }
    g_object_unref(app);
    return path;
}

namespace {

// Where the desktop keeps icons, most personal first.
std::vector<std::string> iconBaseDirectories()
{
    std::vector<std::string> dirs;
    dirs.push_back(std::string(g_get_user_data_dir()) + "/icons");
    dirs.push_back(std::string(g_get_home_dir()) + "/.icons");
    for (const char* const* d = g_get_system_data_dirs(); d && *d; ++d)
        dirs.push_back(std::string(*d) + "/icons");
    return dirs;
}

// A themed icon name as a bitmap file: the hicolor theme's sizes nearest 32 points first,
// then the old pixmaps folders. Names with a slash or a leading dot are not names.
std::optional<std::string> findThemedIcon(const std::string& name)
{
    if (name.empty() || name.find('/') != std::string::npos || name.front() == '.')
        return std::nullopt;
    static const char* const sizes[] = {"32x32", "48x48", "64x64", "24x24", "128x128", "22x22", "256x256", "16x16", "512x512"};
    for (const auto& base : iconBaseDirectories()) {
        for (const char* size : sizes) {
            const std::string candidate = base + "/hicolor/" + size + "/apps/" + name + ".png";
            if (::access(candidate.c_str(), R_OK) == 0)
                return candidate;
        }
    }
    std::vector<std::string> pixmaps;
    for (const char* const* d = g_get_system_data_dirs(); d && *d; ++d)
        pixmaps.push_back(std::string(*d) + "/pixmaps/" + name + ".png");
    for (const auto& candidate : pixmaps) {
        if (::access(candidate.c_str(), R_OK) == 0)
            return candidate;
    }
    return std::nullopt;
}

} // namespace

ImagePtr Workspace::iconForApplication(const std::string& desktopFilePath) const
{
    GDesktopAppInfo* app = g_desktop_app_info_new_from_filename(desktopFilePath.c_str());
    if (!app)
        return nullptr;
    std::vector<std::string> candidates;
    if (GIcon* icon = g_app_info_get_icon(G_APP_INFO(app))) {
        if (G_IS_FILE_ICON(icon)) {
            if (char* path = g_file_get_path(g_file_icon_get_file(G_FILE_ICON(icon)))) {
                candidates.emplace_back(path);
                g_free(path);
            }
        } else if (G_IS_THEMED_ICON(icon)) {
            for (const char* const* n = g_themed_icon_get_names(G_THEMED_ICON(icon)); n && *n; ++n) {
                if (auto found = findThemedIcon(*n))
                    candidates.push_back(*found);
            }
        }
    }
    g_object_unref(app);
    for (const auto& path : candidates) {
        if (auto image = Image::imageWithContentsOfFile(path))
            return image;
    }
    return nullptr;
}

std::string Workspace::preferredFilenameExtensionForType(const std::string& typeIdentifier) const
{
    auto type = images::UTType::typeWithIdentifier(typeIdentifier);
    return type ? type->preferredFilenameExtension() : std::string();
}

std::optional<std::string> Workspace::typeOfFile(const std::string& path) const
{
    std::string type = images::typeOfFile(path);
    if (type.empty())
        return std::nullopt;
    return type;
}

bool Workspace::typeConformsToType(const std::string& type, const std::string& parent) const
{
    return images::typeConformsTo(type, parent);
}

} // namespace ui
