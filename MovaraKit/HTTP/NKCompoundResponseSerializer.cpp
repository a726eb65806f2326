#include "MovaraKit/HTTP/NKCompoundResponseSerializer.h"

std::shared_ptr<NKCompoundResponseSerializer> NKCompoundResponseSerializer::compoundSerializerWithResponseSerializers(Members serializers)
{
    auto compound = make<NKCompoundResponseSerializer>();
    compound->m_responseSerializers = std::move(serializers);
    return compound;
}

std::any NKCompoundResponseSerializer::responseObjectForResponse(const std::optional<net::HTTPURLResponse>& response,
                                                                 const std::optional<foundation::Data>& data,
                                                                 foundation::ErrorPtr* error) const
{
    for (const auto& member : m_responseSerializers) {
        if (!member)
            continue;
        foundation::ErrorPtr memberError;
        std::any object = member->responseObjectForResponse(response, data, &memberError);
        if (object.has_value()) {
            if (error)
                *error = NKErrorWithUnderlyingError(memberError, *error);
            return object;
        }
    }
    return NKHTTPResponseSerializer::responseObjectForResponse(response, data, error);
}
