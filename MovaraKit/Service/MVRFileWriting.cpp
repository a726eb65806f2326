#include "MovaraKit/Service/MVRFileWriting.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
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
    ::chmod(pattern.c_str(), 0644);
    if (std::rename(pattern.c_str(), path.c_str()) != 0) {
        int code = errno;
        ::unlink(pattern.c_str());
        return fail(code);
    }
    return true;
}
