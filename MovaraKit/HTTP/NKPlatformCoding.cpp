#include "MovaraKit/HTTP/NKPlatformCoding.h"

#include <cmath>
#include <limits>
#include <mutex>

using foundation::KeyedArchiver;
using foundation::KeyedUnarchiver;

namespace {

const std::string kURLClass = "NSURL";
const std::string kConfigurationClass = "NSURLSessionConfiguration";
const std::string kRequestClass = "NSURLRequest";
const std::string kResponseClass = "NSHTTPURLResponse";
const std::string kErrorClass = "NSError";

// Nested underlying errors beyond this depth are dropped when archiving.
constexpr int kMaximumErrorDepth = 4;

foundation::Value headersValue(const net::HTTPHeaderFields& headers)
{
    foundation::Dictionary dictionary;
    for (const auto& [name, value] : headers)
        dictionary.set(name, value);
    return foundation::Value(std::move(dictionary));
}

std::optional<net::HTTPHeaderFields> decodeHeaders(KeyedUnarchiver& coder, const std::string& key)
{
    const foundation::Value value = coder.decodeValue(key);
    if (coder.error())
        return std::nullopt;
    net::HTTPHeaderFields headers;
    if (value.isNull())
        return headers;
    if (!value.isDictionary()) {
        NKFailDecoding(coder, "The header fields under \"" + key + "\" are not a dictionary.");
        return std::nullopt;
    }
    for (const auto& [name, field] : value.asDictionary()) {
        // A line break in a header would let an archive inject header lines into a request.
        if (!field.isString() || name.empty() || name.find_first_of("\r\n:") != std::string::npos
            || field.asString().find_first_of("\r\n") != std::string::npos) {
            NKFailDecoding(coder, "The header field \"" + name + "\" is not a valid header.");
            return std::nullopt;
        }
        headers[name] = field.asString();
    }
    return headers;
}

double decodeSeconds(KeyedUnarchiver& coder, const std::string& key, double fallback)
{
    if (!coder.containsValueForKey(key))
        return fallback;
    const double seconds = coder.decodeDouble(key);
    return std::isfinite(seconds) ? seconds : fallback;
}

struct ArchivedURL : foundation::Coding {
    explicit ArchivedURL(foundation::URL url) : url(std::move(url)) { }
    std::string className() const override { return kURLClass; }
    void encodeWithCoder(KeyedArchiver& coder) const override { coder.encodeString(url.absoluteString(), "NS.relative"); }
    static foundation::CodingPtr initWithCoder(KeyedUnarchiver& coder)
    {
        auto text = coder.decodeString("NS.relative");
        auto url = text ? foundation::URL::URLWithString(*text) : std::nullopt;
        if (!url) {
            NKFailDecoding(coder, "The archived URL is not a URL.");
            return nullptr;
        }
        return std::make_shared<ArchivedURL>(*url);
    }
    foundation::URL url;
};

struct ArchivedConfiguration : foundation::Coding {
    explicit ArchivedConfiguration(net::URLSessionConfiguration configuration) : configuration(std::move(configuration)) { }
    std::string className() const override { return kConfigurationClass; }
    void encodeWithCoder(KeyedArchiver& coder) const override
    {
        if (configuration.identifier())
            coder.encodeString(*configuration.identifier(), "identifier");
        coder.encodeValue(headersValue(configuration.HTTPAdditionalHeaders()), "HTTPAdditionalHeaders");
        coder.encodeInteger(configuration.HTTPMaximumConnectionsPerHost(), "HTTPMaximumConnectionsPerHost");
        coder.encodeDouble(configuration.timeoutIntervalForRequest(), "timeoutIntervalForRequest");
        coder.encodeDouble(configuration.timeoutIntervalForResource(), "timeoutIntervalForResource");
        coder.encodeBool(configuration.allowsCellularAccess(), "allowsCellularAccess");
        coder.encodeBool(configuration.credentialStorage() != nullptr, "usesCredentialStorage");
    }
    static foundation::CodingPtr initWithCoder(KeyedUnarchiver& coder)
    {
        auto identifier = coder.decodeString("identifier");
        auto configuration = identifier ? net::URLSessionConfiguration::backgroundSessionConfigurationWithIdentifier(*identifier)
                                        : net::URLSessionConfiguration::defaultSessionConfiguration();
        auto headers = decodeHeaders(coder, "HTTPAdditionalHeaders");
        if (!headers)
            return nullptr;
        configuration.setHTTPAdditionalHeaders(std::move(*headers));
        const std::int64_t connections = coder.decodeInteger("HTTPMaximumConnectionsPerHost");
        // The setters bring values that make no sense back to the defaults.
        configuration.setHTTPMaximumConnectionsPerHost(connections > 0 && connections <= 1000 ? static_cast<long>(connections) : 0);
        configuration.setTimeoutIntervalForRequest(decodeSeconds(coder, "timeoutIntervalForRequest", 0));
        configuration.setTimeoutIntervalForResource(decodeSeconds(coder, "timeoutIntervalForResource", 0));
        if (coder.containsValueForKey("allowsCellularAccess"))
            configuration.setAllowsCellularAccess(coder.decodeBool("allowsCellularAccess"));
        if (coder.containsValueForKey("usesCredentialStorage") && !coder.decodeBool("usesCredentialStorage"))
            configuration.setCredentialStorage(nullptr);
        if (coder.error())
            return nullptr;
        return std::make_shared<ArchivedConfiguration>(std::move(configuration));
    }
    net::URLSessionConfiguration configuration;
};

struct ArchivedRequest : foundation::Coding {
    explicit ArchivedRequest(net::URLRequest request) : request(std::move(request)) { }
    std::string className() const override { return kRequestClass; }
    void encodeWithCoder(KeyedArchiver& coder) const override
    {
        NKEncodeURL(coder, request.URL(), "URL");
        coder.encodeString(request.HTTPMethod(), "HTTPMethod");
        coder.encodeValue(headersValue(request.allHTTPHeaderFields()), "allHTTPHeaderFields");
        if (request.HTTPBody())
            coder.encodeData(*request.HTTPBody(), "HTTPBody");
        coder.encodeDouble(request.timeoutInterval(), "timeoutInterval");
        coder.encodeInteger(static_cast<std::int64_t>(request.cachePolicy()), "cachePolicy");
        coder.encodeBool(request.allowsCellularAccess(), "allowsCellularAccess");
        coder.encodeBool(request.HTTPShouldHandleCookies(), "HTTPShouldHandleCookies");
        coder.encodeBool(request.HTTPShouldUsePipelining(), "HTTPShouldUsePipelining");
        coder.encodeInteger(static_cast<std::int64_t>(request.networkServiceType()), "networkServiceType");
    }
    static foundation::CodingPtr initWithCoder(KeyedUnarchiver& coder)
    {
        net::URLRequest request;
        request.setURL(NKDecodeURL(coder, "URL"));
        auto method = coder.decodeString("HTTPMethod");
        if (method && (method->empty() || method->find_first_of(" \r\n") != std::string::npos)) {
            NKFailDecoding(coder, "The archived request's method is not a method.");
            return nullptr;
        }
        if (method)
            request.setHTTPMethod(*method);
        auto headers = decodeHeaders(coder, "allHTTPHeaderFields");
        if (!headers)
            return nullptr;
        request.setAllHTTPHeaderFields(std::move(*headers));
        request.setHTTPBody(coder.decodeData("HTTPBody"));
        request.setTimeoutInterval(decodeSeconds(coder, "timeoutInterval", net::URLRequest::DefaultTimeoutInterval));
        const std::int64_t policy = coder.decodeInteger("cachePolicy");
        if (policy < 0 || policy > static_cast<std::int64_t>(net::URLRequestCachePolicy::ReturnCacheDataDontLoad)) {
            NKFailDecoding(coder, "The archived request's cache policy is unknown.");
            return nullptr;
        }
        request.setCachePolicy(static_cast<net::URLRequestCachePolicy>(policy));
        if (coder.containsValueForKey("allowsCellularAccess"))
            request.setAllowsCellularAccess(coder.decodeBool("allowsCellularAccess"));
        if (coder.containsValueForKey("HTTPShouldHandleCookies"))
            request.setHTTPShouldHandleCookies(coder.decodeBool("HTTPShouldHandleCookies"));
        request.setHTTPShouldUsePipelining(coder.decodeBool("HTTPShouldUsePipelining"));
        const std::int64_t service = coder.decodeInteger("networkServiceType");
        request.setNetworkServiceType(service > 0 ? static_cast<unsigned long>(service) : 0);
        if (coder.error())
            return nullptr;
        return std::make_shared<ArchivedRequest>(std::move(request));
    }
    net::URLRequest request;
};

struct ArchivedResponse : foundation::Coding {
    explicit ArchivedResponse(net::HTTPURLResponse response) : response(std::move(response)) { }
    std::string className() const override { return kResponseClass; }
    void encodeWithCoder(KeyedArchiver& coder) const override
    {
        NKEncodeURL(coder, response.URL(), "URL");
        coder.encodeInteger(response.statusCode(), "statusCode");
        coder.encodeValue(headersValue(response.allHeaderFields()), "allHeaderFields");
        coder.encodeString(response.httpVersion(), "HTTPVersion");
    }
    static foundation::CodingPtr initWithCoder(KeyedUnarchiver& coder)
    {
        auto url = NKDecodeURL(coder, "URL");
        const std::int64_t status = coder.decodeInteger("statusCode");
        auto headers = decodeHeaders(coder, "allHeaderFields");
        auto version = coder.decodeString("HTTPVersion");
        if (coder.error() || !headers)
            return nullptr;
        if (!url || status < 100 || status > 999) {
            NKFailDecoding(coder, "The archived response has no URL or no valid status code.");
            return nullptr;
        }
        return std::make_shared<ArchivedResponse>(
            net::HTTPURLResponse(*url, static_cast<long>(status), std::move(*headers), version.value_or("HTTP/1.1")));
    }
    net::HTTPURLResponse response;
};

void encodeErrorFields(KeyedArchiver& coder, const foundation::Error& error, int depth);

struct ArchivedError : foundation::Coding {
    ArchivedError(foundation::ErrorPtr error, int depth) : error(std::move(error)), depth(depth) { }
    std::string className() const override { return kErrorClass; }
    void encodeWithCoder(KeyedArchiver& coder) const override { encodeErrorFields(coder, *error, depth); }
    static foundation::CodingPtr initWithCoder(KeyedUnarchiver& coder)
    {
        auto domain = coder.decodeString("NSDomain");
        const std::int64_t code = coder.decodeInteger("NSCode");
        if (!domain || code < std::numeric_limits<long>::min() || code > std::numeric_limits<long>::max()) {
            NKFailDecoding(coder, "The archived error has no domain.");
            return nullptr;
        }
        foundation::Error::UserInfo info;
        const foundation::Value texts = coder.decodeValue("NSUserInfoTexts");
        for (const auto& [key, value] : texts.isDictionary() ? texts.asDictionary() : foundation::Dictionary()) {
            if (value.isString())
                info[key].text = value.asString();
            else if (value.isInteger())
                info[key].number = value.asInteger();
        }
        if (auto underlying = coder.decodeObjectOfClass<ArchivedError>(kErrorClass, "NSUnderlyingError"))
            info[foundation::NSUnderlyingErrorKey].error = underlying->error;
        if (coder.error())
            return nullptr;
        return std::make_shared<ArchivedError>(foundation::Error::make(*domain, static_cast<long>(code), std::move(info)), 0);
    }
    foundation::ErrorPtr error;
    int depth;
};

void encodeErrorFields(KeyedArchiver& coder, const foundation::Error& error, int depth)
{
    coder.encodeString(error.domain(), "NSDomain");
    coder.encodeInteger(error.code(), "NSCode");
    foundation::Dictionary texts;
    foundation::ErrorPtr underlying;
    for (const auto& [key, value] : error.userInfo()) {
        if (value.text)
            texts.set(key, *value.text);
        else if (value.number)
            texts.set(key, static_cast<std::int64_t>(*value.number));
        else if (value.error && key == foundation::NSUnderlyingErrorKey)
            underlying = value.error;
    }
    coder.encodeValue(foundation::Value(std::move(texts)), "NSUserInfoTexts");
    if (underlying && depth < kMaximumErrorDepth)
        coder.encodeObject(std::make_shared<ArchivedError>(underlying, depth + 1), "NSUnderlyingError");
}

void registerClasses()
{
    static std::once_flag once;
    std::call_once(once, [] {
        KeyedArchiver::registerClass({ kURLClass, {}, true, 0, &ArchivedURL::initWithCoder });
        KeyedArchiver::registerClass({ kConfigurationClass, {}, true, 0, &ArchivedConfiguration::initWithCoder });
        KeyedArchiver::registerClass({ kRequestClass, {}, true, 0, &ArchivedRequest::initWithCoder });
        KeyedArchiver::registerClass({ kResponseClass, { "NSURLResponse" }, true, 0, &ArchivedResponse::initWithCoder });
        KeyedArchiver::registerClass({ kErrorClass, {}, true, 0, &ArchivedError::initWithCoder });
    });
}

const bool registered = (registerClasses(), true);

} // namespace

