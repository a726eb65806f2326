#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "Platform/Dispatch/Clock.h"
#include "Platform/Dispatch/Queue.h"
#include "Platform/Dispatch/RunLoop.h"
#include "Platform/Dispatch/Timer.h"

using namespace dispatch;

namespace {

constexpr double Timeout = 10;

class VirtualTime : public ::testing::Test {
protected:
    void SetUp() override { Clock::setVirtual(true); }
    void TearDown() override { Clock::setVirtual(false); }

    void record(const std::string& s)
    {
        std::lock_guard lock(m_mutex);
        m_log.push_back(s);
    }
    std::vector<std::string> log()
    {
        std::lock_guard lock(m_mutex);
        return m_log;
    }

private:
    std::mutex m_mutex;
    std::vector<std::string> m_log;
};

} // namespace

TEST_F(VirtualTime, AsyncAfterFiresInDeadlineOrderAcrossQueuesOnlyOnceDue)
{
    auto a = Queue::serial("test.a"), b = Queue::concurrent("test.b");
    a->asyncAfter(3, [&] { record("a3"); });
    b->asyncAfter(1, [&] { record("b1"); });
    Queue::main()->asyncAfter(2, [&] { record("main2"); });
    a->asyncAfter(1, [&] { record("a1"); });

    const double before = Clock::now();
    Clock::advance(0.9);
    EXPECT_TRUE(log().empty());
    Clock::advance(2.1);
    // advance returns once everything due has run, in deadline order (ties in submission order).
    EXPECT_EQ(log(), (std::vector<std::string>{"b1", "a1", "main2", "a3"}));
    EXPECT_DOUBLE_EQ(Clock::now() - before, 3.0);
}

TEST_F(VirtualTime, WallTimeMovesWithTheVirtualClock)
{
    const double wall = Clock::wallTime();
    Clock::advance(3600);
    EXPECT_NEAR(Clock::wallTime() - wall, 3600, 1e-6);
}

TEST_F(VirtualTime, RepeatingTimerFiresOncePerIntervalAndStopsWhenCancelled)
{
    auto q = Queue::serial("test.timer");
    auto timer = TimerSource::make(q);
    std::vector<std::uint64_t> data;
    std::atomic<int> cancels{0};
    timer->setEventHandler([&] { data.push_back(timer->data()); });
    timer->setCancelHandler([&] { ++cancels; });
    timer->setTimer(1, 1);
    timer->resume();

    Clock::advance(5.5);
    EXPECT_EQ(data, (std::vector<std::uint64_t>(5, 1)));

    timer->cancel();
    ASSERT_TRUE(RunLoop::main().runUntil([&] { return cancels == 1; }, Timeout));
    Clock::advance(5);
    q->sync([] { });
    EXPECT_EQ(data.size(), 5u);
    EXPECT_EQ(cancels.load(), 1);
}

TEST_F(VirtualTime, SettingATimerAgainReplacesItsScheduleAndZeroStartFiresAtOnce)
{
    auto timer = TimerSource::make(Queue::main());
    int fired = 0;
    timer->setEventHandler([&] { ++fired; });
    timer->resume();

    timer->setTimer(1);
    timer->setTimer(3); // the one-second firing is gone
    Clock::advance(2);
    EXPECT_EQ(fired, 0);
    Clock::advance(1);
    EXPECT_EQ(fired, 1);
    Clock::advance(10);
    EXPECT_EQ(fired, 1); // one-shot

    timer->setTimer(0);
    EXPECT_TRUE(RunLoop::main().runUntil([&] { return fired == 2; }, Timeout));
    timer->cancel();
}

TEST_F(VirtualTime, ASuspendedTimerMergesItsFiringsIntoOneCallOnResume)
{
    auto q = Queue::serial("test.suspended");
    auto timer = TimerSource::make(q);
    std::vector<std::uint64_t> data;
    timer->setEventHandler([&] { data.push_back(timer->data()); });
    timer->setTimer(1, 1);
    timer->resume();
    timer->suspend();
    Clock::advance(3);
    q->sync([] { });
    EXPECT_TRUE(data.empty());
    timer->resume();
    q->sync([] { }); // the merged delivery was queued by resume
    q->sync([] { });
    EXPECT_EQ(data, (std::vector<std::uint64_t>{3}));
    timer->cancel();
}

TEST_F(VirtualTime, CancelHandlerRunsOnceAfterTheRunningHandlerAndAlsoWhenSuspended)
{
    auto q = Queue::concurrent("test.cancel");
    std::vector<std::string> events;
    std::mutex mutex;
    auto note = [&](std::string s) {
        std::lock_guard lock(mutex);
        events.push_back(std::move(s));
    };

    auto timer = TimerSource::make(q);
    timer->setEventHandler([&] {
        note("handler begins");
        timer->cancel(); // from inside: the cancel handler must still come after us
        note("handler ends");
    });
    timer->setCancelHandler([&] { note("cancelled"); });
    timer->setTimer(1);
    timer->resume();
    Clock::advance(1);
    ASSERT_TRUE(RunLoop::main().runUntil([&] { std::lock_guard l(mutex); return events.size() == 3; }, Timeout));
    EXPECT_EQ(events, (std::vector<std::string>{"handler begins", "handler ends", "cancelled"}));

    // Never resumed: the cancel handler still runs, so whoever waits for it is not left hanging.
    auto idle = TimerSource::make(q);
    std::atomic<bool> idleCancelled{false};
    idle->setCancelHandler([&] { idleCancelled = true; });
    idle->cancel();
    EXPECT_TRUE(RunLoop::main().runUntil([&] { return idleCancelled.load(); }, Timeout));
    EXPECT_TRUE(idle->isCancelled());
}

TEST_F(VirtualTime, DroppingATimerStopsIt)
{
    std::atomic<int> fired{0};
    {
        auto timer = TimerSource::make(Queue::main());
        timer->setEventHandler([&] { ++fired; });
        timer->setTimer(1, 1);
        timer->resume();
    }
    Clock::advance(5);
    RunLoop::main().runOnce();
    EXPECT_EQ(fired.load(), 0);
}

TEST_F(VirtualTime, SwitchingBackToRealTimeKeepsWhatIsPending)
{
    std::atomic<bool> fired{false};
    Queue::global()->asyncAfter(0.05, [&] { fired = true; });
    Clock::advance(0.04);
    EXPECT_FALSE(fired);
    Clock::setVirtual(false);
    EXPECT_TRUE(RunLoop::main().runUntil([&] { return fired.load(); }, Timeout));
}

TEST(Clock, RealTimeTimersAndDelayedBlocksFire)
{
    ASSERT_FALSE(Clock::isVirtual());
    std::atomic<int> ticks{0};
    std::atomic<bool> delayed{false};
    auto timer = TimerSource::make(Queue::global());
    timer->setEventHandler([&] { ticks += static_cast<int>(timer->data()); });
    timer->setTimer(0.001, 0.001);
    timer->resume();
    Queue::global()->asyncAfter(0.001, [&] { delayed = true; });
    EXPECT_TRUE(RunLoop::main().runUntil([&] { return ticks >= 3 && delayed; }, Timeout));
    timer->cancel();
    const double a = Clock::now();
    EXPECT_LE(a, Clock::now());
}
