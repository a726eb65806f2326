#pragma once
// Low-memory warnings from the kernel, without help from the application: a thread of its own
// waits on the kernel's memory pressure (a trigger on /proc/pressure/memory: some task stalled
// 200 ms on memory within 2 s) and on the cgroup's memory.events (its "high", "max", "oom" and
// "oom_kill" counts going up), and calls the handler on that thread for each warning, at most
// one a second. The thread leaves every signal unblocked, so crash capture can stop it and walk
// its stack like any other. Stopping (destruction) waits for the thread, unless it is the
// handler's own thread that destroys the monitor.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

namespace sys {

class MemoryPressureMonitor {
public:
    using Handler = std::function<void()>;
    struct Sources {
        std::string pressurePath = "/proc/pressure/memory";
        // None: this process's cgroup's (cgroup v2), found through /proc/self/cgroup.
        std::optional<std::string> eventsPath;
    };

    // None when neither source can be watched (no pressure information, no memory cgroup).
    static std::unique_ptr<MemoryPressureMonitor> start(Handler handler, const Sources& sources);
    static std::unique_ptr<MemoryPressureMonitor> start(Handler handler) { return start(std::move(handler), Sources {}); }
    ~MemoryPressureMonitor();
    MemoryPressureMonitor(const MemoryPressureMonitor&) = delete;
    MemoryPressureMonitor& operator=(const MemoryPressureMonitor&) = delete;

    bool watchesPressure() const { return m_watchesPressure; }
    bool watchesEvents() const { return m_watchesEvents; }

    // The memory.events file of this process's cgroup, when there is one.
    static std::optional<std::string> cgroupEventsPath();

private:
    // What the thread works with; it outlives the monitor when the handler's thread ends it.
    struct Watch;
    MemoryPressureMonitor() = default;
    static void run(const std::shared_ptr<Watch>& watch);

    std::shared_ptr<Watch> m_watch;
    bool m_watchesPressure = false;
    bool m_watchesEvents = false;
    std::thread m_thread;
};

} // namespace sys
