// Operations and block operations.

#include <algorithm>

#include "Platform/Dispatch/Group.h"
#include "Platform/Dispatch/Queue.h"
#include "Platform/Foundation/Error.h"
#include "Platform/Foundation/Operation.h"

namespace foundation {

Operation::Operation()
    : m_finishedGroup(dispatch::Group::make())
{
    m_finishedGroup->enter();
    // Subclasses may keep their own state and only post "isFinished": watching our own key is
    // how the completion block, waiters and dependents learn of the end in every case.
    m_finishedToken = addObserver("isFinished", 0, [this](const KeyValueChange&) { finishedDidChange(); });
}

Operation::~Operation()
{
    m_finishedToken.remove();
    std::lock_guard lock(m_mutex);
    m_dependencyTokens.clear();
}

const KeyTable& Operation::observableKeys() const
{
    static const KeyTable table = [] {
        KeyTable t;
        t.key("isReady", &Operation::isReady);
        t.key("isExecuting", &Operation::isExecuting);
        t.key("isFinished", &Operation::isFinished);
        t.key("isCancelled", &Operation::isCancelled);
        t.key("isAsynchronous", &Operation::isAsynchronous);
        t.key("name", &Operation::name, &Operation::setName);
        return t;
    }();
    return table;
}

bool Operation::isCancelled() const
{
    std::lock_guard lock(m_mutex);
    return m_cancelled;
}

bool Operation::isExecuting() const
{
    std::lock_guard lock(m_mutex);
    return m_executing;
}

bool Operation::isFinished() const
{
    std::lock_guard lock(m_mutex);
    return m_finished;
}

bool Operation::isReady() const
{
    std::vector<OperationPtr> dependencies;
    {
        std::lock_guard lock(m_mutex);
        if (m_cancelled)
            return true;
        dependencies = m_dependencies;
    }
    return std::all_of(dependencies.begin(), dependencies.end(), [](const OperationPtr& d) { return d->isFinished(); });
}

void Operation::setExecuting(bool executing)
{
    willChange("isExecuting");
    {
        std::lock_guard lock(m_mutex);
        m_executing = executing;
    }
    didChange("isExecuting");
}

void Operation::setFinished(bool finished)
{
    willChange("isFinished");
    {
        std::lock_guard lock(m_mutex);
        m_finished = finished;
    }
    didChange("isFinished");
}

void Operation::start()
{
    if (isFinished())
        return;
    if (isExecuting())
        throw Exception(NSInvalidArgumentException, "*** -[Operation start]: receiver is already executing");
    if (isCancelled()) {
        setFinished(true);
        return;
    }
    if (!isReady())
        throw Exception(NSInvalidArgumentException, "*** -[Operation start]: receiver is not yet ready to execute");
    setExecuting(true);
    main();
    willChange("isExecuting");
    willChange("isFinished");
    {
        std::lock_guard lock(m_mutex);
        m_executing = false;
        m_finished = true;
    }
    didChange("isFinished");
    didChange("isExecuting");
}

void Operation::cancel()
{
    {
        std::lock_guard lock(m_mutex);
        if (m_cancelled)
            return;
    }
    const bool wasReady = isReady();
    willChange("isCancelled");
    if (!wasReady)
        willChange("isReady");
    {
        std::lock_guard lock(m_mutex);
        m_cancelled = true;
    }
    if (!wasReady)
        didChange("isReady");
    didChange("isCancelled");
}

void Operation::addDependency(const OperationPtr& operation)
{
    if (!operation || operation.get() == this)
        return;
    {
        std::lock_guard lock(m_mutex);
        if (std::find(m_dependencies.begin(), m_dependencies.end(), operation) != m_dependencies.end())
            return;
    }
    willChange("isReady");
    // The token lives in this operation and goes with it, so the handler may use `this`.
    Token token = operation->addObserver("isFinished", 0, [this](const KeyValueChange&) { readinessMayHaveChanged(); });
    {
        std::lock_guard lock(m_mutex);
        m_dependencies.push_back(operation);
        m_dependencyTokens.emplace_back(operation.get(), std::move(token));
    }
    didChange("isReady");
}

void Operation::removeDependency(const OperationPtr& operation)
{
    Token removed;
    {
        std::lock_guard lock(m_mutex);
        auto it = std::find(m_dependencies.begin(), m_dependencies.end(), operation);
        if (it == m_dependencies.end())
            return;
        m_dependencies.erase(it);
        for (auto t = m_dependencyTokens.begin(); t != m_dependencyTokens.end(); ++t) {
            if (t->first == operation.get()) {
                removed = std::move(t->second);
                m_dependencyTokens.erase(t);
                break;
            }
        }
    }
    removed.remove();
    readinessMayHaveChanged();
}

std::vector<OperationPtr> Operation::dependencies() const
{
    std::lock_guard lock(m_mutex);
    return m_dependencies;
}

void Operation::readinessMayHaveChanged()
{
    willChange("isReady");
    didChange("isReady");
}

std::function<void()> Operation::completionBlock() const
{
    std::lock_guard lock(m_mutex);
    return m_completionBlock;
}

void Operation::setCompletionBlock(std::function<void()> block)
{
    std::lock_guard lock(m_mutex);
    m_completionBlock = std::move(block);
}

void Operation::finishedDidChange()
{
    if (!isFinished())
        return;
    std::function<void()> completion;
    {
        std::lock_guard lock(m_mutex);
        if (m_completionFired)
            return;
        m_completionFired = true;
        // Released once taken: a block that holds the operation would otherwise keep it alive.
        completion = std::move(m_completionBlock);
        m_completionBlock = nullptr;
    }
    m_finishedGroup->leave();
    if (!completion)
        return;
    if (auto self = weak_from_this().lock())
        dispatch::Queue::global()->async([self, completion = std::move(completion)] { completion(); });
    else
        dispatch::Queue::global()->async(std::move(completion));
}

void Operation::waitUntilFinished()
{
    m_finishedGroup->wait();
}

std::string Operation::name() const
{
    std::lock_guard lock(m_mutex);
    return m_name;
}

void Operation::setName(std::string name)
{
    willChange("name");
    {
        std::lock_guard lock(m_mutex);
        m_name = std::move(name);
    }
    didChange("name");
}

// ---- BlockOperation -------------------------------------------------------------------------

std::shared_ptr<BlockOperation> BlockOperation::init()
{
    struct Enabler : BlockOperation { };
    return std::make_shared<Enabler>();
}

std::shared_ptr<BlockOperation> BlockOperation::blockOperationWithBlock(std::function<void()> block)
{
    auto operation = init();
    operation->addExecutionBlock(std::move(block));
    return operation;
}

void BlockOperation::addExecutionBlock(std::function<void()> block)
{
    if (!block)
        return;
    if (isExecuting() || isFinished())
        throw Exception(NSInvalidArgumentException,
                        "*** -[BlockOperation addExecutionBlock:]: blocks cannot be added after the operation has started executing or finished");
    std::lock_guard lock(m_blocksMutex);
    m_blocks.push_back(std::move(block));
}

std::vector<std::function<void()>> BlockOperation::executionBlocks() const
{
    std::lock_guard lock(m_blocksMutex);
    return m_blocks;
}

void BlockOperation::main()
{
    for (auto& block : executionBlocks())
        block();
}

} // namespace foundation
