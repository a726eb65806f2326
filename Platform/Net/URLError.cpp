#include "Platform/Net/URLError.h"

namespace net {

const std::string NSURLErrorFailingURLErrorKey = "NSErrorFailingURLKey";

namespace {

std::string descriptionForCode(long code)
{
    switch (code) {
    case NSURLErrorCancelled: return "cancelled";
    case NSURLErrorBadURL: return "unsupported URL";
    case NSURLErrorTimedOut: return "The request timed out.";
    case NSURLErrorUnsupportedURL: return "unsupported URL";
    case NSURLErrorCannotFindHost: return "A server with the specified hostname could not be found.";
    case NSURLErrorCannotConnectToHost: return "Could not connect to the server.";
    case NSURLErrorNetworkConnectionLost: return "The network connection was lost.";
    case NSURLErrorHTTPTooManyRedirects: return "too many HTTP redirects";
    case NSURLErrorNotConnectedToInternet: return "The Internet connection appears to be offline.";
    case NSURLErrorBadServerResponse: return "The server returned an invalid response.";
    case NSURLErrorCannotDecodeRawData: return "cannot decode raw data";
    case NSURLErrorAppTransportSecurityRequiresSecureConnection:
        return "The resource could not be loaded because the App Transport Security policy requires the use of a secure connection.";
    case NSURLErrorCannotDecodeContentData: return "cannot decode content data";
    case NSURLErrorDataLengthExceedsMaximum: return "resource exceeds maximum size";
    case NSURLErrorSecureConnectionFailed: return "An SSL error has occurred and a secure connection to the server cannot be made.";
    case NSURLErrorServerCertificateUntrusted: return "The certificate for this server is invalid.";
    default: return "An unknown error occurred.";
    }
}

} // namespace

foundation::ErrorPtr makeURLError(long code, const std::string& failingURL, const std::string& description)
{
    foundation::Error::UserInfo info;
    info[foundation::NSLocalizedDescriptionKey].text = description.empty() ? descriptionForCode(code) : description;
    if (!failingURL.empty()) {
        info[NSURLErrorFailingURLErrorKey].text = failingURL;
        info[foundation::NSURLErrorFailingURLStringErrorKey].text = failingURL;
    }
    return foundation::Error::make(foundation::NSURLErrorDomain, code, std::move(info));
}

} // namespace net
