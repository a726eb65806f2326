#include "MovaraKit/HTTP/NKURLSessionManager.h"

#include <cerrno>
#include <cstdio>
#include <future>
#include <new>

#include "MovaraKit/HTTP/NKJSONResponseSerializer.h"
#include "MovaraKit/HTTP/NKMultipartBodyStream.h"
#include "MovaraKit/HTTP/NKPlatformCoding.h"
#include "Platform/Foundation/FileManager.h"
#include "Platform/Foundation/NotificationCenter.h"

const std::string NetKitTaskDidResumeNotification = "com.wirefern.networking.task.resume";
const std::string NetKitTaskDidStartNotification = NetKitTaskDidResumeNotification;
const std::string NetKitTaskDidSuspendNotification = "com.wirefern.networking.task.suspend";
const std::string NetKitTaskDidCompleteNotification = "com.wirefern.networking.task.complete";
const std::string NetKitTaskDidFinishNotification = NetKitTaskDidCompleteNotification;
const std::string NetKitTaskDidCompleteResponseSerializerKey = "com.wirefern.networking.task.complete.responseserializer";
const std::string NetKitTaskDidFinishResponseSerializerKey = NetKitTaskDidCompleteResponseSerializerKey;
const std::string NetKitTaskDidCompleteResponseDataKey = "com.wirefern.networking.complete.finish.responsedata";
const std::string NetKitTaskDidFinishResponseDataKey = NetKitTaskDidCompleteResponseDataKey;
const std::string NetKitTaskDidCompleteSerializedResponseKey = "com.wirefern.networking.task.complete.serializedresponse";
const std::string NetKitTaskDidFinishSerializedResponseKey = NetKitTaskDidCompleteSerializedResponseKey;
const std::string NetKitTaskDidCompleteErrorKey = "com.wirefern.networking.task.complete.error";
const std::string NetKitTaskDidFinishErrorKey = NetKitTaskDidCompleteErrorKey;
const std::string NetKitTaskDidCompleteAssetPathKey = "com.wirefern.networking.task.complete.assetpath";
const std::string NetKitTaskDidFinishAssetPathKey = NetKitTaskDidCompleteAssetPathKey;
const std::string NKURLSessionDidInvalidateNotification = "com.wirefern.networking.session.invalidate";
const std::string NKURLSessionDownloadTaskDidFailToMoveFileNotification = "com.wirefern.networking.session.download.file-manager-error";

namespace {

const std::string kTaskResumeNotice = "com.wirefern.networking.nsurlsessiontask.resume";
const std::string kTaskSuspendNotice = "com.wirefern.networking.nsurlsessiontask.suspend";

const dispatch::QueuePtr& creationQueue()
{
    // Never released: blocks may still run on it while the process exits.
    static const auto& queue = *new auto(dispatch::Queue::serial("com.wirefern.networking.session.manager.creation"));
    return queue;
}

const dispatch::QueuePtr& processingQueue()
{
    // Never released: blocks may still run on it while the process exits.
    static const auto& queue = *new auto(dispatch::Queue::concurrent("com.wirefern.networking.session.manager.processing"));
    return queue;
}

// Every task of the process tells of its resumes and suspends, once the first manager exists.
void installTaskNotices()
{
    static std::once_flag once;
    std::call_once(once, [] {
        net::URLSessionTask::setNoticeHook([](net::URLSessionTask& task, net::URLSessionTask::Notice notice) {
            foundation::NotificationCenter::defaultCenter().post(
                notice == net::URLSessionTask::Notice::Resumed ? kTaskResumeNotice : kTaskSuspendNotice, task.shared_from_this());
        });
    });
}

std::optional<std::int64_t> contentLengthOf(const net::URLRequest& request)
{
    auto value = request.valueForHTTPHeaderField("Content-Length");
    if (!value)
        return std::nullopt;
    try {
        return std::stoll(*value);
    } catch (...) {
        return std::nullopt;
    }
}

// Moves a finished download to where the caller wants it; the error says why not.
foundation::ErrorPtr moveDownload(net::URLSessionDownloadTask& task, const foundation::URL& from, const foundation::URL& to)
{
    foundation::ErrorPtr error;
    if (foundation::FileManager::defaultManager().moveItemAtURL(from, to, &error))
        return nullptr;
    if (!error)
        error = foundation::Error::make(foundation::NSCocoaErrorDomain, foundation::NSFileWriteUnknownError,
                                        "The downloaded file could not be moved to " + to.path() + ".");
    foundation::NotificationUserInfo info;
    for (const auto& [key, value] : error->userInfo()) {
        if (value.text)
            info[key] = *value.text;
    }
    auto object = task.shared_from_this();
    dispatch::Queue::main()->async([object, info] {
        foundation::NotificationCenter::defaultCenter().post(NKURLSessionDownloadTaskDidFailToMoveFileNotification, object, info);
    });
    return error;
}

} // namespace

