// Event delivery shared by timer and file-system sources.

#include <mutex>
#include <vector>

#include "Platform/Dispatch/Internal.h"
#include "Platform/Dispatch/Source.h"

namespace dispatch {

struct Source::State {
    std::mutex mutex;
    Block handler;
    Block cancelHandler;
    Merge merge = Merge::Add;
    std::uint64_t pending = 0;
    std::vector<std::function<void()>> pendingDone;
    std::uint64_t currentData = 0;
    int suspendCount = 1;
    bool cancelled = false;
    bool deliveryScheduled = false; // a delivery is queued or its handler runs
    bool cancelDispatched = false;
};

namespace {

void callAll(std::vector<std::function<void()>>& blocks)
{
    for (auto& block : blocks)
        block();
    blocks.clear();
}

} // namespace

Source::Source(QueuePtr queue, Merge merge)
    : m_queue(std::move(queue))
    , m_state(std::make_unique<State>())
{
    m_state->merge = merge;
}

Source::~Source() = default;

void Source::setEventHandler(Block handler)
{
    std::lock_guard lock(m_state->mutex);
    if (!m_state->cancelled)
        m_state->handler = std::move(handler);
}

void Source::setCancelHandler(Block handler)
{
    std::lock_guard lock(m_state->mutex);
    if (!m_state->cancelDispatched)
        m_state->cancelHandler = std::move(handler);
}

void Source::resume()
{
    std::lock_guard lock(m_state->mutex);
    if (m_state->suspendCount == 0)
        detail::fatal("dispatch: Source::resume() without a matching suspend()");
    if (--m_state->suspendCount == 0 && m_state->pending && !m_state->deliveryScheduled && !m_state->cancelled)
        scheduleDeliveryLocked();
}

void Source::suspend()
{
    std::lock_guard lock(m_state->mutex);
    ++m_state->suspendCount;
}

bool Source::isCancelled() const
{
    std::lock_guard lock(m_state->mutex);
    return m_state->cancelled;
}

std::uint64_t Source::data() const
{
    std::lock_guard lock(m_state->mutex);
    return m_state->currentData;
}

void Source::cancel()
{
    {
        std::lock_guard lock(m_state->mutex);
        if (m_state->cancelled)
            return;
        m_state->cancelled = true;
    }
    stopProducing();
    std::vector<std::function<void()>> done;
    {
        std::lock_guard lock(m_state->mutex);
        done.swap(m_state->pendingDone);
        m_state->pending = 0;
        // With a delivery in flight, it dispatches the cancel handler once its handler is done,
        // so the two never overlap. A suspended source is cancelled all the same: its owner
        // relies on the cancel handler to release what the source used.
        if (!m_state->deliveryScheduled)
            dispatchCancelLocked();
    }
    callAll(done);
}

void Source::mergeEvent(std::uint64_t value, std::function<void()> whenHandled)
{
    std::vector<std::function<void()>> doneNow;
    {
        std::lock_guard lock(m_state->mutex);
        if (m_state->cancelled) {
            if (whenHandled)
                doneNow.push_back(std::move(whenHandled));
        } else {
            if (m_state->merge == Merge::Add)
                m_state->pending += value;
            else
                m_state->pending |= value;
            // A suspended source delivers only on resume: nobody waits for that.
            if (whenHandled) {
                if (m_state->suspendCount > 0)
                    doneNow.push_back(std::move(whenHandled));
                else
                    m_state->pendingDone.push_back(std::move(whenHandled));
            }
            if (m_state->suspendCount == 0 && !m_state->deliveryScheduled && m_state->pending)
                scheduleDeliveryLocked();
        }
    }
    callAll(doneNow);
}

void Source::scheduleDeliveryLocked()
{
    m_state->deliveryScheduled = true;
    m_queue->async([self = shared_from_this()] { self->deliver(); });
}

void Source::dispatchCancelLocked()
{
    if (m_state->cancelDispatched)
        return;
    m_state->cancelDispatched = true;
    m_queue->async([self = shared_from_this()] { self->runCancelHandler(); });
}

void Source::deliver()
{
    std::vector<std::function<void()>> done;
    Block handler;
    bool runsHandler = false;
    {
        std::lock_guard lock(m_state->mutex);
        done.swap(m_state->pendingDone);
        if (m_state->cancelled || m_state->suspendCount > 0 || m_state->pending == 0) {
            m_state->deliveryScheduled = false;
            if (m_state->cancelled)
                dispatchCancelLocked();
        } else {
            m_state->currentData = m_state->pending;
            m_state->pending = 0;
            handler = m_state->handler;
            runsHandler = true;
        }
    }
    if (runsHandler && handler)
        handler();
    callAll(done);
    if (!runsHandler)
        return;
    std::lock_guard lock(m_state->mutex);
    m_state->currentData = 0;
    m_state->deliveryScheduled = false;
    if (m_state->cancelled)
        dispatchCancelLocked();
    else if (m_state->pending && m_state->suspendCount == 0)
        scheduleDeliveryLocked();
}

void Source::runCancelHandler()
{
    Block cancelHandler;
    Block handler;
    {
        std::lock_guard lock(m_state->mutex);
        cancelHandler = std::move(m_state->cancelHandler);
        // Handlers often hold the source itself; dropping them here ends that cycle.
        handler = std::move(m_state->handler);
        m_state->cancelHandler = nullptr;
        m_state->handler = nullptr;
    }
    if (cancelHandler)
        cancelHandler();
}

} // namespace dispatch
