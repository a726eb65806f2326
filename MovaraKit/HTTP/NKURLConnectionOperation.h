#pragma once
// An asynchronous operation that performs one URL request. Every such operation in the process
// runs its transfer on one shared network thread ("NetKit"), so it may be started from any
// thread without an operation queue. Its own state machine (NKOperationState) sits behind a
// recursive lock and reports the standard operation key paths; the completion block runs on
// `completionQueue` (the main queue when none) inside `completionGroup` (a process-wide group
// when none). Start and finish are announced on the main queue.

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "Platform/Dispatch/Group.h"
#include "Platform/Dispatch/Queue.h"
#include "Platform/Foundation/Error.h"
#include "Platform/Foundation/Operation.h"
#include "Platform/Foundation/Value.h"
#include "Platform/Net/HTTPURLResponse.h"
#include "Platform/Net/URLRequest.h"

namespace net {
class URLSessionTask;
}

enum NKOperationState : long {
    NKOperationPausedState = -1,
    NKOperationReadyState = 1,
    NKOperationExecutingState = 2,
    NKOperationFinishedState = 3,
};

extern const std::string NetKitOperationDidStartNotification;  // "com.wirefern.networking.operation.start"
extern const std::string NetKitOperationDidFinishNotification; // "com.wirefern.networking.operation.finish"

class NKURLConnectionOperation : public foundation::Operation {
public:
    static std::shared_ptr<NKURLConnectionOperation> initWithRequest(const net::URLRequest& request);
    ~NKURLConnectionOperation() override;

    void start() override;
    void cancel() override;
    bool isReady() const override;
    bool isExecuting() const override;
    bool isFinished() const override;
    bool isAsynchronous() const override { return true; }
    NKOperationState state() const;

    net::URLRequest request() const;
    std::optional<net::HTTPURLResponse> response() const;
    // The transfer's error, or the cancellation error.
    virtual foundation::ErrorPtr error() const;
    std::optional<foundation::Data> responseData() const;
    // The body decoded by the response's charset (UTF-8 when it names none or an unknown one).
    std::optional<std::string> responseString() const;

    dispatch::QueuePtr completionQueue() const;
    void setCompletionQueue(dispatch::QueuePtr queue);
    dispatch::GroupPtr completionGroup() const;
    void setCompletionGroup(dispatch::GroupPtr group);

    // Runs once, on the completion queue inside the completion group, after the end.
    void setCompletionBlock(std::function<void()> block) override;

    // The operation's state change rule: illegal changes are ignored without a word.
    void setState(NKOperationState state);

protected:
    explicit NKURLConnectionOperation(net::URLRequest request);
    std::recursive_mutex& lock() const { return m_lock; }

private:
    void operationDidStart();
    void cancelConnection();
    void finish();
    static const dispatch::QueuePtr& networkQueue();

    mutable std::recursive_mutex m_lock;
    NKOperationState m_state = NKOperationReadyState;
    net::URLRequest m_request;
    std::optional<net::HTTPURLResponse> m_response;
    foundation::ErrorPtr m_error;
    std::optional<foundation::Data> m_responseData;
    std::shared_ptr<net::URLSessionTask> m_task;
    dispatch::QueuePtr m_completionQueue;
    dispatch::GroupPtr m_completionGroup;
};
