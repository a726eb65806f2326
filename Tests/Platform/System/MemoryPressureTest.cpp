#include <gtest/gtest.h>

#include <pthread.h>
#include <signal.h>

#include <condition_variable>
#include <fstream>
#include <mutex>

#include "Platform/System/MemoryPressure.h"
#include "Tests/Support/TempDir.h"

namespace {

struct Warnings {
    std::mutex mutex;
    std::condition_variable changed;
    int count = 0;
    bool signalsBlocked = false;

    void heard()
    {
        sigset_t mask;
        ::pthread_sigmask(SIG_SETMASK, nullptr, &mask);
        std::lock_guard lock(mutex);
        for (int signal = 1; signal < SIGRTMAX; ++signal)
            signalsBlocked = signalsBlocked || sigismember(&mask, signal) == 1;
        ++count;
        changed.notify_all();
    }
    bool waitFor(int wanted)
    {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(10), [&] { return count >= wanted; });
    }
};

void writeEvents(const std::filesystem::path& path, int high, int max)
{
    std::ofstream(path) << "low 0\nhigh " << high << "\nmax " << max << "\noom 0\noom_kill 0\n";
}

} // namespace

TEST(MemoryPressureMonitor, TheCgroupsCountsGoingUpAreAWarningOnAThreadThatBlocksNoSignal)
{
    testsupport::TempDir dir;
    const auto events = dir / "memory.events";
    writeEvents(events, 3, 0); // counts from before the start are not a warning
    Warnings warnings;
    // The process blocks signals on the thread that starts the monitor: its thread must not.
    sigset_t all, previous;
    sigfillset(&all);
    ::pthread_sigmask(SIG_BLOCK, &all, &previous);
    auto monitor = sys::MemoryPressureMonitor::start([&] { warnings.heard(); },
                                                     { (dir / "no-pressure-here").string(), events.string() });
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    ASSERT_TRUE(monitor);
    EXPECT_FALSE(monitor->watchesPressure());
    EXPECT_TRUE(monitor->watchesEvents());

    writeEvents(events, 4, 0);
    ASSERT_TRUE(warnings.waitFor(1));
    EXPECT_FALSE(warnings.signalsBlocked) << "crash capture could not stop and walk the monitor's thread";
    monitor.reset();
    EXPECT_EQ(warnings.count, 1);
}

TEST(MemoryPressureMonitor, NothingToWatchStartsNothing)
{
    testsupport::TempDir dir;
    EXPECT_FALSE(sys::MemoryPressureMonitor::start([] { }, { (dir / "none").string(), (dir / "none.events").string() }));
}
