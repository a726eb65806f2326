#pragma once
// A file-system event source on an open descriptor of a file or directory (inotify). Writes
// (for a directory: entries added, removed or renamed), renames and deletion of the node are
// reported; data() gives the bits seen since the last call. The descriptor stays the caller's:
// the cancel handler runs once the source no longer uses it, so it may close it there.

#include <memory>

#include "Platform/Dispatch/Source.h"

namespace dispatch {

enum FileSystemEvent : unsigned {
    FileSystemEventDelete = 0x1,
    FileSystemEventWrite = 0x2,
    FileSystemEventRename = 0x20,
};

class FileSystemSource;
using FileSystemSourcePtr = std::shared_ptr<FileSystemSource>;

class FileSystemSource : public Source {
public:
    // nullptr when the descriptor can't be watched; `error` (if given) receives the errno.
    static FileSystemSourcePtr make(int fileDescriptor, unsigned eventMask, QueuePtr queue,
                                    int* error = nullptr);
    ~FileSystemSource() override;

    int fileDescriptor() const { return m_fd; }
    unsigned eventMask() const { return m_mask; }

    struct Watch;

protected:
    FileSystemSource(int fd, unsigned mask, QueuePtr queue);
    void stopProducing() override;

private:
    friend struct FileSystemWatcher;
    int m_fd = -1;
    unsigned m_mask = 0;
    std::shared_ptr<Watch> m_watch;
};

} // namespace dispatch
