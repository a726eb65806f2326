// Operation queues on the dispatch worker pool. All bookkeeping runs on one private serial
// queue, never inside an operation's own key-value notification (which may come while the
// operation holds its lock), so the queue and its operations can't deadlock on each other.

#include <algorithm>
#include <mutex>

#include "Platform/Dispatch/Group.h"
#include "Platform/Dispatch/Queue.h"
#include "Platform/Foundation/Error.h"
#include "Platform/Foundation/OperationQueue.h"

namespace foundation {

namespace {

struct Entry {
    OperationPtr operation;
    bool started = false;
    Observable::Token readyToken;
    Observable::Token finishedToken;
};

std::mutex g_enqueuedMutex;
// Operations in some queue, so that one is never added twice.
std::vector<const Operation*>& enqueued()
{
    static std::vector<const Operation*> list;
    return list;
}

} // namespace

struct OperationQueue::State {
    mutable std::mutex mutex;
    std::vector<std::shared_ptr<Entry>> entries;
    long maxConcurrent = DefaultMaxConcurrentOperationCount;
    bool suspended = false;
    std::string name;
    int running = 0;
    dispatch::QueuePtr control = dispatch::Queue::serial("com.movara.foundation.OperationQueue");
    std::shared_ptr<dispatch::Group> group = dispatch::Group::make();
};

OperationQueue::OperationQueue()
    : m_state(std::make_shared<State>())
{
}

OperationQueue::~OperationQueue()
{
    std::lock_guard lock(g_enqueuedMutex);
    std::lock_guard stateLock(m_state->mutex);
    for (auto& entry : m_state->entries)
        std::erase(enqueued(), entry->operation.get());
}

OperationQueuePtr OperationQueue::init()
{
    return std::make_shared<OperationQueue>();
}

void OperationQueue::addOperation(const OperationPtr& operation)
{
    if (!operation)
        throw Exception(NSInvalidArgumentException, "*** -[OperationQueue addOperation:]: operation is nil");
    if (operation->isExecuting() || operation->isFinished())
        throw Exception(NSInvalidArgumentException,
                        "*** -[OperationQueue addOperation:]: operation is finished or executing and cannot be enqueued");
    {
        std::lock_guard lock(g_enqueuedMutex);
        auto& list = enqueued();
        if (std::find(list.begin(), list.end(), operation.get()) != list.end())
            throw Exception(NSInvalidArgumentException,
                            "*** -[OperationQueue addOperation:]: operation is already enqueued on a queue");
        list.push_back(operation.get());
    }
    auto entry = std::make_shared<Entry>();
    entry->operation = operation;
    std::weak_ptr<OperationQueue> weak = weak_from_this();
    auto control = m_state->control;
    auto nudge = [weak, control] {
        control->async([weak] {
            if (auto queue = weak.lock())
                queue->pump();
        });
    };
    Operation* raw = operation.get();
    entry->readyToken = operation->addObserver("isReady", 0, [nudge](const KeyValueChange&) { nudge(); });
    entry->finishedToken = operation->addObserver("isFinished", 0, [weak, control, raw](const KeyValueChange&) {
        control->async([weak, raw] {
            if (auto queue = weak.lock())
                queue->operationFinished(raw);
        });
    });
    m_state->group->enter();
    {
        std::lock_guard lock(m_state->mutex);
        m_state->entries.push_back(entry);
    }
    // It may have finished (a cancel) before the observation began.
    if (operation->isFinished())
        control->async([weak, raw] {
            if (auto queue = weak.lock())
                queue->operationFinished(raw);
        });
    nudge();
}

void OperationQueue::addOperations(const std::vector<OperationPtr>& operations, bool waitUntilFinished)
{
    for (const auto& operation : operations)
        addOperation(operation);
    if (waitUntilFinished)
        for (const auto& operation : operations)
            operation->waitUntilFinished();
}

void OperationQueue::addOperationWithBlock(std::function<void()> block)
{
    addOperation(BlockOperation::blockOperationWithBlock(std::move(block)));
}

std::vector<OperationPtr> OperationQueue::operations() const
{
    std::lock_guard lock(m_state->mutex);
    std::vector<OperationPtr> result;
    for (auto& entry : m_state->entries)
        result.push_back(entry->operation);
    return result;
}

std::size_t OperationQueue::operationCount() const
{
    std::lock_guard lock(m_state->mutex);
    return m_state->entries.size();
}

long OperationQueue::maxConcurrentOperationCount() const
{
    std::lock_guard lock(m_state->mutex);
    return m_state->maxConcurrent;
}

void OperationQueue::setMaxConcurrentOperationCount(long count)
{
    {
        std::lock_guard lock(m_state->mutex);
        m_state->maxConcurrent = count < 0 ? DefaultMaxConcurrentOperationCount : count;
    }
    m_state->control->async([weak = weak_from_this()] {
        if (auto queue = weak.lock())
            queue->pump();
    });
}

bool OperationQueue::isSuspended() const
{
    std::lock_guard lock(m_state->mutex);
    return m_state->suspended;
}

void OperationQueue::setSuspended(bool suspended)
{
    {
        std::lock_guard lock(m_state->mutex);
        m_state->suspended = suspended;
    }
    m_state->control->async([weak = weak_from_this()] {
        if (auto queue = weak.lock())
            queue->pump();
    });
}

std::string OperationQueue::name() const
{
    std::lock_guard lock(m_state->mutex);
    return m_state->name;
}

void OperationQueue::setName(std::string name)
{
    std::lock_guard lock(m_state->mutex);
    m_state->name = std::move(name);
}

void OperationQueue::cancelAllOperations()
{
    for (auto& operation : operations())
        operation->cancel();
}

void OperationQueue::waitUntilAllOperationsAreFinished()
{
    m_state->group->wait();
}

// On the control queue.
void OperationQueue::pump()
{
    std::vector<std::shared_ptr<Entry>> candidates;
    long room;
    {
        std::lock_guard lock(m_state->mutex);
        if (m_state->suspended)
            return;
        room = m_state->maxConcurrent == DefaultMaxConcurrentOperationCount
            ? static_cast<long>(m_state->entries.size())
            : m_state->maxConcurrent - m_state->running;
        for (auto& entry : m_state->entries)
            if (!entry->started)
                candidates.push_back(entry);
    }
    // Readiness is asked without our lock: an operation answers under its own.
    for (auto& entry : candidates) {
        if (room <= 0)
            break;
        if (!entry->operation->isReady())
            continue;
        {
            std::lock_guard lock(m_state->mutex);
            entry->started = true;
            ++m_state->running;
        }
        --room;
        dispatch::Queue::global()->async([operation = entry->operation] { operation->start(); });
    }
}

// On the control queue.
void OperationQueue::operationFinished(Operation* operation)
{
    std::shared_ptr<Entry> entry;
    {
        std::lock_guard lock(m_state->mutex);
        auto it = std::find_if(m_state->entries.begin(), m_state->entries.end(),
                               [operation](const auto& e) { return e->operation.get() == operation; });
        if (it == m_state->entries.end() || !operation->isFinished())
            return;
        entry = *it;
        m_state->entries.erase(it);
        if (entry->started)
            --m_state->running;
    }
    {
        std::lock_guard lock(g_enqueuedMutex);
        std::erase(enqueued(), operation);
    }
    entry->readyToken.remove();
    entry->finishedToken.remove();
    m_state->group->leave();
    pump();
}

} // namespace foundation
