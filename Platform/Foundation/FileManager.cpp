#include "Platform/Foundation/FileManager.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "Platform/Foundation/Localized.h"

namespace foundation {

namespace fs = std::filesystem;

namespace {

enum class Access { Read, Write };

std::string withArguments(std::string format, std::initializer_list<std::string> arguments)
{
    for (const auto& argument : arguments) {
        const auto at = format.find("%@");
        if (at == std::string::npos)
            break;
        format.replace(at, 2, argument);
    }
    return format;
}

std::string displayName(const std::string& path)
{
    auto name = fs::path(path).filename().string();
    if (name.empty())
        name = fs::path(path).parent_path().filename().string();
    return name.empty() ? path : name;
}

// The platform's error for a failed file operation: `verb` says what was being done to the
// item ("copied", "moved", ...), for the texts that name it.
ErrorPtr fileError(int err, Access access, const std::string& path, const std::string& verb)
{
    const std::string name = displayName(path);
    long code = 0;
    std::string text;
    switch (err) {
    case ENOENT:
    case ENOTDIR:
        if (access == Access::Read) {
            code = NSFileReadNoSuchFileError;
            text = withArguments(localized("The file “%@” couldn’t be opened because there is no such file."), { name });
        } else {
            code = NSFileNoSuchFileError;
            text = withArguments(localized("“%@” couldn’t be %@ because there is no such file or folder."), { name, verb });
        }
        break;
    case EEXIST:
    case ENOTEMPTY:
        code = NSFileWriteFileExistsError;
        text = withArguments(localized("“%@” couldn’t be %@ because an item with the same name already exists."), { name, verb });
        break;
    case EACCES:
    case EPERM:
        if (access == Access::Read) {
            code = FileReadNoPermissionError;
            text = withArguments(localized("The file “%@” couldn’t be opened because you don’t have permission to view it."), { name });
        } else {
            code = FileWriteNoPermissionError;
            text = withArguments(localized("“%@” couldn’t be %@ because you don’t have permission to access it."), { name, verb });
        }
        break;
    case ENOSPC:
    case EDQUOT:
        code = NSFileWriteOutOfSpaceError;
        text = withArguments(localized("“%@” couldn’t be %@ because there isn’t enough space."), { name, verb });
        break;
    case EROFS:
        code = FileWriteVolumeReadOnlyError;
        text = withArguments(localized("“%@” couldn’t be %@ because the volume is read only."), { name, verb });
        break;
    case ENAMETOOLONG:
        code = access == Access::Read ? long(NSFileReadUnknownError) : long(FileWriteInvalidFileNameError);
        text = withArguments(localized("“%@” couldn’t be %@ because its name is too long."), { name, verb });
        break;
    default:
        code = access == Access::Read ? long(NSFileReadUnknownError) : long(NSFileWriteUnknownError);
        text = withArguments(localized("“%@” couldn’t be %@."), { name, verb });
        break;
    }
    Error::UserInfo info;
    info[NSLocalizedDescriptionKey].text = text;
    info[NSFilePathErrorKey].text = path;
    info[NSUnderlyingErrorKey].error = Error::posix(err);
    return Error::make(NSCocoaErrorDomain, code, std::move(info));
}

bool fail(ErrorPtr* error, int err, Access access, const std::string& path, const std::string& verb)
{
    if (error)
        *error = fileError(err, access, path, verb);
    return false;
}

bool lstatPath(const std::string& path, struct stat& st) { return ::lstat(path.c_str(), &st) == 0; }

std::optional<std::string> envDirectory(const char* name)
{
    // A relative value is invalid by the XDG rules and is ignored.
    const char* v = std::getenv(name);
    if (v && v[0] == '/')
        return std::string(v);
    return std::nullopt;
}

std::string homePath()
{
    if (auto home = envDirectory("HOME"))
        return *home;
    if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir)
        return pw->pw_dir;
    return "/";
}

struct Entry {
    std::string name;
    bool isDirectory = false; // a real directory, not a link to one
};

// The entries of a directory in name order, or the errno of the failure.
int listDirectory(const std::string& path, bool skipHidden, std::vector<Entry>& out)
{
    out.clear();
    DIR* dir = ::opendir(path.c_str());
    if (!dir)
        return errno;
    std::unique_ptr<DIR, int (*)(DIR*)> closer(dir, ::closedir);
    errno = 0;
    while (dirent* d = ::readdir(dir)) {
        const std::string name = d->d_name;
        if (name == "." || name == "..")
            continue;
        if (skipHidden && name[0] == '.')
            continue;
        bool isDir = d->d_type == DT_DIR;
        if (d->d_type == DT_UNKNOWN) {
            struct stat st {};
            isDir = lstatPath(path + "/" + name, st) && S_ISDIR(st.st_mode);
        }
        out.push_back({ name, isDir });
        errno = 0;
    }
    if (errno)
        return errno;
    std::sort(out.begin(), out.end(), [](const Entry& a, const Entry& b) { return a.name < b.name; });
    return 0;
}

std::string join(const std::string& dir, const std::string& name)
{
    return dir.empty() || dir.back() == '/' ? dir + name : dir + "/" + name;
}

struct FileDescriptor {
    int fd = -1;
    ~FileDescriptor()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

// Copies one item (recursively); returns 0 or the errno of the first failure. `created` tells
// whether the destination item itself was made (and so is ours to clean up).
int copyTree(const std::string& source, const std::string& destination, bool& created)
{
    created = false;
    struct stat st {};
    if (!lstatPath(source, st))
        return errno;
    if (S_ISLNK(st.st_mode)) {
        std::string target(static_cast<size_t>(st.st_size > 0 ? st.st_size : PATH_MAX), '\0');
        const ssize_t n = ::readlink(source.c_str(), target.data(), target.size());
        if (n < 0)
            return errno;
        target.resize(static_cast<size_t>(n));
        if (::symlink(target.c_str(), destination.c_str()) != 0)
            return errno;
        created = true;
        return 0;
    }
    if (S_ISDIR(st.st_mode)) {
        if (::mkdir(destination.c_str(), (st.st_mode & 07777) | S_IRWXU) != 0)
            return errno;
        created = true;
        std::vector<Entry> entries;
        if (int err = listDirectory(source, false, entries))
            return err;
        for (const auto& e : entries) {
            bool inner = false;
            if (int err = copyTree(join(source, e.name), join(destination, e.name), inner))
                return err;
        }
        ::chmod(destination.c_str(), st.st_mode & 07777);
        return 0;
    }
    if (!S_ISREG(st.st_mode))
        return ENOTSUP;
    FileDescriptor in { ::open(source.c_str(), O_RDONLY | O_CLOEXEC) };
    if (in.fd < 0)
        return errno;
    const int out = ::open(destination.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, st.st_mode & 07777);
    if (out < 0)
        return errno;
    created = true;
    int err = 0;
    char buffer[1 << 16];
    for (;;) {
        const ssize_t n = ::read(in.fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            err = errno;
            break;
        }
        if (n == 0)
            break;
        for (ssize_t done = 0; done < n;) {
            const ssize_t w = ::write(out, buffer + done, static_cast<size_t>(n - done));
            if (w < 0) {
                if (errno == EINTR)
                    continue;
                err = errno;
                break;
            }
            done += w;
        }
        if (err)
            break;
    }
    if (::close(out) != 0 && !err)
        err = errno;
    return err;
}

void removeQuietly(const std::string& path)
{
    std::error_code ec;
    fs::remove_all(path, ec);
}

// Returns 0 or the errno of the failure; `created` as for copyTree.
int linkTree(const std::string& source, const std::string& destination, bool& created)
{
    created = false;
    struct stat st {};
    if (!lstatPath(source, st))
        return errno;
    if (S_ISDIR(st.st_mode)) {
        if (::mkdir(destination.c_str(), (st.st_mode & 07777) | S_IRWXU) != 0)
            return errno;
        created = true;
        std::vector<Entry> entries;
        if (int err = listDirectory(source, false, entries))
            return err;
        for (const auto& e : entries) {
            bool inner = false;
            if (int err = linkTree(join(source, e.name), join(destination, e.name), inner))
                return err;
        }
        ::chmod(destination.c_str(), st.st_mode & 07777);
        return 0;
    }
    if (::link(source.c_str(), destination.c_str()) == 0) {
        created = true;
        return 0;
    }
    // Another volume, or a file system without hard links: the bytes have to be copied.
    if (errno == EXDEV || errno == EPERM || errno == EMLINK || errno == ENOTSUP)
        return copyTree(source, destination, created);
    return errno;
}

// A name beside `path` that no item has yet, for staging a copy next to its final place.
// Makes `destination` from `source` with `tree` (a copy or links), never over an existing item;
// a failure leaves no partial destination behind.
bool duplicateItem(const URL& source, const URL& destination, int (*tree)(const std::string&, const std::string&, bool&),
                   const char* verb, ErrorPtr* error)
{
    const std::string from = source.path();
    const std::string to = destination.path();
    struct stat st {};
    if (!lstatPath(from, st))
        return fail(error, errno, Access::Read, from, verb);
    if (lstatPath(to, st))
        return fail(error, EEXIST, Access::Write, to, verb);
    bool created = false;
    if (int err = tree(from, to, created)) {
        if (created)
            removeQuietly(to);
        return fail(error, err, Access::Write, to, verb);
    }
    return true;
}

std::string stagingPath(const std::string& path)
{
    static std::atomic<unsigned> counter { 0 };
    const fs::path p(path);
    for (int attempt = 0; attempt < 1000; ++attempt) {
        char suffix[48];
        std::snprintf(suffix, sizeof suffix, ".%d-%u.tmp", static_cast<int>(::getpid()), counter.fetch_add(1));
        auto candidate = (p.parent_path() / ("." + p.filename().string() + suffix)).string();
        struct stat st {};
        if (!lstatPath(candidate, st))
            return candidate;
    }
    return path + ".tmp";
}

} // namespace

// ---- folders --------------------------------------------------------------------------------

FileManager& FileManager::defaultManager()
{
    static FileManager manager;
    return manager;
}

URL FileManager::homeDirectoryForCurrentUser() const { return URL::fileURLWithPath(homePath(), true); }

URL FileManager::temporaryDirectory() const
{
    if (const char* tmp = std::getenv("TMPDIR"); tmp && *tmp)
        return URL::fileURLWithPath(tmp, true);
    return URL::fileURLWithPath("/tmp", true);
}

std::optional<URL> FileManager::URLForDirectory(SearchPathDirectory directory, bool create, ErrorPtr* error) const
{
    std::string path;
    switch (directory) {
    case SearchPathDirectory::ApplicationSupport:
        path = envDirectory("XDG_DATA_HOME").value_or(homePath() + "/.local/share");
        break;
    case SearchPathDirectory::Caches:
        path = envDirectory("XDG_CACHE_HOME").value_or(homePath() + "/.cache");
        break;
    case SearchPathDirectory::Configuration:
        path = envDirectory("XDG_CONFIG_HOME").value_or(homePath() + "/.config");
        break;
    }
    URL url = URL::fileURLWithPath(path, true);
    if (create && !createDirectoryAtURL(url, true, error))
        return std::nullopt;
    return url;
}

// ---- queries --------------------------------------------------------------------------------

bool FileManager::fileExistsAtPath(const std::string& path, bool* isDirectory) const
{
    struct stat st {};
    if (path.empty() || ::stat(path.c_str(), &st) != 0)
        return false;
    if (isDirectory)
        *isDirectory = S_ISDIR(st.st_mode);
    return true;
}

std::optional<std::vector<std::uint8_t>> FileManager::contentsAtPath(const std::string& path, ErrorPtr* error,
                                                                     std::uint64_t maximumSize) const
{
    // Opened without blocking, so that a pipe without a writer is refused below instead of
    // holding the caller forever; the flag does nothing to reads of a regular file.
    FileDescriptor in { ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK) };
    if (in.fd < 0) {
        fail(error, errno, Access::Read, path, "opened");
        return std::nullopt;
    }
    struct stat st {};
    if (::fstat(in.fd, &st) != 0) {
        fail(error, errno, Access::Read, path, "opened");
        return std::nullopt;
    }
    if (!S_ISREG(st.st_mode)) {
        fail(error, S_ISDIR(st.st_mode) ? EISDIR : ENOTSUP, Access::Read, path, "opened");
        return std::nullopt;
    }
    auto tooLarge = [&] {
        if (error) {
            const std::string limit = maximumSize >= (1u << 20) ? std::to_string(maximumSize >> 20) + " MB"
                                                                : std::to_string(maximumSize) + " bytes";
            Error::UserInfo info;
            info[NSLocalizedDescriptionKey].text = withArguments(
                localized("The file “%@” couldn’t be opened because it is larger than %@, the most read for a file of its kind."),
                { displayName(path), limit });
            info[NSFilePathErrorKey].text = path;
            info[NSUnderlyingErrorKey].error = Error::posix(EFBIG);
            *error = Error::make(NSCocoaErrorDomain, NSFileReadTooLargeError, std::move(info));
        }
        return std::nullopt;
    };
    // A size on disk the reader can't use is refused before anything is set aside for it (a
    // sparse file can claim any size for free).
    const auto declared = static_cast<std::uint64_t>(std::max<off_t>(st.st_size, 0));
    if (declared > maximumSize)
        return tooLarge();
    // Read straight into the result.
    std::vector<std::uint8_t> bytes(static_cast<size_t>(declared));
    size_t done = 0;
    auto readInto = [&](std::uint8_t* into, size_t length) -> ssize_t {
        for (;;) {
            const ssize_t n = ::read(in.fd, into, length);
            if (n >= 0 || errno != EINTR)
                return n;
        }
    };
    while (done < bytes.size()) {
        const ssize_t n = readInto(bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            fail(error, errno, Access::Read, path, "opened");
            return std::nullopt;
        }
        if (n == 0)
            break; // the file shrank meanwhile
        done += static_cast<size_t>(n);
    }
    if (done == bytes.size()) {
        // More than its size said: a file growing meanwhile, or one of the kernel's that
        // report no size. Read on, up to the limit.
        std::uint8_t buffer[1 << 16];
        for (;;) {
            const ssize_t n = readInto(buffer, sizeof buffer);
            if (n < 0) {
                fail(error, errno, Access::Read, path, "opened");
                return std::nullopt;
            }
            if (n == 0)
                break;
            if (done + static_cast<size_t>(n) > maximumSize)
                return tooLarge();
            bytes.insert(bytes.end(), buffer, buffer + n);
            done += static_cast<size_t>(n);
        }
    }
    bytes.resize(done);
    return bytes;
}

