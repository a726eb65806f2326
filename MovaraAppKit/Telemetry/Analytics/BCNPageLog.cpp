#include "MovaraAppKit/Telemetry/Analytics/BCNPageLog.h"

#include "MovaraAppKit/Telemetry/Core/Model/BCNCoding.h"

bool BCNPageLog::isEqual(const BCNAbstractLog& other) const
{
    return dynamic_cast<const BCNPageLog*>(&other) && BCNLogWithNameAndProperties::isEqual(other);
}

BCN_REGISTER_CODING_CLASS(BCNPageLog, { "BCNLogWithNameAndProperties", "BCNLogWithProperties", "BCNAbstractLog" })
BCN_REGISTER_CODING_CLASS(BCNStartSessionLog, { "BCNAbstractLog" })
