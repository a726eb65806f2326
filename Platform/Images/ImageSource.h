#pragma once
// An image file (or bytes) opened once: its type, image count, properties and capture-date
// metadata read from headers without decoding pixels, and decoders for JPEG, PNG, TIFF, GIF
// (first frame), HEIC and camera RAW, full size or downscaled for previews. One thread at a
// time per source; separate sources may be used on separate threads.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Foundation/Error.h"
#include "Platform/Foundation/URL.h"
#include "Platform/Graphics/Image.h"
#include "Platform/Images/ImageProperties.h"

namespace images {

// Image-source errors: domain "ImageSourceErrorDomain"; the description names the file.
extern const std::string ImageSourceErrorDomain;
enum ImageSourceErrorCode : long {
    ImageSourceUnreadableFile = 1,   // the file could not be opened or read
    ImageSourceUnknownType = 2,      // not an image type we decode
    ImageSourceCorruptData = 3,      // the decoder rejected the data
    ImageSourceTruncatedData = 4,    // the data ends before the image does
    ImageSourceIndexOutOfRange = 5,
    ImageSourceTooLarge = 6,         // dimensions beyond what we allocate, or more memory than there is
};

// As the platform reports a source's state.
enum class ImageSourceStatus { unexpectedEOF = -5, invalidData = -4, unknownType = -3, readingHeader = -2, incomplete = -1, complete = 0 };

// Where a decode that streams rows sends them (see ImageSource::decodeStripsAtIndex).
struct StripSink {
    // The decoded size, once, before any row; false declines it (nothing is decoded).
    std::function<bool(size_t width, size_t height)> begin;
    // The next `count` rows of 32-bit pixels (B, G, R, X), top to bottom; false stops.
    std::function<bool(const uint8_t* rows, size_t bytesPerRow, size_t count)> rows;
};
enum class StripOutcome {
    unsuitable, // not decoded this way (not a Y'CbCr JPEG, or the sink declined): decode it whole
    decoded,
    failed,     // bad or cut-short data (the error says which), or the sink stopped
};

class ImageSource;
using ImageSourcePtr = std::shared_ptr<ImageSource>;

class ImageSource {
public:
    // Opens the file and reads just enough to know its type; nullptr when it cannot be read
    // (the error says why). The source is made even when the type is unknown: type() is then
    // empty, as it is when the content is not of the kind the file's name claims. Later calls
    // read the file again, so one that changes meanwhile gives an error, never a crash.
    static ImageSourcePtr createWithURL(const foundation::URL& url, foundation::ErrorPtr* error = nullptr);
    static ImageSourcePtr createWithPath(const std::string& path, foundation::ErrorPtr* error = nullptr);
    // Over a copy of `bytes`; `nameHint` (a file name) helps type detection and error texts.
    static ImageSourcePtr createWithData(std::vector<uint8_t> bytes, const std::string& nameHint = {});
    ~ImageSource();
    ImageSource(const ImageSource&) = delete;
    ImageSource& operator=(const ImageSource&) = delete;

    // The uniform type identifier of the content; empty when unknown.
    const std::string& type() const { return m_type; }
    const std::string& path() const { return m_path; }
    // Number of images (frames or pages); 0 when the header cannot be read.
    size_t count();
    ImageSourceStatus status();

    // Properties of image `index`, from headers only; none when they cannot be read.
    std::optional<ImageProperties> propertiesAtIndex(size_t index, foundation::ErrorPtr* error = nullptr);
    // The capture date as metadata text "yyyy-MM-ddTHH:mm:ss.SSS": DateTimeOriginal with
    // SubsecTimeOriginal as milliseconds (".000" when there is none). A DateTimeOriginal that
    // does not have the EXIF form is returned as it stands, so that callers' parsing fails
    // on it visibly. None when the file has no capture date.
    std::optional<std::string> captureDateMetadataAtIndex(size_t index);

    // Decodes image `index` at full size, pixels as stored (orientation not applied).
    graphics::ImagePtr createImageAtIndex(size_t index, foundation::ErrorPtr* error = nullptr);
    // Decodes image `index` so that neither side exceeds `maxPixelSize` (aspect kept; never
    // enlarged), using the JPEG decoder's DCT scaling, a RAW file's embedded preview when it
    // is large enough, and a good filter for the rest. With `applyOrientation` the result is
    // turned upright.
    graphics::ImagePtr createThumbnailAtIndex(size_t index, size_t maxPixelSize, bool applyOrientation = false,
                                              foundation::ErrorPtr* error = nullptr);

    // Streams image `index` of a JPEG photo (Y'CbCr, 8 bits) to `sink` a strip of rows at a
    // time, so that only a strip of it is ever held: pixels as stored (no orientation, no
    // colour conversion beyond the JPEG's own to RGB), DCT-scaled down by the largest power
    // of two up to 8 that keeps it at least minWidth x minHeight. Unsuitable for every other
    // image. A failure the sink caused (it returned false) leaves `error` alone.
    StripOutcome decodeStripsAtIndex(size_t index, size_t minWidth, size_t minHeight, const StripSink& sink,
                                     foundation::ErrorPtr* error = nullptr);

    struct Private;

private:
    ImageSource();
    foundation::ErrorPtr makeError(long code, const std::string& what) const;
    template <typename Result, typename Body>
    Result guarded(foundation::ErrorPtr* error, Result failed, Body&& body);
    std::optional<ImageProperties> readPropertiesAtIndex(size_t index, foundation::ErrorPtr* error);
    graphics::ImagePtr decodeImageAtIndex(size_t index, foundation::ErrorPtr* error);
    graphics::ImagePtr decodeThumbnailAtIndex(size_t index, size_t maxPixelSize, bool applyOrientation, foundation::ErrorPtr* error);
    StripOutcome streamStripsAtIndex(size_t index, size_t minWidth, size_t minHeight, const StripSink& sink,
                                     foundation::ErrorPtr* error);

    std::string m_path;
    std::string m_displayName;
    std::string m_type;
    std::unique_ptr<Private> m_private;
};

// Turns an image upright for EXIF orientation 2...8 (1 and out-of-range values return it).
graphics::ImagePtr imageByApplyingOrientation(const graphics::ImagePtr& image, int orientation);

} // namespace images
