#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Platform/Dispatch/RunLoop.h"
#include "Platform/Foundation/Error.h"
#include "Platform/Foundation/Operation.h"
#include "Platform/Foundation/OperationQueue.h"

using namespace foundation;

namespace {

constexpr double Timeout = 10;

bool eventually(const std::function<bool()>& predicate)
{
    return dispatch::RunLoop::main().runUntil(predicate, Timeout);
}

// Records the key-value notifications of the standard keys, in order.
struct StateLog {
    explicit StateLog(Operation& op)
    {
        for (const char* key : {"isExecuting", "isFinished", "isCancelled", "isReady"}) {
            tokens.push_back(op.addObserver(key, KeyValueObservingOptionNew, [this, key](const KeyValueChange& c) {
                std::lock_guard lock(mutex);
                const bool* value = c.newAs<bool>();
                entries.push_back(std::string(key) + "=" + (value && *value ? "true" : "false"));
            }));
        }
    }
    std::vector<std::string> get()
    {
        std::lock_guard lock(mutex);
        return entries;
    }
    std::mutex mutex;
    std::vector<std::string> entries;
    std::vector<Observable::Token> tokens;
};

// An asynchronous operation that finishes when told to, possibly from another thread.
class ManualOperation : public Operation {
public:
    static std::shared_ptr<ManualOperation> make()
    {
        struct Enabler : ManualOperation { };
        return std::make_shared<Enabler>();
    }
    bool isAsynchronous() const override { return true; }
    void start() override
    {
        started = true;
        setExecuting(true);
    }
    void finish()
    {
        willChange("isExecuting");
        willChange("isFinished");
        setExecuting(false);
        setFinished(true);
        didChange("isFinished");
        didChange("isExecuting");
    }
    std::atomic<bool> started{false};

protected:
    ManualOperation() = default;
};

} // namespace

TEST(Operation, StartRunsMainBetweenExecutingAndFinishedAndTheCompletionBlockOnce)
{
    int mainRuns = 0;
    auto op = BlockOperation::blockOperationWithBlock([&] { ++mainRuns; });
    op->addExecutionBlock([&] { ++mainRuns; });
    std::atomic<int> completions{0};
    op->setCompletionBlock([&] { ++completions; });
    StateLog log(*op);
    EXPECT_TRUE(op->isReady());
    op->start();
    EXPECT_EQ(mainRuns, 2);
    EXPECT_TRUE(op->isFinished());
    EXPECT_FALSE(op->isExecuting());
    EXPECT_EQ(log.get(), (std::vector<std::string>{"isExecuting=true", "isFinished=true", "isExecuting=false"}));
    ASSERT_TRUE(eventually([&] { return completions == 1; }));
    EXPECT_EQ(op->completionBlock(), nullptr); // released once run

    op->start(); // finished: nothing happens again
    EXPECT_EQ(mainRuns, 2);
    EXPECT_THROW(op->addExecutionBlock([] { }), Exception);
}

TEST(Operation, AnAsynchronousOperationThatReportsFinishedTwiceCompletesOnce)
{
    auto op = ManualOperation::make();
    std::atomic<int> completions{0};
    op->setCompletionBlock([&] { ++completions; });
    op->start();
    EXPECT_TRUE(op->isExecuting());
    std::thread finisher([&] { op->finish(); });
    op->waitUntilFinished();
    finisher.join();
    op->finish();
    ASSERT_TRUE(eventually([&] { return completions >= 1; }));
    dispatch::RunLoop::main().runUntil([] { return false; }, 0.02);
    EXPECT_EQ(completions.load(), 1);
}

TEST(Operation, CancelledBeforeStartFinishesWithoutRunningMain)
{
    bool ran = false;
    auto op = BlockOperation::blockOperationWithBlock([&] { ran = true; });
    std::atomic<bool> completed{false};
    op->setCompletionBlock([&] { completed = true; });
    op->cancel();
    EXPECT_TRUE(op->isCancelled());
    op->start();
    EXPECT_FALSE(ran);
    EXPECT_TRUE(op->isFinished());
    EXPECT_TRUE(eventually([&] { return completed.load(); }));
}

