#pragma once
// File-system operations with the platform's error codes (Cocoa domain, the path in the user
// info, the POSIX error underneath) and the user's folders by the XDG conventions.
// Stateless: any thread, any number of instances.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Foundation/Date.h"
#include "Platform/Foundation/Error.h"
#include "Platform/Foundation/URL.h"

namespace foundation {

// File error codes beside those in Error.h.
enum FileErrorCode : long {
    FileReadNoPermissionError = 257,
    FileWriteNoPermissionError = 513,
    FileWriteInvalidFileNameError = 514,
    FileWriteVolumeReadOnlyError = 642,
};

enum class SearchPathDirectory {
    ApplicationSupport, // $XDG_DATA_HOME, else ~/.local/share
    Caches,             // $XDG_CACHE_HOME, else ~/.cache
    Configuration,      // $XDG_CONFIG_HOME, else ~/.config
};

enum DirectoryEnumerationOptions : unsigned {
    DirectoryEnumerationSkipsSubdirectoryDescendants = 1 << 0,
    DirectoryEnumerationSkipsHiddenFiles = 1 << 2,
};

enum class FileType { Regular, Directory, SymbolicLink, Other };

struct FileAttributes {
    FileType type = FileType::Other;
    std::uint64_t size = 0;
    Date modificationDate;
    unsigned posixPermissions = 0;
    std::uint64_t referenceCount = 0; // hard links to the item
};

// Walks a directory tree depth first, entries of a directory in name order. Symbolic links
// to directories are listed but not entered. Errors go to the handler: it returns whether to
// go on (no handler: go on).
class DirectoryEnumerator {
public:
    using ErrorHandler = std::function<bool(const URL&, const ErrorPtr&)>;

    std::optional<URL> nextObject();
    // Don't descend into the directory nextObject() just returned.
    void skipDescendants();
    // Depth of the last returned item: 1 for the directory's own entries.
    int level() const;

    struct State;
    explicit DirectoryEnumerator(std::shared_ptr<State> state) : m_state(std::move(state)) { }

private:
    std::shared_ptr<State> m_state;
};

class FileManager {
public:
    static FileManager& defaultManager();

    // The folder for `directory`; when `create`, made (with its parents) if missing.
    std::optional<URL> URLForDirectory(SearchPathDirectory directory, bool create, ErrorPtr* error = nullptr) const;
    URL temporaryDirectory() const; // $TMPDIR, else /tmp
    URL homeDirectoryForCurrentUser() const;

    // Follows symbolic links: a dangling link doesn't exist.
    bool fileExistsAtPath(const std::string& path, bool* isDirectory = nullptr) const;

    // An existing directory is an error (516) unless `withIntermediateDirectories`.
    bool createDirectoryAtURL(const URL& url, bool withIntermediateDirectories, ErrorPtr* error = nullptr) const;
    // Never replaces an existing destination (516). Across file systems: copy, then remove.
    bool moveItemAtURL(const URL& source, const URL& destination, ErrorPtr* error = nullptr) const;
    // Copies files and folders (links as links); never replaces an existing destination (516).
    // A failed copy leaves no partial destination behind.
    bool copyItemAtURL(const URL& source, const URL& destination, ErrorPtr* error = nullptr) const;
    // Removes a file, a link or a whole folder.
    bool removeItemAtURL(const URL& url, ErrorPtr* error = nullptr) const;
    // Puts `newItem` in the place of `original` in one atomic step (the old item is discarded,
    // `newItem` is consumed). When it fails, `original` is as it was.
    bool replaceItemAtURL(const URL& original, const URL& newItem, ErrorPtr* error = nullptr) const;
    // A hard link to `source` at `destination` (folders: their files linked one by one); a copy
    // where the file system can't link (another volume, say).
    bool linkItemAtURL(const URL& source, const URL& destination, ErrorPtr* error = nullptr) const;

    // The entries of a folder (not recursive), in name order; none and an error on failure.
    std::optional<std::vector<URL>> contentsOfDirectoryAtURL(const URL& url, unsigned options = 0,
                                                             ErrorPtr* error = nullptr) const;
    DirectoryEnumerator enumeratorAtURL(const URL& url, unsigned options = 0,
                                        DirectoryEnumerator::ErrorHandler errorHandler = nullptr) const;

    // The whole content of a regular file (links followed); none and an error otherwise. A
    // folder, a pipe or a device is refused rather than read as empty or waited on. A file larger
    // than `maximumSize` is refused before anything is read (NSFileReadTooLargeError, naming
    // the limit): each reader passes what a file of its kind can sensibly hold.
    static constexpr std::uint64_t DefaultMaximumFileSize = 256ULL << 20;
    std::optional<std::vector<std::uint8_t>> contentsAtPath(const std::string& path, ErrorPtr* error = nullptr,
                                                            std::uint64_t maximumSize = DefaultMaximumFileSize) const;

    // Of the item itself (a link is not followed).
    std::optional<FileAttributes> attributesOfItemAtPath(const std::string& path, ErrorPtr* error = nullptr) const;
};

} // namespace foundation
