#include "Platform/Foundation/FileWrapper.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <random>

#include "Platform/Foundation/FileManager.h"

namespace foundation {

namespace {

constexpr int kMaximumDepth = 64;

ErrorPtr posixError(int code, const std::string& what, const std::string& path)
{
    return Error::make(NSCocoaErrorDomain, code == ENOENT ? NSFileReadNoSuchFileError : NSFileWriteUnknownError,
                       what + " \"" + std::filesystem::path(path).filename().string() + "\": " + std::strerror(code));
}

bool fail(ErrorPtr* error, ErrorPtr e)
{
    if (error)
        *error = std::move(e);
    return false;
}

bool writeAll(int fd, const uint8_t* bytes, size_t size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, bytes, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        bytes += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

std::string temporarySibling(const std::string& path)
{
    static thread_local std::mt19937_64 random {std::random_device {}()};
    const std::filesystem::path p(path);
    return (p.parent_path() / ("." + p.filename().string() + ".writing-" + std::to_string(random() % 1000000000))).string();
}

} // namespace

bool FileWrapper::isSinglePathComponent(const std::string& name)
{
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos
        && name.find('\0') == std::string::npos;
}

FileWrapperPtr FileWrapper::initRegularFileWithContents(Data contents)
{
    FileWrapperPtr wrapper(new FileWrapper(Kind::regularFile));
    wrapper->m_contents = std::move(contents);
    return wrapper;
}

FileWrapperPtr FileWrapper::initDirectoryWithFileWrappers(std::map<std::string, FileWrapperPtr> children)
{
    FileWrapperPtr wrapper(new FileWrapper(Kind::directory));
    for (auto& [name, child] : children) {
        if (!child)
            continue;
        if (child->m_preferredFilename.empty())
            child->m_preferredFilename = name;
        child->m_filename = name;
        wrapper->m_children[name] = child;
    }
    return wrapper;
}

FileWrapperPtr FileWrapper::initWithURL(const URL& url, unsigned options, ErrorPtr* error)
{
    FileWrapperPtr wrapper = read(url.path(), options, 0, error);
    if (wrapper)
        wrapper->m_preferredFilename = url.lastPathComponent();
    return wrapper;
}

FileWrapperPtr FileWrapper::read(const std::string& path, unsigned options, int depth, ErrorPtr* error)
{
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        fail(error, posixError(errno, "The file couldn't be opened:", path));
        return nullptr;
    }
    if (S_ISREG(st.st_mode)) {
        FileWrapperPtr wrapper(new FileWrapper(Kind::regularFile));
        wrapper->m_sourcePath = path;
        if (options & FileWrapperReadingImmediate) {
            auto bytes = FileManager::defaultManager().contentsAtPath(path, error, FileWrapperMaximumFileSize);
            if (!bytes)
                return nullptr;
            wrapper->m_contents = std::move(*bytes);
        }
        return wrapper;
    }
    if (!S_ISDIR(st.st_mode)) {
        fail(error, Error::make(NSCocoaErrorDomain, NSFileReadUnknownError,
                                "\"" + std::filesystem::path(path).filename().string() + "\" is neither a file nor a folder."));
        return nullptr;
    }
    if (depth >= kMaximumDepth) {
        fail(error, Error::make(NSCocoaErrorDomain, NSFileReadUnknownError, "The folder is nested too deeply to be read."));
        return nullptr;
    }
    DIR* dir = ::opendir(path.c_str());
    if (!dir) {
        fail(error, posixError(errno, "The folder couldn't be opened:", path));
        return nullptr;
    }
    FileWrapperPtr wrapper(new FileWrapper(Kind::directory));
    std::vector<std::string> names;
    while (dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    ::closedir(dir);
    for (const std::string& name : names) {
        const std::string childPath = path + "/" + name;
        struct stat cst {};
        if (::lstat(childPath.c_str(), &cst) != 0)
            continue;
        // Links and special files are not part of a package's content.
        if (!S_ISREG(cst.st_mode) && !S_ISDIR(cst.st_mode))
            continue;
        FileWrapperPtr child = read(childPath, options, depth + 1, error);
        if (!child)
            return nullptr;
        child->m_preferredFilename = name;
        child->m_filename = name;
        wrapper->m_children[name] = std::move(child);
    }
    return wrapper;
}

std::optional<Data> FileWrapper::regularFileContents() const
{
    if (m_kind != Kind::regularFile)
        return std::nullopt;
    if (!m_contents && !m_sourcePath.empty()) {
        auto bytes = FileManager::defaultManager().contentsAtPath(m_sourcePath, nullptr, FileWrapperMaximumFileSize);
        if (!bytes)
            return std::nullopt;
        m_contents = std::move(*bytes);
    }
    return m_contents;
}

FileWrapperPtr FileWrapper::fileWrapperNamed(const std::string& name) const
{
    auto it = m_children.find(name);
    return it == m_children.end() ? nullptr : it->second;
}

std::string FileWrapper::addFileWrapper(const FileWrapperPtr& child)
{
    if (!child || m_kind != Kind::directory)
        return {};
    std::string base = isSinglePathComponent(child->m_preferredFilename) ? child->m_preferredFilename : std::string("file");
    std::string name = base;
    for (int n = 1; m_children.count(name); ++n)
        name = std::to_string(n) + "__" + base;
    child->m_filename = name;
    m_children[name] = child;
    return name;
}

std::string FileWrapper::addRegularFileWithContents(Data contents, const std::string& preferredFilename)
{
    FileWrapperPtr child = initRegularFileWithContents(std::move(contents));
    child->m_preferredFilename = preferredFilename;
    return addFileWrapper(child);
}

void FileWrapper::removeFileWrapper(const FileWrapperPtr& child)
{
    for (auto it = m_children.begin(); it != m_children.end(); ++it) {
        if (it->second == child) {
            m_children.erase(it);
            return;
        }
    }
}

bool FileWrapper::writeContentsAtPath(const std::string& path, ErrorPtr* error) const
{
    if (m_kind == Kind::regularFile) {
        auto contents = regularFileContents();
        if (!contents)
            return fail(error, Error::make(NSCocoaErrorDomain, NSFileReadUnknownError, "The file's contents couldn't be read."));
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0)
            return fail(error, posixError(errno, "The file couldn't be saved:", path));
        const bool ok = writeAll(fd, contents->data(), contents->size()) && ::fsync(fd) == 0;
        const int saved = errno;
        ::close(fd);
        return ok ? true : fail(error, posixError(saved, "The file couldn't be saved:", path));
    }
    if (::mkdir(path.c_str(), 0755) != 0)
        return fail(error, posixError(errno, "The folder couldn't be saved:", path));
    for (const auto& [name, child] : m_children) {
        if (!isSinglePathComponent(name))
            return fail(error, Error::make(NSCocoaErrorDomain, NSFileWriteUnknownError,
                                           "\"" + name + "\" can't be used as a file name."));
        if (!child->writeContentsAtPath(path + "/" + name, error))
            return false;
    }
    return true;
}

bool FileWrapper::writeToURL(const URL& url, unsigned, const std::optional<URL>&, ErrorPtr* error)
{
    const std::string path = url.path();
    const std::string temporary = temporarySibling(path);
    if (!writeContentsAtPath(temporary, error)) {
        FileManager::defaultManager().removeItemAtURL(URL::fileURLWithPath(temporary));
        return false;
    }
    struct stat st {};
    const bool exists = ::lstat(path.c_str(), &st) == 0;
    if (exists) {
        // Exchange the two in one step, then discard the old content.
        if (::syscall(SYS_renameat2, AT_FDCWD, temporary.c_str(), AT_FDCWD, path.c_str(), RENAME_EXCHANGE) != 0) {
            const int saved = errno;
            FileManager::defaultManager().removeItemAtURL(URL::fileURLWithPath(temporary));
            return fail(error, posixError(saved, "The file couldn't be saved:", path));
        }
        FileManager::defaultManager().removeItemAtURL(URL::fileURLWithPath(temporary));
    } else if (::rename(temporary.c_str(), path.c_str()) != 0) {
        const int saved = errno;
        FileManager::defaultManager().removeItemAtURL(URL::fileURLWithPath(temporary));
        return fail(error, posixError(saved, "The file couldn't be saved:", path));
    }
    m_filename = url.lastPathComponent();
    return true;
}

} // namespace foundation
