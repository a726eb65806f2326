#include "MovaraKit/Cinemagraph/MVRCinemagraphReader.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "MovaraKit/Canvas/CanvasObject.h"
#include "MovaraKit/Cinemagraph/FilterImage+Movara.h"
#include "MovaraKit/Media/Asset+Movara.h"
#include "Platform/Foundation/Error.h"
#include "Platform/Graphics/FilterContext.h"
#include "Platform/Media/VideoSettings.h"

namespace {

enum State { notStarted = 0, forward = 1, reverse = 2, finished = 3 };

foundation::ErrorPtr readerError(const std::string& description)
{
    return foundation::Error::make(MVRErrorDomain, MVRErrorCodeGeneric, description);
}

void fill(foundation::ErrorPtr* error, foundation::ErrorPtr value)
{
    if (error && !*error)
        *error = std::move(value);
}

// Canvas objects archived and read back: the export draws these, whatever the host does to
// its own objects meanwhile.
std::vector<CanvasObjectPtr> snapshot(const std::vector<CanvasObjectPtr>& objects)
{
    if (objects.empty())
        return {};
    CanvasObject::registerCodingClasses();
    foundation::KeyedArchiver archiver(true);
    archiver.encodeArrayOfObjects(std::vector<std::shared_ptr<const foundation::Coding>>(objects.begin(), objects.end()),
                                  foundation::NSKeyedArchiveRootObjectKey);
    auto unarchiver = foundation::KeyedUnarchiver::initForReadingFromData(archiver.encodedData());
    if (!unarchiver)
        return objects;
    unarchiver->setRequiresSecureCoding(true);
    auto decoded = unarchiver->decodeArrayOfObjectsOfClasses({"CanvasObject"}, foundation::NSKeyedArchiveRootObjectKey);
    if (!decoded || decoded->size() != objects.size())
        return objects;
    std::vector<CanvasObjectPtr> copies;
    for (size_t i = 0; i < decoded->size(); ++i) {
        auto copy = std::dynamic_pointer_cast<CanvasObject>((*decoded)[i]);
        if (!copy)
            return objects;
        copy->setApplyAdjustments(objects[i]->applyAdjustments()); // not part of the archive
        copies.push_back(copy);
    }
    return copies;
}

// The frame's pixels as a filter image, without copying: the image keeps the buffer alive.
graphics::FilterImagePtr imageOfPixelBuffer(const media::PixelBufferPtr& buffer)
{
    if (!buffer || buffer->isPlanar())
        return nullptr;
    graphics::BitmapInfo info;
    if (buffer->pixelFormatType() == media::PixelFormatType_32ARGB)
        info = {graphics::AlphaInfo::noneSkipFirst, graphics::ByteOrder::order32Big};
    else if (buffer->pixelFormatType() == media::PixelFormatType_32BGRA)
        info = {graphics::AlphaInfo::noneSkipFirst, graphics::ByteOrder::order32Little};
    else
        return nullptr;
    auto image = graphics::Image::createWithData(buffer->width(), buffer->height(), 8, 32, buffer->bytesPerRow(),
                                                 graphics::ColorSpace::createWithName(graphics::kCGColorSpaceSRGB), info,
                                                 static_cast<const uint8_t*>(buffer->baseAddress()),
                                                 buffer->bytesPerRow() * buffer->height(), buffer);
    return graphics::FilterImage::imageWithCGImage(image);
}

// The buffer's own profile; else the space its handed-on colour tags name; else sRGB.
graphics::ColorSpacePtr colorSpaceOfPixelBuffer(const media::PixelBuffer& buffer)
{
    if (auto icc = buffer.attachment(media::kCVImageBufferICCProfileKey)) {
        if (const auto* bytes = std::get_if<std::vector<uint8_t>>(icc.get()))
            if (auto space = graphics::ColorSpace::createWithICCData(*bytes))
                return space;
    }
    const media::Attachments tags = buffer.attachments(media::AttachmentMode::ShouldPropagate);
    auto primaries = tags.find(media::kCVImageBufferColorPrimariesKey);
    if (primaries != tags.end()) {
        const auto* name = std::get_if<std::string>(&primaries->second);
        if (name && (*name == "P3_D65" || *name == "DCI_P3"))
            if (auto space = graphics::ColorSpace::createWithName(graphics::kCGColorSpaceDisplayP3))
                return space;
        // BT.709 shares sRGB's primaries, and spaces we have no profile for fall back below.
    }
    return graphics::ColorSpace::createWithName(graphics::kCGColorSpaceSRGB);
}

} // namespace

