#pragma once
// The user id the application gave the telemetry client, a timestamped history of ids across
// runs ("UserIdHistory"), the rules an id must meet for each endpoint, and listeners told of
// every change. One shared instance; any thread.

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "MovaraAppKit/Telemetry/Core/Context/BCNHistoryStore.h"
#include "MovaraAppKit/Telemetry/Core/Util/BCNHistoryInfo.h"

class BCNUserIdHistoryInfo : public BCNHistoryInfo {
public:
    BCNUserIdHistoryInfo() = default;
    BCNUserIdHistoryInfo(foundation::Date timestamp, std::optional<std::string> userId)
        : BCNHistoryInfo(timestamp), m_userId(std::move(userId)) { }
    const std::optional<std::string>& userId() const { return m_userId; }
    void setUserId(std::optional<std::string> userId) { m_userId = std::move(userId); }
    const std::optional<std::string>& value() const { return m_userId; }
    void setValue(std::optional<std::string> value) { setUserId(std::move(value)); }
    std::string className() const override { return "BCNUserIdHistoryInfo"; }
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
    void initWithCoder(foundation::KeyedUnarchiver& coder);

private:
    std::optional<std::string> m_userId;
};

class BCNUserIdContextDelegate {
public:
    virtual ~BCNUserIdContextDelegate() = default;
    virtual void userIdContextDidUpdateUserId(const std::optional<std::string>& userId) = 0;
};

class BCNUserIdContext {
public:
    static std::shared_ptr<BCNUserIdContext> sharedInstance();
    static void resetSharedInstance();

    std::optional<std::string> userId() const;
    // Nothing when equal to the current id; else records it and tells the listeners.
    void setUserId(const std::optional<std::string>& userId);
    // The id of the newest entry strictly earlier than `date`.
    std::optional<std::string> userIdAt(const foundation::Date& date) const;
    // Keeps only this run's entry.
    void clearUserIdHistory();
    std::vector<std::shared_ptr<BCNUserIdHistoryInfo>> userIdHistory() const;
    void addDelegate(const std::shared_ptr<BCNUserIdContextDelegate>& delegate);
    void removeDelegate(const std::shared_ptr<BCNUserIdContextDelegate>& delegate);

    // Log ingestion: none, or at most 256 characters.
    static bool isUserIdValidForBeacon(const std::optional<std::string>& userId);
    // Collector: none, or non-empty, with no prefix or the prefix "c:" followed by something.
    static bool isUserIdValidForCollector(const std::optional<std::string>& userId);
    // "c:" in front of an id without ":".
    static std::optional<std::string> prefixedUserIdFromUserId(const std::optional<std::string>& userId);

    BCNUserIdContext();

private:
    mutable std::mutex m_mutex;
    bcn::RunHistory<BCNUserIdHistoryInfo> m_history;
    std::vector<std::weak_ptr<BCNUserIdContextDelegate>> m_delegates;
};