// MARK: - Task delegate

NKURLSessionManagerTaskDelegate::NKURLSessionManagerTaskDelegate()
    : progress(foundation::Progress::progressWithTotalUnitCount(0))
{
}

void NKURLSessionManagerTaskDelegate::didSendBodyData(std::int64_t totalBytesSent, std::int64_t totalBytesExpectedToSend)
{
    progress->setTotalUnitCount(totalBytesExpectedToSend);
    progress->setCompletedUnitCount(totalBytesSent);
}

void NKURLSessionManagerTaskDelegate::didReceiveData(const foundation::Data& data)
{
    if (!mutableData)
        return;
    // Running out of memory fails this task, never the queue that delivers its data.
    try {
        mutableData->insert(mutableData->end(), data.begin(), data.end());
    } catch (const std::bad_alloc&) {
        mutableData.reset();
        receiveError = foundation::Error::posix(ENOMEM, "response body");
    }
}

void NKURLSessionManagerTaskDelegate::didWriteData(std::int64_t totalBytesWritten, std::int64_t totalBytesExpectedToWrite)
{
    progress->setTotalUnitCount(totalBytesExpectedToWrite);
    progress->setCompletedUnitCount(totalBytesWritten);
}

void NKURLSessionManagerTaskDelegate::didResumeAtOffset(std::int64_t fileOffset, std::int64_t expectedTotalBytes)
{
    progress->setTotalUnitCount(expectedTotalBytes);
    progress->setCompletedUnitCount(fileOffset);
}

void NKURLSessionManagerTaskDelegate::didFinishDownloadingToURL(net::URLSession& session, net::URLSessionDownloadTask& task,
                                                                const foundation::URL& location)
{
    downloadFileURL.reset();
    if (downloadTaskDidFinishDownloading)
        downloadFileURL = downloadTaskDidFinishDownloading(session, task, location);
    if (downloadFileURL)
        downloadMoveError = moveDownload(task, location, *downloadFileURL);
}

void NKURLSessionManagerTaskDelegate::didCompleteWithError(net::URLSessionTask& task, const foundation::ErrorPtr& error)
{
    auto owner = manager.lock();
    auto serializer = owner ? owner->responseSerializer() : nullptr;
    auto userInfo = std::make_shared<foundation::NotificationUserInfo>();
    (*userInfo)[NetKitTaskDidCompleteResponseSerializerKey] = serializer;

    std::optional<foundation::Data> data;
    if (mutableData) {
        data = std::move(*mutableData);
        mutableData.reset();
    }
    if (downloadFileURL)
        (*userInfo)[NetKitTaskDidCompleteAssetPathKey] = *downloadFileURL;
    else if (data)
        (*userInfo)[NetKitTaskDidCompleteResponseDataKey] = *data;

    dispatch::QueuePtr queue = owner && owner->completionQueue() ? owner->completionQueue() : dispatch::Queue::main();
    dispatch::GroupPtr group = owner && owner->completionGroup() ? owner->completionGroup() : NKURLSessionManager::processCompletionGroup();
    auto taskPtr = task.shared_from_this();
    auto response = task.response();
    auto handler = completionHandler;
    auto post = [taskPtr, userInfo] {
        dispatch::Queue::main()->async([taskPtr, userInfo] {
            foundation::NotificationCenter::defaultCenter().post(NetKitTaskDidCompleteNotification, taskPtr, *userInfo);
        });
    };

    // A download that could not reach its destination failed, whatever the transfer did.
    foundation::ErrorPtr failure = error ? error : receiveError ? receiveError : downloadMoveError;
    if (failure) {
        (*userInfo)[NetKitTaskDidCompleteErrorKey] = failure;
        group->async(queue, [handler, response, failure, post] {
            if (handler)
                handler(response, {}, failure);
            post();
        });
        return;
    }
    auto fileURL = downloadFileURL;
    processingQueue()->async([serializer, response, data, fileURL, userInfo, group, queue, handler, post] {
        foundation::ErrorPtr serializationError;
        std::any object;
        // Decoding can take far more memory than the body (a small document of many tiny
        // containers): running out of it fails this task, never the queue.
        if (serializer) {
            try {
                object = serializer->responseObjectForResponse(response, data, &serializationError);
            } catch (const std::bad_alloc&) {
                object.reset();
                serializationError = foundation::Error::posix(ENOMEM, "response");
            }
        } else if (data)
            object = *data;
        if (fileURL)
            object = *fileURL;
        if (object.has_value())
            (*userInfo)[NetKitTaskDidCompleteSerializedResponseKey] = object;
        if (serializationError)
            (*userInfo)[NetKitTaskDidCompleteErrorKey] = serializationError;
        group->async(queue, [handler, response, object, serializationError, post] {
            if (handler)
                handler(response, object, serializationError);
            post();
        });
    });
}

