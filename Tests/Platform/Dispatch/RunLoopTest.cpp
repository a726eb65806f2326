#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Platform/Dispatch/Clock.h"
#include "Platform/Dispatch/Queue.h"
#include "Platform/Dispatch/RunLoop.h"

using namespace dispatch;

namespace {
constexpr double Timeout = 10;
}

TEST(RunLoop, PerformRunsOnALaterTurnAndWhatATurnPerformsWaitsForTheNext)
{
    auto& loop = RunLoop::main();
    std::vector<std::string> log;
    int turns = 0;
    const auto observer = loop.addTurnObserver([&] {
        ++turns;
        log.push_back("turn end");
    });
    loop.perform([&] {
        log.push_back("first");
        loop.perform([&] { log.push_back("performed by first"); });
    });
    loop.perform([&] { log.push_back("second"); });
    EXPECT_TRUE(log.empty());
    ASSERT_TRUE(loop.runOnce());
    EXPECT_EQ(log, (std::vector<std::string>{"first", "second", "turn end"}));
    ASSERT_TRUE(loop.runOnce());
    EXPECT_EQ(log.back(), "turn end");
    EXPECT_EQ(log[log.size() - 2], "performed by first");
    EXPECT_EQ(turns, 2);

    loop.removeTurnObserver(observer);
    loop.perform([] { });
    loop.runOnce();
    EXPECT_EQ(turns, 2);
}

TEST(RunLoop, RunUntilGivesUpAfterItsTimeoutAndSeesPredicatesMadeTrueElsewhere)
{
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(RunLoop::main().runUntil([] { return false; }, 0.05));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));

    // Nothing is performed on the loop: the predicate alone has to be looked at again.
    std::atomic<bool> flag{false};
    std::thread setter([&] { flag = true; });
    EXPECT_TRUE(RunLoop::main().runUntil([&] { return flag.load(); }, Timeout));
    setter.join();
}

TEST(RunLoop, RunReturnsOnceStoppedFromAnotherThread)
{
    auto& loop = RunLoop::main();
    std::atomic<int> ran{0};
    loop.perform([&] { ++ran; });
    std::thread stopper([&] {
        Queue::main()->sync([&] { ++ran; });
        loop.stop();
    });
    loop.run();
    stopper.join();
    EXPECT_EQ(ran.load(), 2);
}

TEST(RunLoop, AThreadHasItsOwnLoopThatOthersCanPerformOn)
{
    RunLoop* threadLoop = nullptr;
    std::atomic<bool> ready{false};
    std::atomic<bool> ranOnThread{false};
    std::thread::id loopThread;
    std::thread t([&] {
        loopThread = std::this_thread::get_id();
        threadLoop = &RunLoop::current();
        EXPECT_NE(threadLoop, &RunLoop::main());
        EXPECT_FALSE(RunLoop::isMainThread());
        ready = true;
        threadLoop->run();
    });
    ASSERT_TRUE(RunLoop::main().runUntil([&] { return ready.load(); }, Timeout));
    EXPECT_FALSE(threadLoop->isCurrent());
    threadLoop->perform([&] {
        ranOnThread = std::this_thread::get_id() == loopThread;
        RunLoop::current().stop();
    });
    t.join();
    EXPECT_TRUE(ranOnThread);
    EXPECT_TRUE(RunLoop::isMainThread());
    EXPECT_EQ(&RunLoop::current(), &RunLoop::main());
}

class RunLoopVirtualTime : public ::testing::Test {
protected:
    void SetUp() override { Clock::setVirtual(true); }
    void TearDown() override { Clock::setVirtual(false); }
};

TEST_F(RunLoopVirtualTime, DelayedPerformsRunWhenDueUnlessCancelled)
{
    auto& loop = RunLoop::main();
    std::vector<std::string> log;
    loop.performAfter(2, [&] { log.push_back("two"); });
    auto cancelled = loop.performAfter(1, [&] { log.push_back("cancelled"); });
    loop.performAfter(1, [&] { log.push_back("one"); });
    cancelled.cancel();
    EXPECT_TRUE(cancelled.isCancelled());

    Clock::advance(0.5);
    loop.runOnce();
    EXPECT_TRUE(log.empty());
    Clock::advance(2);
    EXPECT_EQ(log, (std::vector<std::string>{"one", "two"}));
}

TEST_F(RunLoopVirtualTime, AZeroDelayMeansTheNextTurnEvenInVirtualTimeAndCanBeCancelled)
{
    auto& loop = RunLoop::main();
    int ran = 0;
    loop.performAfter(0, [&] { ++ran; });
    auto token = loop.performAfter(0, [&] { ran += 10; });
    token.cancel();
    EXPECT_TRUE(loop.runUntil([&] { return ran > 0; }, Timeout));
    loop.runOnce();
    EXPECT_EQ(ran, 1);
}

namespace {

// Another event loop on the thread, as a windowing system's: events to dispatch, and a wait
// that perform() must be able to end.
class FakeEventSource : public RunLoop::EventSource {
public:
    bool dispatchEvents(double waitSeconds) override
    {
        std::unique_lock lock(m_mutex);
        if (waitSeconds > 0 && m_pending == 0)
            m_cv.wait_for(lock, std::chrono::duration<double>(waitSeconds), [this] { return m_woken || m_pending > 0; });
        m_woken = false;
        const bool any = m_pending > 0;
        m_dispatched += m_pending;
        m_pending = 0;
        return any;
    }
    void wakeUp() override
    {
        std::lock_guard lock(m_mutex);
        m_woken = true;
        m_cv.notify_all();
    }
    void post()
    {
        std::lock_guard lock(m_mutex);
        ++m_pending;
        m_cv.notify_all();
    }
    int dispatched()
    {
        std::lock_guard lock(m_mutex);
        return m_dispatched;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    int m_pending = 0;
    int m_dispatched = 0;
    bool m_woken = false;
};

} // namespace

TEST(RunLoop, AnEventSourceSharesTheTurnsAndItsWaitsEndWithWorkOrAStop)
{
    auto& loop = RunLoop::main();
    FakeEventSource events;
    loop.setEventSource(&events);

    events.post();
    EXPECT_TRUE(loop.runOnce(0));
    EXPECT_EQ(events.dispatched(), 1);

    // A long wait is the source's, and a block performed from another thread ends it: the
    // block runs in that same turn.
    bool ran = false;
    const auto start = std::chrono::steady_clock::now();
    std::thread performer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        loop.perform([&] { ran = true; });
    });
    loop.runOnce(60);
    performer.join();
    EXPECT_TRUE(ran);
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 30);

    // An event that arrives during the wait is dispatched by it; stop() ends run() as well.
    std::thread poster([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        events.post();
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        loop.stop();
    });
    loop.run();
    poster.join();
    EXPECT_EQ(events.dispatched(), 2);

    loop.setEventSource(nullptr);
}
