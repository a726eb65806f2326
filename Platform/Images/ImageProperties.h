#pragma once
// The properties of one image in a file, read from its headers without decoding pixels,
// and the properties a caller gives when writing one. Plain values.

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace images {

// The EXIF dictionary's key names, as the platform spells them.
extern const std::string kCGImagePropertyExifDateTimeOriginal;    // "DateTimeOriginal"
extern const std::string kCGImagePropertyExifDateTimeDigitized;   // "DateTimeDigitized"
extern const std::string kCGImagePropertyExifSubsecTimeOriginal;  // "SubsecTimeOriginal"
extern const std::string kCGImagePropertyExifPixelXDimension;     // "PixelXDimension"
extern const std::string kCGImagePropertyExifPixelYDimension;     // "PixelYDimension"

// Colour models as the platform names them.
extern const std::string kCGImagePropertyColorModelRGB;   // "RGB"
extern const std::string kCGImagePropertyColorModelGray;  // "Gray"
extern const std::string kCGImagePropertyColorModelCMYK;  // "CMYK"
extern const std::string kCGImagePropertyColorModelLab;   // "Lab"

struct ImageProperties {
    // Pixel size as stored (orientation not applied).
    int pixelWidth = 0;
    int pixelHeight = 0;
    // EXIF/TIFF orientation 1...8 (1 when the file says nothing or something out of range).
    int orientation = 1;
    int depth = 8;                 // bits per component as stored
    std::string colorModel;        // kColorModel*; empty when unknown
    bool hasAlpha = false;
    std::optional<double> dpiWidth;
    std::optional<double> dpiHeight;
    std::string profileName;       // the embedded ICC profile's description, if any
    // EXIF tags (the EXIF sub-IFD and the TIFF IFD0 tags the platform lists there) as text,
    // keyed by the platform's names ("DateTimeOriginal", "SubsecTimeOriginal", ...).
    std::map<std::string, std::string> exif;
    // The camera's make and model (TIFF dictionary), empty when unknown.
    std::string make;
    std::string model;
};

// What a caller asks of an image being written.
struct DestinationProperties {
    std::optional<double> lossyCompressionQuality; // 0...1 (JPEG)
    std::optional<int> orientation;                // 1...8
    std::optional<double> dpiWidth;
    std::optional<double> dpiHeight;
    // Further numeric options of one writer, by the platform's key names (for a GIF writer:
    // "LoopCount", "DelayTime", ...). Writers ignore keys they don't know.
    std::map<std::string, double> extra;
};

} // namespace images