// MARK: - The session's delegate

struct NKURLSessionManager::Hooks {
    std::mutex mutex;
    std::function<void(net::URLSession&, const foundation::ErrorPtr&)> sessionDidBecomeInvalid;
    ChallengeHook sessionDidReceiveAuthenticationChallenge;
    std::function<net::InputStreamPtr(net::URLSession&, net::URLSessionTask&)> taskNeedNewBodyStream;
    std::function<std::optional<net::URLRequest>(net::URLSession&, net::URLSessionTask&, const net::HTTPURLResponse&, const net::URLRequest&)>
        taskWillPerformHTTPRedirection;
    TaskChallengeHook taskDidReceiveAuthenticationChallenge;
    std::function<void(net::URLSession&, net::URLSessionTask&, std::int64_t, std::int64_t, std::int64_t)> taskDidSendBodyData;
    std::function<void(net::URLSession&, net::URLSessionTask&, const foundation::ErrorPtr&)> taskDidComplete;
    std::function<net::URLSessionResponseDisposition(net::URLSession&, net::URLSessionDataTask&, const net::HTTPURLResponse&)>
        dataTaskDidReceiveResponse;
    std::function<void(net::URLSession&, net::URLSessionDataTask&, const foundation::Data&)> dataTaskDidReceiveData;
    std::function<std::optional<foundation::URL>(net::URLSession&, net::URLSessionDownloadTask&, const foundation::URL&)>
        downloadTaskDidFinishDownloading;
    std::function<void(net::URLSession&, net::URLSessionDownloadTask&, std::int64_t, std::int64_t, std::int64_t)> downloadTaskDidWriteData;
    std::function<void(net::URLSession&, net::URLSessionDownloadTask&, std::int64_t, std::int64_t)> downloadTaskDidResume;
    std::function<void(net::URLSession&, net::URLSessionDataTask&, net::URLSessionDownloadTask&)> dataTaskDidBecomeDownloadTask;
    std::function<std::optional<net::CachedURLResponse>(net::URLSession&, net::URLSessionDataTask&, const net::CachedURLResponse&)>
        dataTaskWillCacheResponse;
    std::function<void(net::URLSession&)> didFinishEventsForBackgroundURLSession;

    template <class F> F get(F Hooks::*member)
    {
        std::lock_guard lock(mutex);
        return this->*member;
    }
    template <class F> void set(F Hooks::*member, F value)
    {
        std::lock_guard lock(mutex);
        this->*member = std::move(value);
    }
};

// Holds its manager for as long as the session holds it: until the session became invalid.
class NKURLSessionManager::SessionDelegate final : public net::URLSessionDelegate {
public:
    explicit SessionDelegate(std::shared_ptr<NKURLSessionManager> manager) : m_manager(std::move(manager)) { }

    bool respondsTo(Hook hook) const override
    {
        auto& hooks = *m_manager->m_hooks;
        switch (hook) {
        case Hook::WillPerformHTTPRedirection: return bool(hooks.get(&Hooks::taskWillPerformHTTPRedirection));
        case Hook::DidReceiveResponse: return bool(hooks.get(&Hooks::dataTaskDidReceiveResponse));
        default: return true;
        }
    }

    void didBecomeInvalidWithError(net::URLSession& session, const foundation::ErrorPtr& error) override
    {
        if (auto hook = m_manager->m_hooks->get(&Hooks::sessionDidBecomeInvalid))
            hook(session, error);
        m_manager->removeAllDelegates();
        foundation::NotificationCenter::defaultCenter().post(NKURLSessionDidInvalidateNotification, session.shared_from_this());
    }

    void didReceiveChallenge(net::URLSession& session, const net::URLAuthenticationChallenge& challenge, ChallengeCompletion completion) override
    {
        net::URLCredentialPtr credential;
        Disposition disposition = Disposition::PerformDefaultHandling;
        if (auto hook = m_manager->m_hooks->get(&Hooks::sessionDidReceiveAuthenticationChallenge)) {
            disposition = hook(session, challenge, &credential);
        } else if (challenge.protectionSpace.authenticationMethod == net::URLAuthenticationMethodServerTrust) {
            if (evaluate(challenge)) {
                credential = net::URLCredential::credentialForTrust(challenge.protectionSpace.serverTrust);
                disposition = credential ? Disposition::UseCredential : Disposition::PerformDefaultHandling;
            } else {
                disposition = Disposition::CancelAuthenticationChallenge;
            }
        }
        completion(disposition, credential);
    }

