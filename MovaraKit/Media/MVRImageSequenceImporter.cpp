#include "MovaraKit/Media/MVRImageSequenceImporter.h"

#include "MovaraKit/Media/ImageSequenceTranscode.h"
#include "MovaraKit/Media/MediaHelpers.h"
#include "MovaraKit/Media/MovieFormat.h"
#include "Platform/Dispatch/Queue.h"
#include "Platform/Media/MediaError.h"
#include "Platform/Media/VideoSettings.h"

#include <cstdio>

namespace {

MoviePixelBufferDestinationPreset presetFor(const std::optional<std::string>& videoCodec, bool useHighEfficiencyFormat)
{
    if (const auto* format = MovieFormatForCode(MVRVideoCodecFromString(videoCodec)))
        return format->preset;
    return useHighEfficiencyFormat ? MoviePixelBufferDestinationPreset::highEfficiency
                                   : MoviePixelBufferDestinationPreset::proRes4444;
}

} // namespace

std::shared_ptr<MVRImageSequenceImporter> MVRImageSequenceImporter::init()
{
    return initWithImageSources({}, 1.0);
}

std::shared_ptr<MVRImageSequenceImporter> MVRImageSequenceImporter::initWithImageSources(
    std::vector<MVRImageSourcePtr> imageSources, double scale)
{
    return initWithImageSources(std::move(imageSources), scale, std::nullopt, true);
}

std::shared_ptr<MVRImageSequenceImporter> MVRImageSequenceImporter::initWithImageSources(
    std::vector<MVRImageSourcePtr> imageSources, double scale, std::optional<std::string> videoCodec)
{
    return initWithImageSources(std::move(imageSources), scale, std::move(videoCodec), true);
}

std::shared_ptr<MVRImageSequenceImporter> MVRImageSequenceImporter::initWithImageSources(
    std::vector<MVRImageSourcePtr> imageSources, double scale, const char* videoCodec)
{
    return initWithImageSources(std::move(imageSources), scale,
                                videoCodec ? std::optional<std::string>(videoCodec) : std::nullopt, true);
}

std::shared_ptr<MVRImageSequenceImporter> MVRImageSequenceImporter::initWithImageSources(
    std::vector<MVRImageSourcePtr> imageSources, double scale, bool useHighEfficiencyFormat)
{
    return initWithImageSources(std::move(imageSources), scale, std::nullopt, useHighEfficiencyFormat);
}

std::shared_ptr<MVRImageSequenceImporter> MVRImageSequenceImporter::initWithImageSources(
    std::vector<MVRImageSourcePtr> imageSources, double /*scale*/, std::optional<std::string> videoCodec,
    bool useHighEfficiencyFormat)
{
    std::shared_ptr<MVRImageSequenceImporter> importer(new MVRImageSequenceImporter);
    importer->m_videoCodec = std::move(videoCodec);
    importer->m_useHighEfficiencyFormat = useHighEfficiencyFormat;
    std::vector<std::optional<foundation::Date>> dates;
    for (auto& source : imageSources) {
        // A missing entry has no date; it only breaks the chain of intervals.
        dates.push_back(source ? std::optional<foundation::Date>(source->date()) : std::nullopt);
    }
    importer->m_imageSources = std::move(imageSources);
    importer->m_frameDuration = estimatedFrameDurationFromDates(dates);
    importer->m_progress = foundation::Progress::discreteProgressWithTotalUnitCount(1);
    return importer;
}

media::Time MVRImageSequenceImporter::estimatedFrameDurationFromDates(
    const std::vector<std::optional<foundation::Date>>& dates)
{
    std::vector<double> intervals;
    for (size_t i = 1; i < dates.size(); ++i) {
        if (dates[i - 1] && dates[i])
            intervals.push_back(dates[i]->timeIntervalSinceDate(*dates[i - 1]));
    }
    double average = 0;
    for (double interval : intervals)
        average += interval;
    if (!intervals.empty())
        average /= static_cast<double>(intervals.size());
    if (average > 1.0 / 240.0 && average < 2.0)
        return media::Time::makeWithSeconds(average, 600);
    return media::Time::make(1, 24);
}

std::string MVRImageSequenceImporter::description() const
{
    char text[64];
    std::snprintf(text, sizeof text, "<MVRImageSequenceImporter: %p>", static_cast<const void*>(this));
    return text;
}

