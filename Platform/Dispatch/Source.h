#pragma once
// What timer and file-system event sources share: an event handler run on a target queue,
// never twice at once, with events that arrive meanwhile merged into one call (data() tells
// what was merged); suspend/resume; cancel with a cancel handler that runs once, after the last
// event handler. A source starts suspended; while resumed and not cancelled it keeps itself
// alive. Thread-safe.

#include <cstdint>
#include <functional>
#include <memory>

#include "Platform/Dispatch/Queue.h"

namespace dispatch {

class Source : public std::enable_shared_from_this<Source> {
public:
    virtual ~Source();
    Source(const Source&) = delete;
    Source& operator=(const Source&) = delete;

    void setEventHandler(Block handler);
    void setCancelHandler(Block handler);

    void resume();
    void suspend();
    // Stops events; the cancel handler runs on the queue after any running event handler.
    void cancel();
    bool isCancelled() const;

    // Inside the event handler: the merged events of this call (a count of firings for timers,
    // the event bits for file-system sources).
    std::uint64_t data() const;

    const QueuePtr& queue() const { return m_queue; }

    struct State;

protected:
    enum class Merge { Add, Or };
    Source(QueuePtr queue, Merge merge);

    // Called by the event producer. `whenHandled` runs after the handler call that consumes
    // this event (or at once if none will come).
    void mergeEvent(std::uint64_t value, std::function<void()> whenHandled = {});
    // Stops the event producer; after it returns the producer no longer touches the source's
    // resources.
    virtual void stopProducing() = 0;

private:
    void scheduleDeliveryLocked();
    void dispatchCancelLocked();
    void deliver();
    void runCancelHandler();

    QueuePtr m_queue;
    std::unique_ptr<State> m_state;
};

} // namespace dispatch