std::optional<FileAttributes> FileManager::attributesOfItemAtPath(const std::string& path, ErrorPtr* error) const
{
    struct stat st {};
    if (!lstatPath(path, st)) {
        fail(error, errno, Access::Read, path, "opened");
        return std::nullopt;
    }
    FileAttributes a;
    a.type = S_ISREG(st.st_mode) ? FileType::Regular
        : S_ISDIR(st.st_mode)    ? FileType::Directory
        : S_ISLNK(st.st_mode)    ? FileType::SymbolicLink
                                 : FileType::Other;
    a.size = static_cast<std::uint64_t>(st.st_size);
    a.modificationDate = Date::dateWithTimeIntervalSince1970(static_cast<double>(st.st_mtim.tv_sec)
                                                             + static_cast<double>(st.st_mtim.tv_nsec) / 1e9);
    a.posixPermissions = st.st_mode & 07777;
    a.referenceCount = st.st_nlink;
    return a;
}

std::optional<std::vector<URL>> FileManager::contentsOfDirectoryAtURL(const URL& url, unsigned options, ErrorPtr* error) const
{
    const std::string path = url.path();
    std::vector<Entry> entries;
    if (int err = listDirectory(path, options & DirectoryEnumerationSkipsHiddenFiles, entries)) {
        fail(error, err, Access::Read, path, "opened");
        return std::nullopt;
    }
    std::vector<URL> out;
    out.reserve(entries.size());
    for (const auto& e : entries)
        out.push_back(URL::fileURLWithPath(join(path, e.name), e.isDirectory));
    return out;
}

