#include "Platform/Media/AssetWriter.h"

#include "Platform/Foundation/TemporaryFolder.h"
#include "Platform/Media/AssetWriterInternal.h"
#include "Platform/Media/FFmpeg.h"
#include "Platform/Media/MediaError.h"
#include "Platform/Media/VideoEncoder.h"
#include "Platform/Media/VideoSettings.h"

#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <optional>
#include <random>
#include <thread>
#include <unistd.h>

namespace media {

namespace {

// Frames waiting for the encoder thread. One is enough to keep the encoder fed (the appending
// thread waits with the next one, and sources decode ahead on their own), and every queued
// frame pins a source pixel buffer: 96 MB for a 24-megapixel photo.
constexpr size_t QueueCapacity = 1;
// Frame times inside the movie: a clock that holds the common frame rates (24, 25, 30, 60,
// 30000/1001) and the 1/600 s grid exactly.
constexpr AVRational MovieTimeBase{1, 90000};

struct Job {
    PixelBufferPtr buffer; // until converted into `frame`
    Time pts;
    Time duration;
    ff::FramePtr frame;
};

foundation::ErrorPtr writeError(const std::string& reason, int averror = 0)
{
    const long code = averror == AVERROR(ENOSPC) ? AVErrorDiskFull : AVErrorUnknown;
    return makeMediaError(code, "The movie could not be written.", reason, averror);
}

foundation::ErrorPtr fileError(int err, const std::string& path)
{
    foundation::Error::UserInfo info;
    info[foundation::LocalizedDescriptionKey].text = "The movie could not be saved.";
    info[foundation::LocalizedFailureReasonErrorKey].text = std::string(std::strerror(err)) + ": " + path;
    info[foundation::FilePathErrorKey].text = path;
    info[foundation::UnderlyingErrorKey].error = foundation::Error::posix(err, path);
    return foundation::Error::make(AVFoundationErrorDomain, err == ENOSPC ? AVErrorDiskFull : AVErrorUnknown,
                                   std::move(info));
}

int64_t ticks(const Time& t)
{
    return t.convertScale(MovieTimeBase.den).value;
}

} // namespace

struct AssetWriter::Impl : std::enable_shared_from_this<AssetWriter::Impl> {
    foundation::URL url = foundation::URL::fileURLWithPath("/");
    std::string fileType;
    const char* muxer = "mov";
    const char* brand = nullptr;

    mutable std::mutex mutex;
    std::condition_variable changed;
    Status status = Status::Unknown;
    foundation::ErrorPtr error;
    std::vector<MetadataItem> metadata;
    AssetWriterInputPtr input;
    bool sessionStarted = false;
    Time sessionStart = Time::invalid();
    Time sessionEnd = Time::invalid();
    Time lastAppended = Time::invalid();
    std::deque<Job> jobs;
    bool inputFinished = false;
    bool finishRequested = false;
    bool cancelRequested = false;
    bool shutdown = false;
    std::function<void()> completion;
    dispatch::QueuePtr requestQueue;
    std::function<void()> requestBlock;
    bool requestScheduled = false;
    size_t appendsDuringRequest = 0;
    std::thread worker;

    // Touched by startWriting before the worker runs, then by the worker only.
    std::string finalPath;
    std::string tempPath;
    ff::OutputContextPtr output;
    AVStream* stream = nullptr;
    detail::EncoderConfig config;
    graphics::AffineTransform transform;
    std::unique_ptr<detail::VideoEncoder> encoder;
    std::optional<Job> held;
    std::map<int64_t, int64_t> durations;
    int64_t lastTicks = -1;
    Time lastDuration = Time::invalid();

    bool readyLocked() const
    {
        return status == Status::Writing && !inputFinished && !finishRequested && jobs.size() < QueueCapacity;
    }

    void failLocked(foundation::ErrorPtr e)
    {
        if (status != Status::Writing)
            return;
        status = Status::Failed;
        error = std::move(e);
        requestBlock = nullptr;
        changed.notify_all();
    }

