#pragma once
// Owning wrappers for the FFmpeg objects the media layer uses, and the conversion of FFmpeg
// failures into foundation errors. Internal to Platform/Media: include it from .cpp files only,
// so the FFmpeg headers stay out of the public ones.

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
#include <libavutil/display.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include "Platform/Foundation/Error.h"

#include <memory>
#include <string>

namespace media::ff {

struct CodecContextDeleter {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextDeleter>;

struct FrameDeleter {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;

struct PacketDeleter {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;

struct SwsDeleter {
    void operator()(SwsContext* s) const { sws_freeContext(s); }
};
using SwsPtr = std::unique_ptr<SwsContext, SwsDeleter>;

// A demuxer opened with avformat_open_input.
struct InputContextDeleter {
    void operator()(AVFormatContext* c) const { avformat_close_input(&c); }
};
using InputContextPtr = std::unique_ptr<AVFormatContext, InputContextDeleter>;

// A muxer: closes its file when it opened one (a caller's own I/O is the caller's), then frees
// the context.
struct OutputContextDeleter {
    void operator()(AVFormatContext* c) const
    {
        if (c->pb && !(c->oformat->flags & AVFMT_NOFILE) && !(c->flags & AVFMT_FLAG_CUSTOM_IO))
            avio_closep(&c->pb);
        avformat_free_context(c);
    }
};
using OutputContextPtr = std::unique_ptr<AVFormatContext, OutputContextDeleter>;

// An options dictionary handed to FFmpeg open calls; whatever they leave in it is freed.
class Dictionary {
public:
    Dictionary() = default;
    ~Dictionary() { av_dict_free(&m_dict); }
    Dictionary(const Dictionary&) = delete;
    Dictionary& operator=(const Dictionary&) = delete;

    void set(const char* key, const std::string& value) { av_dict_set(&m_dict, key, value.c_str(), 0); }
    AVDictionary** get() { return &m_dict; }
    AVDictionary* raw() const { return m_dict; }

private:
    AVDictionary* m_dict = nullptr;
};

inline FramePtr makeFrame() { return FramePtr(av_frame_alloc()); }
inline PacketPtr makePacket() { return PacketPtr(av_packet_alloc()); }

// FFmpeg's text for an AVERROR code.
std::string errorString(int code);

// Quiets FFmpeg's own logging (once per process): failures reach callers as errors.
void configureLogging();

} // namespace media::ff
