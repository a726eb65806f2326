#include "MovaraAppKit/Telemetry/Core/Model/BCNLogContainer.h"

#include "MovaraAppKit/Telemetry/Core/BCNLogger.h"
#include "Platform/Foundation/JSON.h"

std::optional<std::string> BCNLogContainer::serializeLogWithPrettyPrinting(bool prettyPrint) const
{
    foundation::Value logs = foundation::Value::array();
    for (const auto& log : m_logs)
        if (log)
            logs.append(log->serializeToDictionary());
    foundation::ErrorPtr error;
    std::string text = foundation::toJSON(foundation::Value::dictionary({ { "logs", logs } }), prettyPrint, &error);
    if (error) {
        BCNLogError("Beacon", "Couldn't serialize log container to json: " + error->localizedDescription());
        return std::nullopt;
    }
    return text;
}

bool BCNLogContainer::isValid() const
{
    if (m_logs.empty()) {
        BCNLogVerbose("Beacon", "BCNLogContainer: there are no logs in container.");
        return false;
    }
    for (const auto& log : m_logs)
        if (!log || !log->isValid())
            return false;
    return true;
}
