#pragma once
// The HTTP client over the URL-session manager: a base URL that URL strings are resolved
// against, a request serializer, and one call per HTTP method that makes, resumes and returns
// a data task and reports through a success or a failure block (on the completion queue).

#include <memory>
#include <optional>

#include "MovaraKit/HTTP/NKHTTPRequestSerializer.h"
#include "MovaraKit/HTTP/NKURLSessionManager.h"

class NKHTTPSessionManager : public NKURLSessionManager {
public:
    using Success = std::function<void(const std::shared_ptr<net::URLSessionDataTask>& task, const std::any& responseObject)>;
    using Failure = std::function<void(const std::shared_ptr<net::URLSessionDataTask>& task, const foundation::ErrorPtr& error)>;

    static std::shared_ptr<NKHTTPSessionManager> manager() { return initWithBaseURL(std::nullopt); }
    // A base URL with a path gains a trailing "/", so that relative strings resolve below it.
    static std::shared_ptr<NKHTTPSessionManager> initWithBaseURL(std::optional<foundation::URL> baseURL,
                                                                 std::optional<net::URLSessionConfiguration> configuration = {});

    const std::optional<foundation::URL>& baseURL() const { return m_baseURL; }
    const std::shared_ptr<NKHTTPRequestSerializer>& requestSerializer() const { return m_requestSerializer; }
    void setRequestSerializer(std::shared_ptr<NKHTTPRequestSerializer> serializer) { m_requestSerializer = std::move(serializer); }

    // Running tasks; none when the request could not be built (failure is then called later,
    // without a task).
    std::shared_ptr<net::URLSessionDataTask> GET(const std::string& URLString, const std::optional<foundation::Value>& parameters,
                                                 Success success, Failure failure);
    std::shared_ptr<net::URLSessionDataTask> HEAD(const std::string& URLString, const std::optional<foundation::Value>& parameters,
                                                  std::function<void(const std::shared_ptr<net::URLSessionDataTask>&)> success, Failure failure);
    std::shared_ptr<net::URLSessionDataTask> POST(const std::string& URLString, const std::optional<foundation::Value>& parameters,
                                                  Success success, Failure failure);
    std::shared_ptr<net::URLSessionDataTask> POST(const std::string& URLString, const std::optional<foundation::Value>& parameters,
                                                  const NKHTTPRequestSerializer::ConstructingBodyBlock& block, Success success, Failure failure);
    std::shared_ptr<net::URLSessionDataTask> PUT(const std::string& URLString, const std::optional<foundation::Value>& parameters,
                                                 Success success, Failure failure);
    std::shared_ptr<net::URLSessionDataTask> PATCH(const std::string& URLString, const std::optional<foundation::Value>& parameters,
                                                   Success success, Failure failure);
    std::shared_ptr<net::URLSessionDataTask> DELETE(const std::string& URLString, const std::optional<foundation::Value>& parameters,
                                                    Success success, Failure failure);

    // Not resumed.
    std::shared_ptr<net::URLSessionDataTask> dataTaskWithHTTPMethod(const std::string& method, const std::string& URLString,
                                                                    const std::optional<foundation::Value>& parameters, Success success,
                                                                    Failure failure);

    // The URL string resolved against the base URL, as absolute text.
    std::string resolvedURLString(const std::string& URLString) const;

    // A manager of the same class with the same base URL and configuration and copies of both
    // serializers.
    std::shared_ptr<NKHTTPSessionManager> copy() const;

    // Archives add the base URL, the configuration (or a background session's identifier) and
    // both serializers to the session manager's state.
    std::string className() const override { return "NKHTTPSessionManager"; }
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
    static std::shared_ptr<NKHTTPSessionManager> initWithCoder(foundation::KeyedUnarchiver& coder);

    std::string description() const;

protected:
    NKHTTPSessionManager() = default;
    void setUp(std::optional<foundation::URL> baseURL, std::optional<net::URLSessionConfiguration> configuration);
    // A new manager of this class; subclasses with their own defaults make their own.
    virtual std::shared_ptr<NKHTTPSessionManager> makeManager(std::optional<foundation::URL> baseURL,
                                                              std::optional<net::URLSessionConfiguration> configuration) const;
    std::shared_ptr<NKURLSessionManager> makeCopy() const override { return copy(); }
    // The base URL and configuration of an archive; false (the unarchiver's error set) when bad.
    static bool decodeBaseState(foundation::KeyedUnarchiver& coder, std::optional<foundation::URL>& baseURL,
                                std::optional<net::URLSessionConfiguration>& configuration);
    // Sets the archived serializers; a missing one leaves the default.
    void restoreSerializersWithCoder(foundation::KeyedUnarchiver& coder);

private:
    void failLater(Failure failure, const foundation::ErrorPtr& error) const;

    std::optional<foundation::URL> m_baseURL;
    std::shared_ptr<NKHTTPRequestSerializer> m_requestSerializer;
};

// A base URL with a non-empty path ends with "/"; others stay as they are.
foundation::URL NKNormalizedBaseURL(const foundation::URL& url);
// `URLString` resolved against `baseURL` (when there is one), as absolute text.
std::string NKResolvedURLString(const std::optional<foundation::URL>& baseURL, const std::string& URLString);
