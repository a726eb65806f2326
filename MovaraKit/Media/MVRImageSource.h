#pragma once
// One still-image file of a timelapse sequence: opened once at construction (nothing decoded),
// then answering lazily, and from its cache afterwards, what the rest of the system asks of a
// frame: decoded image, pixel size, capture date and type. Safe to use from several threads.

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "Platform/Foundation/Date.h"
#include "Platform/Foundation/Error.h"
#include "Platform/Foundation/URL.h"
#include "Platform/Graphics/Geometry.h"
#include "Platform/Graphics/Image.h"
#include "Platform/Images/ImageProperties.h"
#include "Platform/Images/ImageSource.h"

class MVRImageSource {
public:
    // Null unless `fileURL` is a file URL of a readable file whose type is an image.
    static std::shared_ptr<MVRImageSource> initWithFileURL(const foundation::URL& fileURL);
    // Why the file at `fileURL` can't be read when the file itself is the cause: it is gone,
    // or this user may not read it. The error names the file. Null when it can be read, so
    // the fault lies in its content.
    static foundation::ErrorPtr unreadableFileError(const foundation::URL& fileURL);

    const foundation::URL& fileURL() const { return m_fileURL; }
    const images::ImageSourcePtr& CGImageSource() const { return m_imageSource; }
    // The uniform type identifier the decoder reports for the file.
    const std::string& imageType() const { return m_imageType; }

    // The first image, decoded once and kept; null when it does not decode (asked again next time).
    graphics::ImagePtr image();
    // The capture date: the EXIF original date, else the file's modification date, else the
    // time of the first request. A capture-date tag that is present but unreadable gives the
    // time of the first request.
    foundation::Date date();
    // The pixel size as stored (orientation not applied), from the file's properties.
    std::optional<graphics::Size> sizeValue();
    void setSizeValue(std::optional<graphics::Size> size);
    // sizeValue(), or the zero size.
    graphics::Size size();

    // A fresh decode of the first image that is not cached, for callers that stream many
    // images: at full size when `maxPixelSize` is 0, else no side larger than it (DCT-scaled
    // for JPEG). Null with `error` (naming the file) when it does not decode.
    graphics::ImagePtr createImage(size_t maxPixelSize, foundation::ErrorPtr* error) const;
    // Streams the first image a strip of rows at a time, DCT-scaled to no less than minWidth x
    // minHeight (see images::ImageSource::decodeStripsAtIndex): JPEG photos only, unsuitable
    // for the rest. Not cached.
    images::StripOutcome decodeStrips(size_t minWidth, size_t minHeight, const images::StripSink& sink,
                                      foundation::ErrorPtr* error) const;
    // The first image's header properties (orientation, size, colour model), none if unreadable.
    std::optional<images::ImageProperties> properties() const;

private:
    MVRImageSource() = default;

    mutable std::mutex m_mutex; // guards the caches and the (one-thread-at-a-time) image source
    graphics::ImagePtr m_image;
    std::optional<foundation::Date> m_date;
    foundation::URL m_fileURL = foundation::URL::fileURLWithPath("/");
    images::ImageSourcePtr m_imageSource;
    std::optional<graphics::Size> m_sizeValue;
    std::string m_imageType;
};

using MVRImageSourcePtr = std::shared_ptr<MVRImageSource>;
