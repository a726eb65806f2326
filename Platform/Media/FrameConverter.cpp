#include "Platform/Media/FrameConverter.h"

#include "Platform/Dispatch/ProcessorCount.h"
#include <algorithm>
#include <cstring>
#include <thread>

namespace media::detail {

AVPixelFormat avPixelFormat(OSType format)
{
    switch (format) {
    case PixelFormatType_32ARGB:
        return AV_PIX_FMT_ARGB;
    case PixelFormatType_32BGRA:
        return AV_PIX_FMT_BGRA;
    case PixelFormatType_420YpCbCr8BiPlanarVideoRange:
    case PixelFormatType_420YpCbCr8BiPlanarFullRange:
        return AV_PIX_FMT_NV12;
    case PixelFormatType_420YpCbCr8PlanarVideoRange:
        return AV_PIX_FMT_YUV420P;
    case PixelFormatType_422YpCbCr10PlanarVideoRange:
        return AV_PIX_FMT_YUV422P10LE;
    default:
        return AV_PIX_FMT_NONE;
    }
}

bool isFullRangeFormat(OSType format)
{
    return format != PixelFormatType_420YpCbCr8BiPlanarVideoRange && format != PixelFormatType_420YpCbCr8PlanarVideoRange
        && format != PixelFormatType_422YpCbCr10PlanarVideoRange;
}

ff::FramePtr wrapPixelBuffer(const PixelBufferPtr& buffer)
{
    const AVPixelFormat pf = avPixelFormat(buffer->pixelFormatType());
    if (pf == AV_PIX_FMT_NONE)
        return nullptr;
    ff::FramePtr frame = ff::makeFrame();
    if (!frame)
        return nullptr;
    frame->format = pf;
    frame->width = static_cast<int>(buffer->width());
    frame->height = static_cast<int>(buffer->height());
    const size_t planes = std::max<size_t>(1, buffer->planeCount());
    for (size_t i = 0; i < planes; ++i) {
        frame->data[i] = static_cast<uint8_t*>(buffer->planeCount() ? buffer->baseAddressOfPlane(i) : buffer->baseAddress());
        frame->linesize[i] = static_cast<int>(buffer->planeCount() ? buffer->bytesPerRowOfPlane(i) : buffer->bytesPerRow());
    }
    // The reference travels inside the AVBuffer: whoever holds the frame's data holds the
    // pixel buffer, and the buffer returns to its pool when the last of them lets go.
    auto holder = std::make_unique<PixelBufferPtr>(buffer);
    const size_t end = static_cast<size_t>(frame->linesize[0]) * buffer->height();
    AVBufferRef* ref = av_buffer_create(
        frame->data[0], end, [](void* opaque, uint8_t*) { delete static_cast<PixelBufferPtr*>(opaque); },
        holder.get(), 0);
    if (!ref)
        return nullptr;
    holder.release();
    frame->buf[0] = ref;
    frame->color_range = isFullRangeFormat(buffer->pixelFormatType()) ? AVCOL_RANGE_JPEG : AVCOL_RANGE_MPEG;
    return frame;
}

FrameConverter::FrameConverter() = default;
FrameConverter::~FrameConverter() = default;

namespace {

bool isRGB(AVPixelFormat f)
{
    const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(f);
    return d && (d->flags & AV_PIX_FMT_FLAG_RGB);
}

// A frame viewing a rectangle of another frame's data. Offsets of subsampled planes are
// rounded down to whole chroma samples, which callers keep even.
ff::FramePtr viewOf(const AVFrame* frame, const PixelRect& r)
{
    ff::FramePtr view = ff::makeFrame();
    if (!view || av_frame_ref(view.get(), frame) < 0)
        return nullptr;
    const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(frame->format));
    if (r.x || r.y) {
        for (int p = 0; p < 4 && view->data[p]; ++p) {
            int step = 0;
            for (int c = 0; c < d->nb_components; ++c)
                if (d->comp[c].plane == p)
                    step = std::max(step, d->comp[c].step);
            const bool chroma = (p == 1 || p == 2) && !(d->flags & AV_PIX_FMT_FLAG_RGB);
            const int x = chroma ? (r.x >> d->log2_chroma_w) : r.x;
            const int y = chroma ? (r.y >> d->log2_chroma_h) : r.y;
            view->data[p] += static_cast<ptrdiff_t>(y) * view->linesize[p] + static_cast<ptrdiff_t>(x) * step;
        }
    }
    view->width = r.width;
    view->height = r.height;
    return view;
}

} // namespace

int FrameConverter::convert(const Side& source, AVFrame* destination, const PixelRect& destinationRect,
                            int destinationMatrix, bool destinationFullRange)
{
    PixelRect sr = source.rect.width ? source.rect : PixelRect{0, 0, source.frame->width, source.frame->height};
    PixelRect dr = destinationRect.width ? destinationRect : PixelRect{0, 0, destination->width, destination->height};
    if (sr.width <= 0 || sr.height <= 0 || dr.width <= 0 || dr.height <= 0)
        return AVERROR(EINVAL);

    const auto sf = static_cast<AVPixelFormat>(source.frame->format);
    const auto df = static_cast<AVPixelFormat>(destination->format);
    const Key key{sr.width, sr.height, sf, dr.width, dr.height, df, source.matrix, destinationMatrix, source.fullRange,
                  destinationFullRange};
    if (!m_context || !(key == m_key)) {
        m_context.reset(sws_alloc_context());
        if (!m_context)
            return AVERROR(ENOMEM);
        SwsContext* c = m_context.get();
        const unsigned cores = std::max(1u, std::min(8u, dispatch::activeProcessorCount()));
        av_opt_set_int(c, "srcw", sr.width, 0);
        av_opt_set_int(c, "srch", sr.height, 0);
        av_opt_set_int(c, "src_format", sf, 0);
        av_opt_set_int(c, "dstw", dr.width, 0);
        av_opt_set_int(c, "dsth", dr.height, 0);
        av_opt_set_int(c, "dst_format", df, 0);
        av_opt_set_int(c, "sws_flags", SWS_BICUBIC | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT, 0);
        av_opt_set_int(c, "threads", cores, 0);
        int rc = sws_init_context(c, nullptr, nullptr);
        if (rc < 0) {
            m_context.reset();
            return rc;
        }
        // RGB sides are always full range; the matrix of an RGB side is ignored by swscale.
        const int srcRange = isRGB(sf) ? 1 : source.fullRange;
        const int dstRange = isRGB(df) ? 1 : destinationFullRange;
        rc = sws_setColorspaceDetails(c, sws_getCoefficients(source.matrix), srcRange,
                                      sws_getCoefficients(destinationMatrix), dstRange, 0, 1 << 16, 1 << 16);
        if (rc < 0) {
            m_context.reset();
            return AVERROR(ENOTSUP);
        }
        m_key = key;
    }

    ff::FramePtr src = viewOf(source.frame, sr);
    ff::FramePtr dst = viewOf(destination, dr);
    if (!src || !dst)
        return AVERROR(ENOMEM);
    return sws_scale_frame(m_context.get(), dst.get(), src.get());
}

void fillBlack(AVFrame* frame, bool fullRange)
{
    const auto format = static_cast<AVPixelFormat>(frame->format);
    ptrdiff_t linesizes[4];
    for (int i = 0; i < 4; ++i)
        linesizes[i] = frame->linesize[i];
    av_image_fill_black(frame->data, linesizes, format, fullRange ? AVCOL_RANGE_JPEG : AVCOL_RANGE_MPEG, frame->width,
                        frame->height);
}

} // namespace media::detail
