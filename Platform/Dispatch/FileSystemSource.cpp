// File-system event sources on inotify. One inotify instance and one thread serve the whole
// process (instances are a scarce per-user resource); a node watched by several sources shares
// one inotify watch.

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <poll.h>
#include <string>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "Platform/Dispatch/FileSystemSource.h"
#include "Platform/Dispatch/Internal.h"

namespace dispatch {

struct FileSystemSource::Watch {
    int wd = -1;
    int parentWd = -1; // the directory holding the node, where its removal shows
    int fd = -1;
    unsigned mask = 0;
    bool deleteSeen = false;
    std::weak_ptr<FileSystemSource> source;
};

namespace {

// Everything we translate, asked of every watch: watches of one node in one inotify instance
// share a mask.
constexpr std::uint32_t WatchMask = IN_MODIFY | IN_ATTRIB | IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO
    | IN_DELETE_SELF | IN_MOVE_SELF;

} // namespace

struct FileSystemWatcher {
    std::mutex mutex;
    int inotifyFd = -1;
    int initError = 0;
    bool started = false;
    std::multimap<int, std::shared_ptr<FileSystemSource::Watch>> byWd;
    std::multimap<int, std::shared_ptr<FileSystemSource::Watch>> byParentWd;
    std::map<int, int> users;

    // Called with the mutex held.
    bool startLocked()
    {
        if (started)
            return inotifyFd >= 0;
        started = true;
        inotifyFd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (inotifyFd < 0) {
            initError = errno;
            return false;
        }
        std::thread([this] { loop(); }).detach();
        return true;
    }

    std::shared_ptr<FileSystemSource::Watch> add(int fd, unsigned mask, int& error)
    {
        std::lock_guard lock(mutex);
        if (!startLocked()) {
            error = initError;
            return nullptr;
        }
        // Through the descriptor's /proc link the watch lands on the node the caller opened,
        // whatever it is called by now.
        const std::string link = "/proc/self/fd/" + std::to_string(fd);
        const int wd = addWatchLocked(link);
        if (wd < 0) {
            error = errno;
            return nullptr;
        }
        auto watch = std::make_shared<FileSystemSource::Watch>();
        watch->wd = wd;
        watch->fd = fd;
        watch->mask = mask;
        byWd.emplace(wd, watch);
        watchParentLocked(*watch);
        return watch;
    }

    void remove(const std::shared_ptr<FileSystemSource::Watch>& watch)
    {
        std::lock_guard lock(mutex);
        eraseFrom(byWd, watch->wd, watch.get());
        releaseWatchLocked(watch->wd);
        unwatchParentLocked(*watch);
        // From here on the descriptor is not touched again: the watch is no longer found.
        watch->fd = -1;
    }

    // Watches of one node share a descriptor in inotify; count their users.
    int addWatchLocked(const std::string& path)
    {
        const int wd = ::inotify_add_watch(inotifyFd, path.c_str(), WatchMask);
        if (wd >= 0)
            ++users[wd];
        return wd;
    }

    void releaseWatchLocked(int wd)
    {
        auto it = users.find(wd);
        if (it == users.end())
            return;
        if (--it->second == 0) {
            users.erase(it);
            ::inotify_rm_watch(inotifyFd, wd);
        }
    }

    static void eraseFrom(std::multimap<int, std::shared_ptr<FileSystemSource::Watch>>& map, int wd,
                          const FileSystemSource::Watch* watch)
    {
        auto [begin, end] = map.equal_range(wd);
        for (auto it = begin; it != end; ++it) {
            if (it->second.get() == watch) {
                map.erase(it);
                return;
            }
        }
    }

    // A node held open by the caller lives on when it is removed, and a removed directory
    // reports nothing itself until the last descriptor goes; its parent does see the entry go.
    void watchParentLocked(FileSystemSource::Watch& watch)
    {
        char target[PATH_MAX];
        const std::string link = "/proc/self/fd/" + std::to_string(watch.fd);
        const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
        if (n <= 0)
            return;
        std::string path(target, static_cast<std::size_t>(n));
        const auto slash = path.rfind('/');
        if (path.front() != '/' || slash == std::string::npos || path.size() == 1)
            return;
        const std::string parent = slash == 0 ? "/" : path.substr(0, slash);
        const int wd = addWatchLocked(parent);
        if (wd < 0)
            return;
        watch.parentWd = wd;
        for (auto& [key, w] : byWd) {
            if (w.get() == &watch) {
                byParentWd.emplace(wd, w);
                break;
            }
        }
    }

    void unwatchParentLocked(FileSystemSource::Watch& watch)
    {
        if (watch.parentWd < 0)
            return;
        eraseFrom(byParentWd, watch.parentWd, &watch);
        releaseWatchLocked(watch.parentWd);
        watch.parentWd = -1;
    }

    static bool isUnlinked(const FileSystemSource::Watch& watch)
    {
        struct stat st;
        return watch.fd >= 0 && ::fstat(watch.fd, &st) == 0 && st.st_nlink == 0;
    }