    void taskDidReceiveChallenge(net::URLSession& session, net::URLSessionTask& task, const net::URLAuthenticationChallenge& challenge,
                                 ChallengeCompletion completion) override
    {
        net::URLCredentialPtr credential;
        Disposition disposition = Disposition::PerformDefaultHandling;
        if (auto hook = m_manager->m_hooks->get(&Hooks::taskDidReceiveAuthenticationChallenge)) {
            disposition = hook(session, task, challenge, &credential);
        } else if (challenge.protectionSpace.authenticationMethod == net::URLAuthenticationMethodServerTrust) {
            if (evaluate(challenge)) {
                credential = net::URLCredential::credentialForTrust(challenge.protectionSpace.serverTrust);
                disposition = Disposition::UseCredential;
            } else {
                disposition = Disposition::CancelAuthenticationChallenge;
            }
        }
        completion(disposition, credential);
    }

    void willPerformHTTPRedirection(net::URLSession& session, net::URLSessionTask& task, const net::HTTPURLResponse& response,
                                    const net::URLRequest& newRequest, std::function<void(std::optional<net::URLRequest>)> completion) override
    {
        auto hook = m_manager->m_hooks->get(&Hooks::taskWillPerformHTTPRedirection);
        completion(hook ? hook(session, task, response, newRequest) : std::optional<net::URLRequest>(newRequest));
    }

    void needNewBodyStream(net::URLSession& session, net::URLSessionTask& task, std::function<void(net::InputStreamPtr)> completion) override
    {
        if (auto hook = m_manager->m_hooks->get(&Hooks::taskNeedNewBodyStream)) {
            completion(hook(session, task));
            return;
        }
        // A multipart body can be produced again from its parts.
        auto multipart = std::dynamic_pointer_cast<NKMultipartBodyStream>(task.originalRequest().HTTPBodyStream());
        completion(multipart ? multipart->copy() : nullptr);
    }

    void didSendBodyData(net::URLSession& session, net::URLSessionTask& task, std::int64_t bytesSent, std::int64_t totalBytesSent,
                         std::int64_t totalBytesExpectedToSend) override
    {
        std::int64_t expected = totalBytesExpectedToSend;
        if (expected == -1)
            expected = contentLengthOf(task.originalRequest()).value_or(-1);
        if (auto delegate = m_manager->delegateForTask(task))
            delegate->didSendBodyData(totalBytesSent, expected);
        if (auto hook = m_manager->m_hooks->get(&Hooks::taskDidSendBodyData))
            hook(session, task, bytesSent, totalBytesSent, expected);
    }

    void didCompleteWithError(net::URLSession& session, net::URLSessionTask& task, const foundation::ErrorPtr& error) override
    {
        if (auto delegate = m_manager->delegateForTask(task)) {
            delegate->didCompleteWithError(task, error);
            m_manager->removeDelegateForTask(task);
        }
        if (auto hook = m_manager->m_hooks->get(&Hooks::taskDidComplete))
            hook(session, task, error);
    }

    void didReceiveResponse(net::URLSession& session, net::URLSessionDataTask& task, const net::HTTPURLResponse& response,
                            std::function<void(net::URLSessionResponseDisposition)> completion) override
    {
        auto hook = m_manager->m_hooks->get(&Hooks::dataTaskDidReceiveResponse);
        completion(hook ? hook(session, task, response) : net::URLSessionResponseDisposition::Allow);
    }

    void didReceiveData(net::URLSession& session, net::URLSessionDataTask& task, const foundation::Data& data) override
    {
        if (auto delegate = m_manager->delegateForTask(task))
            delegate->didReceiveData(data);
        if (auto hook = m_manager->m_hooks->get(&Hooks::dataTaskDidReceiveData))
            hook(session, task, data);
    }

    void didBecomeDownloadTask(net::URLSession& session, net::URLSessionDataTask& dataTask, net::URLSessionDownloadTask& downloadTask) override
    {
        if (auto delegate = m_manager->delegateForTask(dataTask)) {
            m_manager->removeDelegateForTask(dataTask);
            m_manager->setDelegate(delegate, downloadTask);
        }
        if (auto hook = m_manager->m_hooks->get(&Hooks::dataTaskDidBecomeDownloadTask))
            hook(session, dataTask, downloadTask);
    }

    void didFinishDownloadingToURL(net::URLSession& session, net::URLSessionDownloadTask& task, const foundation::URL& location) override
    {
        auto delegate = m_manager->delegateForTask(task);
        if (auto hook = m_manager->m_hooks->get(&Hooks::downloadTaskDidFinishDownloading)) {
            if (auto destination = hook(session, task, location)) {
                auto error = moveDownload(task, location, *destination);
                if (delegate) {
                    delegate->downloadFileURL = destination;
                    delegate->downloadMoveError = error;
                }
                return;
            }
        }
        if (delegate)
            delegate->didFinishDownloadingToURL(session, task, location);
    }

