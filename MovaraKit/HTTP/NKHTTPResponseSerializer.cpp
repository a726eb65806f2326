#include "MovaraKit/HTTP/NKHTTPResponseSerializer.h"

#include <cstdio>

#include "Platform/Foundation/Bundle.h"
#include "Platform/Foundation/StringUtils.h"
#include "Platform/Net/URLError.h"

const std::string NKURLResponseSerializationErrorDomain = "com.wirefern.error.serialization.response";
const std::string NetKitOperationFailingURLResponseErrorKey = "com.wirefern.serialization.response.error.response";
const std::string NetKitOperationFailingURLResponseDataErrorKey = "com.wirefern.serialization.response.error.data";
const std::string NetKitOperationFailingURLRequestErrorKey = "com.wirefern.serialization.request.error.response";

namespace {

std::string netKitString(const std::string& key)
{
    auto bundle = foundation::Bundle::main();
    return bundle ? bundle->localizedStringForKey(key, {}, "NetKit") : key;
}

// Fills "%@" in order with `values` (the texts of the table keep the platform's format).
std::string fill(std::string format, std::initializer_list<std::string> values)
{
    for (const std::string& value : values) {
        auto at = format.find("%@");
        auto atLong = format.find("%ld");
        if (at == std::string::npos && atLong == std::string::npos)
            break;
        if (atLong != std::string::npos && (at == std::string::npos || atLong < at))
            format.replace(atLong, 3, value);
        else
            format.replace(at, 2, value);
    }
    return format;
}

foundation::Error::UserInfo failureInfo(const net::HTTPURLResponse& response, const std::optional<foundation::Data>& data,
                                        std::string description)
{
    foundation::Error::UserInfo info;
    info[foundation::NSLocalizedDescriptionKey].text = std::move(description);
    info[net::NSURLErrorFailingURLErrorKey].text = response.URL().absoluteString();
    info[NetKitOperationFailingURLResponseErrorKey].number = response.statusCode();
    info[NetKitOperationFailingURLResponseErrorKey].text = response.URL().absoluteString();
    if (data)
        info[NetKitOperationFailingURLResponseDataErrorKey].text = std::string(data->begin(), data->end());
    return info;
}

} // namespace

foundation::ErrorPtr NKErrorWithUnderlyingError(const foundation::ErrorPtr& error, const foundation::ErrorPtr& underlyingError)
{
    if (!error)
        return underlyingError;
    if (!underlyingError || error->userInfo().contains(foundation::NSUnderlyingErrorKey))
        return error;
    auto info = error->userInfo();
    info[foundation::NSUnderlyingErrorKey].error = underlyingError;
    return foundation::Error::make(error->domain(), error->code(), std::move(info));
}

NKHTTPResponseSerializer::NKHTTPResponseSerializer()
{
    std::set<long> codes;
    for (long code = 200; code < 300; ++code)
        codes.insert(code);
    m_acceptableStatusCodes = std::move(codes);
}

std::shared_ptr<NKHTTPResponseSerializer> NKHTTPResponseSerializer::serializer()
{
    return make<NKHTTPResponseSerializer>();
}

std::shared_ptr<NKHTTPResponseSerializer> NKHTTPResponseSerializer::copy() const
{
    auto other = make<NKHTTPResponseSerializer>();
    other->m_acceptableStatusCodes = m_acceptableStatusCodes;
    other->m_acceptableContentTypes = m_acceptableContentTypes;
    return other;
}

bool NKHTTPResponseSerializer::validateResponse(const std::optional<net::HTTPURLResponse>& response,
                                                const std::optional<foundation::Data>& data,
                                                foundation::ErrorPtr* error) const
{
    if (!response)
        return true;
    bool valid = true;
    foundation::ErrorPtr validationError;

    if (m_acceptableContentTypes) {
        const std::string type = response->MIMEType().value_or("");
        if (!m_acceptableContentTypes->contains(type)) {
            valid = false;
            if (data && !data->empty()) {
                auto text = fill(netKitString("Request failed: unacceptable content-type: %@"), { type });
                validationError = foundation::Error::make(NKURLResponseSerializationErrorDomain, net::NSURLErrorCannotDecodeContentData,
                                                          failureInfo(*response, data, text));
            }
        }
    }

    if (m_acceptableStatusCodes && !m_acceptableStatusCodes->contains(response->statusCode())) {
        valid = false;
        auto text = fill(netKitString("Request failed: %@ (%ld)"),
                         { net::HTTPURLResponse::localizedStringForStatusCode(response->statusCode()),
                           std::to_string(response->statusCode()) });
        auto statusError = foundation::Error::make(NKURLResponseSerializationErrorDomain, net::NSURLErrorBadServerResponse,
                                                   failureInfo(*response, data, text));
        validationError = NKErrorWithUnderlyingError(statusError, validationError);
    }

    if (!valid && error)
        *error = validationError;
    return valid;
}

std::any NKHTTPResponseSerializer::responseObjectForResponse(const std::optional<net::HTTPURLResponse>& response,
                                                             const std::optional<foundation::Data>& data,
                                                             foundation::ErrorPtr* error) const
{
    validateResponse(response, data, error);
    if (!data)
        return {};
    return *data;
}
