#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <thread>
#include <vector>

#include "MovaraKit/Support/Atomic.h"
#include "MovaraKit/Support/BackgroundTask.h"
#include "MovaraKit/Support/MVRDirectoryMonitor.h"
#include "Platform/Dispatch/Semaphore.h"
#include "Tests/Support/TempDir.h"

namespace {

// Waits (bounded) for work running on other queues to make `predicate` true.
bool eventually(const std::function<bool()>& predicate, double seconds = 5)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!predicate()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::yield();
    }
    return true;
}

std::string linkTarget(int fd)
{
    char buffer[4096];
    ssize_t n = ::readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), buffer, sizeof buffer);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

struct ProbedTask : BackgroundTask {
    using BackgroundTask::isExecutingGroup;
};

} // namespace

TEST(Atomic, ReadAfterSwapSeesTheNewValueAndModifyNeverLosesUpdates)
{
    auto counter = Atomic<int>::init(1);
    counter->swap(2);
    EXPECT_EQ(2, counter->value());

    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 125; ++i)
                counter->modify([](int v) { return v + 1; });
        });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(1002, counter->value());

    // A pending block keeps its Atomic alive after the caller lets go.
    auto ran = dispatch::Semaphore::make();
    counter->modify([ran](int v) {
        ran->signal();
        return v;
    });
    counter.reset();
    EXPECT_TRUE(ran->wait(5));
}

TEST(BackgroundTask, LeavesItsGroupExactlyOnce)
{
    auto task = std::make_shared<ProbedTask>();
    dispatch::GroupPtr group = task->isExecutingGroup();
    EXPECT_FALSE(task->isInvalidated());
    EXPECT_FALSE(group->wait(0));
    task->invalidate();
    task->invalidate(); // a second leave would stop the process
    EXPECT_TRUE(task->isInvalidated());
    EXPECT_TRUE(group->wait(0));
    task.reset();

    auto released = std::make_shared<ProbedTask>();
    group = released->isExecutingGroup();
    EXPECT_FALSE(group->wait(0));
    released.reset();
    EXPECT_TRUE(group->wait(0));

    EXPECT_FALSE(BackgroundTask::init("export", [] {})->isInvalidated());
}

TEST(MVRDirectoryMonitor, CallsTheBlockOnItsQueueForWritesAndRestartsAfterStop)
{
    testsupport::TempDir dir;
    std::atomic<int> calls{0};
    std::atomic<bool> onMonitorQueue{false};
    std::shared_ptr<MVRDirectoryMonitor> monitor;
    monitor = MVRDirectoryMonitor::initWithDirectoryURL(foundation::URL::fileURLWithPath(dir.path().string(), true), [&] {
        onMonitorQueue = monitor->queue() && monitor->queue()->isCurrent();
        ++calls;
    });
    EXPECT_EQ(-1, monitor->fileDescriptor());
    monitor->stopMonitoring(); // never started: nothing to do
    EXPECT_EQ(nullptr, monitor->source());

    ASSERT_TRUE(monitor->startMonitoring());
    int fd = monitor->fileDescriptor();
    auto source = monitor->source();
    EXPECT_NE(-1, fd);
    EXPECT_TRUE(monitor->startMonitoring());
    EXPECT_EQ(fd, monitor->fileDescriptor());
    EXPECT_EQ(source, monitor->source());

    dir.write("frame0001.jpg", "x");
    ASSERT_TRUE(eventually([&] { return calls > 0; }));
    EXPECT_TRUE(onMonitorQueue);

    monitor->stopMonitoring();
    ASSERT_TRUE(eventually([&] { return monitor->fileDescriptor() == -1 && !monitor->source(); }));

    ASSERT_TRUE(monitor->startMonitoring());
    int before = calls;
    std::filesystem::remove(dir / "frame0001.jpg");
    EXPECT_TRUE(eventually([&] { return calls > before; }));
    monitor->stopMonitoring();
    ASSERT_TRUE(eventually([&] { return monitor->fileDescriptor() == -1; }));
}

TEST(MVRDirectoryMonitor, ReleaseWhileMonitoringClosesTheDescriptorWithoutTouchingTheMonitor)
{
    testsupport::TempDir dir;
    auto monitor = MVRDirectoryMonitor::initWithDirectoryURL(foundation::URL::fileURLWithPath(dir.path().string(), true), [] {});
    ASSERT_TRUE(monitor->startMonitoring());
    int fd = monitor->fileDescriptor();
    ASSERT_EQ(dir.path().string(), linkTarget(fd));
    monitor.reset(); // the cancel handler runs later, on the monitor's queue
    EXPECT_TRUE(eventually([&] { return linkTarget(fd) != dir.path().string(); }));
}

TEST(MVRDirectoryMonitor, MissingDirectoryLeavesTheMonitorIdleWithAnError)
{
    testsupport::TempDir dir;
    auto monitor = MVRDirectoryMonitor::initWithDirectoryURL(foundation::URL::fileURLWithPath((dir / "gone").string(), true), [] {});
    foundation::ErrorPtr error;
    EXPECT_FALSE(monitor->startMonitoring(&error));
    ASSERT_NE(nullptr, error);
    EXPECT_TRUE(error->is(foundation::NSPOSIXErrorDomain, ENOENT));
    EXPECT_EQ(-1, monitor->fileDescriptor());
    EXPECT_EQ(nullptr, monitor->source());
}
