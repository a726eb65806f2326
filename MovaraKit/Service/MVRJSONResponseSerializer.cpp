#include "MovaraKit/Service/MVRJSONResponseSerializer.h"

#include "MovaraKit/Service/MVRError.h"
#include "Platform/Foundation/JSON.h"

std::any MVRJSONResponseSerializer::responseObjectForResponse(const std::optional<net::HTTPURLResponse>& response,
                                                              const std::optional<foundation::Data>& data,
                                                              foundation::ErrorPtr* error) const
{
    foundation::ErrorPtr validationError;
    if (validateResponse(response, data, &validationError))
        return NKJSONResponseSerializer::responseObjectForResponse(response, data, error);
    // Whatever the body is, an undecodable one only means there is no error JSON.
    foundation::Value JSON = data ? foundation::parseJSON(*data) : foundation::Value();
    if (error)
        *error = MVRError::errorWithJSON(JSON, validationError);
    return {};
}
