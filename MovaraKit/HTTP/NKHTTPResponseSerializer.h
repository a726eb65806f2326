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
#include "Platform/Foundation/KeyedArchiver.h"
#include "Platform/Foundation/Value.h"
#include "MovaraKit/HTTP/NKStringEncoding.h"
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

class NKHTTPResponseSerializer : public NKURLResponseSerialization, public foundation::Coding {
public:
    static std::shared_ptr<NKHTTPResponseSerializer> serializer();

    // The text encoding decoding subclasses assume when the response names none (UTF-8).
    NKStringEncoding stringEncoding() const { return m_stringEncoding; }
    void setStringEncoding(NKStringEncoding encoding) { m_stringEncoding = encoding; }

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

    // A new serializer of the same class; each class says which settings travel.
    virtual std::shared_ptr<NKHTTPResponseSerializer> copy() const;

    virtual ~NKHTTPResponseSerializer() = default;

    // Archives keep the acceptable status codes and media types (not the string encoding),
    // plus each subclass's options. Decoding makes a new serializer of the class and then
    // restores what was archived; none when the archive is bad.
    std::string className() const override { return "NKHTTPResponseSerializer"; }
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
    template <class T>
    static std::shared_ptr<T> initWithCoder(foundation::KeyedUnarchiver& coder)
    {
        std::shared_ptr<T> serializer = make<T>();
        static_cast<NKHTTPResponseSerializer&>(*serializer).restoreWithCoder(coder);
        return coder.error() ? nullptr : serializer;
    }

protected:
    NKHTTPResponseSerializer();
    template <class T>
    static std::shared_ptr<T> make()
    {
        struct Enabler : T { };
        return std::make_shared<Enabler>();
    }
    // Restores the archived state over a new serializer's defaults; subclasses restore
    // the base state first.
    virtual void restoreWithCoder(foundation::KeyedUnarchiver& coder);

private:
    NKStringEncoding m_stringEncoding = NKUTF8StringEncoding;
    std::optional<std::set<long>> m_acceptableStatusCodes;
    std::optional<std::set<std::string>> m_acceptableContentTypes;
};
