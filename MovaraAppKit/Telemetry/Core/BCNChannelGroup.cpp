#include "MovaraAppKit/Telemetry/Core/BCNChannelGroup.h"

#include <deque>

#include "MovaraAppKit/Telemetry/Core/BCNLogger.h"
#include "MovaraAppKit/Telemetry/Core/BCNUtility.h"
#include "MovaraAppKit/Telemetry/Core/Context/BCNDeviceTracker.h"

BCNChannelUnitConfiguration::BCNChannelUnitConfiguration(std::string groupId, long priority, unsigned flushInterval,
                                                         unsigned batchSizeLimit, unsigned pendingBatchesLimit)
    : m_groupId(std::move(groupId))
    , m_priority(priority)
    , m_flushInterval(flushInterval)
    , m_batchSizeLimit(batchSizeLimit)
    , m_pendingBatchesLimit(pendingBatchesLimit)
{
}

BCNChannelUnitConfiguration BCNChannelUnitConfiguration::initDefaultConfigurationWithGroupId(const std::string& groupId,
                                                                                           unsigned flushInterval)
{
    return BCNChannelUnitConfiguration(groupId, 1, flushInterval, 50, 3);
}

class BCNChannelUnitDefault : public BCNChannelUnitProtocol, public std::enable_shared_from_this<BCNChannelUnitDefault> {
public:
    BCNChannelUnitDefault(BCNChannelUnitConfiguration configuration, dispatch::QueuePtr queue)
        : m_configuration(std::move(configuration))
        , m_queue(std::move(queue))
    {
    }

    const BCNChannelUnitConfiguration& configuration() const override { return m_configuration; }

    void enqueueItem(std::shared_ptr<BCNAbstractLog> log, BCNLogFlags flags) override
    {
        if (!log)
            return;
        if (!log->timestamp())
            log->setTimestamp(BCNUtility::now());
        if (!log->device())
            log->setDevice(BCNDeviceTracker::sharedInstance()->device());
        if (!log->isValid()) {
            BCNLogWarning("Beacon", "Log is not valid.");
            return;
        }
        (void)flags;
        m_queue->async([this, self = shared_from_this(), log] {
            if (m_discarding)
                return;
            m_logs.push_back(log);
            if (m_logs.size() > BCNChannelGroupDefault::MaximumPendingLogs)
                m_logs.pop_front();
        });
    }

    void setEnabled(bool enabled, bool deleteDataOnDisabled) override
    {
        m_queue->async([this, self = shared_from_this(), enabled, deleteDataOnDisabled] {
            if (enabled == m_enabled)
                return;
            m_enabled = enabled;
            if (!enabled && deleteDataOnDisabled) {
                m_logs.clear();
                m_discarding = true;
            } else if (enabled) {
                m_discarding = false;
            }
        });
    }

    // Queue only.
    std::vector<std::shared_ptr<BCNAbstractLog>> logs() const { return { m_logs.begin(), m_logs.end() }; }

private:
    BCNChannelUnitConfiguration m_configuration;
    dispatch::QueuePtr m_queue;
    // Touched on the queue only.
    std::deque<std::shared_ptr<BCNAbstractLog>> m_logs;
    bool m_enabled = true;
    bool m_discarding = false;
};

BCNChannelGroupDefault::BCNChannelGroupDefault()
    : m_queue(dispatch::Queue::serial("com.movara.beacon.ChannelGroupQueue"))
{
}

std::shared_ptr<BCNChannelGroupDefault> BCNChannelGroupDefault::init()
{
    return std::shared_ptr<BCNChannelGroupDefault>(new BCNChannelGroupDefault());
}

std::shared_ptr<BCNChannelUnitProtocol> BCNChannelGroupDefault::addChannelUnitWithConfiguration(const BCNChannelUnitConfiguration& configuration)
{
    // Units live as long as the group: they run their work on its queue.
    auto unit = std::make_shared<BCNChannelUnitDefault>(configuration, m_queue);
    std::lock_guard lock(m_mutex);
    m_units.push_back(unit);
    return unit;
}

std::shared_ptr<BCNChannelUnitProtocol> BCNChannelGroupDefault::channelUnitForGroupId(const std::string& groupId) const
{
    std::lock_guard lock(m_mutex);
    for (const auto& unit : m_units)
        if (unit->configuration().groupId() == groupId)
            return unit;
    return nullptr;
}

void BCNChannelGroupDefault::setEnabled(bool enabled, bool deleteDataOnDisabled)
{
    std::vector<std::shared_ptr<BCNChannelUnitDefault>> units;
    {
        std::lock_guard lock(m_mutex);
        units = m_units;
    }
    for (const auto& unit : units)
        unit->setEnabled(enabled, deleteDataOnDisabled);
}

void BCNChannelGroupDefault::setAppSecret(const std::string& appSecret)
{
    std::lock_guard lock(m_mutex);
    m_appSecret = appSecret;
}

std::vector<std::shared_ptr<BCNAbstractLog>> BCNChannelGroupDefault::pendingLogs(const std::string& groupId) const
{
    std::vector<std::shared_ptr<BCNAbstractLog>> result;
    auto unit = std::static_pointer_cast<BCNChannelUnitDefault>(channelUnitForGroupId(groupId));
    if (!unit)
        return result;
    m_queue->sync([&] { result = unit->logs(); });
    return result;
}
