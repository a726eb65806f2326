#include "MovaraKit/Support/MVRDirectoryMonitor.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

std::shared_ptr<MVRDirectoryMonitor> MVRDirectoryMonitor::initWithDirectoryURL(const foundation::URL& directoryURL,
                                                                               std::function<void()> block)
{
    return std::shared_ptr<MVRDirectoryMonitor>(new MVRDirectoryMonitor(directoryURL, std::move(block)));
}

MVRDirectoryMonitor::MVRDirectoryMonitor(foundation::URL directoryURL, std::function<void()> block)
    : m_directoryURL(std::move(directoryURL))
    , m_block(std::move(block))
{
}

MVRDirectoryMonitor::~MVRDirectoryMonitor() { stopMonitoring(); }

int MVRDirectoryMonitor::fileDescriptor() const
{
    std::lock_guard lock(m_mutex);
    return m_fileDescriptor;
}

dispatch::FileSystemSourcePtr MVRDirectoryMonitor::source() const
{
    std::lock_guard lock(m_mutex);
    return m_source;
}

dispatch::QueuePtr MVRDirectoryMonitor::queue() const
{
    std::lock_guard lock(m_mutex);
    return m_queue;
}

bool MVRDirectoryMonitor::startMonitoring(foundation::ErrorPtr* error)
{
    std::unique_lock lock(m_mutex);
    if (m_source || m_fileDescriptor != -1)
        return true;

    // O_PATH watches the node without reading it or holding its file system busy.
    const std::string path = m_directoryURL.path();
    int fd = ::open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        if (error)
            *error = foundation::Error::posix(errno, path);
        return false;
    }
    auto queue = dispatch::Queue::serial("com.movara.MovaraKit.DirectoryMonitor");
    int sourceError = 0;
    auto source = dispatch::FileSystemSource::make(fd, dispatch::FileSystemEventWrite, queue, &sourceError);
    if (!source) {
        ::close(fd);
        if (error)
            *error = foundation::Error::posix(sourceError ? sourceError : EINVAL, path);
        return false;
    }
    m_fileDescriptor = fd;
    m_queue = queue;
    m_source = source;

    source->setEventHandler(m_block);
    // The handler may run after the monitor is gone (destruction cancels the source): it
    // closes the descriptor it was given and only touches the monitor if it still exists.
    std::weak_ptr<MVRDirectoryMonitor> weakSelf = weak_from_this();
    std::weak_ptr<dispatch::FileSystemSource> weakSource = source;
    source->setCancelHandler([fd, weakSelf, weakSource] {
        ::close(fd);
        auto self = weakSelf.lock();
        if (!self)
            return;
        std::lock_guard lock(self->m_mutex);
        if (self->m_fileDescriptor == fd)
            self->m_fileDescriptor = -1;
        if (self->m_source && self->m_source == weakSource.lock())
            self->m_source.reset();
    });
    lock.unlock();
    source->resume();
    return true;
}

void MVRDirectoryMonitor::stopMonitoring()
{
    dispatch::FileSystemSourcePtr source;
    {
        std::lock_guard lock(m_mutex);
        source = m_source;
    }
    if (source)
        source->cancel();
}