    void loop()
    {
        alignas(inotify_event) char buffer[16 * (sizeof(inotify_event) + NAME_MAX + 1)];
        pollfd pfd{inotifyFd, POLLIN, 0};
        for (;;) {
            pfd.revents = 0;
            if (::poll(&pfd, 1, -1) < 0) {
                if (errno == EINTR)
                    continue;
                return;
            }
            std::vector<std::pair<std::shared_ptr<FileSystemSource>, unsigned>> due;
            {
                std::lock_guard lock(mutex);
                std::map<FileSystemSource::Watch*, unsigned> bits;
                for (;;) {
                    const ssize_t n = ::read(inotifyFd, buffer, sizeof buffer);
                    if (n <= 0)
                        break;
                    for (ssize_t offset = 0; offset + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
                        const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
                        offset += sizeof(inotify_event) + event->len;
                        translate(*event, bits);
                    }
                }
                for (auto& [watch, value] : bits) {
                    const unsigned wanted = value & watch->mask;
                    if (!wanted)
                        continue;
                    if (auto source = watch->source.lock())
                        due.emplace_back(std::move(source), wanted);
                }
            }
            for (auto& [source, value] : due)
                source->mergeEvent(value);
        }
    }

    void translate(const inotify_event& event, std::map<FileSystemSource::Watch*, unsigned>& bits)
    {
        if (event.mask & IN_Q_OVERFLOW) {
            // Events were lost; a write is the safe guess for everyone.
            for (auto& [wd, watch] : byWd)
                bits[watch.get()] |= FileSystemEventWrite;
            return;
        }
        if (event.len > 0 && (event.mask & (IN_DELETE | IN_MOVED_TO))) {
            auto [pbegin, pend] = byParentWd.equal_range(event.wd);
            for (auto it = pbegin; it != pend; ++it) {
                FileSystemSource::Watch& watch = *it->second;
                if (!watch.deleteSeen && isUnlinked(watch)) {
                    watch.deleteSeen = true;
                    bits[&watch] |= FileSystemEventDelete;
                }
            }
        }
        std::vector<FileSystemSource::Watch*> moved;
        auto [begin, end] = byWd.equal_range(event.wd);
        for (auto it = begin; it != end; ++it) {
            FileSystemSource::Watch& watch = *it->second;
            unsigned value = 0;
            if (event.len > 0) {
                // About an entry of a watched directory: only the directory's own contents
                // changing counts, as a write of the directory.
                if (event.mask & (IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO))
                    value |= FileSystemEventWrite;
            } else {
                if (event.mask & IN_MODIFY)
                    value |= FileSystemEventWrite;
                if (event.mask & IN_MOVE_SELF) {
                    value |= FileSystemEventRename;
                    moved.push_back(&watch);
                }
                bool deleted = event.mask & (IN_DELETE_SELF | IN_IGNORED);
                // While the caller holds the node open, unlinking it only changes its link
                // count (the node lives on): that is the deletion the caller cares about.
                if (!deleted && (event.mask & IN_ATTRIB) && isUnlinked(watch))
                    deleted = true;
                if (deleted && !watch.deleteSeen) {
                    watch.deleteSeen = true;
                    value |= FileSystemEventDelete;
                }
            }
            if (value)
                bits[&watch] |= value;
        }
        // A node that moved has a new parent to watch for its removal.
        for (FileSystemSource::Watch* watch : moved) {
            unwatchParentLocked(*watch);
            watchParentLocked(*watch);
        }
    }
};

namespace {

FileSystemWatcher& watcher()
{
    static detail::NeverDestroyed<FileSystemWatcher> instance;
    return instance.get();
}

} // namespace

FileSystemSource::FileSystemSource(int fd, unsigned mask, QueuePtr queue)
    : Source(std::move(queue), Merge::Or)
    , m_fd(fd)
    , m_mask(mask)
{
}

FileSystemSource::~FileSystemSource()
{
    stopProducing();
}

FileSystemSourcePtr FileSystemSource::make(int fileDescriptor, unsigned eventMask, QueuePtr queue, int* error)
{
    int err = 0;
    if (!queue)
        err = EINVAL;
    else if (fileDescriptor < 0 || ::fcntl(fileDescriptor, F_GETFD) < 0)
        err = EBADF;
    std::shared_ptr<Watch> watch;
    if (!err)
        watch = watcher().add(fileDescriptor, eventMask, err);
    if (!watch) {
        if (error)
            *error = err;
        return nullptr;
    }
    struct Enabler : FileSystemSource {
        Enabler(int fd, unsigned mask, QueuePtr q) : FileSystemSource(fd, mask, std::move(q)) { }
    };
    auto source = std::make_shared<Enabler>(fileDescriptor, eventMask, std::move(queue));
    source->m_watch = watch;
    {
        std::lock_guard lock(watcher().mutex);
        watch->source = source;
    }
    if (error)
        *error = 0;
    return source;
}

void FileSystemSource::stopProducing()
{
    if (auto watch = std::exchange(m_watch, nullptr))
        watcher().remove(watch);
}

} // namespace dispatch
