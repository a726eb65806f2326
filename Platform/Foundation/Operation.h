#pragma once
// Operations: a unit of work with the observable states "isReady", "isExecuting",
// "isFinished" and "isCancelled", dependencies and a completion block that runs once after the
// operation has finished (on a background queue). A synchronous operation overrides main();
// an asynchronous one overrides start() and isAsynchronous(), and reports its own executing
// and finished states (with their key-value notifications), either through setExecuting()/
// setFinished() or through its own overrides of isExecuting()/isFinished(). Thread-safe.

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Platform/Foundation/Observable.h"

namespace dispatch {
class Group;
}

namespace foundation {

class Operation;
using OperationPtr = std::shared_ptr<Operation>;

class Operation : public Observable, public std::enable_shared_from_this<Operation> {
public:
    ~Operation() override;

    // Runs main() between the executing and finished states. A cancelled operation finishes
    // without running main(); a finished one ignores the call. Starting an operation that is
    // executing or not ready throws Exception{NSInvalidArgumentException, ...}.
    virtual void start();
    virtual void main() { }
    // Marks the operation cancelled (it also becomes ready); the work itself looks at
    // isCancelled() to stop early.
    virtual void cancel();

    bool isCancelled() const;
    // Ready when every dependency has finished, or when cancelled.
    virtual bool isReady() const;
    virtual bool isExecuting() const;
    virtual bool isFinished() const;
    virtual bool isAsynchronous() const { return false; }
    bool isConcurrent() const { return isAsynchronous(); }

    // The operation keeps its dependencies alive until it goes.
    void addDependency(const OperationPtr& operation);
    void removeDependency(const OperationPtr& operation);
    std::vector<OperationPtr> dependencies() const;

    std::function<void()> completionBlock() const;
    // Runs once, after the operation has finished; released afterwards.
    virtual void setCompletionBlock(std::function<void()> block);

    // Waits until the operation has finished (not for its completion block).
    void waitUntilFinished();

    std::string name() const;
    void setName(std::string name);

    const KeyTable& observableKeys() const override;

protected:
    Operation();

    // The base class's own executing/finished flags, with their key-value notifications.
    void setExecuting(bool executing);
    void setFinished(bool finished);

private:
    void finishedDidChange();
    void readinessMayHaveChanged();

    mutable std::mutex m_mutex;
    bool m_cancelled = false;
    bool m_executing = false;
    bool m_finished = false;
    bool m_completionFired = false;
    std::string m_name;
    std::function<void()> m_completionBlock;
    std::vector<OperationPtr> m_dependencies;
    std::vector<std::pair<Operation*, Token>> m_dependencyTokens;
    Token m_finishedToken;
    std::shared_ptr<dispatch::Group> m_finishedGroup;
};

// An operation that runs one or more blocks, in the order they were added.
class BlockOperation : public Operation {
public:
    static std::shared_ptr<BlockOperation> blockOperationWithBlock(std::function<void()> block);
    static std::shared_ptr<BlockOperation> init();

    void addExecutionBlock(std::function<void()> block);
    std::vector<std::function<void()>> executionBlocks() const;

    void main() override;

protected:
    BlockOperation() = default;

private:
    mutable std::mutex m_blocksMutex;
    std::vector<std::function<void()>> m_blocks;
};

} // namespace foundation
