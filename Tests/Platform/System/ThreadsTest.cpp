#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "Platform/System/AlternateSignalStack.h"
#include "Platform/System/SafeMemory.h"
#include "Platform/System/Threads.h"

namespace {

// Threads that wait on a condition until released, each recording its id.
struct Sleepers {
    std::mutex mutex;
    std::condition_variable wake;
    bool done = false;
    std::vector<sys::ThreadId> ids;
    std::vector<std::thread> threads;

    explicit Sleepers(int count)
    {
        for (int i = 0; i < count; ++i) {
            threads.emplace_back([this] {
                std::unique_lock lock(mutex);
                ids.push_back(sys::currentThreadId());
                wake.notify_all();
                wake.wait(lock, [this] { return done; });
            });
        }
        std::unique_lock lock(mutex);
        wake.wait(lock, [&] { return ids.size() == static_cast<std::size_t>(count); });
    }
    ~Sleepers()
    {
        {
            std::lock_guard lock(mutex);
            done = true;
        }
        wake.notify_all();
        for (auto& t : threads)
            t.join();
    }
};

} // namespace

TEST(Threads, ListingFindsEveryThreadOfTheProcess)
{
    Sleepers sleepers(3);
    sys::ThreadId ids[256];
    const long count = sys::listThreads(ids, 256);
    ASSERT_GE(count, 4);
    std::vector<sys::ThreadId> listed(ids, ids + std::min<long>(count, 256));
    EXPECT_NE(std::find(listed.begin(), listed.end(), sys::currentThreadId()), listed.end());
    for (auto id : sleepers.ids)
        EXPECT_NE(std::find(listed.begin(), listed.end(), id), listed.end());
    // A list too small still reports how many there are.
    sys::ThreadId one[1];
    EXPECT_EQ(sys::listThreads(one, 1), count);
}

TEST(Threads, SuspendedThreadsLeaveTheirRegistersAndGoOnAfterTheResume)
{
    ASSERT_TRUE(sys::installThreadSuspension());
    Sleepers sleepers(2);
    std::vector<sys::ThreadId> targets = sleepers.ids;
    targets.push_back(sys::currentThreadId()); // the caller is never stopped
    targets.push_back(999999);                 // a thread that does not exist answers nothing
    ASSERT_TRUE(sys::suspendThreads(targets.data(), targets.size(), 2000));
    EXPECT_FALSE(sys::suspendThreads(targets.data(), targets.size(), 10)); // one at a time
    for (auto id : sleepers.ids) {
        sys::MachineContext context;
        ASSERT_TRUE(sys::suspendedThreadContext(id, &context)) << id;
        EXPECT_NE(context.rip, 0u);
        EXPECT_NE(context.rsp, 0u);
        // The stack pointer lies on readable memory of that thread.
        EXPECT_EQ(sys::readablePrefix(context.rsp, 8), 8u);
    }
    sys::MachineContext unused;
    EXPECT_FALSE(sys::suspendedThreadContext(sys::currentThreadId(), &unused));
    EXPECT_FALSE(sys::suspendedThreadContext(999999, &unused));
    sys::resumeThreads();
    // Resumed threads finish normally (the destructor joins them).
}

TEST(Threads, AThreadThatBlocksTheSignalIsReportedAsUnanswered)
{
    ASSERT_TRUE(sys::installThreadSuspension());
    std::atomic<sys::ThreadId> id { 0 };
    std::atomic<bool> release { false };
    std::thread blocker([&] {
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, nullptr);
        id = sys::currentThreadId();
        while (!release)
            std::this_thread::yield();
    });
    while (id == 0)
        std::this_thread::yield();
    const sys::ThreadId target = id;
    ASSERT_TRUE(sys::suspendThreads(&target, 1, 50));
    sys::MachineContext context;
    EXPECT_FALSE(sys::suspendedThreadContext(target, &context));
    sys::resumeThreads();
    release = true;
    blocker.join();
}

TEST(Threads, AStoppedThreadGoesOnByItselfWhenNobodyResumesIt)
{
    // A suspender that crashes or hangs before resumeThreads() must not stop the others for ever.
    ASSERT_TRUE(sys::installThreadSuspension());
    std::atomic<sys::ThreadId> id { 0 };
    std::atomic<long> rounds { 0 };
    std::atomic<bool> stop { false };
    std::thread worker([&] {
        id = sys::currentThreadId();
        while (!stop)
            rounds.fetch_add(1);
    });
    while (id == 0)
        std::this_thread::yield();
    const sys::ThreadId target = id;
    ASSERT_TRUE(sys::suspendThreads(&target, 1, 2000, 20));
    sys::MachineContext context;
    EXPECT_TRUE(sys::suspendedThreadContext(target, &context));
    const long before = rounds.load();
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (rounds.load() == before && std::chrono::steady_clock::now() < giveUp)
        std::this_thread::yield();
    EXPECT_GT(rounds.load(), before) << "the stopped thread never went on";
    stop = true;
    worker.join();
    sys::resumeThreads();
}

TEST(AlternateSignalStack, NewThreadsGetOneOnceEnabled)
{
    sys::enableAlternateStacksForNewThreads();
    stack_t seen {};
    std::thread([&] { ::sigaltstack(nullptr, &seen); }).join();
    EXPECT_FALSE(seen.ss_flags & SS_DISABLE);
    // Ours, or a larger one a sanitizer's runtime gave the thread first.
    EXPECT_GE(seen.ss_size, sys::kAlternateSignalStackSize);
    // A thread that has one keeps it.
    std::thread([] {
        stack_t before {};
        ::sigaltstack(nullptr, &before);
        EXPECT_TRUE(sys::ensureAlternateSignalStack());
        stack_t after {};
        ::sigaltstack(nullptr, &after);
        EXPECT_EQ(before.ss_sp, after.ss_sp);
    }).join();
}

TEST(SafeMemory, ReadsOfUnmappedMemoryFailInsteadOfFaulting)
{
    char buffer[16];
    EXPECT_EQ(sys::readMemory(16, buffer, 8), sys::ReadResult::unmapped);
    EXPECT_EQ(sys::readMemory(UINT64_MAX - 2, buffer, 8), sys::ReadResult::wraps);
    const char text[] = "hello";
    ASSERT_EQ(sys::readMemory(reinterpret_cast<std::uint64_t>(text), buffer, 6), sys::ReadResult::ok);
    EXPECT_STREQ(buffer, "hello");
    EXPECT_EQ(sys::readablePrefix(16, 100), 0u);
}

TEST(AlternateSignalStack, ThreadsAlreadyRunningAreGivenOne)
{
    // Children of this test without the sanitizer's own stacks: a thread started before any stack
    // was handed out must have one afterwards.
    const pid_t pid = ::fork();
    if (pid == 0) {
        std::atomic<bool> go { false }, checked { false };
        std::atomic<bool> has { false };
        std::thread early([&] {
            stack_t off {};
            off.ss_flags = SS_DISABLE;
            ::sigaltstack(&off, nullptr); // as a thread made without one would be
            while (!go)
                std::this_thread::yield();
            stack_t now {};
            ::sigaltstack(nullptr, &now);
            has = !(now.ss_flags & SS_DISABLE) && now.ss_size == sys::kAlternateSignalStackSize;
            checked = true;
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        const int taken = sys::provideAlternateStacksToRunningThreads();
        go = true;
        early.join();
        ::_exit(taken >= 1 && has ? 0 : 1);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}
