#pragma once
// The two analytics records that are not events: a page view ("page", a name and string
// properties) and the start of a session ("startSession", whose sid is the new session's id).

#include "MovaraAppKit/Telemetry/Analytics/BCNEventLog.h"

class BCNPageLog : public BCNLogWithNameAndProperties {
public:
    BCNPageLog() : BCNLogWithNameAndProperties("page") { }
    bool isEqual(const BCNAbstractLog& other) const override;
    std::string className() const override { return "BCNPageLog"; }
};

class BCNStartSessionLog : public BCNAbstractLog, public BCNNoAutoAssignSessionIdLog {
public:
    BCNStartSessionLog() : BCNAbstractLog("startSession") { }
    std::string className() const override { return "BCNStartSessionLog"; }
};
