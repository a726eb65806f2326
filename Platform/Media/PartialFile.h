#pragma once
// A movie file being written: a new hidden file of its own beside the destination, created
// (never opened through a link, never one that was there before) and written only through the
// descriptor it was made with, then put in the destination's place once complete. Until then
// its name is known process-wide, so that a process ending on a signal removes it first.
// Internal to Platform/Media; one writer thread uses it at a time.

#include "Platform/Foundation/Error.h"

#include <memory>
#include <string>

struct AVIOContext;

namespace media::detail {

// "The movie could not be saved.", with the reason in words: a full disk or a file larger than
// the disk (or the process) allows is told as such, with the file's path.
foundation::ErrorPtr fileError(int err, const std::string& path);

// What the muxer's writes reach: the descriptor, and the errno of the write that failed.
struct PartialFileSink {
    int fd = -1;
    int error = 0;
};

class PartialFile {
public:
    // Makes the file beside `destination`; null and errno in `*err` when it cannot be made
    // (ENAMETOOLONG for a destination whose name the folder cannot hold, EISDIR for a folder).
    // A file that replaces another takes that file's permissions.
    static std::unique_ptr<PartialFile> create(const std::string& destination, int* err);
    // Removes the file unless it was put in place.
    ~PartialFile();
    PartialFile(const PartialFile&) = delete;
    PartialFile& operator=(const PartialFile&) = delete;

    const std::string& path() const { return m_path; }
    // Writes through the descriptor; hand it to a muxer whose context has
    // AVFMT_FLAG_CUSTOM_IO set. It lives as long as this object.
    AVIOContext* ioContext() const { return m_io; }

    // The errno of the first write that failed; 0 while none has.
    int failedWrite() const { return m_sink.error; }
    // Writes out what is buffered and forces it to disk; 0, or an errno.
    int flush();
    // Puts the flushed file at `destination`: over whatever is there when `replace` (a link is
    // replaced, never the file it leads to), or only where nothing is (EEXIST otherwise).
    // 0, or an errno (ESTALE when the name no longer leads to this file).
    int commit(const std::string& destination, bool replace);

private:
    PartialFile() = default;
    bool stillNamesThisFile() const;
    void remove();

    std::string m_path;
    PartialFileSink m_sink;
    AVIOContext* m_io = nullptr;
};

} // namespace media::detail
