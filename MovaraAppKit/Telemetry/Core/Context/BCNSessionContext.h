#pragma once
// The current analytics session id and a timestamped history of session ids across runs
// ("SessionIdHistory"), one entry per run. One shared instance; any thread.

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "MovaraAppKit/Telemetry/Core/Context/BCNHistoryStore.h"
#include "MovaraAppKit/Telemetry/Core/Util/BCNHistoryInfo.h"

class BCNSessionHistoryInfo : public BCNHistoryInfo {
public:
    BCNSessionHistoryInfo() = default;
    BCNSessionHistoryInfo(foundation::Date timestamp, std::optional<std::string> sessionId)
        : BCNHistoryInfo(timestamp), m_sessionId(std::move(sessionId)) { }
    const std::optional<std::string>& sessionId() const { return m_sessionId; }
    void setSessionId(std::optional<std::string> sessionId) { m_sessionId = std::move(sessionId); }
    const std::optional<std::string>& value() const { return m_sessionId; }
    void setValue(std::optional<std::string> value) { setSessionId(std::move(value)); }
    std::string className() const override { return "BCNSessionHistoryInfo"; }
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
    void initWithCoder(foundation::KeyedUnarchiver& coder);

private:
    std::optional<std::string> m_sessionId;
};

class BCNSessionContext {
public:
    static std::shared_ptr<BCNSessionContext> sharedInstance();
    static void resetSharedInstance();

    std::optional<std::string> sessionId() const;
    // Moves this run's entry forward with the new id (none allowed) and stores the history.
    void setSessionId(const std::optional<std::string>& sessionId);
    // The id of the newest entry strictly earlier than `date`.
    std::optional<std::string> sessionIdAt(const foundation::Date& date) const;
    void clearSessionHistoryAndKeepCurrentSession(bool keepCurrentSession);
    std::vector<std::shared_ptr<BCNSessionHistoryInfo>> sessionHistory() const;

    BCNSessionContext();

private:
    mutable std::mutex m_mutex;
    bcn::RunHistory<BCNSessionHistoryInfo> m_history;
};
