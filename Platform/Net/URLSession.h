#pragma once
// URL sessions on libcurl. Each session runs all its transfers on one network thread of its
// own (a curl multi loop) and talks to its delegate, and calls completion handlers, on its
// delegate queue, never on the caller's thread. Tasks are made suspended; resume() starts
// them, suspend() pauses them, cancel() ends them with the platform's "cancelled" error
// (-999). Failures are errors in the URL domain with the platform's codes (URLError.h).
//
// Redirects are handled here, not by libcurl, so that a delegate can refuse or rewrite them.
// Server certificates are evaluated by security::Trust during the TLS handshake; a delegate
// that answers challenges decides, otherwise the system's roots and the host name do. A
// refused challenge ends the task as cancelled (-999), as callers of this layer expect.
// Questions to the delegate (redirects, responses, challenges, new body streams) wait on the
// network thread for the answer: a delegate must answer them and never wait for the session.
// Every member may be called from any thread.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "Platform/Dispatch/Queue.h"
#include "Platform/Foundation/Error.h"
#include "Platform/Foundation/Value.h"
#include "Platform/Net/HTTPURLResponse.h"
#include "Platform/Net/Stream.h"
#include "Platform/Net/URLRequest.h"
#include "Platform/Security/ServerTrust.h"

namespace net {

class URLSession;
class URLCredentialStorage;
struct URLSessionEngine;
struct NetworkLoop;

// How a session is set up. Time-outs are always finite: zero, negative or infinite values
// fall back to the defaults.
class URLSessionConfiguration {
public:
    static URLSessionConfiguration defaultSessionConfiguration() { return {}; }
    static URLSessionConfiguration ephemeralSessionConfiguration() { return {}; }
    static URLSessionConfiguration backgroundSessionConfigurationWithIdentifier(std::string identifier);

    const std::optional<std::string>& identifier() const { return m_identifier; }
    // Header fields added to every request that lacks them.
    const HTTPHeaderFields& HTTPAdditionalHeaders() const { return m_additionalHeaders; }
    void setHTTPAdditionalHeaders(HTTPHeaderFields headers) { m_additionalHeaders = std::move(headers); }
    long HTTPMaximumConnectionsPerHost() const { return m_maximumConnectionsPerHost; }
    void setHTTPMaximumConnectionsPerHost(long count) { m_maximumConnectionsPerHost = count > 0 ? count : 6; }
    // Seconds without traffic before a transfer fails (used when a request keeps the default).
    double timeoutIntervalForRequest() const { return m_timeoutForRequest; }
    void setTimeoutIntervalForRequest(double seconds);
    // Seconds a whole transfer may take.
    double timeoutIntervalForResource() const { return m_timeoutForResource; }
    void setTimeoutIntervalForResource(double seconds);
    // The most bytes a response body may have once decoded (gzip and deflate bodies count
    // inflated), whether kept in memory, handed to the delegate or downloaded to a file; a
    // larger one ends its task with NSURLErrorDataLengthExceedsMaximum. Zero or negative
    // values fall back to the default.
    std::int64_t maximumResponseBodyBytes() const { return m_maximumResponseBodyBytes; }
    void setMaximumResponseBodyBytes(std::int64_t bytes) { m_maximumResponseBodyBytes = bytes > 0 ? bytes : kDefaultMaximumResponseBodyBytes; }
    static constexpr std::int64_t kDefaultMaximumResponseBodyBytes = std::int64_t(128) << 20;
    bool allowsCellularAccess() const { return m_allowsCellularAccess; }
    void setAllowsCellularAccess(bool allows) { m_allowsCellularAccess = allows; }
    // Where credentials that outlive a challenge are kept and found: the shared store unless
    // set; none keeps nothing.
    const std::shared_ptr<URLCredentialStorage>& credentialStorage() const { return m_credentialStorage; }
    void setCredentialStorage(std::shared_ptr<URLCredentialStorage> storage) { m_credentialStorage = std::move(storage); }

