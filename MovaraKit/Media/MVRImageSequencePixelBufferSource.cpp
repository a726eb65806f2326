// Frames from an ordered list of still images, decoded ahead on the global queues.

#include "MovaraKit/Media/MVRImageSequencePixelBufferSource.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <cmath>
#include <map>
#include <mutex>
#include <new>
#include <numbers>
#include <thread>

#include "MovaraKit/Support/Bundle+Movara.h"
#include "Platform/Dispatch/ProcessorCount.h"
#include "Platform/Dispatch/Queue.h"
#include "Platform/Dispatch/Semaphore.h"
#include "Platform/Foundation/Localized.h"
#include "Platform/Graphics/BitmapContext.h"
#include "Platform/Images/UTType.h"
#include "Platform/Media/PixelBufferPool.h"
#include "Platform/Media/PixelConversion.h"

namespace {

struct FrameSize {
    size_t width = 0;
    size_t height = 0;
};

// Draws `image` into a 32ARGB buffer of `size`, from `pool` when it makes buffers of that size
// (recycled memory, not cleared), else a fresh one: a straight pixel copy when no scaling or
// compositing is needed (every photo), else through a bitmap context.
media::PixelBufferPtr render(const graphics::ImagePtr& image, FrameSize size, media::PixelBufferPool* pool = nullptr)
{
    if (!image || image->width() == 0 || image->height() == 0 || size.width == 0 || size.height == 0)
        return nullptr;
    graphics::ColorSpacePtr space = image->colorSpace();
    if (!space || space->model() != graphics::ColorSpaceModel::rgb)
        space = graphics::ColorSpace::createWithName(graphics::kCGColorSpaceGenericRGB);
    const bool pooled = pool && pool->width() == size.width && pool->height() == size.height;
    media::PixelBufferPtr buffer = pooled ? pool->createPixelBuffer()
                                          : media::PixelBuffer::create(size.width, size.height, media::PixelFormatType_32ARGB);
    if (!buffer || !space)
        return nullptr;
    bool drawn = false;
    if (image->isOpaque() && image->width() == size.width && image->height() == size.height) {
        // Grey and CMYK convert on the way exactly as drawing them would.
        drawn = image->copyPixels(static_cast<uint8_t*>(buffer->baseAddress()), buffer->bytesPerRow(),
                                  graphics::PixelFormat::argb8, false);
    }
    if (!drawn) {
        // Drawing composites over what is there: a recycled buffer still holds an older frame.
        if (pooled)
            std::memset(buffer->baseAddress(), 0, buffer->bytesPerRow() * buffer->height());
        auto context = graphics::BitmapContext::create(buffer->baseAddress(), size.width, size.height, 8,
                                                       buffer->bytesPerRow(), space,
                                                       {graphics::AlphaInfo::noneSkipFirst, graphics::ByteOrder::orderDefault});
        if (!context)
            return nullptr;
        context->setInterpolationQuality(graphics::InterpolationQuality::high);
        context->drawImage(image, graphics::Rect {{0, 0}, {double(size.width), double(size.height)}});
        context->flush();
    }
    if (!space->iccData().empty())
        buffer->setAttachment(media::kCVImageBufferICCProfileKey, space->iccData(), media::AttachmentMode::ShouldPropagate);
    return buffer;
}

foundation::ErrorPtr undecodableImageError(const MVRImageSource& source, foundation::ErrorPtr underlying)
{
    // The real cause first: a photo removed or locked since it was added is not a bad photo.
    foundation::ErrorPtr error = MVRImageSource::unreadableFileError(source.fileURL());
    foundation::Error::UserInfo info;
    if (error) {
        info = error->userInfo();
    } else {
        std::string description = foundation::localized(
            "The file “%@” couldn’t be opened because it isn’t in the correct format.", "error description",
            mvr_movaraKitBundle());
        if (auto at = description.find("%@"); at != std::string::npos)
            description.replace(at, 2, source.fileURL().lastPathComponent());
        info[foundation::NSLocalizedDescriptionKey].text = description;
        info[foundation::NSFilePathErrorKey].text = source.fileURL().path();
    }
    if (underlying)
        info[foundation::NSUnderlyingErrorKey].error = std::move(underlying);
    return foundation::Error::make(foundation::NSCocoaErrorDomain,
                                   error ? error->code() : long(foundation::NSFileReadCorruptFileError), std::move(info));
}

// Frames decoded ahead of the writer: one per core keeps every core decoding while the
// encoder works...
size_t framesInFlight()
{
    return std::max<size_t>(2, dispatch::activeProcessorCount());
}

// ...as long as they fit in this many bytes; a frame larger than that is decoded alone.
constexpr size_t DecodeAheadBudget = size_t(384) << 20;

// What decoding one image costs in memory until its frame is taken: the decoded pixels and the
// frame. The JPEG decoder's DCT scaling brings a large image close to `maxPixelSize` as it
// decodes; every other decoder makes the whole picture first, and then a scaled copy of it.
size_t decodeCost(graphics::Size size, size_t maxPixelSize, size_t frameBytes, bool scalesWhileDecoding)
{
    double w = std::max(1.0, size.width), h = std::max(1.0, size.height);
    const double longer = std::max(w, h);
    if (maxPixelSize > 0 && longer > static_cast<double>(maxPixelSize) && !scalesWhileDecoding) {
        const double s = static_cast<double>(maxPixelSize) / longer;
        return static_cast<size_t>(w * h * 4 + std::ceil(w * s) * std::ceil(h * s) * 4) + frameBytes;
    }
    if (maxPixelSize > 0 && longer > static_cast<double>(maxPixelSize)) {
        double d = 1;
        while (d < 8 && longer / (d * 2) >= static_cast<double>(maxPixelSize))
            d *= 2;
        w = std::ceil(w / d);
        h = std::ceil(h / d);
    }
    return static_cast<size_t>(w * h * 4) + frameBytes;
}

// Bytes of a frame in the destination's own format.
size_t nativeFrameBytes(const media::AssetWriterInput::NativeFrameFormat& format)
{
    const size_t pixels = format.width * format.height;
    return format.pixelFormat == media::PixelFormatType_422YpCbCr10PlanarVideoRange ? pixels * 4 : pixels * 3 / 2;
}

// What a streamed decode holds besides its frame: a strip of rows and the scaler's lines.
constexpr size_t StreamedDecodeBytes = size_t(4) << 20;

// Whether an image of `width` x `height` fills a frame of the destination's size, as the writer
// would place it, to within two pixels: then it is scaled to the frame's size exactly.
bool fillsFrame(size_t width, size_t height, const media::AssetWriterInput::NativeFrameFormat& format)
{
    const double w = static_cast<double>(width), h = static_cast<double>(height);
    const double fw = static_cast<double>(format.width), fh = static_cast<double>(format.height);
    const double s = std::min(fw / w, fh / h);
    return std::abs(w * s - fw) <= 2 && std::abs(h * s - fh) <= 2;
}

void tagBT709(media::PixelBuffer& buffer)
{
    buffer.setAttachment(media::kCVImageBufferColorPrimariesKey, media::kCVImageBufferColorPrimaries_ITU_R_709_2,
                         media::AttachmentMode::ShouldPropagate);
    buffer.setAttachment(media::kCVImageBufferTransferFunctionKey, media::kCVImageBufferTransferFunction_ITU_R_709_2,
                         media::AttachmentMode::ShouldPropagate);
    buffer.setAttachment(media::kCVImageBufferYCbCrMatrixKey, media::kCVImageBufferYCbCrMatrix_ITU_R_709_2,
                         media::AttachmentMode::ShouldPropagate);
}

} // namespace

