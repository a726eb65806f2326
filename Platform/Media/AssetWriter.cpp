#include "Platform/Media/AssetWriter.h"

#include "Platform/Media/AssetWriterImpl.h"
#include "Platform/Media/FFmpeg.h"
#include "Platform/Media/MediaError.h"
#include "Platform/Media/PartialFile.h"
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
#include <sys/stat.h>
#include <random>
#include <thread>
#include <unistd.h>

namespace media {

using namespace detail;

bool AssetWriter::Impl::readyLocked() const
{
    return status == Status::Writing && !inputFinished && !finishRequested && jobs.size() < WriterQueueCapacity;
}

void AssetWriter::Impl::failLocked(foundation::ErrorPtr e)
{
    if (status != Status::Writing)
        return;
    status = Status::Failed;
    error = std::move(e);
    // The input's client is waiting for readiness that will never come: its block runs once
    // more, so that it sees the failure (appending fails with this error) and stops.
    if (auto block = std::move(requestBlock); block && requestQueue)
        requestQueue->async(std::move(block));
    requestBlock = nullptr;
    changed.notify_all();
}

void AssetWriter::Impl::fail(foundation::ErrorPtr e)
{
    std::lock_guard lock(mutex);
    failLocked(std::move(e));
}

void AssetWriter::Impl::pumpLocked()
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

bool AssetWriter::Impl::append(const PixelBufferPtr& buffer, const Time& pts, const Time& duration)
{
    std::unique_lock lock(mutex);
    if (status != Status::Writing || inputFinished || finishRequested)
        return false;
    if (!sessionStarted)
        throw foundation::Exception(foundation::NSInternalInconsistencyException,
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
    changed.wait(lock, [&] { return jobs.size() < WriterQueueCapacity || status != Status::Writing; });
    if (status != Status::Writing)
        return false;
    jobs.push_back(WriterJob{buffer, pts, duration, nullptr});
    lastAppended = pts;
    ++appendsDuringRequest;
    changed.notify_all();
    return true;
}

bool AssetWriter::Impl::start()
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
    int err = 0;
    partial = PartialFile::create(finalPath, &err);
    if (!partial) {
        output.reset();
        return fail(fileError(err, finalPath));
    }
    output->pb = partial->ioContext();
    output->flags |= AVFMT_FLAG_CUSTOM_IO;

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

void AssetWriter::Impl::stopWorker(bool cancel)
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
        throw foundation::Exception(foundation::NSInvalidArgumentException,
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
        throw foundation::Exception(foundation::NSInternalInconsistencyException,
                                    "Cannot start a session unless the writer is writing (status is "
                                        + statusName(m_impl->status) + ")");
    if (m_impl->sessionStarted)
        throw foundation::Exception(foundation::NSInternalInconsistencyException, "The session has already started");
    if (!time.isNumeric())
        throw foundation::Exception(foundation::NSInvalidArgumentException, "The session start time must be numeric");
    m_impl->sessionStarted = true;
    m_impl->sessionStart = time;
}

void AssetWriter::endSessionAtSourceTime(const Time& time)
{
    std::lock_guard lock(m_impl->mutex);
    if (!m_impl->sessionStarted)
        throw foundation::Exception(foundation::NSInternalInconsistencyException,
                                    "Cannot end a session that has not started");
    if (!time.isNumeric() || time <= m_impl->sessionStart)
        throw foundation::Exception(foundation::NSInvalidArgumentException,
                                    "The session end must be a time after the session start");
    // Frames already handed to the encoder cannot be taken back.
    if (m_impl->lastAppended.isValid() && time <= m_impl->lastAppended)
        throw foundation::Exception(foundation::NSInvalidArgumentException,
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
        throw foundation::Exception(foundation::NSInvalidArgumentException,
                                    "Unsupported media type \"" + mediaType + "\": only video can be written");
    std::string problem;
    auto config = detail::parseOutputSettings(outputSettings, &problem);
    if (!config)
        throw foundation::Exception(foundation::NSInvalidArgumentException, "Invalid output settings: " + problem);
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

std::optional<AssetWriterInput::NativeFrameFormat> AssetWriterInput::nativeFrameFormat() const
{
    const detail::EncoderConfig& config = m_impl->config;
    if (config.matrix != detail::YCbCrMatrix::BT709)
        return std::nullopt;
    NativeFrameFormat format;
    int width = 0, height = 0;
    detail::encodedSize(config, width, height);
    format.width = static_cast<size_t>(width);
    format.height = static_cast<size_t>(height);
    switch (config.codec) {
    case detail::VideoCodec::H264:
        format.pixelFormat = PixelFormatType_420YpCbCr8PlanarVideoRange;
        break;
    case detail::VideoCodec::HEVC:
        if (config.tenBit)
            return std::nullopt;
        format.pixelFormat = PixelFormatType_420YpCbCr8PlanarVideoRange;
        break;
    case detail::VideoCodec::ProRes422:
        format.pixelFormat = PixelFormatType_422YpCbCr10PlanarVideoRange;
        break;
    case detail::VideoCodec::ProRes4444:
        return std::nullopt;
    }
    return format;
}

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
        throw foundation::Exception(foundation::NSInternalInconsistencyException,
                                    "The input must be added to a writer before requesting media data");
    std::lock_guard lock(writer->mutex);
    if (writer->requestBlock || writer->inputFinished)
        throw foundation::Exception(foundation::NSInternalInconsistencyException,
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
