#pragma once
// The telemetry client's own HTTP client on the platform's URL session. Every request becomes
// a call kept until it has a final outcome: recoverable statuses are retried on the call's
// schedule or the server's ("x-beacon-retry-after-ms"); when a call runs out of retries the
// client pauses and resumes by itself after a back-off; all calls wait while the network is
// down and go out again when it returns; an unrecoverable status disables the client and
// cancels what is pending. Any thread; one recursive lock. Completions come on the session's
// queue or, for a disabled client, on the caller's thread.

#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "MovaraAppKit/Telemetry/Core/HttpClient/BCNHttpCall.h"
#include "Platform/Dispatch/Timer.h"
#include "Platform/Foundation/NotificationCenter.h"
#include "Platform/Net/URLSession.h"

class BCN_Reachability;

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
    // No limit of connections per host beyond the session's own, and the internet's reachability.
    static std::shared_ptr<BCNHttpClient> init();
    static std::shared_ptr<BCNHttpClient> initWithMaxHttpConnectionsPerHost(long maxHttpConnectionsPerHost);
    static std::shared_ptr<BCNHttpClient> initWithMaxHttpConnectionsPerHost(std::optional<long> maxHttpConnectionsPerHost,
                                                                            std::shared_ptr<BCN_Reachability> reachability);
    static std::shared_ptr<BCNHttpClient> initWithReachability(std::shared_ptr<BCN_Reachability> reachability)
    {
        return initWithMaxHttpConnectionsPerHost(std::nullopt, std::move(reachability));
    }
    // Lets requests on the wire finish; the session is invalidated once they have.
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
    // What every session of the client is made from.
    net::URLSessionConfiguration sessionConfiguration() const;
    // Seconds without traffic after which a request fails as timed out (finite; 60 by default).
    // Requests made from now on use it; those on the wire keep theirs.
    void setRequestTimeout(double seconds);
    // Called for reachability changes.
    void networkStateChanged(const foundation::Notification& notification);

private:
    BCNHttpClient() = default;
    void start(std::optional<long> maxHttpConnectionsPerHost, std::shared_ptr<BCN_Reachability> reachability);
    void replaceSessionLocked();
    void sendCallAsync(const std::shared_ptr<BCNHttpCall>& call);
    void requestCompleted(const std::shared_ptr<BCNHttpCall>& call, const foundation::Data& data,
                          const std::optional<net::HTTPURLResponse>& response, const foundation::ErrorPtr& error);
    void pauseLocked();
    void resumeLocked();
    void scheduleResumeAfter(double seconds);

    mutable std::recursive_mutex m_mutex;
    bool m_paused = false;
    bool m_enabled = true;
    net::URLSessionConfiguration m_sessionConfiguration;
    std::weak_ptr<BCNHttpClientDelegate> m_delegate;
    std::shared_ptr<net::URLSession> m_session;
    std::shared_ptr<BCN_Reachability> m_reachability;
    std::set<std::shared_ptr<BCNHttpCall>> m_pendingCalls;
    dispatch::TimerSourcePtr m_resumeTimer;
};
