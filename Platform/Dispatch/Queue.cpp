// Queues on the shared worker pool. A serial queue drains its blocks in order on one worker at
// a time; a concurrent queue hands its blocks to the pool as they come, holding back behind a
// barrier; the main queue is a serial queue drained by the main run loop.

#include <array>
#include <condition_variable>
#include <deque>
#include <mutex>

#include "Platform/Dispatch/Clock.h"
#include "Platform/Dispatch/Internal.h"
#include "Platform/Dispatch/Queue.h"
#include "Platform/Dispatch/RunLoop.h"

namespace dispatch {

namespace {

// A caller waiting in sync until the queue lets its block run on the caller's thread.
struct SyncWaiter {
    std::mutex mutex;
    std::condition_variable cv;
    bool mayRun = false;
    bool done = false;

    void signal(bool& flag)
    {
        std::lock_guard lock(mutex);
        flag = true;
        cv.notify_all();
    }
    void waitFor(bool& flag)
    {
        detail::BlockingScope blocking;
        std::unique_lock lock(mutex);
        cv.wait(lock, [&] { return flag; });
    }
};

struct Item {
    Block block;
    bool barrier = false;
    std::shared_ptr<SyncWaiter> waiter;
};

// Serial queues run this many blocks before giving their worker back to the pool, so that one
// busy queue can't hold a worker for ever while others wait.
constexpr int DrainBatch = 16;

} // namespace

struct Queue::State {
    std::mutex mutex;
    std::deque<Item> items;
    bool active = false;         // serial: a drainer is queued or running, or a sync caller owns it
    int running = 0;             // concurrent: plain blocks running
    bool barrierRunning = false; // concurrent
};

struct QueueAccess {
    static QueuePtr make(Queue::Kind kind, std::string label, QoS qos)
    {
        struct Enabler : Queue {
            Enabler(Kind k, std::string l, QoS q) : Queue(k, std::move(l), q) { }
        };
        return std::make_shared<Enabler>(kind, std::move(label), qos);
    }

    // ---- serial ----

    static void scheduleDrain(Queue& q)
    {
        detail::poolSubmit(q.m_qos, [self = q.shared_from_this()] { drain(*self); });
    }

    static void drain(Queue& q)
    {
        for (int n = 0; n < DrainBatch; ++n) {
            Item item;
            {
                std::lock_guard lock(q.m_state->mutex);
                if (q.m_state->items.empty()) {
                    q.m_state->active = false;
                    return;
                }
                item = std::move(q.m_state->items.front());
                q.m_state->items.pop_front();
                if (item.waiter) {
                    // The queue passes to the sync caller, which gives it back when done.
                    item.waiter->signal(item.waiter->mayRun);
                    return;
                }
            }
            detail::ContextScope scope(&q, true);
            detail::invoke(item.block, q.m_label);
        }
        scheduleDrain(q);
    }

    static void releaseSerial(Queue& q)
    {
        std::lock_guard lock(q.m_state->mutex);
        if (q.m_state->items.empty())
            q.m_state->active = false;
        else
            scheduleDrain(q);
    }

    static void serialAsync(Queue& q, Block block)
    {
        std::lock_guard lock(q.m_state->mutex);
        q.m_state->items.push_back(Item{std::move(block), false, nullptr});
        if (!q.m_state->active) {
            q.m_state->active = true;
            scheduleDrain(q);
        }
    }

    static void serialSync(Queue& q, const Block& block)
    {
        if (detail::threadHoldsExclusively(&q))
            detail::fatal("dispatch: sync on queue \"" + q.m_label + "\" from a block of that queue would wait for itself");
        std::shared_ptr<SyncWaiter> waiter;
        {
            std::lock_guard lock(q.m_state->mutex);
            if (!q.m_state->active && q.m_state->items.empty()) {
                q.m_state->active = true;
            } else {
                waiter = std::make_shared<SyncWaiter>();
                q.m_state->items.push_back(Item{nullptr, false, waiter});
            }
        }
        if (waiter)
            waiter->waitFor(waiter->mayRun);
        {
            detail::ContextScope scope(&q, true);
            detail::invoke(block, q.m_label);
        }
        releaseSerial(q);
    }

    // ---- concurrent ----

    static void pumpLocked(Queue& q)
    {
        auto& s = *q.m_state;
        while (!s.items.empty() && !s.barrierRunning) {
            Item& front = s.items.front();
            if (front.barrier) {
                if (s.running > 0)
                    return;
                s.barrierRunning = true;
            } else {
                ++s.running;
            }
            Item item = std::move(front);
            s.items.pop_front();
            if (item.waiter) {
                item.waiter->signal(item.waiter->mayRun);
            } else {
                detail::poolSubmit(q.m_qos, [self = q.shared_from_this(), block = std::move(item.block),
                                             barrier = item.barrier] {
                    {
                        detail::ContextScope scope(self.get(), barrier);
                        detail::invoke(block, self->m_label);
                    }
                    finishConcurrent(*self, barrier);
                });
            }
        }
    }

    static void finishConcurrent(Queue& q, bool barrier)
    {
        std::lock_guard lock(q.m_state->mutex);
        if (barrier)
            q.m_state->barrierRunning = false;
        else
            --q.m_state->running;
        pumpLocked(q);
    }

    static void concurrentAsync(Queue& q, Block block, bool barrier)
    {
        std::lock_guard lock(q.m_state->mutex);
        q.m_state->items.push_back(Item{std::move(block), barrier, nullptr});
        pumpLocked(q);
    }