    void didWriteData(net::URLSession& session, net::URLSessionDownloadTask& task, std::int64_t bytesWritten,
                      std::int64_t totalBytesWritten, std::int64_t totalBytesExpectedToWrite) override
    {
        if (auto delegate = m_manager->delegateForTask(task))
            delegate->didWriteData(totalBytesWritten, totalBytesExpectedToWrite);
        if (auto hook = m_manager->m_hooks->get(&Hooks::downloadTaskDidWriteData))
            hook(session, task, bytesWritten, totalBytesWritten, totalBytesExpectedToWrite);
    }

    void didResumeAtOffset(net::URLSession& session, net::URLSessionDownloadTask& task, std::int64_t fileOffset,
                           std::int64_t expectedTotalBytes) override
    {
        if (auto delegate = m_manager->delegateForTask(task))
            delegate->didResumeAtOffset(fileOffset, expectedTotalBytes);
        if (auto hook = m_manager->m_hooks->get(&Hooks::downloadTaskDidResume))
            hook(session, task, fileOffset, expectedTotalBytes);
    }

private:
    bool evaluate(const net::URLAuthenticationChallenge& challenge)
    {
        auto policy = m_manager->securityPolicy();
        return policy && policy->evaluateServerTrust(challenge.protectionSpace.serverTrust, challenge.protectionSpace.host);
    }

    std::shared_ptr<NKURLSessionManager> m_manager;
};

// MARK: - Manager

const dispatch::GroupPtr& NKURLSessionManager::processCompletionGroup()
{
    // Never released: blocks may still run on it while the process exits.
    static const auto& group = *new auto(dispatch::Group::make());
    return group;
}

std::shared_ptr<NKURLSessionManager> NKURLSessionManager::initWithSessionConfiguration(std::optional<net::URLSessionConfiguration> configuration)
{
    std::shared_ptr<NKURLSessionManager> manager(new NKURLSessionManager());
    manager->setUp(std::move(configuration));
    return manager;
}

void NKURLSessionManager::setUp(std::optional<net::URLSessionConfiguration> configuration)
{
    installTaskNotices();
    m_hooks = std::make_shared<Hooks>();
    m_configuration = configuration.value_or(net::URLSessionConfiguration::defaultSessionConfiguration());
    m_operationQueue = dispatch::Queue::serial("com.wirefern.networking.session.manager.delegate");
    m_session = net::URLSession::sessionWithConfiguration(m_configuration, std::make_shared<SessionDelegate>(shared_from_this()),
                                                          m_operationQueue);
    m_responseSerializer = NKJSONResponseSerializer::serializer();
    m_securityPolicy = NKSecurityPolicy::defaultPolicy();
    m_reachabilityManager = NKNetworkReachabilityManager::sharedManager();
    registerExistingTasks();

    std::weak_ptr<NKURLSessionManager> weak = weak_from_this();
    for (bool resumed : { true, false }) {
        m_noticeTokens.push_back(foundation::NotificationCenter::defaultCenter().addObserver(
            resumed ? kTaskResumeNotice : kTaskSuspendNotice, nullptr, nullptr, [weak, resumed](const foundation::Notification& notification) {
                if (auto self = weak.lock())
                    self->taskNotice(notification, resumed);
            }));
    }
}

NKURLSessionManager::~NKURLSessionManager() = default;

void NKURLSessionManager::registerExistingTasks()
{
    // Tasks the session already had (a background session made again under its identifier)
    // get a delegate without a handler. A task made meanwhile keeps the one it was given.
    std::weak_ptr<NKURLSessionManager> weak = weak_from_this();
    m_session->getTasksWithCompletionHandler([weak](auto dataTasks, auto uploadTasks, auto downloadTasks) {
        auto self = weak.lock();
        if (!self)
            return;
        for (const auto& task : dataTasks) {
            if (!self->delegateForTask(*task))
                self->addDelegateForDataTask(task, nullptr);
        }
        for (const auto& task : uploadTasks) {
            if (!self->delegateForTask(*task))
                self->addDelegateForUploadTask(task, nullptr, nullptr);
        }
        for (const auto& task : downloadTasks) {
            if (!self->delegateForTask(*task))
                self->addDelegateForDownloadTask(task, nullptr, nullptr, nullptr);
        }
    });
}

std::shared_ptr<NKURLSessionManager> NKURLSessionManager::makeCopy() const
{
    return initWithSessionConfiguration(m_configuration);
}

void NKURLSessionManager::encodeWithCoder(foundation::KeyedArchiver& coder) const
{
    NKEncodeSessionConfiguration(coder, m_configuration, "sessionConfiguration");
}

std::shared_ptr<NKURLSessionManager> NKURLSessionManager::initWithCoder(foundation::KeyedUnarchiver& coder)
{
    auto configuration = NKDecodeSessionConfiguration(coder, "sessionConfiguration");
    if (coder.error())
        return nullptr;
    return initWithSessionConfiguration(std::move(configuration));
}

