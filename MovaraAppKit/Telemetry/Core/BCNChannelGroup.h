#pragma once
// The channel machinery the facade and the services send logs through. A channel unit is the
// pipeline of one group id: it stamps and checks each log, lets its delegates look at it and
// veto it, stores it in the log store, and when enough logs wait or its flush timer fires,
// sends a batch through its ingestion and deletes it once delivered (any 2xx answer). A
// recoverable failure gives the batch back to the store for a later flush; an unrecoverable
// one disables the unit and deletes its logs. The channel group owns the one serial queue
// "com.movara.beacon.ChannelGroupQueue" on which every unit's work and every store operation
// runs, the store, the default ingestion and the units, and fans the units' callbacks out to
// its own delegates. Operations may be called from any thread.

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "MovaraAppKit/Telemetry/Core/BCNAbstractLog.h"
#include "Platform/Dispatch/Queue.h"
#include "Platform/Dispatch/Timer.h"
#include "Platform/Foundation/Error.h"

class BCNStorage;
class BCNLogDBStorage;
class BCNIngestionProtocol;
class BCNBeaconIngestion;
class BCNHttpClientProtocol;
class BCNLogContainer;

class BCNChannelUnitConfiguration {
public:
    BCNChannelUnitConfiguration(std::string groupId, std::int64_t priority, std::uint64_t flushInterval, std::uint64_t batchSizeLimit,
                                std::uint64_t pendingBatchesLimit);
    // Priority 1, batch size 50, 3 pending batches.
    static BCNChannelUnitConfiguration initDefaultConfigurationWithGroupId(const std::string& groupId, std::uint64_t flushInterval = 3);

    const std::string& groupId() const { return m_groupId; }
    std::int64_t priority() const { return m_priority; }
    std::uint64_t flushInterval() const { return m_flushInterval; }
    std::uint64_t batchSizeLimit() const { return m_batchSizeLimit; }
    std::uint64_t pendingBatchesLimit() const { return m_pendingBatchesLimit; }

private:
    std::string m_groupId;
    std::int64_t m_priority;
    std::uint64_t m_flushInterval;
    std::uint64_t m_batchSizeLimit;
    std::uint64_t m_pendingBatchesLimit;
};

// Whatever holds a unit or group paused; compared by identity, held weakly.
using BCNIdentifyingObject = std::shared_ptr<const void>;

class BCNChannelDelegate;

class BCNChannelProtocol {
public:
    virtual ~BCNChannelProtocol() = default;
    virtual void setEnabled(bool enabled, bool deleteDataOnDisabled) = 0;
    virtual void addDelegate(const std::shared_ptr<BCNChannelDelegate>& delegate) = 0;
    virtual void removeDelegate(const std::shared_ptr<BCNChannelDelegate>& delegate) = 0;
    virtual void pauseWithIdentifyingObject(const BCNIdentifyingObject& object) = 0;
    virtual void resumeWithIdentifyingObject(const BCNIdentifyingObject& object) = 0;
};

class BCNChannelUnitProtocol : public BCNChannelProtocol {
public:
    virtual const BCNChannelUnitConfiguration& configuration() const = 0;
    // Stamps a missing timestamp and device, drops an invalid log, runs the prepare callbacks
    // on the caller's thread; the rest happens on the group's queue.
    virtual void enqueueItem(const BCNLogPtr& log, BCNLogFlags flags) = 0;
    // Hold back / send again the stored logs of one transmission target.
    virtual void pauseSendingLogsWithToken(const std::string& token) = 0;
    virtual void resumeSendingLogsWithToken(const std::string& token) = 0;
    virtual void checkPendingLogs() = 0;
};

class BCNChannelGroupProtocol : public BCNChannelProtocol {
public:
    virtual std::shared_ptr<BCNChannelUnitProtocol> addChannelUnitWithConfiguration(const BCNChannelUnitConfiguration& configuration) = 0;
    // Null ingestion: the group's default one.
    virtual std::shared_ptr<BCNChannelUnitProtocol> addChannelUnitWithConfiguration(const BCNChannelUnitConfiguration& configuration,
                                                                                    std::shared_ptr<BCNIngestionProtocol> ingestion) = 0;
    virtual std::shared_ptr<BCNChannelUnitProtocol> channelUnitForGroupId(const std::string& groupId) const = 0;
    virtual void setMaxStorageSize(std::int64_t sizeInBytes, std::function<void(bool)> completionHandler) = 0;
    virtual std::string logUrl() const = 0;
    virtual void setLogUrl(const std::string& logUrl) = 0;
    virtual std::optional<std::string> appSecret() const = 0;
    virtual void setAppSecret(const std::optional<std::string>& appSecret) = 0;
};

using BCNChannelPtr = std::shared_ptr<BCNChannelProtocol>;

