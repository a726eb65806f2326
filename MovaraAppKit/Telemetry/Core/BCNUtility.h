#pragma once
// Small helpers of the telemetry client: parts of the configuration string.

#include <optional>
#include <string>

class BCNUtility {
public:
    // The application secret of a configuration string: a bare value, "appsecret=<value>" or
    // the "macos=<value>" part; never a "target=" part.
    static std::optional<std::string> appSecretFrom(const std::string& string);
    // The "target=<token>" part of a configuration string.
    static std::optional<std::string> transmissionTargetTokenFrom(const std::string& string);
};
