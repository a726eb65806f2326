#include "MovaraAppKit/Telemetry/Core/BCNChannelGroup.h"

#include <algorithm>

#include "MovaraAppKit/Telemetry/Core/BCNBeaconUserDefaults.h"
#include "MovaraAppKit/Telemetry/Core/BCNLogger.h"
#include "MovaraAppKit/Telemetry/Core/BCNUtility.h"
#include "MovaraAppKit/Telemetry/Core/Context/BCNDeviceTracker.h"
#include "MovaraAppKit/Telemetry/Core/HttpClient/BCNHttpUtil.h"
#include "MovaraAppKit/Telemetry/Core/Ingestion/BCNHttpIngestion.h"
#include "MovaraAppKit/Telemetry/Core/Model/BCNLogContainer.h"
#include "MovaraAppKit/Telemetry/Core/Storage/BCNLogDBStorage.h"
#include "Platform/Foundation/UUID.h"

namespace {

const std::string kTag = "Beacon";
constexpr std::uint64_t kDefaultFlushInterval = 3;
// The longest wait before a batch that failed to go out is tried again.
constexpr std::uint64_t kMaximumRetryDelay = 300;

} // namespace

BCNChannelUnitConfiguration::BCNChannelUnitConfiguration(std::string groupId, std::int64_t priority, std::uint64_t flushInterval,
                                                         std::uint64_t batchSizeLimit, std::uint64_t pendingBatchesLimit)
    : m_groupId(std::move(groupId))
    , m_priority(priority)
    , m_flushInterval(flushInterval)
    , m_batchSizeLimit(batchSizeLimit)
    , m_pendingBatchesLimit(pendingBatchesLimit)
{
}

BCNChannelUnitConfiguration BCNChannelUnitConfiguration::initDefaultConfigurationWithGroupId(const std::string& groupId,
                                                                                           std::uint64_t flushInterval)
{
    return BCNChannelUnitConfiguration(groupId, 1, flushInterval, 50, 3);
}

void BCNDelegateList::add(const std::shared_ptr<BCNChannelDelegate>& delegate)
{
    if (!delegate)
        return;
    std::lock_guard lock(m_mutex);
    for (const auto& weak : m_delegates)
        if (weak.lock() == delegate)
            return;
    m_delegates.push_back(delegate);
}

void BCNDelegateList::remove(const std::shared_ptr<BCNChannelDelegate>& delegate)
{
    std::lock_guard lock(m_mutex);
    std::erase_if(m_delegates, [&](const auto& weak) {
        auto held = weak.lock();
        return !held || held == delegate;
    });
}

std::vector<std::shared_ptr<BCNChannelDelegate>> BCNDelegateList::snapshot() const
{
    std::lock_guard lock(m_mutex);
    std::vector<std::shared_ptr<BCNChannelDelegate>> delegates;
    for (const auto& weak : m_delegates)
        if (auto delegate = weak.lock())
            delegates.push_back(std::move(delegate));
    return delegates;
}

// ---------------------------------------------------------------------------------------------

std::shared_ptr<BCNChannelUnitDefault> BCNChannelUnitDefault::init(std::shared_ptr<BCNIngestionProtocol> ingestion,
                                                                   std::shared_ptr<BCNStorage> storage, BCNChannelUnitConfiguration configuration,
                                                                   dispatch::QueuePtr logsDispatchQueue)
{
    return std::shared_ptr<BCNChannelUnitDefault>(
        new BCNChannelUnitDefault(std::move(ingestion), std::move(storage), std::move(configuration), std::move(logsDispatchQueue)));
}

BCNChannelUnitDefault::BCNChannelUnitDefault(std::shared_ptr<BCNIngestionProtocol> ingestion, std::shared_ptr<BCNStorage> storage,
                                             BCNChannelUnitConfiguration configuration, dispatch::QueuePtr queue)
    : m_configuration(std::move(configuration))
    , m_queue(std::move(queue))
    , m_ingestion(std::move(ingestion))
    , m_storage(std::move(storage))
{
}

