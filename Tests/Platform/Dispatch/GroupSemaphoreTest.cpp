#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "Platform/Dispatch/Group.h"
#include "Platform/Dispatch/Once.h"
#include "Platform/Dispatch/Queue.h"
#include "Platform/Dispatch/RunLoop.h"
#include "Platform/Dispatch/Semaphore.h"

using namespace dispatch;

namespace {
constexpr double Timeout = 10;
}

TEST(Group, NotifyRunsOnceEverythingHasLeftAndAtOnceForAnEmptyGroup)
{
    auto group = Group::make();
    std::atomic<int> done{0};
    std::atomic<int> doneSeenByNotify{-1};
    auto q = Queue::concurrent("test.group");
    for (int i = 0; i < 20; ++i)
        group->async(q, [&] { ++done; });
    group->enter();
    group->notify(Queue::main(), [&] { doneSeenByNotify = done.load(); });
    // Still entered once by hand: nothing may be notified yet.
    EXPECT_FALSE(group->wait(0.01));
    RunLoop::main().runOnce();
    EXPECT_EQ(doneSeenByNotify.load(), -1);
    group->leave();
    EXPECT_TRUE(group->wait(Timeout));
    EXPECT_TRUE(RunLoop::main().runUntil([&] { return doneSeenByNotify != -1; }, Timeout));
    EXPECT_EQ(doneSeenByNotify.load(), 20);

    std::atomic<bool> emptyNotified{false};
    Group::make()->notify(Queue::global(), [&] { emptyNotified = true; });
    EXPECT_TRUE(RunLoop::main().runUntil([&] { return emptyNotified.load(); }, Timeout));
}

TEST(GroupDeathTest, LeavingMoreOftenThanEnteringStopsTheProcess)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(Group::make()->leave(), "without a matching enter");
}

TEST(Semaphore, CountsUnitsAndTimesOutWhenNoneCome)
{
    auto sem = Semaphore::make(2);
    EXPECT_TRUE(sem->wait(0));
    EXPECT_TRUE(sem->wait(0));
    EXPECT_FALSE(sem->wait(0.01));
    EXPECT_FALSE(sem->signal()); // nobody waiting
    EXPECT_TRUE(sem->wait(0));
    EXPECT_EQ(Semaphore::make(-1), nullptr);

    // A huge timeout is a long wait, not an overflow.
    std::thread t([&] { sem->signal(); });
    EXPECT_TRUE(sem->wait(1e300));
    t.join();
}

TEST(Semaphore, BoundsHowManyRunAtOnce)
{
    auto slots = Semaphore::make(2);
    auto q = Queue::concurrent("test.bounded");
    auto group = Group::make();
    std::atomic<int> running{0}, most{0};
    for (int i = 0; i < 16; ++i) {
        slots->wait();
        group->async(q, [&] {
            const int now = ++running;
            int seen = most.load();
            while (now > seen && !most.compare_exchange_weak(seen, now)) { }
            std::this_thread::yield();
            --running;
            slots->signal();
        });
    }
    ASSERT_TRUE(group->wait(Timeout));
    EXPECT_LE(most.load(), 2);
    EXPECT_GE(most.load(), 1);
}

TEST(Once, RunsTheBlockOnceForManyThreadsAndLaterCallersSeeItsEffect)
{
    OnceFlag flag;
    std::atomic<int> runs{0};
    int value = 0;
    std::vector<std::thread> threads;
    std::atomic<int> wrong{0};
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back([&] {
            once(flag, [&] {
                ++runs;
                value = 42;
            });
            if (value != 42)
                ++wrong;
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(runs.load(), 1);
    EXPECT_EQ(wrong.load(), 0);
}
