#pragma once
// The frame-writer side of the pipeline that TranscodeOperation drives, and the optional
// interface of a destination that hands out its own pooled buffers (PixelBufferAllocating).
// cancel() may come from any thread; everything else from one thread at a time.

#include <functional>
#include <memory>

#include "MovaraKit/Media/PixelBufferSource.h"
#include "Platform/Foundation/Error.h"
#include "Platform/Media/PixelBuffer.h"
#include "Platform/Media/SampleBuffer.h"
#include "Platform/Media/Time.h"

class PixelBufferDestination {
public:
    virtual ~PixelBufferDestination() = default;

    // Creates the output for frames described by `info`. `shouldAllocate` is true when frames
    // will come through createNextPixelBuffer()/eatPixelBuffer(). False with `error` on failure.
    virtual bool prepareWithInfo(const std::shared_ptr<PixelBufferSourceInfo>& info, bool shouldAllocate,
                                 foundation::ErrorPtr* error) = 0;
    // Whether another frame can be taken now; valid after a successful prepare.
    virtual bool isReadyForMore() = 0;
    // The destination calls `block` whenever (and as often as) it wants frames; the block pulls
    // frames while isReadyForMore() stays true.
    virtual void startEating(std::function<void()> block) = 0;
    // Writes the sample's image (the sample is borrowed). False with `error` on failure.
    virtual bool eatSampleBuffer(const media::SampleBufferPtr& sampleBuffer, foundation::ErrorPtr* error) = 0;
    // Completes the output and calls `completionHandler` exactly once (null error = success),
    // possibly later on another thread.
    virtual void finishWithCompletionHandler(std::function<void(foundation::ErrorPtr)> completionHandler) = 0;
    // Abandons the output.
    virtual void cancel() = 0;
};

// Optional for a destination: frames rendered straight into the destination's own buffers.
class PixelBufferAllocating {
public:
    virtual ~PixelBufferAllocating() = default;
    // An empty buffer from the destination's pool, owned by the caller; null when none can be had.
    virtual media::PixelBufferPtr createNextPixelBuffer() = 0;
    // Writes the buffer (borrowed) at `presentationTime`. False with `error` on failure.
    virtual bool eatPixelBuffer(const media::PixelBufferPtr& pixelBuffer, const media::Time& presentationTime,
                                foundation::ErrorPtr* error) = 0;
};
