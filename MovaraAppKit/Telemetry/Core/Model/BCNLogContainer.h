#pragma once
// One batch of logs for one request, with the batch id the log store knows it by. Its wire
// form is {"logs": [...]}; the batch id is not part of it.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "MovaraAppKit/Telemetry/Core/BCNAbstractLog.h"

class BCNLogContainer {
public:
    BCNLogContainer(std::string batchId, std::vector<BCNLogPtr> logs) : m_batchId(std::move(batchId)), m_logs(std::move(logs)) { }

    const std::string& batchId() const { return m_batchId; }
    const std::vector<BCNLogPtr>& logs() const { return m_logs; }

    std::optional<std::string> serializeLog() const { return serializeLogWithPrettyPrinting(false); }
    // None (after an error line) when the logs have no JSON form.
    std::optional<std::string> serializeLogWithPrettyPrinting(bool prettyPrint) const;
    // At least one log, and every log valid.
    bool isValid() const;

private:
    std::string m_batchId;
    std::vector<BCNLogPtr> m_logs;
};
