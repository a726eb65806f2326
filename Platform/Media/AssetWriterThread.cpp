// The writer's thread: converts and encodes the queued frames, and completes, renames or
// discards the file.
#include "Platform/Media/AssetWriterImpl.h"

#include "Platform/Media/MediaError.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <unistd.h>

namespace media {

namespace detail {

foundation::ErrorPtr writeError(const std::string& reason, int averror)
{
    const long code = averror == AVERROR(ENOSPC) || averror == AVERROR(EFBIG) ? AVErrorDiskFull : AVErrorUnknown;
    return makeMediaError(code, "The movie could not be written.", reason, averror);
}

} // namespace detail

using namespace detail;

namespace {

int64_t ticks(const Time& t)
{
    return t.convertScale(MovieTimeBase.den).value;
}

} // namespace

void AssetWriter::Impl::run()
{
    for (;;) {
        std::optional<WriterJob> job;
        bool finishing = false;
        {
            std::unique_lock lock(mutex);
            changed.wait(lock, [&] {
                return cancelRequested || shutdown || status != Status::Writing || !jobs.empty() || finishRequested;
            });
            if (cancelRequested || shutdown || status != Status::Writing)
                break;
            if (!jobs.empty()) {
                const bool wasFull = jobs.size() >= WriterQueueCapacity;
                job = std::move(jobs.front());
                jobs.pop_front();
                changed.notify_all();
                if (wasFull)
                    pumpLocked();
            } else {
                finishing = true;
            }
        }
        if (finishing) {
            finalize();
            return;
        }
        foundation::ErrorPtr e;
        if (!process(*job, &e))
            fail(namingTheFile(std::move(e)));
    }
    // Cancelled, failed or abandoned: nothing of the movie stays.
    discardOutput();
    std::function<void()> handler;
    {
        std::unique_lock lock(mutex);
        jobs.clear();
        if (!cancelRequested && !shutdown) {
            // Failed: the thread stays for finishWriting's handler.
            changed.wait(lock, [&] { return cancelRequested || shutdown || finishRequested; });
        }
        handler = std::move(completion);
        completion = nullptr;
    }
    if (handler)
        handler();
}

foundation::ErrorPtr AssetWriter::Impl::namingTheFile(foundation::ErrorPtr e) const
{
    // A full disk is told as such, with the movie it stopped, not as a frame that failed.
    if (e && e->code() == AVErrorDiskFull)
        return fileError(partial && partial->failedWrite() == EFBIG ? EFBIG : ENOSPC, finalPath);
    return e;
}

void AssetWriter::Impl::discardOutput()
{
    encoder.reset();
    held.reset();
    output.reset();
    partial.reset();
}

bool AssetWriter::Impl::process(detail::WriterJob& job, foundation::ErrorPtr* e)
{
    if (held) {
        if (!encodeHeld(job.pts - held->pts, e))
            return false;
    }
    held = std::move(job);
    // The held frame waits for the next one's time only; in the encoder's format it lets
    // its source buffer go a frame earlier, and in 4:2:0 it is less than half the size.
    if (encoder && held->buffer) {
        int rc = 0;
        held->frame = encoder->frameFromPixelBuffer(held->buffer, &rc);
        if (!held->frame) {
            held.reset();
            *e = writeError("A frame could not be converted for the encoder.", rc);
            return false;
        }
        held->buffer.reset();
    }
    return true;
}

bool AssetWriter::Impl::openEncoder(const detail::WriterJob& first, const Time& duration, foundation::ErrorPtr* e)
{
    AVRational rate{30, 1};
    if (config.expectedFrameRate)
        rate = av_d2q(*config.expectedFrameRate, 100000);
    else if (duration.isNumeric() && duration.seconds() > 0)
        rate = av_d2q(1.0 / duration.seconds(), 100000);
    encoder = detail::VideoEncoder::open(config, first.buffer->pixelFormatType(), rate, MovieTimeBase,
                                         output->oformat->flags & AVFMT_GLOBALHEADER, e);
    if (!encoder)
        return false;
    decodeTimes.emplace(encoder->reorderDelay());
    int rc = avcodec_parameters_from_context(stream->codecpar, encoder->context());
    if (rc < 0) {
        *e = writeError("The stream could not be set up.", rc);
        return false;
    }
    stream->codecpar->codec_tag = encoder->codecTag();
    stream->time_base = MovieTimeBase;
    stream->avg_frame_rate = rate;
    if (!(transform == graphics::AffineTransform::identity())) {
        auto* matrix = reinterpret_cast<int32_t*>(
            av_stream_new_side_data(stream, AV_PKT_DATA_DISPLAYMATRIX, 9 * sizeof(int32_t)));
        if (!matrix) {
            *e = writeError("Out of memory.", AVERROR(ENOMEM));
            return false;
        }
        auto fixed = [](double v) {
            return static_cast<int32_t>(std::clamp(std::lround(v * 65536.0), -2147483647L, 2147483647L));
        };
        const int32_t values[9] = {fixed(transform.a), fixed(transform.b), 0, fixed(transform.c), fixed(transform.d),
                                   0, fixed(transform.tx), fixed(transform.ty), 1 << 30};
        std::memcpy(matrix, values, sizeof values);
    }
    ff::Dictionary options;
    // The first frame shows at time zero even with B-frames, metadata keys survive as
    // given, and MPEG-4 files carry their colour tags too.
    options.set("movflags", "+negative_cts_offsets+use_metadata_tags+write_colr");
    if (brand)
        options.set("brand", brand);
    rc = avformat_write_header(output.get(), options.get());
    if (rc < 0) {
        *e = writeError("The movie header could not be written.", rc);
        return false;
    }
    return true;
}

bool AssetWriter::Impl::encodeHeld(Time duration, foundation::ErrorPtr* e)
{
    WriterJob job = std::move(*held);
    held.reset();
    if (!encoder && !openEncoder(job, duration, e))
        return false;
    int rc = 0;
    ff::FramePtr frame = job.frame ? std::move(job.frame) : encoder->frameFromPixelBuffer(job.buffer, &rc);
    job.buffer.reset();
    if (!frame) {
        *e = writeError("A frame could not be converted for the encoder.", rc);
        return false;
    }
    int64_t pts = ticks(job.pts - sessionStart);
    if (pts <= lastTicks)
        pts = lastTicks + 1; // two frames closer than one tick: keep them apart
    lastTicks = pts;
    frame->pts = pts;
    durations[pts] = std::max<int64_t>(1, duration.isNumeric() ? ticks(duration) : 1);
    lastDuration = duration;
    rc = encoder->send(frame.get());
    if (rc < 0) {
        *e = writeError("The encoder refused a frame.", rc);
        return false;
    }
    decodeTimes->frameSent(pts, durations[pts]);
    return drain(e);
}

bool AssetWriter::Impl::drain(foundation::ErrorPtr* e)
{
    ff::PacketPtr packet = ff::makePacket();
    for (;;) {
        int rc = encoder->receive(packet.get());
        if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF)
            return true;
        if (rc < 0) {
            *e = writeError("The encoder failed.", rc);
            return false;
        }
        auto it = durations.find(packet->pts);
        if (it != durations.end()) {
            packet->duration = it->second;
            durations.erase(it);
        }
        if (!decodeTimes->check(packet->pts, packet->dts)) {
            *e = makeMediaError(AVErrorUnknown, "The movie could not be written.",
                                "The video encoder gave a frame a time that cannot be stored.");
            return false;
        }
        packet->stream_index = stream->index;
        av_packet_rescale_ts(packet.get(), MovieTimeBase, stream->time_base);
        rc = av_write_frame(output.get(), packet.get());
        av_packet_unref(packet.get());
        if (rc < 0) {
            *e = writeError("A frame could not be written.", rc);
            return false;
        }
    }
}

