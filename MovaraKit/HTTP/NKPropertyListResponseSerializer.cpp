#include "MovaraKit/HTTP/NKPropertyListResponseSerializer.h"

#include "MovaraKit/HTTP/NKJSONResponseSerializer.h"

NKPropertyListResponseSerializer::NKPropertyListResponseSerializer()
{
    setAcceptableContentTypes(std::set<std::string> { "application/x-plist" });
}

std::shared_ptr<NKPropertyListResponseSerializer> NKPropertyListResponseSerializer::serializerWithFormat(
    foundation::PropertyListFormat format, unsigned long readOptions)
{
    auto serializer = make<NKPropertyListResponseSerializer>();
    serializer->m_format = format;
    serializer->m_readOptions = readOptions;
    return serializer;
}

std::any NKPropertyListResponseSerializer::responseObjectForResponse(const std::optional<net::HTTPURLResponse>& response,
                                                                     const std::optional<foundation::Data>& data,
                                                                     foundation::ErrorPtr* error) const
{
    if (!NKShouldDecodeResponse(*this, response, data, error))
        return {};
    if (!data || data->empty())
        return {};
    foundation::ErrorPtr readError;
    foundation::Value object = foundation::readPropertyList(*data, &readError);
    if (error)
        *error = NKErrorWithUnderlyingError(readError, *error);
    if (readError)
        return {};
    return object;
}
