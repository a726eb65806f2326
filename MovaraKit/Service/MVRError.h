#pragma once
// The framework's own error domain. Failures the web service reports in its error JSON become
// errors of this domain with the service's code; their text for the user comes from a
// translation of the service's error key, else from the table of codes below, else from the
// service's message. Failures of the framework's own work that have no platform error of their
// own (auto-straighten finding no horizon, a cinemagraph reader that can't start) use code -1.

#include <optional>
#include <string>

#include "Platform/Foundation/Error.h"
#include "Platform/Foundation/Value.h"

extern const std::string MVRErrorDomain; // "com.movara.movara"

// User-info keys of an error made from the service's error JSON.
extern const std::string MVRErrorKeyUserInfoKey;     // "error_key"
extern const std::string MVRErrorMessageUserInfoKey; // "error"

enum MVRErrorCode : long {
    MVRErrorCodeGeneric = -1,
    MVRErrorCodeInvalidCredentials = 0,
    MVRErrorCodeInvalidResource = 1,
    MVRErrorCodeMissingParameters = 2,
    MVRErrorCodeInvalidField = 3,
    MVRErrorCodeForbiddenResource = 4,
    MVRErrorCodeBadRequest = 5,
    MVRErrorCodeServerError = 6,
    MVRErrorCodeSocialNetworkNotConnected = 7,
    MVRErrorCodeInvalidImage = 8,
    MVRErrorCodePrivateFeed = 9,
    MVRErrorCodeValidationRequired = 10,
    MVRErrorCodeNoCurrentContest = 11,
    MVRErrorCodeJSONParsing = 1234,
    MVRErrorCodeFailedToLoadVideo = 2000,
};

class MVRError {
public:
    // An error of the service's error JSON (a dictionary with a numeric "error_code"), with
    // the underlying error beneath it; for anything else the underlying error itself.
    static foundation::ErrorPtr errorWithJSON(const foundation::Value& JSON, const foundation::ErrorPtr& underlyingError);

    // The text for the user of an error of this domain, by the rules above; for an error of
    // another domain, its own description.
    static std::string localizedDescription(const foundation::Error& error);

    // The table's text for a code ("Invalid Credentials" for 0...), none for other codes.
    static std::optional<std::string> textForCode(long code);
};
