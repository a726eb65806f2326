// The process clock and its scheduler: one thread fires timed work in real time; in virtual
// time nothing fires until Clock::advance moves the clock.

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "Platform/Dispatch/Clock.h"
#include "Platform/Dispatch/Internal.h"
#include "Platform/Dispatch/RunLoop.h"

namespace dispatch {

namespace {

double realNow()
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

double realWallTime()
{
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

// How long advance() waits for one fired block before it gives up on it and goes on.
constexpr double SettleTimeoutSeconds = 5.0;

class Scheduler {
public:
    double now()
    {
        std::lock_guard lock(m_mutex);
        return nowLocked();
    }

    double wallTime()
    {
        std::lock_guard lock(m_mutex);
        if (!m_virtual)
            return realWallTime();
        return m_wallAtSwitch + (m_virtualNow - m_virtualAtSwitch);
    }

    bool isVirtual()
    {
        std::lock_guard lock(m_mutex);
        return m_virtual;
    }

    void setVirtual(bool isVirtual)
    {
        std::lock_guard lock(m_mutex);
        if (isVirtual == m_virtual)
            return;
        const double real = realNow();
        if (isVirtual) {
            // Virtual time starts where real time stands, so pending deadlines keep their meaning.
            m_virtualNow = std::max(m_virtualNow, real);
            shiftLocked(m_virtualNow - real);
            m_virtualAtSwitch = m_virtualNow;
            m_wallAtSwitch = realWallTime();
        } else {
            shiftLocked(real - m_virtualNow);
        }
        m_virtual = isVirtual;
        m_cv.notify_all();
    }

    detail::TimerId schedule(double deadline, detail::Fire fire, detail::Target target)
    {
        std::lock_guard lock(m_mutex);
        startThreadLocked();
        const detail::TimerId id = ++m_nextId;
        const Key key{deadline, id};
        m_entries.emplace(key, Entry{std::move(fire), target});
        m_keys.emplace(id, key);
        if (m_entries.begin()->first == key)
            m_cv.notify_all();
        return id;
    }

    void unschedule(detail::TimerId id)
    {
        std::lock_guard lock(m_mutex);
        const auto it = m_keys.find(id);
        if (it == m_keys.end())
            return;
        m_entries.erase(it->second);
        m_keys.erase(it);
    }

    void advance(double seconds)
    {
        double target;
        {
            std::lock_guard lock(m_mutex);
            if (!m_virtual)
                return;
            target = m_virtualNow + std::max(0.0, seconds);
        }
        for (;;) {
            Entry entry;
            {
                std::lock_guard lock(m_mutex);
                if (!m_virtual)
                    return;
                if (m_entries.empty() || m_entries.begin()->first.deadline > target) {
                    m_virtualNow = std::max(m_virtualNow, target);
                    return;
                }
                auto first = m_entries.begin();
                m_virtualNow = std::max(m_virtualNow, first->first.deadline);
                entry = std::move(first->second);
                m_keys.erase(first->first.id);
                m_entries.erase(first);
            }
            fireAndSettle(entry);
        }
    }

private:
    struct Key {
        double deadline;
        detail::TimerId id;
        bool operator<(const Key& o) const { return deadline < o.deadline || (deadline == o.deadline && id < o.id); }
        bool operator==(const Key& o) const { return id == o.id; }
    };
    struct Entry {
        detail::Fire fire;
        detail::Target target;
    };

    double nowLocked() const { return m_virtual ? m_virtualNow : realNow(); }

    void shiftLocked(double delta)
    {
        if (delta == 0 || m_entries.empty())
            return;
        std::map<Key, Entry> shifted;
        for (auto& [key, entry] : m_entries) {
            const Key moved{key.deadline + delta, key.id};
            m_keys[key.id] = moved;
            shifted.emplace(moved, std::move(entry));
        }
        m_entries.swap(shifted);
    }

    void startThreadLocked()
    {
        if (m_threadStarted)
            return;
        m_threadStarted = true;
        std::thread([this] { threadLoop(); }).detach();
    }

    // Real time: hands due work to its queue or run loop as the deadlines pass.
    void threadLoop()
    {
        std::unique_lock lock(m_mutex);
        for (;;) {
            if (m_virtual || m_entries.empty()) {
                m_cv.wait(lock);
                continue;
            }
            const double deadline = m_entries.begin()->first.deadline;
            const double wait = deadline - realNow();
            if (wait > 0) {
                m_cv.wait_for(lock, std::chrono::duration<double>(std::min(wait, 3600.0)));
                continue;
            }
            auto first = m_entries.begin();
            Entry entry = std::move(first->second);
            m_keys.erase(first->first.id);
            m_entries.erase(first);
            lock.unlock();
            entry.fire([] { });
            entry = Entry{};
            lock.lock();
        }
    }

    // Virtual time: fires one entry and lets its work run before the next one fires, so that
    // what falls due runs in deadline order whatever queues it goes to.
    void fireAndSettle(Entry& entry)
    {
        struct Settled {
            std::mutex mutex;
            std::condition_variable cv;
            bool done = false;
        };
        auto settled = std::make_shared<Settled>();
        entry.fire([settled] {
            std::lock_guard lock(settled->mutex);
            settled->done = true;
            settled->cv.notify_all();
        });
        auto isDone = [settled] {
            std::lock_guard lock(settled->mutex);
            return settled->done;
        };
        // Work on a queue this thread is running can only start after we return.
        if (entry.target.queue && detail::threadHoldsExclusively(entry.target.queue))
            return;
        bool ok;
        if (RunLoop::isMainThread() || (entry.target.loop && entry.target.loop->isCurrent())) {
            ok = RunLoop::current().runUntil(isDone, SettleTimeoutSeconds);
        } else {
            detail::BlockingScope blocking;
            std::unique_lock lock(settled->mutex);
            ok = settled->cv.wait_for(lock, std::chrono::duration<double>(SettleTimeoutSeconds),
                                      [&] { return settled->done; });
        }
        if (!ok)
            std::fprintf(stderr, "dispatch: Clock::advance went on without waiting for a fired block "
                                 "that did not run within %.0f s\n", SettleTimeoutSeconds);
    }

    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::map<Key, Entry> m_entries;
    std::unordered_map<detail::TimerId, Key> m_keys;
    detail::TimerId m_nextId = 0;
    bool m_virtual = false;
    double m_virtualNow = 0;
    double m_virtualAtSwitch = 0;
    double m_wallAtSwitch = 0;
    bool m_threadStarted = false;
};

Scheduler& scheduler()
{
    static detail::NeverDestroyed<Scheduler> instance;
    return instance.get();
}

} // namespace

double Clock::now()
{
    return scheduler().now();
}

double Clock::wallTime()
{
    return scheduler().wallTime();
}

void Clock::setVirtual(bool isVirtual)
{
    scheduler().setVirtual(isVirtual);
}

bool Clock::isVirtual()
{
    return scheduler().isVirtual();
}

void Clock::advance(double seconds)
{
    scheduler().advance(seconds);
}

namespace detail {

TimerId schedule(double deadline, Fire fire, Target target)
{
    return scheduler().schedule(deadline, std::move(fire), target);
}

void unschedule(TimerId id)
{
    scheduler().unschedule(id);
}

} // namespace detail

} // namespace dispatch
