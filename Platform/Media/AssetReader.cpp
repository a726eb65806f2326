#include "Platform/Media/AssetReader.h"

#include "Platform/Media/FFmpeg.h"
#include "Platform/Media/FrameConverter.h"
#include "Platform/Media/MediaError.h"
#include "Platform/Media/PixelBufferPool.h"
#include "Platform/Media/VideoSettings.h"

#include <cmath>
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
    instruction.layerInstructions.push_back({track.trackID(), graphics::AffineTransform::identity()});
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
        throw foundation::Exception(foundation::InvalidArgumentException,
                                    "Output settings must be a dictionary naming a pixel format");
    Settings s;
    const auto format = settings[PixelBufferPixelFormatTypeKey].integerValue();
    if (!format || (*format != PixelFormatType_420YpCbCr8BiPlanarVideoRange && *format != PixelFormatType_32ARGB
                    && *format != PixelFormatType_32BGRA && *format != PixelFormatType_420YpCbCr8BiPlanarFullRange))
        throw foundation::Exception(foundation::InvalidArgumentException,
                                    "Output settings must give PixelFormatType 420v, 420f, 32ARGB or BGRA");
    s.format = static_cast<OSType>(*format);
    auto dimension = [&](const std::string& key) {
        const auto n = settings[key].integerValue();
        return n && *n > 0 && *n <= 16384 ? static_cast<int>(*n) : 0;
    };
    s.width = dimension(PixelBufferWidthKey);
    s.height = dimension(PixelBufferHeightKey);
    return s;
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

    // Composition output.
    int64_t index = 0;
    ff::FramePtr current;
    Time currentPts = Time::invalid();
    PixelBufferPtr currentBuffer;
    ff::FramePtr upcoming;
    Time upcomingPts = Time::invalid();
    bool primed = false;
    bool sourceEnded = false;

    PixelBufferPtr convert(const AVFrame* frame, foundation::ErrorPtr* error)
    {
        const int w = settings.width ? settings.width : frame->width;
        const int h = settings.height ? settings.height : frame->height;
        if (!pool || pool->width() != size_t(w) || pool->height() != size_t(h)) {
            PixelBufferAttributes attributes;
            attributes.propagatedAttachments[ImageBufferColorPrimariesKey] = ImageBufferColorPrimaries_ITU_R_709_2;
            attributes.propagatedAttachments[ImageBufferTransferFunctionKey] = ImageBufferTransferFunction_ITU_R_709_2;
            attributes.propagatedAttachments[ImageBufferYCbCrMatrixKey] = ImageBufferYCbCrMatrix_ITU_R_709_2;
            pool = PixelBufferPool::create({}, size_t(w), size_t(h), settings.format, attributes);
        }
        PixelBufferPtr buffer = pool ? pool->createPixelBuffer() : nullptr;
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

    SampleBufferPtr nextCompositionSample(AssetReader::Shared& shared)
    {
        foundation::ErrorPtr error;
        const Time t = range.start + multiply(composition.frameDuration, static_cast<int32_t>(index));
        if (t >= range.end())
            return end(shared);
        if (!primed) {
            primed = true;
            const int r = decoder->next(current, currentPts, &error);
            if (r < 0)
                return failed(shared, error);
            if (r == 0)
                return end(shared);
            if (!advance(&error))
                return failed(shared, error);
        }
        // Show the last source frame that starts at or before t: a frame lasting several
        // output frames repeats, frames shorter than one output frame are skipped.
        while (upcoming && upcomingPts <= t) {
            current = std::move(upcoming);
            currentPts = upcomingPts;
            currentBuffer.reset();
            if (!advance(&error))
                return failed(shared, error);
        }
        if (sourceEnded && !upcoming && trackEnd.isNumeric() && t >= trackEnd)
            return end(shared);
        if (!currentBuffer) {
            currentBuffer = convert(current.get(), &error);
            if (!currentBuffer)
                return failed(shared, error);
        }
        ++index;
        return sample(currentBuffer, t, composition.frameDuration);
    }

    bool advance(foundation::ErrorPtr* error)
    {
        if (sourceEnded)
            return true;
        const int r = decoder->next(upcoming, upcomingPts, error);
        if (r < 0)
            return false;
        if (r == 0) {
            upcoming.reset();
            sourceEnded = true;
        }
        return true;
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
        current.reset();
        upcoming.reset();
        currentBuffer.reset();
    }
};

AssetReaderOutput::~AssetReaderOutput() = default;

SampleBufferPtr AssetReaderOutput::copyNextSampleBuffer()
{
    auto shared = m_impl->reader.lock();
    if (!shared || m_impl->ended || !m_impl->decoder || !shared->reading())
        return nullptr;
    return m_impl->kind == Impl::Kind::Track ? m_impl->nextTrackSample(*shared) : m_impl->nextCompositionSample(*shared);
}

std::shared_ptr<AssetReaderTrackOutput> AssetReaderTrackOutput::assetReaderTrackOutputWithTrack(
    const AssetTrackPtr& track, const foundation::Value& outputSettings)
{
    if (!track || track->mediaType() != AVMediaTypeVideo)
        throw foundation::Exception(foundation::InvalidArgumentException, "A track output needs a video track");
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
        throw foundation::Exception(foundation::InvalidArgumentException, "A composition output needs video tracks");
    for (const auto& t : videoTracks)
        if (!t || t->mediaType() != AVMediaTypeVideo)
            throw foundation::Exception(foundation::InvalidArgumentException,
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
    if (!m_impl->decoder)
        m_impl->composition = composition;
}

// --- AssetReader ---

std::shared_ptr<AssetReader> AssetReader::assetReaderWithAsset(const AssetPtr& asset, foundation::ErrorPtr* error)
{
    if (!asset)
        throw foundation::Exception(foundation::InvalidArgumentException, "An asset reader needs an asset");
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
        throw foundation::Exception(foundation::InternalInconsistencyException,
                                    "The time range cannot change once reading has started");
    if (!range.isValid())
        throw foundation::Exception(foundation::InvalidArgumentException, "The time range must be valid");
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
        throw foundation::Exception(foundation::InvalidArgumentException,
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
        if (impl.kind == AssetReaderOutput::Impl::Kind::Composition) {
            const auto& c = impl.composition;
            if (!c.frameDuration.isNumeric() || c.frameDuration <= Time::zero() || c.renderSize.width < 1
                || c.renderSize.height < 1 || c.renderSize.width > 16384 || c.renderSize.height > 16384)
                return fail(makeMediaError(AVErrorInvalidVideoComposition, "The movie could not be read.",
                                           "The video composition needs a positive frame duration and render size."));
            for (const auto& instruction : c.instructions)
                for (const auto& layer : instruction.layerInstructions)
                    for (const auto& t : impl.tracks)
                        if (t->trackID() == layer.trackID && track == impl.tracks.front())
                            track = t;
            impl.settings.width = static_cast<int>(std::lround(c.renderSize.width));
            impl.settings.height = static_cast<int>(std::lround(c.renderSize.height));
        }
        foundation::ErrorPtr error;
        impl.decoder = TrackDecoder::open(m_shared->path, track->streamIndex(), &error);
        if (!impl.decoder)
            return fail(error);
        impl.range = range;
        impl.trackEnd = track->timeRange().end();
        if (range.end() > impl.trackEnd && impl.trackEnd.isNumeric() && impl.trackEnd > Time::zero()
            && impl.kind == AssetReaderOutput::Impl::Kind::Composition)
            impl.range = TimeRange::fromTimeToTime(range.start, impl.trackEnd);
        impl.decoder->seek(range.start);
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
