#pragma once
// The channel machinery the facade and the services send logs through: one channel group per
// process, one channel unit per group id. This build keeps the enqueued logs of each unit in
// memory (bounded; the oldest go first); persistent storage and ingestion come later behind
// the same interfaces. All unit work runs on the group's serial queue
// "com.movara.beacon.ChannelGroupQueue"; the operations may be called from any thread.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "MovaraAppKit/Telemetry/Core/BCNAbstractLog.h"
#include "Platform/Dispatch/Queue.h"

class BCNChannelUnitConfiguration {
public:
    BCNChannelUnitConfiguration(std::string groupId, long priority, unsigned flushInterval, unsigned batchSizeLimit,
                                unsigned pendingBatchesLimit);
    // Priority 1, batch size 50, 3 pending batches.
    static BCNChannelUnitConfiguration initDefaultConfigurationWithGroupId(const std::string& groupId, unsigned flushInterval = 3);

    const std::string& groupId() const { return m_groupId; }
    long priority() const { return m_priority; }
    unsigned flushInterval() const { return m_flushInterval; }
    unsigned batchSizeLimit() const { return m_batchSizeLimit; }
    unsigned pendingBatchesLimit() const { return m_pendingBatchesLimit; }

private:
    std::string m_groupId;
    long m_priority;
    unsigned m_flushInterval;
    unsigned m_batchSizeLimit;
    unsigned m_pendingBatchesLimit;
};

class BCNChannelUnitProtocol {
public:
    virtual ~BCNChannelUnitProtocol() = default;
    virtual const BCNChannelUnitConfiguration& configuration() const = 0;
    // Stamps a missing timestamp now; drops an invalid log; the rest happens on the group's queue.
    virtual void enqueueItem(std::shared_ptr<BCNAbstractLog> log, BCNLogFlags flags) = 0;
    // Disabled with deletion drops the stored logs and discards new ones until enabled again.
    virtual void setEnabled(bool enabled, bool deleteDataOnDisabled) = 0;
};

class BCNChannelGroupProtocol {
public:
    virtual ~BCNChannelGroupProtocol() = default;
    virtual std::shared_ptr<BCNChannelUnitProtocol> addChannelUnitWithConfiguration(const BCNChannelUnitConfiguration& configuration) = 0;
    virtual std::shared_ptr<BCNChannelUnitProtocol> channelUnitForGroupId(const std::string& groupId) const = 0;
    virtual void setEnabled(bool enabled, bool deleteDataOnDisabled) = 0;
    virtual void setAppSecret(const std::string& appSecret) = 0;
};

class BCNChannelUnitDefault;

class BCNChannelGroupDefault : public BCNChannelGroupProtocol {
public:
    // At most this many logs wait in one unit's memory queue.
    static constexpr std::size_t MaximumPendingLogs = 1000;

    static std::shared_ptr<BCNChannelGroupDefault> init();

    std::shared_ptr<BCNChannelUnitProtocol> addChannelUnitWithConfiguration(const BCNChannelUnitConfiguration& configuration) override;
    std::shared_ptr<BCNChannelUnitProtocol> channelUnitForGroupId(const std::string& groupId) const override;
    void setEnabled(bool enabled, bool deleteDataOnDisabled) override;
    void setAppSecret(const std::string& appSecret) override;

    const dispatch::QueuePtr& logsDispatchQueue() const { return m_queue; }
    // The logs waiting in the unit of `groupId`, oldest first (waits for the group's queue).
    std::vector<std::shared_ptr<BCNAbstractLog>> pendingLogs(const std::string& groupId) const;

private:
    BCNChannelGroupDefault();

    dispatch::QueuePtr m_queue;
    mutable std::mutex m_mutex;
    std::vector<std::shared_ptr<BCNChannelUnitDefault>> m_units;
    std::string m_appSecret;
};