MVRCinemagraphReader::MVRCinemagraphReader(MVRCinemagraphPtr cinemagraph) : m_cinemagraph(std::move(cinemagraph))
{
    m_graph = m_cinemagraph->filterGraph()->copy();
    m_graph->setCanvasObjects(snapshot(m_cinemagraph->filterGraph()->canvasObjects()));
}

std::shared_ptr<MVRCinemagraphReader> MVRCinemagraphReader::initWithCinemagraph(MVRCinemagraphPtr cinemagraph)
{
    if (!cinemagraph)
        return nullptr;
    return std::make_shared<MVRCinemagraphReader>(std::move(cinemagraph));
}

MVRCinemagraphReader::~MVRCinemagraphReader()
{
    if (m_reader && m_reader->status() == media::AssetReader::Status::Reading)
        m_reader->cancelReading();
}

void MVRCinemagraphReader::setScale(double scale)
{
    if (m_state != notStarted)
        throw foundation::Exception(foundation::NSInternalInconsistencyException,
                                    "-[MVRCinemagraphReader setScale:] - can't set state after reading has started");
    m_scale = std::isnan(scale) ? 0.0 : std::max(0.0, std::min(1.0, scale));
}

void MVRCinemagraphReader::setFrameDuration(const media::Time& duration)
{
    if (m_state != notStarted)
        throw foundation::Exception(foundation::NSInternalInconsistencyException,
                                    "-[MVRCinemagraphReader setFrameDuration:] - can't set frameDuration after reading has started");
    if (duration.isNumeric())
        m_frameDuration = duration;
}

graphics::Size MVRCinemagraphReader::size()
{
    return m_cinemagraph->renderSizeForScale(m_scale);
}

media::Time MVRCinemagraphReader::frameStep() const
{
    if (m_frameDuration.isValid())
        return m_frameDuration;
    const auto& composition = m_cinemagraph->videoComposition();
    if (composition && composition->frameDuration.isNumeric() && composition->frameDuration > media::Time::zero())
        return composition->frameDuration;
    auto track = mvr_videoTrack(m_cinemagraph->asset());
    if (track && track->nominalFrameRate() > 0)
        return media::Time::makeWithSeconds(1.0 / track->nominalFrameRate(), 90000);
    return media::Time::invalid();
}

// The backward pass ends where the last forward frame L would end a second time: 2L, which
// for a movie of D seconds in frames of f is 2D - 2f. Without a known frame length, 2D.
media::TimeRange MVRCinemagraphReader::timeRange()
{
    const media::Time duration = m_cinemagraph->asset()->duration();
    if (!m_cinemagraph->isReverseLoopEnabled())
        return media::TimeRange::make(media::Time::zero(), duration);
    const media::Time f = frameStep();
    if (!f.isNumeric() || f <= media::Time::zero() || !duration.isNumeric())
        return media::TimeRange::make(media::Time::zero(), media::multiplyByFloat64(duration, 2.0));
    // Frames at 0, f, ...: the last one starts before D.
    const double frames = std::ceil(duration.seconds() / f.seconds() - 1e-6);
    if (frames < 3) // nothing is left to play backward once both turning frames are dropped
        return media::TimeRange::make(media::Time::zero(), duration);
    return media::TimeRange::make(media::Time::zero(), media::multiplyByFloat64(f, 2 * (frames - 1)));
}

