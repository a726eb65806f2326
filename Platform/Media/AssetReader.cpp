#include "Platform/Media/AssetReader.h"

#include "Platform/Media/FFmpeg.h"
#include "Platform/Media/FrameConverter.h"
#include "Platform/Media/MediaError.h"
#include "Platform/Media/PixelBufferPool.h"
#include "Platform/Media/VideoSettings.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>
#include <optional>

namespace media {

VideoComposition VideoComposition::passThrough(const AssetTrack& track, const Time& frameDuration,
                                               const TimeRange& timeRange)
{
    VideoComposition composition;
    composition.frameDuration = frameDuration;
    composition.renderSize = track.naturalSize();
    VideoCompositionInstruction instruction;
    instruction.timeRange = timeRange;
    instruction.layerInstructions.push_back({track.trackID(), graphics::AffineTransform::identity(), {}});
    composition.instructions.push_back(instruction);
    return composition;
}

struct AssetReader::Shared {
    mutable std::mutex mutex;
    Status status = Status::Unknown;
    foundation::ErrorPtr error;
    TimeRange timeRange = TimeRange::make(Time::zero(), Time::positiveInfinity());
    std::string path;
    size_t outputsEnded = 0;
    size_t outputCount = 0;

    bool reading() const
    {
        std::lock_guard lock(mutex);
        return status == Status::Reading;
    }
    void fail(foundation::ErrorPtr e)
    {
        std::lock_guard lock(mutex);
        if (status == Status::Reading) {
            status = Status::Failed;
            error = std::move(e);
        }
    }
    void outputEnded()
    {
        std::lock_guard lock(mutex);
        if (status == Status::Reading && ++outputsEnded >= outputCount)
            status = Status::Completed;
    }
};

namespace {

foundation::ErrorPtr decodeError(const std::string& reason, int averror = 0)
{
    return makeMediaError(AVErrorDecodeFailed, "The movie could not be read.", reason, averror);
}

Time timeIn(int64_t value, AVRational base)
{
    if (base.num == 1 && base.den > 0)
        return Time::make(value, base.den);
    return Time::makeWithSeconds(static_cast<double>(value) * av_q2d(base), 90000);
}

// Decodes one stream of a file, in presentation order.
class TrackDecoder {
public:
    static std::unique_ptr<TrackDecoder> open(const std::string& path, int streamIndex, foundation::ErrorPtr* error)
    {
        ff::configureLogging();
        std::unique_ptr<TrackDecoder> d(new TrackDecoder);
        AVFormatContext* raw = nullptr;
        int rc = avformat_open_input(&raw, ("file:" + path).c_str(), nullptr, nullptr);
        d->m_input.reset(raw);
        if (rc >= 0)
            rc = avformat_find_stream_info(raw, nullptr);
        if (rc < 0 || streamIndex < 0 || static_cast<unsigned>(streamIndex) >= d->m_input->nb_streams) {
            *error = makeMediaError(AVErrorFileFormatNotRecognized, "The movie could not be opened.",
                                    "The file is not a movie this application can read.", rc < 0 ? rc : 0);
            return nullptr;
        }
        for (unsigned i = 0; i < d->m_input->nb_streams; ++i)
            if (static_cast<int>(i) != streamIndex)
                d->m_input->streams[i]->discard = AVDISCARD_ALL;
        d->m_stream = d->m_input->streams[streamIndex];
        const AVCodec* codec = avcodec_find_decoder(d->m_stream->codecpar->codec_id);
        if (!codec) {
            *error = makeMediaError(AVErrorDecoderNotFound, "The movie could not be read.",
                                    std::string("No decoder for ") + avcodec_get_name(d->m_stream->codecpar->codec_id));
            return nullptr;
        }
        d->m_context.reset(avcodec_alloc_context3(codec));
        if (!d->m_context || avcodec_parameters_to_context(d->m_context.get(), d->m_stream->codecpar) < 0) {
            *error = decodeError("The decoder could not be set up.");
            return nullptr;
        }
        d->m_context->thread_count = 0;
        d->m_context->pkt_timebase = d->m_stream->time_base;
        rc = avcodec_open2(d->m_context.get(), codec, nullptr);
        if (rc < 0) {
            *error = decodeError("The decoder could not be opened.", rc);
            return nullptr;
        }
        d->m_packet = ff::makePacket();
        return d;
    }