// ---- enumeration ----------------------------------------------------------------------------

struct DirectoryEnumerator::State {
    unsigned options = 0;
    ErrorHandler handler;
    struct Level {
        std::string path;
        std::vector<Entry> entries;
        size_t next = 0;
    };
    std::vector<Level> stack;
    std::optional<std::string> pendingDirectory; // the last returned directory, not yet entered
    int lastLevel = 0;
    bool stopped = false;

    // Lists `path` onto the stack; reports a failure to the handler.
    void enter(const std::string& path)
    {
        Level level { path, {}, 0 };
        if (int err = listDirectory(path, options & DirectoryEnumerationSkipsHiddenFiles, level.entries)) {
            if (handler && !handler(URL::fileURLWithPath(path, true), fileError(err, Access::Read, path, "opened")))
                stopped = true;
            return;
        }
        stack.push_back(std::move(level));
    }
};

std::optional<URL> DirectoryEnumerator::nextObject()
{
    auto& s = *m_state;
    if (s.pendingDirectory) {
        auto dir = std::move(*s.pendingDirectory);
        s.pendingDirectory.reset();
        if (!(s.options & DirectoryEnumerationSkipsSubdirectoryDescendants))
            s.enter(dir);
    }
    while (!s.stopped && !s.stack.empty()) {
        auto& top = s.stack.back();
        if (top.next >= top.entries.size()) {
            s.stack.pop_back();
            continue;
        }
        const Entry& e = top.entries[top.next++];
        const std::string path = join(top.path, e.name);
        s.lastLevel = static_cast<int>(s.stack.size());
        if (e.isDirectory)
            s.pendingDirectory = path;
        return URL::fileURLWithPath(path, e.isDirectory);
    }
    return std::nullopt;
}

