#include "MovaraKit/HTTP/NKJSONResponseSerializer.h"

#include "Platform/Foundation/Bundle.h"
#include "Platform/Foundation/JSON.h"
#include "Platform/Net/URLError.h"

bool NKErrorOrUnderlyingErrorHasCodeInDomain(const foundation::ErrorPtr& error)
{
    for (auto e = error; e; e = e->underlyingError()) {
        if (e->is(NKURLResponseSerializationErrorDomain, net::NSURLErrorCannotDecodeContentData))
            return true;
    }
    return false;
}

foundation::Value NKJSONObjectByRemovingKeysWithNullValues(const foundation::Value& object)
{
    if (const auto* array = object.arrayValue()) {
        foundation::Value::Array out;
        out.reserve(array->size());
        for (const auto& element : *array)
            out.push_back(NKJSONObjectByRemovingKeysWithNullValues(element));
        return foundation::Value(std::move(out));
    }
    if (const auto* dictionary = object.dictionaryValue()) {
        foundation::Dictionary out;
        for (const auto& [key, value] : *dictionary) {
            if (!value.isNull())
                out.set(key, NKJSONObjectByRemovingKeysWithNullValues(value));
        }
        return foundation::Value(std::move(out));
    }
    return object;
}

bool NKShouldDecodeResponse(const NKHTTPResponseSerializer& serializer, const std::optional<net::HTTPURLResponse>& response,
                            const std::optional<foundation::Data>& data, foundation::ErrorPtr* error)
{
    if (serializer.validateResponse(response, data, error))
        return true;
    return error && !NKErrorOrUnderlyingErrorHasCodeInDomain(*error);
}

NKJSONResponseSerializer::NKJSONResponseSerializer()
{
    setAcceptableContentTypes(std::set<std::string> { "application/json", "text/json", "text/javascript" });
}

std::shared_ptr<NKJSONResponseSerializer> NKJSONResponseSerializer::serializerWithReadingOptions(unsigned long options)
{
    auto serializer = make<NKJSONResponseSerializer>();
    serializer->m_readingOptions = options;
    return serializer;
}

std::shared_ptr<NKHTTPResponseSerializer> NKJSONResponseSerializer::copy() const
{
    auto other = make<NKJSONResponseSerializer>();
    other->m_readingOptions = m_readingOptions;
    other->m_removesKeysWithNullValues = m_removesKeysWithNullValues;
    return other;
}

std::any NKJSONResponseSerializer::responseObjectForResponse(const std::optional<net::HTTPURLResponse>& response,
                                                             const std::optional<foundation::Data>& data,
                                                             foundation::ErrorPtr* error) const
{
    if (!NKShouldDecodeResponse(*this, response, data, error))
        return {};
    if (!data)
        return {};

    NKStringEncoding encoding = stringEncoding();
    if (response) {
        if (auto charset = response->textEncodingName()) {
            if (auto named = NKStringEncodingFromIANACharsetName(*charset))
                encoding = *named;
        }
    }
    auto text = NKDecodeText(*data, encoding);
    if (!text) {
        // Bytes that are not text in their charset are a failure, not an answer without an object.
        if (error) {
            auto bundle = foundation::Bundle::main();
            const std::string key = "Data failed decoding as a UTF-8 string";
            const std::string description = bundle ? bundle->localizedStringForKey(key, {}, "NetKit") : key;
            auto decodingError = foundation::Error::make(NKURLResponseSerializationErrorDomain, net::NSURLErrorCannotDecodeContentData,
                                                         description);
            *error = NKErrorWithUnderlyingError(decodingError, *error);
        }
        return {};
    }
    if (*text == " " || text->empty())
        return {};

    foundation::ErrorPtr serializationError;
    foundation::Value object = foundation::parseJSON(*text, &serializationError);
    std::any result;
    if (!serializationError) {
        if (m_removesKeysWithNullValues)
            object = NKJSONObjectByRemovingKeysWithNullValues(object);
        result = std::move(object);
    }
    if (error)
        *error = NKErrorWithUnderlyingError(serializationError, *error);
    return result;
}
