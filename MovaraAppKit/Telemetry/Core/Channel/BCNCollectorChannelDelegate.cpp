#include "MovaraAppKit/Telemetry/Core/Channel/BCNCollectorChannelDelegate.h"

#include "MovaraAppKit/Telemetry/Core/BCNLogger.h"
#include "MovaraAppKit/Telemetry/Core/Ingestion/BCNHttpIngestion.h"
#include "MovaraAppKit/Telemetry/Core/Model/CommonSchema/BCNCommonSchemaLog.h"

namespace {

const std::string kTwinSuffix = "/one";
const std::string kNamePattern = "^[a-zA-Z0-9]((\\.(?!(\\.|$)))|[_a-zA-Z0-9]){3,99}$";

bool isAlphanumeric(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

} // namespace

const std::string BCNCollectorChannelDelegate::DefaultBaseUrl = "https://collector.beacon.movara.com";

std::shared_ptr<BCNCollectorChannelDelegate> BCNCollectorChannelDelegate::init(std::shared_ptr<BCNHttpClientProtocol> httpClient,
                                                                               foundation::UUID installId,
                                                                               const std::optional<std::string>& baseUrl)
{
    std::shared_ptr<BCNCollectorChannelDelegate> delegate(new BCNCollectorChannelDelegate());
    delegate->m_baseUrl = baseUrl.value_or(DefaultBaseUrl);
    delegate->m_installId = installId;
    delegate->m_collectorIngestion = BCNCollectorIngestion::init(std::move(httpClient), delegate->m_baseUrl);
    return delegate;
}

void BCNCollectorChannelDelegate::setLogUrl(const std::string& logUrl)
{
    m_collectorIngestion->setBaseURL(logUrl);
}

bool BCNCollectorChannelDelegate::isCollectorGroup(const std::string& groupId)
{
    return groupId.ends_with(kTwinSuffix);
}

std::shared_ptr<BCNChannelUnitProtocol> BCNCollectorChannelDelegate::twinOf(const std::string& groupId) const
{
    std::lock_guard lock(m_mutex);
    auto it = m_collectorChannels.find(groupId);
    return it == m_collectorChannels.end() ? nullptr : it->second;
}

bool BCNCollectorChannelDelegate::shouldSendLogToCollector(const BCNLogPtr& log)
{
    if (!log || dynamic_cast<const BCNCommonSchemaLog*>(log.get()))
        return false;
    const auto tokens = log->transmissionTargetTokens();
    return tokens && !tokens->empty();
}

bool BCNCollectorChannelDelegate::validateLogName(const std::optional<std::string>& name)
{
    if (!name || name->empty()) {
        BCNLogError("Beacon", "Log validation failed. Name must not be nil or empty.");
        return false;
    }
    // What the pattern says, spelt out: no dot after a dot and none at the end.
    const std::string& text = *name;
    bool valid = text.size() >= 4 && text.size() <= 100 && isAlphanumeric(text[0]);
    for (std::size_t i = 1; valid && i < text.size(); ++i) {
        const char c = text[i];
        if (c == '.')
            valid = i + 1 < text.size() && text[i + 1] != '.';
        else
            valid = isAlphanumeric(c) || c == '_';
    }
    if (!valid)
        BCNLogError("Beacon", "Log validation failed. Name must match '" + kNamePattern + "' but was '" + text + "'");
    return valid;
}

bool BCNCollectorChannelDelegate::validateLog(const BCNCommonSchemaLog& log)
{
    return validateLogName(log.name);
}

void BCNCollectorChannelDelegate::channelGroupDidAddChannelUnit(BCNChannelGroupProtocol& group,
                                                                const std::shared_ptr<BCNChannelUnitProtocol>& unit)
{
    const std::string& groupId = unit->configuration().groupId();
    if (isCollectorGroup(groupId))
        return;
    auto configuration = BCNChannelUnitConfiguration::initDefaultConfigurationWithGroupId(groupId + kTwinSuffix,
                                                                                          unit->configuration().flushInterval());
    auto twin = group.addChannelUnitWithConfiguration(configuration, m_collectorIngestion);
    std::lock_guard lock(m_mutex);
    m_collectorChannels[groupId] = twin;
}

void BCNCollectorChannelDelegate::channelPrepareLog(const BCNChannelPtr&, const BCNLogPtr& log)
{
    auto* csLog = dynamic_cast<BCNCommonSchemaLog*>(log.get());
    if (!csLog)
        return;
    std::lock_guard lock(m_mutex);
    auto& entry = m_epochsAndSeqsByIKey[csLog->iKey.value_or("")];
    if (entry.epoch.empty())
        entry.epoch = foundation::UUID::random().UUIDString();
    if (!csLog->ext)
        csLog->ext = std::make_shared<BCNCSExtensions>();
    if (!csLog->ext->sdkExt)
        csLog->ext->sdkExt = std::make_shared<BCNSDKExtension>();
    csLog->ext->sdkExt->epoch = entry.epoch;
    csLog->ext->sdkExt->seq = ++entry.seq;
    csLog->ext->sdkExt->installId = m_installId;
}

void BCNCollectorChannelDelegate::channelDidPrepareLog(const BCNChannelPtr& channel, const BCNLogPtr& log, const std::string&,
                                                       BCNLogFlags flags)
{
    auto unit = std::dynamic_pointer_cast<BCNChannelUnitProtocol>(channel);
    if (!unit)
        return;
    const std::string& groupId = unit->configuration().groupId();
    if (isCollectorGroup(groupId))
        return;
    if (dynamic_cast<const BCNCommonSchemaLog*>(log.get())) {
        if (auto twin = twinOf(groupId))
            twin->enqueueItem(log, flags);
        return;
    }
    if (!shouldSendLogToCollector(log))
        return;
    auto twin = twinOf(groupId);
    if (!twin)
        return;
    for (const auto& converted : log->toCommonSchemaLogsWithFlags(flags))
        twin->enqueueItem(converted, flags);
}

bool BCNCollectorChannelDelegate::channelUnitShouldFilterLog(BCNChannelUnitProtocol& unit, const BCNLogPtr& log)
{
    if (const auto* csLog = dynamic_cast<const BCNCommonSchemaLog*>(log.get())) {
        if (isCollectorGroup(unit.configuration().groupId()))
            return !validateLog(*csLog);
        return true;
    }
    const auto tokens = log->transmissionTargetTokens();
    return tokens && !tokens->empty();
}

void BCNCollectorChannelDelegate::channelDidSetEnabled(const BCNChannelPtr& channel, bool enabled, bool deleteDataOnDisabled)
{
    if (auto unit = std::dynamic_pointer_cast<BCNChannelUnitProtocol>(channel)) {
        if (isCollectorGroup(unit->configuration().groupId()))
            return;
        if (auto twin = twinOf(unit->configuration().groupId()))
            twin->setEnabled(enabled, deleteDataOnDisabled);
        return;
    }
    if (std::dynamic_pointer_cast<BCNChannelGroupProtocol>(channel) && !enabled && deleteDataOnDisabled) {
        std::lock_guard lock(m_mutex);
        m_epochsAndSeqsByIKey.clear();
    }
}

void BCNCollectorChannelDelegate::channelDidPause(const BCNChannelPtr& channel, const BCNIdentifyingObject& object)
{
    if (auto unit = std::dynamic_pointer_cast<BCNChannelUnitProtocol>(channel))
        if (auto twin = twinOf(unit->configuration().groupId()))
            twin->pauseWithIdentifyingObject(object);
}

void BCNCollectorChannelDelegate::channelDidResume(const BCNChannelPtr& channel, const BCNIdentifyingObject& object)
{
    if (auto unit = std::dynamic_pointer_cast<BCNChannelUnitProtocol>(channel))
        if (auto twin = twinOf(unit->configuration().groupId()))
            twin->resumeWithIdentifyingObject(object);
}
