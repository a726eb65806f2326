#pragma once
// A folder of its own in the temporary folder for one job's working files, removed with all it
// holds when the last owner lets it go, so that jobs running side by side never share a file
// and nothing is left behind. Every live folder, and every file a writer registers while it
// exists only as work in progress, is also known process-wide: a process that ends on a signal
// removes them first with removeRegisteredItems(). Any thread.

#include "Platform/Foundation/Error.h"
#include "Platform/Foundation/URL.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace foundation {

class TemporaryFolder {
public:
    // A new, empty folder "<prefix>.XXXXXX" (mode 0700) in the temporary folder; null and an
    // error when it cannot be made.
    static std::shared_ptr<TemporaryFolder> make(const std::string& prefix, ErrorPtr* error = nullptr);
    ~TemporaryFolder();
    TemporaryFolder(const TemporaryFolder&) = delete;
    TemporaryFolder& operator=(const TemporaryFolder&) = delete;

    const URL& url() const { return m_url; }
    URL URLByAppendingPathComponent(const std::string& name) const { return m_url.URLByAppendingPathComponent(name); }

    // Files (or folders) to remove should the process end before their owner does.
    static void registerItem(const std::string& path);
    static void unregisterItem(const std::string& path);
    // Makes a working file or folder and registers it in one step, so that a process ending on
    // another thread either removes it or never sees it made: `make` returns the path it made, or
    // none with errno set. Once the process has begun to end, nothing is made: false, ECANCELED.
    static bool makeRegistered(const std::function<std::optional<std::string>()>& make);
    // Removes every registered item and live folder. A process about to end at once passes
    // `ending`: from then on makeRegistered() makes nothing, so nothing new outlives it.
    static void removeRegisteredItems(bool ending = false);

private:
    explicit TemporaryFolder(URL url) : m_url(std::move(url)) { }
    URL m_url;
};

using TemporaryFolderPtr = std::shared_ptr<TemporaryFolder>;

} // namespace foundation