void MVRImageSequenceImporter::importAsynchronouslyWithOutputURL(std::optional<foundation::URL> outputURL,
                                                                 CompletionHandler completionHandler)
{
    std::unique_lock lock(m_mutex);
    if (!outputURL)
        throw foundation::Exception(foundation::NSInvalidArgumentException, "outputURL must not be nil");
    m_outputURL = outputURL;
    if (!completionHandler)
        throw foundation::Exception(foundation::NSInvalidArgumentException, "completionHandler must not be nil");
    m_completionHandler = std::move(completionHandler);
    if (m_importing)
        throw foundation::Exception(foundation::NSInternalInconsistencyException, description() + " is already importing");
    m_importing = true;
    if (m_finished)
        throw foundation::Exception(foundation::NSInternalInconsistencyException, description() + " has already finished");

    ImageSequenceTranscode::Options options;
    options.frameDuration = m_frameDuration;
    options.preset = presetFor(m_videoCodec, m_useHighEfficiencyFormat);
    options.fileType = media::AVFileTypeQuickTimeMovie;
    if (m_maxPixelSize > 0 && !m_imageSources.empty() && m_imageSources.front())
        options.scale = MVRDCTScaleToFit(m_imageSources.front()->size(), static_cast<double>(m_maxPixelSize));
    foundation::ErrorPtr failure;
    auto transcode = ImageSequenceTranscode::make(m_imageSources, *outputURL, options, &failure);
    if (!transcode) {
        // Only file URLs can take a movie; the caller still hears once, on the main queue.
        lock.unlock();
        deliverOnMainQueue(failure);
        return;
    }
    auto operation = transcode->operation;
    auto self = shared_from_this();
    // The handler owns the importer until the result is delivered; delivery drops the
    // operation (and with it this handler), which breaks the cycle.
    transcode->setCompletionHandler([self](foundation::ErrorPtr error) { self->deliverOnMainQueue(error); });
    m_operation = operation;
    m_progress->addChild(operation->progress(), 1);
    lock.unlock();

    operation->start();
}

void MVRImageSequenceImporter::deliverOnMainQueue(foundation::ErrorPtr error)
{
    auto self = shared_from_this();
    dispatch::Queue::main()->async([self, error] { self->finishWithError(error); });
}

void MVRImageSequenceImporter::finishWithError(foundation::ErrorPtr error)
{
    CompletionHandler handler;
    std::optional<foundation::URL> url;
    std::shared_ptr<TranscodeOperation> operation;
    {
        std::lock_guard lock(m_mutex);
        if (m_finished)
            throw foundation::Exception(foundation::NSInternalInconsistencyException, description() + " is already finished");
        m_finished = true;
        operation = std::move(m_operation);
        m_operation.reset();
        handler = m_completionHandler;
        url = m_outputURL;
    }
    // Released outside the lock: the operation's last reference may go here.
    operation.reset();
    if (handler) {
        if (error)
            handler(std::nullopt, error);
        else
            handler(url, nullptr);
    }
    std::lock_guard lock(m_mutex);
    m_completionHandler = nullptr;
}

bool MVRImageSequenceImporter::useHighEfficiencyFormat() const
{
    std::lock_guard lock(m_mutex);
    return m_useHighEfficiencyFormat;
}

void MVRImageSequenceImporter::setUseHighEfficiencyFormat(bool value)
{
    std::lock_guard lock(m_mutex);
    m_useHighEfficiencyFormat = value;
}

bool MVRImageSequenceImporter::isImporting() const
{
    std::lock_guard lock(m_mutex);
    return m_importing;
}

void MVRImageSequenceImporter::setImporting(bool value)
{
    std::lock_guard lock(m_mutex);
    m_importing = value;
}

bool MVRImageSequenceImporter::isFinished() const
{
    std::lock_guard lock(m_mutex);
    return m_finished;
}

void MVRImageSequenceImporter::setFinished(bool value)
{
    std::lock_guard lock(m_mutex);
    m_finished = value;
}

MVRImageSequenceImporter::CompletionHandler MVRImageSequenceImporter::completionHandler() const
{
    std::lock_guard lock(m_mutex);
    return m_completionHandler;
}

void MVRImageSequenceImporter::setCompletionHandler(CompletionHandler handler)
{
    std::lock_guard lock(m_mutex);
    m_completionHandler = std::move(handler);
}

std::optional<std::string> MVRImageSequenceImporter::videoCodec() const
{
    std::lock_guard lock(m_mutex);
    return m_videoCodec;
}

void MVRImageSequenceImporter::setVideoCodec(std::optional<std::string> codec)
{
    std::lock_guard lock(m_mutex);
    m_videoCodec = std::move(codec);
}

std::optional<foundation::URL> MVRImageSequenceImporter::outputURL() const
{
    std::lock_guard lock(m_mutex);
    return m_outputURL;
}

void MVRImageSequenceImporter::setOutputURL(std::optional<foundation::URL> url)
{
    std::lock_guard lock(m_mutex);
    m_outputURL = std::move(url);
}

foundation::ProgressPtr MVRImageSequenceImporter::progress() const
{
    std::lock_guard lock(m_mutex);
    return m_progress;
}

void MVRImageSequenceImporter::setProgress(foundation::ProgressPtr progress)
{
    std::lock_guard lock(m_mutex);
    m_progress = std::move(progress);
}

std::shared_ptr<TranscodeOperation> MVRImageSequenceImporter::operation() const
{
    std::lock_guard lock(m_mutex);
    return m_operation;
}

void MVRImageSequenceImporter::setOperation(std::shared_ptr<TranscodeOperation> operation)
{
    std::lock_guard lock(m_mutex);
    m_operation = std::move(operation);
}

media::Time MVRImageSequenceImporter::frameDuration() const
{
    std::lock_guard lock(m_mutex);
    return m_frameDuration;
}

void MVRImageSequenceImporter::setFrameDuration(const media::Time& duration)
{
    std::lock_guard lock(m_mutex);
    m_frameDuration = duration;
}

size_t MVRImageSequenceImporter::maxPixelSize() const
{
    std::lock_guard lock(m_mutex);
    return m_maxPixelSize;
}

void MVRImageSequenceImporter::setMaxPixelSize(size_t pixels)
{
    std::lock_guard lock(m_mutex);
    m_maxPixelSize = pixels;
}