void NKURLSessionManager::taskNotice(const foundation::Notification& notification, bool resumed)
{
    auto task = notification.objectAs<net::URLSessionTask>();
    if (!task || task->taskDescription() != taskDescriptionForSessionTasks())
        return;
    dispatch::Queue::main()->async([task, resumed] {
        foundation::NotificationCenter::defaultCenter().post(resumed ? NetKitTaskDidResumeNotification : NetKitTaskDidSuspendNotification, task);
    });
}

std::string NKURLSessionManager::taskDescriptionForSessionTasks() const
{
    char text[32];
    std::snprintf(text, sizeof text, "%p", static_cast<const void*>(this));
    return text;
}

std::string NKURLSessionManager::description() const
{
    char text[64];
    std::snprintf(text, sizeof text, "%p", static_cast<const void*>(this));
    char session[32];
    std::snprintf(session, sizeof session, "%p", static_cast<const void*>(m_session.get()));
    return "<NKURLSessionManager: " + std::string(text) + ", session: " + session + ", operationQueue: " + m_operationQueue->label() + ">";
}

std::shared_ptr<NKHTTPResponseSerializer> NKURLSessionManager::responseSerializer() const
{
    std::lock_guard lock(m_serializerMutex);
    return m_responseSerializer;
}

void NKURLSessionManager::setResponseSerializer(std::shared_ptr<NKHTTPResponseSerializer> serializer)
{
    std::lock_guard lock(m_serializerMutex);
    m_responseSerializer = std::move(serializer);
}

std::shared_ptr<NKURLSessionManagerTaskDelegate> NKURLSessionManager::delegateForTask(const net::URLSessionTask& task) const
{
    std::lock_guard lock(m_lock);
    auto it = m_taskDelegates.find(task.taskIdentifier());
    return it == m_taskDelegates.end() ? nullptr : it->second;
}

void NKURLSessionManager::setDelegate(std::shared_ptr<NKURLSessionManagerTaskDelegate> delegate, const net::URLSessionTask& task)
{
    std::lock_guard lock(m_lock);
    m_taskDelegates[task.taskIdentifier()] = std::move(delegate);
}

void NKURLSessionManager::removeDelegateForTask(const net::URLSessionTask& task)
{
    std::lock_guard lock(m_lock);
    m_taskDelegates.erase(task.taskIdentifier());
}

void NKURLSessionManager::removeAllDelegates()
{
    std::lock_guard lock(m_lock);
    m_taskDelegates.clear();
}

std::shared_ptr<NKURLSessionManagerTaskDelegate> NKURLSessionManager::addDelegateForDataTask(const std::shared_ptr<net::URLSessionTask>& task,
                                                                                              CompletionHandler handler)
{
    auto delegate = std::make_shared<NKURLSessionManagerTaskDelegate>();
    delegate->manager = weak_from_this();
    delegate->completionHandler = std::move(handler);
    task->setTaskDescription(taskDescriptionForSessionTasks());
    setDelegate(delegate, *task);
    return delegate;
}

std::shared_ptr<NKURLSessionManagerTaskDelegate> NKURLSessionManager::addDelegateForUploadTask(const std::shared_ptr<net::URLSessionTask>& task,
                                                                                                foundation::ProgressPtr* progress,
                                                                                                CompletionHandler handler)
{
    auto delegate = addDelegateForDataTask(task, std::move(handler));
    std::int64_t total = task->countOfBytesExpectedToSend();
    if (total == -1)
        total = contentLengthOf(task->originalRequest()).value_or(-1);
    delegate->progress->setTotalUnitCount(total);
    std::weak_ptr<net::URLSessionTask> weakTask = task;
    delegate->progress->setCancellationHandler([weakTask] {
        if (auto strong = weakTask.lock())
            strong->cancel();
    });
    delegate->progress->setPausable(true);
    delegate->progress->setPausingHandler([weakTask] {
        if (auto strong = weakTask.lock())
            strong->suspend();
    });
    if (progress)
        *progress = delegate->progress;
    return delegate;
}

std::shared_ptr<NKURLSessionManagerTaskDelegate> NKURLSessionManager::addDelegateForDownloadTask(
    const std::shared_ptr<net::URLSessionDownloadTask>& task, foundation::ProgressPtr* progress, Destination destination,
    DownloadCompletionHandler handler)
{
    CompletionHandler wrapped;
    if (handler) {
        wrapped = [handler](const std::optional<net::HTTPURLResponse>& response, const std::any& object, const foundation::ErrorPtr& error) {
            const auto* url = std::any_cast<foundation::URL>(&object);
            handler(response, url ? std::optional<foundation::URL>(*url) : std::nullopt, error);
        };
    }
    auto delegate = addDelegateForDataTask(task, std::move(wrapped));
    if (destination) {
        delegate->downloadTaskDidFinishDownloading = [destination](net::URLSession&, net::URLSessionDownloadTask& downloadTask,
                                                                   const foundation::URL& location) {
            return destination(location, downloadTask.response());
        };
    }
    if (progress)
        *progress = delegate->progress;
    return delegate;
}

