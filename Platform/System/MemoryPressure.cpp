#include "Platform/System/MemoryPressure.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <sstream>

namespace sys {

namespace {

// Some task stalled on memory for 200 ms within a 2 s window: the smallest window the kernel
// lets an unprivileged process ask for.
constexpr char kPressureTrigger[] = "some 200000 2000000";

unsigned long long countOf(const std::string& contents)
{
    std::istringstream lines(contents);
    std::string key;
    unsigned long long value = 0, total = 0;
    while (lines >> key >> value)
        if (key == "high" || key == "max" || key == "oom" || key == "oom_kill")
            total += value;
    return total;
}

std::string readWhole(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

} // namespace

std::optional<std::string> MemoryPressureMonitor::cgroupEventsPath()
{
    std::ifstream in("/proc/self/cgroup");
    std::string line;
    while (std::getline(in, line)) {
        if (!line.starts_with("0::"))
            continue;
        std::string group = line.substr(3);
        if (group == "/")
            group.clear();
        // A pure cgroup v2 system, or the unified part of a hybrid one.
        for (const char* root : { "/sys/fs/cgroup", "/sys/fs/cgroup/unified" }) {
            const std::string path = std::string(root) + group + "/memory.events";
            if (::access(path.c_str(), R_OK) == 0)
                return path;
        }
    }
    return std::nullopt;
}

struct MemoryPressureMonitor::Watch {
    Handler handler;
    std::string eventsPath;
    int pressureFd = -1;
    int inotifyFd = -1;
    int wakeFd = -1;
    unsigned long long eventCount = 0;
    ~Watch()
    {
        for (int fd : { pressureFd, inotifyFd, wakeFd })
            if (fd >= 0)
                ::close(fd);
    }
    bool eventsWentUp()
    {
        char buffer[4096];
        while (::read(inotifyFd, buffer, sizeof buffer) > 0) { }
        const unsigned long long count = countOf(readWhole(eventsPath));
        const bool up = count > eventCount;
        eventCount = count;
        return up;
    }
};

std::unique_ptr<MemoryPressureMonitor> MemoryPressureMonitor::start(Handler handler, const Sources& sources)
{
    auto watch = std::make_shared<Watch>();
    watch->handler = std::move(handler);
    const int pressure = ::open(sources.pressurePath.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (pressure >= 0) {
        if (::write(pressure, kPressureTrigger, sizeof kPressureTrigger) >= 0)
            watch->pressureFd = pressure;
        else
            ::close(pressure); // no pressure information, or not ours to ask for
    }
    if (auto events = sources.eventsPath ? sources.eventsPath : cgroupEventsPath()) {
        const int notify = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (notify >= 0 && ::inotify_add_watch(notify, events->c_str(), IN_MODIFY) >= 0) {
            watch->inotifyFd = notify;
            watch->eventsPath = *events;
            watch->eventCount = countOf(readWhole(*events));
        } else if (notify >= 0) {
            ::close(notify);
        }
    }
    if (watch->pressureFd < 0 && watch->inotifyFd < 0)
        return nullptr;
    watch->wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (watch->wakeFd < 0)
        return nullptr;
    std::unique_ptr<MemoryPressureMonitor> monitor(new MemoryPressureMonitor());
    monitor->m_watch = watch;
    monitor->m_watchesPressure = watch->pressureFd >= 0;
    monitor->m_watchesEvents = watch->inotifyFd >= 0;
    monitor->m_thread = std::thread([watch] { run(watch); });
    return monitor;
}

MemoryPressureMonitor::~MemoryPressureMonitor()
{
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(m_watch->wakeFd, &one, sizeof one);
    if (m_thread.joinable()) {
        if (m_thread.get_id() == std::this_thread::get_id())
            m_thread.detach(); // the handler let go of the last owner: the loop ends on its own
        else
            m_thread.join();
    }
}

void MemoryPressureMonitor::run(const std::shared_ptr<Watch>& watch)
{
    // Threads inherit the mask of the one that made them; this one must answer the crash
    // handler's signals.
    sigset_t none;
    sigemptyset(&none);
    ::pthread_sigmask(SIG_SETMASK, &none, nullptr);
    std::chrono::steady_clock::time_point last {};
    bool warnedOnce = false;
    for (;;) {
        pollfd fds[3] = { { watch->wakeFd, POLLIN, 0 }, { watch->pressureFd, POLLPRI, 0 }, { watch->inotifyFd, POLLIN, 0 } };
        const int ready = ::poll(fds, 3, -1);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[0].revents)
            return;
        bool warning = false;
        if (fds[1].revents & POLLPRI)
            warning = true;
        if (fds[1].revents & (POLLERR | POLLNVAL)) {
            // The trigger is gone (its cgroup went away): the other source goes on.
            ::close(watch->pressureFd);
            watch->pressureFd = -1;
        }
        if (fds[2].revents & POLLIN)
            warning = watch->eventsWentUp() || warning;
        if (!warning)
            continue;
        const auto now = std::chrono::steady_clock::now();
        if (warnedOnce && now - last < std::chrono::seconds(1))
            continue;
        warnedOnce = true;
        last = now;
        if (watch->handler)
            watch->handler();
    }
}

} // namespace sys
