#pragma once
// Small helpers for the movie writer, reader and importer tests: a source of synthetic
// frames, a bounded wait for a transcode, ffprobe's view of a file and the frames a movie
// reads back as.

#include "MovaraKit/Media/PixelBufferDestination.h"
#include "MovaraKit/Media/PixelBufferSource.h"
#include "Platform/Foundation/Error.h"
#include "Platform/Graphics/Geometry.h"
#include "Platform/Media/Time.h"

#include <nlohmann/json.hpp>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace movietest {

// `count` frames of `width` x `height`, 32ARGB, frame i a flat grey of level 40 + 20 i, at
// firstTime + i x frameDuration. With `scribbles`, it also renders into the destination's
// buffers (the pixel path).
struct FrameSourceSpec {
    int count = 3;
    int width = 64;
    int height = 48;
    media::Time firstTime = media::Time::zero();
    media::Time frameDuration = media::Time::make(1, 10);
    graphics::AffineTransform transform;
    bool scribbles = false;
};
std::shared_ptr<PixelBufferSource> makeFrameSource(const FrameSourceSpec& recipe);

// Runs a TranscodeOperation from `source` into `destination` and waits (bounded) for it to
// finish; returns its error. `timedOut` tells a hang apart from success.
foundation::ErrorPtr transcode(const std::shared_ptr<PixelBufferSource>& source,
                               const std::shared_ptr<PixelBufferDestination>& destination, bool* timedOut = nullptr);

// ffprobe -show_streams -show_format as JSON; null when ffprobe fails.
nlohmann::json probe(const std::filesystem::path& path);
// Runs a shell command; true when it exits 0.
bool run(const std::string& command);

// What the movie reader makes of a file: frame times, frame size, the track's size, transform
// and codec, and the error that ended reading (null when it read to the end).
struct ReadBack {
    foundation::ErrorPtr loadError;
    foundation::ErrorPtr readError;
    std::vector<double> times;
    graphics::Size frameSize;
    graphics::Size trackSize;
    graphics::AffineTransform transform;
    std::string codec; // the four-character code of the track's format
    std::string colourPrimaries;
    std::string transferFunction;
    std::string matrix;
};
ReadBack readMovie(const std::filesystem::path& path);

// Names of the files in `dir`.
std::vector<std::string> listDirectory(const std::filesystem::path& dir);

} // namespace movietest
