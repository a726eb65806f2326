#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Platform/Dispatch/Queue.h"
#include "Platform/Dispatch/RunLoop.h"
#include "Platform/Dispatch/Semaphore.h"

using namespace dispatch;

namespace {

constexpr double Timeout = 10;

// Long enough to live on the heap, like the media layer's format keys.
const std::string FormatKey = "CVImageBufferColorPrimaries";

// Blocks until `n` blocks submitted with `block` have run.
struct Latch {
    explicit Latch(long n) : count(n) { }
    // The waiter may destroy the latch as soon as the last signal lands.
    void arrive()
    {
        auto keep = sem;
        keep->signal();
    }
    bool wait()
    {
        for (long i = 0; i < count; ++i)
            if (!sem->wait(Timeout))
                return false;
        return true;
    }
    long count;
    SemaphorePtr sem = Semaphore::make(0);
};

} // namespace

TEST(Queue, SerialQueueRunsBlocksInOrderOneAtATime)
{
    auto q = Queue::serial("test.serial");
    std::vector<int> order;
    std::atomic<int> running{0};
    std::atomic<int> overlap{0};
    Latch latch(200);
    for (int i = 0; i < 200; ++i) {
        q->async([&, i] {
            if (running.fetch_add(1) != 0)
                ++overlap;
            order.push_back(i);
            running.fetch_sub(1);
            latch.arrive();
        });
    }
    ASSERT_TRUE(latch.wait());
    EXPECT_EQ(overlap.load(), 0);
    ASSERT_EQ(order.size(), 200u);
    for (int i = 0; i < 200; ++i)
        EXPECT_EQ(order[i], i);
}

TEST(Queue, SyncRunsAfterEarlierBlocksAndOnTheCallersThread)
{
    auto q = Queue::serial("test.sync");
    int value = 0;
    for (int i = 0; i < 50; ++i)
        q->async([&] { ++value; });
    std::thread::id ranOn;
    int seen = -1;
    q->sync([&] {
        seen = value;
        ranOn = std::this_thread::get_id();
    });
    EXPECT_EQ(seen, 50);
    EXPECT_EQ(ranOn, std::this_thread::get_id());
}

TEST(Queue, ConcurrentQueueRunsBlocksSideBySide)
{
    // Each block waits for the other: only parallel execution lets both finish.
    auto q = Queue::concurrent("test.concurrent");
    auto a = Semaphore::make(0), b = Semaphore::make(0);
    std::atomic<int> met{0};
    Latch latch(2);
    q->async([&] { a->signal(); if (b->wait(Timeout)) ++met; latch.arrive(); });
    q->async([&] { b->signal(); if (a->wait(Timeout)) ++met; latch.arrive(); });
    ASSERT_TRUE(latch.wait());
    EXPECT_EQ(met.load(), 2);
}

TEST(Queue, BarrierWaitsForEarlierBlocksRunsAloneAndHoldsBackLaterOnes)
{
    auto q = Queue::concurrent("test.barrier");
    std::atomic<int> running{0}, earlierDone{0}, laterStartedBeforeBarrierEnded{0};
    std::atomic<bool> barrierDone{false};
    int earlierSeenByBarrier = -1, runningSeenByBarrier = -1;
    Latch latch(21);
    for (int i = 0; i < 10; ++i) {
        q->async([&] {
            ++running;
            std::this_thread::yield();
            ++earlierDone;
            --running;
            latch.arrive();
        });
    }
    q->barrierAsync([&] {
        earlierSeenByBarrier = earlierDone.load();
        runningSeenByBarrier = running.load();
        barrierDone = true;
        latch.arrive();
    });
    for (int i = 0; i < 10; ++i) {
        q->async([&] {
            if (!barrierDone)
                ++laterStartedBeforeBarrierEnded;
            latch.arrive();
        });
    }
    ASSERT_TRUE(latch.wait());
    EXPECT_EQ(earlierSeenByBarrier, 10);
    EXPECT_EQ(runningSeenByBarrier, 0);
    EXPECT_EQ(laterStartedBeforeBarrierEnded.load(), 0);

    int seen = -1;
    q->async([&] { ++earlierDone; });
    q->barrierSync([&] { seen = earlierDone.load(); });
    EXPECT_EQ(seen, 11);
}

TEST(Queue, ReadsFromInsideABlockOfTheSameConcurrentQueueDoNotWaitBehindAQueuedBarrier)
{
    // A plain sync from inside the queue, with a barrier queued meanwhile, would otherwise wait
    // for the barrier, which waits for the block that is waiting.
    auto q = Queue::concurrent("test.reentrant");
    auto barrierQueued = Semaphore::make(0);
    std::atomic<bool> innerRan{false};
    Latch latch(2);
    q->async([&] {
        barrierQueued->wait(Timeout);
        q->sync([&] { innerRan = true; });
        latch.arrive();
    });
    q->barrierAsync([&] { latch.arrive(); });
    barrierQueued->signal();
    ASSERT_TRUE(latch.wait());
    EXPECT_TRUE(innerRan);
}

