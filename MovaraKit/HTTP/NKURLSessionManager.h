#pragma once
// The URL-session manager: owns one session and is its delegate. It makes data, upload and
// download tasks (always returned suspended), keeps one task delegate per task, and turns the
// session's callbacks into one completion per task with the serialized response: serialization
// on a shared processing queue, the handler on the completion queue (main by default) inside
// the completion group, then the completion notification on the main queue. The session keeps
// its manager until invalidateSessionCancelingTasks() has run its course.
//
// Archives keep the session configuration only; a copy is a manager of the same class on the
// same configuration, with the defaults for everything else. On Linux no session runs in the
// background and none keeps a URL cache: the background-events and will-cache hooks are kept
// but never called.

#include <any>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "MovaraKit/HTTP/NKHTTPResponseSerializer.h"
#include "MovaraKit/HTTP/NKNetworkReachabilityManager.h"
#include "MovaraKit/HTTP/NKSecurityPolicy.h"
#include "Platform/Dispatch/Group.h"
#include "Platform/Dispatch/Queue.h"
#include "Platform/Foundation/KeyedArchiver.h"
#include "Platform/Foundation/NotificationCenter.h"
#include "Platform/Foundation/Progress.h"
#include "Platform/Net/URLSession.h"

// Notifications (object: the task) and the keys of the completion notification's user info.
extern const std::string NetKitTaskDidResumeNotification;  // "com.wirefern.networking.task.resume"
extern const std::string NetKitTaskDidStartNotification;   // the same
extern const std::string NetKitTaskDidSuspendNotification; // "com.wirefern.networking.task.suspend"
extern const std::string NetKitTaskDidCompleteNotification; // "com.wirefern.networking.task.complete"
extern const std::string NetKitTaskDidFinishNotification;
extern const std::string NetKitTaskDidCompleteResponseSerializerKey;
extern const std::string NetKitTaskDidFinishResponseSerializerKey;
extern const std::string NetKitTaskDidCompleteResponseDataKey;
extern const std::string NetKitTaskDidFinishResponseDataKey;
extern const std::string NetKitTaskDidCompleteSerializedResponseKey;
extern const std::string NetKitTaskDidFinishSerializedResponseKey;
extern const std::string NetKitTaskDidCompleteErrorKey;
extern const std::string NetKitTaskDidFinishErrorKey;
extern const std::string NetKitTaskDidCompleteAssetPathKey;
extern const std::string NetKitTaskDidFinishAssetPathKey;
extern const std::string NKURLSessionDidInvalidateNotification;                 // object: the session
extern const std::string NKURLSessionDownloadTaskDidFailToMoveFileNotification; // object: the task

class NKURLSessionManager;

// The per-task state: bytes received, progress, where a download went, the caller's handler.
class NKURLSessionManagerTaskDelegate {
public:
    using CompletionHandler = std::function<void(const std::optional<net::HTTPURLResponse>& response, const std::any& responseObject,
                                                 const foundation::ErrorPtr& error)>;
    using FinishDownloading = std::function<std::optional<foundation::URL>(net::URLSession&, net::URLSessionDownloadTask&,
                                                                           const foundation::URL& location)>;

    NKURLSessionManagerTaskDelegate();

    std::weak_ptr<NKURLSessionManager> manager;
    std::optional<foundation::Data> mutableData { foundation::Data() };
    foundation::ProgressPtr progress;
    std::optional<foundation::URL> downloadFileURL;
    // Why a finished download could not be moved to its destination.
    foundation::ErrorPtr downloadMoveError;
    // Why the body could not be kept (memory ran out).
    foundation::ErrorPtr receiveError;
    FinishDownloading downloadTaskDidFinishDownloading;
    CompletionHandler completionHandler;

    void didSendBodyData(std::int64_t totalBytesSent, std::int64_t totalBytesExpectedToSend);
    void didReceiveData(const foundation::Data& data);
    void didWriteData(std::int64_t totalBytesWritten, std::int64_t totalBytesExpectedToWrite);
    void didResumeAtOffset(std::int64_t fileOffset, std::int64_t expectedTotalBytes);
    void didFinishDownloadingToURL(net::URLSession& session, net::URLSessionDownloadTask& task, const foundation::URL& location);
    void didCompleteWithError(net::URLSessionTask& task, const foundation::ErrorPtr& error);
};

class NKURLSessionManager : public std::enable_shared_from_this<NKURLSessionManager>, public foundation::Coding {
public:
    using CompletionHandler = NKURLSessionManagerTaskDelegate::CompletionHandler;
    using DownloadCompletionHandler = std::function<void(const std::optional<net::HTTPURLResponse>& response,
                                                         const std::optional<foundation::URL>& filePath, const foundation::ErrorPtr& error)>;
    using Destination = std::function<std::optional<foundation::URL>(const foundation::URL& targetPath,
                                                                     const std::optional<net::HTTPURLResponse>& response)>;
    using Disposition = net::URLSessionAuthChallengeDisposition;

    // No configuration means the default one.
    static std::shared_ptr<NKURLSessionManager> initWithSessionConfiguration(std::optional<net::URLSessionConfiguration> configuration = {});
    virtual ~NKURLSessionManager();

