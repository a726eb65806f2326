#include "Platform/Net/URLRequest.h"

#include <algorithm>
#include <cctype>

namespace net {

bool CaseInsensitiveLess::operator()(std::string_view a, std::string_view b) const
{
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](unsigned char x, unsigned char y) {
        return std::tolower(x) < std::tolower(y);
    });
}

URLRequest::URLRequest(foundation::URL url, URLRequestCachePolicy cachePolicy, double timeoutInterval)
    : m_url(std::move(url))
    , m_timeoutInterval(timeoutInterval)
    , m_cachePolicy(cachePolicy)
{
}

void URLRequest::setHTTPMethod(std::string method)
{
    m_method = method.empty() ? "GET" : std::move(method);
}

std::optional<std::string> URLRequest::valueForHTTPHeaderField(std::string_view field) const
{
    auto it = m_headers.find(field);
    if (it == m_headers.end())
        return std::nullopt;
    return it->second;
}

void URLRequest::setValueForHTTPHeaderField(const std::optional<std::string>& value, const std::string& field)
{
    // Erase first so that a new spelling of the name replaces the old one.
    m_headers.erase(field);
    if (value)
        m_headers.emplace(field, *value);
}

void URLRequest::addValueForHTTPHeaderField(const std::string& value, const std::string& field)
{
    auto it = m_headers.find(field);
    if (it == m_headers.end())
        m_headers.emplace(field, value);
    else
        it->second += "," + value;
}

std::string description(const URLRequest& request)
{
    return "<URLRequest: " + request.HTTPMethod() + " " + (request.URL() ? request.URL()->absoluteString() : "(null)") + ">";
}

} // namespace net