    void seek(const Time& start)
    {
        if (!start.isNumeric() || start <= Time::zero())
            return;
        const int64_t ts = av_rescale_q(static_cast<int64_t>(std::llround(start.seconds() * 1e6)), AV_TIME_BASE_Q,
                                        m_stream->time_base);
        if (av_seek_frame(m_input.get(), m_stream->index, ts, AVSEEK_FLAG_BACKWARD) >= 0) {
            avcodec_flush_buffers(m_context.get());
            m_seeked = true;
        }
    }

    // 1 with a frame, 0 at the end, -1 on failure (error filled).
    int next(ff::FramePtr& frame, Time& pts, foundation::ErrorPtr* error)
    {
        frame = ff::makeFrame();
        for (;;) {
            int rc = avcodec_receive_frame(m_context.get(), frame.get());
            if (rc == 0) {
                const int64_t ts = frame->best_effort_timestamp;
                if (ts == AV_NOPTS_VALUE) {
                    av_frame_unref(frame.get());
                    continue;
                }
                pts = timeIn(ts, m_stream->time_base);
                return 1;
            }
            if (rc == AVERROR_EOF) {
                // A file cut short ends early without a read error; its index still counts
                // every frame it should have.
                if (!m_seeked && m_stream->nb_frames > 0 && m_packets < m_stream->nb_frames) {
                    *error = decodeError("The movie ends before its last frame.");
                    return -1;
                }
                return 0;
            }
            if (rc != AVERROR(EAGAIN)) {
                *error = decodeError("A frame could not be decoded.", rc);
                return -1;
            }
            if (m_draining)
                return 0;
            rc = av_read_frame(m_input.get(), m_packet.get());
            if (rc == AVERROR_EOF) {
                m_draining = true;
                avcodec_send_packet(m_context.get(), nullptr);
                continue;
            }
            if (rc < 0) {
                *error = decodeError("The movie data could not be read.", rc);
                return -1;
            }
            if (m_packet->stream_index != m_stream->index) {
                av_packet_unref(m_packet.get());
                continue;
            }
            ++m_packets;
            if (m_packet->flags & AV_PKT_FLAG_CORRUPT) {
                av_packet_unref(m_packet.get());
                *error = decodeError("The movie data is damaged.");
                return -1;
            }
            rc = avcodec_send_packet(m_context.get(), m_packet.get());
            av_packet_unref(m_packet.get());
            if (rc < 0 && rc != AVERROR(EAGAIN)) {
                *error = decodeError("A frame could not be decoded.", rc);
                return -1;
            }
        }
    }

    AVStream* stream() const { return m_stream; }

private:
    TrackDecoder() = default;
    ff::InputContextPtr m_input;
    ff::CodecContextPtr m_context;
    ff::PacketPtr m_packet;
    AVStream* m_stream = nullptr;
    int64_t m_packets = 0;
    bool m_seeked = false;
    bool m_draining = false;
};

struct Settings {
    OSType format = PixelFormatType_420YpCbCr8BiPlanarVideoRange;
    int width = 0;
    int height = 0;
};

Settings readSettings(const foundation::Value& settings)
{
    if (!settings.isDictionary())
        throw foundation::Exception(foundation::NSInvalidArgumentException,
                                    "Output settings must be a dictionary naming a pixel format");
    Settings s;
    const auto format = settings[kCVPixelBufferPixelFormatTypeKey].integerValue();
    if (!format || (*format != PixelFormatType_420YpCbCr8BiPlanarVideoRange && *format != PixelFormatType_32ARGB
                    && *format != PixelFormatType_32BGRA && *format != PixelFormatType_420YpCbCr8BiPlanarFullRange))
        throw foundation::Exception(foundation::NSInvalidArgumentException,
                                    "Output settings must give PixelFormatType 420v, 420f, 32ARGB or BGRA");
    s.format = static_cast<OSType>(*format);
    auto dimension = [&](const std::string& key) {
        const auto n = settings[key].integerValue();
        return n && *n > 0 && *n <= 16384 ? static_cast<int>(*n) : 0;
    };
    s.width = dimension(kCVPixelBufferWidthKey);
    s.height = dimension(kCVPixelBufferHeightKey);
    return s;
}

// Times are compared with this slack: scaled segments map times through seconds, and a frame
// that starts a rounding error after the time asked for is the one meant.
constexpr double kSlack = 1e-4;
// A jump further ahead than this seeks instead of decoding every frame on the way.
constexpr double kSeekAhead = 2.0;

// The frames one track shows on its own time line. A movie's track shows its decoded frames
// at their own times; a composition's track shows, within each segment, the frames of the
// segment's source track at the mapped (and possibly scaled) time. Decoding runs forward and
// seeks only when the time line jumps.
class TrackFrames {
public:
    struct Frame {
        const AVFrame* frame = nullptr;
        uint64_t serial = 0; // changes whenever another frame is shown
    };

