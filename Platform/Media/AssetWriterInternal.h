#pragma once
// The shared state behind AssetWriter, its input and the pixel-buffer adaptor. Internal to
// Platform/Media.

#include "Platform/Media/AssetWriter.h"
#include "Platform/Media/AssetWriterInput.h"
#include "Platform/Media/EncoderConfig.h"
#include "Platform/Media/PixelBufferPool.h"

#include <mutex>

namespace media {

struct AssetWriterInput::Impl {
    std::string mediaType;
    foundation::Value settings;
    VideoFormatDescriptionPtr hint;
    detail::EncoderConfig config;

    mutable std::mutex mutex; // guards the fields below
    graphics::AffineTransform transform;
    bool realTime = false;
    std::weak_ptr<AssetWriter::Impl> writer;
    bool attached = false;
    // Set by an adaptor: the pool the writer makes when it starts.
    bool wantsPool = false;
    OSType poolFormat = PixelFormatType_32BGRA;
    int poolWidth = 0;
    int poolHeight = 0;
    PixelBufferPoolPtr pool;
};

namespace detail {

// Queues a frame on the input's writer (the path of both appendSampleBuffer and the adaptor).
bool appendToInput(AssetWriterInput::Impl& input, const PixelBufferPtr& buffer, const Time& presentationTime,
                   const Time& duration);
// Whether the input belongs to a writer that has left the unknown state.
bool inputWriterHasStarted(const AssetWriterInput::Impl& input);

} // namespace detail
} // namespace media
