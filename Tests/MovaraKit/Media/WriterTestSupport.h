#pragma once
// Fixtures for the still-image and GIF writer tests: gradient frames, a source of given frames
// at given times, a tiny H.264 movie and a source that reads it back, and a bounded transcode.

#include "MovaraKit/Media/PixelBufferDestination.h"
#include "MovaraKit/Media/PixelBufferSource.h"
#include "Platform/Foundation/Error.h"
#include "Platform/Media/PixelBuffer.h"
#include "Platform/Media/Time.h"

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace writertest {

// 32ARGB: red rises across, green down, blue is `blue`.
media::PixelBufferPtr gradientFrame(int width, int height, int blue = 80);

// Frames at the given times (seconds), each a gradient whose blue is 10 x its index.
std::shared_ptr<PixelBufferSource> makeSource(const std::vector<double>& seconds, int width = 16, int height = 12);
// A sample of `frame` at `seconds`.
media::SampleBufferPtr sampleAt(const media::PixelBufferPtr& frame, double seconds);

// An H.264 MPEG-4 movie of `frames` gradient frames at 10 frames per second; null on success.
foundation::ErrorPtr writeMovie(const std::filesystem::path& path, int frames, int width, int height);
// Reads the movie's video track as frames of `pixelFormat`.
std::shared_ptr<PixelBufferSource> makeMovieSource(const std::filesystem::path& path, media::OSType pixelFormat);

// Runs a TranscodeOperation and waits (bounded) for it to finish; returns its error, or a
// "timed out" error of domain "writertest".
foundation::ErrorPtr transcode(const std::shared_ptr<PixelBufferSource>& source,
                               const std::shared_ptr<PixelBufferDestination>& destination);

// Names of the entries of `dir`, sorted.
std::vector<std::string> listDirectory(const std::filesystem::path& dir);

} // namespace writertest