BCNChannelUnitDefault::~BCNChannelUnitDefault()
{
    if (m_timerSource)
        m_timerSource->cancel();
}

template <class F> void BCNChannelUnitDefault::notify(F&& call)
{
    for (const auto& delegate : m_delegates.snapshot())
        call(*delegate);
}

std::string BCNChannelUnitDefault::oldestPendingLogTimestampKey() const
{
    return "ChannelStartTimer:" + m_configuration.groupId();
}

void BCNChannelUnitDefault::enqueueItem(const BCNLogPtr& log, BCNLogFlags flags)
{
    if (!log) {
        BCNLogWarning(kTag, "Log is not valid.");
        return;
    }
    if (!log->timestamp())
        log->setTimestamp(BCNUtility::now());
    if (!log->device())
        log->setDevice(BCNDeviceTracker::sharedInstance()->device());
    if (!log->isValid()) {
        BCNLogWarning(kTag, "Log is not valid.");
        return;
    }
    const std::string internalId = foundation::UUID::random().UUIDString();
    BCNChannelPtr self = shared_from_this();
    notify([&](BCNChannelDelegate& d) { d.channelPrepareLog(self, log); });
    notify([&](BCNChannelDelegate& d) { d.channelDidPrepareLog(self, log, internalId, flags); });

    m_queue->async([this, self = shared_from_this(), log, flags, internalId] {
        const BCNChannelPtr channel = self;
        bool filtered = false;
        for (const auto& delegate : m_delegates.snapshot())
            if ((filtered = delegate->channelUnitShouldFilterLog(*this, log)))
                break;
        if (filtered) {
            BCNLogDebug(kTag, "Log of type '" + log->type() + "' was filtered out by delegate(s)");
        } else if (m_discardLogs) {
            BCNLogWarning(kTag, "Channel " + m_configuration.groupId() + " disabled in log discarding mode, discard this log.");
            notifyFailureBeforeSendingForItem(log, BCNMakeError(BCNConnectionPausedErrorCode));
        } else {
            // Stored even while the ingestion is not ready yet (no application secret): it goes
            // out with the first flush once it is.
            BCNLogDebug(kTag, "Saving log, type: " + log->type() + ", flags: " + std::to_string(flags) + ".");
            const bool saved = m_storage->saveLog(log, m_configuration.groupId(), flags);
            notify([&](BCNChannelDelegate& d) { d.channelDidCompleteEnqueueingLog(channel, log, internalId); });
            if (saved) {
                ++m_itemsCount;
                checkPendingLogs();
            }
            return;
        }
        notify([&](BCNChannelDelegate& d) { d.channelDidCompleteEnqueueingLog(channel, log, internalId); });
    });
}

void BCNChannelUnitDefault::checkLeftoverLogs()
{
    // Logs an earlier run stored and never sent go out with the first flush of this one,
    // without waiting for a new log of the group.
    m_itemsCount += m_storage->countLogsWithGroupId(m_configuration.groupId());
    checkPendingLogs();
}

void BCNChannelUnitDefault::checkPendingLogs()
{
    if (!m_paused && m_configuration.flushInterval() == kDefaultFlushInterval && m_itemsCount >= m_configuration.batchSizeLimit()) {
        flushQueue();
        return;
    }
    if (m_itemsCount == 0)
        return;
    const std::uint64_t delay = resolveFlushInterval();
    if (m_paused)
        return;
    if (delay > 0)
        startTimer(delay);
    else
        flushQueue();
}

std::uint64_t BCNChannelUnitDefault::resolveFlushInterval()
{
    const std::uint64_t interval = m_configuration.flushInterval();
    if (interval <= kDefaultFlushInterval)
        return interval;
    const auto now = BCNUtility::now();
    const foundation::Value stored = BCNBeaconUserDefaults::shared().objectForKey(oldestPendingLogTimestampKey());
    if (stored.isDate() && !(now < stored.asDate())) {
        const double elapsed = now.timeIntervalSinceDate(stored.asDate());
        if (elapsed > static_cast<double>(interval)) {
            BCNBeaconUserDefaults::shared().removeObjectForKey(oldestPendingLogTimestampKey());
            return 0;
        }
        return interval - static_cast<std::uint64_t>(elapsed);
    }
    BCNBeaconUserDefaults::shared().setObjectForKey(now, oldestPendingLogTimestampKey());
    return interval;
}