    const std::shared_ptr<net::URLSession>& session() const { return m_session; }
    // The session's delegate queue: one event at a time.
    const dispatch::QueuePtr& operationQueue() const { return m_operationQueue; }
    const net::URLSessionConfiguration& sessionConfiguration() const { return m_configuration; }

    // A file upload that the session refuses is asked for up to three more times, in
    // background sessions only.
    bool attemptsToRecreateUploadTasksForBackgroundSessions() const { return m_attemptsToRecreateUploadTasks; }
    void setAttemptsToRecreateUploadTasksForBackgroundSessions(bool attempts) { m_attemptsToRecreateUploadTasks = attempts; }

    std::shared_ptr<NKHTTPResponseSerializer> responseSerializer() const;
    void setResponseSerializer(std::shared_ptr<NKHTTPResponseSerializer> serializer);
    const std::shared_ptr<NKSecurityPolicy>& securityPolicy() const { return m_securityPolicy; }
    void setSecurityPolicy(std::shared_ptr<NKSecurityPolicy> policy) { m_securityPolicy = std::move(policy); }
    const std::shared_ptr<NKNetworkReachabilityManager>& reachabilityManager() const { return m_reachabilityManager; }
    void setReachabilityManager(std::shared_ptr<NKNetworkReachabilityManager> manager) { m_reachabilityManager = std::move(manager); }
    // None: the main queue, and the process-wide completion group.
    const dispatch::QueuePtr& completionQueue() const { return m_completionQueue; }
    void setCompletionQueue(dispatch::QueuePtr queue) { m_completionQueue = std::move(queue); }
    const dispatch::GroupPtr& completionGroup() const { return m_completionGroup; }
    void setCompletionGroup(dispatch::GroupPtr group) { m_completionGroup = std::move(group); }
    static const dispatch::GroupPtr& processCompletionGroup();

    // Tasks, not resumed. A progress out-parameter receives the task's progress object.
    std::shared_ptr<net::URLSessionDataTask> dataTaskWithRequest(const net::URLRequest& request, CompletionHandler handler);
    std::shared_ptr<net::URLSessionUploadTask> uploadTaskWithRequest(const net::URLRequest& request, const foundation::URL& fromFile,
                                                                     foundation::ProgressPtr* progress, CompletionHandler handler);
    std::shared_ptr<net::URLSessionUploadTask> uploadTaskWithRequest(const net::URLRequest& request, const foundation::Data& bodyData,
                                                                     foundation::ProgressPtr* progress, CompletionHandler handler);
    std::shared_ptr<net::URLSessionUploadTask> uploadTaskWithStreamedRequest(const net::URLRequest& request,
                                                                             foundation::ProgressPtr* progress, CompletionHandler handler);
    std::shared_ptr<net::URLSessionDownloadTask> downloadTaskWithRequest(const net::URLRequest& request, foundation::ProgressPtr* progress,
                                                                         Destination destination, DownloadCompletionHandler handler);
    std::shared_ptr<net::URLSessionDownloadTask> downloadTaskWithResumeData(const foundation::Data& resumeData,
                                                                            foundation::ProgressPtr* progress, Destination destination,
                                                                            DownloadCompletionHandler handler);

    foundation::ProgressPtr uploadProgressForTask(const net::URLSessionTask& task) const;
    foundation::ProgressPtr downloadProgressForTask(const net::URLSessionTask& task) const;

    // The session's tasks that have not completed; never call from operationQueue().
    std::vector<std::shared_ptr<net::URLSessionTask>> tasks() const;
    std::vector<std::shared_ptr<net::URLSessionTask>> dataTasks() const;
    std::vector<std::shared_ptr<net::URLSessionTask>> uploadTasks() const;
    std::vector<std::shared_ptr<net::URLSessionTask>> downloadTasks() const;

    // Later, on the main queue: the session cancels (or finishes) its tasks and becomes invalid.
    void invalidateSessionCancelingTasks(bool cancelPendingTasks);

