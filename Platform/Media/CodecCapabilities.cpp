#include "Platform/Media/CodecCapabilities.h"

#include "Platform/Media/FFmpeg.h"
#include "Platform/Media/VideoSettings.h"

#include <algorithm>

namespace media {

namespace {

struct BufferRefDeleter {
    void operator()(AVBufferRef* b) const { av_buffer_unref(&b); }
};
using BufferRefPtr = std::unique_ptr<AVBufferRef, BufferRefDeleter>;

BufferRefPtr createDevice(AVHWDeviceType type)
{
    AVBufferRef* device = nullptr;
    if (av_hwdevice_ctx_create(&device, type, nullptr, nullptr, 0) < 0)
        return nullptr;
    return BufferRefPtr(device);
}

// Opens `codec` for a 1920x1080 stream the way a writer would, through a hardware device
// when the encoder wants one. Only an encoder that opens is usable.
bool encoderOpens(const AVCodec* codec)
{
    const AVCodecHWConfig* hwConfig = nullptr;
    for (int i = 0;; ++i) {
        const AVCodecHWConfig* config = avcodec_get_hw_config(codec, i);
        if (!config)
            break;
        if (config->methods & (AV_CODEC_HW_CONFIG_METHOD_HW_FRAMES_CTX | AV_CODEC_HW_CONFIG_METHOD_HW_DEVICE_CTX)) {
            hwConfig = config;
            break;
        }
    }
    ff::CodecContextPtr context(avcodec_alloc_context3(codec));
    if (!context)
        return false;
    context->width = 1920;
    context->height = 1080;
    context->time_base = AVRational{1, 30};
    context->framerate = AVRational{30, 1};

    BufferRefPtr device;
    if (hwConfig) {
        device = createDevice(hwConfig->device_type);
        if (!device)
            return false;
        context->hw_device_ctx = av_buffer_ref(device.get());
        if (hwConfig->methods & AV_CODEC_HW_CONFIG_METHOD_HW_FRAMES_CTX) {
            BufferRefPtr frames(av_hwframe_ctx_alloc(device.get()));
            if (!frames)
                return false;
            auto* fc = reinterpret_cast<AVHWFramesContext*>(frames->data);
            fc->format = hwConfig->pix_fmt;
            fc->sw_format = AV_PIX_FMT_NV12;
            fc->width = 1920;
            fc->height = 1080;
            fc->initial_pool_size = 4;
            if (av_hwframe_ctx_init(frames.get()) < 0)
                return false;
            context->hw_frames_ctx = av_buffer_ref(frames.get());
        }
        context->pix_fmt = hwConfig->pix_fmt;
    } else {
        context->pix_fmt = codec->pix_fmts ? codec->pix_fmts[0] : AV_PIX_FMT_YUV420P;
    }
    return avcodec_open2(context.get(), codec, nullptr) >= 0;
}

} // namespace

std::optional<std::string> hardwareHEVCEncoderName()
{
    static const std::optional<std::string> name = []() -> std::optional<std::string> {
        ff::configureLogging();
        void* opaque = nullptr;
        while (const AVCodec* codec = av_codec_iterate(&opaque)) {
            if (!av_codec_is_encoder(codec) || codec->id != AV_CODEC_ID_HEVC)
                continue;
            if (!(codec->capabilities & AV_CODEC_CAP_HARDWARE))
                continue;
            if (encoderOpens(codec))
                return std::string(codec->name);
        }
        return std::nullopt;
    }();
    return name;
}

bool hasHardwareHEVCDecoder()
{
    static const bool present = [] {
        ff::configureLogging();
        const AVCodec* decoder = avcodec_find_decoder(AV_CODEC_ID_HEVC);
        if (!decoder)
            return false;
        for (int i = 0;; ++i) {
            const AVCodecHWConfig* config = avcodec_get_hw_config(decoder, i);
            if (!config)
                return false;
            if ((config->methods & AV_CODEC_HW_CONFIG_METHOD_HW_DEVICE_CTX) && createDevice(config->device_type))
                return true;
        }
    }();
    return present;
}

std::vector<std::string> availableSoftwareVideoCodecTypes()
{
    static const std::vector<std::string> types = [] {
        std::vector<std::string> found;
        if (avcodec_find_encoder_by_name("libx264"))
            found.push_back(AVVideoCodecTypeH264);
        if (avcodec_find_encoder_by_name("libx265"))
            found.push_back(AVVideoCodecTypeHEVC);
        if (const AVCodec* prores = avcodec_find_encoder_by_name("prores")) {
            found.push_back(AVVideoCodecTypeAppleProRes422);
            // 4444 needs the encoder's alpha-capable 4:4:4 input.
            for (const AVPixelFormat* f = prores->pix_fmts; f && *f != AV_PIX_FMT_NONE; ++f)
                if (*f == AV_PIX_FMT_YUVA444P10) {
                    found.push_back(AVVideoCodecTypeAppleProRes4444);
                    break;
                }
        }
        return found;
    }();
    return types;
}

bool canEncodeVideoCodecType(const std::string& codecType)
{
    const auto& types = availableSoftwareVideoCodecTypes();
    return std::find(types.begin(), types.end(), codecType) != types.end()
        || (codecType == AVVideoCodecTypeHEVC && hasHardwareHEVCEncoder());
}

} // namespace media
