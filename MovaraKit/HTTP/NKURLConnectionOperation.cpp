#include "MovaraKit/HTTP/NKURLConnectionOperation.h"

#include "Platform/Foundation/NotificationCenter.h"
#include "Platform/Net/URLError.h"
#include "Platform/Net/URLSession.h"

const std::string NetKitOperationDidStartNotification = "com.wirefern.networking.operation.start";
const std::string NetKitOperationDidFinishNotification = "com.wirefern.networking.operation.finish";

namespace {

const char* keyPathForState(NKOperationState state)
{
    switch (state) {
    case NKOperationPausedState: return "isPaused";
    case NKOperationReadyState: return "isReady";
    case NKOperationExecutingState: return "isExecuting";
    case NKOperationFinishedState: return "isFinished";
    }
    return "state";
}

bool transitionIsValid(NKOperationState from, NKOperationState to, bool cancelled)
{
    switch (from) {
    case NKOperationPausedState: return to == NKOperationReadyState;
    case NKOperationReadyState:
        return to == NKOperationPausedState || to == NKOperationExecutingState || (to == NKOperationFinishedState && cancelled);
    case NKOperationExecutingState: return to == NKOperationPausedState || to == NKOperationFinishedState;
    case NKOperationFinishedState: return false;
    }
    return true;
}

const std::shared_ptr<net::URLSession>& networkSession()
{
    // One session, one network thread, for every operation of the process.
    // Never released: transfers may still end on it while the process exits.
    static const auto& session = *new auto(net::URLSession::sessionWithDelegateQueue(dispatch::Queue::serial("NetKit")));
    return session;
}

const dispatch::GroupPtr& sharedCompletionGroup()
{
    // Never released: blocks may still run on it while the process exits.
    static const auto& group = *new auto(dispatch::Group::make());
    return group;
}

void postOnMainQueue(const std::string& name, const std::shared_ptr<NKURLConnectionOperation>& operation)
{
    dispatch::Queue::main()->async([name, operation] {
        foundation::NotificationCenter::defaultCenter().post(name, operation);
    });
}

} // namespace

NKURLConnectionOperation::NKURLConnectionOperation(net::URLRequest request)
    : m_request(std::move(request))
{
}

NKURLConnectionOperation::~NKURLConnectionOperation() = default;

std::shared_ptr<NKURLConnectionOperation> NKURLConnectionOperation::initWithRequest(const net::URLRequest& request)
{
    struct Enabler : NKURLConnectionOperation {
        explicit Enabler(const net::URLRequest& r) : NKURLConnectionOperation(r) { }
    };
    return std::make_shared<Enabler>(request);
}

const dispatch::QueuePtr& NKURLConnectionOperation::networkQueue()
{
    return networkSession()->delegateQueue();
}

NKOperationState NKURLConnectionOperation::state() const
{
    std::lock_guard guard(m_lock);
    return m_state;
}

bool NKURLConnectionOperation::isReady() const
{
    return state() == NKOperationReadyState && Operation::isReady();
}

bool NKURLConnectionOperation::isExecuting() const { return state() == NKOperationExecutingState; }
bool NKURLConnectionOperation::isFinished() const { return state() == NKOperationFinishedState; }

void NKURLConnectionOperation::setState(NKOperationState state)
{
    if (!transitionIsValid(this->state(), state, isCancelled()))
        return;
    std::lock_guard guard(m_lock);
    const std::string oldKey = keyPathForState(m_state);
    const std::string newKey = keyPathForState(state);
    willChange(newKey);
    willChange(oldKey);
    m_state = state;
    didChange(oldKey);
    didChange(newKey);
}

net::URLRequest NKURLConnectionOperation::request() const
{
    std::lock_guard guard(m_lock);
    return m_request;
}

std::optional<net::HTTPURLResponse> NKURLConnectionOperation::response() const
{
    std::lock_guard guard(m_lock);
    return m_response;
}

foundation::ErrorPtr NKURLConnectionOperation::error() const
{
    std::lock_guard guard(m_lock);
    return m_error;
}

std::optional<foundation::Data> NKURLConnectionOperation::responseData() const
{
    std::lock_guard guard(m_lock);
    return m_responseData;
}

