#include "MovaraAppKit/Telemetry/Core/BCNUtility.h"

#include <vector>

namespace {

std::vector<std::string> split(const std::string& string, char separator)
{
    std::vector<std::string> parts;
    std::string::size_type start = 0;
    while (true) {
        auto end = string.find(separator, start);
        parts.push_back(string.substr(start, end - start));
        if (end == std::string::npos)
            return parts;
        start = end + 1;
    }
}

std::string removingAll(std::string text, const std::string& what)
{
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what))
        text.erase(at, what.size());
    return text;
}

} // namespace

std::optional<std::string> BCNUtility::appSecretFrom(const std::string& string)
{
    const bool platformKeyed = string.find("macos=") != std::string::npos;
    for (const std::string& part : split(string, ';')) {
        if (part.empty() || part.find("target=") != std::string::npos)
            continue;
        if (platformKeyed && part.find("macos=") == std::string::npos)
            continue;
        std::string value = removingAll(part, platformKeyed ? "macos=" : "appsecret=");
        if (value.empty())
            return std::nullopt;
        return value;
    }
    return std::nullopt;
}

std::optional<std::string> BCNUtility::transmissionTargetTokenFrom(const std::string& string)
{
    for (const std::string& part : split(string, ';')) {
        if (part.find("target=") == std::string::npos)
            continue;
        std::string value = removingAll(part, "target=");
        if (!value.empty())
            return value;
    }
    return std::nullopt;
}