// Optional callbacks: every operation has a default that does nothing (or does not filter).
// All come on the group's queue except the two preparation calls (the enqueuing thread).
class BCNChannelDelegate {
public:
    virtual ~BCNChannelDelegate() = default;
    virtual void channelGroupDidAddChannelUnit(BCNChannelGroupProtocol&, const std::shared_ptr<BCNChannelUnitProtocol>&) { }
    virtual void channelPrepareLog(const BCNChannelPtr&, const BCNLogPtr&) { }
    virtual void channelDidPrepareLog(const BCNChannelPtr&, const BCNLogPtr&, const std::string& /*internalId*/, BCNLogFlags) { }
    virtual void channelDidCompleteEnqueueingLog(const BCNChannelPtr&, const BCNLogPtr&, const std::string& /*internalId*/) { }
    virtual void channelWillSendLog(const BCNChannelPtr&, const BCNLogPtr&) { }
    virtual void channelDidSucceedSendingLog(const BCNChannelPtr&, const BCNLogPtr&) { }
    virtual void channelDidFailSendingLog(const BCNChannelPtr&, const BCNLogPtr&, const foundation::ErrorPtr&) { }
    virtual void channelDidSetEnabled(const BCNChannelPtr&, bool /*enabled*/, bool /*deleteDataOnDisabled*/) { }
    virtual void channelDidPause(const BCNChannelPtr&, const BCNIdentifyingObject&) { }
    virtual void channelDidResume(const BCNChannelPtr&, const BCNIdentifyingObject&) { }
    // True drops the log before it is stored.
    virtual bool channelUnitShouldFilterLog(BCNChannelUnitProtocol&, const BCNLogPtr&) { return false; }
};

// Weakly held delegates, notified from a snapshot taken under the list's lock.
class BCNDelegateList {
public:
    void add(const std::shared_ptr<BCNChannelDelegate>& delegate);
    void remove(const std::shared_ptr<BCNChannelDelegate>& delegate);
    std::vector<std::shared_ptr<BCNChannelDelegate>> snapshot() const;

private:
    mutable std::mutex m_mutex;
    std::vector<std::weak_ptr<BCNChannelDelegate>> m_delegates;
};

class BCNChannelUnitDefault : public BCNChannelUnitProtocol, public std::enable_shared_from_this<BCNChannelUnitDefault> {
public:
    static std::shared_ptr<BCNChannelUnitDefault> init(std::shared_ptr<BCNIngestionProtocol> ingestion, std::shared_ptr<BCNStorage> storage,
                                                       BCNChannelUnitConfiguration configuration, dispatch::QueuePtr logsDispatchQueue);
    ~BCNChannelUnitDefault() override;

    const BCNChannelUnitConfiguration& configuration() const override { return m_configuration; }
    const dispatch::QueuePtr& logsDispatchQueue() const { return m_queue; }
    const std::shared_ptr<BCNIngestionProtocol>& ingestion() const { return m_ingestion; }
    void enqueueItem(const BCNLogPtr& log, BCNLogFlags flags) override;
    void setEnabled(bool enabled, bool deleteDataOnDisabled) override;
    void addDelegate(const std::shared_ptr<BCNChannelDelegate>& delegate) override { m_delegates.add(delegate); }
    void removeDelegate(const std::shared_ptr<BCNChannelDelegate>& delegate) override { m_delegates.remove(delegate); }
    void pauseWithIdentifyingObject(const BCNIdentifyingObject& object) override;
    void resumeWithIdentifyingObject(const BCNIdentifyingObject& object) override;
    void pauseSendingLogsWithToken(const std::string& token) override;
    void resumeSendingLogsWithToken(const std::string& token) override;
    void checkPendingLogs() override;
    // At creation, on the queue: counts what an earlier run left in the store.
    void checkLeftoverLogs();

    // Queue only.
    bool isEnabled() const { return m_enabled; }
    bool isPaused() const { return m_paused; }
    std::size_t pendingBatchCount() const { return m_pendingBatchIds.size(); }
    std::string oldestPendingLogTimestampKey() const;

private:
    BCNChannelUnitDefault(std::shared_ptr<BCNIngestionProtocol> ingestion, std::shared_ptr<BCNStorage> storage,
                          BCNChannelUnitConfiguration configuration, dispatch::QueuePtr queue);
    void flushQueue();
    void sendLogContainer(const std::shared_ptr<BCNLogContainer>& container);
    void handleResponse(const std::shared_ptr<BCNLogContainer>& container, long statusCode, const foundation::ErrorPtr& error);
    void startTimer(std::uint64_t seconds);
    void resetTimer();
    std::uint64_t resolveFlushInterval();
    void pauseWithIdentifyingObjectSync(const BCNIdentifyingObject& object);
    void resumeWithIdentifyingObjectSync(const BCNIdentifyingObject& object);
    void deleteAllLogsWithErrorSync(const foundation::ErrorPtr& error);
    void notifyFailureBeforeSendingForItem(const BCNLogPtr& log, const foundation::ErrorPtr& error);
    template <class F> void notify(F&& call);