    // False, with an error, when a segment shows something that cannot be decoded.
    bool setUp(const AssetTrack& track, const std::string& fallbackPath, foundation::ErrorPtr* error)
    {
        if (!track.isCompositionTrack()) {
            Piece piece;
            piece.identity = true;
            piece.path = track.filePath().empty() ? fallbackPath : track.filePath();
            piece.stream = track.streamIndex();
            m_pieces.push_back(piece);
            return true;
        }
        for (const auto& segment : track.segments()) {
            if (segment.isEmpty() || !segment.sourceTrack)
                continue;
            const auto& source = *segment.sourceTrack;
            if (source.isCompositionTrack() || source.filePath().empty() || source.streamIndex() < 0) {
                *error = makeMediaError(AVErrorInvalidSourceMedia, "The movie could not be read.",
                                        "A composition segment shows a track that is not in a movie file.");
                return false;
            }
            const TimeMapping& m = segment.timeMapping;
            if (!m.target.isValid() || !m.source.isValid() || !(m.target.duration.seconds() > 0))
                continue;
            Piece piece;
            piece.start = m.target.start.seconds();
            piece.end = m.target.end().seconds();
            piece.sourceStart = m.source.start.seconds();
            piece.rate = m.source.duration.seconds() / m.target.duration.seconds();
            piece.path = source.filePath();
            piece.stream = source.streamIndex();
            m_pieces.push_back(piece);
        }
        return true;
    }

    // 1 with the frame shown at `t`, 0 when the track shows nothing there (an empty edit,
    // before or after its segments), -1 on failure.
    int frameAt(const Time& time, Frame& out, foundation::ErrorPtr* error)
    {
        const double t = time.seconds();
        const Piece* piece = nullptr;
        for (const auto& p : m_pieces)
            if (p.identity || (t >= p.start - kSlack && t < p.end - kSlack)) {
                piece = &p;
                break;
            }
        if (!piece)
            return 0;
        const double s = piece->identity ? t : piece->sourceStart + (std::max(t, piece->start) - piece->start) * piece->rate;
        const bool otherSource = !m_decoder || m_path != piece->path || m_stream != piece->stream;
        const bool backwards = m_current && s < m_currentPts - kSlack && s < m_openedAt - kSlack;
        const bool farAhead = m_upcoming && s > m_upcomingPts + kSeekAhead;
        if (otherSource || backwards || farAhead) {
            if (!open(*piece, s, error))
                return -1;
        }
        while (m_upcoming && m_upcomingPts <= s + kSlack) {
            m_current = std::move(m_upcoming);
            m_currentPts = m_upcomingPts;
            ++m_serial;
            if (!advance(error))
                return -1;
        }
        if (!m_current)
            return 0;
        out.frame = m_current.get();
        out.serial = m_serial;
        return 1;
    }

    void release()
    {
        m_decoder.reset();
        m_current.reset();
        m_upcoming.reset();
    }

private:
    struct Piece {
        bool identity = false;
        double start = 0, end = 0, sourceStart = 0, rate = 1;
        std::string path;
        int stream = -1;
    };