media::PixelBufferPtr MVRCreate32ARGBPixelBufferWithCGImage(const graphics::ImagePtr& image)
{
    if (!image)
        return nullptr;
    return render(image, {image->width(), image->height()});
}

// Decodes frames on the global queues, at most `depth` beyond the one the writer waits for,
// and hands them out in order. Shared with its jobs so that it outlives a source that goes
// while frames are still being decoded.
struct MVRImageSequencePixelBufferSource::Pipeline {
    struct Frame {
        dispatch::SemaphorePtr done = dispatch::Semaphore::make(0);
        media::PixelBufferPtr buffer;
        foundation::ErrorPtr error;
        bool ready = false;
        size_t cost = 0;
        size_t heldCost = 0; // what the frame holds once decoded
        bool streamed = false;
    };

    std::vector<MVRImageSourcePtr> sources;
    // Every frame drawn at this size, from a decode no larger than maxPixelSize; none: each
    // image at its own size.
    std::optional<FrameSize> frameSize;
    size_t maxPixelSize = 0;
    // The movie is as large as its first frame: a larger image further on (or one whose header
    // claims a huge size) decodes no larger than this on its longer side (0: no limit).
    size_t largestPixelSize = 0;
    size_t depth = 2;
    // The bytes that frames decoded ahead may hold; a frame that needs more is decoded only
    // when no other is in flight.
    size_t budget = DecodeAheadBudget;
    size_t frameBytes = 0;