    bool operator==(const URLSessionConfiguration&) const = default;

private:
    std::optional<std::string> m_identifier;
    HTTPHeaderFields m_additionalHeaders;
    long m_maximumConnectionsPerHost = 6;
    double m_timeoutForRequest = 60;
    double m_timeoutForResource = 7 * 24 * 3600;
    std::int64_t m_maximumResponseBodyBytes = kDefaultMaximumResponseBodyBytes;
    bool m_allowsCellularAccess = true;
    std::shared_ptr<URLCredentialStorage> m_credentialStorage = sharedCredentialStorage();

    static std::shared_ptr<URLCredentialStorage> sharedCredentialStorage();
};

// Authentication. A server's HTTP challenge (a 401 answer naming Basic or Digest in
// "WWW-Authenticate") is put to the delegate like server trust: a credential with a user and a
// password makes the session ask again (libcurl answers Digest itself); default handling takes
// the credential storage's default credential for the protection space, once; anything else
// delivers the 401 as the answer. previousFailureCount counts the credentials refused so far.
extern const std::string URLAuthenticationMethodServerTrust; // "NSURLAuthenticationMethodServerTrust"
extern const std::string URLAuthenticationMethodDefault;     // "NSURLAuthenticationMethodDefault"
extern const std::string URLAuthenticationMethodHTTPBasic;   // "NSURLAuthenticationMethodHTTPBasic"
extern const std::string URLAuthenticationMethodHTTPDigest;  // "NSURLAuthenticationMethodHTTPDigest"

enum class URLSessionAuthChallengeDisposition { UseCredential = 0, PerformDefaultHandling = 1, CancelAuthenticationChallenge = 2,
                                                RejectProtectionSpace = 3 };
// BecomeDownload turns a data task into a download task (the delegate hears of it first).
enum class URLSessionResponseDisposition { Cancel = 0, Allow = 1, BecomeDownload = 2 };

// A response as a URL cache would keep it. Sessions here keep no URL cache, so none is ever
// proposed to a delegate.
struct CachedURLResponse {
    HTTPURLResponse response;
    foundation::Data data;
};

struct URLProtectionSpace {
    std::string host;
    int port = 0;
    std::string protocol;
    std::string realm;
    std::string authenticationMethod;
    security::TrustPtr serverTrust;
};

enum class URLCredentialPersistence { None = 0, ForSession = 1, Permanent = 2, Synchronizable = 3 };

// Either a server trust or a user with a password.
struct URLCredential {
    security::TrustPtr trust;
    std::optional<std::string> user;
    std::string password;
    URLCredentialPersistence persistence = URLCredentialPersistence::None;

    static std::shared_ptr<URLCredential> credentialForTrust(security::TrustPtr trust)
    {
        auto credential = std::make_shared<URLCredential>();
        credential->trust = std::move(trust);
        return credential;
    }
    static std::shared_ptr<URLCredential> credentialWithUser(std::string user, std::string password, URLCredentialPersistence persistence)
    {
        return std::make_shared<URLCredential>(URLCredential { nullptr, std::move(user), std::move(password), persistence });
    }
    bool hasPassword() const { return user.has_value(); }
};
using URLCredentialPtr = std::shared_ptr<URLCredential>;

struct URLAuthenticationChallenge {
    URLProtectionSpace protectionSpace;
    long previousFailureCount = 0;
    // The 401 answer that raised an HTTP challenge.
    std::optional<HTTPURLResponse> failureResponse;
};

// Credentials by protection space (host, port, protocol, realm). Kept in memory for the life
// of the process: nothing is written to disk, whatever the credential's persistence.
class URLCredentialStorage {
public:
    static std::shared_ptr<URLCredentialStorage> sharedCredentialStorage();

