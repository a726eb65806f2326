#include "MovaraKit/HTTP/NKURLConnectionOperation.h"

#include "MovaraKit/HTTP/NKHTTPResponseSerializer.h"
#include "MovaraKit/HTTP/NKPlatformCoding.h"
#include "Platform/Foundation/NotificationCenter.h"
#include "Platform/Net/URLError.h"
#include "Platform/Net/ContentRange.h"
#include "Platform/Net/URLSession.h"

#include <cstdio>
#include <atomic>
#include <map>

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

} // namespace

// Answers the shared session for the operation whose transfer a task is.
class NKOperationSessionDelegate final : public net::URLSessionDelegate {
public:
    void attach(const net::URLSessionTask& task, std::shared_ptr<NKURLConnectionOperation> operation)
    {
        std::lock_guard lock(m_mutex);
        m_operations[task.taskIdentifier()] = std::move(operation);
    }
    // The operation no longer hears of the task (it ended, or was paused).
    void detach(const net::URLSessionTask& task)
    {
        std::lock_guard lock(m_mutex);
        m_operations.erase(task.taskIdentifier());
    }

    bool respondsTo(Hook hook) const override
    {
        return hook == Hook::TaskChallenge || hook == Hook::WillPerformHTTPRedirection || hook == Hook::DidReceiveResponse;
    }
    void taskDidReceiveChallenge(net::URLSession&, net::URLSessionTask& task, const net::URLAuthenticationChallenge& challenge,
                                 ChallengeCompletion completion) override
    {
        if (auto operation = find(task))
            operation->handleChallenge(challenge, completion);
        else
            completion(net::URLSessionAuthChallengeDisposition::CancelAuthenticationChallenge, nullptr);
    }
    void willPerformHTTPRedirection(net::URLSession&, net::URLSessionTask& task, const net::HTTPURLResponse& response,
                                    const net::URLRequest& newRequest, std::function<void(std::optional<net::URLRequest>)> completion) override
    {
        auto operation = find(task);
        completion(operation ? operation->redirect(newRequest, response) : std::optional<net::URLRequest>(newRequest));
    }
    void didReceiveResponse(net::URLSession&, net::URLSessionDataTask& task, const net::HTTPURLResponse& response,
                            std::function<void(net::URLSessionResponseDisposition)> completion) override
    {
        auto operation = find(task);
        completion(!operation || operation->didReceiveResponse(response) ? net::URLSessionResponseDisposition::Allow
                                                                         : net::URLSessionResponseDisposition::Cancel);
    }
    void didReceiveData(net::URLSession&, net::URLSessionDataTask& task, const foundation::Data& data) override
    {
        if (auto operation = find(task))
            operation->didReceiveData(data);
    }
    void didSendBodyData(net::URLSession&, net::URLSessionTask& task, std::int64_t bytes, std::int64_t total, std::int64_t expected) override
    {
        if (auto operation = find(task))
            operation->didSendBodyData(bytes, total, expected);
    }
    void didCompleteWithError(net::URLSession&, net::URLSessionTask& task, const foundation::ErrorPtr& error) override
    {
        auto operation = find(task);
        detach(task);
        if (operation)
            operation->didComplete(error);
    }

private:
    std::shared_ptr<NKURLConnectionOperation> find(const net::URLSessionTask& task)
    {
        std::lock_guard lock(m_mutex);
        auto it = m_operations.find(task.taskIdentifier());
        return it == m_operations.end() ? nullptr : it->second;
    }

    std::mutex m_mutex;
    // A running transfer keeps its operation alive, as a connection keeps its delegate.
    std::map<std::uint64_t, std::shared_ptr<NKURLConnectionOperation>> m_operations;
};