    bool open(const Piece& piece, double s, foundation::ErrorPtr* error)
    {
        release();
        m_decoder = TrackDecoder::open(piece.path, piece.stream, error);
        if (!m_decoder)
            return false;
        m_path = piece.path;
        m_stream = piece.stream;
        m_openedAt = s;
        m_decoder->seek(Time::makeWithSeconds(s, 90000));
        m_ended = false;
        Time pts;
        const int r = m_decoder->next(m_current, pts, error);
        if (r < 0)
            return false;
        if (r == 0)
            m_current.reset();
        m_currentPts = pts.seconds();
        ++m_serial;
        return advance(error);
    }

    bool advance(foundation::ErrorPtr* error)
    {
        if (m_ended || !m_current) {
            m_upcoming.reset();
            return true;
        }
        Time pts;
        const int r = m_decoder->next(m_upcoming, pts, error);
        if (r < 0)
            return false;
        if (r == 0) {
            m_upcoming.reset();
            m_ended = true;
        }
        m_upcomingPts = pts.seconds();
        return true;
    }

    std::vector<Piece> m_pieces;
    std::unique_ptr<TrackDecoder> m_decoder;
    std::string m_path;
    int m_stream = -1;
    double m_openedAt = 0;
    bool m_ended = false;
    ff::FramePtr m_current, m_upcoming;
    double m_currentPts = 0, m_upcomingPts = 0;
    uint64_t m_serial = 0;
};

// One plane's bytes, also for a packed (single-plane) buffer.
struct PlaneView {
    uint8_t* base;
    size_t bytesPerRow, rowBytes, height;
};

PlaneView planeOf(const PixelBuffer& buffer, size_t plane)
{
    if (!buffer.isPlanar())
        return {static_cast<uint8_t*>(buffer.baseAddress()), buffer.bytesPerRow(), buffer.width() * buffer.bytesPerPixelOfPlane(0),
                buffer.height()};
    return {static_cast<uint8_t*>(buffer.baseAddressOfPlane(plane)), buffer.bytesPerRowOfPlane(plane),
            buffer.widthOfPlane(plane) * buffer.bytesPerPixelOfPlane(plane), buffer.heightOfPlane(plane)};
}

// Blends `top` over `bottom` with `opacity` (copies it at 1), byte by byte over every plane:
// the pixel formats read are affine in the colour, so blending their bytes blends the colours.
void blendInto(PixelBuffer& bottom, const PixelBuffer& top, double opacity)
{
    const unsigned a = static_cast<unsigned>(std::lround(std::clamp(opacity, 0.0, 1.0) * 256));
    const size_t planes = bottom.isPlanar() ? bottom.planeCount() : 1;
    for (size_t plane = 0; plane < planes; ++plane) {
        const PlaneView d = planeOf(bottom, plane), t = planeOf(top, plane);
        for (size_t y = 0; y < d.height; ++y) {
            uint8_t* dr = d.base + y * d.bytesPerRow;
            const uint8_t* tr = t.base + y * t.bytesPerRow;
            if (a >= 256) {
                std::memcpy(dr, tr, d.rowBytes);
                continue;
            }
            for (size_t x = 0; x < d.rowBytes; ++x)
                dr[x] = static_cast<uint8_t>((tr[x] * a + dr[x] * (256 - a) + 128) >> 8);
        }
    }
}

} // namespace

struct AssetReaderOutput::Impl {
    enum class Kind { Track, Composition };
    Kind kind = Kind::Track;
    Settings settings;
    std::vector<AssetTrackPtr> tracks;
    VideoComposition composition;
    bool attached = false;

    std::weak_ptr<AssetReader::Shared> reader;
    std::unique_ptr<TrackDecoder> decoder;
    detail::FrameConverter converter;
    PixelBufferPoolPtr pool;
    TimeRange range;
    bool ended = false;

    // Track output: the frame waiting for its successor's time.
    ff::FramePtr pending;
    Time pendingPts = Time::invalid();
    Time lastDuration = Time::invalid();
    Time trackEnd = Time::invalid();

    // Composition output: one frame source per track, with its last frame converted.
    struct Layer {
        int32_t trackID = 0;
        TrackFrames frames;
        uint64_t serial = 0;
        PixelBufferPtr buffer;
    };
    int64_t index = 0;
    bool started = false;
    std::vector<std::unique_ptr<Layer>> layers;

