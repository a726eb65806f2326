#pragma once
// Request serializers build URL requests: default header fields (Accept-Language and
// User-Agent filled in at creation, the API key and authorization added by callers), request
// properties applied only once set, and the rule for parameters: into the URL query for GET,
// HEAD and DELETE, into a form-encoded body otherwise. Subclasses put them into a JSON or
// property-list body. Configure a serializer first, then use it; no locks.

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "MovaraKit/HTTP/NKMultipartFormData.h"
#include "MovaraKit/HTTP/NKStringEncoding.h"
#include "Platform/Foundation/Error.h"
#include "Platform/Foundation/KeyedArchiver.h"
#include "Platform/Foundation/PropertyList.h"
#include "Platform/Foundation/Value.h"
#include "Platform/Net/URLRequest.h"

class NKURLRequestSerialization {
public:
    virtual ~NKURLRequestSerialization() = default;
    // A copy of `request` with the defaults and the parameters applied; none with `error` set.
    virtual std::optional<net::URLRequest> requestBySerializingRequest(const net::URLRequest& request,
                                                                       const std::optional<foundation::Value>& parameters,
                                                                       foundation::ErrorPtr* error) const = 0;
};

class NKHTTPRequestSerializer : public NKURLRequestSerialization, public foundation::Coding {
public:
    using QueryStringSerializationBlock = std::function<std::optional<std::string>(
        const net::URLRequest& request, const foundation::Value& parameters, foundation::ErrorPtr* error)>;
    using ConstructingBodyBlock = std::function<void(NKMultipartFormData& formData)>;
    using WriteCompletionHandler = std::function<void(const foundation::ErrorPtr& error)>;

    static std::shared_ptr<NKHTTPRequestSerializer> serializer();
    ~NKHTTPRequestSerializer() override = default;

    // "Accept-Language" for a list of preferred languages: q falls by 0.1 from 1 and the list
    // stops after q=0.5, so six languages at most.
    static std::string acceptLanguageForLanguages(const std::vector<std::string>& languages);
    // The user's preferred languages, best first (from $LANGUAGE, else the locale variables).
    static std::vector<std::string> preferredLanguages();

    // Encoding of form-encoded bodies and of multipart form values; UTF-8 unless set. Text the
    // encoding has no bytes for fails the request rather than going out altered.
    NKStringEncoding stringEncoding() const { return m_stringEncoding; }
    void setStringEncoding(NKStringEncoding encoding) { m_stringEncoding = encoding; }

    // Request properties: unset until assigned, and then applied to every later request
    // whatever the value (a time-out of 0 is applied too).
    std::optional<bool> allowsCellularAccess() const { return m_allowsCellularAccess; }
    void setAllowsCellularAccess(bool v) { m_allowsCellularAccess = v; }
    std::optional<net::URLRequestCachePolicy> cachePolicy() const { return m_cachePolicy; }
    void setCachePolicy(net::URLRequestCachePolicy v) { m_cachePolicy = v; }
    std::optional<bool> HTTPShouldHandleCookies() const { return m_shouldHandleCookies; }
    void setHTTPShouldHandleCookies(bool v) { m_shouldHandleCookies = v; }
    std::optional<bool> HTTPShouldUsePipelining() const { return m_shouldUsePipelining; }
    void setHTTPShouldUsePipelining(bool v) { m_shouldUsePipelining = v; }
    std::optional<unsigned long> networkServiceType() const { return m_networkServiceType; }
    void setNetworkServiceType(unsigned long v) { m_networkServiceType = v; }
    std::optional<double> timeoutInterval() const { return m_timeoutInterval; }
    void setTimeoutInterval(double v) { m_timeoutInterval = v; }

    // Default header fields, names compared exactly; none removes a field.
    std::map<std::string, std::string> HTTPRequestHeaders() const { return m_headers; }
    void setValue(const std::optional<std::string>& value, const std::string& field);
    std::optional<std::string> valueForHTTPHeaderField(const std::string& field) const;
    // "Basic " and the Base64 of "user:password" in UTF-8.
    void setAuthorizationHeaderFieldWithUsername(const std::string& username, const std::string& password);
    void setAuthorizationHeaderFieldWithToken(const std::string& token);
    void clearAuthorizationHeader();

    const std::set<std::string>& HTTPMethodsEncodingParametersInURI() const { return m_methodsInURI; }
    void setHTTPMethodsEncodingParametersInURI(std::set<std::string> methods) { m_methodsInURI = std::move(methods); }

    // Style 0 is the built-in encoding; a block replaces it until a style is set again.
    void setQueryStringSerializationWithStyle(unsigned long style);
    void setQueryStringSerializationWithBlock(QueryStringSerializationBlock block);

    std::optional<net::URLRequest> requestWithMethod(const std::string& method, const std::string& URLString,
                                                     const std::optional<foundation::Value>& parameters,
                                                     foundation::ErrorPtr* error = nullptr) const;

    std::optional<net::URLRequest> requestBySerializingRequest(const net::URLRequest& request,
                                                               const std::optional<foundation::Value>& parameters,
                                                               foundation::ErrorPtr* error) const override;