    // Frames of the first image's size recycle their memory: a fresh buffer of a full-size photo
    // costs a page fault and a cleared page for every 4 KiB of it. Set before decoding starts.
    media::PixelBufferPoolPtr pool;

    // The destination's own frame format, once it has said: JPEG photos then stream straight
    // into frames of it, and the writer passes them on untouched.
    std::optional<media::AssetWriterInput::NativeFrameFormat> native;
    media::PixelBufferPoolPtr nativePool;

    std::mutex mutex;
    std::map<size_t, std::shared_ptr<Frame>> frames;
    size_t nextToSchedule = 0;
    size_t scheduleEnd = 0; // the frames wanted so far, up to (not including) this one
    size_t bytesInFlight = 0;
    size_t peakBytesInFlight = 0;
    bool abandoned = false;

    static void decode(const std::shared_ptr<Pipeline>& self, size_t index, const std::shared_ptr<Frame>& frame)
    {
        media::PixelBufferPtr buffer;
        foundation::ErrorPtr error;
        bool skip = false;
        {
            std::lock_guard lock(self->mutex);
            skip = self->abandoned;
        }
        if (!skip) {
            MVRImageSource& source = *self->sources[index];
            foundation::ErrorPtr decodeError;
            // A frame that can't get its memory ends the stream with an error naming the
            // photo; it must never end the program from a worker.
            try {
                bool decoded = false;
                if (frame->streamed)
                    decoded = self->stream(source, buffer, decodeError);
                if (!decoded && !decodeError) {
                    graphics::ImagePtr image = source.createImage(self->decodeSizeLimit(source.size()), &decodeError);
                    if (image) {
                        const FrameSize size = self->frameSize.value_or(FrameSize {image->width(), image->height()});
                        buffer = render(image, size, self->pool.get());
                    }
                }
            } catch (const std::bad_alloc&) {
                buffer = nullptr;
                decodeError = foundation::Error::make(images::ImageSourceErrorDomain, images::ImageSourceTooLarge,
                                                      "There is not enough memory to decode the photo.");
            }
            if (!buffer)
                error = undecodableImageError(source, std::move(decodeError));
        }
        size_t wanted = 0;
        {
            std::lock_guard lock(self->mutex);
            wanted = self->scheduleEnd;
            frame->buffer = std::move(buffer);
            frame->error = std::move(error);
            frame->ready = true;
            // Decoded, the frame holds only its buffer: the room its decode took is free for
            // the next one.
            const size_t held = std::min(frame->cost, frame->heldCost);
            if (self->frames.count(index)) {
                self->bytesInFlight -= std::min(self->bytesInFlight, frame->cost - held);
                frame->cost = held;
            }
        }
        frame->done->signal();
        scheduleUpTo(self, wanted);
    }

    // Streams a JPEG photo into a frame of the destination's format. False with no error when
    // the photo is not of the kind (or shape) that streams: the caller decodes it whole.
    bool stream(const MVRImageSource& source, media::PixelBufferPtr& buffer, foundation::ErrorPtr& error)
    {
        media::PixelBufferPtr frame = nativePool->createPixelBuffer();
        if (!frame)
            return false;
        tagBT709(*frame);
        std::unique_ptr<media::StripConverter> converter;
        foundation::ErrorPtr convertError;
        images::StripSink sink;
        sink.begin = [&](size_t width, size_t height) {
            if (!fillsFrame(width, height, *native))
                return false;
            converter = media::StripConverter::make(width, height, frame, &convertError);
            return converter != nullptr;
        };
        sink.rows = [&](const uint8_t* rows, size_t bytesPerRow, size_t count) {
            return converter->append(rows, bytesPerRow, count, &convertError);
        };
        foundation::ErrorPtr decodeError;
        switch (source.decodeStrips(native->width, native->height, sink, &decodeError)) {
        case images::StripOutcome::unsuitable:
            return false;
        case images::StripOutcome::decoded:
            if (converter && converter->isComplete()) {
                buffer = std::move(frame);
                return true;
            }
            break;
        case images::StripOutcome::failed:
            break;
        }
        error = decodeError ? std::move(decodeError) : std::move(convertError);
        if (!error)
            error = foundation::Error::make(foundation::NSCocoaErrorDomain, foundation::NSFileReadCorruptFileError);
        return false;
    }

