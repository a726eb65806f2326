#pragma once
// An asynchronous operation that performs one URL request. Every such operation in the process
// runs its transfer on one shared network queue ("NetKit"), so it may be started from any
// thread without an operation queue. Its own state machine (NKOperationState) sits behind a
// recursive lock and reports the standard operation key paths. The body goes into an output
// stream (memory unless the caller sets one); server trust is judged by the security policy;
// progress blocks run on the main queue; pause() ends the transfer and resume() starts it again.
// The completion block runs on `completionQueue` (the main queue when none) inside
// `completionGroup` (a process-wide group when none). Start and finish are announced on the
// main queue.
//
// Challenges other than server trust take the operation's credential once (a refused one is
// not offered again); without one, the shared credential storage answers when
// shouldUseCredentialStorage() allows it, and a credential used with it off is not kept there.
// Archives keep the request, state, response, error, body and byte count (archiving pauses a
// running operation first); a copy is a new operation for the request with the same blocks
// and completion queue and group. Sessions here keep no URL cache: the cache-response block is
// kept but never called.

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "MovaraKit/HTTP/NKSecurityPolicy.h"
#include "Platform/Dispatch/Group.h"
#include "Platform/Dispatch/Queue.h"
#include "Platform/Foundation/Error.h"
#include "Platform/Foundation/KeyedArchiver.h"
#include "Platform/Foundation/Operation.h"
#include "Platform/Foundation/Value.h"
#include "Platform/Net/HTTPURLResponse.h"
#include "Platform/Net/Stream.h"
#include "Platform/Net/URLRequest.h"
#include "Platform/Net/URLSession.h"

enum NKOperationState : long {
    NKOperationPausedState = -1,
    NKOperationReadyState = 1,
    NKOperationExecutingState = 2,
    NKOperationFinishedState = 3,
};

extern const std::string NetKitOperationDidStartNotification;  // "com.wirefern.networking.operation.start"
extern const std::string NetKitOperationDidFinishNotification; // "com.wirefern.networking.operation.finish"

class NKURLConnectionOperation : public foundation::Operation, public foundation::Coding {
public:
    using ProgressBlock = std::function<void(std::int64_t bytes, std::int64_t totalBytes, std::int64_t totalBytesExpected)>;
    using ChallengeBlock = std::function<void(const net::URLAuthenticationChallenge& challenge,
                                              const net::URLSessionDelegate::ChallengeCompletion& completion)>;
    using RedirectBlock = std::function<std::optional<net::URLRequest>(const net::URLRequest& request, const net::HTTPURLResponse& redirectResponse)>;
    using CacheResponseBlock = std::function<std::optional<net::CachedURLResponse>(const net::CachedURLResponse& cachedResponse)>;

    static std::shared_ptr<NKURLConnectionOperation> initWithRequest(const net::URLRequest& request);
    ~NKURLConnectionOperation() override;

    void start() override;
    void cancel() override;
    bool isReady() const override;
    bool isExecuting() const override;
    bool isFinished() const override;
    bool isAsynchronous() const override { return true; }
    bool isPaused() const { return state() == NKOperationPausedState; }
    NKOperationState state() const;

    // From ready or executing: the transfer ends (its bytes so far stay) and the operation waits.
    virtual void pause();
    // From paused: ready again, and started.
    void resume();

    net::URLRequest request() const;
    std::optional<net::HTTPURLResponse> response() const;
    // The transfer's error, or the cancellation error.
    virtual foundation::ErrorPtr error() const;
    std::optional<foundation::Data> responseData() const;
    // The body decoded by the response's charset (UTF-8 when it names none or an unknown one).
    std::optional<std::string> responseString() const;
    std::int64_t totalBytesRead() const;

    net::InputStreamPtr inputStream() const;
    // The request becomes a copy whose body comes from `stream`.
    void setInputStream(net::InputStreamPtr stream);
    // A memory stream unless set; a different stream replaces (and closes) the old one.
    net::OutputStreamPtr outputStream() const;
    void setOutputStream(net::OutputStreamPtr stream);

    bool shouldUseCredentialStorage() const;
    void setShouldUseCredentialStorage(bool use);
    net::URLCredentialPtr credential() const;
    void setCredential(net::URLCredentialPtr credential);
    std::shared_ptr<NKSecurityPolicy> securityPolicy() const;
    void setSecurityPolicy(std::shared_ptr<NKSecurityPolicy> policy);
    foundation::Value userInfo() const;
    void setUserInfo(foundation::Value info);