namespace {

const std::shared_ptr<NKOperationSessionDelegate>& operationDelegate()
{
    static const auto& delegate = *new auto(std::make_shared<NKOperationSessionDelegate>());
    return delegate;
}

const std::shared_ptr<net::URLSession>& networkSession()
{
    // One session, one network queue, for every operation of the process.
    // Never released: transfers may still end on it while the process exits.
    static const auto& session = *new auto(net::URLSession::sessionWithConfiguration(
        net::URLSessionConfiguration::defaultSessionConfiguration(), operationDelegate(), dispatch::Queue::serial("NetKit")));
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
    , m_securityPolicy(NKSecurityPolicy::defaultPolicy())
{
}

NKURLConnectionOperation::~NKURLConnectionOperation()
{
    if (m_outputStream)
        m_outputStream->close();
}

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

#define NK_LOCKED_ACCESSORS(Type, getter, setter, member)                                                                           \
    Type NKURLConnectionOperation::getter() const                                                                                   \
    {                                                                                                                               \
        std::lock_guard guard(m_lock);                                                                                              \
        return member;                                                                                                              \
    }                                                                                                                               \
    void NKURLConnectionOperation::setter(Type value)                                                                               \
    {                                                                                                                               \
        std::lock_guard guard(m_lock);                                                                                              \
        member = std::move(value);                                                                                                  \
    }

NK_LOCKED_ACCESSORS(dispatch::QueuePtr, completionQueue, setCompletionQueue, m_completionQueue)
NK_LOCKED_ACCESSORS(dispatch::GroupPtr, completionGroup, setCompletionGroup, m_completionGroup)
NK_LOCKED_ACCESSORS(bool, shouldUseCredentialStorage, setShouldUseCredentialStorage, m_shouldUseCredentialStorage)
NK_LOCKED_ACCESSORS(net::URLCredentialPtr, credential, setCredential, m_credential)
NK_LOCKED_ACCESSORS(std::shared_ptr<NKSecurityPolicy>, securityPolicy, setSecurityPolicy, m_securityPolicy)
NK_LOCKED_ACCESSORS(foundation::Value, userInfo, setUserInfo, m_userInfo)
#undef NK_LOCKED_ACCESSORS

void NKURLConnectionOperation::setUploadProgressBlock(ProgressBlock block)
{
    std::lock_guard guard(m_lock);
    m_uploadProgress = std::move(block);
}

void NKURLConnectionOperation::setDownloadProgressBlock(ProgressBlock block)
{
    std::lock_guard guard(m_lock);
    m_downloadProgress = std::move(block);
}

void NKURLConnectionOperation::setWillSendRequestForAuthenticationChallengeBlock(ChallengeBlock block)
{
    std::lock_guard guard(m_lock);
    m_authenticationChallenge = std::move(block);
}

void NKURLConnectionOperation::setRedirectResponseBlock(RedirectBlock block)
{
    std::lock_guard guard(m_lock);
    m_redirectResponse = std::move(block);
}

void NKURLConnectionOperation::setCacheResponseBlock(CacheResponseBlock block)
{
    std::lock_guard guard(m_lock);
    m_cacheResponse = std::move(block);
}

void NKURLConnectionOperation::copyBlocksTo(NKURLConnectionOperation& other) const
{
    std::scoped_lock guard(m_lock, other.m_lock);
    other.m_uploadProgress = m_uploadProgress;
    other.m_downloadProgress = m_downloadProgress;
    other.m_authenticationChallenge = m_authenticationChallenge;
    other.m_cacheResponse = m_cacheResponse;
    other.m_redirectResponse = m_redirectResponse;
    other.m_completionQueue = m_completionQueue;
    other.m_completionGroup = m_completionGroup;
}

std::shared_ptr<NKURLConnectionOperation> NKURLConnectionOperation::makeCopy() const
{
    auto other = initWithRequest(request());
    copyBlocksTo(*other);
    return other;
}

void NKURLConnectionOperation::encodeWithCoder(foundation::KeyedArchiver& coder) const
{
    // A running transfer can't be archived: it is paused, and goes on from where it was once
    // the operation (or the decoded one) resumes.
    const_cast<NKURLConnectionOperation*>(this)->pause();
    std::lock_guard guard(m_lock);
    NKEncodeRequest(coder, m_request, "request");
    const NKOperationState state = m_state == NKOperationExecutingState || m_state == NKOperationPausedState ? NKOperationReadyState : m_state;
    coder.encodeInteger(state, "state");
    NKEncodeResponse(coder, m_response, "response");
    NKEncodeError(coder, m_error, "error");
    if (m_responseData)
        coder.encodeData(*m_responseData, "responseData");
    coder.encodeInt64(m_totalBytesRead, "totalBytesRead");
}

void NKURLConnectionOperation::restoreWithCoder(foundation::KeyedUnarchiver& coder)
{
    const std::int64_t state = coder.decodeInteger("state");
    auto response = NKDecodeResponse(coder, "response");
    auto error = NKDecodeError(coder, "error");
    auto data = coder.decodeData("responseData");
    const std::int64_t total = coder.decodeInt64("totalBytesRead");
    if (coder.error())
        return;
    if (state == NKOperationPausedState || state == NKOperationReadyState || state == NKOperationExecutingState
        || state == NKOperationFinishedState)
        setState(static_cast<NKOperationState>(state));
    std::lock_guard guard(m_lock);
    m_response = std::move(response);
    m_error = std::move(error);
    m_responseData = std::move(data);
    m_totalBytesRead = total < 0 ? 0 : total;
}

std::shared_ptr<NKURLConnectionOperation> NKURLConnectionOperation::initWithCoder(foundation::KeyedUnarchiver& coder)
{
    auto request = NKDecodeRequest(coder, "request");
    if (!request) {
        if (!coder.error())
            coder.failWithError(foundation::Error::make(foundation::NSCocoaErrorDomain, foundation::NSCoderValueNotFoundError,
                                                        "The archived operation has no request."));
        return nullptr;
    }
    auto operation = initWithRequest(*request);
    operation->restoreWithCoder(coder);
    return coder.error() ? nullptr : operation;
}

net::URLRequest NKURLConnectionOperation::request() const
{
    std::lock_guard guard(m_lock);
    return m_request;
}

void NKURLConnectionOperation::setRequest(net::URLRequest request)
{
    std::lock_guard guard(m_lock);
    m_request = std::move(request);
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

std::int64_t NKURLConnectionOperation::totalBytesRead() const
{
    std::lock_guard guard(m_lock);
    return m_totalBytesRead;
}

std::optional<std::string> NKURLConnectionOperation::responseString() const
{
    std::lock_guard guard(m_lock);
    if (m_responseString)
        return m_responseString;
    if (!m_response || !m_responseData)
        return std::nullopt;
    NKStringEncoding encoding = NKUTF8StringEncoding;
    if (auto charset = m_response->textEncodingName()) {
        if (auto named = NKStringEncodingFromIANACharsetName(*charset))
            encoding = *named;
    }
    m_responseString = NKDecodeText(*m_responseData, encoding);
    return m_responseString;
}

net::InputStreamPtr NKURLConnectionOperation::inputStream() const
{
    std::lock_guard guard(m_lock);
    return m_request.HTTPBodyStream();
}

void NKURLConnectionOperation::setInputStream(net::InputStreamPtr stream)
{
    std::lock_guard guard(m_lock);
    m_request.setHTTPBodyStream(std::move(stream));
}

net::OutputStreamPtr NKURLConnectionOperation::outputStream() const
{
    std::lock_guard guard(m_lock);
    if (!m_outputStream)
        const_cast<NKURLConnectionOperation*>(this)->m_outputStream = net::OutputStream::outputStreamToMemory();
    return m_outputStream;
}

void NKURLConnectionOperation::setOutputStream(net::OutputStreamPtr stream)
{
    std::lock_guard guard(m_lock);
    if (stream == m_outputStream)
        return;
    if (m_outputStream)
        m_outputStream->close();
    m_outputStream = std::move(stream);
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
        if (!isCancelled() && m_state == NKOperationExecutingState) {
            auto stream = outputStream();
            stream->open();
            m_task = networkSession()->dataTaskWithRequest(m_request);
            operationDelegate()->attach(*m_task, self);
            m_task->resume();
        }
    }
    postOnMainQueue(NetKitOperationDidStartNotification, self);
}

void NKURLConnectionOperation::handleChallenge(const net::URLAuthenticationChallenge& challenge,
                                               const net::URLSessionDelegate::ChallengeCompletion& completion)
{
    ChallengeBlock block;
    std::shared_ptr<NKSecurityPolicy> policy;
    net::URLCredentialPtr ownCredential;
    {
        std::lock_guard guard(m_lock);
        block = m_authenticationChallenge;
        policy = m_securityPolicy;
        ownCredential = m_credential;
    }
    if (block) {
        block(challenge, completion);
        return;
    }
    using Disposition = net::URLSessionAuthChallengeDisposition;
    if (challenge.protectionSpace.authenticationMethod == net::URLAuthenticationMethodServerTrust) {
        if (policy && policy->evaluateServerTrust(challenge.protectionSpace.serverTrust, challenge.protectionSpace.host))
            completion(Disposition::UseCredential, net::URLCredential::credentialForTrust(challenge.protectionSpace.serverTrust));
        else
            completion(Disposition::CancelAuthenticationChallenge, nullptr);
        return;
    }
    // A credential the server refused is not offered again: the 401 becomes the answer.
    if (challenge.previousFailureCount != 0) {
        completion(Disposition::RejectProtectionSpace, nullptr);
        return;
    }
    const bool useStorage = shouldUseCredentialStorage();
    if (ownCredential) {
        if (!useStorage && ownCredential->persistence != net::URLCredentialPersistence::None) {
            auto unkept = std::make_shared<net::URLCredential>(*ownCredential);
            unkept->persistence = net::URLCredentialPersistence::None;
            ownCredential = std::move(unkept);
        }
        completion(Disposition::UseCredential, ownCredential);
    } else {
        // Default handling is where the session takes a stored credential.
        completion(useStorage ? Disposition::PerformDefaultHandling : Disposition::RejectProtectionSpace, nullptr);
    }
}

std::optional<net::URLRequest> NKURLConnectionOperation::redirect(const net::URLRequest& request, const net::HTTPURLResponse& response)
{
    RedirectBlock block;
    {
        std::lock_guard guard(m_lock);
        block = m_redirectResponse;
    }
    return block ? block(request, response) : std::optional<net::URLRequest>(request);
}

bool NKURLConnectionOperation::didReceiveResponse(const net::HTTPURLResponse& response)
{
    std::lock_guard guard(m_lock);
    m_response = response;
    if (!m_request.valueForHTTPHeaderField("Range") || !m_outputStream)
        return true;
    bool startOver = response.statusCode() != 206;
    if (!startOver) {
        // A part must go on where the body received so far ends; a part from the first byte
        // is the whole body again. Any other part would be glued on at the wrong place.
        std::int64_t received = 0;
        if (auto offset = m_outputStream->fileCurrentOffset())
            received = static_cast<std::int64_t>(*offset);
        else if (auto data = m_outputStream->dataWrittenToMemory())
            received = static_cast<std::int64_t>(data->size());
        const auto first = net::contentRangeFirstByte(response);
        if (first == 0 && received > 0) {
            startOver = true;
        } else if (first != received) {
            m_refusedResponseError = net::makeURLError(net::NSURLErrorBadServerResponse,
                                                       m_request.URL() ? m_request.URL()->absoluteString() : std::string());
            return false;
        }
    }
    // A resumed transfer that the server answers with the whole body again starts the body
    // over: appending it to the part already received would corrupt it.
    if (startOver) {
        m_outputStream->truncateToStart();
        m_totalBytesRead = 0;
    }
    return true;
}

void NKURLConnectionOperation::didReceiveData(const foundation::Data& data)
{
    ProgressBlock progress;
    std::int64_t expected = -1;
    {
        std::lock_guard guard(m_lock);
        auto stream = outputStream();
        if (stream->write(data.data(), data.size()) != static_cast<long>(data.size())) {
            auto error = stream->streamError();
            if (!error)
                error = foundation::Error::posix(EIO, "output stream");
            m_error = error;
            if (m_task) {
                operationDelegate()->detach(*m_task);
                m_task->cancel();
                m_task.reset();
            }
            auto self = std::static_pointer_cast<NKURLConnectionOperation>(shared_from_this());
            networkQueue()->async([self] {
                {
                    std::lock_guard guard(self->m_lock);
                    self->m_outputStream->close();
                }
                self->finish();
            });
            return;
        }
        progress = m_downloadProgress;
        if (m_response)
            expected = m_response->expectedContentLength();
    }
    auto self = std::static_pointer_cast<NKURLConnectionOperation>(shared_from_this());
    const auto length = static_cast<std::int64_t>(data.size());
    dispatch::Queue::main()->async([self, progress, length, expected] {
        std::int64_t total;
        {
            std::lock_guard guard(self->m_lock);
            total = self->m_totalBytesRead += length;
        }
        if (progress)
            progress(length, total, expected);
    });
}

void NKURLConnectionOperation::didSendBodyData(std::int64_t bytes, std::int64_t total, std::int64_t expected)
{
    ProgressBlock progress;
    {
        std::lock_guard guard(m_lock);
        progress = m_uploadProgress;
    }
    if (progress)
        dispatch::Queue::main()->async([progress, bytes, total, expected] { progress(bytes, total, expected); });
}

void NKURLConnectionOperation::didComplete(const foundation::ErrorPtr& error)
{
    {
        std::lock_guard guard(m_lock);
        m_task.reset();
        if (m_refusedResponseError) {
            m_error = std::move(m_refusedResponseError);
            m_refusedResponseError.reset();
        } else if (error) {
            m_error = error;
        }
        auto stream = outputStream();
        m_responseData = stream->dataWrittenToMemory();
        stream->close();
        if (!error && stream->streamStatus() == net::StreamStatus::Error)
            m_error = stream->streamError();
    }
    finish();
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
    } else if (isPaused()) {
        // Nothing would ever start a paused operation again: the cancellation ends it now.
        setState(NKOperationReadyState);
        start();
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
            m_error = net::makeURLError(net::NSURLErrorCancelled, url ? url->absoluteString() : std::string());
        }
    }
    if (task)
        task->cancel(); // ends through the task's completion with the cancelled error
    else
        finish();
}

