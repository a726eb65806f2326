#include "MovaraKit/Media/HardLinkingFileWrapper.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "Platform/Foundation/FileManager.h"

namespace {

enum class Access { Read, Write };

foundation::ErrorPtr fileError(int err, Access access, const std::string& path)
{
    const auto slash = path.find_last_of('/');
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    long code;
    std::string text;
    if (access == Access::Read) {
        code = err == ENOENT || err == ENOTDIR ? foundation::NSFileReadNoSuchFileError
             : err == EACCES || err == EPERM   ? long(foundation::FileReadNoPermissionError)
                                               : foundation::NSFileReadUnknownError;
        text = code == foundation::NSFileReadNoSuchFileError
                   ? "The file “" + name + "” couldn’t be opened because there is no such file."
                   : "The file “" + name + "” couldn’t be opened.";
    } else {
        code = err == ENOENT || err == ENOTDIR ? foundation::NSFileNoSuchFileError
             : err == EACCES || err == EPERM   ? long(foundation::FileWriteNoPermissionError)
             : err == ENOSPC || err == EDQUOT  ? foundation::NSFileWriteOutOfSpaceError
             : err == EROFS                    ? long(foundation::FileWriteVolumeReadOnlyError)
                                               : foundation::NSFileWriteUnknownError;
        text = "The file “" + name + "” couldn’t be saved.";
    }
    foundation::Error::UserInfo info;
    info[foundation::NSLocalizedDescriptionKey].text = text;
    info[foundation::NSFilePathErrorKey].text = path;
    info[foundation::NSUnderlyingErrorKey].error = foundation::Error::posix(err);
    return foundation::Error::make(foundation::NSCocoaErrorDomain, code, std::move(info));
}

bool fail(foundation::ErrorPtr* error, int err, Access access, const std::string& path)
{
    if (error)
        *error = fileError(err, access, path);
    return false;
}

// A name beside `path` for staging the new file before it replaces whatever is there.
std::string stagingPath(const std::string& path)
{
    static std::atomic<unsigned> counter{0};
    const auto slash = path.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    char suffix[48];
    std::snprintf(suffix, sizeof suffix, ".%d-%u.tmp", static_cast<int>(::getpid()), counter.fetch_add(1));
    return folder + "." + name + suffix;
}

} // namespace

std::shared_ptr<HardLinkingFileWrapper> HardLinkingFileWrapper::initWithRegularFileURL(const foundation::URL& url,
                                                                                     foundation::ErrorPtr* error)
{
    const std::string path = url.path();
    if (!url.isFileURL()) {
        fail(error, ENOENT, Access::Read, path);
        return nullptr;
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        fail(error, errno, Access::Read, path);
        return nullptr;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        const int err = S_ISDIR(st.st_mode) ? EISDIR : errno ? errno : EINVAL;
        ::close(fd);
        fail(error, err, Access::Read, path);
        return nullptr;
    }
    std::shared_ptr<HardLinkingFileWrapper> wrapper(new HardLinkingFileWrapper());
    wrapper->m_fd = fd;
    wrapper->m_size = static_cast<uint64_t>(st.st_size);
    wrapper->m_source = {st.st_dev, st.st_ino};
    wrapper->m_originalURL = url;
    return wrapper;
}

HardLinkingFileWrapper::~HardLinkingFileWrapper()
{
    if (m_map)
        ::munmap(const_cast<uint8_t*>(m_map), m_size);
    if (m_fd >= 0)
        ::close(m_fd);
}

std::span<const uint8_t> HardLinkingFileWrapper::regularFileContents() const
{
    if (!m_mapTried && m_size > 0) {
        m_mapTried = true;
        void* p = ::mmap(nullptr, m_size, PROT_READ, MAP_PRIVATE, m_fd, 0);
        if (p != MAP_FAILED)
            m_map = static_cast<const uint8_t*>(p);
    }
    return m_map ? std::span<const uint8_t>(m_map, m_size) : std::span<const uint8_t>();
}

bool HardLinkingFileWrapper::holdsOurContents(const std::string& path) const
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    const Identity found{st.st_dev, st.st_ino};
    return found == m_source || (m_written && found == *m_written);
}

bool HardLinkingFileWrapper::copyContentsTo(const std::string& path, foundation::ErrorPtr* error) const
{
    const int out = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (out < 0)
        return fail(error, errno, Access::Write, path);
    // Read through the descriptor, not the mapping: a file truncated behind our back then
    // gives a short copy and an error instead of a fault.
    std::vector<char> buffer(1 << 20);
    uint64_t done = 0;
    int err = 0;
    while (done < m_size && !err) {
        const ssize_t n = ::pread(m_fd, buffer.data(), buffer.size(), static_cast<off_t>(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            err = n < 0 ? errno : EIO;
            break;
        }
        for (ssize_t written = 0; written < n && !err;) {
            const ssize_t w = ::write(out, buffer.data() + written, static_cast<size_t>(n - written));
            if (w < 0 && errno == EINTR)
                continue;
            if (w <= 0)
                err = w < 0 ? errno : EIO;
            else
                written += w;
        }
        done += static_cast<uint64_t>(n);
    }
    if (::close(out) != 0 && !err)
        err = errno;
    if (err) {
        ::unlink(path.c_str());
        return fail(error, err, Access::Write, path);
    }
    return true;
}

bool HardLinkingFileWrapper::writeToURL(const foundation::URL& url, unsigned, const std::optional<foundation::URL>& originalContentsURL,
                                        foundation::ErrorPtr* error)
{
    const std::string destination = url.path();
    if (!url.isFileURL())
        return fail(error, EINVAL, Access::Write, destination);

    // Already our bytes (the same file, or a link to it): renaming a link over another link of
    // the same file would do nothing and leave the staged name behind.
    if (!holdsOurContents(destination)) {
        const std::string staged = stagingPath(destination);
        const std::optional<foundation::URL>& origin = originalContentsURL ? originalContentsURL : m_originalURL;
        bool linked = false;
        // Link only to a file we know holds our bytes: any other file there would silently
        // become the contents.
        if (origin && origin->isFileURL() && holdsOurContents(origin->path()))
            linked = foundation::FileManager::defaultManager().linkItemAtURL(*origin, foundation::URL::fileURLWithPath(staged));
        if (!linked && !copyContentsTo(staged, error))
            return false;
        if (::rename(staged.c_str(), destination.c_str()) != 0) {
            const int err = errno;
            ::unlink(staged.c_str());
            return fail(error, err, Access::Write, destination);
        }
        struct stat st {};
        if (::stat(destination.c_str(), &st) == 0 && Identity{st.st_dev, st.st_ino} != m_source)
            m_written = Identity{st.st_dev, st.st_ino};
    }
    m_originalURL = url;
    return true;
}