    void setUploadProgressBlock(ProgressBlock block);
    void setDownloadProgressBlock(ProgressBlock block);
    void setWillSendRequestForAuthenticationChallengeBlock(ChallengeBlock block);
    void setRedirectResponseBlock(RedirectBlock block);
    void setCacheResponseBlock(CacheResponseBlock block);

    dispatch::QueuePtr completionQueue() const;
    void setCompletionQueue(dispatch::QueuePtr queue);
    dispatch::GroupPtr completionGroup() const;
    void setCompletionGroup(dispatch::GroupPtr group);

    // Runs once, on the completion queue inside the completion group, after the end.
    void setCompletionBlock(std::function<void()> block) override;

    // The operation's state change rule: illegal changes are ignored without a word.
    void setState(NKOperationState state);

    // The operations, each in the batch's group, followed by one that waits for them all and
    // calls `completion` (on the main queue) with them; `progress` counts the finished ones.
    static std::vector<std::shared_ptr<foundation::Operation>> batchOfRequestOperations(
        const std::vector<std::shared_ptr<NKURLConnectionOperation>>& operations,
        std::function<void(std::size_t finished, std::size_t total)> progress,
        std::function<void(const std::vector<std::shared_ptr<NKURLConnectionOperation>>&)> completion);

    std::string description() const;

    // A new operation of the same class for the same request (see above).
    std::shared_ptr<NKURLConnectionOperation> copy() const { return makeCopy(); }

    std::string className() const override { return "NKURLConnectionOperation"; }
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
    static std::shared_ptr<NKURLConnectionOperation> initWithCoder(foundation::KeyedUnarchiver& coder);

protected:
    explicit NKURLConnectionOperation(net::URLRequest request);
    std::recursive_mutex& lock() const { return m_lock; }
    void setRequest(net::URLRequest request);
    virtual std::shared_ptr<NKURLConnectionOperation> makeCopy() const;
    // What a copy carries over from this operation.
    void copyBlocksTo(NKURLConnectionOperation& other) const;
    // The archived state after the request (which made the operation).
    void restoreWithCoder(foundation::KeyedUnarchiver& coder);

private:
    friend class NKOperationSessionDelegate;

    void operationDidStart();
    void cancelConnection();
    void finish();
    // False when the answer is not one the operation can take (a resumed body's wrong part).
    bool didReceiveResponse(const net::HTTPURLResponse& response);
    void didReceiveData(const foundation::Data& data);
    void didSendBodyData(std::int64_t bytes, std::int64_t total, std::int64_t expected);
    void didComplete(const foundation::ErrorPtr& error);
    void handleChallenge(const net::URLAuthenticationChallenge& challenge, const net::URLSessionDelegate::ChallengeCompletion& completion);
    std::optional<net::URLRequest> redirect(const net::URLRequest& request, const net::HTTPURLResponse& response);
    static const dispatch::QueuePtr& networkQueue();

    mutable std::recursive_mutex m_lock; // "com.wirefern.networking.operation.lock"
    NKOperationState m_state = NKOperationReadyState;
    net::URLRequest m_request;
    std::optional<net::HTTPURLResponse> m_response;
    foundation::ErrorPtr m_error;
    foundation::ErrorPtr m_refusedResponseError; // why an answer was refused, for its completion
    std::optional<foundation::Data> m_responseData;
    mutable std::optional<std::string> m_responseString;
    std::int64_t m_totalBytesRead = 0;
    std::shared_ptr<net::URLSessionTask> m_task;
    net::OutputStreamPtr m_outputStream;
    bool m_shouldUseCredentialStorage = true;
    net::URLCredentialPtr m_credential;
    std::shared_ptr<NKSecurityPolicy> m_securityPolicy;
    foundation::Value m_userInfo;
    ProgressBlock m_uploadProgress;
    ProgressBlock m_downloadProgress;
    ChallengeBlock m_authenticationChallenge;
    RedirectBlock m_redirectResponse;
    CacheResponseBlock m_cacheResponse;
    dispatch::QueuePtr m_completionQueue;
    dispatch::GroupPtr m_completionGroup;
};
