#include "MovaraKit/Service/MVRMovaraCache.h"

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>

#include "MovaraKit/Support/FrameworkLog.h"
#include "Platform/Foundation/Digest.h"
#include "Platform/Foundation/FileManager.h"

namespace fs = std::filesystem;

std::optional<foundation::URL> MVRMovaraCache::cacheDirectoryURL()
{
    // Computed once per process, as the first caller finds it.
    static const std::optional<foundation::URL> directory = []() -> std::optional<foundation::URL> {
        auto& files = foundation::FileManager::defaultManager();
        auto caches = files.URLForDirectory(foundation::SearchPathDirectory::Caches, true);
        if (!caches)
            return std::nullopt;
        auto folder = caches->URLByAppendingPathComponent("Movara", true);
        files.createDirectoryAtURL(folder, true);
        return folder;
    }();
    return directory;
}

MVRMovaraCache::MVRMovaraCache()
    : m_urlSession(net::URLSession::sessionWithConfiguration(net::URLSessionConfiguration::defaultSessionConfiguration()))
{
}

std::shared_ptr<MVRMovaraCache> MVRMovaraCache::init()
{
    return std::shared_ptr<MVRMovaraCache>(new MVRMovaraCache());
}

std::shared_ptr<MVRMovaraCache> MVRMovaraCache::sharedCache()
{
    // Never released: downloads may still finish on it while the process exits.
    static const auto& cache = *new auto(init());
    return cache;
}

void MVRMovaraCache::setWaterMarksForTesting(std::int64_t high, std::int64_t low)
{
    std::lock_guard lock(m_mutex);
    m_high = high;
    m_low = low;
}

std::optional<foundation::URL> MVRMovaraCache::cacheURLForURL(const std::optional<foundation::URL>& url) const
{
    if (!url || url->lastPathComponent().empty() || url->lastPathComponent() == "/")
        return std::nullopt;
    auto directory = cacheDirectoryURL();
    if (!directory)
        return std::nullopt;
    // The name is the hash of the whole URL: different files of the same name get different
    // copies, and nothing in a URL can make the name leave the folder. The extension stays, as
    // players look at it, when it is short and plain.
    std::string name = foundation::sha256Hex(url->absoluteString());
    std::string extension = url->pathExtension();
    if (!extension.empty() && extension.size() <= 8
        && std::all_of(extension.begin(), extension.end(), [](unsigned char c) { return std::isalnum(c); }))
        name += "." + extension;
    return directory->URLByAppendingPathComponent(name);
}

std::optional<foundation::URL> MVRMovaraCache::URLForMovaraWithURL(const std::optional<foundation::URL>& url) const
{
    if (!url)
        return std::nullopt;
    if (url->isFileURL())
        return url;
    auto copy = cacheURLForURL(url);
    std::error_code code;
    if (copy && fs::is_regular_file(copy->path(), code))
        return copy;
    return url;
}

bool MVRMovaraCache::isDownloading(const foundation::URL& url) const
{
    std::lock_guard lock(m_mutex);
    return m_activeDownloadTasks.contains(url.absoluteString());
}

void MVRMovaraCache::storeMovaraWithURL(const std::optional<foundation::URL>& url)
{
    if (!url || url->isFileURL())
        return;
    auto copy = cacheURLForURL(url);
    std::error_code code;
    if (!copy || fs::exists(copy->path(), code))
        return;
    const std::string key = url->absoluteString();
    std::lock_guard lock(m_mutex);
    if (m_activeDownloadTasks.contains(key))
        return;
    std::weak_ptr<MVRMovaraCache> weak = weak_from_this();
    auto task = m_urlSession->downloadTaskWithRequest(
        net::URLRequest(*url), [weak, key, destination = *copy](const std::optional<foundation::URL>& location,
                                                                const std::optional<net::HTTPURLResponse>& response,
                                                                const foundation::ErrorPtr& error) {
            auto& files = foundation::FileManager::defaultManager();
            const bool acceptable = response && response->statusCode() >= 200 && response->statusCode() < 300;
            if (error || !acceptable) {
                // An error page is no copy of the file.
                mvr_frameworkLog().error("error downloading movara: %{public}s %{public}s", nullptr, destination.path(),
                                         error ? error->localizedDescription()
                                               : "status " + std::to_string(response ? response->statusCode() : 0));
                if (location) {
                    foundation::ErrorPtr removeError;
                    if (!files.removeItemAtURL(*location, &removeError))
                        mvr_frameworkLog().error("error removing temp file: %{public}s", nullptr,
                                                 removeError ? removeError->localizedDescription() : std::string());
                }
            } else if (location) {
                foundation::ErrorPtr moveError;
                if (!files.moveItemAtURL(*location, destination, &moveError))
                    mvr_frameworkLog().error("error moving temp file: %{public}s", nullptr,
                                             moveError ? moveError->localizedDescription() : std::string());
                if (auto self = weak.lock())
                    self->cleanupCachedMovaras();
            }
            if (auto self = weak.lock()) {
                std::lock_guard lock(self->m_mutex);
                self->m_activeDownloadTasks.erase(key);
            }
        });
    if (!task)
        return;
    m_activeDownloadTasks[key] = task;
    task->resume();
}

void MVRMovaraCache::cancelStoreMovaraWithURL(const foundation::URL& url)
{
    std::shared_ptr<net::URLSessionDownloadTask> task;
    {
        std::lock_guard lock(m_mutex);
        auto it = m_activeDownloadTasks.find(url.absoluteString());
        if (it == m_activeDownloadTasks.end())
            return;
        task = it->second;
    }
    task->cancel();
}

bool MVRMovaraCache::removeMovaraForURL(const foundation::URL& url, foundation::ErrorPtr* error)
{
    auto& files = foundation::FileManager::defaultManager();
    std::error_code code;
    if (url.isFileURL() && fs::exists(url.path(), code))
        return files.removeItemAtURL(url, error);
    if (auto copy = cacheURLForURL(url); copy && fs::exists(copy->path(), code))
        return files.removeItemAtURL(*copy, error);
    if (error)
        *error = foundation::Error::make(foundation::NSCocoaErrorDomain, foundation::NSFileNoSuchFileError);
    return false;
}

void MVRMovaraCache::cleanupCachedMovaras()
{
    auto directory = cacheDirectoryURL();
    if (!directory)
        return;
    std::int64_t high;
    std::int64_t low;
    {
        std::lock_guard lock(m_mutex);
        high = m_high;
        low = m_low;
    }
    struct Entry {
        fs::path path;
        std::int64_t allocated = 0;
        struct timespec accessed {};
    };
    std::vector<Entry> entries;
    std::int64_t total = 0;
    std::error_code code;
    for (const auto& item : fs::directory_iterator(directory->path(), code)) {
        Entry entry { item.path() };
        struct stat info {};
        if (::lstat(entry.path.c_str(), &info) == 0) {
            entry.allocated = static_cast<std::int64_t>(info.st_blocks) * 512;
            entry.accessed = info.st_atim;
        }
        total += entry.allocated;
        entries.push_back(std::move(entry));
    }
    if (total <= high)
        return;
    std::stable_sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
        return a.accessed.tv_sec != b.accessed.tv_sec ? a.accessed.tv_sec < b.accessed.tv_sec : a.accessed.tv_nsec < b.accessed.tv_nsec;
    });
    for (const auto& entry : entries) {
        std::error_code removeCode;
        if (fs::remove_all(entry.path, removeCode) > 0 && !removeCode)
            total -= entry.allocated;
        if (total < low)
            break;
    }
}
