// Dispatch groups.

#include <condition_variable>
#include <mutex>
#include <vector>

#include "Platform/Dispatch/Group.h"
#include "Platform/Dispatch/Internal.h"

namespace dispatch {

struct Group::State {
    std::mutex mutex;
    std::condition_variable cv;
    long count = 0;
    std::vector<std::pair<QueuePtr, Block>> notifications;
};

Group::Group()
    : m_state(std::make_unique<State>())
{
}

Group::~Group() = default;

GroupPtr Group::make()
{
    return std::make_shared<Group>();
}

void Group::enter()
{
    std::lock_guard lock(m_state->mutex);
    ++m_state->count;
}

void Group::leave()
{
    std::vector<std::pair<QueuePtr, Block>> due;
    {
        std::lock_guard lock(m_state->mutex);
        if (m_state->count <= 0)
            detail::fatal("dispatch: Group::leave() without a matching enter()");
        if (--m_state->count > 0)
            return;
        due.swap(m_state->notifications);
        m_state->cv.notify_all();
    }
    for (auto& [queue, block] : due)
        queue->async(std::move(block));
}

void Group::async(const QueuePtr& queue, Block block)
{
    enter();
    queue->async([self = shared_from_this(), block = std::move(block)] {
        block();
        self->leave();
    });
}

void Group::notify(const QueuePtr& queue, Block block)
{
    {
        std::lock_guard lock(m_state->mutex);
        if (m_state->count > 0) {
            m_state->notifications.emplace_back(queue, std::move(block));
            return;
        }
    }
    queue->async(std::move(block));
}

bool Group::wait(double timeoutSeconds)
{
    detail::BlockingScope blocking;
    std::unique_lock lock(m_state->mutex);
    return detail::waitFor(m_state->cv, lock, timeoutSeconds, [this] { return m_state->count == 0; });
}

void Group::wait()
{
    detail::BlockingScope blocking;
    std::unique_lock lock(m_state->mutex);
    m_state->cv.wait(lock, [this] { return m_state->count == 0; });
}

} // namespace dispatch
