#include "Platform/Net/URLError.h"

namespace net {

const std::string URLErrorFailingURLErrorKey = "NSErrorFailingURLKey";

namespace {

std::string descriptionForCode(long code)
{
    switch (code) {
    case URLErrorCancelled: return "cancelled";
    case URLErrorBadURL: return "unsupported URL";
    case URLErrorTimedOut: return "The request timed out.";
    case URLErrorUnsupportedURL: return "unsupported URL";
    case URLErrorCannotFindHost: return "A server with the specified hostname could not be found.";
    case URLErrorCannotConnectToHost: return "Could not connect to the server.";
    case URLErrorNetworkConnectionLost: return "The network connection was lost.";
    case URLErrorHTTPTooManyRedirects: return "too many HTTP redirects";
    case URLErrorNotConnectedToInternet: return "The Internet connection appears to be offline.";
    case URLErrorBadServerResponse: return "The server returned an invalid response.";
    case URLErrorCannotDecodeRawData: return "cannot decode raw data";
    case URLErrorCannotDecodeContentData: return "cannot decode content data";
    case URLErrorDataLengthExceedsMaximum: return "resource exceeds maximum size";
    case URLErrorSecureConnectionFailed: return "An SSL error has occurred and a secure connection to the server cannot be made.";
    case URLErrorServerCertificateUntrusted: return "The certificate for this server is invalid.";
    default: return "An unknown error occurred.";
    }
}

} // namespace

foundation::ErrorPtr makeURLError(long code, const std::string& failingURL, const std::string& description)
{
    foundation::Error::UserInfo info;
    info[foundation::LocalizedDescriptionKey].text = description.empty() ? descriptionForCode(code) : description;
    if (!failingURL.empty()) {
        info[URLErrorFailingURLErrorKey].text = failingURL;
        info[foundation::FailingURLStringErrorKey].text = failingURL;
    }
    return foundation::Error::make(foundation::URLErrorDomain, code, std::move(info));
}

} // namespace net