    // A request whose body streams the parameters (as form parts, text in the string encoding)
    // and whatever `block` appends.
    std::optional<net::URLRequest> multipartFormRequestWithMethod(const std::string& method, const std::string& URLString,
                                                                  const std::optional<foundation::Value>& parameters,
                                                                  const ConstructingBodyBlock& block,
                                                                  foundation::ErrorPtr* error = nullptr) const;

    // Writes the request's body stream into `fileURL` on a background queue and returns the
    // request without its body stream (its multipart headers stay). The handler runs on the
    // main queue: no error only when every byte of the body reached the file.
    net::URLRequest requestWithMultipartFormRequest(const net::URLRequest& request, const foundation::URL& fileURL,
                                                    WriteCompletionHandler handler) const;

    // Keeps the default headers, the query style and block; the rest starts afresh.
    virtual std::shared_ptr<NKHTTPRequestSerializer> copy() const;

    // Archives keep the default headers and the query style, plus each subclass's options.
    // Decoding makes a new serializer of the class (so the language and user-agent defaults
    // are computed afresh) and then restores what was archived; none when the archive is bad.
    std::string className() const override { return "NKHTTPRequestSerializer"; }
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
    template <class T>
    static std::shared_ptr<T> initWithCoder(foundation::KeyedUnarchiver& coder)
    {
        std::shared_ptr<T> serializer = make<T>();
        static_cast<NKHTTPRequestSerializer&>(*serializer).restoreWithCoder(coder);
        return coder.error() ? nullptr : serializer;
    }

protected:
    NKHTTPRequestSerializer();
    template <class T>
    static std::shared_ptr<T> make()
    {
        struct Enabler : T { };
        return std::make_shared<Enabler>();
    }
    // Restores the archived state over a new serializer's defaults; subclasses restore
    // the base state first.
    virtual void restoreWithCoder(foundation::KeyedUnarchiver& coder);
    // Sets every default header the request lacks (names compared without regard to case).
    net::URLRequest requestWithDefaultHeaders(const net::URLRequest& request) const;
    bool encodesParametersInURI(const std::string& method) const;
    void copyBaseStateTo(NKHTTPRequestSerializer& other) const;

private:
    std::map<std::string, std::string> m_headers;
    NKStringEncoding m_stringEncoding = NKUTF8StringEncoding;
    std::set<std::string> m_methodsInURI { "GET", "HEAD", "DELETE" };
    unsigned long m_queryStringSerializationStyle = 0;
    QueryStringSerializationBlock m_queryStringSerialization;
    std::optional<bool> m_allowsCellularAccess;
    std::optional<net::URLRequestCachePolicy> m_cachePolicy;
    std::optional<bool> m_shouldHandleCookies;
    std::optional<bool> m_shouldUsePipelining;
    std::optional<unsigned long> m_networkServiceType;
    std::optional<double> m_timeoutInterval;
};

// Parameters of body-carrying methods as a JSON document ("application/json").
class NKJSONRequestSerializer : public NKHTTPRequestSerializer {
public:
    // Bit 0 (pretty printed) is the one writing option the writer has.
    static std::shared_ptr<NKJSONRequestSerializer> serializer() { return serializerWithWritingOptions(0); }
    static std::shared_ptr<NKJSONRequestSerializer> serializerWithWritingOptions(unsigned long options);
    unsigned long writingOptions() const { return m_writingOptions; }
    void setWritingOptions(unsigned long options) { m_writingOptions = options; }

    std::optional<net::URLRequest> requestBySerializingRequest(const net::URLRequest& request,
                                                               const std::optional<foundation::Value>& parameters,
                                                               foundation::ErrorPtr* error) const override;
    std::shared_ptr<NKHTTPRequestSerializer> copy() const override;

    std::string className() const override { return "NKJSONRequestSerializer"; }
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;

protected:
    void restoreWithCoder(foundation::KeyedUnarchiver& coder) override;

private:
    unsigned long m_writingOptions = 0;
};

// Parameters of body-carrying methods as a property list ("application/x-plist").
class NKPropertyListRequestSerializer : public NKHTTPRequestSerializer {
public:
    static std::shared_ptr<NKPropertyListRequestSerializer> serializer()
    {
        return serializerWithFormat(foundation::PropertyListFormat::XML, 0);
    }
    static std::shared_ptr<NKPropertyListRequestSerializer> serializerWithFormat(foundation::PropertyListFormat format,
                                                                                 unsigned long writeOptions);
    foundation::PropertyListFormat format() const { return m_format; }
    void setFormat(foundation::PropertyListFormat format) { m_format = format; }
    unsigned long writeOptions() const { return m_writeOptions; }

    std::optional<net::URLRequest> requestBySerializingRequest(const net::URLRequest& request,
                                                               const std::optional<foundation::Value>& parameters,
                                                               foundation::ErrorPtr* error) const override;
    std::shared_ptr<NKHTTPRequestSerializer> copy() const override;

    std::string className() const override { return "NKPropertyListRequestSerializer"; }
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;

protected:
    void restoreWithCoder(foundation::KeyedUnarchiver& coder) override;

private:
    foundation::PropertyListFormat m_format = foundation::PropertyListFormat::XML;
    unsigned long m_writeOptions = 0;
};
