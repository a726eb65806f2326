#pragma once
// The decoders behind ImageSource (internal to Images). Each works on the whole file's bytes
// (the JPEG and PNG header readers also on its first bytes), checks every offset it reads, and
// reports failures as a code and a short text.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Graphics/Image.h"
#include "Platform/Images/ImageProperties.h"
#include "Platform/Images/ImageSource.h"

namespace images::codec {

struct Bytes {
    const uint8_t* data = nullptr;
    size_t size = 0;
    // Only the first bytes of a longer file: a header reader that runs out of them before its
    // header ends fails with code 4 (truncated), so that the caller reads the rest.
    bool partial = false;
};

struct Failure {
    long code = 0; // an ImageSourceErrorCode
    std::string message;
};

// Decoders refuse images above this many pixels rather than allocate without bound.
constexpr uint64_t kMaxPixels = 400ull * 1000 * 1000;
bool checkSize(uint64_t width, uint64_t height, Failure& failure);
// Whether `available` bytes of compressed data, which `kind` of compression expands at most
// `maxRatio` times, can hold the `needed` bytes a header declares; a failure (code 4, naming
// the size) when they can't. Checked before the decoder allocates for the declared size, so
// that a few bytes claiming a huge picture cost nothing.
bool checkData(uint64_t needed, uint64_t available, uint64_t maxRatio, uint64_t width, uint64_t height, const char* kind,
               Failure& failure);
// Above this many bytes of samples, data that expands more than kBombRatio times is refused
// (code 6): a picture that large and that empty is a decompression bomb, not a photo, and
// decoding it would take seconds and gigabytes for nothing.
constexpr uint64_t kBombBytes = 256ull << 20;
constexpr uint64_t kBombRatio = 256;
bool checkExpansion(uint64_t needed, uint64_t available, uint64_t width, uint64_t height, const char* kind, Failure& failure);

// EXIF in TIFF layout (the payload of a JPEG APP1 after "Exif\0\0", a PNG eXIf chunk or a
// whole TIFF file): fills orientation, DPI, make, model and the EXIF dictionary.
// False when the bytes are not a TIFF header.
bool readExif(Bytes tiff, ImageProperties& out);

struct JPEGHeader {
    int width = 0, height = 0, components = 0, precision = 8;
    size_t scanStart = 0; // where the first scan's header begins (0: not reached)
    bool arithmetic = false; // arithmetic-coded (SOF9 and up): far below a bit a block is possible
    bool adobe = false; // an Adobe APP14 marker: CMYK is stored inverted
    Bytes exif;
    std::vector<uint8_t> icc;
    int densityUnit = 0, densityX = 0, densityY = 0;
};
bool jpegHeader(Bytes in, JPEGHeader& header, Failure& failure);
// Whether the whole file's scan data can hold the picture its header declares: every 8 x 8
// block of the first component costs at least one bit (its DC difference), in baseline and
// progressive files alike.
bool jpegDataHoldsPicture(Bytes in, const JPEGHeader& header, Failure& failure);
// Whether the decoder's warning still left the whole picture decoded; data that ends before
// the picture does (cut short, or shorter than its header says) does not.
bool jpegWarningLeavesWholeImage(const std::string& warning);
std::optional<ImageProperties> jpegProperties(Bytes in, Failure& failure);
// Streams a JPEG photo (Y'CbCr) to `sink` as strips of 32-bit rows (B, G, R, X), top to bottom,
// DCT-scaled down by the largest power of two up to 8 that keeps it at least minWidth x
// minHeight; only a strip of it is held at a time. Unsuitable (nothing decoded, no failure)
// for other JPEGs or when the sink declines the size; failed when the data is bad, cut short
// or the sink stops (then the sink says why, not `failure`).
StripOutcome jpegDecodeStrips(Bytes in, size_t minWidth, size_t minHeight, const StripSink& sink, Failure& failure);
// `scaleDenominator` 1, 2, 4 or 8: DCT-domain downscaling.
graphics::ImagePtr jpegDecode(Bytes in, int scaleDenominator, Failure& failure);

std::optional<ImageProperties> pngProperties(Bytes in, Failure& failure);
graphics::ImagePtr pngDecode(Bytes in, Failure& failure);

size_t tiffCount(Bytes in);
std::optional<ImageProperties> tiffProperties(Bytes in, size_t index, Failure& failure);
graphics::ImagePtr tiffDecode(Bytes in, size_t index, Failure& failure);

size_t gifCount(Bytes in);
std::optional<ImageProperties> gifProperties(Bytes in, Failure& failure);
graphics::ImagePtr gifDecodeFirstFrame(Bytes in, Failure& failure);

size_t heifCount(Bytes in);
std::optional<ImageProperties> heifProperties(Bytes in, Failure& failure);
graphics::ImagePtr heifDecode(Bytes in, Failure& failure);

std::optional<ImageProperties> rawProperties(Bytes in, Failure& failure);
graphics::ImagePtr rawDecode(Bytes in, Failure& failure);
// The embedded JPEG preview, when there is one (none otherwise; not an error).
std::vector<uint8_t> rawEmbeddedJPEG(Bytes in);

} // namespace images::codec