void NKURLConnectionOperation::pause()
{
    if (isPaused() || isFinished() || isCancelled())
        return;
    std::lock_guard guard(m_lock);
    if (isExecuting()) {
        // The transfer ends; the operation forgets it first so that its cancellation is no
        // error of ours.
        if (m_task) {
            operationDelegate()->detach(*m_task);
            m_task->cancel();
            m_task.reset();
        }
        postOnMainQueue(NetKitOperationDidFinishNotification, std::static_pointer_cast<NKURLConnectionOperation>(shared_from_this()));
    }
    setState(NKOperationPausedState);
}

void NKURLConnectionOperation::resume()
{
    if (!isPaused())
        return;
    std::lock_guard guard(m_lock);
    setState(NKOperationReadyState);
    start();
}

void NKURLConnectionOperation::finish()
{
    {
        std::lock_guard guard(m_lock);
        setState(NKOperationFinishedState);
    }
    postOnMainQueue(NetKitOperationDidFinishNotification, std::static_pointer_cast<NKURLConnectionOperation>(shared_from_this()));
}

std::string NKURLConnectionOperation::description() const
{
    std::lock_guard guard(m_lock);
    char address[32];
    std::snprintf(address, sizeof address, "%p", static_cast<const void*>(this));
    return std::string("<NKURLConnectionOperation: ") + address + ", state: " + keyPathForState(m_state)
        + ", cancelled: " + (isCancelled() ? "YES" : "NO") + " request: " + net::description(m_request)
        + ", response: " + (m_response ? std::to_string(m_response->statusCode()) : std::string("(null)")) + ">";
}