void DirectoryEnumerator::skipDescendants() { m_state->pendingDirectory.reset(); }

int DirectoryEnumerator::level() const { return m_state->lastLevel; }

DirectoryEnumerator FileManager::enumeratorAtURL(const URL& url, unsigned options,
                                                 DirectoryEnumerator::ErrorHandler errorHandler) const
{
    auto state = std::make_shared<DirectoryEnumerator::State>();
    state->options = options;
    state->handler = std::move(errorHandler);
    state->enter(url.path());
    return DirectoryEnumerator(std::move(state));
}

// ---- changes --------------------------------------------------------------------------------

bool FileManager::createDirectoryAtURL(const URL& url, bool withIntermediateDirectories, ErrorPtr* error) const
{
    const std::string path = url.path();
    if (path.empty())
        return fail(error, ENOENT, Access::Write, path, "saved");
    if (!withIntermediateDirectories) {
        if (::mkdir(path.c_str(), 0777) != 0)
            return fail(error, errno, Access::Write, path, "saved");
        return true;
    }
    // Make each missing ancestor in turn; an existing directory (or a link to one) is fine.
    const fs::path full = fs::path(path).lexically_normal();
    fs::path current;
    for (const auto& part : full) {
        current /= part;
        const std::string p = current.string();
        if (p.empty())
            continue;
        struct stat st {};
        if (::stat(p.c_str(), &st) == 0) {
            if (!S_ISDIR(st.st_mode))
                return fail(error, EEXIST, Access::Write, p, "saved");
            continue;
        }
        if (::mkdir(p.c_str(), 0777) != 0 && errno != EEXIST)
            return fail(error, errno, Access::Write, p, "saved");
    }
    return true;
}

