#pragma once
// File wrappers: a regular file's bytes or a folder of named wrappers, kept in memory and
// written to disk in one piece. Documents stored as folders (packages) are read into a
// wrapper, changed in place (entries added, replaced, removed) and written back.
//
// Reading follows no symbolic links and takes no special files: a package can't make us read
// outside itself. Writing is always atomic: the whole wrapper is written beside the destination
// and then exchanged with it, so a failure leaves what was there untouched. One thread at a
// time per wrapper.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "Platform/Foundation/Error.h"
#include "Platform/Foundation/URL.h"
#include "Platform/Foundation/Value.h"

namespace foundation {

class FileWrapper;
using FileWrapperPtr = std::shared_ptr<FileWrapper>;

// Files of a package are read whole into memory: larger ones are refused (NSFileReadTooLargeError)
// rather than read. Packages hold property lists and pictures, far smaller than this.
constexpr std::uint64_t FileWrapperMaximumFileSize = 256ULL << 20;

enum FileWrapperReadingOptions : unsigned {
    FileWrapperReadingImmediate = 1 << 0, // read every regular file's bytes now
};

enum FileWrapperWritingOptionBits : unsigned {
    FileWrapperWritingAtomicOption = 1 << 0, // always the case here
};

class FileWrapper : public std::enable_shared_from_this<FileWrapper> {
public:
    enum class Kind { regularFile, directory };

    static FileWrapperPtr initRegularFileWithContents(Data contents);
    static FileWrapperPtr initDirectoryWithFileWrappers(std::map<std::string, FileWrapperPtr> children = {});
    // The file or folder at `url`; nullptr with the error when it can't be read (a folder
    // deeper than 64 levels, say). Without Immediate, a file's bytes are read on first use.
    static FileWrapperPtr initWithURL(const URL& url, unsigned options = 0, ErrorPtr* error = nullptr);
    virtual ~FileWrapper() = default;
    FileWrapper(const FileWrapper&) = delete;
    FileWrapper& operator=(const FileWrapper&) = delete;

    Kind kind() const { return m_kind; }
    bool isRegularFile() const { return m_kind == Kind::regularFile; }
    bool isDirectory() const { return m_kind == Kind::directory; }

    const std::string& preferredFilename() const { return m_preferredFilename; }
    void setPreferredFilename(std::string name) { m_preferredFilename = std::move(name); }
    // The name under which the parent holds this wrapper (empty at the top).
    const std::string& filename() const { return m_filename; }

    // A regular file's bytes (none for a folder, or when a lazily read file can't be read).
    virtual std::optional<Data> regularFileContents() const;

    // A folder's entries by name (empty for a regular file).
    const std::map<std::string, FileWrapperPtr>& fileWrappers() const { return m_children; }
    FileWrapperPtr fileWrapperNamed(const std::string& name) const;
    // Adds `child` under its preferred name; when that name is taken (or empty, or not a
    // single path component), a free one is made from it. Returns the name used.
    std::string addFileWrapper(const FileWrapperPtr& child);
    std::string addRegularFileWithContents(Data contents, const std::string& preferredFilename);
    void removeFileWrapper(const FileWrapperPtr& child);

    // Writes the wrapper to `url` atomically, replacing what is there. `originalContentsURL`
    // is where an earlier copy of the same contents lives (unused by plain wrappers).
    bool writeToURL(const URL& url, unsigned options, const std::optional<URL>& originalContentsURL,
                    ErrorPtr* error = nullptr);

    // Whether a name read from a document may be used inside a package: one path component,
    // not "." or "..", no NUL.
    static bool isSinglePathComponent(const std::string& name);

protected:
    explicit FileWrapper(Kind kind) : m_kind(kind) { }
    // Writes this wrapper's content at `path`, which does not exist yet.
    virtual bool writeContentsAtPath(const std::string& path, ErrorPtr* error) const;

private:
    static FileWrapperPtr read(const std::string& path, unsigned options, int depth, ErrorPtr* error);

    Kind m_kind;
    std::string m_preferredFilename;
    std::string m_filename;
    mutable std::optional<Data> m_contents;
    std::string m_sourcePath; // a regular file read lazily
    std::map<std::string, FileWrapperPtr> m_children;
};

} // namespace foundation
