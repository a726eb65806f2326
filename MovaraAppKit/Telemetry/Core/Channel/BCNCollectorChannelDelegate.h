#pragma once
// Sends logs addressed to transmission targets to the common-schema collector without the
// services knowing: every unit gets a twin ("<group id>/one") on the collector ingestion; a log
// with target tokens is kept out of its unit and queued in the twin as one common-schema log
// per token, numbered per instrumentation key with an epoch and a sequence; twins follow their
// unit's enable state and pauses. Its maps are locked: units report from several threads.

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "MovaraAppKit/Telemetry/Core/BCNChannelGroup.h"
#include "Platform/Foundation/UUID.h"

class BCNCollectorIngestion;
class BCNCommonSchemaLog;

class BCNCollectorChannelDelegate : public BCNChannelDelegate, public std::enable_shared_from_this<BCNCollectorChannelDelegate> {
public:
    // The collector's default base URL, used when none is given.
    static const std::string DefaultBaseUrl;

    static std::shared_ptr<BCNCollectorChannelDelegate> init(std::shared_ptr<BCNHttpClientProtocol> httpClient, foundation::UUID installId,
                                                             const std::optional<std::string>& baseUrl);

    void setLogUrl(const std::string& logUrl);
    const std::shared_ptr<BCNCollectorIngestion>& collectorIngestion() const { return m_collectorIngestion; }
    std::shared_ptr<BCNChannelUnitProtocol> twinOf(const std::string& groupId) const;

    static bool isCollectorGroup(const std::string& groupId);
    static bool shouldSendLogToCollector(const BCNLogPtr& log);
    static bool validateLog(const BCNCommonSchemaLog& log);
    // 4 to 100 letters, digits, underscores and single inner dots, starting with a letter or digit.
    static bool validateLogName(const std::optional<std::string>& name);

    void channelGroupDidAddChannelUnit(BCNChannelGroupProtocol& group, const std::shared_ptr<BCNChannelUnitProtocol>& unit) override;
    void channelPrepareLog(const BCNChannelPtr& channel, const BCNLogPtr& log) override;
    void channelDidPrepareLog(const BCNChannelPtr& channel, const BCNLogPtr& log, const std::string& internalId, BCNLogFlags flags) override;
    bool channelUnitShouldFilterLog(BCNChannelUnitProtocol& unit, const BCNLogPtr& log) override;
    void channelDidSetEnabled(const BCNChannelPtr& channel, bool enabled, bool deleteDataOnDisabled) override;
    void channelDidPause(const BCNChannelPtr& channel, const BCNIdentifyingObject& object) override;
    void channelDidResume(const BCNChannelPtr& channel, const BCNIdentifyingObject& object) override;

private:
    BCNCollectorChannelDelegate() = default;

    struct EpochAndSeq {
        std::string epoch;
        std::int64_t seq = 0;
    };

    mutable std::mutex m_mutex;
    std::map<std::string, std::shared_ptr<BCNChannelUnitProtocol>> m_collectorChannels;
    std::map<std::string, EpochAndSeq> m_epochsAndSeqsByIKey;
    std::shared_ptr<BCNCollectorIngestion> m_collectorIngestion;
    std::string m_baseUrl;
    foundation::UUID m_installId = foundation::UUID::fromBytes({});
};