void BCNChannelUnitDefault::startTimer(std::uint64_t seconds)
{
    if (!m_enabled)
        return;
    resetTimer();
    m_timerSource = dispatch::TimerSource::make(m_queue);
    std::weak_ptr<BCNChannelUnitDefault> weak = weak_from_this();
    m_timerSource->setEventHandler([weak] {
        auto self = weak.lock();
        if (!self)
            return;
        if (self->m_itemsCount > 0)
            self->flushQueue();
        self->resetTimer();
        BCNBeaconUserDefaults::shared().removeObjectForKey(self->oldestPendingLogTimestampKey());
    });
    m_timerSource->setTimer(static_cast<double>(seconds));
    m_timerSource->resume();
}

void BCNChannelUnitDefault::resetTimer()
{
    if (m_timerSource) {
        m_timerSource->cancel();
        m_timerSource.reset();
    }
}

void BCNChannelUnitDefault::flushQueue()
{
    if (!m_ingestion || !m_enabled || !m_ingestion->isReadyToSend())
        return;
    resetTimer();
    if (m_paused || m_pendingBatchQueueFull) {
        if (m_itemsCount >= m_configuration.batchSizeLimit()) {
            m_availableBatchFromStorage = true;
            m_itemsCount = 0;
        }
        return;
    }
    m_itemsCount = 0;
    std::optional<std::set<std::string>> excluded;
    if (!m_pausedTargetKeys.empty())
        excluded = m_pausedTargetKeys;
    std::shared_ptr<BCNLogContainer> container;
    m_availableBatchFromStorage = m_storage->loadLogsWithGroupId(m_configuration.groupId(), m_configuration.batchSizeLimit(), excluded,
                                                                 [&](const std::vector<BCNLogPtr>& logs, const std::optional<std::string>& batchId) {
                                                                     if (!logs.empty() && batchId)
                                                                         container = std::make_shared<BCNLogContainer>(*batchId, logs);
                                                                 });
    if (container)
        sendLogContainer(container);
    if (m_availableBatchFromStorage && !m_pendingBatchQueueFull)
        flushQueue();
}

void BCNChannelUnitDefault::sendLogContainer(const std::shared_ptr<BCNLogContainer>& container)
{
    m_pendingBatchIds.push_back(container->batchId());
    if (m_pendingBatchIds.size() >= m_configuration.pendingBatchesLimit())
        m_pendingBatchQueueFull = true;
    const auto& logs = container->logs();
    if (BCNLogger::currentLogLevel() <= BCNLogLevelDebug) {
        for (std::size_t i = 0; i < logs.size(); ++i)
            BCNLogDebug(kTag, "Sending " + std::to_string(i + 1) + "/" + std::to_string(logs.size()) + " log, group Id: "
                                  + m_configuration.groupId() + ", batch Id: " + container->batchId() + ", session Id: "
                                  + logs[i]->sid().value_or("(null)") + ", payload:\n"
                                  + logs[i]->serializeLogWithPrettyPrinting(true).value_or("(null)"));
    }
    const BCNChannelPtr channel = shared_from_this();
    for (const auto& delegate : m_delegates.snapshot())
        for (const auto& log : logs)
            delegate->channelWillSendLog(channel, log);
    std::weak_ptr<BCNChannelUnitDefault> weak = weak_from_this();
    auto queue = m_queue;
    m_ingestion->sendAsync(container, [weak, queue, container](const std::string&, const std::optional<net::HTTPURLResponse>& response,
                                                               const std::optional<foundation::Data>&, const foundation::ErrorPtr& error) {
        const long status = response ? response->statusCode() : 0;
        queue->async([weak, container, status, error] {
            if (auto self = weak.lock())
                self->handleResponse(container, status, error);
        });
    });
}

