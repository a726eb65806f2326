#include "Platform/Media/PartialFile.h"

#include "Platform/Foundation/TemporaryFolder.h"
#include "Platform/Media/FFmpeg.h"
#include "Platform/Media/MediaError.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

namespace media::detail {

namespace {

// Big enough that a 24-megapixel frame goes out in a few dozen writes.
constexpr int BufferSize = 1 << 20;

int writePacket(void* opaque, uint8_t* bytes, int size)
{
    auto* sink = static_cast<PartialFileSink*>(opaque);
    int written = 0;
    while (written < size) {
        const ssize_t n = ::write(sink->fd, bytes + written, static_cast<size_t>(size - written));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            sink->error = n < 0 ? errno : ENOSPC;
            return AVERROR(sink->error);
        }
        written += static_cast<int>(n);
    }
    return size;
}

int64_t seekTo(void* opaque, int64_t offset, int whence)
{
    const int fd = static_cast<PartialFileSink*>(opaque)->fd;
    whence &= ~AVSEEK_FORCE;
    if (whence == AVSEEK_SIZE) {
        struct stat st {};
        return ::fstat(fd, &st) == 0 ? static_cast<int64_t>(st.st_size) : AVERROR(errno);
    }
    const off_t at = ::lseek(fd, static_cast<off_t>(offset), whence);
    return at < 0 ? AVERROR(errno) : static_cast<int64_t>(at);
}

// The first `limit` bytes of `name`, cut before a character that would not fit whole.
std::string prefixOf(const std::string& name, size_t limit)
{
    if (name.size() <= limit)
        return name;
    size_t end = limit;
    while (end > 0 && (static_cast<unsigned char>(name[end]) & 0xC0) == 0x80)
        --end;
    return name.substr(0, end);
}

} // namespace

foundation::ErrorPtr fileError(int err, const std::string& path)
{
    foundation::Error::UserInfo info;
    info[foundation::NSLocalizedDescriptionKey].text = "The movie could not be saved.";
    std::string reason;
    if (err == ENOSPC)
        reason = "The disk is full: there is no room left for " + path + ".";
    else if (err == EFBIG)
        reason = "The movie grew larger than a file may be here: " + path + ".";
    else
        reason = std::string(std::strerror(err)) + ": " + path;
    info[foundation::NSLocalizedFailureReasonErrorKey].text = reason;
    info[foundation::NSFilePathErrorKey].text = path;
    info[foundation::NSUnderlyingErrorKey].error = foundation::Error::posix(err, path);
    return foundation::Error::make(AVFoundationErrorDomain, err == ENOSPC ? AVErrorDiskFull : AVErrorUnknown,
                                   std::move(info));
}