std::shared_ptr<net::URLSessionDataTask> NKURLSessionManager::dataTaskWithRequest(const net::URLRequest& request, CompletionHandler handler)
{
    std::shared_ptr<net::URLSessionDataTask> task;
    creationQueue()->sync([&] { task = m_session->dataTaskWithRequest(request); });
    if (task)
        addDelegateForDataTask(task, std::move(handler));
    return task;
}

std::shared_ptr<net::URLSessionUploadTask> NKURLSessionManager::uploadTaskWithRequest(const net::URLRequest& request,
                                                                                      const foundation::URL& fromFile,
                                                                                      foundation::ProgressPtr* progress,
                                                                                      CompletionHandler handler)
{
    std::shared_ptr<net::URLSessionUploadTask> task;
    creationQueue()->sync([&] { task = m_session->uploadTaskWithRequest(request, fromFile); });
    if (!task && m_attemptsToRecreateUploadTasks && m_configuration.identifier()) {
        for (int attempt = 0; attempt < 3 && !task; ++attempt)
            task = m_session->uploadTaskWithRequest(request, fromFile);
    }
    if (task)
        addDelegateForUploadTask(task, progress, std::move(handler));
    return task;
}

std::shared_ptr<net::URLSessionUploadTask> NKURLSessionManager::uploadTaskWithRequest(const net::URLRequest& request,
                                                                                      const foundation::Data& bodyData,
                                                                                      foundation::ProgressPtr* progress,
                                                                                      CompletionHandler handler)
{
    std::shared_ptr<net::URLSessionUploadTask> task;
    creationQueue()->sync([&] { task = m_session->uploadTaskWithRequest(request, bodyData); });
    if (task)
        addDelegateForUploadTask(task, progress, std::move(handler));
    return task;
}

std::shared_ptr<net::URLSessionUploadTask> NKURLSessionManager::uploadTaskWithStreamedRequest(const net::URLRequest& request,
                                                                                              foundation::ProgressPtr* progress,
                                                                                              CompletionHandler handler)
{
    std::shared_ptr<net::URLSessionUploadTask> task;
    creationQueue()->sync([&] { task = m_session->uploadTaskWithStreamedRequest(request); });
    if (task)
        addDelegateForUploadTask(task, progress, std::move(handler));
    return task;
}

std::shared_ptr<net::URLSessionDownloadTask> NKURLSessionManager::downloadTaskWithRequest(const net::URLRequest& request,
                                                                                          foundation::ProgressPtr* progress,
                                                                                          Destination destination,
                                                                                          DownloadCompletionHandler handler)
{
    std::shared_ptr<net::URLSessionDownloadTask> task;
    creationQueue()->sync([&] { task = m_session->downloadTaskWithRequest(request); });
    if (task)
        addDelegateForDownloadTask(task, progress, std::move(destination), std::move(handler));
    return task;
}

std::shared_ptr<net::URLSessionDownloadTask> NKURLSessionManager::downloadTaskWithResumeData(const foundation::Data& resumeData,
                                                                                             foundation::ProgressPtr* progress,
                                                                                             Destination destination,
                                                                                             DownloadCompletionHandler handler)
{
    std::shared_ptr<net::URLSessionDownloadTask> task;
    creationQueue()->sync([&] { task = m_session->downloadTaskWithResumeData(resumeData); });
    if (task)
        addDelegateForDownloadTask(task, progress, std::move(destination), std::move(handler));
    return task;
}

foundation::ProgressPtr NKURLSessionManager::uploadProgressForTask(const net::URLSessionTask& task) const
{
    auto delegate = delegateForTask(task);
    return delegate ? delegate->progress : nullptr;
}

foundation::ProgressPtr NKURLSessionManager::downloadProgressForTask(const net::URLSessionTask& task) const
{
    return uploadProgressForTask(task);
}

std::vector<std::shared_ptr<net::URLSessionTask>> NKURLSessionManager::tasksOfKind(int kind) const
{
    std::promise<std::vector<std::shared_ptr<net::URLSessionTask>>> promise;
    m_session->getTasksWithCompletionHandler([&promise, kind](auto data, auto uploads, auto downloads) {
        std::vector<std::shared_ptr<net::URLSessionTask>> tasks;
        if (kind < 0 || kind == 0)
            tasks.insert(tasks.end(), data.begin(), data.end());
        if (kind < 0 || kind == 1)
            tasks.insert(tasks.end(), uploads.begin(), uploads.end());
        if (kind < 0 || kind == 2)
            tasks.insert(tasks.end(), downloads.begin(), downloads.end());
        promise.set_value(std::move(tasks));
    });
    return promise.get_future().get();
}

