// Timer sources on the process clock.

#include <algorithm>
#include <cmath>
#include <mutex>

#include "Platform/Dispatch/Clock.h"
#include "Platform/Dispatch/Internal.h"
#include "Platform/Dispatch/Timer.h"

namespace dispatch {

struct TimerSource::Timing {
    std::mutex mutex;
    std::uint64_t generation = 0; // bumped by every setTimer, so stale firings are ignored
    detail::TimerId scheduled = 0;
    double deadline = 0;
    double interval = 0;
    bool stopped = false;
};

TimerSource::TimerSource(QueuePtr queue)
    : Source(std::move(queue), Merge::Add)
    , m_timing(std::make_unique<Timing>())
{
}

TimerSource::~TimerSource()
{
    stopProducing();
}

TimerSourcePtr TimerSource::make(QueuePtr queue)
{
    if (!queue)
        return nullptr;
    struct Enabler : TimerSource {
        explicit Enabler(QueuePtr q) : TimerSource(std::move(q)) { }
    };
    return std::make_shared<Enabler>(std::move(queue));
}

void TimerSource::setTimer(double startAfterSeconds, double intervalSeconds)
{
    bool fireNow = false;
    std::uint64_t generation;
    {
        std::lock_guard lock(m_timing->mutex);
        if (m_timing->stopped)
            return;
        generation = ++m_timing->generation;
        if (m_timing->scheduled) {
            detail::unschedule(m_timing->scheduled);
            m_timing->scheduled = 0;
        }
        m_timing->interval = std::isfinite(intervalSeconds) && intervalSeconds > 0 ? intervalSeconds : 0;
        const double start = std::isfinite(startAfterSeconds) ? std::max(0.0, startAfterSeconds) : -1;
        if (start < 0)
            return; // never: the timer stays unarmed
        m_timing->deadline = Clock::now() + start;
        if (start == 0)
            fireNow = true; // due at once, also in virtual time
        else
            arm(m_timing->deadline);
    }
    if (fireNow)
        fire(generation, {});
}

// Called with the timing lock held.
void TimerSource::arm(double deadline)
{
    detail::Target target;
    target.queue = queue().get();
    const std::uint64_t generation = m_timing->generation;
    std::weak_ptr<Source> weak = weak_from_this();
    m_timing->scheduled = detail::schedule(deadline,
                                           [weak, generation](detail::Done done) {
                                               if (auto self = std::static_pointer_cast<TimerSource>(weak.lock()))
                                                   self->fire(generation, std::move(done));
                                               else
                                                   done();
                                           },
                                           target);
}

void TimerSource::fire(std::uint64_t generation, std::function<void()> whenHandled)
{
    std::uint64_t count = 1;
    {
        std::lock_guard lock(m_timing->mutex);
        if (generation != m_timing->generation || m_timing->stopped) {
            if (whenHandled)
                whenHandled();
            return;
        }
        m_timing->scheduled = 0;
        if (m_timing->interval > 0) {
            // A late firing (a busy machine) counts the periods it missed instead of firing
            // each of them in a burst.
            const double now = Clock::now();
            double next = m_timing->deadline + m_timing->interval;
            if (next <= now) {
                const double missed = std::floor((now - next) / m_timing->interval) + 1;
                count += static_cast<std::uint64_t>(missed);
                next += missed * m_timing->interval;
            }
            m_timing->deadline = next;
            arm(next);
        }
    }
    mergeEvent(count, std::move(whenHandled));
}

void TimerSource::stopProducing()
{
    std::lock_guard lock(m_timing->mutex);
    m_timing->stopped = true;
    ++m_timing->generation;
    if (m_timing->scheduled) {
        detail::unschedule(m_timing->scheduled);
        m_timing->scheduled = 0;
    }
}

} // namespace dispatch
