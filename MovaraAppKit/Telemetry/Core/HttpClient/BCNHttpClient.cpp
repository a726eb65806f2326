#include "MovaraAppKit/Telemetry/Core/HttpClient/BCNHttpClient.h"

#include <algorithm>
#include <cstdlib>

#include "MovaraAppKit/Telemetry/Core/BCNLogger.h"
#include "MovaraAppKit/Telemetry/Core/BCNUtility.h"
#include "MovaraAppKit/Telemetry/Core/HttpClient/BCNHttpUtil.h"
#include "MovaraAppKit/Telemetry/Core/HttpClient/BCN_Reachability.h"
#include "Platform/Net/URLSession.h"

namespace {

const std::string kTag = "Beacon";

std::optional<std::uint32_t> retryAfter(const net::HTTPURLResponse& response)
{
    auto header = response.valueForHTTPHeaderField("x-beacon-retry-after-ms");
    if (!header || header->empty())
        return std::nullopt;
    char* end = nullptr;
    const double value = std::strtod(header->c_str(), &end);
    if (end == header->c_str() || *end != '\0' || !(value >= 0) || value > 4294967295.0)
        return std::nullopt;
    return static_cast<std::uint32_t>(value);
}

} // namespace

const std::vector<double>& BCNHttpClientProtocol::defaultRetryIntervals()
{
    static const std::vector<double> intervals { 10, 300, 1200 };
    return intervals;
}

std::shared_ptr<BCNHttpClient> BCNHttpClient::init()
{
    return initWithMaxHttpConnectionsPerHost(std::nullopt, BCN_Reachability::reachabilityForInternetConnection());
}

std::shared_ptr<BCNHttpClient> BCNHttpClient::initWithMaxHttpConnectionsPerHost(long maxHttpConnectionsPerHost)
{
    return initWithMaxHttpConnectionsPerHost(maxHttpConnectionsPerHost, BCN_Reachability::reachabilityForInternetConnection());
}

std::shared_ptr<BCNHttpClient> BCNHttpClient::initWithMaxHttpConnectionsPerHost(std::optional<long> maxHttpConnectionsPerHost,
                                                                                std::shared_ptr<BCN_Reachability> reachability)
{
    std::shared_ptr<BCNHttpClient> client(new BCNHttpClient());
    client->start(maxHttpConnectionsPerHost, std::move(reachability));
    return client;
}

void BCNHttpClient::start(std::optional<long> maxHttpConnectionsPerHost, std::shared_ptr<BCN_Reachability> reachability)
{
    m_sessionConfiguration = net::URLSessionConfiguration::defaultSessionConfiguration();
    if (maxHttpConnectionsPerHost)
        m_sessionConfiguration.setHTTPMaximumConnectionsPerHost(*maxHttpConnectionsPerHost);
    m_session = net::URLSession::sessionWithConfiguration(m_sessionConfiguration);
    m_reachability = std::move(reachability);
    if (m_reachability) {
        foundation::NotificationCenter::defaultCenter().addObserver(shared_from_this(), &BCNHttpClient::networkStateChanged,
                                                                    kBCNReachabilityChangedNotification, m_reachability.get());
        m_reachability->startNotifier();
    }
}

BCNHttpClient::~BCNHttpClient()
{
    if (m_reachability)
        m_reachability->stopNotifier();
    if (m_resumeTimer)
        m_resumeTimer->cancel();
    // Observations of a target go away with it. Requests on the wire finish (each holds the
    // session until its answer is in) and find no client to report to.
    if (m_session)
        m_session->finishTasksAndInvalidate();
}

void BCNHttpClient::setDelegate(std::weak_ptr<BCNHttpClientDelegate> delegate)
{
    std::lock_guard lock(m_mutex);
    m_delegate = std::move(delegate);
}

bool BCNHttpClient::isPaused() const
{
    std::lock_guard lock(m_mutex);
    return m_paused;
}

bool BCNHttpClient::isEnabled() const
{
    std::lock_guard lock(m_mutex);
    return m_enabled;
}

std::size_t BCNHttpClient::pendingCallCount() const
{
    std::lock_guard lock(m_mutex);
    return m_pendingCalls.size();
}