void BCNChannelUnitDefault::handleResponse(const std::shared_ptr<BCNLogContainer>& container, long statusCode,
                                           const foundation::ErrorPtr& error)
{
    const std::string& batchId = container->batchId();
    auto pending = std::find(m_pendingBatchIds.begin(), m_pendingBatchIds.end(), batchId);
    if (pending == m_pendingBatchIds.end()) {
        BCNLogWarning(kTag, "Batch Id " + batchId + " not expected, ignore.");
        return;
    }
    const BCNChannelPtr channel = shared_from_this();
    const bool delivered = BCNHttpUtil::isSuccessStatusCode(statusCode);
    if (delivered) {
        BCNLogDebug(kTag, "Log(s) sent with success, batch Id:" + batchId + ".");
        for (const auto& delegate : m_delegates.snapshot())
            for (const auto& log : container->logs())
                delegate->channelDidSucceedSendingLog(channel, log);
        m_storage->deleteLogsWithBatchId(batchId, m_configuration.groupId());
        m_consecutiveFailures = 0;
    } else {
        BCNLogError(kTag, "Log(s) sent with failure, batch Id:" + batchId + ", status code:" + std::to_string(statusCode));
        for (const auto& delegate : m_delegates.snapshot())
            for (const auto& log : container->logs())
                delegate->channelDidFailSendingLog(channel, log, error);
        if (!BCNHttpUtil::isRecoverableError(statusCode)) {
            BCNLogError(kTag, "Fatal error encountered; shutting down channel unit with group ID " + m_configuration.groupId());
            setEnabled(false, true);
            return;
        }
        // The logs stay stored; giving the batch back lets a later flush send them again.
        m_storage->releaseBatchWithId(batchId, m_configuration.groupId());
        m_itemsCount += container->logs().size();
        ++m_consecutiveFailures;
    }
    m_pendingBatchIds.erase(std::find(m_pendingBatchIds.begin(), m_pendingBatchIds.end(), batchId));
    if (m_pendingBatchQueueFull && m_pendingBatchIds.size() < m_configuration.pendingBatchesLimit()) {
        m_pendingBatchQueueFull = false;
        if (delivered && m_availableBatchFromStorage)
            flushQueue();
    }
    if (!delivered && !m_paused && m_enabled) {
        // Later, not at once: a server that refuses every request must not be asked in a loop.
        std::uint64_t delay = std::max<std::uint64_t>(m_configuration.flushInterval(), 1);
        for (unsigned i = 1; i < m_consecutiveFailures && delay < kMaximumRetryDelay; ++i)
            delay *= 2;
        startTimer(std::min(delay, kMaximumRetryDelay));
    }
}

void BCNChannelUnitDefault::setEnabled(bool enabled, bool deleteDataOnDisabled)
{
    m_queue->async([this, self = shared_from_this(), enabled, deleteDataOnDisabled] {
        if (enabled != m_enabled) {
            m_enabled = enabled;
            if (enabled)
                resumeWithIdentifyingObjectSync(self);
            else
                pauseWithIdentifyingObjectSync(self);
        }
        if (!enabled && deleteDataOnDisabled) {
            BCNLogDebug(kTag, "Delete all logs for group Id " + m_configuration.groupId());
            deleteAllLogsWithErrorSync(BCNMakeError(BCNConnectionPausedErrorCode));
            m_itemsCount = 0;
            m_availableBatchFromStorage = false;
            m_pendingBatchQueueFull = false;
            BCNBeaconUserDefaults::shared().removeObjectForKey(oldestPendingLogTimestampKey());
            m_discardLogs = true;
        } else {
            m_discardLogs = false;
        }
        const BCNChannelPtr channel = self;
        notify([&](BCNChannelDelegate& d) { d.channelDidSetEnabled(channel, enabled, deleteDataOnDisabled); });
    });
}

void BCNChannelUnitDefault::deleteAllLogsWithErrorSync(const foundation::ErrorPtr& error)
{
    for (const auto& batchId : m_pendingBatchIds)
        m_storage->deleteLogsWithBatchId(batchId, m_configuration.groupId());
    m_pendingBatchIds.clear();
    for (const auto& log : m_storage->deleteLogsWithGroupId(m_configuration.groupId()))
        notifyFailureBeforeSendingForItem(log, error);
}