    PixelBufferPtr newBuffer(int w, int h)
    {
        if (!pool || pool->width() != size_t(w) || pool->height() != size_t(h)) {
            PixelBufferAttributes attributes;
            attributes.propagatedAttachments[kCVImageBufferColorPrimariesKey] = kCVImageBufferColorPrimaries_ITU_R_709_2;
            attributes.propagatedAttachments[kCVImageBufferTransferFunctionKey] = kCVImageBufferTransferFunction_ITU_R_709_2;
            attributes.propagatedAttachments[kCVImageBufferYCbCrMatrixKey] = kCVImageBufferYCbCrMatrix_ITU_R_709_2;
            pool = PixelBufferPool::create({}, size_t(w), size_t(h), settings.format, attributes);
        }
        return pool ? pool->createPixelBuffer() : nullptr;
    }

    PixelBufferPtr convert(const AVFrame* frame, foundation::ErrorPtr* error)
    {
        const int w = settings.width ? settings.width : frame->width;
        const int h = settings.height ? settings.height : frame->height;
        PixelBufferPtr buffer = newBuffer(w, h);
        ff::FramePtr target = buffer ? detail::wrapPixelBuffer(buffer) : nullptr;
        if (!target) {
            *error = makeMediaError(AVErrorOutOfMemory, "The movie could not be read.", "Out of memory.");
            return nullptr;
        }
        detail::FrameConverter::Side side;
        side.frame = frame;
        side.matrix = frame->colorspace == AVCOL_SPC_UNSPECIFIED || frame->colorspace == AVCOL_SPC_RGB
            ? AVCOL_SPC_BT709
            : frame->colorspace;
        const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(frame->format));
        side.fullRange = frame->color_range == AVCOL_RANGE_JPEG
            || (d && std::string(d->name).rfind("yuvj", 0) == 0);
        const int rc = converter.convert(side, target.get(), {}, AVCOL_SPC_BT709, detail::isFullRangeFormat(settings.format));
        if (rc < 0) {
            *error = decodeError("A frame could not be converted.", rc);
            return nullptr;
        }
        return buffer;
    }

    SampleBufferPtr sample(const PixelBufferPtr& buffer, const Time& pts, const Time& duration)
    {
        SampleTimingInfo timing;
        timing.presentationTimeStamp = pts;
        timing.duration = duration;
        return SampleBuffer::createForImageBuffer(buffer, timing);
    }

    SampleBufferPtr nextTrackSample(AssetReader::Shared& shared)
    {
        foundation::ErrorPtr error;
        for (;;) {
            if (!pending) {
                const int r = decoder->next(pending, pendingPts, &error);
                if (r < 0)
                    return failed(shared, error);
                if (r == 0)
                    return end(shared);
                continue;
            }
            ff::FramePtr next;
            Time nextPts;
            const int r = decoder->next(next, nextPts, &error);
            if (r < 0)
                return failed(shared, error);
            ff::FramePtr frame = std::move(pending);
            const Time pts = pendingPts;
            pending = std::move(next);
            pendingPts = nextPts;
            if (pts >= range.end())
                return end(shared);
            Time duration = Time::invalid();
            if (r == 0) {
                pending.reset();
                if (trackEnd.isNumeric() && trackEnd > pts)
                    duration = trackEnd - pts;
                else
                    duration = lastDuration;
            } else {
                if (nextPts <= range.start)
                    continue; // wholly before the range
                duration = nextPts - pts;
                lastDuration = duration;
            }
            PixelBufferPtr buffer = convert(frame.get(), &error);
            if (!buffer)
                return failed(shared, error);
            return sample(buffer, pts, duration);
        }
    }