    static void concurrentSync(Queue& q, const Block& block, bool barrier)
    {
        if (detail::threadHoldsExclusively(&q) || (barrier && detail::threadRuns(&q)))
            detail::fatal("dispatch: sync on queue \"" + q.m_label + "\" from a block of that queue would wait for itself");
        std::shared_ptr<SyncWaiter> waiter;
        {
            std::lock_guard lock(q.m_state->mutex);
            auto& s = *q.m_state;
            if (!barrier && detail::threadRuns(&q)) {
                // Already inside a plain block of this queue: holding back behind a queued
                // barrier would wait for ourselves, so run now beside our own block.
                ++s.running;
            } else if (s.items.empty() && !s.barrierRunning && (!barrier || s.running == 0)) {
                if (barrier)
                    s.barrierRunning = true;
                else
                    ++s.running;
            } else {
                waiter = std::make_shared<SyncWaiter>();
                s.items.push_back(Item{nullptr, barrier, waiter});
            }
        }
        if (waiter)
            waiter->waitFor(waiter->mayRun);
        {
            detail::ContextScope scope(&q, barrier);
            detail::invoke(block, q.m_label);
        }
        finishConcurrent(q, barrier);
    }

    // ---- main ----

    static void mainSync(Queue& q, const Block& block)
    {
        if (RunLoop::isMainThread())
            detail::fatal("dispatch: sync on the main queue from the main thread would wait for itself");
        auto waiter = std::make_shared<SyncWaiter>();
        RunLoop::main().perform([&block, waiter, &q] {
            {
                detail::ContextScope scope(&q, true);
                detail::invoke(block, q.m_label);
            }
            waiter->signal(waiter->done);
        });
        waiter->waitFor(waiter->done);
    }
};

Queue::Queue(Kind kind, std::string label, QoS qos)
    : m_kind(kind)
    , m_label(std::move(label))
    , m_qos(qos)
    , m_state(std::make_unique<State>())
{
}

Queue::~Queue() = default;

QueuePtr Queue::main()
{
    static detail::NeverDestroyed<QueuePtr> queue(QueueAccess::make(Kind::Main, "com.apple.main-thread", QoS::UserInteractive));
    return queue.get();
}

QueuePtr Queue::global(QoS qos)
{
    static detail::NeverDestroyed<std::array<QueuePtr, 5>> queues(std::array<QueuePtr, 5>{
        QueueAccess::make(Kind::Global, "com.apple.root.background-qos", QoS::Background),
        QueueAccess::make(Kind::Global, "com.apple.root.utility-qos", QoS::Utility),
        QueueAccess::make(Kind::Global, "com.apple.root.default-qos", QoS::Default),
        QueueAccess::make(Kind::Global, "com.apple.root.user-initiated-qos", QoS::UserInitiated),
        QueueAccess::make(Kind::Global, "com.apple.root.user-interactive-qos", QoS::UserInteractive),
    });
    switch (qos) {
    case QoS::Background: return queues.get()[0];
    case QoS::Utility: return queues.get()[1];
    case QoS::Unspecified:
    case QoS::Default: return queues.get()[2];
    case QoS::UserInitiated: return queues.get()[3];
    case QoS::UserInteractive: return queues.get()[4];
    }
    return queues.get()[2];
}

QueuePtr Queue::serial(std::string label, QoS qos)
{
    return QueueAccess::make(Kind::Serial, std::move(label), qos);
}

QueuePtr Queue::concurrent(std::string label, QoS qos)
{
    return QueueAccess::make(Kind::Concurrent, std::move(label), qos);
}

void Queue::async(Block block)
{
    switch (m_kind) {
    case Kind::Main:
        RunLoop::main().perform([this, block = std::move(block)] {
            detail::ContextScope scope(this, true);
            detail::invoke(block, m_label);
        });
        return;
    case Kind::Global:
        detail::poolSubmit(m_qos, [this, block = std::move(block)] {
            detail::ContextScope scope(this, false);
            detail::invoke(block, m_label);
        });
        return;
    case Kind::Serial:
        QueueAccess::serialAsync(*this, std::move(block));
        return;
    case Kind::Concurrent:
        QueueAccess::concurrentAsync(*this, std::move(block), false);
        return;
    }
}

void Queue::sync(const Block& block)
{
    switch (m_kind) {
    case Kind::Main:
        QueueAccess::mainSync(*this, block);
        return;
    case Kind::Global: {
        detail::ContextScope scope(this, false);
        detail::invoke(block, m_label);
        return;
    }
    case Kind::Serial:
        QueueAccess::serialSync(*this, block);
        return;
    case Kind::Concurrent:
        QueueAccess::concurrentSync(*this, block, false);
        return;
    }
}

void Queue::barrierAsync(Block block)
{
    if (m_kind == Kind::Concurrent)
        QueueAccess::concurrentAsync(*this, std::move(block), true);
    else
        async(std::move(block));
}

void Queue::barrierSync(const Block& block)
{
    if (m_kind == Kind::Concurrent)
        QueueAccess::concurrentSync(*this, block, true);
    else
        sync(block);
}

void Queue::asyncAfter(double delaySeconds, Block block)
{
    // No delay means now, also in virtual time (where it would otherwise wait for advance()).
    if (!(delaySeconds > 0)) {
        async(std::move(block));
        return;
    }
    detail::Target target;
    target.queue = this;
    detail::schedule(Clock::now() + delaySeconds,
                     [self = shared_from_this(), block = std::move(block)](detail::Done done) {
                         self->async([block, done] {
                             block();
                             done();
                         });
                     },
                     target);
}

bool Queue::isCurrent() const
{
    if (m_kind == Kind::Main)
        return RunLoop::isMainThread();
    return detail::threadRuns(this);
}

std::string Queue::currentLabel()
{
    if (const Queue* q = detail::innermostQueue())
        return q->label();
    if (RunLoop::isMainThread())
        return main()->label();
    return {};
}

} // namespace dispatch