std::optional<std::string> NKURLConnectionOperation::responseString() const
{
    std::lock_guard guard(m_lock);
    if (!m_response || !m_responseData)
        return std::nullopt;
    // Text other than UTF-8 is read byte for byte as Latin-1, the one other charset servers
    // still send in practice.
    const auto charset = m_response->textEncodingName();
    if (charset && (*charset == "iso-8859-1" || *charset == "latin1")) {
        std::string text;
        for (unsigned char c : *m_responseData) {
            if (c < 0x80) {
                text += static_cast<char>(c);
            } else {
                text += static_cast<char>(0xC0 | (c >> 6));
                text += static_cast<char>(0x80 | (c & 0x3F));
            }
        }
        return text;
    }
    return std::string(m_responseData->begin(), m_responseData->end());
}

dispatch::QueuePtr NKURLConnectionOperation::completionQueue() const
{
    std::lock_guard guard(m_lock);
    return m_completionQueue;
}

void NKURLConnectionOperation::setCompletionQueue(dispatch::QueuePtr queue)
{
    std::lock_guard guard(m_lock);
    m_completionQueue = std::move(queue);
}

dispatch::GroupPtr NKURLConnectionOperation::completionGroup() const
{
    std::lock_guard guard(m_lock);
    return m_completionGroup;
}

void NKURLConnectionOperation::setCompletionGroup(dispatch::GroupPtr group)
{
    std::lock_guard guard(m_lock);
    m_completionGroup = std::move(group);
}

void NKURLConnectionOperation::setCompletionBlock(std::function<void()> block)
{
    std::lock_guard guard(m_lock);
    if (!block) {
        Operation::setCompletionBlock(nullptr);
        return;
    }
    // Holds the operation weakly: the block is stored in the operation itself.
    std::weak_ptr<Operation> weak = weak_from_this();
    Operation::setCompletionBlock([weak, block = std::move(block)] {
        auto strong = std::static_pointer_cast<NKURLConnectionOperation>(weak.lock());
        dispatch::GroupPtr group = strong ? strong->completionGroup() : nullptr;
        dispatch::QueuePtr queue = strong ? strong->completionQueue() : nullptr;
        if (!group)
            group = sharedCompletionGroup();
        if (!queue)
            queue = dispatch::Queue::main();
        // The queued block keeps the operation alive until it has run: the caller may have
        // let go of it long ago.
        group->async(queue, [strong, block] { block(); });
    });
}

void NKURLConnectionOperation::start()
{
    std::lock_guard guard(m_lock);
    auto self = std::static_pointer_cast<NKURLConnectionOperation>(shared_from_this());
    if (isCancelled()) {
        networkQueue()->async([self] { self->cancelConnection(); });
    } else if (isReady()) {
        setState(NKOperationExecutingState);
        networkQueue()->async([self] { self->operationDidStart(); });
    }
}

void NKURLConnectionOperation::operationDidStart()
{
    auto self = std::static_pointer_cast<NKURLConnectionOperation>(shared_from_this());
    {
        std::lock_guard guard(m_lock);
        if (!isCancelled()) {
            // The transfer keeps the operation alive until it ends, as a connection keeps its
            // delegate: callers may start an operation and let go of it.
            m_task = networkSession()->dataTaskWithRequest(
                m_request, [operation = self](const foundation::Data& data, const std::optional<net::HTTPURLResponse>& response,
                                              const foundation::ErrorPtr& error) {
                    {
                        std::lock_guard guard(operation->m_lock);
                        operation->m_response = response;
                        if (error) {
                            operation->m_error = error;
                        } else {
                            operation->m_responseData = data;
                        }
                        operation->m_task.reset();
                    }
                    operation->finish();
                });
            m_task->resume();
        }
    }
    postOnMainQueue(NetKitOperationDidStartNotification, self);
}

void NKURLConnectionOperation::cancel()
{
    std::lock_guard guard(m_lock);
    if (isFinished() || isCancelled())
        return;
    Operation::cancel();
    if (isExecuting()) {
        auto self = std::static_pointer_cast<NKURLConnectionOperation>(shared_from_this());
        networkQueue()->async([self] { self->cancelConnection(); });
    }
}

void NKURLConnectionOperation::cancelConnection()
{
    std::shared_ptr<net::URLSessionTask> task;
    {
        std::lock_guard guard(m_lock);
        if (isFinished())
            return;
        task = m_task;
        if (!task) {
            const auto& url = m_request.URL();
            m_error = net::makeURLError(net::URLErrorCancelled, url ? url->absoluteString() : std::string());
        }
    }
    if (task)
        task->cancel(); // ends through the task's completion with the cancelled error
    else
        finish();
}

void NKURLConnectionOperation::finish()
{
    {
        std::lock_guard guard(m_lock);
        setState(NKOperationFinishedState);
    }
    postOnMainQueue(NetKitOperationDidFinishNotification, std::static_pointer_cast<NKURLConnectionOperation>(shared_from_this()));
}