    URLCredentialPtr defaultCredentialForProtectionSpace(const URLProtectionSpace& space) const;
    // A credential of persistence None is not kept.
    void setDefaultCredential(const URLCredentialPtr& credential, const URLProtectionSpace& space);
    void removeCredentialsForProtectionSpace(const URLProtectionSpace& space);

private:
    static std::string keyOf(const URLProtectionSpace& space);
    mutable std::mutex m_mutex;
    std::map<std::string, URLCredentialPtr> m_defaults;
};

class URLSessionTask;
class URLSessionDataTask;
class URLSessionDownloadTask;

// What a session asks and tells its delegate. Every member has the platform's behaviour for a
// delegate that lacks it; respondsTo() says which of the questions the delegate answers itself
// (a session asks only those).
class URLSessionDelegate {
public:
    enum class Hook {
        SessionChallenge,
        TaskChallenge,
        WillPerformHTTPRedirection,
        NeedNewBodyStream,
        DidReceiveResponse,
    };
    using ChallengeCompletion = std::function<void(URLSessionAuthChallengeDisposition, URLCredentialPtr)>;

    virtual ~URLSessionDelegate() = default;
    virtual bool respondsTo(Hook) const { return false; }

    virtual void didBecomeInvalidWithError(URLSession&, const foundation::ErrorPtr&) { }
    virtual void didReceiveChallenge(URLSession&, const URLAuthenticationChallenge&, ChallengeCompletion completion)
    {
        completion(URLSessionAuthChallengeDisposition::PerformDefaultHandling, nullptr);
    }

    virtual void willPerformHTTPRedirection(URLSession&, URLSessionTask&, const HTTPURLResponse&, const URLRequest& newRequest,
                                            std::function<void(std::optional<URLRequest>)> completion)
    {
        completion(newRequest);
    }
    virtual void taskDidReceiveChallenge(URLSession&, URLSessionTask&, const URLAuthenticationChallenge&,
                                         ChallengeCompletion completion)
    {
        completion(URLSessionAuthChallengeDisposition::PerformDefaultHandling, nullptr);
    }
    virtual void needNewBodyStream(URLSession&, URLSessionTask&, std::function<void(InputStreamPtr)> completion)
    {
        completion(nullptr);
    }
    virtual void didSendBodyData(URLSession&, URLSessionTask&, std::int64_t /*bytesSent*/, std::int64_t /*totalBytesSent*/,
                                 std::int64_t /*totalBytesExpectedToSend*/) { }
    virtual void didCompleteWithError(URLSession&, URLSessionTask&, const foundation::ErrorPtr&) { }

    virtual void didReceiveResponse(URLSession&, URLSessionDataTask&, const HTTPURLResponse&,
                                    std::function<void(URLSessionResponseDisposition)> completion)
    {
        completion(URLSessionResponseDisposition::Allow);
    }
    virtual void didReceiveData(URLSession&, URLSessionDataTask&, const foundation::Data&) { }
    // The data task has ended and the download task carries on with its transfer.
    virtual void didBecomeDownloadTask(URLSession&, URLSessionDataTask&, URLSessionDownloadTask&) { }

    // The file at `location` is removed when this returns: move it away to keep it.
    virtual void didFinishDownloadingToURL(URLSession&, URLSessionDownloadTask&, const foundation::URL& /*location*/) { }
    virtual void didWriteData(URLSession&, URLSessionDownloadTask&, std::int64_t /*bytesWritten*/,
                              std::int64_t /*totalBytesWritten*/, std::int64_t /*totalBytesExpectedToWrite*/) { }
    virtual void didResumeAtOffset(URLSession&, URLSessionDownloadTask&, std::int64_t /*fileOffset*/, std::int64_t /*expectedTotalBytes*/) { }
};

class URLSessionTask : public std::enable_shared_from_this<URLSessionTask> {
public:
    enum class State { Running = 0, Suspended = 1, Canceling = 2, Completed = 3 };
    enum class Kind { Data, Upload, Download };
    // Data is the whole body; the response is none when no HTTP answer arrived.
    using CompletionHandler = std::function<void(const foundation::Data& data,
                                                 const std::optional<HTTPURLResponse>& response,
                                                 const foundation::ErrorPtr& error)>;
    using DownloadCompletionHandler = std::function<void(const std::optional<foundation::URL>& location,
                                                         const std::optional<HTTPURLResponse>& response,
                                                         const foundation::ErrorPtr& error)>;
    // Told of every task of the process that resume() set running or suspend() suspended, on
    // the caller's thread, after the change.
    enum class Notice { Resumed, Suspended };
    using NoticeHook = std::function<void(URLSessionTask& task, Notice notice)>;
    static void setNoticeHook(NoticeHook hook);