std::vector<std::shared_ptr<net::URLSessionTask>> NKURLSessionManager::tasks() const { return tasksOfKind(-1); }
std::vector<std::shared_ptr<net::URLSessionTask>> NKURLSessionManager::dataTasks() const { return tasksOfKind(0); }
std::vector<std::shared_ptr<net::URLSessionTask>> NKURLSessionManager::uploadTasks() const { return tasksOfKind(1); }
std::vector<std::shared_ptr<net::URLSessionTask>> NKURLSessionManager::downloadTasks() const { return tasksOfKind(2); }

void NKURLSessionManager::invalidateSessionCancelingTasks(bool cancelPendingTasks)
{
    dispatch::Queue::main()->async([session = m_session, cancelPendingTasks] {
        if (cancelPendingTasks)
            session->invalidateAndCancel();
        else
            session->finishTasksAndInvalidate();
    });
}

#define NK_HOOK_SETTER(setter, member, Type)                                                                                        \
    void NKURLSessionManager::setter(Type block) { m_hooks->set(&Hooks::member, std::move(block)); }

NK_HOOK_SETTER(setSessionDidBecomeInvalidBlock, sessionDidBecomeInvalid, std::function<void(net::URLSession&, const foundation::ErrorPtr&)>)
NK_HOOK_SETTER(setSessionDidReceiveAuthenticationChallengeBlock, sessionDidReceiveAuthenticationChallenge, ChallengeHook)
NK_HOOK_SETTER(setTaskNeedNewBodyStreamBlock, taskNeedNewBodyStream, std::function<net::InputStreamPtr(net::URLSession&, net::URLSessionTask&)>)
NK_HOOK_SETTER(setTaskDidReceiveAuthenticationChallengeBlock, taskDidReceiveAuthenticationChallenge, TaskChallengeHook)
NK_HOOK_SETTER(setTaskDidSendBodyDataBlock, taskDidSendBodyData,
               std::function<void(net::URLSession&, net::URLSessionTask&, std::int64_t, std::int64_t, std::int64_t)>)
NK_HOOK_SETTER(setTaskDidCompleteBlock, taskDidComplete, std::function<void(net::URLSession&, net::URLSessionTask&, const foundation::ErrorPtr&)>)
NK_HOOK_SETTER(setDataTaskDidReceiveDataBlock, dataTaskDidReceiveData,
               std::function<void(net::URLSession&, net::URLSessionDataTask&, const foundation::Data&)>)
NK_HOOK_SETTER(setDownloadTaskDidWriteDataBlock, downloadTaskDidWriteData,
               std::function<void(net::URLSession&, net::URLSessionDownloadTask&, std::int64_t, std::int64_t, std::int64_t)>)
NK_HOOK_SETTER(setDownloadTaskDidResumeBlock, downloadTaskDidResume,
               std::function<void(net::URLSession&, net::URLSessionDownloadTask&, std::int64_t, std::int64_t)>)
NK_HOOK_SETTER(setDataTaskDidBecomeDownloadTaskBlock, dataTaskDidBecomeDownloadTask,
               std::function<void(net::URLSession&, net::URLSessionDataTask&, net::URLSessionDownloadTask&)>)
NK_HOOK_SETTER(setDidFinishEventsForBackgroundURLSessionBlock, didFinishEventsForBackgroundURLSession, std::function<void(net::URLSession&)>)
#undef NK_HOOK_SETTER

void NKURLSessionManager::setDataTaskWillCacheResponseBlock(
    std::function<std::optional<net::CachedURLResponse>(net::URLSession&, net::URLSessionDataTask&, const net::CachedURLResponse&)> block)
{
    m_hooks->set(&Hooks::dataTaskWillCacheResponse, std::move(block));
}

void NKURLSessionManager::setTaskWillPerformHTTPRedirectionBlock(
    std::function<std::optional<net::URLRequest>(net::URLSession&, net::URLSessionTask&, const net::HTTPURLResponse&, const net::URLRequest&)> block)
{
    m_hooks->set(&Hooks::taskWillPerformHTTPRedirection, std::move(block));
}

void NKURLSessionManager::setDataTaskDidReceiveResponseBlock(
    std::function<net::URLSessionResponseDisposition(net::URLSession&, net::URLSessionDataTask&, const net::HTTPURLResponse&)> block)
{
    m_hooks->set(&Hooks::dataTaskDidReceiveResponse, std::move(block));
}

void NKURLSessionManager::setDownloadTaskDidFinishDownloadingBlock(
    std::function<std::optional<foundation::URL>(net::URLSession&, net::URLSessionDownloadTask&, const foundation::URL&)> block)
{
    m_hooks->set(&Hooks::downloadTaskDidFinishDownloading, std::move(block));
}
