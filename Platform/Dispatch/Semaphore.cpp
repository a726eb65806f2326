// Counting semaphores.

#include <condition_variable>
#include <mutex>

#include "Platform/Dispatch/Internal.h"
#include "Platform/Dispatch/Semaphore.h"

namespace dispatch {

struct Semaphore::State {
    std::mutex mutex;
    std::condition_variable cv;
    long value = 0;
    long waiters = 0;
};

Semaphore::Semaphore(long value)
    : m_state(std::make_unique<State>())
{
    m_state->value = value;
}

Semaphore::~Semaphore() = default;

SemaphorePtr Semaphore::make(long value)
{
    if (value < 0)
        return nullptr;
    return std::make_shared<Semaphore>(value);
}

bool Semaphore::signal()
{
    std::lock_guard lock(m_state->mutex);
    ++m_state->value;
    if (m_state->waiters > 0) {
        m_state->cv.notify_one();
        return true;
    }
    return false;
}

void Semaphore::wait()
{
    detail::BlockingScope blocking;
    std::unique_lock lock(m_state->mutex);
    ++m_state->waiters;
    m_state->cv.wait(lock, [this] { return m_state->value > 0; });
    --m_state->waiters;
    --m_state->value;
}

bool Semaphore::wait(double timeoutSeconds)
{
    detail::BlockingScope blocking;
    std::unique_lock lock(m_state->mutex);
    ++m_state->waiters;
    const bool got = detail::waitFor(m_state->cv, lock, timeoutSeconds, [this] { return m_state->value > 0; });
    --m_state->waiters;
    if (got)
        --m_state->value;
    return got;
}

} // namespace dispatch