    virtual ~URLSessionTask();

    Kind kind() const { return m_kind; }
    std::uint64_t taskIdentifier() const { return m_identifier; }
    const URLRequest& originalRequest() const { return m_request; }
    URLRequest currentRequest() const;
    State state() const;
    std::optional<HTTPURLResponse> response() const;
    foundation::ErrorPtr error() const;
    std::string taskDescription() const;
    void setTaskDescription(std::string description);
    std::int64_t countOfBytesReceived() const;
    std::int64_t countOfBytesSent() const;
    // -1 when unknown.
    std::int64_t countOfBytesExpectedToSend() const;
    std::int64_t countOfBytesExpectedToReceive() const;

    // Starts a suspended task or lets a paused one go on; other states ignore the call.
    void resume();
    // Pauses a running task (its connection stays open); other states ignore the call.
    void suspend();
    // Ends a task that has not completed with the cancelled error; completed tasks ignore it.
    void cancel();

protected:
    URLSessionTask(Kind kind, std::shared_ptr<URLSessionEngine> engine, std::uint64_t identifier, URLRequest request);

private:
    friend struct URLSessionEngine;
    friend struct NetworkLoop;
    friend class URLSession;
    friend class URLSessionDownloadTask;
    struct Transfer;
    struct Body;

    // Called once, on the network thread (or at cancel of a task that never ran).
    void complete(foundation::Data data, std::optional<HTTPURLResponse> response, foundation::ErrorPtr error,
                  std::optional<std::string> downloadedFile = std::nullopt);

    const Kind m_kind;
    std::shared_ptr<URLSessionEngine> m_engine;
    const std::uint64_t m_identifier;
    const URLRequest m_request;
    mutable std::mutex m_mutex;
    URLRequest m_currentRequest;
    State m_state = State::Suspended;
    bool m_started = false;
    CompletionHandler m_handler;
    DownloadCompletionHandler m_downloadHandler;
    std::optional<HTTPURLResponse> m_response;
    foundation::ErrorPtr m_error;
    std::string m_description;
    std::int64_t m_bytesReceived = 0;
    std::int64_t m_bytesSent = 0;
    std::int64_t m_bytesExpectedToSend = -1;
    std::int64_t m_bytesExpectedToReceive = -1;
    // Upload sources and download resumption, read by the network thread when it starts.
    std::shared_ptr<Body> m_body;
    std::optional<foundation::Value> m_resumeData;
    // HTTP authentication: the credential answering the server's challenge and where it
    // belongs, and how many credentials the server refused.
    URLCredentialPtr m_authCredential;
    URLProtectionSpace m_authSpace;
    long m_authFailures = 0;
    int m_authAttempts = 0;
};

class URLSessionDataTask : public URLSessionTask {
protected:
    using URLSessionTask::URLSessionTask;
    friend class URLSession;
};

class URLSessionUploadTask : public URLSessionDataTask {
protected:
    using URLSessionDataTask::URLSessionDataTask;
    friend class URLSession;
};

class URLSessionDownloadTask : public URLSessionTask {
public:
    // Cancels the task; the handler gets data to resume it with later (none when the transfer
    // can't be resumed), on the delegate queue.
    void cancelByProducingResumeData(std::function<void(const std::optional<foundation::Data>& resumeData)> handler);

protected:
    using URLSessionTask::URLSessionTask;
    friend class URLSession;
};

class URLSession : public std::enable_shared_from_this<URLSession> {
public:
    // The process-wide session; its delegate queue is a serial background queue. It has no
    // delegate and can't be invalidated.
    static std::shared_ptr<URLSession> sharedSession();
    // A session whose completion handlers run on `delegateQueue` (a new serial queue when null).
    static std::shared_ptr<URLSession> sessionWithDelegateQueue(dispatch::QueuePtr delegateQueue);
    static std::shared_ptr<URLSession> sessionWithConfiguration(const URLSessionConfiguration& configuration);
    // The session holds its delegate until it has become invalid.
    static std::shared_ptr<URLSession> sessionWithConfiguration(const URLSessionConfiguration& configuration,
                                                                std::shared_ptr<URLSessionDelegate> delegate,
                                                                dispatch::QueuePtr delegateQueue);