    // Whether image `index` will stream into the destination's format (its type and colour
    // model say so; its shape is checked when it decodes).
    bool streams(size_t index) const
    {
        if (!native || !nativePool)
            return false;
        const MVRImageSource& source = *sources[index];
        if (!images::typeConformsTo(source.imageType(), images::kUTTypeJPEG))
            return false;
        const auto properties = source.properties();
        return properties && properties->colorModel == images::kCGImagePropertyColorModelRGB && properties->pixelWidth >= 1
            && properties->pixelHeight >= 1
            && fillsFrame(static_cast<size_t>(properties->pixelWidth), static_cast<size_t>(properties->pixelHeight), *native);
    }

    size_t decodeSizeLimit(graphics::Size stored) const
    {
        if (maxPixelSize > 0 || largestPixelSize == 0)
            return maxPixelSize;
        return std::max(stored.width, stored.height) > static_cast<double>(largestPixelSize) ? largestPixelSize : 0;
    }

    // Queues frames up to (not including) `end`.
    static void scheduleUpTo(const std::shared_ptr<Pipeline>& self, size_t end)
    {
        std::vector<std::pair<size_t, std::shared_ptr<Frame>>> started;
        {
            std::lock_guard lock(self->mutex);
            end = std::min(end, self->sources.size());
            self->scheduleEnd = std::max(self->scheduleEnd, end);
            if (self->abandoned)
                return;
            while (self->nextToSchedule < end) {
                const bool streamed = self->streams(self->nextToSchedule);
                size_t cost = 0, held = self->frameBytes;
                if (streamed) {
                    held = nativeFrameBytes(*self->native);
                    cost = held + StreamedDecodeBytes;
                } else {
                    MVRImageSource& image = *self->sources[self->nextToSchedule];
                    const graphics::Size stored = image.size();
                    cost = decodeCost(stored, self->decodeSizeLimit(stored), self->frameBytes,
                                      images::typeConformsTo(image.imageType(), images::kUTTypeJPEG));
                }
                if (!self->frames.empty() && self->bytesInFlight + cost > self->budget)
                    break;
                auto frame = std::make_shared<Frame>();
                frame->cost = cost;
                frame->heldCost = held;
                frame->streamed = streamed;
                self->bytesInFlight += cost;
                self->peakBytesInFlight = std::max(self->peakBytesInFlight, self->bytesInFlight);
                self->frames[self->nextToSchedule] = frame;
                started.emplace_back(self->nextToSchedule++, frame);
            }
        }
        for (auto& [index, frame] : started) {
            dispatch::Queue::global(dispatch::QoS::UserInitiated)->async([self, index = index, frame = frame] {
                decode(self, index, frame);
            });
        }
    }

    static std::shared_ptr<Frame> wait(const std::shared_ptr<Pipeline>& self, size_t index, size_t ahead)
    {
        scheduleUpTo(self, index + ahead);
        std::shared_ptr<Frame> frame;
        {
            std::lock_guard lock(self->mutex);
            auto it = self->frames.find(index);
            if (it == self->frames.end())
                return nullptr;
            frame = it->second;
            if (frame->ready)
                return frame;
        }
        // A dispatch semaphore, so that a worker of the pool waiting here lets another decode.
        frame->done->wait();
        frame->done->signal(); // a later wait on the same frame (peek, then take) passes too
        return frame;
    }

    static std::shared_ptr<Frame> take(const std::shared_ptr<Pipeline>& self, size_t index)
    {
        std::shared_ptr<Frame> frame = wait(self, index, self->depth);
        {
            std::lock_guard lock(self->mutex);
            if (auto it = self->frames.find(index); it != self->frames.end()) {
                self->bytesInFlight -= std::min(self->bytesInFlight, it->second->cost);
                self->frames.erase(it);
            }
        }
        scheduleUpTo(self, index + 1 + self->depth);
        return frame;
    }

