#pragma once
// One request of the telemetry HTTP client, kept until it has a final outcome: what is needed
// to send it again, how many retries it has used and the timer of the next one. Bodies of 1400
// bytes or more go gzip-compressed when compression is on (uncompressed, without the header,
// if compression fails). Retry bookkeeping is locked; the timer fires on a global queue.

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Dispatch/Timer.h"
#include "Platform/Foundation/Error.h"
#include "Platform/Foundation/URL.h"
#include "Platform/Net/HTTPURLResponse.h"

using BCNHttpCompletionHandler = std::function<void(const std::optional<foundation::Data>& body,
                                                    const std::optional<net::HTTPURLResponse>& response,
                                                    const foundation::ErrorPtr& error)>;

class BCNHttpCall {
public:
    static constexpr std::size_t CompressionThreshold = 1400;

    BCNHttpCall(foundation::URL url, std::string method, net::HTTPHeaderFields headers, std::optional<foundation::Data> data,
                std::vector<double> retryIntervals, bool compressionEnabled, BCNHttpCompletionHandler completionHandler);
    ~BCNHttpCall();

    const foundation::URL& url() const { return m_url; }
    const std::string& method() const { return m_method; }
    const net::HTTPHeaderFields& headers() const { return m_headers; }
    net::HTTPHeaderFields& mutableHeaders() { return m_headers; }
    const std::optional<foundation::Data>& data() const { return m_data; }
    const BCNHttpCompletionHandler& completionHandler() const { return m_completionHandler; }
    const std::vector<double>& retryIntervals() const { return m_retryIntervals; }

    bool isInProgress() const { return m_inProgress; }
    void setInProgress(bool inProgress) { m_inProgress = inProgress; }
    int retryCount() const;
    bool hasReachedMaxRetries() const;
    // Cancels a scheduled retry and starts the count again.
    void resetRetry();
    // Schedules one retry after the server's delay (milliseconds) or the call's own.
    void startRetryTimerWithStatusCode(long statusCode, std::optional<std::uint32_t> retryAfterMilliseconds,
                                       std::function<void()> event);
    // Half the interval plus a random part of the other half, in milliseconds.
    std::uint32_t delayForRetryCount(std::size_t retryCount) const;

private:
    foundation::URL m_url;
    std::string m_method;
    net::HTTPHeaderFields m_headers;
    std::optional<foundation::Data> m_data;
    std::vector<double> m_retryIntervals;
    BCNHttpCompletionHandler m_completionHandler;
    std::atomic<bool> m_inProgress = false;
    mutable std::mutex m_mutex;
    int m_retryCount = 0;
    dispatch::TimerSourcePtr m_timerSource;
};