    // Per output time: the instruction covering it, its layers from the top down to the first
    // opaque one, each track's frame at that time, blended upwards over black.
    SampleBufferPtr nextCompositionSample(AssetReader::Shared& shared)
    {
        foundation::ErrorPtr error;
        const Time t = range.start + multiply(composition.frameDuration, static_cast<int32_t>(index));
        if (t >= range.end())
            return end(shared);
        const VideoCompositionInstruction* instruction = nullptr;
        for (const auto& candidate : composition.instructions)
            if (candidate.timeRange.containsTime(t)) {
                instruction = &candidate;
                break;
            }
        struct Visible {
            Layer* layer;
            double opacity;
        };
        std::vector<Visible> visible;
        if (instruction) {
            for (const auto& li : instruction->layerInstructions) {
                const double opacity = std::clamp(li.opacityAtTime(t), 0.0, 1.0);
                Layer* layer = layerFor(li.trackID);
                if (!layer || opacity <= 0)
                    continue;
                TrackFrames::Frame frame;
                const int r = layer->frames.frameAt(t, frame, &error);
                if (r < 0)
                    return failed(shared, error);
                if (r == 0)
                    continue;
                if (!layer->buffer || layer->serial != frame.serial) {
                    layer->buffer = convert(frame.frame, &error);
                    if (!layer->buffer)
                        return failed(shared, error);
                    layer->serial = frame.serial;
                }
                visible.push_back({layer, opacity});
                if (opacity >= 1)
                    break;
            }
        }
        PixelBufferPtr out;
        if (visible.size() == 1 && visible.front().opacity >= 1) {
            out = visible.front().layer->buffer; // nothing to blend: the frame as converted
        } else {
            out = blank(&error);
            if (!out)
                return failed(shared, error);
            PixelBufferLock lock(*out);
            for (auto it = visible.rbegin(); it != visible.rend(); ++it) {
                PixelBufferLock read(*it->layer->buffer, PixelBufferLockReadOnly);
                blendInto(*out, *it->layer->buffer, it->opacity);
            }
        }
        ++index;
        return sample(out, t, composition.frameDuration);
    }

    Layer* layerFor(int32_t trackID)
    {
        for (auto& layer : layers)
            if (layer->trackID == trackID)
                return layer.get();
        return nullptr;
    }

    // A black frame of the output's size and format.
    PixelBufferPtr blank(foundation::ErrorPtr* error)
    {
        PixelBufferPtr buffer = newBuffer(settings.width, settings.height);
        ff::FramePtr frame = buffer ? detail::wrapPixelBuffer(buffer) : nullptr;
        if (!frame) {
            *error = makeMediaError(AVErrorOutOfMemory, "The movie could not be read.", "Out of memory.");
            return nullptr;
        }
        detail::fillBlack(frame.get(), detail::isFullRangeFormat(settings.format));
        if (!buffer->isPlanar()) {
            // Opaque black: the alpha byte leads in ARGB and trails in BGRA.
            const size_t alpha = settings.format == PixelFormatType_32ARGB ? 0 : 3;
            PixelBufferLock lock(*buffer);
            for (size_t y = 0; y < buffer->height(); ++y) {
                auto* row = static_cast<uint8_t*>(buffer->baseAddress()) + y * buffer->bytesPerRow();
                for (size_t x = 0; x < buffer->width(); ++x)
                    row[x * 4 + alpha] = 255;
            }
        }
        return buffer;
    }

    SampleBufferPtr failed(AssetReader::Shared& shared, foundation::ErrorPtr error)
    {
        ended = true;
        release();
        shared.fail(std::move(error));
        return nullptr;
    }

    SampleBufferPtr end(AssetReader::Shared& shared)
    {
        if (!ended) {
            ended = true;
            release();
            shared.outputEnded();
        }
        return nullptr;
    }

    void release()
    {
        decoder.reset();
        pending.reset();
        layers.clear();
    }
};

AssetReaderOutput::~AssetReaderOutput() = default;

SampleBufferPtr AssetReaderOutput::copyNextSampleBuffer()
{
    auto shared = m_impl->reader.lock();
    if (!shared || m_impl->ended || !m_impl->started || !shared->reading())
        return nullptr;
    return m_impl->kind == Impl::Kind::Track ? m_impl->nextTrackSample(*shared) : m_impl->nextCompositionSample(*shared);
}

