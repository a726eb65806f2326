#include "MovaraAppKit/Telemetry/Core/HttpClient/BCNHttpCall.h"

#include <random>

#include "MovaraAppKit/Telemetry/Core/BCNLogger.h"
#include "MovaraAppKit/Telemetry/Core/Util/BCNCompression.h"

BCNHttpCall::BCNHttpCall(foundation::URL url, std::string method, net::HTTPHeaderFields headers, std::optional<foundation::Data> data,
                         std::vector<double> retryIntervals, bool compressionEnabled, BCNHttpCompletionHandler completionHandler)
    : m_url(std::move(url))
    , m_method(std::move(method))
    , m_headers(std::move(headers))
    , m_retryIntervals(std::move(retryIntervals))
    , m_completionHandler(std::move(completionHandler))
{
    if (compressionEnabled && data && data->size() >= CompressionThreshold) {
        // A body that can't be compressed still goes out, as it is and labelled as such.
        if (auto compressed = BCNCompression::compressData(*data)) {
            data = std::move(compressed);
            m_headers["Content-Encoding"] = "gzip";
        }
    }
    if (data && m_headers.find("Content-Type") == m_headers.end())
        m_headers["Content-Type"] = "application/json";
    m_data = std::move(data);
}

BCNHttpCall::~BCNHttpCall()
{
    if (m_timerSource)
        m_timerSource->cancel();
}

int BCNHttpCall::retryCount() const
{
    std::lock_guard lock(m_mutex);
    return m_retryCount;
}

bool BCNHttpCall::hasReachedMaxRetries() const
{
    std::lock_guard lock(m_mutex);
    return static_cast<std::size_t>(m_retryCount) >= m_retryIntervals.size();
}

void BCNHttpCall::resetRetry()
{
    std::lock_guard lock(m_mutex);
    if (m_timerSource) {
        m_timerSource->cancel();
        m_timerSource.reset();
    }
    m_retryCount = 0;
}

std::uint32_t BCNHttpCall::delayForRetryCount(std::size_t retryCount) const
{
    if (retryCount >= m_retryIntervals.size())
        return 0;
    const auto half = static_cast<std::uint32_t>(m_retryIntervals[retryCount] * 1000.0 / 2.0);
    if (half == 0)
        return 0;
    static thread_local std::mt19937 generator { std::random_device {}() };
    return half + std::uniform_int_distribution<std::uint32_t>(0, half - 1)(generator);
}

void BCNHttpCall::startRetryTimerWithStatusCode(long statusCode, std::optional<std::uint32_t> retryAfterMilliseconds,
                                                std::function<void()> event)
{
    std::lock_guard lock(m_mutex);
    if (m_timerSource)
        m_timerSource->cancel();
    m_timerSource = dispatch::TimerSource::make(dispatch::Queue::global());
    const std::uint32_t delay = retryAfterMilliseconds ? *retryAfterMilliseconds : delayForRetryCount(static_cast<std::size_t>(m_retryCount));
    const int attempt = m_retryCount++;
    m_timerSource->setEventHandler([weak = std::weak_ptr<dispatch::TimerSource>(m_timerSource), event = std::move(event)] {
        if (auto timer = weak.lock())
            timer->cancel(); // once
        event();
    });
    m_timerSource->setTimer(delay / 1000.0);
    m_timerSource->resume();
    // Said once the retry is set: whoever reads it may count on the retry's time running.
    BCNLogWarning("Beacon", "Call attempt #" + std::to_string(attempt) + " failed with status code: " + std::to_string(statusCode)
                                + ", it will be retried in " + std::to_string(delay) + " ms.");
}