    void fail(foundation::ErrorPtr e)
    {
        std::lock_guard lock(mutex);
        failLocked(std::move(e));
    }

    // Calls the request block on its queue when the input is ready and no call is pending.
    void pumpLocked()
    {
        if (!requestBlock || !requestQueue || requestScheduled || !readyLocked())
            return;
        requestScheduled = true;
        std::weak_ptr<Impl> weak = weak_from_this();
        requestQueue->async([weak] {
            auto self = weak.lock();
            if (!self)
                return;
            std::function<void()> block;
            {
                std::lock_guard lock(self->mutex);
                self->appendsDuringRequest = 0;
                if (self->readyLocked())
                    block = self->requestBlock;
            }
            if (block)
                block();
            std::lock_guard lock(self->mutex);
            self->requestScheduled = false;
            // A block that appended nothing waits for the next change of readiness; calling
            // it again at once would spin.
            if (self->appendsDuringRequest > 0)
                self->pumpLocked();
        });
    }

    bool append(const PixelBufferPtr& buffer, const Time& pts, const Time& duration)
    {
        std::unique_lock lock(mutex);
        if (status != Status::Writing || inputFinished || finishRequested)
            return false;
        if (!sessionStarted)
            throw foundation::Exception(foundation::InternalInconsistencyException,
                                        "Cannot append a frame before startSessionAtSourceTime");
        if (!buffer || detail::avPixelFormat(buffer->pixelFormatType()) == AV_PIX_FMT_NONE) {
            failLocked(makeMediaError(AVErrorInvalidSourceMedia, "The movie could not be written.",
                                      buffer ? "Unsupported pixel format " + pixelFormatName(buffer->pixelFormatType())
                                             : "A frame has no image."));
            return false;
        }
        // Frames outside the session are accepted and dropped, as the session trims them.
        if (pts.isNumeric() && (pts < sessionStart || (sessionEnd.isNumeric() && pts >= sessionEnd)))
            return true;
        if (!pts.isNumeric() || (lastAppended.isValid() && pts <= lastAppended)) {
            failLocked(makeMediaError(AVErrorUnknown, "The movie could not be written.",
                                      "Frame times must increase; got " + pts.description() + " after "
                                          + lastAppended.description() + "."));
            return false;
        }
        changed.wait(lock, [&] { return jobs.size() < QueueCapacity || status != Status::Writing; });
        if (status != Status::Writing)
            return false;
        jobs.push_back(Job{buffer, pts, duration, nullptr});
        lastAppended = pts;
        ++appendsDuringRequest;
        changed.notify_all();
        return true;
    }

    // --- the writer's thread ---