std::shared_ptr<AssetReaderTrackOutput> AssetReaderTrackOutput::assetReaderTrackOutputWithTrack(
    const AssetTrackPtr& track, const foundation::Value& outputSettings)
{
    if (!track || track->mediaType() != AVMediaTypeVideo)
        throw foundation::Exception(foundation::NSInvalidArgumentException, "A track output needs a video track");
    std::shared_ptr<AssetReaderTrackOutput> output(new AssetReaderTrackOutput);
    output->m_mediaType = AVMediaTypeVideo;
    output->m_settings = outputSettings;
    output->m_impl = std::make_unique<Impl>();
    output->m_impl->settings = readSettings(outputSettings);
    output->m_impl->tracks = {track};
    return output;
}

const AssetTrackPtr& AssetReaderTrackOutput::track() const { return m_impl->tracks.front(); }

std::shared_ptr<AssetReaderVideoCompositionOutput>
AssetReaderVideoCompositionOutput::assetReaderVideoCompositionOutputWithVideoTracks(
    const std::vector<AssetTrackPtr>& videoTracks, const foundation::Value& videoSettings)
{
    if (videoTracks.empty())
        throw foundation::Exception(foundation::NSInvalidArgumentException, "A composition output needs video tracks");
    for (const auto& t : videoTracks)
        if (!t || t->mediaType() != AVMediaTypeVideo)
            throw foundation::Exception(foundation::NSInvalidArgumentException,
                                        "A composition output takes video tracks only");
    std::shared_ptr<AssetReaderVideoCompositionOutput> output(new AssetReaderVideoCompositionOutput);
    output->m_mediaType = AVMediaTypeVideo;
    output->m_settings = videoSettings;
    output->m_impl = std::make_unique<Impl>();
    output->m_impl->kind = Impl::Kind::Composition;
    output->m_impl->settings = readSettings(videoSettings);
    output->m_impl->tracks = videoTracks;
    return output;
}

const std::vector<AssetTrackPtr>& AssetReaderVideoCompositionOutput::videoTracks() const { return m_impl->tracks; }
const VideoComposition& AssetReaderVideoCompositionOutput::videoComposition() const { return m_impl->composition; }

void AssetReaderVideoCompositionOutput::setVideoComposition(const VideoComposition& composition)
{
    if (!m_impl->started)
        m_impl->composition = composition;
}

// --- AssetReader ---

std::shared_ptr<AssetReader> AssetReader::assetReaderWithAsset(const AssetPtr& asset, foundation::ErrorPtr* error)
{
    if (!asset)
        throw foundation::Exception(foundation::NSInvalidArgumentException, "An asset reader needs an asset");
    asset->tracks(); // loads, if nobody has yet
    foundation::ErrorPtr loadError;
    if (asset->statusOfValueForKey("tracks", &loadError) == KeyValueStatus::Failed) {
        if (error)
            *error = loadError;
        return nullptr;
    }
    std::shared_ptr<AssetReader> reader(new AssetReader);
    reader->m_asset = asset;
    reader->m_shared = std::make_shared<Shared>();
    reader->m_shared->path = asset->URL().path();
    return reader;
}

AssetReader::~AssetReader() = default;

AssetReader::Status AssetReader::status() const
{
    std::lock_guard lock(m_shared->mutex);
    return m_shared->status;
}

foundation::ErrorPtr AssetReader::error() const
{
    std::lock_guard lock(m_shared->mutex);
    return m_shared->status == Status::Failed ? m_shared->error : nullptr;
}

TimeRange AssetReader::timeRange() const
{
    std::lock_guard lock(m_shared->mutex);
    return m_shared->timeRange;
}

void AssetReader::setTimeRange(const TimeRange& range)
{
    std::lock_guard lock(m_shared->mutex);
    if (m_shared->status != Status::Unknown)
        throw foundation::Exception(foundation::NSInternalInconsistencyException,
                                    "The time range cannot change once reading has started");
    if (!range.isValid())
        throw foundation::Exception(foundation::NSInvalidArgumentException, "The time range must be valid");
    m_shared->timeRange = range;
}

bool AssetReader::canAddOutput(const AssetReaderOutputPtr& output) const
{
    if (!output || output->impl().attached || status() != Status::Unknown)
        return false;
    for (const auto& track : output->impl().tracks)
        if (!m_asset->trackWithTrackID(track->trackID()))
            return false;
    return true;
}