bool AssetWriter::Impl::complete(foundation::ErrorPtr* e)
{
    if (held) {
        Time duration = Time::invalid();
        Time sessionEnd;
        {
            std::lock_guard lock(mutex);
            sessionEnd = this->sessionEnd;
        }
        if (sessionEnd.isNumeric())
            duration = sessionEnd - held->pts;
        else if (held->duration.isNumeric() && held->duration.seconds() > 0)
            duration = held->duration;
        else if (lastDuration.isNumeric())
            duration = lastDuration;
        else
            duration = Time::make(1, 30);
        if (!encodeHeld(duration, e))
            return false;
    }
    if (!encoder) {
        *e = makeMediaError(AVErrorUnknown, "The movie could not be written.", "No frames were written.");
        return false;
    }
    int rc = encoder->send(nullptr);
    if (rc < 0 && rc != AVERROR_EOF) {
        *e = writeError("The encoder could not be flushed.", rc);
        return false;
    }
    if (!drain(e))
        return false;
    rc = av_write_trailer(output.get());
    if (rc < 0) {
        *e = writeError("The movie could not be completed.", rc);
        return false;
    }
    output.reset();
    encoder.reset();
    if (const int err = partial->flush()) {
        *e = fileError(err, finalPath);
        return false;
    }
    return true;
}

void AssetWriter::Impl::finalize()
{
    foundation::ErrorPtr e;
    const bool ok = complete(&e);
    std::function<void()> handler;
    {
        std::lock_guard lock(mutex);
        if (status == Status::Writing && !cancelRequested) {
            const int err = ok ? partial->commit(finalPath, true) : 0;
            if (ok && !err)
                status = Status::Completed;
            else
                failLocked(ok ? fileError(err, err == ESTALE ? partial->path() : finalPath) : namingTheFile(std::move(e)));
        }
        handler = std::move(completion);
        completion = nullptr;
        requestBlock = nullptr;
    }
    discardOutput();
    if (handler)
        handler();
}

} // namespace media
