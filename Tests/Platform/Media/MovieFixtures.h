#pragma once
// Tiny movies for the media tests: frames of a known pattern, a writer driven the way the
// pipeline drives it, and ffprobe's view of a file.

#include "Platform/Foundation/Value.h"
#include "Platform/Graphics/Geometry.h"
#include "Platform/Media/AssetWriter.h"
#include "Platform/Media/MetadataItem.h"
#include "Platform/Media/PixelBuffer.h"
#include "Platform/Media/Time.h"

#include <nlohmann/json.hpp>

#include <filesystem>
#include <string>
#include <vector>

namespace mediatest {

// A frame whose left half is a grey level that rises with `index` and whose right half is
// pure red, so tests can tell frames apart and check colour conversion.
media::PixelBufferPtr makeFrame(int width, int height, media::OSType format, int index);

// Average luma (0-255) of the left half and the R, G, B of the right half's centre pixel of a
// 32-bit BGRA or ARGB frame, or luma and the right half's Cb/Cr of a bi-planar one.
struct FrameSample {
    double leftLuma = 0;
    int r = 0, g = 0, b = 0;
};
FrameSample sampleFrame(const media::PixelBuffer& buffer);

struct MovieSpec {
    std::string fileType;
    foundation::Value settings;
    int frames = 10;
    media::Time frameDuration = media::Time::make(1, 10);
    media::Time firstTime = media::Time::zero();
    media::OSType format = media::PixelFormatType_32BGRA;
    int width = 64;
    int height = 48;
    graphics::AffineTransform transform;
    std::vector<media::MetadataItem> metadata;
};

foundation::Value settingsFor(const std::string& codec, int width = 64, int height = 48);

// Writes the movie through an adaptor and returns the writer's error (null on success).
foundation::ErrorPtr writeMovie(const std::filesystem::path& path, const MovieSpec& recipe);

// ffprobe -show_streams -show_format -show_frames (when `frames`) -show_packets (when `packets`)
// as JSON; null when it fails.
nlohmann::json probe(const std::filesystem::path& path, bool frames = false, bool packets = false);

} // namespace mediatest
