#pragma once
// Small image files made by the tests with the reference libraries (libjpeg, libexif,
// libpng, libtiff, giflib), so the decoders are checked against independent writers.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace fixtures {

struct Exif {
    std::optional<std::string> dateTimeOriginal; // "YYYY:MM:DD HH:MM:SS"
    std::optional<std::string> subsecTimeOriginal;
    std::optional<int> orientation;
};

// The "Exif\0\0" APP1 payload made by libexif.
std::vector<uint8_t> exifBlock(const Exif& exif);

struct JPEGSpec {
    int width = 8;
    int height = 8;
    int components = 3; // 1 grey, 3 RGB, 4 CMYK
    // Component values at (x, y); for CMYK, plain ink amounts (0 = none).
    std::function<std::vector<uint8_t>(int x, int y)> pixel;
    std::optional<Exif> exif;
    bool adobeInvertedCMYK = false; // store CMYK inverted with an Adobe marker, as Photoshop does
    std::vector<uint8_t> icc;
    int quality = 95;
};
std::vector<uint8_t> makeJPEG(const JPEGSpec& recipe);

// 16-bit PNG from big-endian-agnostic 16-bit values: colour type 2 (RGB), 0 (grey) or 6
// (RGBA), with a gAMA chunk when `gamma` is given (1.0 declares linear samples).
std::vector<uint8_t> makePNG16(int width, int height, const std::function<std::vector<uint16_t>(int, int)>& rgb,
                               int colorType = 2, std::optional<double> gamma = std::nullopt);
// 8-bit PNG: colour type 0 (grey, 1 value), 2 (RGB), 6 (RGBA) or 3 (palette: values are
// indices into `palette`, with `alphas` as tRNS).
std::vector<uint8_t> makePNG8(int width, int height, int colorType, const std::function<std::vector<uint8_t>(int, int)>& px,
                              const std::vector<uint8_t>& palette = {}, const std::vector<uint8_t>& alphas = {});

struct TIFFSpec {
    int width = 4, height = 3;
    int bitsPerSample = 8;
    int samples = 3;           // 1 grey, 3 RGB, 4 RGBA (unassociated alpha) or CMYK
    bool cmyk = false;
    bool tiled = false;        // 16 x 16 tiles
    int orientation = 1;
    int pages = 1;
    std::function<std::vector<uint16_t>(int x, int y)> pixel;
};
void writeTIFF(const std::filesystem::path& path, const TIFFSpec& recipe);

// A GIF with `frames` frames of width x height; frame 0 uses palette index (x + y) % 3
// with index 2 transparent: 0 red, 1 green, 2 blue.
void writeGIF(const std::filesystem::path& path, int width, int height, int frames);

void writeFile(const std::filesystem::path& path, const std::vector<uint8_t>& bytes);
std::vector<uint8_t> readFile(const std::filesystem::path& path);

} // namespace fixtures
