#pragma once
// Runs operations on the dispatch worker pool, at most maxConcurrentOperationCount at a time
// (-1: as many as the pool runs), starting each once it is ready, in the order added.
// Finished operations leave the queue. Thread-safe.

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Platform/Foundation/Operation.h"

namespace foundation {

class OperationQueue;
using OperationQueuePtr = std::shared_ptr<OperationQueue>;

class OperationQueue : public std::enable_shared_from_this<OperationQueue> {
public:
    static constexpr long DefaultMaxConcurrentOperationCount = -1;

    static OperationQueuePtr init();
    ~OperationQueue();

    // Adding an operation that is already in a queue, executing or finished throws
    // Exception{NSInvalidArgumentException, ...}.
    void addOperation(const OperationPtr& operation);
    void addOperations(const std::vector<OperationPtr>& operations, bool waitUntilFinished);
    void addOperationWithBlock(std::function<void()> block);

    std::vector<OperationPtr> operations() const;
    std::size_t operationCount() const;

    long maxConcurrentOperationCount() const;
    void setMaxConcurrentOperationCount(long count);
    bool isSuspended() const;
    // A suspended queue starts nothing new; running operations go on.
    void setSuspended(bool suspended);
    std::string name() const;
    void setName(std::string name);

    void cancelAllOperations();
    void waitUntilAllOperationsAreFinished();

    struct State;
    OperationQueue();

private:
    void pump();
    void operationFinished(Operation* operation);

    std::shared_ptr<State> m_state;
};

} // namespace foundation