std::vector<std::shared_ptr<foundation::Operation>> NKURLConnectionOperation::batchOfRequestOperations(
    const std::vector<std::shared_ptr<NKURLConnectionOperation>>& operations, std::function<void(std::size_t, std::size_t)> progress,
    std::function<void(const std::vector<std::shared_ptr<NKURLConnectionOperation>>&)> completion)
{
    if (operations.empty()) {
        return { foundation::BlockOperation::blockOperationWithBlock([completion] {
            dispatch::Queue::main()->async([completion] {
                if (completion)
                    completion({});
            });
        }) };
    }
    auto group = dispatch::Group::make();
    auto batched = foundation::BlockOperation::blockOperationWithBlock([group, operations, completion] {
        group->notify(dispatch::Queue::main(), [operations, completion] {
            if (completion)
                completion(operations);
        });
    });
    auto finished = std::make_shared<std::atomic<std::size_t>>(0);
    const std::size_t total = operations.size();
    std::vector<std::shared_ptr<foundation::Operation>> result;
    for (const auto& operation : operations) {
        operation->setCompletionGroup(group);
        auto original = operation->completionBlock();
        std::weak_ptr<NKURLConnectionOperation> weak = operation;
        group->enter();
        operation->Operation::setCompletionBlock([weak, original, group, finished, total, progress] {
            auto strong = weak.lock();
            auto queue = strong && strong->completionQueue() ? strong->completionQueue() : dispatch::Queue::main();
            group->async(queue, [original, group, finished, total, progress] {
                if (original)
                    original();
                std::size_t count = ++*finished;
                if (progress)
                    progress(count, total);
                group->leave();
            });
        });
        batched->addDependency(operation);
        result.push_back(operation);
    }
    result.push_back(batched);
    return result;
}
