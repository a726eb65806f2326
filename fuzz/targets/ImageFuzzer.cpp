// One image decoder from hostile bytes, through ImageSource as the application reads a photo:
// type, count, properties, capture date, the full picture and an upright thumbnail (JPEG also
// as strips). Built once per format: IMAGE_FORMAT names it and IMAGE_NAME is the file name the
// bytes arrive under (camera RAW files are told from TIFF by their extension). RAW goes through
// its header paths only: LibRaw's own development is not ours.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "Platform/Images/ImageSource.h"
#include "Platform/Images/UTType.h"

namespace {

enum class Format { jpeg, png, tiff, gif, heif, raw };
constexpr Format kFormat = Format::IMAGE_FORMAT;

bool isOurs(const std::string& type)
{
    switch (kFormat) {
    case Format::jpeg: return type == images::kUTTypeJPEG;
    case Format::png: return type == images::kUTTypePNG;
    case Format::tiff: return type == images::kUTTypeTIFF;
    case Format::gif: return type == images::kUTTypeGIF;
    case Format::heif: return type == images::kUTTypeHEIC || type == images::kUTTypeHEIF;
    case Format::raw: return images::typeConformsTo(type, images::kUTTypeRawImage);
    }
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    auto source = images::ImageSource::createWithData(std::vector<uint8_t>(data, data + size), IMAGE_NAME);
    if (!source || !isOurs(source->type()))
        return -1; // another format's bytes: not kept in this corpus
    const size_t count = source->count();
    (void)source->status();
    for (size_t i = 0; i < count && i < 3; ++i) {
        foundation::ErrorPtr error;
        (void)source->propertiesAtIndex(i, &error);
        (void)source->captureDateMetadataAtIndex(i);
    }
    if (kFormat == Format::raw)
        return 0;
    foundation::ErrorPtr error;
    (void)source->createImageAtIndex(0, &error);
    foundation::ErrorPtr thumbnailError;
    (void)source->createThumbnailAtIndex(0, 48, true, &thumbnailError);
    if (kFormat == Format::jpeg) {
        images::StripSink sink;
        sink.begin = [](size_t, size_t) { return true; };
        sink.rows = [](const uint8_t*, size_t, size_t) { return true; };
        foundation::ErrorPtr stripError;
        (void)source->decodeStripsAtIndex(0, 16, 16, sink, &stripError);
    }
    return 0;
}