    // Takes the destination's frame format. The first frame, decoded before the destination
    // spoke (its size sized the movie), is decoded again in that format if it streams, and
    // the full-size frame's memory goes.
    static void prefer(const std::shared_ptr<Pipeline>& self, const media::AssetWriterInput::NativeFrameFormat& format)
    {
        if (format.width == 0 || format.height == 0)
            return;
        std::shared_ptr<Frame> dropped;
        {
            std::lock_guard lock(self->mutex);
            if (self->native || self->abandoned)
                return;
            self->nativePool = media::PixelBufferPool::create({}, format.width, format.height, format.pixelFormat);
            if (!self->nativePool)
                return;
            self->native = format;
            auto first = self->frames.find(0);
            if (self->nextToSchedule == 1 && first != self->frames.end() && first->second->ready && !first->second->streamed
                && self->streams(0)) {
                dropped = first->second;
                self->bytesInFlight -= std::min(self->bytesInFlight, dropped->cost);
                self->frames.erase(first);
                self->nextToSchedule = 0;
            }
        }
        if (dropped) {
            dropped.reset();
            if (self->pool)
                self->pool->flush();
        }
    }

    void abandon()
    {
        std::lock_guard lock(mutex);
        abandoned = true;
        frames.clear();
        bytesInFlight = 0;
    }
};

std::shared_ptr<MVRImageSequencePixelBufferSource>
MVRImageSequencePixelBufferSource::initWithImageSources(std::vector<MVRImageSourcePtr> imageSources)
{
    return std::shared_ptr<MVRImageSequencePixelBufferSource>(new MVRImageSequencePixelBufferSource(std::move(imageSources)));
}

MVRImageSequencePixelBufferSource::MVRImageSequencePixelBufferSource(std::vector<MVRImageSourcePtr> imageSources)
    : m_decodeAheadBudget(DecodeAheadBudget)
{
    // A list with holes would give frames without images: leave them out.
    for (auto& source : imageSources)
        if (source)
            m_imageSources.push_back(std::move(source));
}

MVRImageSequencePixelBufferSource::~MVRImageSequencePixelBufferSource()
{
    if (m_pipeline)
        m_pipeline->abandon();
}

MVRImageSequencePixelBufferSource::Pipeline& MVRImageSequencePixelBufferSource::pipeline()
{
    if (m_pipeline)
        return *m_pipeline;
    auto pipeline = std::make_shared<Pipeline>();
    pipeline->sources = m_imageSources;
    pipeline->depth = framesInFlight();
    pipeline->budget = m_decodeAheadBudget;
    std::optional<images::ImageProperties> properties;
    if (!m_imageSources.empty())
        properties = m_imageSources.front()->properties();
    if (m_scale > 0 && m_scale < 1 && properties) {
        const double longer = std::max(properties->pixelWidth, properties->pixelHeight);
        const double target = std::max(1.0, std::round(longer * m_scale));
        // The same rounding the decoder's downscaling uses, so frames come out at this size
        // without a second scaling pass.
        const double s = target / longer;
        pipeline->maxPixelSize = static_cast<size_t>(target);
        pipeline->frameSize = FrameSize {
            std::max<size_t>(1, static_cast<size_t>(std::lround(properties->pixelWidth * s))),
            std::max<size_t>(1, static_cast<size_t>(std::lround(properties->pixelHeight * s))),
        };
    }
    FrameSize poolSize;
    if (pipeline->frameSize)
        poolSize = *pipeline->frameSize;
    else if (properties && properties->pixelWidth > 0 && properties->pixelHeight > 0)
        poolSize = {size_t(properties->pixelWidth), size_t(properties->pixelHeight)};
    if (poolSize.width > 0)
        pipeline->largestPixelSize = std::max(poolSize.width, poolSize.height);
    pipeline->frameBytes = poolSize.width * poolSize.height * 4;
    if (poolSize.width > 0 && poolSize.height > 0)
        pipeline->pool = media::PixelBufferPool::create({}, poolSize.width, poolSize.height, media::PixelFormatType_32ARGB);
    m_pipeline = std::move(pipeline);
    return *m_pipeline;
}