void NKFailDecoding(KeyedUnarchiver& coder, const std::string& description)
{
    coder.failWithError(foundation::Error::make(foundation::NSCocoaErrorDomain, foundation::NSCoderReadCorruptError, description));
}

void NKEncodeURL(KeyedArchiver& coder, const std::optional<foundation::URL>& url, const std::string& key)
{
    if (url)
        coder.encodeObject(std::make_shared<ArchivedURL>(*url), key);
}

std::optional<foundation::URL> NKDecodeURL(KeyedUnarchiver& coder, const std::string& key)
{
    auto archived = coder.decodeObjectOfClass<ArchivedURL>(kURLClass, key);
    return archived ? std::optional<foundation::URL>(archived->url) : std::nullopt;
}

void NKEncodeSessionConfiguration(KeyedArchiver& coder, const net::URLSessionConfiguration& configuration, const std::string& key)
{
    coder.encodeObject(std::make_shared<ArchivedConfiguration>(configuration), key);
}

std::optional<net::URLSessionConfiguration> NKDecodeSessionConfiguration(KeyedUnarchiver& coder, const std::string& key)
{
    auto archived = coder.decodeObjectOfClass<ArchivedConfiguration>(kConfigurationClass, key);
    return archived ? std::optional<net::URLSessionConfiguration>(archived->configuration) : std::nullopt;
}

