#pragma once
// One open FFmpeg video encoder for an asset-writer input: picks the FFmpeg encoder and its
// options from the output settings, turns pixel buffers into frames it takes (scaling and
// converting with BT.709, or handing the buffer over untouched when formats match) and hands
// back packets. Internal to Platform/Media; used by one thread at a time.

#include "Platform/Foundation/Error.h"
#include "Platform/Media/EncoderConfig.h"
#include "Platform/Media/FFmpeg.h"
#include "Platform/Media/FrameConverter.h"
#include "Platform/Media/PixelBuffer.h"

#include <memory>

namespace media::detail {

// The encoder's frame size: the settings' size, made even where the chroma is subsampled.
void encodedSize(const EncoderConfig& config, int& width, int& height);

// What the encoder may hold at once: ProRes keeps a whole frame in every frame thread, and
// FFmpeg's "prores" encoder zero-fills a packet buffer of 16 bytes a pixel in each (384 MB for
// 24 megapixels), and one more frame waits in its queue; so its threads are as many as fit in
// this, at least one.
constexpr size_t ProResEncoderMemoryBudget = size_t(1536) << 20;

// The encoder's threads for `config` on `cores` cores: one a core, fewer for ProRes frames
// so large that a thread each would pass the budget.
int encoderThreadCount(const EncoderConfig& config, int cores);
// Bytes one ProRes frame thread holds for a frame of the config's size.
size_t proResBytesPerThread(const EncoderConfig& config);
// Bytes of one ProRes frame of the config's size, as the encoder takes it.
size_t proResFrameBytes(const EncoderConfig& config);

class VideoEncoder {
public:
    // `firstFormat` is the pixel format of the first frame; `frameRate` a hint for rate control.
    static std::unique_ptr<VideoEncoder> open(const EncoderConfig& config, OSType firstFormat, AVRational frameRate,
                                              AVRational timeBase, bool globalHeader, foundation::ErrorPtr* error);

    AVCodecContext* context() const { return m_context.get(); }
    uint32_t codecTag() const { return m_codecTag; }
    // The most frames the encoder holds back before the one it shows first.
    int reorderDelay() const;

    // A frame of the encoder's size and format holding the buffer's image (its pts unset).
    // Null with the FFmpeg code in `averror` on failure. Converted frames reuse one block of memory
    // when no reference to the previous frame is left (a frame still held is never written).
    ff::FramePtr frameFromPixelBuffer(const PixelBufferPtr& buffer, int* averror);

    // avcodec_send_frame / avcodec_receive_packet.
    int send(const AVFrame* frame) { return avcodec_send_frame(m_context.get(), frame); }
    int receive(AVPacket* packet) { return avcodec_receive_packet(m_context.get(), packet); }

private:
    VideoEncoder() = default;

    EncoderConfig m_config;
    ff::CodecContextPtr m_context;
    uint32_t m_codecTag = 0;
    FrameConverter m_converter;
    ff::FramePtr m_scratch;
};

} // namespace media::detail