bool FileManager::removeItemAtURL(const URL& url, ErrorPtr* error) const
{
    const std::string path = url.path();
    struct stat st {};
    if (!lstatPath(path, st))
        return fail(error, errno, Access::Write, path, "removed");
    if (!S_ISDIR(st.st_mode)) {
        if (::unlink(path.c_str()) != 0)
            return fail(error, errno, Access::Write, path, "removed");
        return true;
    }
    std::error_code ec;
    fs::remove_all(path, ec);
    if (ec)
        return fail(error, ec.value(), Access::Write, path, "removed");
    return true;
}

bool FileManager::copyItemAtURL(const URL& source, const URL& destination, ErrorPtr* error) const
{
    return duplicateItem(source, destination, copyTree, "copied", error);
}

bool FileManager::moveItemAtURL(const URL& source, const URL& destination, ErrorPtr* error) const
{
    const std::string from = source.path();
    const std::string to = destination.path();
    struct stat st {};
    if (!lstatPath(from, st))
        return fail(error, errno, Access::Write, from, "moved");
    // RENAME_NOREPLACE keeps a destination that appears meanwhile from being overwritten.
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return true;
    int err = errno;
    if (err == EINVAL || err == ENOSYS || err == ENOTSUP) {
        if (lstatPath(to, st))
            return fail(error, EEXIST, Access::Write, to, "moved");
        if (::rename(from.c_str(), to.c_str()) == 0)
            return true;
        err = errno;
    }
    if (err != EXDEV)
        return fail(error, err, Access::Write, err == EEXIST ? to : from, "moved");
    // Another volume: copy, and remove the source only once the copy is complete.
    if (lstatPath(to, st))
        return fail(error, EEXIST, Access::Write, to, "moved");
    bool created = false;
    if (int copyErr = copyTree(from, to, created)) {
        if (created)
            removeQuietly(to);
        return fail(error, copyErr, Access::Write, to, "moved");
    }
    removeQuietly(from);
    return true;
}