void BCNChannelUnitDefault::notifyFailureBeforeSendingForItem(const BCNLogPtr& log, const foundation::ErrorPtr& error)
{
    const BCNChannelPtr channel = shared_from_this();
    for (const auto& delegate : m_delegates.snapshot()) {
        delegate->channelWillSendLog(channel, log);
        delegate->channelDidFailSendingLog(channel, log, error);
    }
}

void BCNChannelUnitDefault::pauseWithIdentifyingObject(const BCNIdentifyingObject& object)
{
    m_queue->async([this, self = shared_from_this(), object] { pauseWithIdentifyingObjectSync(object); });
}

void BCNChannelUnitDefault::resumeWithIdentifyingObject(const BCNIdentifyingObject& object)
{
    m_queue->async([this, self = shared_from_this(), object] { resumeWithIdentifyingObjectSync(object); });
}

void BCNChannelUnitDefault::pauseWithIdentifyingObjectSync(const BCNIdentifyingObject& object)
{
    std::erase_if(m_pausedIdentifyingObjects, [](const auto& weak) { return weak.expired(); });
    const bool present = std::any_of(m_pausedIdentifyingObjects.begin(), m_pausedIdentifyingObjects.end(),
                                     [&](const auto& weak) { return weak.lock() == object; });
    if (!present)
        m_pausedIdentifyingObjects.push_back(object);
    BCNLogVerbose(kTag, "Identifying object added to pause lane for channel " + m_configuration.groupId() + ".");
    if (!m_paused) {
        BCNLogDebug(kTag, "Pause channel " + m_configuration.groupId() + ".");
        m_paused = true;
        resetTimer();
    }
    const BCNChannelPtr channel = shared_from_this();
    notify([&](BCNChannelDelegate& d) { d.channelDidPause(channel, object); });
}

void BCNChannelUnitDefault::resumeWithIdentifyingObjectSync(const BCNIdentifyingObject& object)
{
    std::erase_if(m_pausedIdentifyingObjects, [&](const auto& weak) {
        auto held = weak.lock();
        return !held || held == object;
    });
    BCNLogVerbose(kTag, "Identifying object removed from pause lane for channel " + m_configuration.groupId() + ".");
    if (m_pausedIdentifyingObjects.empty() && m_paused) {
        BCNLogDebug(kTag, "Resume channel " + m_configuration.groupId() + ".");
        m_paused = false;
        checkPendingLogs();
    }
    const BCNChannelPtr channel = shared_from_this();
    notify([&](BCNChannelDelegate& d) { d.channelDidResume(channel, object); });
}

void BCNChannelUnitDefault::pauseSendingLogsWithToken(const std::string& token)
{
    const auto key = BCNUtility::targetKeyFromTargetToken(token);
    if (!key)
        return;
    m_queue->async([this, self = shared_from_this(), key = *key] {
        BCNLogDebug(kTag, "Pause channel for target key " + key + ".");
        m_pausedTargetKeys.insert(key);
    });
}

void BCNChannelUnitDefault::resumeSendingLogsWithToken(const std::string& token)
{
    const auto key = BCNUtility::targetKeyFromTargetToken(token);
    if (!key)
        return;
    m_queue->async([this, self = shared_from_this(), key = *key] {
        BCNLogDebug(kTag, "Resume channel for target key " + key + ".");
        m_pausedTargetKeys.erase(key);
        m_itemsCount = m_storage->countLogs();
        checkPendingLogs();
    });
}

// ---------------------------------------------------------------------------------------------

namespace {

std::mutex& dependencyMutex()
{
    static std::mutex mutex;
    return mutex;
}

std::shared_ptr<BCNHttpClientProtocol>& injectedClient()
{
    static std::shared_ptr<BCNHttpClientProtocol> client;
    return client;
}

} // namespace

std::shared_ptr<BCNHttpClientProtocol> BCNDependencyConfiguration::httpClient()
{
    std::lock_guard lock(dependencyMutex());
    return injectedClient();
}

