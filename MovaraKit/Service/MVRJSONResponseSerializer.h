#pragma once
// The web service's response serializer: accepts 2xx answers of a JSON media type
// ("application/json", "text/json", "text/javascript") and decodes them into a
// foundation::Value (null for an empty body); anything else yields the HTTP layer's
// validation error and no object.

#include <memory>

#include "MovaraKit/HTTP/NKHTTPResponseSerializer.h"

class MVRJSONResponseSerializer : public NKHTTPResponseSerializer {
public:
    static std::shared_ptr<MVRJSONResponseSerializer> serializer();

    std::any responseObjectForResponse(const std::optional<net::HTTPURLResponse>& response,
                                       const std::optional<foundation::Data>& data,
                                       foundation::ErrorPtr* error) const override;

protected:
    MVRJSONResponseSerializer();
};