// ---- reading --------------------------------------------------------------------------------

media::AssetReaderOutputPtr MVRCinemagraphReader::makeReaderOutput(const media::AssetPtr& asset)
{
    const auto settings = foundation::Value::dictionary(
        {{media::kCVPixelBufferPixelFormatTypeKey, static_cast<int64_t>(media::PixelFormatType_32ARGB)}});
    std::optional<media::VideoComposition> composition = m_cinemagraph->videoComposition();
    auto track = mvr_videoTrack(asset);
    if (!track)
        return nullptr;
    if (m_frameDuration.isValid()) {
        if (!composition) {
            // Frames resampled to the fixed rate come out as stored; the reader turns them.
            composition = media::VideoComposition::passThrough(*track, m_frameDuration, track->timeRange());
            // ... at the size they are shown at, which differs where pixels are not square.
            composition->renderSize = mvr_presentationSize(*track);
            m_shouldApplyVideoTransform = false;
        }
        composition->frameDuration = m_frameDuration;
    }
    try {
        if (composition) {
            auto output = media::AssetReaderVideoCompositionOutput::assetReaderVideoCompositionOutputWithVideoTracks(
                asset->tracksWithMediaType(media::AVMediaTypeVideo), settings);
            output->setVideoComposition(*composition);
            return output;
        }
        // Frames come out as stored: the reader stretches those of non-square pixels.
        m_storedFrameShownSize = mvr_presentationSize(*track);
        return media::AssetReaderTrackOutput::assetReaderTrackOutputWithTrack(track, settings);
    } catch (const foundation::Exception&) {
        return nullptr;
    }
}

bool MVRCinemagraphReader::setUp(foundation::ErrorPtr* error)
{
    foundation::ErrorPtr failure;
    m_reader = media::AssetReader::assetReaderWithAsset(m_cinemagraph->asset(), &failure);
    if (m_reader) {
        m_output = makeReaderOutput(m_cinemagraph->asset());
        if (m_output && m_reader->canAddOutput(m_output)) {
            m_reader->addOutput(m_output);
            if (m_reader->startReading())
                return true;
        }
        failure = m_reader->error();
    }
    fill(error, failure ? failure : readerError("The cinemagraph's movie cannot be read."));
    return false;
}

void MVRCinemagraphReader::loadWithCompletionHandler(std::function<void(foundation::ErrorPtr)> completionHandler)
{
    std::weak_ptr<MVRCinemagraphReader> weak = weak_from_this();
    m_cinemagraph->asset()->loadValuesAsynchronouslyForKeys({"tracks", "duration"}, [weak, completionHandler] {
        auto self = weak.lock();
        foundation::ErrorPtr error;
        if (!self) {
            error = foundation::Error::userCancelled();
        } else {
            foundation::ErrorPtr loadError;
            if (self->m_cinemagraph->asset()->statusOfValueForKey("tracks", &loadError) == media::KeyValueStatus::Failed)
                error = loadError ? loadError : readerError("The cinemagraph's movie cannot be read.");
            else if (!mvr_videoTrack(self->m_cinemagraph->asset()))
                error = readerError("The cinemagraph's movie has no video.");
        }
        if (completionHandler)
            completionHandler(error);
    });
}

media::SampleBufferPtr MVRCinemagraphReader::copyNextSourceSampleBuffer(foundation::ErrorPtr* error)
{
    if (m_state == notStarted)
        m_state = setUp(error) ? forward : finished;
    if (m_state == forward) {
        if (auto sample = copyNextForwardSample(error))
            return sample;
    }
    if (m_state == reverse)
        return copyNextReverseSample(error);
    return nullptr;
}