bool FileManager::replaceItemAtURL(const URL& original, const URL& newItem, ErrorPtr* error) const
{
    const std::string target = original.path();
    std::string replacement = newItem.path();
    struct stat st {};
    if (!lstatPath(replacement, st))
        return fail(error, errno, Access::Read, replacement, "saved");
    if (!lstatPath(target, st)) {
        if (errno != ENOENT)
            return fail(error, errno, Access::Write, target, "saved");
        if (::rename(replacement.c_str(), target.c_str()) != 0)
            return moveItemAtURL(newItem, original, error);
        return true;
    }
    // The swap has to happen inside one file system; stage a copy beside the original first
    // when the new item lives elsewhere.
    std::string staged;
    if (::renameat2(AT_FDCWD, replacement.c_str(), AT_FDCWD, target.c_str(), RENAME_EXCHANGE) != 0) {
        int err = errno;
        if (err == EXDEV) {
            staged = stagingPath(target);
            bool created = false;
            if (int copyErr = copyTree(replacement, staged, created)) {
                if (created)
                    removeQuietly(staged);
                return fail(error, copyErr, Access::Write, target, "saved");
            }
            if (::renameat2(AT_FDCWD, staged.c_str(), AT_FDCWD, target.c_str(), RENAME_EXCHANGE) == 0) {
                removeQuietly(staged); // now holds the old item
                removeQuietly(replacement);
                return true;
            }
            err = errno;
            replacement = staged;
        }
        if (err != EINVAL && err != ENOSYS && err != ENOTSUP) {
            if (!staged.empty())
                removeQuietly(staged);
            return fail(error, err, Access::Write, target, "saved");
        }
        // No atomic exchange on this file system: set the original aside, move the new item
        // in, and put the original back if that fails.
        const std::string aside = stagingPath(target);
        if (::rename(target.c_str(), aside.c_str()) != 0) {
            const int e = errno;
            if (!staged.empty())
                removeQuietly(staged);
            return fail(error, e, Access::Write, target, "saved");
        }
        if (::rename(replacement.c_str(), target.c_str()) != 0) {
            const int e = errno;
            ::rename(aside.c_str(), target.c_str());
            if (!staged.empty())
                removeQuietly(staged);
            return fail(error, e, Access::Write, target, "saved");
        }
        removeQuietly(aside);
        if (!staged.empty())
            removeQuietly(newItem.path());
        return true;
    }
    removeQuietly(replacement); // now holds the old item
    return true;
}

bool FileManager::linkItemAtURL(const URL& source, const URL& destination, ErrorPtr* error) const
{
    return duplicateItem(source, destination, linkTree, "linked", error);
}

} // namespace foundation
