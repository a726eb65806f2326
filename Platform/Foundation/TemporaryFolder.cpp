#include "Platform/Foundation/TemporaryFolder.h"

#include "Platform/Foundation/FileManager.h"

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <set>
#include <vector>

namespace foundation {

namespace {

struct Registry {
    std::mutex mutex;
    std::multiset<std::string> paths;
    bool ending = false;
};

// Never destroyed: a signal may end the process while static objects are going.
Registry& registry()
{
    static auto* r = new Registry;
    return *r;
}

} // namespace

std::shared_ptr<TemporaryFolder> TemporaryFolder::make(const std::string& prefix, ErrorPtr* error)
{
    const std::string base = FileManager::defaultManager().temporaryDirectory().path();
    std::string pattern = (std::filesystem::path(base) / (prefix + ".XXXXXX")).string();
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    const bool made = makeRegistered([&]() -> std::optional<std::string> {
        if (!::mkdtemp(buffer.data()))
            return std::nullopt;
        return std::string(buffer.data());
    });
    if (!made) {
        if (error)
            *error = Error::posix(errno, base);
        return nullptr;
    }
    const std::string path(buffer.data());
    return std::shared_ptr<TemporaryFolder>(new TemporaryFolder(URL::fileURLWithPath(path, true)));
}

TemporaryFolder::~TemporaryFolder()
{
    std::error_code ec;
    std::filesystem::remove_all(m_url.path(), ec);
    unregisterItem(m_url.path());
}

void TemporaryFolder::registerItem(const std::string& path)
{
    std::lock_guard lock(registry().mutex);
    registry().paths.insert(path);
}

void TemporaryFolder::unregisterItem(const std::string& path)
{
    std::lock_guard lock(registry().mutex);
    if (auto it = registry().paths.find(path); it != registry().paths.end())
        registry().paths.erase(it);
}

bool TemporaryFolder::makeRegistered(const std::function<std::optional<std::string>()>& make)
{
    std::lock_guard lock(registry().mutex);
    if (registry().ending) {
        errno = ECANCELED;
        return false;
    }
    auto path = make();
    if (!path)
        return false;
    registry().paths.insert(*path);
    return true;
}

void TemporaryFolder::removeRegisteredItems(bool ending)
{
    std::multiset<std::string> paths;
    {
        std::lock_guard lock(registry().mutex);
        registry().ending = registry().ending || ending;
        paths.swap(registry().paths);
    }
    for (const auto& path : paths) {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
}

} // namespace foundation
