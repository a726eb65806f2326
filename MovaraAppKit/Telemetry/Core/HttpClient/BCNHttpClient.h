#pragma once
// The telemetry client's own HTTP client on the platform's URL session. Every request becomes
// a call kept until it has a final outcome: recoverable statuses are retried on the call's
// schedule or the server's ("x-beacon-retry-after-ms"); when a call runs out of retries the
// client pauses and resumes by itself after a back-off; all calls wait while the network is
// down and go out again when it returns; an unrecoverable status disables the client and
// cancels what is pending. Any thread; one recursive lock. Completions come on the session's
// queue or, for a disabled client, on the caller's thread.
//
// Under tests (QUINTOR_TEST set) requests go to loopback hosts only: any other host fails at
// once as "not connected", so no test ever talks to the outside world.

#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "MovaraAppKit/Telemetry/Core/HttpClient/BCNHttpCall.h"
#include "Platform/Dispatch/Timer.h"
#include "Platform/Foundation/NotificationCenter.h"

class BCN_Reachability;
namespace net {
class URLSession;
}

class BCNHttpClientDelegate {
public:
    virtual ~BCNHttpClientDelegate() = default;
    // Just before each request goes on the wire.
    virtual void willSendHTTPRequestToURL(const foundation::URL& url, const net::HTTPHeaderFields& headers) = 0;
};

class BCNHttpClientProtocol {
public:
    static const std::vector<double>& defaultRetryIntervals(); // 10, 300, 1200 s

    virtual ~BCNHttpClientProtocol() = default;
    virtual void sendAsync(const foundation::URL& url, const std::string& method, const net::HTTPHeaderFields& headers,
                           const std::optional<foundation::Data>& data, const std::vector<double>& retryIntervals,
                           bool compressionEnabled, BCNHttpCompletionHandler completionHandler) = 0;
    void sendAsync(const foundation::URL& url, const std::string& method, const net::HTTPHeaderFields& headers,
                   const std::optional<foundation::Data>& data, BCNHttpCompletionHandler completionHandler)
    {
        sendAsync(url, method, headers, data, defaultRetryIntervals(), true, std::move(completionHandler));
    }
    virtual void pause() = 0;
    virtual void resume() = 0;
    virtual void setEnabled(bool enabled) = 0;
    virtual void setDelegate(std::weak_ptr<BCNHttpClientDelegate> delegate) = 0;
};

class BCNHttpClient : public BCNHttpClientProtocol, public std::enable_shared_from_this<BCNHttpClient> {
public:
    // Seconds without traffic after which a request fails as timed out.
    static constexpr double DefaultRequestTimeout = 60;

    static std::shared_ptr<BCNHttpClient> init();
    static std::shared_ptr<BCNHttpClient> initWithReachability(std::shared_ptr<BCN_Reachability> reachability);
    ~BCNHttpClient() override;

    void sendAsync(const foundation::URL& url, const std::string& method, const net::HTTPHeaderFields& headers,
                   const std::optional<foundation::Data>& data, const std::vector<double>& retryIntervals,
                   bool compressionEnabled, BCNHttpCompletionHandler completionHandler) override;
    using BCNHttpClientProtocol::sendAsync;
    void pause() override;
    void resume() override;
    void setEnabled(bool enabled) override;
    void setEnabled(bool enabled, bool deleteDataOnDisabled);
    void setDelegate(std::weak_ptr<BCNHttpClientDelegate> delegate) override;

    bool isPaused() const;
    bool isEnabled() const;
    std::size_t pendingCallCount() const;
    // Whether a request is on the wire now.
    bool hasCallsInProgress() const;
    void setRequestTimeout(double seconds);
    // Called for reachability changes.
    void networkStateChanged(const foundation::Notification& notification);

private:
    BCNHttpClient() = default;
    void start(std::shared_ptr<BCN_Reachability> reachability);
    void sendCallAsync(const std::shared_ptr<BCNHttpCall>& call);
    void requestCompleted(const std::shared_ptr<BCNHttpCall>& call, const foundation::Data& data,
                          const std::optional<net::HTTPURLResponse>& response, const foundation::ErrorPtr& error);
    void pauseLocked();
    void resumeLocked();
    void scheduleResumeAfter(double seconds);

    mutable std::recursive_mutex m_mutex;
    bool m_paused = false;
    bool m_enabled = true;
    double m_requestTimeout = DefaultRequestTimeout;
    std::weak_ptr<BCNHttpClientDelegate> m_delegate;
    std::shared_ptr<net::URLSession> m_session;
    std::shared_ptr<BCN_Reachability> m_reachability;
    std::set<std::shared_ptr<BCNHttpCall>> m_pendingCalls;
    dispatch::TimerSourcePtr m_resumeTimer;
};
