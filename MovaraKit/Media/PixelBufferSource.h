#pragma once
// The frame-source side of the pipeline that TranscodeOperation drives: what a source's frames
// look like (PixelBufferSourceInfo), how they are read (PixelBufferSource) and the optional
// render-into-the-destination's-buffer path (PixelBufferScribbling). A source is used by one
// thread at a time.

#include <functional>
#include <memory>

#include "Platform/Foundation/Error.h"
#include "Platform/Graphics/Geometry.h"
#include "Platform/Media/AssetWriterInput.h"
#include "Platform/Media/PixelBuffer.h"
#include "Platform/Media/SampleBuffer.h"
#include "Platform/Media/Time.h"

class PixelBufferSourceInfo {
public:
    virtual ~PixelBufferSourceInfo() = default;
    // Pixel size of the frames as stored, before transform().
    virtual graphics::Size size() = 0;
    // The span of source time the frames cover; progress is measured against it.
    virtual media::TimeRange timeRange() = 0;
    // How the frames are to be turned for display (a movie writer stores it on the track).
    virtual graphics::AffineTransform transform() = 0;
    // The destination's word, once prepared, on the frames its encoder takes as they are: a
    // source that can make its frames so saves the writer a conversion and a copy of each.
    // Others ignore it. Comes before the first frame is taken.
    virtual void setPreferredFrameFormat(const media::AssetWriterInput::NativeFrameFormat& format) { (void)format; }
};

class PixelBufferSource {
public:
    virtual ~PixelBufferSource() = default;

    // Prepares the source and calls `completionHandler` exactly once: with null when frames
    // can be read, else with the error that stops it. It may run before this returns, or
    // later on any thread.
    virtual void loadWithCompletionHandler(std::function<void(foundation::ErrorPtr)> completionHandler) = 0;
    // The next frame (an image buffer with a valid presentation time in source time), owned
    // by the caller; null at the end of the stream. A source that fails mid-stream returns
    // null and fills `error`, so that a failure is never mistaken for the end.
    virtual media::SampleBufferPtr copyNextSampleBuffer(foundation::ErrorPtr* error) = 0;
    // Valid after a successful load.
    virtual std::shared_ptr<PixelBufferSourceInfo> pixelBufferSourceInfo() = 0;
};

// Optional for a source: renders the next frame straight into a buffer the destination hands
// out. Returns the frame's presentation time; at the end sets `finished` and returns an invalid
// time; on failure fills `error` and returns an invalid time.
class PixelBufferScribbling {
public:
    virtual ~PixelBufferScribbling() = default;
    virtual media::Time scribbleOnPixelBuffer(const media::PixelBufferPtr& pixelBuffer, bool* finished,
                                              foundation::ErrorPtr* error) = 0;
};
