// Run loops: a queue of blocks per thread, run a turn at a time, with turn observers.

#include <algorithm>
#include <atomic>
#include <cmath>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <sys/syscall.h>
#include <unistd.h>

#include "Platform/Dispatch/Clock.h"
#include "Platform/Dispatch/Internal.h"
#include "Platform/Dispatch/RunLoop.h"

namespace dispatch {

namespace {

std::atomic<bool> g_mainBound{false};
std::atomic<std::thread::id> g_mainThread{};

// The process's initial thread is the one whose thread id equals the process id; this holds
// before anything touched the run loop, so no early worker can take the main thread's place.
bool isInitialThread()
{
    thread_local const bool initial = ::syscall(SYS_gettid) == ::getpid();
    return initial;
}

const std::string RunLoopLabel = "run loop";

} // namespace

struct RunLoop::State {
    std::mutex mutex;
    std::condition_variable cv;
    std::deque<Block> items;
    bool stopRequested = false;
    std::map<ObserverId, Block> observers;
    ObserverId nextObserverId = 0;
    std::thread::id owner = std::this_thread::get_id();
    std::atomic<EventSource*> eventSource{nullptr};
};

struct RunLoop::PerformToken::Impl {
    std::atomic<bool> cancelled{false};
    std::mutex mutex;
    detail::TimerId timer = 0;
};

void RunLoop::PerformToken::cancel()
{
    if (!m_impl)
        return;
    m_impl->cancelled = true;
    std::lock_guard lock(m_impl->mutex);
    if (m_impl->timer)
        detail::unschedule(m_impl->timer);
}

bool RunLoop::PerformToken::isCancelled() const
{
    return m_impl && m_impl->cancelled;
}

RunLoop::RunLoop()
    : m_state(std::make_unique<State>())
{
}

RunLoop::~RunLoop() = default;

RunLoop& RunLoop::main()
{
    static detail::NeverDestroyed<RunLoop> loop;
    return loop.get();
}

RunLoop& RunLoop::current()
{
    if (isMainThread())
        return main();
    thread_local std::unique_ptr<RunLoop> loop;
    if (!loop)
        loop = std::make_unique<RunLoop>();
    return *loop;
}

bool RunLoop::isMainThread()
{
    if (g_mainBound.load(std::memory_order_acquire))
        return std::this_thread::get_id() == g_mainThread.load(std::memory_order_acquire);
    return isInitialThread();
}

void RunLoop::bindToCurrentThread()
{
    if (this == &main()) {
        g_mainThread.store(std::this_thread::get_id(), std::memory_order_release);
        g_mainBound.store(true, std::memory_order_release);
    }
    std::lock_guard lock(m_state->mutex);
    m_state->owner = std::this_thread::get_id();
}

bool RunLoop::isCurrent() const
{
    if (this == &main())
        return isMainThread();
    std::lock_guard lock(m_state->mutex);
    return m_state->owner == std::this_thread::get_id();
}

void RunLoop::perform(Block block)
{
    {
        std::lock_guard lock(m_state->mutex);
        m_state->items.push_back(std::move(block));
        m_state->cv.notify_all();
    }
    if (EventSource* source = m_state->eventSource.load(std::memory_order_acquire))
        source->wakeUp();
}

void RunLoop::setEventSource(EventSource* source)
{
    m_state->eventSource.store(source, std::memory_order_release);
}

RunLoop::EventSource* RunLoop::eventSource() const
{
    return m_state->eventSource.load(std::memory_order_acquire);
}

RunLoop::PerformToken RunLoop::performAfter(double delaySeconds, Block block)
{
    auto impl = std::make_shared<PerformToken::Impl>();
    if (!(delaySeconds > 0)) {
        // No delay means the next turn, also in virtual time.
        perform([impl, block = std::move(block)] {
            if (!impl->cancelled)
                block();
        });
        return PerformToken(impl);
    }
    detail::Target target;
    target.loop = this;
    std::lock_guard lock(impl->mutex);
    impl->timer = detail::schedule(Clock::now() + delaySeconds,
                                   [this, impl, block = std::move(block)](detail::Done done) {
                                       perform([impl, block, done] {
                                           if (!impl->cancelled)
                                               block();
                                           done();
                                       });
                                   },
                                   target);
    return PerformToken(impl);
}

bool RunLoop::runOnce(double timeoutSeconds)
{
    std::deque<Block> batch;
    bool dispatched = false;
    if (EventSource* source = m_state->eventSource.load(std::memory_order_acquire)) {
        bool idle = false;
        {
            std::lock_guard lock(m_state->mutex);
            idle = m_state->items.empty() && !m_state->stopRequested;
        }
        // A perform() after this look wakes the source's wait, so nothing is slept through.
        dispatched = source->dispatchEvents(idle ? timeoutSeconds : 0);
    }
    {
        std::unique_lock lock(m_state->mutex);
        if (m_state->items.empty() && timeoutSeconds > 0 && !dispatched && !m_state->eventSource.load()) {
            detail::waitFor(m_state->cv, lock, timeoutSeconds,
                            [this] { return !m_state->items.empty() || m_state->stopRequested; });
        }
        // Only what was performed before the turn began runs in it; the rest waits a turn.
        batch.swap(m_state->items);
    }
    for (auto& block : batch)
        detail::invoke(block, RunLoopLabel);
    std::map<ObserverId, Block> observers;
    {
        std::lock_guard lock(m_state->mutex);
        observers = m_state->observers;
    }
    for (auto& [id, observer] : observers)
        detail::invoke(observer, RunLoopLabel);
    return dispatched || !batch.empty();
}

void RunLoop::run()
{
    for (;;) {
        {
            std::lock_guard lock(m_state->mutex);
            if (m_state->stopRequested) {
                m_state->stopRequested = false;
                return;
            }
        }
        runOnce(3600);
    }
}

void RunLoop::stop()
{
    {
        std::lock_guard lock(m_state->mutex);
        m_state->stopRequested = true;
        m_state->cv.notify_all();
    }
    if (EventSource* source = m_state->eventSource.load(std::memory_order_acquire))
        source->wakeUp();
}

bool RunLoop::runUntil(const std::function<bool()>& predicate, double timeoutSeconds)
{
    using namespace std::chrono;
    // Bounded by design: an absurd timeout is held to a day.
    const double bounded = std::clamp(std::isnan(timeoutSeconds) ? 0.0 : timeoutSeconds, 0.0, 86400.0);
    const auto deadline = steady_clock::now() + duration_cast<steady_clock::duration>(duration<double>(bounded));
    // The predicate may be made true by another thread without anything performed here, so it
    // is looked at again every few milliseconds.
    constexpr double Slice = 0.002;
    for (;;) {
        if (predicate())
            return true;
        const double remaining = duration<double>(deadline - steady_clock::now()).count();
        if (remaining <= 0)
            return predicate();
        runOnce(std::min(remaining, Slice));
    }
}

RunLoop::ObserverId RunLoop::addTurnObserver(Block observer)
{
    std::lock_guard lock(m_state->mutex);
    const ObserverId id = ++m_state->nextObserverId;
    m_state->observers.emplace(id, std::move(observer));
    return id;
}

void RunLoop::removeTurnObserver(ObserverId id)
{
    std::lock_guard lock(m_state->mutex);
    m_state->observers.erase(id);
}

} // namespace dispatch
