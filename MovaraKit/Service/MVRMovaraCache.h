#pragma once
// Local copies of remote media files in the folder "Movara" of the user's caches. A client
// asks which URL to use (the copy when there is one), asks for a file to be stored in the
// background, may cancel that or remove a copy; the cache trims itself by last access once it
// grows past 500 MiB, down to below 400 MiB. A copy is named by a hash of the whole remote URL
// (with its extension), so two files of the same name never share a copy and no name leaves
// the folder; only answers with a 2xx status are kept. Any thread.

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

#include "Platform/Foundation/Error.h"
#include "Platform/Foundation/URL.h"
#include "Platform/Net/URLSession.h"

class MVRMovaraCache : public std::enable_shared_from_this<MVRMovaraCache> {
public:
    static std::shared_ptr<MVRMovaraCache> sharedCache();
    static std::shared_ptr<MVRMovaraCache> init();

    // Where the copy of `url` lives (whether or not it exists); none without a cache folder.
    std::optional<foundation::URL> cacheURLForURL(const std::optional<foundation::URL>& url) const;
    // A file URL unchanged; for a remote one, its copy when there is one, else the URL.
    std::optional<foundation::URL> URLForMovaraWithURL(const std::optional<foundation::URL>& url) const;
    void storeMovaraWithURL(const std::optional<foundation::URL>& url);
    void cancelStoreMovaraWithURL(const foundation::URL& url);
    // Removes a local file, else the copy of a remote one; false with the Cocoa error 4 when
    // there is neither.
    bool removeMovaraForURL(const foundation::URL& url, foundation::ErrorPtr* error = nullptr);
    void cleanupCachedMovaras();

    bool isDownloading(const foundation::URL& url) const;
    const std::shared_ptr<net::URLSession>& urlSession() const { return m_urlSession; }

    // The folder's trimming marks, in allocated bytes.
    static constexpr std::int64_t HighWaterMark = 524288000;
    static constexpr std::int64_t LowWaterMark = 419430400;
    void setWaterMarksForTesting(std::int64_t high, std::int64_t low);
    // The folder of the copies: the caches folder's "Movara", created when missing.
    static std::optional<foundation::URL> cacheDirectoryURL();

    MVRMovaraCache(const MVRMovaraCache&) = delete;
    MVRMovaraCache& operator=(const MVRMovaraCache&) = delete;

private:
    MVRMovaraCache();

    std::shared_ptr<net::URLSession> m_urlSession;
    mutable std::mutex m_mutex;
    std::map<std::string, std::shared_ptr<net::URLSessionDownloadTask>> m_activeDownloadTasks;
    std::int64_t m_high = HighWaterMark;
    std::int64_t m_low = LowWaterMark;
};
