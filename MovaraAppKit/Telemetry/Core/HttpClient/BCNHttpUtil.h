#pragma once
// How the telemetry client reads HTTP outcomes: which statuses are worth retrying, which are
// successes, which transport errors mean "no network", and how secrets are masked for logs.

#include <string>

#include "Platform/Foundation/Error.h"

// The client's own error domain and codes.
extern const std::string kBCNErrorDomain; // "com.Movara.Beacon.ErrorDomain"
enum BCNErrorCode : long {
    BCNLogInvalidContainerErrorCode = 1,
    BCNCanceledErrorCode = 2,
    BCNDisabledErrorCode = 3,
    BCNConnectionPausedErrorCode = 100,
};
foundation::ErrorPtr BCNMakeError(BCNErrorCode code);

class BCNHttpUtil {
public:
    // 0 (no answer), 408, 429 and every code from 500 up.
    static bool isRecoverableError(long statusCode);
    // 200 to 299.
    static bool isSuccessStatusCode(long statusCode);
    // Not connected (-1009) or connection lost (-1005) in the URL domain.
    static bool isNoInternetConnectionError(const foundation::ErrorPtr& error);
    // -2000 to -1200 in the URL domain.
    static bool isSSLConnectionError(const foundation::ErrorPtr& error);
    // All but the last 8 characters become "*".
    static std::string hideSecret(const std::string& secret);
    static std::string hideSecretInString(const std::string& string, const std::string& secret);
};
