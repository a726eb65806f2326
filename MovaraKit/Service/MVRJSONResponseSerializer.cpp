#include "MovaraKit/Service/MVRJSONResponseSerializer.h"

#include <algorithm>

#include "Platform/Foundation/JSON.h"

MVRJSONResponseSerializer::MVRJSONResponseSerializer()
{
    setAcceptableContentTypes(std::set<std::string> { "application/json", "text/json", "text/javascript" });
}

std::shared_ptr<MVRJSONResponseSerializer> MVRJSONResponseSerializer::serializer()
{
    return std::shared_ptr<MVRJSONResponseSerializer>(new MVRJSONResponseSerializer());
}

std::any MVRJSONResponseSerializer::responseObjectForResponse(const std::optional<net::HTTPURLResponse>& response,
                                                              const std::optional<foundation::Data>& data,
                                                              foundation::ErrorPtr* error) const
{
    foundation::ErrorPtr validationError;
    if (!validateResponse(response, data, &validationError)) {
        if (error)
            *error = validationError;
        return {};
    }
    // A body of nothing but white space is no object, not a failure.
    if (!data || std::all_of(data->begin(), data->end(), [](std::uint8_t c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }))
        return foundation::Value();
    foundation::ErrorPtr parseError;
    foundation::Value object = foundation::parseJSON(*data, &parseError);
    if (parseError) {
        if (error)
            *error = parseError;
        return {};
    }
    return object;
}