media::SampleBufferPtr MVRCinemagraphReader::copyNextForwardSample(foundation::ErrorPtr* error)
{
    if (m_reader->status() != media::AssetReader::Status::Reading) {
        // The forward reading already ended in an earlier call.
    } else if (auto sample = m_output->copyNextSampleBuffer()) {
        const media::Time t = sample->outputPresentationTimeStamp();
        const media::Time duration = m_cinemagraph->asset()->duration();
        if (t < duration) {
            if (m_cinemagraph->isReverseLoopEnabled())
                m_loopTimes.push_back({t, media::Time::invalid()});
            return sample;
        }
        std::printf("*** VERY LAST POSSIBLE TIME EVER %s BAILING NOW TO AVOID BLACK FRAME ***\n", t.description().c_str());
        m_reader->cancelReading();
    }
    switch (m_reader->status()) {
    case media::AssetReader::Status::Completed:
    case media::AssetReader::Status::Cancelled:
        m_state = m_cinemagraph->isReverseLoopEnabled() ? reverse : finished;
        break;
    case media::AssetReader::Status::Failed:
        fill(error, m_reader->error() ? m_reader->error() : readerError("The cinemagraph's movie could not be read to its end."));
        m_state = finished;
        break;
    default: break;
    }
    return nullptr;
}

media::SampleBufferPtr MVRCinemagraphReader::copyNextReverseSample(foundation::ErrorPtr* error)
{
    if (!m_reverseListMade) {
        m_reverseListMade = true;
        // The turning frames are not shown twice: drop the first and the last forward frame,
        // and give the rest, last first, the times that follow the last forward frame.
        if (m_loopTimes.size() < 3) {
            m_loopTimes.clear();
        } else {
            const media::Time last = m_loopTimes.back().sourceTime;
            m_loopTimes.pop_back();
            m_loopTimes.erase(m_loopTimes.begin());
            std::reverse(m_loopTimes.begin(), m_loopTimes.end());
            for (auto& entry : m_loopTimes)
                entry.presentationTime = last + (last - entry.sourceTime);
        }
    }
    if (m_reverseNext >= m_loopTimes.size()) {
        m_state = finished;
        return nullptr;
    }
    const LoopTime entry = m_loopTimes[m_reverseNext++];
    foundation::ErrorPtr failure;
    auto reader = media::AssetReader::assetReaderWithAsset(m_cinemagraph->asset(), &failure);
    media::SampleBufferPtr sample;
    if (reader) {
        auto output = makeReaderOutput(m_cinemagraph->asset());
        if (output && reader->canAddOutput(output)) {
            reader->addOutput(output);
            reader->setTimeRange(media::TimeRange::make(entry.sourceTime, media::Time::positiveInfinity()));
            if (reader->startReading())
                sample = output->copyNextSampleBuffer();
            reader->cancelReading();
        }
        if (!sample)
            failure = reader->error();
    }
    if (!sample) {
        fill(error, failure ? failure : readerError("A frame of the backward pass could not be read."));
        m_state = finished;
        return nullptr;
    }
    media::SampleTimingInfo timing = sample->timingInfo();
    timing.presentationTimeStamp = entry.presentationTime;
    timing.decodeTimeStamp = media::Time::invalid();
    return sample->createCopyWithNewTiming(timing);
}

// ---- rendering ------------------------------------------------------------------------------

graphics::FilterImagePtr MVRCinemagraphReader::rotatedImage(const graphics::FilterImagePtr& image,
                                                            const graphics::AffineTransform& transform)
{
    if (!image || transform.isIdentity())
        return image;
    auto turned = image->imageByApplyingTransform(transform);
    return turned->imageByApplyingTransform(
        graphics::AffineTransform::makeTranslation(-turned->extent().minX(), -turned->extent().minY()));
}

