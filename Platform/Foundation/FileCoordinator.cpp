#include "Platform/Foundation/FileCoordinator.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>

#include "Platform/Foundation/FileWrapper.h"

namespace foundation {

std::optional<URL> containerURLForSecurityApplicationGroupIdentifier(const std::string& groupIdentifier)
{
    if (!FileWrapper::isSinglePathComponent(groupIdentifier))
        return std::nullopt;
    std::filesystem::path dataHome;
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg == '/') {
        dataHome = xdg;
    } else {
        const char* home = std::getenv("HOME");
        if (!home || *home != '/')
            return std::nullopt;
        dataHome = std::filesystem::path(home) / ".local" / "share";
    }
    const std::filesystem::path folder = dataHome / "Group Containers" / groupIdentifier;
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    if (!std::filesystem::is_directory(folder, ec))
        return std::nullopt;
    ::chmod(folder.c_str(), 0700);
    return URL::fileURLWithPath(folder.string(), true);
}

bool FileCoordinator::coordinateWritingItemAtURL(const URL& url, unsigned, const std::function<void(const URL&)>& accessor,
                                                 ErrorPtr* error)
{
    const std::string parent = std::filesystem::path(url.path()).parent_path().string();
    const int fd = ::open(parent.empty() ? "." : parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        if (error)
            *error = Error::posix(errno, "The item's folder couldn't be opened for coordination");
        return false;
    }
    int rc;
    do {
        rc = ::flock(fd, LOCK_EX);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        const int saved = errno;
        ::close(fd);
        if (error)
            *error = Error::posix(saved, "The item couldn't be locked");
        return false;
    }
    // The lock goes with the descriptor, also when the accessor throws.
    struct Unlock {
        int fd;
        ~Unlock()
        {
            ::flock(fd, LOCK_UN);
            ::close(fd);
        }
    } unlock {fd};
    if (accessor)
        accessor(url);
    return true;
}

} // namespace foundation
