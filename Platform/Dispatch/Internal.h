#pragma once
// Machinery shared by the dispatch classes: the worker pool, the clock's scheduler and the
// per-thread record of which queue a thread is running. Not for use outside Platform/Dispatch.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <functional>
#include <new>
#include <string>
#include <utility>

#include "Platform/Dispatch/Queue.h"

namespace dispatch {
class RunLoop;
}

namespace dispatch::detail {

// Prints the message and aborts (the dispatch layer sits below foundation::fatal).
[[noreturn]] void fatal(const std::string& message);

// A process-wide object that is never destroyed, so worker threads still running at exit
// never meet a destroyed singleton.
template <class T> class NeverDestroyed {
public:
    template <class... Args> explicit NeverDestroyed(Args&&... args)
    {
        ::new (static_cast<void*>(m_storage)) T(std::forward<Args>(args)...);
    }
    T& get() { return *std::launder(reinterpret_cast<T*>(m_storage)); }
    T* operator->() { return &get(); }

private:
    alignas(T) unsigned char m_storage[sizeof(T)];
};

// Waits on `cv` for `pred` at most `seconds` (real time); a huge or infinite timeout waits for
// ever instead of overflowing the clock. Returns the predicate's value.
template <class Pred>
bool waitFor(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, double seconds, Pred pred)
{
    if (!(seconds < 1e7))
        return cv.wait(lock, pred), true;
    return cv.wait_for(lock, std::chrono::duration<double>(seconds > 0 ? seconds : 0.0), pred);
}

// ---- worker pool ----------------------------------------------------------------------------

// Runs `job` on the process's one worker pool; higher classes of service go first.
void poolSubmit(QoS qos, std::function<void()> job);

// Marks the calling thread as blocked while it lives. When a pool worker blocks, the pool may
// start a stand-in so that the machine's worth of workers keeps running (otherwise work that
// would release the waiter could starve behind it).
class BlockingScope {
public:
    BlockingScope();
    ~BlockingScope();
    BlockingScope(const BlockingScope&) = delete;
    BlockingScope& operator=(const BlockingScope&) = delete;

private:
    bool m_counted = false;
};

// ---- which queue the thread runs ------------------------------------------------------------

// Pushes a frame "this thread runs a block of `queue`"; `exclusive` when nothing else of the
// queue can run meanwhile (a serial queue's block or a barrier).
class ContextScope {
public:
    ContextScope(const Queue* queue, bool exclusive);
    ~ContextScope();
    ContextScope(const ContextScope&) = delete;
    ContextScope& operator=(const ContextScope&) = delete;
};

bool threadHoldsExclusively(const Queue* queue);
bool threadRuns(const Queue* queue);
const Queue* innermostQueue();

// Runs a block, turning an escaping exception into a clear fatal message instead of a bare
// terminate from deep inside a worker.
void invoke(const std::function<void()>& block, const std::string& queueLabel);

// ---- scheduler (the clock's timed work) -----------------------------------------------------

using Done = std::function<void()>;
// Fires a due entry: hands its work to a queue or run loop and calls `done` once that work ran.
using Fire = std::function<void(Done done)>;

// Where the fired work runs; lets Clock::advance decide whether and how to wait for it.
struct Target {
    const Queue* queue = nullptr;
    RunLoop* loop = nullptr;
};

using TimerId = std::uint64_t;
TimerId schedule(double deadline, Fire fire, Target target);
void unschedule(TimerId id);

} // namespace dispatch::detail