size_t MVRImageSequencePixelBufferSource::peakBytesInFlight() const
{
    if (!m_pipeline)
        return 0;
    std::lock_guard lock(m_pipeline->mutex);
    return m_pipeline->peakBytesInFlight;
}

void MVRImageSequencePixelBufferSource::loadWithCompletionHandler(std::function<void(foundation::ErrorPtr)> completionHandler)
{
    // The first frame sizes the movie: one that doesn't decode fails the load with the reason,
    // naming the photo, rather than a movie of no size failing for want of one.
    if (!m_imageSources.empty() && m_idx == 0)
        size();
    if (completionHandler)
        completionHandler(m_failure);
}

std::shared_ptr<PixelBufferSourceInfo> MVRImageSequencePixelBufferSource::pixelBufferSourceInfo()
{
    return shared_from_this();
}

graphics::Size MVRImageSequencePixelBufferSource::size()
{
    if (m_size)
        return *m_size;
    if (m_imageSources.empty() || m_idx > 0) {
        // Once frames have been taken the first one is gone; its size was cached when it went.
        m_size = graphics::Size {};
        return *m_size;
    }
    pipeline();
    // The first frame is decoded once: it is kept for the first frame request. Only it: the
    // destination may yet ask for frames in a format of its own.
    auto frame = Pipeline::wait(m_pipeline, 0, 1);
    m_size = frame && frame->buffer ? graphics::Size {double(frame->buffer->width()), double(frame->buffer->height())}
                                    : graphics::Size {};
    if (frame && !frame->buffer && frame->error && !m_failure) {
        // The stream ends with the first frame, with its reason.
        m_failure = frame->error;
        m_pipeline->abandon();
    }
    return *m_size;
}

void MVRImageSequencePixelBufferSource::setPreferredFrameFormat(const media::AssetWriterInput::NativeFrameFormat& format)
{
    pipeline();
    Pipeline::prefer(m_pipeline, format);
}

media::TimeRange MVRImageSequencePixelBufferSource::timeRange()
{
    const auto count = static_cast<int32_t>(std::min<size_t>(m_imageSources.size(), INT32_MAX));
    return media::TimeRange::make(media::Time::zero(), media::multiply(m_frameDuration, count));
}

graphics::AffineTransform MVRImageSequencePixelBufferSource::transform()
{
    if (m_transform)
        return *m_transform;
    graphics::AffineTransform transform = graphics::AffineTransform::identity();
    if (!m_imageSources.empty()) {
        if (auto properties = m_imageSources.front()->properties()) {
            // Only the pure rotations: the mirrored orientations are shown as stored.
            switch (properties->orientation) {
            case 6:
                transform = graphics::AffineTransform::makeRotation(std::numbers::pi / 2);
                break;
            case 3:
                transform = graphics::AffineTransform::makeRotation(std::numbers::pi);
                break;
            case 8:
                transform = graphics::AffineTransform::makeRotation(-std::numbers::pi / 2);
                break;
            default:
                break;
            }
        }
    }
    m_transform = transform;
    return transform;
}

media::SampleBufferPtr MVRImageSequencePixelBufferSource::copyNextSampleBuffer(foundation::ErrorPtr* error)
{
    if (m_failure) {
        if (error)
            *error = m_failure;
        return nullptr;
    }
    if (m_idx < 0 || static_cast<size_t>(m_idx) >= m_imageSources.size())
        return nullptr;
    if (m_idx == 0 && !m_size)
        size(); // keep the stream's size once the first frame has left
    pipeline();
    auto frame = Pipeline::take(m_pipeline, static_cast<size_t>(m_idx));
    foundation::ErrorPtr failure;
    media::SampleBufferPtr sample;
    if (frame && frame->buffer) {
        media::SampleTimingInfo timing;
        timing.presentationTimeStamp = media::multiply(m_frameDuration, static_cast<int32_t>(m_idx));
        sample = media::SampleBuffer::createForImageBuffer(frame->buffer, timing, &failure);
    } else {
        failure = frame ? frame->error : undecodableImageError(*m_imageSources[size_t(m_idx)], nullptr);
    }
    if (!sample) {
        // The stream ends here, with the reason: a missing frame must not pass for the end.
        m_failure = failure;
        if (m_pipeline)
            m_pipeline->abandon();
        if (error)
            *error = m_failure;
        return nullptr;
    }
    ++m_idx;
    return sample;
}
