#include "MovaraKit/HTTP/NKImageResponseSerializer.h"

#include "MovaraKit/HTTP/NKJSONResponseSerializer.h"
#include "Platform/Net/URLError.h"
#include "Platform/UI/Image.h"

NKImageResponseSerializer::NKImageResponseSerializer()
{
    setAcceptableContentTypes(std::set<std::string> { "image/tiff", "image/jpeg", "image/gif", "image/png", "image/ico",
                                                      "image/x-icon", "image/bmp", "image/x-bmp", "image/x-xbitmap",
                                                      "image/x-win-bitmap" });
}

std::any NKImageResponseSerializer::responseObjectForResponse(const std::optional<net::HTTPURLResponse>& response,
                                                              const std::optional<foundation::Data>& data,
                                                              foundation::ErrorPtr* error) const
{
    if (!NKShouldDecodeResponse(*this, response, data, error))
        return {};
    ui::ImagePtr image = data && !data->empty() ? ui::Image::imageWithData(*data) : nullptr;
    if (!image) {
        if (error) {
            auto decodeError = foundation::Error::make(NKURLResponseSerializationErrorDomain, net::NSURLErrorCannotDecodeContentData,
                                                       "The response body is not an image that can be decoded.");
            *error = NKErrorWithUnderlyingError(decodeError, *error);
        }
        return {};
    }
    return image;
}