TEST(Queue, CurrentLabelAndIsCurrentFollowTheRunningBlock)
{
    auto a = Queue::serial("test.a");
    auto b = Queue::concurrent("test.b");
    std::string labelInA, labelInB;
    bool aCurrentInA = false, bCurrentInA = true, aCurrentInB = false, bCurrentInB = false;
    a->sync([&] {
        labelInA = Queue::currentLabel();
        aCurrentInA = a->isCurrent();
        bCurrentInA = b->isCurrent();
        b->sync([&] {
            labelInB = Queue::currentLabel();
            aCurrentInB = a->isCurrent();
            bCurrentInB = b->isCurrent();
        });
    });
    EXPECT_EQ(labelInA, "test.a");
    EXPECT_EQ(labelInB, "test.b");
    EXPECT_TRUE(aCurrentInA);
    EXPECT_FALSE(bCurrentInA);
    EXPECT_TRUE(aCurrentInB);
    EXPECT_TRUE(bCurrentInB);
    EXPECT_FALSE(a->isCurrent());
    EXPECT_TRUE(Queue::main()->isCurrent());
    EXPECT_EQ(Queue::currentLabel(), Queue::main()->label());
}

TEST(Queue, GlobalQueuesAreSharedPerClassOfService)
{
    EXPECT_EQ(Queue::global(QoS::Default), Queue::global());
    EXPECT_EQ(Queue::global(QoS::Unspecified), Queue::global(QoS::Default));
    EXPECT_NE(Queue::global(QoS::Background), Queue::global(QoS::UserInitiated));
    EXPECT_EQ(Queue::global(QoS::Utility)->qos(), QoS::Utility);
    EXPECT_EQ(Queue::global(QoS::Background)->kind(), Queue::Kind::Global);
}

TEST(Queue, MainQueueBlocksRunOnTheMainThreadWhenTheLoopTurns)
{
    std::atomic<bool> ran{false};
    bool onMain = false;
    Queue::global()->async([&] {
        Queue::main()->async([&] {
            onMain = RunLoop::isMainThread() && Queue::main()->isCurrent();
            ran = true;
        });
    });
    ASSERT_TRUE(RunLoop::main().runUntil([&] { return ran.load(); }, Timeout));
    EXPECT_TRUE(onMain);

    // A background thread's sync onto the main queue is served by the turning loop.
    std::atomic<bool> synced{false};
    std::thread worker([&] {
        Queue::main()->sync([] { });
        synced = true;
    });
    EXPECT_TRUE(RunLoop::main().runUntil([&] { return synced.load(); }, Timeout));
    worker.join();
}

TEST(Queue, BlockedWorkersDoNotStarveTheWorkThatReleasesThem)
{
    // More waiters than the machine has cores, released only by a block queued after them:
    // the pool must keep running work while its workers are blocked.
    const int waiters = static_cast<int>(std::max(4u, std::thread::hardware_concurrency() * 2));
    auto gate = Semaphore::make(0);
    std::atomic<int> released{0};
    Latch latch(waiters);
    for (int i = 0; i < waiters; ++i) {
        Queue::global()->async([&] {
            if (gate->wait(Timeout))
                ++released;
            latch.arrive();
        });
    }
    Queue::global(QoS::Background)->async([gate, waiters] {
        for (int i = 0; i < waiters; ++i)
            gate->signal();
    });
    ASSERT_TRUE(latch.wait());
    EXPECT_EQ(released.load(), waiters);
}

TEST(QueueDeathTest, WaitingForAQueueFromItsOwnExclusiveBlockStopsTheProcess)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const auto serialOnItself = [] {
        auto q = Queue::serial("test.self");
        q->sync([&] { q->sync([] { }); });
    };
    const auto barrierFromInside = [] {
        auto q = Queue::concurrent("test.inside");
        q->sync([&] { q->barrierSync([] { }); });
    };
    const auto plainFromBarrier = [] {
        auto q = Queue::concurrent("test.barrier-self");
        q->barrierSync([&] { q->sync([] { }); });
    };
    EXPECT_DEATH(serialOnItself(), "sync on queue \"test.self\"");
    EXPECT_DEATH(barrierFromInside(), "sync on queue \"test.inside\"");
    EXPECT_DEATH(plainFromBarrier(), "sync on queue \"test.barrier-self\"");
    EXPECT_DEATH(Queue::main()->sync([] { }), "main queue from the main thread");
}

TEST(Queue, WaitingForWorkersBeforeExitWaitsForRunningAndQueuedBlocks)
{
    auto started = Semaphore::make(0);
    std::atomic<int> finished {0};
    Queue::global()->async([&] {
        started->signal();
        std::this_thread::sleep_for(std::chrono::milliseconds(50)); // work that takes a while
        ++finished;
        Queue::global(QoS::Background)->async([&] { ++finished; });
    });
    ASSERT_TRUE(started->wait(Timeout));
    waitForWorkersBeforeExit();
    EXPECT_EQ(finished.load(), 2);
}

TEST(QueueDeathTest, ExitLetsRunningBlocksFinish)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // A block still reading when the process exits, as an asset read does after its player
    // went away, uses a namespace-scope string that the exit would otherwise destroy under it.
    const auto exitDuringABlock = [] {
        auto started = Semaphore::make(0);
        Queue::global()->async([started] {
            started->signal();
            std::this_thread::sleep_for(std::chrono::milliseconds(100)); // the read takes a while
            std::fprintf(stderr, "read %s\n", FormatKey.c_str());
        });
        if (started->wait(Timeout))
            std::exit(0);
        std::_Exit(4);
    };
    EXPECT_EXIT(exitDuringABlock(), testing::ExitedWithCode(0), "read CVImageBufferColorPrimaries");
}