void BCNDependencyConfiguration::setHttpClient(std::shared_ptr<BCNHttpClientProtocol> httpClient)
{
    std::lock_guard lock(dependencyMutex());
    injectedClient() = std::move(httpClient);
}

std::shared_ptr<BCNChannelGroupDefault> BCNChannelGroupDefault::initWithHttpClient(std::shared_ptr<BCNHttpClientProtocol> httpClient,
                                                                                   const std::string& installId, const std::string& logUrl)
{
    return initWithIngestion(BCNBeaconIngestion::init(std::move(httpClient), logUrl, installId));
}

std::shared_ptr<BCNChannelGroupDefault> BCNChannelGroupDefault::initWithIngestion(std::shared_ptr<BCNIngestionProtocol> ingestion)
{
    std::shared_ptr<BCNChannelGroupDefault> group(new BCNChannelGroupDefault());
    group->m_queue = dispatch::Queue::serial("com.movara.beacon.ChannelGroupQueue");
    group->m_storage = BCNLogDBStorage::init();
    group->m_ingestion = std::move(ingestion);
    return group;
}

std::shared_ptr<BCNChannelUnitProtocol> BCNChannelGroupDefault::addChannelUnitWithConfiguration(const BCNChannelUnitConfiguration& configuration)
{
    return addChannelUnitWithConfiguration(configuration, nullptr);
}

std::shared_ptr<BCNChannelUnitProtocol> BCNChannelGroupDefault::addChannelUnitWithConfiguration(const BCNChannelUnitConfiguration& configuration,
                                                                                                std::shared_ptr<BCNIngestionProtocol> ingestion)
{
    auto unit = BCNChannelUnitDefault::init(ingestion ? std::move(ingestion) : m_ingestion, m_storage, configuration, m_queue);
    unit->addDelegate(shared_from_this());
    m_queue->async([unit] { unit->checkLeftoverLogs(); });
    {
        std::lock_guard lock(m_unitsMutex);
        m_channels.push_back(unit);
    }
    for (const auto& delegate : m_delegates.snapshot())
        delegate->channelGroupDidAddChannelUnit(*this, unit);
    return unit;
}

std::vector<std::shared_ptr<BCNChannelUnitDefault>> BCNChannelGroupDefault::units() const
{
    std::lock_guard lock(m_unitsMutex);
    return m_channels;
}

std::shared_ptr<BCNChannelUnitProtocol> BCNChannelGroupDefault::channelUnitForGroupId(const std::string& groupId) const
{
    for (const auto& unit : units())
        if (unit->configuration().groupId() == groupId)
            return unit;
    return nullptr;
}

void BCNChannelGroupDefault::setEnabled(bool enabled, bool deleteDataOnDisabled)
{
    if (m_ingestion)
        m_ingestion->setEnabled(enabled, deleteDataOnDisabled);
    for (const auto& unit : units())
        unit->setEnabled(enabled, deleteDataOnDisabled);
    const BCNChannelPtr self = shared_from_this();
    for (const auto& delegate : m_delegates.snapshot())
        delegate->channelDidSetEnabled(self, enabled, deleteDataOnDisabled);
}

void BCNChannelGroupDefault::pauseWithIdentifyingObject(const BCNIdentifyingObject& object)
{
    if (m_ingestion)
        m_ingestion->setEnabled(false, false);
    for (const auto& unit : units())
        unit->pauseWithIdentifyingObject(object);
}

void BCNChannelGroupDefault::resumeWithIdentifyingObject(const BCNIdentifyingObject& object)
{
    if (m_ingestion)
        m_ingestion->setEnabled(true, false);
    for (const auto& unit : units())
        unit->resumeWithIdentifyingObject(object);
}

void BCNChannelGroupDefault::setMaxStorageSize(std::int64_t sizeInBytes, std::function<void(bool)> completionHandler)
{
    m_queue->async([storage = m_storage, sizeInBytes, completionHandler = std::move(completionHandler)] {
        storage->setMaxStorageSize(sizeInBytes, completionHandler);
    });
}

