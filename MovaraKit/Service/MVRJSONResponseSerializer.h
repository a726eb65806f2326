#pragma once
// The web service's response serializer: 2xx answers of a JSON media type decode as JSON;
// a failed answer whose body is the service's error JSON becomes an MVRError (with the HTTP
// layer's error beneath it), any other failure keeps the HTTP layer's validation error. A
// failed answer yields no object.

#include <memory>

#include "MovaraKit/HTTP/NKJSONResponseSerializer.h"

class MVRJSONResponseSerializer : public NKJSONResponseSerializer {
public:
    static std::shared_ptr<MVRJSONResponseSerializer> serializer() { return make<MVRJSONResponseSerializer>(); }

    std::any responseObjectForResponse(const std::optional<net::HTTPURLResponse>& response,
                                       const std::optional<foundation::Data>& data,
                                       foundation::ErrorPtr* error) const override;
    std::shared_ptr<NKHTTPResponseSerializer> copy() const override { return serializer(); }
    std::string className() const override { return "MVRJSONResponseSerializer"; }

protected:
    MVRJSONResponseSerializer() = default;
};