    const dispatch::QueuePtr& delegateQueue() const { return m_delegateQueue; }
    const URLSessionConfiguration& configuration() const { return m_configuration; }
    std::shared_ptr<URLSessionDelegate> delegate() const;

    // After invalidation every task-making call answers none.
    std::shared_ptr<URLSessionDataTask> dataTaskWithRequest(const URLRequest& request,
                                                            URLSessionTask::CompletionHandler completionHandler = nullptr);
    std::shared_ptr<URLSessionUploadTask> uploadTaskWithRequest(const URLRequest& request, const foundation::URL& fromFile,
                                                                URLSessionTask::CompletionHandler completionHandler = nullptr);
    std::shared_ptr<URLSessionUploadTask> uploadTaskWithRequest(const URLRequest& request, const foundation::Data& fromData,
                                                                URLSessionTask::CompletionHandler completionHandler = nullptr);
    // The body comes from the request's body stream, else from the delegate's needNewBodyStream.
    std::shared_ptr<URLSessionUploadTask> uploadTaskWithStreamedRequest(const URLRequest& request);
    // The body goes to a temporary file, handed over at the end and removed afterwards.
    std::shared_ptr<URLSessionDownloadTask> downloadTaskWithRequest(const URLRequest& request,
                                                                    URLSessionTask::DownloadCompletionHandler handler = nullptr);
    // None when the resume data is not ours.
    std::shared_ptr<URLSessionDownloadTask> downloadTaskWithResumeData(const foundation::Data& resumeData,
                                                                       URLSessionTask::DownloadCompletionHandler handler = nullptr);

    // The tasks that have not completed, by kind, handed over on the delegate queue.
    void getTasksWithCompletionHandler(std::function<void(std::vector<std::shared_ptr<URLSessionDataTask>>,
                                                          std::vector<std::shared_ptr<URLSessionUploadTask>>,
                                                          std::vector<std::shared_ptr<URLSessionDownloadTask>>)> handler);

    // Makes no more tasks; once the outstanding ones completed, the delegate is told that the
    // session became invalid and is let go. The shared session ignores both.
    void finishTasksAndInvalidate();
    // The same, after cancelling every task.
    void invalidateAndCancel();

    ~URLSession();
    URLSession(const URLSession&) = delete;
    URLSession& operator=(const URLSession&) = delete;

private:
    URLSession(URLSessionConfiguration configuration, std::shared_ptr<URLSessionDelegate> delegate, dispatch::QueuePtr delegateQueue,
               bool shared);
    template <class T>
    std::shared_ptr<T> makeTask(URLSessionTask::Kind kind, const URLRequest& request);
    // A running download task that takes over the transfer of `dataTask`.
    std::shared_ptr<URLSessionDownloadTask> downloadTaskContinuing(URLSessionTask& dataTask);
    friend struct URLSessionTask::Transfer;

    URLSessionConfiguration m_configuration;
    dispatch::QueuePtr m_delegateQueue;
    std::shared_ptr<URLSessionEngine> m_engine;
    bool m_shared = false;
};

} // namespace net
