#pragma once
// Calls a block on its own serial queue whenever a watched directory is written to (entries
// added, removed or renamed); events that arrive while the block is pending come as one call.
// startMonitoring/stopMonitoring are called from one thread at a time; the block and the
// source's cancel handler run on the monitor's queue.

#include <functional>
#include <memory>
#include <mutex>

#include "Platform/Dispatch/FileSystemSource.h"
#include "Platform/Foundation/Error.h"
#include "Platform/Foundation/URL.h"

class MVRDirectoryMonitor : public std::enable_shared_from_this<MVRDirectoryMonitor> {
public:
    static std::shared_ptr<MVRDirectoryMonitor> initWithDirectoryURL(const foundation::URL& directoryURL,
                                                                     std::function<void()> block);
    ~MVRDirectoryMonitor();
    MVRDirectoryMonitor(const MVRDirectoryMonitor&) = delete;
    MVRDirectoryMonitor& operator=(const MVRDirectoryMonitor&) = delete;

    // Starts watching unless already watching (or still winding down from a stop). False,
    // with a POSIX error, when the directory can't be opened or watched; the monitor stays idle.
    bool startMonitoring(foundation::ErrorPtr* error = nullptr);
    // Cancels the source; its cancel handler closes the descriptor and returns the monitor to
    // idle, after which monitoring may start again.
    void stopMonitoring();

    const foundation::URL& directoryURL() const { return m_directoryURL; }
    int fileDescriptor() const;
    dispatch::FileSystemSourcePtr source() const;
    dispatch::QueuePtr queue() const;
    const std::function<void()>& block() const { return m_block; }

private:
    MVRDirectoryMonitor(foundation::URL directoryURL, std::function<void()> block);

    foundation::URL m_directoryURL;
    std::function<void()> m_block;
    // The cancel handler updates these from the monitor's queue.
    mutable std::mutex m_mutex;
    int m_fileDescriptor = -1;
    dispatch::FileSystemSourcePtr m_source;
    dispatch::QueuePtr m_queue;
};
