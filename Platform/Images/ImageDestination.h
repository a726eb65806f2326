#pragma once
// Writes images into a file or into bytes in a chosen type (JPEG, PNG, TIFF; writers for
// more types register themselves). Nothing reaches the file until finalize() succeeds, and
// then it replaces the file whole. One thread at a time.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Platform/Foundation/Error.h"
#include "Platform/Foundation/URL.h"
#include "Platform/Graphics/Image.h"
#include "Platform/Images/ImageProperties.h"

namespace images {

// Image-destination errors: domain "ImageDestinationErrorDomain".
extern const std::string ImageDestinationErrorDomain;
enum ImageDestinationErrorCode : long {
    ImageDestinationUnsupportedType = 1,
    ImageDestinationTooManyImages = 2,
    ImageDestinationNoImages = 3,
    ImageDestinationEncodingFailed = 4,
    ImageDestinationWriteFailed = 5,
    ImageDestinationAlreadyFinalized = 6,
};

// One encoder of one type. It receives every image, then produces the bytes.
class ImageWriter {
public:
    virtual ~ImageWriter() = default;
    // Whether the type holds more than one image (TIFF pages, GIF frames).
    virtual bool supportsMultipleImages() const = 0;
    // The whole destination's properties, set before or between images.
    virtual void setProperties(const DestinationProperties&) { }
    virtual bool addImage(const graphics::ImagePtr& image, const DestinationProperties& properties,
                          foundation::ErrorPtr* error) = 0;
    virtual bool finish(std::vector<uint8_t>& out, foundation::ErrorPtr* error) = 0;
};

using ImageWriterFactory = std::function<std::unique_ptr<ImageWriter>()>;

class ImageDestination;
using ImageDestinationPtr = std::shared_ptr<ImageDestination>;

class ImageDestination {
public:
    // nullptr when no writer handles `type` (a uniform type identifier) or `count` is 0
    // or more than 1 for a single-image type.
    static ImageDestinationPtr createWithURL(const foundation::URL& url, const std::string& type, size_t count);
    static ImageDestinationPtr createWithPath(const std::string& path, const std::string& type, size_t count);
    // Writes into the caller's vector at finalize() (replacing its content).
    static ImageDestinationPtr createWithData(std::vector<uint8_t>* data, const std::string& type, size_t count);

    // Registers (or replaces) the writer of a type; the built-in JPEG, PNG and TIFF writers
    // are there from the start.
    static void registerWriter(const std::string& type, ImageWriterFactory factory);
    // Types that have a writer.
    static std::vector<std::string> typeIdentifiers();

    void setProperties(const DestinationProperties& properties);
    // Queues one image; an error is kept and reported by finalize().
    void addImage(const graphics::ImagePtr& image, const DestinationProperties& properties = {});
    // Encodes and writes everything; false with the error when any step failed, and the
    // destination file is then left as it was.
    bool finalize(foundation::ErrorPtr* error = nullptr);

private:
    ImageDestination() = default;

    std::string m_path;
    std::vector<uint8_t>* m_data = nullptr;
    std::string m_type;
    size_t m_count = 0;
    size_t m_added = 0;
    bool m_finalized = false;
    foundation::ErrorPtr m_error;
    std::unique_ptr<ImageWriter> m_writer;
};

} // namespace images
