#pragma once
// Moves pixels between pixel buffers and FFmpeg frames: wraps buffers as frames without
// copying, and converts between formats and sizes with swscale on several threads, with the
// Y'CbCr matrix and range stated explicitly (swscale would otherwise assume BT.601).
// Internal to Platform/Media. A converter is used by one thread at a time.

#include "Platform/Media/FFmpeg.h"
#include "Platform/Media/PixelBuffer.h"

namespace media::detail {

struct PixelRect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};

// The FFmpeg pixel format of a pixel-buffer format, AV_PIX_FMT_NONE when there is none.
AVPixelFormat avPixelFormat(OSType format);
bool isFullRangeFormat(OSType format);

// A frame over the buffer's memory. The frame keeps the buffer alive for as long as any
// reference to the frame's data exists, so an encoder may hold on to it.
ff::FramePtr wrapPixelBuffer(const PixelBufferPtr& buffer);

class FrameConverter {
public:
    struct Side {
        const AVFrame* frame = nullptr;
        PixelRect rect;                      // the region used; width 0 means the whole frame
        int matrix = AVCOL_SPC_BT709;        // for Y'CbCr sides
        bool fullRange = false;              // for Y'CbCr sides
    };

    FrameConverter();
    ~FrameConverter();
    FrameConverter(const FrameConverter&) = delete;
    FrameConverter& operator=(const FrameConverter&) = delete;

    // Scales and converts `source`'s region into `destination`'s region. The destination
    // frame must own its data (frame->buf set). Returns an AVERROR code or 0.
    int convert(const Side& source, AVFrame* destination, const PixelRect& destinationRect, int destinationMatrix,
                bool destinationFullRange);

private:
    struct Key {
        int sw = 0, sh = 0, sf = 0, dw = 0, dh = 0, df = 0, sm = 0, dm = 0;
        bool sr = false, dr = false;
        bool operator==(const Key&) const = default;
    };
    ff::SwsPtr m_context;
    Key m_key;
};

// Fills a whole frame with black (and transparent alpha), in any planar or packed format
// swscale knows. Used under letterboxed images.
void fillBlack(AVFrame* frame, bool fullRange);

} // namespace media::detail