void AssetReader::addOutput(const AssetReaderOutputPtr& output)
{
    if (!canAddOutput(output))
        throw foundation::Exception(foundation::NSInvalidArgumentException,
                                    "The output cannot be added (already used, reading started, or foreign tracks)");
    output->impl().attached = true;
    output->impl().reader = m_shared;
    m_outputs.push_back(output);
}

bool AssetReader::startReading()
{
    TimeRange range;
    {
        std::lock_guard lock(m_shared->mutex);
        if (m_shared->status != Status::Unknown)
            return false;
        range = m_shared->timeRange;
    }
    auto fail = [&](foundation::ErrorPtr e) {
        std::lock_guard lock(m_shared->mutex);
        m_shared->status = Status::Failed;
        m_shared->error = std::move(e);
        for (auto& o : m_outputs)
            o->impl().release();
        return false;
    };
    for (auto& output : m_outputs) {
        auto& impl = output->impl();
        AssetTrackPtr track = impl.tracks.front();
        using Kind = AssetReaderOutput::Impl::Kind;
        if (impl.kind == Kind::Track && track->isCompositionTrack()) {
            // A composition's track is read like a composition of that track alone, one frame
            // per frame of the media it shows.
            const double rate = track->nominalFrameRate();
            const Time frame = rate > 0 ? Time::makeWithSeconds(1.0 / rate, 60000) : Time::make(1, 30);
            impl.composition = VideoComposition::passThrough(*track, frame, TimeRange::make(Time::zero(), track->timeRange().end()));
            if (impl.settings.width && impl.settings.height)
                impl.composition.renderSize = graphics::Size::make(impl.settings.width, impl.settings.height);
            impl.kind = Kind::Composition;
        }
        impl.range = range;
        if (impl.kind == Kind::Composition) {
            const auto& c = impl.composition;
            if (!c.frameDuration.isNumeric() || c.frameDuration <= Time::zero() || c.renderSize.width < 1
                || c.renderSize.height < 1 || c.renderSize.width > 16384 || c.renderSize.height > 16384)
                return fail(makeMediaError(AVErrorInvalidVideoComposition, "The movie could not be read.",
                                           "The video composition needs a positive frame duration and render size."));
            impl.settings.width = static_cast<int>(std::lround(c.renderSize.width));
            impl.settings.height = static_cast<int>(std::lround(c.renderSize.height));
            // The output ends with the last of the tracks it shows.
            Time end = Time::zero();
            for (const auto& t : impl.tracks) {
                bool shown = false;
                for (const auto& instruction : c.instructions)
                    for (const auto& layer : instruction.layerInstructions)
                        shown = shown || layer.trackID == t->trackID();
                if (!shown)
                    continue;
                auto layer = std::make_unique<AssetReaderOutput::Impl::Layer>();
                layer->trackID = t->trackID();
                foundation::ErrorPtr error;
                if (!layer->frames.setUp(*t, m_shared->path, &error))
                    return fail(error);
                impl.layers.push_back(std::move(layer));
                end = maximum(end, t->timeRange().end());
            }
            impl.trackEnd = end;
            if (range.end() > end && end.isNumeric() && end > Time::zero())
                impl.range = TimeRange::fromTimeToTime(range.start, end);
        } else {
            foundation::ErrorPtr error;
            impl.decoder = TrackDecoder::open(track->filePath().empty() ? m_shared->path : track->filePath(),
                                              track->streamIndex(), &error);
            if (!impl.decoder)
                return fail(error);
            impl.trackEnd = track->timeRange().end();
            impl.decoder->seek(range.start);
        }
        impl.started = true;
    }
    std::lock_guard lock(m_shared->mutex);
    m_shared->outputCount = m_outputs.size();
    m_shared->status = m_outputs.empty() ? Status::Completed : Status::Reading;
    return true;
}

void AssetReader::cancelReading()
{
    std::lock_guard lock(m_shared->mutex);
    if (m_shared->status == Status::Reading || m_shared->status == Status::Unknown)
        m_shared->status = Status::Cancelled;
}

} // namespace media