    BCNChannelUnitConfiguration m_configuration;
    dispatch::QueuePtr m_queue;
    std::shared_ptr<BCNIngestionProtocol> m_ingestion;
    std::shared_ptr<BCNStorage> m_storage;
    BCNDelegateList m_delegates;
    // Queue only from here on.
    bool m_availableBatchFromStorage = false;
    bool m_pendingBatchQueueFull = false;
    bool m_enabled = true;
    bool m_paused = false;
    bool m_discardLogs = false;
    dispatch::TimerSourcePtr m_timerSource;
    std::uint64_t m_itemsCount = 0;
    unsigned m_consecutiveFailures = 0;
    std::vector<std::string> m_pendingBatchIds;
    std::vector<std::weak_ptr<const void>> m_pausedIdentifyingObjects;
    std::set<std::string> m_pausedTargetKeys;
};

// The HTTP client the facade's channel group is built on, when one is injected (else a new one).
class BCNDependencyConfiguration {
public:
    static std::shared_ptr<BCNHttpClientProtocol> httpClient();
    static void setHttpClient(std::shared_ptr<BCNHttpClientProtocol> httpClient);
};

class BCNChannelGroupDefault : public BCNChannelGroupProtocol,
                               public BCNChannelDelegate,
                               public std::enable_shared_from_this<BCNChannelGroupDefault> {
public:
    // The log ingestion at `logUrl` with the install id, then the group over it.
    static std::shared_ptr<BCNChannelGroupDefault> initWithHttpClient(std::shared_ptr<BCNHttpClientProtocol> httpClient,
                                                                      const std::string& installId, const std::string& logUrl);
    static std::shared_ptr<BCNChannelGroupDefault> initWithIngestion(std::shared_ptr<BCNIngestionProtocol> ingestion);

    std::shared_ptr<BCNChannelUnitProtocol> addChannelUnitWithConfiguration(const BCNChannelUnitConfiguration& configuration) override;
    std::shared_ptr<BCNChannelUnitProtocol> addChannelUnitWithConfiguration(const BCNChannelUnitConfiguration& configuration,
                                                                            std::shared_ptr<BCNIngestionProtocol> ingestion) override;
    std::shared_ptr<BCNChannelUnitProtocol> channelUnitForGroupId(const std::string& groupId) const override;
    void setEnabled(bool enabled, bool deleteDataOnDisabled) override;
    void addDelegate(const std::shared_ptr<BCNChannelDelegate>& delegate) override { m_delegates.add(delegate); }
    void removeDelegate(const std::shared_ptr<BCNChannelDelegate>& delegate) override { m_delegates.remove(delegate); }
    void pauseWithIdentifyingObject(const BCNIdentifyingObject& object) override;
    void resumeWithIdentifyingObject(const BCNIdentifyingObject& object) override;
    void setMaxStorageSize(std::int64_t sizeInBytes, std::function<void(bool)> completionHandler) override;
    std::string logUrl() const override;
    void setLogUrl(const std::string& logUrl) override;
    std::optional<std::string> appSecret() const override;
    void setAppSecret(const std::optional<std::string>& appSecret) override;

    const dispatch::QueuePtr& logsDispatchQueue() const { return m_queue; }
    const std::shared_ptr<BCNLogDBStorage>& storage() const { return m_storage; }
    const std::shared_ptr<BCNIngestionProtocol>& ingestion() const { return m_ingestion; }
    // The logs stored for `groupId`, oldest first (waits for the group's queue).
    std::vector<BCNLogPtr> storedLogs(const std::string& groupId) const;

    // Fan-out of the units' callbacks.
    void channelPrepareLog(const BCNChannelPtr& channel, const BCNLogPtr& log) override;
    void channelDidPrepareLog(const BCNChannelPtr& channel, const BCNLogPtr& log, const std::string& internalId, BCNLogFlags flags) override;
    void channelDidCompleteEnqueueingLog(const BCNChannelPtr& channel, const BCNLogPtr& log, const std::string& internalId) override;
    void channelWillSendLog(const BCNChannelPtr& channel, const BCNLogPtr& log) override;
    void channelDidSucceedSendingLog(const BCNChannelPtr& channel, const BCNLogPtr& log) override;
    void channelDidFailSendingLog(const BCNChannelPtr& channel, const BCNLogPtr& log, const foundation::ErrorPtr& error) override;
    void channelDidSetEnabled(const BCNChannelPtr& channel, bool enabled, bool deleteDataOnDisabled) override;
    void channelDidPause(const BCNChannelPtr& channel, const BCNIdentifyingObject& object) override;
    void channelDidResume(const BCNChannelPtr& channel, const BCNIdentifyingObject& object) override;
    bool channelUnitShouldFilterLog(BCNChannelUnitProtocol& unit, const BCNLogPtr& log) override;

private:
    BCNChannelGroupDefault() = default;
    std::vector<std::shared_ptr<BCNChannelUnitDefault>> units() const;

    BCNDelegateList m_delegates;
    std::shared_ptr<BCNIngestionProtocol> m_ingestion;
    std::shared_ptr<BCNLogDBStorage> m_storage;
    dispatch::QueuePtr m_queue;
    mutable std::mutex m_unitsMutex;
    std::vector<std::shared_ptr<BCNChannelUnitDefault>> m_channels;
};
