#pragma once
// Response serializers decide whether an HTTP response is acceptable (status code, media type)
// and turn its body into a response object. This base class hands back the body bytes
// (foundation::Data) unchanged. Validation changes nothing, so one serializer may validate on
// several threads at once while nobody changes its settings.

#include <any>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "Platform/Foundation/Error.h"
#include "Platform/Foundation/Value.h"
#include "Platform/Net/HTTPURLResponse.h"

extern const std::string NKURLResponseSerializationErrorDomain;         // "com.wirefern.error.serialization.response"
// User-info keys of serialization errors. The response is stored as its status code (number)
// and its URL (text); the body as its bytes (text).
extern const std::string NetKitOperationFailingURLResponseErrorKey;     // "com.wirefern.serialization.response.error.response"
extern const std::string NetKitOperationFailingURLResponseDataErrorKey; // "com.wirefern.serialization.response.error.data"
extern const std::string NetKitOperationFailingURLRequestErrorKey;      // "com.wirefern.serialization.request.error.response"

// The chaining rule of serialization errors: `error` gains `underlyingError` beneath it unless
// it has one already; with no error, the underlying one is the result.
foundation::ErrorPtr NKErrorWithUnderlyingError(const foundation::ErrorPtr& error, const foundation::ErrorPtr& underlyingError);

class NKURLResponseSerialization {
public:
    virtual ~NKURLResponseSerialization() = default;
    // The object for a finished response (none when there is no response object); fills
    // `error` when the response is not acceptable.
    virtual std::any responseObjectForResponse(const std::optional<net::HTTPURLResponse>& response,
                                               const std::optional<foundation::Data>& data,
                                               foundation::ErrorPtr* error) const = 0;
};

class NKHTTPResponseSerializer : public NKURLResponseSerialization {
public:
    static std::shared_ptr<NKHTTPResponseSerializer> serializer();

    // 200 to 299 by default; none accepts every status code.
    const std::optional<std::set<long>>& acceptableStatusCodes() const { return m_acceptableStatusCodes; }
    void setAcceptableStatusCodes(std::optional<std::set<long>> codes) { m_acceptableStatusCodes = std::move(codes); }
    // None by default (any media type).
    const std::optional<std::set<std::string>>& acceptableContentTypes() const { return m_acceptableContentTypes; }
    void setAcceptableContentTypes(std::optional<std::set<std::string>> types) { m_acceptableContentTypes = std::move(types); }

    // On failure `error` receives the chained validation error, which may be none (an
    // unacceptable media type with an empty body makes no error).
    bool validateResponse(const std::optional<net::HTTPURLResponse>& response, const std::optional<foundation::Data>& data,
                          foundation::ErrorPtr* error) const;

    // The body (as foundation::Data) whatever the outcome of validation.
    std::any responseObjectForResponse(const std::optional<net::HTTPURLResponse>& response,
                                       const std::optional<foundation::Data>& data,
                                       foundation::ErrorPtr* error) const override;

    virtual ~NKHTTPResponseSerializer() = default;

protected:
    NKHTTPResponseSerializer();

private:
    std::optional<std::set<long>> m_acceptableStatusCodes;
    std::optional<std::set<std::string>> m_acceptableContentTypes;
};