TEST(Operation, DependenciesHoldBackReadinessUntilTheyFinishOrTheOperationIsCancelled)
{
    auto first = BlockOperation::blockOperationWithBlock([] { });
    auto second = BlockOperation::blockOperationWithBlock([] { });
    second->addDependency(first);
    second->addDependency(first); // once is enough
    EXPECT_EQ(second->dependencies().size(), 1u);
    EXPECT_FALSE(second->isReady());
    try {
        second->start();
        FAIL() << "starting an operation that is not ready must throw";
    } catch (const Exception& e) {
        EXPECT_EQ(e.name(), NSInvalidArgumentException);
    }

    StateLog log(*second);
    first->start();
    EXPECT_TRUE(second->isReady());
    EXPECT_EQ(log.get(), (std::vector<std::string>{"isReady=true"}));

    auto third = BlockOperation::blockOperationWithBlock([] { });
    auto blocker = ManualOperation::make();
    third->addDependency(blocker);
    EXPECT_FALSE(third->isReady());
    third->cancel();
    EXPECT_TRUE(third->isReady());
    third->removeDependency(blocker);
    EXPECT_TRUE(third->dependencies().empty());
}

TEST(OperationQueue, RunsOperationsOneAtATimeInOrderAndHonoursDependencies)
{
    auto queue = OperationQueue::init();
    queue->setMaxConcurrentOperationCount(1);
    std::mutex mutex;
    std::vector<std::string> order;
    std::atomic<int> running{0}, overlap{0};
    auto make = [&](std::string name) {
        return BlockOperation::blockOperationWithBlock([&, name] {
            if (running.fetch_add(1) != 0)
                ++overlap;
            {
                std::lock_guard lock(mutex);
                order.push_back(name);
            }
            --running;
        });
    };
    auto a = make("a"), b = make("b"), c = make("c"), d = make("d");
    b->addDependency(d); // b was added before d but needs it
    queue->addOperations({a, b, c}, false);
    queue->addOperation(d);
    queue->waitUntilAllOperationsAreFinished();
    EXPECT_EQ(overlap.load(), 0);
    EXPECT_EQ(order, (std::vector<std::string>{"a", "c", "d", "b"}));
    EXPECT_TRUE(eventually([&] { return queue->operationCount() == 0; }));
}

TEST(OperationQueue, AnAsynchronousOperationHoldsItsSlotUntilItFinishes)
{
    auto queue = OperationQueue::init();
    queue->setMaxConcurrentOperationCount(1);
    auto slow = ManualOperation::make();
    std::atomic<bool> nextRan{false};
    queue->addOperation(slow);
    queue->addOperationWithBlock([&] { nextRan = true; });
    ASSERT_TRUE(eventually([&] { return slow->started.load(); }));
    dispatch::RunLoop::main().runUntil([] { return false; }, 0.02);
    EXPECT_FALSE(nextRan);
    slow->finish();
    EXPECT_TRUE(eventually([&] { return nextRan.load(); }));
}

TEST(OperationQueue, SuspendingHoldsBackNewWorkAndCancellingAllSkipsWhatHasNotStarted)
{
    auto queue = OperationQueue::init();
    queue->setSuspended(true);
    std::atomic<int> ran{0};
    std::vector<OperationPtr> ops;
    for (int i = 0; i < 5; ++i)
        ops.push_back(BlockOperation::blockOperationWithBlock([&] { ++ran; }));
    queue->addOperations(ops, false);
    dispatch::RunLoop::main().runUntil([] { return false; }, 0.02);
    EXPECT_EQ(ran.load(), 0);
    EXPECT_EQ(queue->operationCount(), 5u);

    queue->cancelAllOperations();
    queue->setSuspended(false);
    queue->waitUntilAllOperationsAreFinished();
    EXPECT_EQ(ran.load(), 0);
    for (auto& op : ops)
        EXPECT_TRUE(op->isFinished() && op->isCancelled());
}

TEST(OperationQueue, RefusesOperationsThatAreQueuedRunningOrFinished)
{
    auto queue = OperationQueue::init();
    queue->setSuspended(true);
    auto op = BlockOperation::blockOperationWithBlock([] { });
    queue->addOperation(op);
    EXPECT_THROW(queue->addOperation(op), Exception);
    EXPECT_THROW(OperationQueue::init()->addOperation(op), Exception);

    auto done = BlockOperation::blockOperationWithBlock([] { });
    done->start();
    EXPECT_THROW(queue->addOperation(done), Exception);
    EXPECT_THROW(queue->addOperation(nullptr), Exception);
    queue->setSuspended(false);
    queue->waitUntilAllOperationsAreFinished();
}