std::string BCNChannelGroupDefault::logUrl() const
{
    auto ingestion = std::dynamic_pointer_cast<BCNHttpIngestion>(m_ingestion);
    return ingestion ? ingestion->baseURL() : std::string();
}

void BCNChannelGroupDefault::setLogUrl(const std::string& logUrl)
{
    if (auto ingestion = std::dynamic_pointer_cast<BCNHttpIngestion>(m_ingestion))
        ingestion->setBaseURL(logUrl);
}

std::optional<std::string> BCNChannelGroupDefault::appSecret() const
{
    auto ingestion = std::dynamic_pointer_cast<BCNBeaconIngestion>(m_ingestion);
    return ingestion ? ingestion->appSecret() : std::nullopt;
}

void BCNChannelGroupDefault::setAppSecret(const std::optional<std::string>& appSecret)
{
    if (auto ingestion = std::dynamic_pointer_cast<BCNBeaconIngestion>(m_ingestion))
        ingestion->setAppSecret(appSecret);
}

std::vector<BCNLogPtr> BCNChannelGroupDefault::storedLogs(const std::string& groupId) const
{
    std::vector<BCNLogPtr> logs;
    m_queue->sync([&] { logs = m_storage->logsFromDBWithGroupId(groupId); });
    return logs;
}

void BCNChannelGroupDefault::channelPrepareLog(const BCNChannelPtr& channel, const BCNLogPtr& log)
{
    for (const auto& delegate : m_delegates.snapshot())
        delegate->channelPrepareLog(channel, log);
}

void BCNChannelGroupDefault::channelDidPrepareLog(const BCNChannelPtr& channel, const BCNLogPtr& log, const std::string& internalId,
                                                  BCNLogFlags flags)
{
    for (const auto& delegate : m_delegates.snapshot())
        delegate->channelDidPrepareLog(channel, log, internalId, flags);
}

void BCNChannelGroupDefault::channelDidCompleteEnqueueingLog(const BCNChannelPtr& channel, const BCNLogPtr& log, const std::string& internalId)
{
    for (const auto& delegate : m_delegates.snapshot())
        delegate->channelDidCompleteEnqueueingLog(channel, log, internalId);
}

void BCNChannelGroupDefault::channelWillSendLog(const BCNChannelPtr& channel, const BCNLogPtr& log)
{
    for (const auto& delegate : m_delegates.snapshot())
        delegate->channelWillSendLog(channel, log);
}

void BCNChannelGroupDefault::channelDidSucceedSendingLog(const BCNChannelPtr& channel, const BCNLogPtr& log)
{
    for (const auto& delegate : m_delegates.snapshot())
        delegate->channelDidSucceedSendingLog(channel, log);
}

void BCNChannelGroupDefault::channelDidFailSendingLog(const BCNChannelPtr& channel, const BCNLogPtr& log, const foundation::ErrorPtr& error)
{
    for (const auto& delegate : m_delegates.snapshot())
        delegate->channelDidFailSendingLog(channel, log, error);
}

void BCNChannelGroupDefault::channelDidSetEnabled(const BCNChannelPtr& channel, bool enabled, bool deleteDataOnDisabled)
{
    for (const auto& delegate : m_delegates.snapshot())
        delegate->channelDidSetEnabled(channel, enabled, deleteDataOnDisabled);
}

void BCNChannelGroupDefault::channelDidPause(const BCNChannelPtr& channel, const BCNIdentifyingObject& object)
{
    for (const auto& delegate : m_delegates.snapshot())
        delegate->channelDidPause(channel, object);
}

void BCNChannelGroupDefault::channelDidResume(const BCNChannelPtr& channel, const BCNIdentifyingObject& object)
{
    for (const auto& delegate : m_delegates.snapshot())
        delegate->channelDidResume(channel, object);
}

bool BCNChannelGroupDefault::channelUnitShouldFilterLog(BCNChannelUnitProtocol& unit, const BCNLogPtr& log)
{
    for (const auto& delegate : m_delegates.snapshot())
        if (delegate->channelUnitShouldFilterLog(unit, log))
            return true;
    return false;
}
