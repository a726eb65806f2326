// Writes a small set of sample photographs for trying Quintor: the sun crossing the sky over
// the hills, one JPEG per step, with EXIF capture dates a few seconds apart, as a camera on a
// tripod with an interval timer would take them.
//
//     quintor-samples [--count N] [--size WxH] [--interval SECONDS] OUTPUT_DIRECTORY
//
// The files are named IMG_0001.JPG, IMG_0002.JPG, ...; the default is 24 photographs of
// 640 x 360 taken every 3 seconds.

#include <cairo.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Graphics/ColorSpace.h"
#include "Platform/Graphics/Image.h"
#include "Platform/Images/ImageDestination.h"
#include "Platform/Images/UTType.h"
#include "tools/SunScape.h"

namespace fs = std::filesystem;

namespace {

struct Options {
    int count = 24;
    int width = 640;
    int height = 360;
    int interval = 3;
    fs::path directory;
};

std::optional<long> parseNumber(const char* text, long minimum, long maximum)
{
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 10);
    if (errno || end == text || *end || value < minimum || value > maximum)
        return std::nullopt;
    return value;
}

std::optional<Options> parseOptions(int argc, char** argv)
{
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--count" && hasValue) {
            auto n = parseNumber(argv[++i], 2, 10000);
            if (!n)
                return std::nullopt;
            options.count = int(*n);
        } else if (arg == "--interval" && hasValue) {
            auto n = parseNumber(argv[++i], 1, 86400);
            if (!n)
                return std::nullopt;
            options.interval = int(*n);
        } else if (arg == "--size" && hasValue) {
            const std::string size = argv[++i];
            const auto x = size.find('x');
            if (x == std::string::npos)
                return std::nullopt;
            auto w = parseNumber(size.substr(0, x).c_str(), 16, 8192);
            auto h = parseNumber(size.substr(x + 1).c_str(), 16, 8192);
            if (!w || !h)
                return std::nullopt;
            options.width = int(*w);
            options.height = int(*h);
        } else if (!arg.empty() && arg[0] != '-' && options.directory.empty()) {
            options.directory = arg;
        } else {
            return std::nullopt;
        }
    }
    if (options.directory.empty())
        return std::nullopt;
    return options;
}

void put16(std::vector<uint8_t>& out, uint16_t v)
{
    out.push_back(uint8_t(v));
    out.push_back(uint8_t(v >> 8));
}

void put32(std::vector<uint8_t>& out, uint32_t v)
{
    put16(out, uint16_t(v));
    put16(out, uint16_t(v >> 16));
}

// An APP1 segment with a little-endian TIFF structure: IFD0 holds DateTime and the pointer to
// the EXIF IFD, which holds DateTimeOriginal and DateTimeDigitized ("YYYY:MM:DD HH:MM:SS").
std::vector<uint8_t> exifSegment(const std::string& dateTime)
{
    constexpr uint16_t ASCII = 2, LONG = 4;
    const uint32_t stringLength = uint32_t(dateTime.size() + 1); // 20 with its terminator
    const uint32_t ifd0 = 8, ifd0Size = 2 + 2 * 12 + 4;
    const uint32_t ifd0Data = ifd0 + ifd0Size;
    const uint32_t exifIFD = ifd0Data + stringLength;
    const uint32_t exifIFDSize = 2 + 2 * 12 + 4;
    const uint32_t exifData = exifIFD + exifIFDSize;

    std::vector<uint8_t> tiff = {'I', 'I', 42, 0};
    put32(tiff, ifd0);
    auto entry = [&](uint16_t tag, uint16_t type, uint32_t count, uint32_t value) {
        put16(tiff, tag);
        put16(tiff, type);
        put32(tiff, count);
        put32(tiff, value);
    };
    auto text = [&] { tiff.insert(tiff.end(), dateTime.begin(), dateTime.end()), tiff.push_back(0); };
    put16(tiff, 2);
    entry(0x0132, ASCII, stringLength, ifd0Data); // DateTime
    entry(0x8769, LONG, 1, exifIFD);              // ExifIFDPointer
    put32(tiff, 0);
    text();
    put16(tiff, 2);
    entry(0x9003, ASCII, stringLength, exifData);                // DateTimeOriginal
    entry(0x9004, ASCII, stringLength, exifData + stringLength); // DateTimeDigitized
    put32(tiff, 0);
    text();
    text();

    std::vector<uint8_t> segment = {0xFF, 0xE1, 0, 0, 'E', 'x', 'i', 'f', 0, 0};
    segment.insert(segment.end(), tiff.begin(), tiff.end());
    const size_t length = segment.size() - 2;
    segment[2] = uint8_t(length >> 8);
    segment[3] = uint8_t(length);
    return segment;
}

