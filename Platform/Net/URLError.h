#pragma once
// Transfer failures in the platform's URL error domain ("NSURLErrorDomain") with its codes, so
// that callers written against the platform test the same numbers.

#include <string>

#include "Platform/Foundation/Error.h"

namespace net {

enum URLErrorCode : long {
    NSURLErrorUnknown = -1,
    NSURLErrorCancelled = -999,
    NSURLErrorBadURL = -1000,
    NSURLErrorTimedOut = -1001,
    NSURLErrorUnsupportedURL = -1002,
    NSURLErrorCannotFindHost = -1003,
    NSURLErrorCannotConnectToHost = -1004,
    NSURLErrorNetworkConnectionLost = -1005,
    NSURLErrorHTTPTooManyRedirects = -1007,
    NSURLErrorResourceUnavailable = -1008,
    NSURLErrorNotConnectedToInternet = -1009,
    NSURLErrorBadServerResponse = -1011,
    NSURLErrorCannotDecodeRawData = -1015,
    NSURLErrorAppTransportSecurityRequiresSecureConnection = -1022,
    NSURLErrorCannotDecodeContentData = -1016,
    NSURLErrorDataLengthExceedsMaximum = -1103,
    NSURLErrorSecureConnectionFailed = -1200,
    NSURLErrorServerCertificateUntrusted = -1202,
};

// User-info key of the URL that failed ("NSErrorFailingURLKey"); its value is the URL's text.
extern const std::string NSURLErrorFailingURLErrorKey;

// An error in the URL domain with the platform's description for `code`, the failing URL
// (when given) under both failing-URL keys.
foundation::ErrorPtr makeURLError(long code, const std::string& failingURL = {},
                                  const std::string& description = {});

} // namespace net
