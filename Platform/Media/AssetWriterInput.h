#pragma once
// The video input of an asset writer: takes frames as sample buffers (or pixel buffers through
// an AssetWriterInputPixelBufferAdaptor), with back-pressure through isReadyForMoreMediaData
// and requestMediaDataWhenReadyOnQueue. Any thread.

#include "Platform/Dispatch/Queue.h"
#include "Platform/Foundation/Value.h"
#include "Platform/Graphics/Geometry.h"
#include "Platform/Media/FormatDescription.h"
#include "Platform/Media/SampleBuffer.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace media {

class AssetWriter;

class AssetWriterInput : public std::enable_shared_from_this<AssetWriterInput> {
public:
    // Only video is supported. Throws NSInvalidArgumentException for another media type or for
    // output settings that name no supported codec, size or colour (the reason says which key).
    static std::shared_ptr<AssetWriterInput> assetWriterInputWithMediaType(
        const std::string& mediaType, const foundation::Value& outputSettings,
        VideoFormatDescriptionPtr sourceFormatHint = nullptr);
    ~AssetWriterInput();

    const std::string& mediaType() const;
    const foundation::Value& outputSettings() const;
    const VideoFormatDescriptionPtr& sourceFormatHint() const;

    // Frames its encoder takes as they are, without a conversion or a copy: this size and
    // pixel format, BT.709. None when every frame is converted.
    struct NativeFrameFormat {
        size_t width = 0;
        size_t height = 0;
        OSType pixelFormat = 0;
        bool operator==(const NativeFrameFormat&) const = default;
    };
    std::optional<NativeFrameFormat> nativeFrameFormat() const;

    // How the frames are to be shown; written as the track's display matrix. Set before
    // startWriting.
    graphics::AffineTransform transform() const;
    void setTransform(const graphics::AffineTransform& transform);
    bool expectsMediaDataInRealTime() const;
    void setExpectsMediaDataInRealTime(bool realTime);

    // True while the writer is writing, the input is not finished and the encoder's queue has
    // room. Appending while not ready still works but waits for room.
    bool isReadyForMoreMediaData() const;
    // Calls `block` on `queue` whenever the input becomes ready, until markAsFinished or the
    // writer stops. A call that appended nothing is not repeated until readiness changes again.
    // When the writer fails, `block` is called once more, so that its client sees the failure.
    void requestMediaDataWhenReadyOnQueue(dispatch::QueuePtr queue, std::function<void()> block);
    void markAsFinished();

    // Queues the sample's image for encoding. False when the writer is not writing, the input
    // is finished, or the sample is unusable (no image, time not after the previous one);
    // the last two fail the writer with an error.
    bool appendSampleBuffer(const SampleBufferPtr& sample);

    struct Impl;
    Impl& impl() const { return *m_impl; }

private:
    AssetWriterInput() = default;
    std::shared_ptr<Impl> m_impl;
};

using AssetWriterInputPtr = std::shared_ptr<AssetWriterInput>;

} // namespace media