std::unique_ptr<PartialFile> PartialFile::create(const std::string& destination, int* err)
{
    const std::filesystem::path target(destination);
    const std::string name = target.filename().string();
    const std::filesystem::path folder = target.has_parent_path() ? target.parent_path() : std::filesystem::path(".");
    long nameMax = ::pathconf(folder.c_str(), _PC_NAME_MAX);
    if (nameMax <= 0)
        nameMax = NAME_MAX;
    // A name the folder cannot hold is refused now, not after the whole movie is written.
    if (name.empty() || name.size() > static_cast<size_t>(nameMax)) {
        *err = name.empty() ? EISDIR : ENAMETOOLONG;
        return nullptr;
    }
    // A folder where the movie would go is refused now too (a link is replaced, wherever it leads).
    if (struct stat there {}; ::lstat(destination.c_str(), &there) == 0 && S_ISDIR(there.st_mode)) {
        *err = EISDIR;
        return nullptr;
    }
    // "." name "." eight hex digits ".partial"; the name is shortened when all would not fit.
    const size_t extra = 1 + 1 + 8 + 8;
    const std::string shown = prefixOf(name, static_cast<size_t>(nameMax) > extra ? static_cast<size_t>(nameMax) - extra : 0);

    std::unique_ptr<PartialFile> file(new PartialFile);
    std::random_device random;
    for (int attempt = 0; attempt < 16; ++attempt) {
        char suffix[16];
        std::snprintf(suffix, sizeof suffix, "%08x", static_cast<unsigned>(random()));
        const std::string path = (folder / ("." + shown + "." + suffix + ".partial")).string();
        // Never a file that was there, never through a link: the descriptor made here is the
        // only way this file is written. It is known as work in progress from the moment it
        // exists, so that a process ending on a signal takes it along.
        const bool made = foundation::TemporaryFolder::makeRegistered([&]() -> std::optional<std::string> {
            file->m_sink.fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
            return file->m_sink.fd >= 0 ? std::optional<std::string>(path) : std::nullopt;
        });
        if (made)
            file->m_path = path;
        if (made || errno != EEXIST)
            break;
    }
    if (file->m_sink.fd < 0) {
        *err = errno;
        return nullptr;
    }
    // A movie that replaces a file keeps that file's permissions: re-exporting a private movie
    // must not leave it readable by everyone.
    if (struct stat replaced {}; ::stat(destination.c_str(), &replaced) == 0 && S_ISREG(replaced.st_mode))
        ::fchmod(file->m_sink.fd, replaced.st_mode & 07777);

    auto* buffer = static_cast<unsigned char*>(av_malloc(BufferSize));
    file->m_io = buffer ? avio_alloc_context(buffer, BufferSize, 1, &file->m_sink, nullptr, writePacket, seekTo) : nullptr;
    if (!file->m_io) {
        av_free(buffer);
        *err = ENOMEM;
        return nullptr;
    }
    return file;
}

PartialFile::~PartialFile()
{
    if (m_io) {
        av_freep(&m_io->buffer);
        avio_context_free(&m_io);
    }
    remove();
    if (m_sink.fd >= 0)
        ::close(m_sink.fd);
}

int PartialFile::flush()
{
    avio_flush(m_io);
    if (m_io->error < 0 || m_sink.error)
        return m_sink.error ? m_sink.error : EIO;
    // The bytes must be on disk before the name points at them, or a crash could leave a
    // truncated movie where the user's file was.
    if (::fsync(m_sink.fd) != 0)
        return errno;
    return 0;
}

bool PartialFile::stillNamesThisFile() const
{
    struct stat mine {}, named {};
    return ::fstat(m_sink.fd, &mine) == 0 && ::lstat(m_path.c_str(), &named) == 0 && mine.st_dev == named.st_dev
        && mine.st_ino == named.st_ino;
}

int PartialFile::commit(const std::string& destination, bool replace)
{
    if (m_path.empty() || !stillNamesThisFile())
        return ESTALE;
    int rc = 0;
    if (replace) {
        // rename replaces the name itself: a link there goes, the file it led to stays as it was.
        rc = ::rename(m_path.c_str(), destination.c_str());
    } else {
        rc = ::renameat2(AT_FDCWD, m_path.c_str(), AT_FDCWD, destination.c_str(), RENAME_NOREPLACE);
        if (rc != 0 && (errno == EINVAL || errno == ENOSYS)) {
            // A file system without the flag: a new link fails just as surely where a name is.
            rc = ::link(m_path.c_str(), destination.c_str());
            if (rc == 0)
                ::unlink(m_path.c_str());
        }
    }
    if (rc != 0)
        return errno;
    foundation::TemporaryFolder::unregisterItem(m_path);
    m_path.clear();
    return 0;
}

void PartialFile::remove()
{
    if (m_path.empty())
        return;
    // Only this file: whatever took its name since is not ours to remove.
    if (stillNamesThisFile())
        ::unlink(m_path.c_str());
    foundation::TemporaryFolder::unregisterItem(m_path);
    m_path.clear();
}

} // namespace media::detail
