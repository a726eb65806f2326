#include "Platform/Net/HTTPURLResponse.h"

#include <algorithm>
#include <cctype>
#include <charconv>

#include "Platform/Foundation/StringUtils.h"

namespace net {

namespace {

std::string trim(std::string_view s)
{
    auto b = s.find_first_not_of(" \t");
    if (b == std::string_view::npos)
        return {};
    auto e = s.find_last_not_of(" \t");
    return std::string(s.substr(b, e - b + 1));
}

} // namespace

HTTPURLResponse::HTTPURLResponse(foundation::URL url, long statusCode, HTTPHeaderFields headerFields, std::string httpVersion)
    : m_url(std::move(url))
    , m_statusCode(statusCode)
    , m_headers(std::move(headerFields))
    , m_httpVersion(std::move(httpVersion))
{
}

std::optional<std::string> HTTPURLResponse::valueForHTTPHeaderField(std::string_view field) const
{
    auto it = m_headers.find(field);
    if (it == m_headers.end())
        return std::nullopt;
    return it->second;
}

std::optional<std::string> HTTPURLResponse::MIMEType() const
{
    auto type = valueForHTTPHeaderField("Content-Type");
    if (!type)
        return std::nullopt;
    auto semicolon = type->find(';');
    auto value = foundation::asciiLowercase(trim(std::string_view(*type).substr(0, semicolon)));
    if (value.empty())
        return std::nullopt;
    return value;
}

std::optional<std::string> HTTPURLResponse::textEncodingName() const
{
    auto type = valueForHTTPHeaderField("Content-Type");
    if (!type)
        return std::nullopt;
    std::string_view rest(*type);
    while (true) {
        auto semicolon = rest.find(';');
        if (semicolon == std::string_view::npos)
            return std::nullopt;
        rest = rest.substr(semicolon + 1);
        auto end = rest.find(';');
        std::string parameter = trim(rest.substr(0, end));
        auto equals = parameter.find('=');
        if (equals != std::string::npos && foundation::asciiLowercase(trim(std::string_view(parameter).substr(0, equals))) == "charset") {
            std::string value = trim(std::string_view(parameter).substr(equals + 1));
            if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
                value = value.substr(1, value.size() - 2);
            if (value.empty())
                return std::nullopt;
            return foundation::asciiLowercase(value);
        }
    }
}

std::int64_t HTTPURLResponse::expectedContentLength() const
{
    auto length = valueForHTTPHeaderField("Content-Length");
    if (!length)
        return -1;
    std::string text = trim(*length);
    std::int64_t value = -1;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value < 0)
        return -1;
    return value;
}

std::string HTTPURLResponse::localizedStringForStatusCode(long statusCode)
{
    switch (statusCode) {
    case 100: return "continue";
    case 101: return "switching protocols";
    case 200: return "no error";
    case 201: return "created";
    case 202: return "accepted";
    case 203: return "non-authoritative information";
    case 204: return "no content";
    case 205: return "reset content";
    case 206: return "partial content";
    case 300: return "multiple choices";
    case 301: return "moved permanently";
    case 302: return "found";
    case 303: return "see other";
    case 304: return "not modified";
    case 305: return "needs proxy";
    case 307: return "temporarily redirected";
    case 400: return "bad request";
    case 401: return "unauthorized";
    case 402: return "payment required";
    case 403: return "forbidden";
    case 404: return "not found";
    case 405: return "method not allowed";
    case 406: return "unacceptable";
    case 407: return "proxy authentication required";
    case 408: return "request timed out";
    case 409: return "conflict";
    case 410: return "no longer exists";
    case 411: return "length required";
    case 412: return "precondition failed";
    case 413: return "request too large";
    case 414: return "requested URL too long";
    case 415: return "unsupported media type";
    case 416: return "requested range not satisfiable";
    case 417: return "expectation failed";
    case 500: return "internal server error";
    case 501: return "unimplemented";
    case 502: return "bad gateway";
    case 503: return "service unavailable";
    case 504: return "gateway timed out";
    case 505: return "unsupported version";
    default: break;
    }
    if (statusCode >= 100 && statusCode < 200)
        return "informational";
    if (statusCode >= 200 && statusCode < 300)
        return "success";
    if (statusCode >= 300 && statusCode < 400)
        return "redirected";
    if (statusCode >= 400 && statusCode < 500)
        return "client error";
    if (statusCode >= 500 && statusCode < 600)
        return "server error";
    return "server error";
}

} // namespace net
