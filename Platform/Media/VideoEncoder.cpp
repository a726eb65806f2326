#include "Platform/Media/VideoEncoder.h"

#include "Platform/Dispatch/ProcessorCount.h"
#include "Platform/Media/MediaError.h"

#include <sys/prctl.h>

#include <algorithm>
#include <cmath>
#include <thread>

namespace media::detail {

namespace {

// x264 and x265 ask the kernel for huge pages for their frames and lookahead buffers. Where the
// kernel has to clear or compact memory for each one, the encoder's threads spend more time
// faulting them in than encoding (two to four times an export's wall time on a busy machine);
// ordinary pages cost nothing of the kind. The setting is the process's own and outlives the
// encoder, so it is made once, before the first encoder opens.
void avoidHugePageFaults()
{
    static const bool once = [] {
        ::prctl(PR_SET_THP_DISABLE, 1, 0, 0, 0);
        return true;
    }();
    (void)once;
}

int avMatrix(YCbCrMatrix m)
{
    switch (m) {
    case YCbCrMatrix::BT601:
        return AVCOL_SPC_SMPTE170M;
    case YCbCrMatrix::BT2020:
        return AVCOL_SPC_BT2020_NCL;
    case YCbCrMatrix::BT709:
        break;
    }
    return AVCOL_SPC_BT709;
}

AVColorPrimaries avPrimaries(ColorPrimaries p)
{
    switch (p) {
    case ColorPrimaries::SMPTE_C:
        return AVCOL_PRI_SMPTE170M;
    case ColorPrimaries::BT2020:
        return AVCOL_PRI_BT2020;
    case ColorPrimaries::BT709:
        break;
    }
    return AVCOL_PRI_BT709;
}

AVColorTransferCharacteristic avTransfer(TransferFunction t)
{
    switch (t) {
    case TransferFunction::HLG:
        return AVCOL_TRC_ARIB_STD_B67;
    case TransferFunction::PQ:
        return AVCOL_TRC_SMPTE2084;
    case TransferFunction::BT709:
        break;
    }
    return AVCOL_TRC_BT709;
}

// Quality 0..1 onto x264/x265's constant-rate factor: 1 is visually lossless, 0 very small.
double crfForQuality(double quality)
{
    return 40.0 - quality * 28.0;
}

// Where the source image goes in an encoder frame for the scaling mode. Offsets and sizes
// stay even so 4:2:0 planes can be addressed exactly.
void placement(ScalingMode mode, int sw, int sh, int dw, int dh, PixelRect& src, PixelRect& dst)
{
    src = {0, 0, sw, sh};
    dst = {0, 0, dw, dh};
    if (mode == ScalingMode::Resize || mode == ScalingMode::Fit || (sw == dw && sh == dh))
        return;
    auto even = [](double v) { return std::max(2, static_cast<int>(std::lround(v / 2.0)) * 2); };
    const double sx = static_cast<double>(dw) / sw;
    const double sy = static_cast<double>(dh) / sh;
    if (mode == ScalingMode::ResizeAspect) {
        const double s = std::min(sx, sy);
        dst.width = std::min(dw, even(sw * s));
        dst.height = std::min(dh, even(sh * s));
        dst.x = ((dw - dst.width) / 2) & ~1;
        dst.y = ((dh - dst.height) / 2) & ~1;
    } else {
        const double s = std::max(sx, sy);
        src.width = std::min(sw, even(dw / s));
        src.height = std::min(sh, even(dh / s));
        src.x = ((sw - src.width) / 2) & ~1;
        src.y = ((sh - src.height) / 2) & ~1;
    }
}

} // namespace

// x265 refuses smaller pictures.
constexpr int x265SmallestSide = 16;
// The widest picture that x265's lookahead tree pass still handles wrongly; see open().
constexpr int x265TreeBugMaxWidth = 48;

void encodedSize(const EncoderConfig& config, int& width, int& height)
{
    width = config.width;
    height = config.height;
    // 4:2:0 needs both even; FFmpeg's ProRes encoder wants an even width even for 4:4:4.
    width = std::max(2, width & ~1);
    if (!config.isProRes())
        height = std::max(2, height & ~1);
}

size_t proResFrameBytes(const EncoderConfig& config)
{
    int width = 0, height = 0;
    encodedSize(config, width, height);
    const size_t pixels = size_t(width) * size_t(height);
    // 4:2:2 or 4:4:4:4 at 16 bits a sample.
    return config.codec == VideoCodec::ProRes4444 ? pixels * 8 : pixels * 4;
}

size_t proResBytesPerThread(const EncoderConfig& config)
{
    int width = 0, height = 0;
    encodedSize(config, width, height);
    // The frame and the packet buffer.
    return proResFrameBytes(config) + size_t(width) * size_t(height) * 16;
}

int encoderThreadCount(const EncoderConfig& config, int cores)
{
    cores = std::max(1, cores);
    if (!config.isProRes())
        return cores;
    // The frame waiting in the encoder's queue comes off the budget first.
    const size_t queued = proResFrameBytes(config);
    const size_t fit = ProResEncoderMemoryBudget > queued
        ? (ProResEncoderMemoryBudget - queued) / std::max<size_t>(1, proResBytesPerThread(config))
        : 0;
    return static_cast<int>(std::clamp<size_t>(fit, 1, size_t(cores)));
}

std::unique_ptr<VideoEncoder> VideoEncoder::open(const EncoderConfig& config, OSType firstFormat, AVRational frameRate,
                                                 AVRational timeBase, bool globalHeader, foundation::ErrorPtr* error)
{
    auto fail = [&](long code, const std::string& reason, int averror = 0) -> std::unique_ptr<VideoEncoder> {
        if (error)
            *error = makeMediaError(code, "The video encoder could not be started.", reason, averror);
        return nullptr;
    };
    ff::configureLogging();

    const char* name = nullptr;
    AVPixelFormat pixelFormat = AV_PIX_FMT_YUV420P;
    uint32_t tag = 0;
    switch (config.codec) {
    case VideoCodec::H264:
        name = "libx264";
        // x264 reads bi-planar 4:2:0 directly, so such buffers reach it without conversion.
        pixelFormat = firstFormat == PixelFormatType_420YpCbCr8BiPlanarVideoRange ? AV_PIX_FMT_NV12 : AV_PIX_FMT_YUV420P;
        tag = MKTAG('a', 'v', 'c', '1');
        break;
    case VideoCodec::HEVC:
        name = "libx265";
        pixelFormat = config.tenBit ? AV_PIX_FMT_YUV420P10LE : AV_PIX_FMT_YUV420P;
        tag = MKTAG('h', 'v', 'c', '1');
        break;
    case VideoCodec::ProRes422:
        name = "prores";
        pixelFormat = AV_PIX_FMT_YUV422P10LE;
        tag = MKTAG('a', 'p', 'c', 'n');
        break;
    case VideoCodec::ProRes4444:
        name = "prores";
        pixelFormat = AV_PIX_FMT_YUVA444P10LE;
        tag = MKTAG('a', 'p', '4', 'h');
        break;
    }
    if (config.requireHardware)
        return fail(AVErrorEncoderNotFound, "No hardware video encoder is available.");
    const AVCodec* codec = avcodec_find_encoder_by_name(name);
    if (!codec)
        return fail(AVErrorEncoderNotFound, std::string("The encoder ") + name + " is not available.");

    std::unique_ptr<VideoEncoder> encoder(new VideoEncoder);
    encoder->m_config = config;
    encoder->m_codecTag = tag;
    encoder->m_context.reset(avcodec_alloc_context3(codec));
    AVCodecContext* c = encoder->m_context.get();
    if (!c)
        return fail(AVErrorOutOfMemory, "Out of memory.");

    encodedSize(config, c->width, c->height);
    if (config.codec == VideoCodec::HEVC && (c->width < x265SmallestSide || c->height < x265SmallestSide))
        return fail(AVErrorOperationNotAllowed, "HEVC movies must be at least " + std::to_string(x265SmallestSide) + " × "
                                                    + std::to_string(x265SmallestSide) + " pixels; this one would be "
                                                    + std::to_string(c->width) + " × " + std::to_string(c->height) + ".");
    c->pix_fmt = pixelFormat;
    c->time_base = timeBase;
    c->framerate = frameRate;
    c->sample_aspect_ratio = AVRational{1, 1};
    c->color_primaries = avPrimaries(config.primaries);
    c->color_trc = avTransfer(config.transfer);
    c->colorspace = static_cast<AVColorSpace>(avMatrix(config.matrix));
    c->color_range = AVCOL_RANGE_MPEG;
    // One encoding thread per core: x264's own choice, one and a half per core, keeps half as
    // many large frames again in flight, while the photos' decoding shares the cores anyway.
    // ProRes threads each hold a frame and a packet buffer: as many as the memory budget takes.
    c->thread_count = encoderThreadCount(config, static_cast<int>(dispatch::activeProcessorCount()));
    if (globalHeader)
        c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if (config.maxKeyFrameInterval && *config.maxKeyFrameInterval > 0)
        c->gop_size = *config.maxKeyFrameInterval;
    if (!config.allowFrameReordering)
        c->max_b_frames = 0;

    ff::Dictionary options;
    if (config.codec == VideoCodec::H264 || config.codec == VideoCodec::HEVC) {
        const bool x265 = config.codec == VideoCodec::HEVC;
        options.set("preset", config.fast ? "veryfast" : "medium");
        if (!config.profile.empty())
            options.set("profile", config.profile);
        if (config.level)
            c->level = config.level;
        // x264 and x265 take the rate in whole kilobits per second: the rate a picture of a few
        // pixels asks for would read as none, and the encoder would refuse to start.
        if (config.averageBitRate)
            c->bit_rate = std::max<int64_t>(*config.averageBitRate, 1000);
        else if (config.quality)
            options.set("crf", std::to_string(crfForQuality(*config.quality)));
        if (x265) {
            // x265 prints to stderr itself unless told otherwise.
            std::string params = "log-level=error";
            if (!config.allowFrameReordering)
                params += ":bframes=0";
            if (config.maxKeyFrameInterval && *config.maxKeyFrameInterval > 0)
                params += ":keyint=" + std::to_string(*config.maxKeyFrameInterval);
            // x265's lookahead tree pass writes past its buffers (and corrupts the heap) when
            // the picture is at most 48 pixels wide; without it such pictures encode cleanly.
            if (c->width <= x265TreeBugMaxWidth)
                params += ":cutree=0";
            options.set("x265-params", params);
        }
    } else {
        c->profile = config.codec == VideoCodec::ProRes4444 ? FF_PROFILE_PRORES_4444 : FF_PROFILE_PRORES_STANDARD;
        c->thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
    }

    avoidHugePageFaults();
    const int rc = avcodec_open2(c, codec, options.get());
    if (rc < 0)
        return fail(AVErrorEncoderNotFound, std::string("The encoder ") + name + " refused the settings.", rc);
    return encoder;
}

int VideoEncoder::reorderDelay() const
{
    // FFmpeg does not learn x265's delay (it reports none); with B-frames in a pyramid x265
    // holds back two frames, and never more.
    if (m_config.codec == VideoCodec::HEVC && m_config.allowFrameReordering)
        return std::max(m_context->has_b_frames, 2);
    return m_context->has_b_frames;
}

ff::FramePtr VideoEncoder::frameFromPixelBuffer(const PixelBufferPtr& buffer, int* averror)
{
    AVCodecContext* c = m_context.get();
    const AVPixelFormat sourceFormat = avPixelFormat(buffer->pixelFormatType());
    if (sourceFormat == AV_PIX_FMT_NONE) {
        *averror = AVERROR(EINVAL);
        return nullptr;
    }
    const int sw = static_cast<int>(buffer->width());
    const int sh = static_cast<int>(buffer->height());
    const bool sourceFullRange = isFullRangeFormat(buffer->pixelFormatType());

    // Same format, size and range: the encoder reads the buffer itself.
    if (sourceFormat == c->pix_fmt && sw == c->width && sh == c->height && !sourceFullRange) {
        ff::FramePtr frame = wrapPixelBuffer(buffer);
        if (!frame) {
            *averror = AVERROR(ENOMEM);
            return nullptr;
        }
        frame->colorspace = c->colorspace;
        frame->color_primaries = c->color_primaries;
        frame->color_trc = c->color_trc;
        return frame;
    }

    ff::FramePtr source = wrapPixelBuffer(buffer);
    if (!source) {
        *averror = AVERROR(ENOMEM);
        return nullptr;
    }
    // The converted image goes into the same memory each time once the encoder has let go of
    // the last one (x264 copies what it is given): fresh frames of a large size cost a page
    // fault and a cleared page for every 4 KiB. An encoder that keeps frames gets new ones.
    if (!m_scratch || !av_frame_is_writable(m_scratch.get())) {
        ff::FramePtr fresh = ff::makeFrame();
        if (!fresh) {
            *averror = AVERROR(ENOMEM);
            return nullptr;
        }
        fresh->format = c->pix_fmt;
        fresh->width = c->width;
        fresh->height = c->height;
        if ((*averror = av_frame_get_buffer(fresh.get(), 0)) < 0)
            return nullptr;
        m_scratch = std::move(fresh);
    }
    AVFrame* frame = m_scratch.get();

    PixelRect from, to;
    placement(m_config.scalingMode, sw, sh, c->width, c->height, from, to);
    if (to.width != c->width || to.height != c->height)
        fillBlack(frame, false);
    FrameConverter::Side side;
    side.frame = source.get();
    side.rect = from;
    side.matrix = avMatrix(m_config.matrix);
    side.fullRange = sourceFullRange;
    if ((*averror = m_converter.convert(side, frame, to, avMatrix(m_config.matrix), false)) < 0)
        return nullptr;
    frame->color_range = AVCOL_RANGE_MPEG;
    frame->colorspace = c->colorspace;
    frame->color_primaries = c->color_primaries;
    frame->color_trc = c->color_trc;
    ff::FramePtr reference = ff::makeFrame();
    if (!reference || (*averror = av_frame_ref(reference.get(), frame)) < 0) {
        if (!reference)
            *averror = AVERROR(ENOMEM);
        return nullptr;
    }
    return reference;
}

} // namespace media::detail
