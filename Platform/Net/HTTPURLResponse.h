#pragma once
// The head of an HTTP response as a value: the URL it answered (after redirects), the status
// code and the header fields, with the MIME type, text encoding and expected length derived
// from them.

#include <cstdint>
#include <optional>
#include <string>

#include "Platform/Foundation/URL.h"
#include "Platform/Net/URLRequest.h"

namespace net {

class HTTPURLResponse {
public:
    HTTPURLResponse(foundation::URL url, long statusCode, HTTPHeaderFields headerFields = {},
                    std::string httpVersion = "HTTP/1.1");

    const foundation::URL& URL() const { return m_url; }
    long statusCode() const { return m_statusCode; }
    const HTTPHeaderFields& allHeaderFields() const { return m_headers; }
    std::optional<std::string> valueForHTTPHeaderField(std::string_view field) const;
    const std::string& httpVersion() const { return m_httpVersion; }

    // The Content-Type without parameters, lower case; none without the header.
    std::optional<std::string> MIMEType() const;
    // The "charset" parameter of the Content-Type, lower case, unquoted; none without one.
    std::optional<std::string> textEncodingName() const;
    // Content-Length, or -1 when unknown.
    std::int64_t expectedContentLength() const;

    // The reason phrase the platform gives a status code ("not found" for 404...).
    static std::string localizedStringForStatusCode(long statusCode);

    bool operator==(const HTTPURLResponse&) const = default;

private:
    foundation::URL m_url;
    long m_statusCode = 0;
    HTTPHeaderFields m_headers;
    std::string m_httpVersion;
};

} // namespace net