    // Hooks; each replaces or follows the manager's own handling of the event.
    using ChallengeHook = std::function<Disposition(net::URLSession&, const net::URLAuthenticationChallenge&, net::URLCredentialPtr*)>;
    using TaskChallengeHook = std::function<Disposition(net::URLSession&, net::URLSessionTask&, const net::URLAuthenticationChallenge&,
                                                        net::URLCredentialPtr*)>;
    void setSessionDidBecomeInvalidBlock(std::function<void(net::URLSession&, const foundation::ErrorPtr&)> block);
    void setSessionDidReceiveAuthenticationChallengeBlock(ChallengeHook block);
    void setTaskNeedNewBodyStreamBlock(std::function<net::InputStreamPtr(net::URLSession&, net::URLSessionTask&)> block);
    void setTaskWillPerformHTTPRedirectionBlock(std::function<std::optional<net::URLRequest>(
                                                    net::URLSession&, net::URLSessionTask&, const net::HTTPURLResponse&, const net::URLRequest&)> block);
    void setTaskDidReceiveAuthenticationChallengeBlock(TaskChallengeHook block);
    void setTaskDidSendBodyDataBlock(std::function<void(net::URLSession&, net::URLSessionTask&, std::int64_t, std::int64_t, std::int64_t)> block);
    void setTaskDidCompleteBlock(std::function<void(net::URLSession&, net::URLSessionTask&, const foundation::ErrorPtr&)> block);
    void setDataTaskDidReceiveResponseBlock(std::function<net::URLSessionResponseDisposition(net::URLSession&, net::URLSessionDataTask&,
                                                                                             const net::HTTPURLResponse&)> block);
    void setDataTaskDidReceiveDataBlock(std::function<void(net::URLSession&, net::URLSessionDataTask&, const foundation::Data&)> block);
    void setDownloadTaskDidFinishDownloadingBlock(std::function<std::optional<foundation::URL>(net::URLSession&, net::URLSessionDownloadTask&,
                                                                                              const foundation::URL&)> block);
    void setDownloadTaskDidWriteDataBlock(std::function<void(net::URLSession&, net::URLSessionDownloadTask&, std::int64_t, std::int64_t,
                                                             std::int64_t)> block);
    void setDownloadTaskDidResumeBlock(std::function<void(net::URLSession&, net::URLSessionDownloadTask&, std::int64_t, std::int64_t)> block);
    // After the registry moved the data task's delegate to the download task.
    void setDataTaskDidBecomeDownloadTaskBlock(std::function<void(net::URLSession&, net::URLSessionDataTask&, net::URLSessionDownloadTask&)> block);
    void setDataTaskWillCacheResponseBlock(std::function<std::optional<net::CachedURLResponse>(net::URLSession&, net::URLSessionDataTask&,
                                                                                               const net::CachedURLResponse&)> block);
    void setDidFinishEventsForBackgroundURLSessionBlock(std::function<void(net::URLSession&)> block);

    // A new manager of the same class on the same configuration; hooks, serializers, policy
    // and queues are those of a new manager.
    std::shared_ptr<NKURLSessionManager> copy() const { return makeCopy(); }

    std::string className() const override { return "NKURLSessionManager"; }
    // Writes the session configuration under "sessionConfiguration".
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
    // None, with the unarchiver's error set, when the archive holds no valid configuration.
    static std::shared_ptr<NKURLSessionManager> initWithCoder(foundation::KeyedUnarchiver& coder);

    // The address of the manager as "%p": every task it made carries it as its description.
    std::string taskDescriptionForSessionTasks() const;
    std::string description() const;

    // The registry (for the session's callbacks and for subclasses).
    std::shared_ptr<NKURLSessionManagerTaskDelegate> delegateForTask(const net::URLSessionTask& task) const;

protected:
    NKURLSessionManager() = default;
    void setUp(std::optional<net::URLSessionConfiguration> configuration);
    virtual std::shared_ptr<NKURLSessionManager> makeCopy() const;

private:
    class SessionDelegate;
    friend class SessionDelegate;

    void setDelegate(std::shared_ptr<NKURLSessionManagerTaskDelegate> delegate, const net::URLSessionTask& task);
    void removeDelegateForTask(const net::URLSessionTask& task);
    void removeAllDelegates();
    std::shared_ptr<NKURLSessionManagerTaskDelegate> addDelegateForDataTask(const std::shared_ptr<net::URLSessionTask>& task,
                                                                             CompletionHandler handler);
    std::shared_ptr<NKURLSessionManagerTaskDelegate> addDelegateForUploadTask(const std::shared_ptr<net::URLSessionTask>& task,
                                                                               foundation::ProgressPtr* progress, CompletionHandler handler);
    std::shared_ptr<NKURLSessionManagerTaskDelegate> addDelegateForDownloadTask(const std::shared_ptr<net::URLSessionDownloadTask>& task,
                                                                                 foundation::ProgressPtr* progress, Destination destination,
                                                                                 DownloadCompletionHandler handler);
    std::vector<std::shared_ptr<net::URLSessionTask>> tasksOfKind(int kind) const;
    void taskNotice(const foundation::Notification& notification, bool resumed);
    void registerExistingTasks();

    net::URLSessionConfiguration m_configuration;
    dispatch::QueuePtr m_operationQueue;
    std::shared_ptr<net::URLSession> m_session;
    mutable std::mutex m_serializerMutex;
    std::shared_ptr<NKHTTPResponseSerializer> m_responseSerializer;
    std::shared_ptr<NKSecurityPolicy> m_securityPolicy;
    std::shared_ptr<NKNetworkReachabilityManager> m_reachabilityManager;
    dispatch::QueuePtr m_completionQueue;
    dispatch::GroupPtr m_completionGroup;
    bool m_attemptsToRecreateUploadTasks = false;

    mutable std::mutex m_lock; // "com.wirefern.networking.session.manager.lock"
    std::map<std::uint64_t, std::shared_ptr<NKURLSessionManagerTaskDelegate>> m_taskDelegates;
    std::vector<foundation::NotificationCenter::Token> m_noticeTokens;

    struct Hooks;
    std::shared_ptr<Hooks> m_hooks;
};
