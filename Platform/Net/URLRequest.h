#pragma once
// One HTTP request as a value: URL, method, header fields (names compare without regard to
// case, as HTTP says), body, timeout and cache policy. Copy it freely between threads.

#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "Platform/Foundation/URL.h"
#include "Platform/Foundation/Value.h"
#include "Platform/Net/Stream.h"

namespace net {

struct CaseInsensitiveLess {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const;
};

using HTTPHeaderFields = std::map<std::string, std::string, CaseInsensitiveLess>;

enum class URLRequestCachePolicy {
    UseProtocolCachePolicy = 0,
    ReloadIgnoringLocalCacheData = 1,
    ReturnCacheDataElseLoad = 2,
    ReturnCacheDataDontLoad = 3,
};

class URLRequest {
public:
    // Seconds without any traffic after which the transfer fails with "timed out".
    static constexpr double DefaultTimeoutInterval = 60;

    URLRequest() = default;
    explicit URLRequest(foundation::URL url,
                        URLRequestCachePolicy cachePolicy = URLRequestCachePolicy::UseProtocolCachePolicy,
                        double timeoutInterval = DefaultTimeoutInterval);
    static URLRequest requestWithURL(const foundation::URL& url) { return URLRequest(url); }

    const std::optional<foundation::URL>& URL() const { return m_url; }
    void setURL(std::optional<foundation::URL> url) { m_url = std::move(url); }

    // "GET" unless set; an empty method reads as "GET" too.
    const std::string& HTTPMethod() const { return m_method; }
    void setHTTPMethod(std::string method);

    const HTTPHeaderFields& allHTTPHeaderFields() const { return m_headers; }
    void setAllHTTPHeaderFields(HTTPHeaderFields headers) { m_headers = std::move(headers); }
    std::optional<std::string> valueForHTTPHeaderField(std::string_view field) const;
    // Replaces the field; none removes it.
    void setValueForHTTPHeaderField(const std::optional<std::string>& value, const std::string& field);
    // Appends to an existing field with ",", as the platform does.
    void addValueForHTTPHeaderField(const std::string& value, const std::string& field);

    const std::optional<foundation::Data>& HTTPBody() const { return m_body; }
    // A body and a body stream exclude each other: setting one drops the other.
    void setHTTPBody(std::optional<foundation::Data> body)
    {
        m_body = std::move(body);
        if (m_body)
            m_bodyStream = nullptr;
    }
    const InputStreamPtr& HTTPBodyStream() const { return m_bodyStream; }
    void setHTTPBodyStream(InputStreamPtr stream)
    {
        m_bodyStream = std::move(stream);
        if (m_bodyStream)
            m_body.reset();
    }

    double timeoutInterval() const { return m_timeoutInterval; }
    void setTimeoutInterval(double seconds) { m_timeoutInterval = seconds; }
    URLRequestCachePolicy cachePolicy() const { return m_cachePolicy; }
    void setCachePolicy(URLRequestCachePolicy policy) { m_cachePolicy = policy; }

    // Kept for callers that set them; a Linux host has no cellular or service-class routing,
    // and the session decides about cookies and pipelining.
    bool allowsCellularAccess() const { return m_allowsCellularAccess; }
    void setAllowsCellularAccess(bool allows) { m_allowsCellularAccess = allows; }
    bool HTTPShouldHandleCookies() const { return m_shouldHandleCookies; }
    void setHTTPShouldHandleCookies(bool handle) { m_shouldHandleCookies = handle; }
    bool HTTPShouldUsePipelining() const { return m_shouldUsePipelining; }
    void setHTTPShouldUsePipelining(bool use) { m_shouldUsePipelining = use; }
    unsigned long networkServiceType() const { return m_networkServiceType; }
    void setNetworkServiceType(unsigned long type) { m_networkServiceType = type; }

    bool operator==(const URLRequest&) const = default;

private:
    std::optional<foundation::URL> m_url;
    std::string m_method = "GET";
    HTTPHeaderFields m_headers;
    std::optional<foundation::Data> m_body;
    InputStreamPtr m_bodyStream;
    double m_timeoutInterval = DefaultTimeoutInterval;
    URLRequestCachePolicy m_cachePolicy = URLRequestCachePolicy::UseProtocolCachePolicy;
    bool m_allowsCellularAccess = true;
    bool m_shouldHandleCookies = true;
    bool m_shouldUsePipelining = false;
    unsigned long m_networkServiceType = 0;
};

// Text form for logs: "<URLRequest: GET https://host/path>".
std::string description(const URLRequest& request);

} // namespace net