void NKEncodeRequest(KeyedArchiver& coder, const net::URLRequest& request, const std::string& key)
{
    coder.encodeObject(std::make_shared<ArchivedRequest>(request), key);
}

std::optional<net::URLRequest> NKDecodeRequest(KeyedUnarchiver& coder, const std::string& key)
{
    auto archived = coder.decodeObjectOfClass<ArchivedRequest>(kRequestClass, key);
    return archived ? std::optional<net::URLRequest>(archived->request) : std::nullopt;
}

void NKEncodeResponse(KeyedArchiver& coder, const std::optional<net::HTTPURLResponse>& response, const std::string& key)
{
    if (response)
        coder.encodeObject(std::make_shared<ArchivedResponse>(*response), key);
}

std::optional<net::HTTPURLResponse> NKDecodeResponse(KeyedUnarchiver& coder, const std::string& key)
{
    auto archived = coder.decodeObjectOfClass<ArchivedResponse>(kResponseClass, key);
    return archived ? std::optional<net::HTTPURLResponse>(archived->response) : std::nullopt;
}

void NKEncodeError(KeyedArchiver& coder, const foundation::ErrorPtr& error, const std::string& key)
{
    if (error)
        coder.encodeObject(std::make_shared<ArchivedError>(error, 0), key);
}

foundation::ErrorPtr NKDecodeError(KeyedUnarchiver& coder, const std::string& key)
{
    auto archived = coder.decodeObjectOfClass<ArchivedError>(kErrorClass, key);
    return archived ? archived->error : nullptr;
}