media::Time MVRCinemagraphReader::scribbleOnPixelBuffer(const media::PixelBufferPtr& pixelBuffer, bool* finished,
                                                        foundation::ErrorPtr* error)
{
    foundation::ErrorPtr failure;
    auto sample = copyNextSourceSampleBuffer(&failure);
    if (!sample) {
        if (failure) {
            fill(error, failure);
            if (finished)
                *finished = false;
        } else if (finished) {
            *finished = true;
        }
        return media::Time::invalid();
    }
    if (finished)
        *finished = false;
    const media::Time time = sample->outputPresentationTimeStamp();
    graphics::FilterImagePtr frame = imageOfPixelBuffer(sample->imageBuffer());
    if (!frame) {
        fill(error, readerError("A frame of the cinemagraph's movie is in a layout that cannot be rendered."));
        return media::Time::invalid();
    }
    if (m_storedFrameShownSize) {
        const graphics::Rect stored = frame->extent();
        if (stored.size.width > 0 && stored.size.height > 0 && stored.size != *m_storedFrameShownSize)
            frame = frame->imageByApplyingTransform(graphics::AffineTransform::makeScale(
                m_storedFrameShownSize->width / stored.size.width, m_storedFrameShownSize->height / stored.size.height));
    }
    if (m_shouldApplyVideoTransform) {
        if (auto track = mvr_videoTrack(m_cinemagraph->asset()))
            frame = rotatedImage(frame, track->preferredTransform().inverted());
    }
    if (!m_hasSetBlendColorSpace) {
        // Canvas objects blend in the colour space of the frames they end up in.
        m_graph->setCanvasObjectBlendColorSpace(colorSpaceOfPixelBuffer(*pixelBuffer));
        m_hasSetBlendColorSpace = true;
    }
    m_graph->setInputMaskImage(m_cinemagraph->maskImage());
    m_graph->setInputStillImage(m_cinemagraph->stillImage());
    m_graph->setInputVideoImage(frame);
    auto output = rotatedImage(m_graph->outputImage(), m_cinemagraph->transform());
    // Frames are never kept by the graph between renders.
    m_graph->setInputVideoImage(nullptr);
    if (!output) {
        fill(error, readerError("The cinemagraph's frame could not be rendered."));
        return media::Time::invalid();
    }
    output = mvr_imageWithSize(output, {double(pixelBuffer->width()), double(pixelBuffer->height())});

    graphics::PixelFormat format;
    if (pixelBuffer->pixelFormatType() == media::PixelFormatType_32ARGB)
        format = graphics::PixelFormat::argb8;
    else if (pixelBuffer->pixelFormatType() == media::PixelFormatType_32BGRA)
        format = graphics::PixelFormat::bgra8;
    else {
        fill(error, readerError("The destination's frames are in a layout the cinemagraph cannot be rendered into."));
        return media::Time::invalid();
    }
    media::PixelBufferLock lock(*pixelBuffer);
    static const auto context = graphics::FilterContext::create();
    if (!context->render(output, static_cast<uint8_t*>(pixelBuffer->baseAddress()), pixelBuffer->bytesPerRow(),
                         {0, 0, int64_t(pixelBuffer->width()), int64_t(pixelBuffer->height())}, format, true)) {
        fill(error, readerError("The cinemagraph's frame could not be rendered."));
        return media::Time::invalid();
    }
    return time;
}

media::SampleBufferPtr MVRCinemagraphReader::copyNextSampleBuffer(foundation::ErrorPtr* error)
{
    const graphics::Size s = size();
    auto buffer = media::PixelBuffer::create(size_t(s.width), size_t(s.height), media::PixelFormatType_32BGRA);
    if (!buffer) {
        fill(error, readerError("The cinemagraph's frames have no size."));
        return nullptr;
    }
    bool done = false;
    const media::Time time = scribbleOnPixelBuffer(buffer, &done, error);
    if (done || !time.isValid())
        return nullptr;
    media::SampleTimingInfo timing;
    timing.presentationTimeStamp = time;
    return media::SampleBuffer::createForImageBuffer(buffer, timing, error);
}
