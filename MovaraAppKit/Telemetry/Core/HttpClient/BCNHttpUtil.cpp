#include "MovaraAppKit/Telemetry/Core/HttpClient/BCNHttpUtil.h"

#include <vector>

#include "Platform/Foundation/StringUtils.h"

const std::string kBCNErrorDomain = "com.Movara.Beacon.ErrorDomain";

foundation::ErrorPtr BCNMakeError(BCNErrorCode code)
{
    switch (code) {
    case BCNLogInvalidContainerErrorCode: return foundation::Error::make(kBCNErrorDomain, code, "Invalid log container.");
    case BCNCanceledErrorCode: return foundation::Error::make(kBCNErrorDomain, code, "The operation was canceled.");
    case BCNDisabledErrorCode: return foundation::Error::make(kBCNErrorDomain, code, "The service is disabled.");
    case BCNConnectionPausedErrorCode:
        return foundation::Error::make(kBCNErrorDomain, code, "Canceled, connection paused with log deletion.");
    }
    return foundation::Error::make(kBCNErrorDomain, code);
}

bool BCNHttpUtil::isRecoverableError(long statusCode)
{
    return statusCode == 0 || statusCode == 408 || statusCode == 429 || statusCode >= 500;
}

bool BCNHttpUtil::isSuccessStatusCode(long statusCode)
{
    return statusCode >= 200 && statusCode <= 299;
}

bool BCNHttpUtil::isNoInternetConnectionError(const foundation::ErrorPtr& error)
{
    return error && error->domain() == foundation::NSURLErrorDomain && (error->code() == -1009 || error->code() == -1005);
}

bool BCNHttpUtil::isSSLConnectionError(const foundation::ErrorPtr& error)
{
    return error && error->domain() == foundation::NSURLErrorDomain && error->code() >= -2000 && error->code() <= -1200;
}

std::string BCNHttpUtil::hideSecret(const std::string& secret)
{
    // Counted in characters, so a masked secret never ends in half a character.
    std::vector<std::size_t> starts;
    for (std::size_t pos = 0; pos < secret.size();) {
        starts.push_back(pos);
        std::size_t next = pos;
        if (!foundation::decodeUTF8(secret, next) || next <= pos)
            next = pos + 1;
        pos = next;
    }
    const std::size_t visible = 8;
    if (starts.size() <= visible)
        return std::string(starts.size(), '*');
    const std::size_t hidden = starts.size() - visible;
    return std::string(hidden, '*') + secret.substr(starts[hidden]);
}

std::string BCNHttpUtil::hideSecretInString(const std::string& string, const std::string& secret)
{
    if (secret.empty())
        return string;
    std::string result = string;
    const std::string masked = hideSecret(secret);
    for (auto at = result.find(secret); at != std::string::npos; at = result.find(secret, at + masked.size()))
        result.replace(at, secret.size(), masked);
    return result;
}
