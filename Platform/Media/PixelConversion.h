#pragma once
// Converting frames between the pixel formats of the pipeline (32ARGB, 32BGRA, 420v, 420f),
// with scaling when the sizes differ, and drawing decoded images into 32ARGB buffers.
// Y'CbCr uses the matrix a buffer is tagged with (BT.601 or BT.709), BT.709 when untagged.
// A PixelConverter is used by one thread at a time; it spreads each frame over several.

#include "Platform/Foundation/Error.h"
#include "Platform/Graphics/Image.h"
#include "Platform/Media/PixelBuffer.h"

#include <memory>

namespace media {

class PixelConverter {
public:
    PixelConverter();
    ~PixelConverter();
    PixelConverter(const PixelConverter&) = delete;
    PixelConverter& operator=(const PixelConverter&) = delete;

    // Fills `destination` with `source`, converted and scaled. Keeps the set-up for the next
    // frame of the same shape, so a stream of frames pays for it once.
    bool convert(const PixelBufferPtr& source, const PixelBufferPtr& destination,
                 foundation::ErrorPtr* error = nullptr);

private:
    struct Private;
    std::unique_ptr<Private> m_private;
};

// Fills a buffer from an image that arrives as strips of rows of 32-bit pixels (B, G, R, X), top
// to bottom: each strip is scaled to the buffer's size and converted to its format on arrival
// (Y'CbCr with the buffer's matrix tag, BT.709 when untagged), so only a few rows of the image
// are ever held, never the whole of it. One thread at a time; each converter fills one buffer.
class StripConverter {
public:
    // Null, with `error`, for an empty image or a buffer format that cannot be filled.
    static std::unique_ptr<StripConverter> make(size_t imageWidth, size_t imageHeight, PixelBufferPtr destination,
                                                foundation::ErrorPtr* error = nullptr);
    ~StripConverter();
    StripConverter(const StripConverter&) = delete;
    StripConverter& operator=(const StripConverter&) = delete;

    // The next `count` rows of the image. False, with `error`, for rows beyond its height or
    // a conversion that fails.
    bool append(const uint8_t* rows, size_t bytesPerRow, size_t count, foundation::ErrorPtr* error = nullptr);
    // Whether every row of the image has arrived (and the buffer is filled).
    bool isComplete() const;

private:
    StripConverter() = default;
    struct Private;
    std::unique_ptr<Private> m_private;
};

// One-off conversion into a new buffer of `format` and the source's size. The new buffer gets
// the source's propagating attachments; a Y'CbCr result without a matrix tag is tagged BT.709.
PixelBufferPtr createConvertedPixelBuffer(const PixelBufferPtr& source, OSType format,
                                          foundation::ErrorPtr* error = nullptr);

// Draws `image` into a new 32ARGB buffer (X,R,G,B, no alpha) of the image's pixel size. The
// image's own colour space is kept when it is RGB; other images convert to generic RGB. When
// that space has an ICC profile it is attached under kCVImageBufferICCProfileKey, propagating.
// nullptr for a missing or empty image.
PixelBufferPtr createPixelBufferWithImage(const graphics::ImagePtr& image);

// The frame as an opaque image, for image encoders. 32ARGB (X,R,G,B) and 32BGRA (B,G,R,X)
// share the buffer's memory (the image keeps the buffer alive); 4:2:0 frames are converted first. The
// colour space is the attached ICC profile's, else sRGB. nullptr and `error` for a missing
// buffer or a format we can't read.
graphics::ImagePtr createImageWithPixelBuffer(const PixelBufferPtr& buffer, foundation::ErrorPtr* error = nullptr);

} // namespace media
