#include "MovaraKit/Service/MVRFileWriting.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

bool mvr_writeDataAtomically(const foundation::Data& data, const foundation::URL& fileURL, foundation::ErrorPtr* error)
{
    const std::string path = fileURL.path();
    std::string pattern = path + ".XXXXXX";
    int fd = ::mkstemp(pattern.data());
    auto fail = [&](int code) {
        if (error)
            *error = foundation::Error::posix(code, path);
        return false;
    };
    if (fd < 0)
        return fail(errno);
    std::size_t written = 0;
    while (written < data.size()) {
        ssize_t n = ::write(fd, data.data() + written, data.size() - written);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            int code = errno;
            ::close(fd);
            ::unlink(pattern.c_str());
            return fail(code);
        }
        written += static_cast<std::size_t>(n);
    }
    if (::fsync(fd) != 0 || ::close(fd) != 0) {
        int code = errno;
        ::unlink(pattern.c_str());
        return fail(code);
    }
    if (std::rename(pattern.c_str(), path.c_str()) != 0) {
        int code = errno;
        ::unlink(pattern.c_str());
        return fail(code);
    }
    return true;
}

std::optional<foundation::URL> mvr_createPrivateFile(const std::string& directory, const std::string& prefix, const std::string& suffix,
                                                     foundation::ErrorPtr* error)
{
    std::string pattern = directory;
    if (!pattern.empty() && pattern.back() != '/')
        pattern += '/';
    pattern += prefix + "-XXXXXX" + suffix;
    // mkstemps makes the file itself (O_EXCL, mode 0600), so no link or file planted under the
    // name can be reused.
    int fd = ::mkostemps(pattern.data(), static_cast<int>(suffix.size()), O_CLOEXEC);
    if (fd < 0) {
        if (error)
            *error = foundation::Error::posix(errno, directory);
        return std::nullopt;
    }
    ::close(fd);
    return foundation::URL::fileURLWithPath(pattern);
}
