#pragma once
// Transfer failures in the platform's URL error domain ("NSURLErrorDomain") with its codes, so
// that callers written against the platform test the same numbers.

#include <string>

#include "Platform/Foundation/Error.h"

namespace net {

enum URLErrorCode : long {
    URLErrorUnknown = -1,
    URLErrorCancelled = -999,
    URLErrorBadURL = -1000,
    URLErrorTimedOut = -1001,
    URLErrorUnsupportedURL = -1002,
    URLErrorCannotFindHost = -1003,
    URLErrorCannotConnectToHost = -1004,
    URLErrorNetworkConnectionLost = -1005,
    URLErrorHTTPTooManyRedirects = -1007,
    URLErrorResourceUnavailable = -1008,
    URLErrorNotConnectedToInternet = -1009,
    URLErrorBadServerResponse = -1011,
    URLErrorCannotDecodeRawData = -1015,
    URLErrorCannotDecodeContentData = -1016,
    URLErrorDataLengthExceedsMaximum = -1103,
    URLErrorSecureConnectionFailed = -1200,
    URLErrorServerCertificateUntrusted = -1202,
};

// User-info key of the URL that failed ("NSErrorFailingURLKey"); its value is the URL's text.
extern const std::string URLErrorFailingURLErrorKey;

// An error in the URL domain with the platform's description for `code`, the failing URL
// (when given) under both failing-URL keys.
foundation::ErrorPtr makeURLError(long code, const std::string& failingURL = {},
                                  const std::string& description = {});

} // namespace net