bool BCNHttpClient::hasCallsInProgress() const
{
    std::lock_guard lock(m_mutex);
    return std::any_of(m_pendingCalls.begin(), m_pendingCalls.end(), [](const auto& call) { return call->isInProgress(); });
}

net::URLSessionConfiguration BCNHttpClient::sessionConfiguration() const
{
    std::lock_guard lock(m_mutex);
    return m_sessionConfiguration;
}

void BCNHttpClient::setRequestTimeout(double seconds)
{
    std::lock_guard lock(m_mutex);
    m_sessionConfiguration.setTimeoutIntervalForRequest(seconds);
    if (m_session)
        replaceSessionLocked();
}

// A session's configuration is fixed when it is made: changes take a new one, while the old
// one finishes what it has on the wire.
void BCNHttpClient::replaceSessionLocked()
{
    if (m_session)
        m_session->finishTasksAndInvalidate();
    m_session = net::URLSession::sessionWithConfiguration(m_sessionConfiguration);
}

void BCNHttpClient::sendAsync(const foundation::URL& url, const std::string& method, const net::HTTPHeaderFields& headers,
                              const std::optional<foundation::Data>& data, const std::vector<double>& retryIntervals,
                              bool compressionEnabled, BCNHttpCompletionHandler completionHandler)
{
    std::lock_guard lock(m_mutex);
    if (!m_enabled) {
        if (completionHandler)
            completionHandler(std::nullopt, std::nullopt, BCNMakeError(BCNDisabledErrorCode));
        return;
    }
    sendCallAsync(std::make_shared<BCNHttpCall>(url, method, headers, data, retryIntervals, compressionEnabled,
                                                std::move(completionHandler)));
}

void BCNHttpClient::sendCallAsync(const std::shared_ptr<BCNHttpCall>& call)
{
    std::lock_guard lock(m_mutex);
    m_pendingCalls.insert(call);
    if (m_paused || !m_session || call->isInProgress())
        return;
    // The upload time is that of this sending, also for a retry.
    if (call->headers().contains("Upload-Time"))
        call->mutableHeaders()["Upload-Time"] = std::to_string(static_cast<long long>(BCNUtility::nowInMilliseconds()));
    if (auto delegate = m_delegate.lock())
        delegate->willSendHTTPRequestToURL(call->url(), call->headers());
    // No time-out of its own: the session's finite one applies.
    net::URLRequest request(call->url(), net::URLRequestCachePolicy::ReloadIgnoringLocalCacheData, 0);
    request.setHTTPMethod(call->method());
    request.setAllHTTPHeaderFields(call->headers());
    request.setHTTPBody(call->data());
    call->setInProgress(true);
    std::weak_ptr<BCNHttpClient> weak = weak_from_this();
    // The task holds its session, so that a session let go (the client gone, a new
    // configuration) still delivers the answer before it is invalidated.
    auto task = m_session->dataTaskWithRequest(request, [weak, call, session = m_session](const foundation::Data& data,
                                                                                         const std::optional<net::HTTPURLResponse>& response,
                                                                                         const foundation::ErrorPtr& error) {
        if (auto self = weak.lock())
            self->requestCompleted(call, data, response, error);
    });
    task->resume();
}

