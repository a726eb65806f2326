#pragma once
// URL sessions on libcurl. Each session runs all its transfers on one network thread of its
// own (a curl multi loop) and calls completion handlers on its delegate queue, never on the
// caller's thread. Tasks are made suspended; resume() starts them, cancel() ends them with
// the platform's "cancelled" error (-999). Failures are errors in the URL domain with the
// platform's codes (URLError.h). Every member may be called from any thread.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "Platform/Dispatch/Queue.h"
#include "Platform/Foundation/Error.h"
#include "Platform/Foundation/Value.h"
#include "Platform/Net/HTTPURLResponse.h"
#include "Platform/Net/URLRequest.h"

namespace net {

class URLSession;
struct URLSessionEngine;
struct NetworkLoop;

class URLSessionTask : public std::enable_shared_from_this<URLSessionTask> {
public:
    enum class State { Running = 0, Suspended = 1, Canceling = 2, Completed = 3 };
    // Data is the whole body; the response is none when no HTTP answer arrived.
    using CompletionHandler = std::function<void(const foundation::Data& data,
                                                 const std::optional<HTTPURLResponse>& response,
                                                 const foundation::ErrorPtr& error)>;

    virtual ~URLSessionTask();

    std::uint64_t taskIdentifier() const { return m_identifier; }
    const URLRequest& originalRequest() const { return m_request; }
    State state() const;
    std::optional<HTTPURLResponse> response() const;
    foundation::ErrorPtr error() const;
    std::int64_t countOfBytesReceived() const;

    // Starts a suspended task; any other state ignores the call.
    void resume();
    // Ends a task that has not completed with the cancelled error; completed tasks ignore it.
    void cancel();

protected:
    URLSessionTask(std::shared_ptr<URLSessionEngine> engine, std::uint64_t identifier, URLRequest request,
                   CompletionHandler handler);

private:
    friend struct URLSessionEngine;
    friend struct NetworkLoop;
    friend class URLSession;
    struct Transfer;

    // Called once, on the network thread (or at cancel of a task that never ran).
    void complete(foundation::Data data, std::optional<HTTPURLResponse> response, foundation::ErrorPtr error);

    std::shared_ptr<URLSessionEngine> m_engine;
    const std::uint64_t m_identifier;
    const URLRequest m_request;
    mutable std::mutex m_mutex;
    State m_state = State::Suspended;
    CompletionHandler m_handler;
    std::optional<HTTPURLResponse> m_response;
    foundation::ErrorPtr m_error;
    std::int64_t m_bytesReceived = 0;
};

class URLSessionDataTask : public URLSessionTask {
protected:
    using URLSessionTask::URLSessionTask;
    friend class URLSession;
};

class URLSession {
public:
    // The process-wide session; its delegate queue is a serial background queue.
    static std::shared_ptr<URLSession> sharedSession();
    // A session whose completion handlers run on `delegateQueue` (a new serial queue when null).
    static std::shared_ptr<URLSession> sessionWithDelegateQueue(dispatch::QueuePtr delegateQueue);

    const dispatch::QueuePtr& delegateQueue() const { return m_delegateQueue; }

    std::shared_ptr<URLSessionDataTask> dataTaskWithRequest(const URLRequest& request,
                                                            URLSessionTask::CompletionHandler completionHandler);

    // Cancels every task of the session. The shared session ignores it.
    void invalidateAndCancel();

    ~URLSession();
    URLSession(const URLSession&) = delete;
    URLSession& operator=(const URLSession&) = delete;

private:
    URLSession(dispatch::QueuePtr delegateQueue, bool shared);

    dispatch::QueuePtr m_delegateQueue;
    std::shared_ptr<URLSessionEngine> m_engine;
    bool m_shared = false;
};

} // namespace net