bool writePhoto(const fs::path& path, const Options& options, int index, std::time_t captured, std::string& message)
{
    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, options.width, options.height);
    cairo_t* cr = cairo_create(surface);
    // Dawn to early afternoon across the set.
    tools::drawSunScape(cr, options.width, options.height, 0.22 + 0.35 * index / (options.count - 1));
    cairo_destroy(cr);
    cairo_surface_flush(surface);
    const int stride = cairo_image_surface_get_stride(surface);
    const uint8_t* pixels = cairo_image_surface_get_data(surface);
    std::vector<uint8_t> bytes(pixels, pixels + size_t(stride) * options.height);
    cairo_surface_destroy(surface);

    // cairo's RGB24 is B, G, R, skip in memory on this machine.
    auto image = graphics::Image::create(options.width, options.height, 8, 32, stride, graphics::ColorSpace::createDeviceRGB(),
                                         {graphics::AlphaInfo::noneSkipFirst, graphics::ByteOrder::order32Little}, std::move(bytes));
    std::vector<uint8_t> jpeg;
    auto destination = images::ImageDestination::createWithData(&jpeg, images::kUTTypeJPEG, 1);
    foundation::ErrorPtr error;
    images::DestinationProperties properties;
    properties.lossyCompressionQuality = 0.9;
    if (!image || !destination) {
        message = "cannot encode JPEG";
        return false;
    }
    destination->addImage(image, properties);
    if (!destination->finalize(&error) || jpeg.size() < 2) {
        message = error ? error->localizedDescription() : "cannot encode JPEG";
        return false;
    }

    std::tm tm {};
    gmtime_r(&captured, &tm);
    char dateTime[32];
    std::strftime(dateTime, sizeof dateTime, "%Y:%m:%d %H:%M:%S", &tm);
    const std::vector<uint8_t> exif = exifSegment(dateTime);
    jpeg.insert(jpeg.begin() + 2, exif.begin(), exif.end()); // right after the start-of-image marker

    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(jpeg.data()), std::streamsize(jpeg.size()));
    if (!out.flush()) {
        message = "cannot write " + path.string();
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    const auto options = parseOptions(argc, argv);
    if (!options) {
        std::fprintf(stderr, "usage: %s [--count N] [--size WxH] [--interval SECONDS] OUTPUT_DIRECTORY\n", argv[0]);
        return 2;
    }
    std::error_code ec;
    fs::create_directories(options->directory, ec);
    if (ec) {
        std::fprintf(stderr, "quintor-samples: cannot make %s: %s\n", options->directory.c_str(), ec.message().c_str());
        return 1;
    }
    // A fixed morning, so that every run makes the same photographs.
    const std::time_t start = 1717225200; // 2024-06-01 07:00:00 UTC
    for (int i = 0; i < options->count; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "IMG_%04d.JPG", i + 1);
        std::string message;
        if (!writePhoto(options->directory / name, *options, i, start + std::time_t(i) * options->interval, message)) {
            std::fprintf(stderr, "quintor-samples: %s: %s\n", name, message.c_str());
            return 1;
        }
    }
    std::printf("%d photographs in %s\n", options->count, options->directory.c_str());
    return 0;
}