    void run()
    {
        for (;;) {
            std::optional<Job> job;
            bool finishing = false;
            {
                std::unique_lock lock(mutex);
                changed.wait(lock, [&] {
                    return cancelRequested || shutdown || status != Status::Writing || !jobs.empty() || finishRequested;
                });
                if (cancelRequested || shutdown || status != Status::Writing)
                    break;
                if (!jobs.empty()) {
                    const bool wasFull = jobs.size() >= QueueCapacity;
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
                fail(e);
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

    void discardOutput()
    {
        encoder.reset();
        held.reset();
        output.reset();
        if (!tempPath.empty()) {
            ::unlink(tempPath.c_str());
            foundation::TemporaryFolder::unregisterItem(tempPath);
            tempPath.clear();
        }
    }

    bool process(Job& job, foundation::ErrorPtr* e)
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

    bool openEncoder(const Job& first, const Time& duration, foundation::ErrorPtr* e)
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

    bool encodeHeld(Time duration, foundation::ErrorPtr* e)
    {
        Job job = std::move(*held);
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
        return drain(e);
    }

    bool drain(foundation::ErrorPtr* e)
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

    bool complete(foundation::ErrorPtr* e)
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
        if (rc >= 0)
            rc = avio_closep(&output->pb);
        if (rc < 0) {
            *e = writeError("The movie could not be completed.", rc);
            return false;
        }
        output.reset();
        encoder.reset();
        // The bytes must be on disk before the name points at them, or a crash could leave a
        // truncated movie where the user's file was.
        const int fd = ::open(tempPath.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0 || ::fsync(fd) != 0) {
            const int err = errno;
            if (fd >= 0)
                ::close(fd);
            *e = fileError(err, tempPath);
            return false;
        }
        ::close(fd);
        return true;
    }

    void finalize()
    {
        foundation::ErrorPtr e;
        const bool ok = complete(&e);
        std::function<void()> handler;
        {
            std::lock_guard lock(mutex);
            if (status == Status::Writing && !cancelRequested) {
                if (ok && ::rename(tempPath.c_str(), finalPath.c_str()) == 0) {
                    foundation::TemporaryFolder::unregisterItem(tempPath);
                    tempPath.clear();
                    status = Status::Completed;
                } else {
                    failLocked(ok ? fileError(errno, finalPath) : e);
                }
            }
            handler = std::move(completion);
            completion = nullptr;
            requestBlock = nullptr;
        }
        discardOutput();
        if (handler)
            handler();
    }

    bool start()
    {
        std::unique_lock lock(mutex);
        if (status != Status::Unknown)
            return false;
        auto fail = [&](foundation::ErrorPtr e) {
            status = Status::Failed;
            error = std::move(e);
            return false;
        };
        if (!input)
            return fail(makeMediaError(AVErrorUnknown, "The movie could not be written.", "The writer has no input."));
        auto& in = input->impl();
        {
            std::lock_guard inputLock(in.mutex);
            config = in.config;
            transform = in.transform;
        }

        ff::configureLogging();
        AVFormatContext* raw = nullptr;
        int rc = avformat_alloc_output_context2(&raw, nullptr, muxer, nullptr);
        if (rc < 0 || !raw)
            return fail(writeError("The container could not be set up.", rc));
        output.reset(raw);
        for (const auto& item : metadata)
            if (auto value = item.fileValue())
                av_dict_set(&output->metadata, item.fileKey().c_str(), value->c_str(), 0);
        stream = avformat_new_stream(output.get(), nullptr);
        if (!stream)
            return fail(writeError("Out of memory.", AVERROR(ENOMEM)));

        // A hidden file beside the destination, so the final rename stays on one file system.
        const std::filesystem::path destination(finalPath);
        std::random_device random;
        int fd = -1;
        for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
            char suffix[16];
            std::snprintf(suffix, sizeof suffix, "%08x", static_cast<unsigned>(random()));
            tempPath = (destination.parent_path() / ("." + destination.filename().string() + "." + suffix + ".partial"))
                           .string();
            fd = ::open(tempPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            if (fd < 0 && errno != EEXIST)
                break;
        }
        // Known process-wide, so that a process ending on a signal takes it away first.
        if (fd >= 0)
            foundation::TemporaryFolder::registerItem(tempPath);
        if (fd < 0) {
            const int err = errno;
            tempPath.clear();
            output.reset();
            return fail(fileError(err, finalPath));
        }
        ::close(fd);
        rc = avio_open(&output->pb, ("file:" + tempPath).c_str(), AVIO_FLAG_WRITE);
        if (rc < 0) {
            discardOutput();
            return fail(writeError("The movie file could not be opened.", rc));
        }

        {
            std::lock_guard inputLock(in.mutex);
            if (in.wantsPool) {
                int w = in.poolWidth, h = in.poolHeight;
                if (w <= 0 || h <= 0)
                    detail::encodedSize(config, w, h);
                in.pool = PixelBufferPool::create({}, static_cast<size_t>(w), static_cast<size_t>(h), in.poolFormat);
            }
        }
        status = Status::Writing;
        worker = std::thread([self = shared_from_this()] { self->run(); });
        pumpLocked();
        return true;
    }

    void stopWorker(bool cancel)
    {
        {
            std::lock_guard lock(mutex);
            if (cancel) {
                if (status == Status::Writing) {
                    status = Status::Cancelled;
                    requestBlock = nullptr;
                }
                cancelRequested = true;
            } else {
                shutdown = true;
            }
            changed.notify_all();
        }
        if (worker.joinable()) {
            if (worker.get_id() == std::this_thread::get_id())
                worker.detach();
            else
                worker.join();
        }
    }
};

std::string statusName(AssetWriter::Status status)
{
    switch (status) {
    case AssetWriter::Status::Unknown:
        return "unknown";
    case AssetWriter::Status::Writing:
        return "writing";
    case AssetWriter::Status::Completed:
        return "completed";
    case AssetWriter::Status::Failed:
        return "failed";
    case AssetWriter::Status::Cancelled:
        return "cancelled";
    }
    return "unknown";
}

std::shared_ptr<AssetWriter> AssetWriter::assetWriterWithURL(const foundation::URL& outputURL,
                                                             const std::string& fileType, foundation::ErrorPtr* error)
{
    auto fail = [&](const std::string& reason) -> std::shared_ptr<AssetWriter> {
        if (error)
            *error = makeMediaError(AVErrorUnknown, "The movie could not be written.", reason);
        return nullptr;
    };
    if (!outputURL.isFileURL() || outputURL.path().empty() || outputURL.lastPathComponent() == "/")
        return fail("The output location is not a file: " + outputURL.absoluteString());
    std::shared_ptr<AssetWriter> writer(new AssetWriter);
    writer->m_impl = std::make_shared<Impl>();
    Impl& impl = *writer->m_impl;
    impl.url = outputURL;
    impl.fileType = fileType;
    impl.finalPath = outputURL.path();
    if (fileType == AVFileTypeQuickTimeMovie) {
        impl.muxer = "mov";
    } else if (fileType == AVFileTypeMPEG4) {
        impl.muxer = "mp4";
        impl.brand = "mp42";
    } else if (fileType == AVFileTypeAppleM4V) {
        impl.muxer = "mp4";
        impl.brand = "M4V ";
    } else {
        return fail("Unsupported file type " + fileType);
    }
    return writer;
}

AssetWriter::~AssetWriter()
{
    if (!m_impl)
        return;
    bool finishing = false;
    {
        std::lock_guard lock(m_impl->mutex);
        finishing = m_impl->finishRequested && m_impl->status == Status::Writing;
    }
    // A movie being finished completes on its own (the thread holds what it needs) and calls
    // its handler; anything else is abandoned as if cancelled.
    if (finishing) {
        if (m_impl->worker.joinable())
            m_impl->worker.detach();
        return;
    }
    m_impl->stopWorker(true);
}

const foundation::URL& AssetWriter::outputURL() const { return m_impl->url; }
const std::string& AssetWriter::outputFileType() const { return m_impl->fileType; }

AssetWriter::Status AssetWriter::status() const
{
    std::lock_guard lock(m_impl->mutex);
    return m_impl->status;
}

foundation::ErrorPtr AssetWriter::error() const
{
    std::lock_guard lock(m_impl->mutex);
    return m_impl->status == Status::Failed ? m_impl->error : nullptr;
}

std::vector<MetadataItem> AssetWriter::metadata() const
{
    std::lock_guard lock(m_impl->mutex);
    return m_impl->metadata;
}

void AssetWriter::setMetadata(std::vector<MetadataItem> items)
{
    std::lock_guard lock(m_impl->mutex);
    if (m_impl->status == Status::Unknown)
        m_impl->metadata = std::move(items);
}

std::vector<std::shared_ptr<AssetWriterInput>> AssetWriter::inputs() const
{
    std::lock_guard lock(m_impl->mutex);
    if (m_impl->input)
        return {m_impl->input};
    return {};
}

bool AssetWriter::canAddInput(const std::shared_ptr<AssetWriterInput>& input) const
{
    if (!input)
        return false;
    std::lock_guard lock(m_impl->mutex);
    if (m_impl->status != Status::Unknown || m_impl->input)
        return false;
    auto& in = input->impl();
    std::lock_guard inputLock(in.mutex);
    if (in.attached)
        return false;
    // ProRes lives in QuickTime movies only.
    return !in.config.isProRes() || m_impl->fileType == AVFileTypeQuickTimeMovie;
}

void AssetWriter::addInput(const std::shared_ptr<AssetWriterInput>& input)
{
    if (!canAddInput(input))
        throw foundation::Exception(foundation::InvalidArgumentException,
                                    "The input cannot be added to this writer (one video input, added before "
                                    "writing starts, with a codec the file type holds)");
    std::lock_guard lock(m_impl->mutex);
    auto& in = input->impl();
    std::lock_guard inputLock(in.mutex);
    in.attached = true;
    in.writer = m_impl;
    m_impl->input = input;
}

bool AssetWriter::startWriting()
{
    return m_impl->start();
}

void AssetWriter::startSessionAtSourceTime(const Time& time)
{
    std::lock_guard lock(m_impl->mutex);
    if (m_impl->status != Status::Writing)
        throw foundation::Exception(foundation::InternalInconsistencyException,
                                    "Cannot start a session unless the writer is writing (status is "
                                        + statusName(m_impl->status) + ")");
    if (m_impl->sessionStarted)
        throw foundation::Exception(foundation::InternalInconsistencyException, "The session has already started");
    if (!time.isNumeric())
        throw foundation::Exception(foundation::InvalidArgumentException, "The session start time must be numeric");
    m_impl->sessionStarted = true;
    m_impl->sessionStart = time;
}

void AssetWriter::endSessionAtSourceTime(const Time& time)
{
    std::lock_guard lock(m_impl->mutex);
    if (!m_impl->sessionStarted)
        throw foundation::Exception(foundation::InternalInconsistencyException,
                                    "Cannot end a session that has not started");
    if (!time.isNumeric() || time <= m_impl->sessionStart)
        throw foundation::Exception(foundation::InvalidArgumentException,
                                    "The session end must be a time after the session start");
    // Frames already handed to the encoder cannot be taken back.
    if (m_impl->lastAppended.isValid() && time <= m_impl->lastAppended)
        throw foundation::Exception(foundation::InvalidArgumentException,
                                    "The session end must come after every frame already appended");
    m_impl->sessionEnd = time;
}

void AssetWriter::finishWritingWithCompletionHandler(std::function<void()> handler)
{
    std::unique_lock lock(m_impl->mutex);
    if (m_impl->finishRequested)
        return; // the first request's handler is the one that runs
    m_impl->finishRequested = true;
    m_impl->inputFinished = true;
    m_impl->requestBlock = nullptr;
    if (m_impl->status == Status::Writing || (m_impl->status == Status::Failed && m_impl->worker.joinable())) {
        m_impl->completion = std::move(handler);
        m_impl->changed.notify_all();
        return;
    }
    // Never started, cancelled or already done: report at once, but not on the caller's stack.
    lock.unlock();
    if (handler)
        std::thread(std::move(handler)).detach();
}

void AssetWriter::cancelWriting()
{
    {
        std::lock_guard lock(m_impl->mutex);
        if (m_impl->status != Status::Writing)
            return;
    }
    m_impl->stopWorker(true);
}

// --- AssetWriterInput ---

std::shared_ptr<AssetWriterInput> AssetWriterInput::assetWriterInputWithMediaType(const std::string& mediaType,
                                                                                const foundation::Value& outputSettings,
                                                                                VideoFormatDescriptionPtr hint)
{
    if (mediaType != AVMediaTypeVideo)
        throw foundation::Exception(foundation::InvalidArgumentException,
                                    "Unsupported media type \"" + mediaType + "\": only video can be written");
    std::string problem;
    auto config = detail::parseOutputSettings(outputSettings, &problem);
    if (!config)
        throw foundation::Exception(foundation::InvalidArgumentException, "Invalid output settings: " + problem);
    std::shared_ptr<AssetWriterInput> input(new AssetWriterInput);
    input->m_impl = std::make_shared<Impl>();
    input->m_impl->mediaType = mediaType;
    input->m_impl->settings = outputSettings;
    input->m_impl->hint = std::move(hint);
    input->m_impl->config = *config;
    return input;
}

AssetWriterInput::~AssetWriterInput() = default;

const std::string& AssetWriterInput::mediaType() const { return m_impl->mediaType; }
const foundation::Value& AssetWriterInput::outputSettings() const { return m_impl->settings; }
const VideoFormatDescriptionPtr& AssetWriterInput::sourceFormatHint() const { return m_impl->hint; }

graphics::AffineTransform AssetWriterInput::transform() const
{
    std::lock_guard lock(m_impl->mutex);
    return m_impl->transform;
}

void AssetWriterInput::setTransform(const graphics::AffineTransform& transform)
{
    std::lock_guard lock(m_impl->mutex);
    m_impl->transform = transform;
}

bool AssetWriterInput::expectsMediaDataInRealTime() const
{
    std::lock_guard lock(m_impl->mutex);
    return m_impl->realTime;
}

void AssetWriterInput::setExpectsMediaDataInRealTime(bool realTime)
{
    std::lock_guard lock(m_impl->mutex);
    m_impl->realTime = realTime;
}

namespace {

std::shared_ptr<AssetWriter::Impl> writerOf(const AssetWriterInput::Impl& input)
{
    std::lock_guard lock(input.mutex);
    return input.writer.lock();
}

} // namespace

bool AssetWriterInput::isReadyForMoreMediaData() const
{
    auto writer = writerOf(*m_impl);
    if (!writer)
        return false;
    std::lock_guard lock(writer->mutex);
    return writer->readyLocked();
}

void AssetWriterInput::requestMediaDataWhenReadyOnQueue(dispatch::QueuePtr queue, std::function<void()> block)
{
    auto writer = writerOf(*m_impl);
    if (!writer)
        throw foundation::Exception(foundation::InternalInconsistencyException,
                                    "The input must be added to a writer before requesting media data");
    std::lock_guard lock(writer->mutex);
    if (writer->requestBlock || writer->inputFinished)
        throw foundation::Exception(foundation::InternalInconsistencyException,
                                    "Media data has already been requested, or the input is finished");
    writer->requestQueue = std::move(queue);
    writer->requestBlock = std::move(block);
    writer->pumpLocked();
}

void AssetWriterInput::markAsFinished()
{
    auto writer = writerOf(*m_impl);
    if (!writer)
        return;
    std::lock_guard lock(writer->mutex);
    writer->inputFinished = true;
    writer->requestBlock = nullptr;
}

bool AssetWriterInput::appendSampleBuffer(const SampleBufferPtr& sample)
{
    if (!sample)
        return false;
    return detail::appendToInput(*m_impl, sample->imageBuffer(), sample->outputPresentationTimeStamp(),
                                 sample->duration());
}

namespace detail {

bool appendToInput(AssetWriterInput::Impl& input, const PixelBufferPtr& buffer, const Time& presentationTime,
                   const Time& duration)
{
    auto writer = writerOf(input);
    if (!writer)
        return false;
    return writer->append(buffer, presentationTime, duration);
}

bool inputWriterHasStarted(const AssetWriterInput::Impl& input)
{
    auto writer = writerOf(input);
    if (!writer)
        return false;
    std::lock_guard lock(writer->mutex);
    return writer->status != AssetWriter::Status::Unknown;
}

} // namespace detail
} // namespace media