void BCNHttpClient::requestCompleted(const std::shared_ptr<BCNHttpCall>& call, const foundation::Data& data,
                                     const std::optional<net::HTTPURLResponse>& response, const foundation::ErrorPtr& error)
{
    std::unique_lock lock(m_mutex);
    call->setInProgress(false);
    if (!m_pendingCalls.contains(call)) {
        BCNLogDebug(kTag, "HTTP call was canceled; do not process further.");
        return;
    }
    const std::optional<foundation::Data> body = data.empty() ? std::nullopt : std::optional<foundation::Data>(data);
    if (error) {
        if (BCNHttpUtil::isNoInternetConnectionError(error) || BCNHttpUtil::isSSLConnectionError(error)) {
            call->resetRetry();
            const std::string reason = BCNHttpUtil::isNoInternetConnectionError(error) ? "Internet connection is down." : "Could not establish secure connection.";
            BCNLogInfo(kTag, "HTTP call failed with error: " + reason);
            return;
        }
        BCNLogError(kTag, "HTTP request error with code: " + std::to_string(error->code()) + ", domain: " + error->domain()
                              + ", description: " + error->localizedDescription());
        m_pendingCalls.erase(call);
        lock.unlock();
        if (call->completionHandler())
            call->completionHandler()(body, std::nullopt, error);
        return;
    }
    const long status = response ? response->statusCode() : 0;
    if (BCNHttpUtil::isRecoverableError(status)) {
        if (call->hasReachedMaxRetries()) {
            pauseLocked();
            // Not for good: the server asked for patience, so try again after the longest wait.
            const auto& intervals = call->retryIntervals();
            scheduleResumeAfter(intervals.empty() ? defaultRetryIntervals().back() : intervals.back());
            m_pendingCalls.erase(call);
            lock.unlock();
            if (call->completionHandler())
                call->completionHandler()(body, response, nullptr);
            return;
        }
        std::weak_ptr<BCNHttpClient> weak = weak_from_this();
        call->startRetryTimerWithStatusCode(status, response ? retryAfter(*response) : std::nullopt, [weak, call] {
            if (auto self = weak.lock())
                self->sendCallAsync(call);
        });
        return;
    }
    m_pendingCalls.erase(call);
    if (BCNHttpUtil::isSuccessStatusCode(status)) {
        lock.unlock();
        if (call->completionHandler())
            call->completionHandler()(body, response, nullptr);
        return;
    }
    if (call->completionHandler())
        call->completionHandler()(body, response, nullptr);
    setEnabled(false, true);
}

void BCNHttpClient::networkStateChanged(const foundation::Notification&)
{
    if (!m_reachability)
        return;
    if (m_reachability->currentReachabilityStatus() != BCN_Reachability::NotReachable) {
        BCNLogInfo(kTag, "Internet connection is up.");
        resume();
    } else {
        BCNLogInfo(kTag, "Internet connection is down.");
        pause();
    }
}

void BCNHttpClient::pause()
{
    std::lock_guard lock(m_mutex);
    pauseLocked();
}

void BCNHttpClient::pauseLocked()
{
    if (m_paused)
        return;
    BCNLogInfo(kTag, "Pause HTTP client.");
    m_paused = true;
    for (const auto& call : m_pendingCalls)
        call->resetRetry();
}

void BCNHttpClient::resume()
{
    std::lock_guard lock(m_mutex);
    resumeLocked();
}

void BCNHttpClient::resumeLocked()
{
    if (!m_paused || !m_enabled)
        return;
    BCNLogInfo(kTag, "Resume HTTP client.");
    m_paused = false;
    if (m_resumeTimer) {
        m_resumeTimer->cancel();
        m_resumeTimer.reset();
    }
    const auto calls = m_pendingCalls;
    for (const auto& call : calls)
        if (!call->isInProgress())
            sendCallAsync(call);
}

void BCNHttpClient::scheduleResumeAfter(double seconds)
{
    if (m_resumeTimer)
        m_resumeTimer->cancel();
    m_resumeTimer = dispatch::TimerSource::make(dispatch::Queue::global());
    std::weak_ptr<BCNHttpClient> weak = weak_from_this();
    m_resumeTimer->setEventHandler([weak] {
        if (auto self = weak.lock())
            self->resume();
    });
    m_resumeTimer->setTimer(seconds);
    m_resumeTimer->resume();
}

void BCNHttpClient::setEnabled(bool enabled)
{
    std::lock_guard lock(m_mutex);
    m_enabled = enabled;
}

void BCNHttpClient::setEnabled(bool enabled, bool deleteDataOnDisabled)
{
    std::vector<std::shared_ptr<BCNHttpCall>> cancelled;
    {
        std::lock_guard lock(m_mutex);
        if (enabled == m_enabled)
            return;
        m_enabled = enabled;
        if (enabled) {
            replaceSessionLocked();
            if (m_reachability)
                m_reachability->startNotifier();
            resumeLocked();
            return;
        }
        if (m_reachability)
            m_reachability->stopNotifier();
        pauseLocked();
        if (deleteDataOnDisabled) {
            if (m_session)
                m_session->invalidateAndCancel();
            m_session.reset();
            cancelled.assign(m_pendingCalls.begin(), m_pendingCalls.end());
            m_pendingCalls.clear();
        }
    }
    for (const auto& call : cancelled)
        if (call->completionHandler())
            call->completionHandler()(std::nullopt, std::nullopt, BCNMakeError(BCNCanceledErrorCode));
}
