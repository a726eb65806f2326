#pragma once
// Appends pixel buffers with their times to a writer input, and offers a pool of buffers in
// the input's size. When the pool's format is one the encoder reads (bi-planar 4:2:0 for
// H.264), its buffers reach the encoder without any copy. Any thread.

#include "Platform/Foundation/Value.h"
#include "Platform/Media/AssetWriterInput.h"
#include "Platform/Media/PixelBufferPool.h"
#include "Platform/Media/Time.h"

#include <memory>

namespace media {

class AssetWriterInputPixelBufferAdaptor {
public:
    // `attributes` may give "PixelFormatType" (a number; 32-bit BGRA when absent), "Width" and
    // "Height" (the input's size when absent). Throws NSInvalidArgumentException when the input
    // already belongs to a writer that has started, or for an unsupported pixel format.
    static std::shared_ptr<AssetWriterInputPixelBufferAdaptor> assetWriterInputPixelBufferAdaptorWithAssetWriterInput(
        const AssetWriterInputPtr& input, const foundation::Value& sourcePixelBufferAttributes = {});

    const AssetWriterInputPtr& assetWriterInput() const { return m_input; }
    const foundation::Value& sourcePixelBufferAttributes() const { return m_attributes; }
    // Made when the writer starts writing; nullptr before that.
    PixelBufferPoolPtr pixelBufferPool() const;

    // As AssetWriterInput::appendSampleBuffer, for a bare buffer at `presentationTime`.
    bool appendPixelBuffer(const PixelBufferPtr& buffer, const Time& presentationTime);

private:
    AssetWriterInputPixelBufferAdaptor() = default;
    AssetWriterInputPtr m_input;
    foundation::Value m_attributes;
};

using AssetWriterInputPixelBufferAdaptorPtr = std::shared_ptr<AssetWriterInputPixelBufferAdaptor>;

} // namespace media
