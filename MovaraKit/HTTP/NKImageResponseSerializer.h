#pragma once
// Image answers (PNG, JPEG, GIF, TIFF, BMP, ICO) decoded into a ui::Image whose size in
// points is the bitmap's size in pixels. A body that is not a decodable image gives no
// object and a -1016 error.

#include <memory>

#include "MovaraKit/HTTP/NKHTTPResponseSerializer.h"

class NKImageResponseSerializer : public NKHTTPResponseSerializer {
public:
    static std::shared_ptr<NKImageResponseSerializer> serializer() { return make<NKImageResponseSerializer>(); }

    // A ui::ImagePtr, or nothing.
    std::any responseObjectForResponse(const std::optional<net::HTTPURLResponse>& response,
                                       const std::optional<foundation::Data>& data,
                                       foundation::ErrorPtr* error) const override;
    std::shared_ptr<NKHTTPResponseSerializer> copy() const override { return serializer(); }
    std::string className() const override { return "NKImageResponseSerializer"; }

protected:
    NKImageResponseSerializer();
};
