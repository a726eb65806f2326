// The worker pool, the per-thread queue context and small helpers of the dispatch layer.

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>
#include <unistd.h>
#include <vector>

#include "Platform/Dispatch/Internal.h"
#include "Platform/Dispatch/ProcessorCount.h"
#include "Platform/Dispatch/Queue.h"

namespace dispatch::detail {

void fatal(const std::string& message)
{
    std::fprintf(stderr, "%s\n", message.c_str());
    std::fflush(stderr);
    std::abort();
}

void invoke(const std::function<void()>& block, const std::string& label)
{
    if (!block)
        return;
    try {
        block();
    } catch (const std::exception& e) {
        fatal("dispatch: uncaught exception in a block on queue \"" + label + "\": " + e.what());
    } catch (...) {
        fatal("dispatch: uncaught exception in a block on queue \"" + label + "\"");
    }
}

// ---- queue context --------------------------------------------------------------------------

namespace {

struct Frame {
    const Queue* queue;
    bool exclusive;
};

thread_local std::vector<Frame> t_frames;

} // namespace

ContextScope::ContextScope(const Queue* queue, bool exclusive)
{
    t_frames.push_back({queue, exclusive});
}

ContextScope::~ContextScope()
{
    t_frames.pop_back();
}

bool threadHoldsExclusively(const Queue* queue)
{
    return std::any_of(t_frames.begin(), t_frames.end(),
                       [queue](const Frame& f) { return f.queue == queue && f.exclusive; });
}

bool threadRuns(const Queue* queue)
{
    return std::any_of(t_frames.begin(), t_frames.end(), [queue](const Frame& f) { return f.queue == queue; });
}

const Queue* innermostQueue()
{
    return t_frames.empty() ? nullptr : t_frames.back().queue;
}

// ---- pool -----------------------------------------------------------------------------------

namespace {

thread_local bool t_isWorker = false;
thread_local int t_blockingDepth = 0;

int laneFor(QoS qos)
{
    switch (qos) {
    case QoS::UserInteractive: return 0;
    case QoS::UserInitiated: return 1;
    case QoS::Unspecified:
    case QoS::Default: return 2;
    case QoS::Utility: return 3;
    case QoS::Background: return 4;
    }
    return 2;
}

class Pool {
public:
    Pool()
    {
        m_width = std::max(2u, activeProcessorCount());
        // Registered after the process's namespace-scope objects were made, so it runs before
        // they are destroyed (main() waits earlier, see waitForWorkersBeforeExit()).
        std::atexit(&Pool::processWillExit);
    }

    void submit(QoS qos, std::function<void()> job)
    {
        std::unique_lock lock(m_mutex);
        m_lanes[laneFor(qos)].push_back(std::move(job));
        ++m_queued;
        wakeOrGrowLocked();
    }

    void beginBlocking()
    {
        std::unique_lock lock(m_mutex);
        ++m_blocked;
        if (m_exitWaiters > 0)
            m_quiet.notify_all();
        if (m_queued > 0)
            wakeOrGrowLocked();
    }

    void endBlocking()
    {
        std::unique_lock lock(m_mutex);
        --m_blocked;
    }

    // Blocks still running at exit would go on against static objects being destroyed (an
    // asset read looking up its format keys, say), so the exit waits, a few seconds at most,
    // until nothing is queued and nothing runs. Workers that wait are not waited for: what
    // they wait for may never come now. The pool keeps working afterwards, for destructors that
    // still use queues.
    void waitUntilQuiet()
    {
        std::unique_lock lock(m_mutex);
        // A forked child has none of the workers its copy of the pool counts.
        if (::getpid() != m_pid)
            return;
        const unsigned self = t_isWorker && t_blockingDepth == 0 ? 1 : 0;
        ++m_exitWaiters;
        m_quiet.wait_for(lock, ExitGrace, [this, self] { return m_queued == 0 && runningLocked() <= self; });
        --m_exitWaiters;
    }

private:
    static void processWillExit();

    unsigned runningLocked() const { return m_threads - m_idle - m_blocked; }

    void wakeOrGrowLocked()
    {
        if (m_idle > 0) {
            m_cv.notify_one();
            return;
        }
        // Keep the machine's width of workers running. Stand-ins for blocked workers are
        // bounded so that a pile of blocked waiters can't exhaust the process's threads.
        if (runningLocked() >= m_width || m_threads >= m_width + MaxStandIns)
            return;
        ++m_threads;
        try {
            std::thread([this] { workerLoop(); }).detach();
        } catch (const std::exception&) {
            --m_threads;
            if (m_threads == 0)
                fatal("dispatch: could not start a worker thread");
        }
    }

    void workerLoop()
    {
        t_isWorker = true;
        std::unique_lock lock(m_mutex);
        for (;;) {
            if (m_queued == 0) {
                ++m_idle;
                if (m_exitWaiters > 0)
                    m_quiet.notify_all();
                // Stand-ins started while workers were blocked retire once idle.
                const bool retire = !m_cv.wait_for(lock, std::chrono::seconds(5), [this] { return m_queued > 0; })
                    && m_threads > m_width;
                --m_idle;
                if (retire) {
                    --m_threads;
                    return;
                }
                continue;
            }
            std::function<void()> job;
            for (auto& lane : m_lanes) {
                if (!lane.empty()) {
                    job = std::move(lane.front());
                    lane.pop_front();
                    break;
                }
            }
            --m_queued;
            lock.unlock();
            job();
            job = nullptr;
            lock.lock();
            if (m_exitWaiters > 0)
                m_quiet.notify_all();
            // Too many running since a blocked worker woke up again: this one steps back.
            if (runningLocked() > m_width && m_threads > m_width) {
                --m_threads;
                if (m_queued > 0 && m_idle > 0)
                    m_cv.notify_one();
                return;
            }
        }
    }

    static constexpr unsigned MaxStandIns = 256;
    static constexpr std::chrono::seconds ExitGrace {5};

    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::condition_variable m_quiet; // the exit waits on it for the pool to fall quiet
    const pid_t m_pid = ::getpid();
    unsigned m_exitWaiters = 0;
    std::array<std::deque<std::function<void()>>, 5> m_lanes;
    std::size_t m_queued = 0;
    unsigned m_width = 2;
    unsigned m_threads = 0;
    unsigned m_idle = 0;
    unsigned m_blocked = 0;
};

Pool& pool()
{
    static NeverDestroyed<Pool> instance;
    return instance.get();
}

void Pool::processWillExit()
{
    pool().waitUntilQuiet();
}

} // namespace

void poolSubmit(QoS qos, std::function<void()> job)
{
    pool().submit(qos, std::move(job));
}

BlockingScope::BlockingScope()
{
    // Only the outermost wait of a worker counts; nested waits are the same blocked worker.
    if (t_isWorker && t_blockingDepth++ == 0) {
        m_counted = true;
        pool().beginBlocking();
    } else if (t_isWorker) {
        m_counted = false;
    }
}

BlockingScope::~BlockingScope()
{
    if (!t_isWorker)
        return;
    --t_blockingDepth;
    if (m_counted)
        pool().endBlocking();
}

} // namespace dispatch::detail

void dispatch::waitForWorkersBeforeExit()
{
    detail::pool().waitUntilQuiet();
}
