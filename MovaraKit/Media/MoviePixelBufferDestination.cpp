#include "MovaraKit/Media/MoviePixelBufferDestination.h"

#include "MovaraKit/Media/DeviceCapabilities.h"
#include "MovaraKit/Media/MVRAVOutputSettingsAssistant.h"
#include "Platform/Media/FormatDescription.h"
#include "Platform/Media/MediaError.h"
#include "Platform/Media/VideoSettings.h"

#include <algorithm>
#include <cmath>
#include <limits>

const std::string MoviePixelBufferDestinationErrorDomain = "MovaraKit.MoviePixelBufferDestination.Error";
const std::string MoviePixelBufferDestination::videoQueueLabel = "com.movara.MovaraKit.MoviePixelBufferDestination.videoQueue";

namespace {

using foundation::Value;

// Bits per second per pixel of the high-efficiency preset: 50 Mbit/s (HEVC) or 100 Mbit/s
// (H.264) spread over 1920 x 1080 pixels.
constexpr double HEVCBitsPerPixel = 24.112654320987655;
constexpr double H264BitsPerPixel = 48.22530864197531;
constexpr double MaxAverageBitRate = 750000000.0;

foundation::ErrorPtr writeFailure(const std::string& reason)
{
    return media::makeMediaError(media::AVErrorUnknown, "The movie could not be written.", reason);
}

Value bt709ColorProperties()
{
    return Value::dictionary({{media::AVVideoColorPrimariesKey, media::AVVideoColorPrimaries_ITU_R_709_2},
                              {media::AVVideoTransferFunctionKey, media::AVVideoTransferFunction_ITU_R_709_2},
                              {media::AVVideoYCbCrMatrixKey, media::AVVideoYCbCrMatrix_ITU_R_709_2}});
}

// The size as the settings assistant takes it: whole 32-bit pixel counts.
bool fitsInt32(double v)
{
    return std::isfinite(v) && v >= 0 && v <= static_cast<double>(std::numeric_limits<int32_t>::max());
}

// What a finished writer's outcome means for the caller: success only for a completed movie.
foundation::ErrorPtr outcomeOf(const media::AssetWriter& writer)
{
    switch (writer.status()) {
    case media::AssetWriter::Status::Completed:
        return nullptr;
    case media::AssetWriter::Status::Cancelled:
        return foundation::Error::userCancelled();
    case media::AssetWriter::Status::Failed:
        if (auto e = writer.error())
            return e;
        [[fallthrough]];
    default:
        return foundation::Error::make(media::AVFoundationErrorDomain, media::AVErrorUnknown);
    }
}

} // namespace

std::optional<MoviePixelBufferDestinationPreset> MoviePixelBufferDestinationPresetFromRawValue(long rawValue)
{
    if (rawValue < 0 || rawValue > 4)
        return std::nullopt;
    return static_cast<MoviePixelBufferDestinationPreset>(rawValue);
}

MoviePixelBufferDestination::MoviePixelBufferDestination(const foundation::URL& outputURL, std::string fileType)
    : m_outputURL(outputURL)
    , m_fileType(std::move(fileType))
    , m_videoQueue(dispatch::Queue::serial(videoQueueLabel))
{
}

MoviePixelBufferDestination::~MoviePixelBufferDestination() = default;

std::shared_ptr<MoviePixelBufferDestination> MoviePixelBufferDestination::init(const foundation::URL& outputURL,
                                                                               const std::string& fileType)
{
    if (!outputURL.isFileURL())
        return nullptr;
    if (fileType != media::AVFileTypeQuickTimeMovie && fileType != media::AVFileTypeMPEG4
        && fileType != media::AVFileTypeAppleM4V)
        return nullptr;
    return std::shared_ptr<MoviePixelBufferDestination>(new MoviePixelBufferDestination(outputURL, fileType));
}

MoviePixelBufferDestinationPreset MoviePixelBufferDestination::preset() const
{
    std::lock_guard lock(m_mutex);
    return m_preset;
}

void MoviePixelBufferDestination::setPreset(MoviePixelBufferDestinationPreset preset)
{
    std::lock_guard lock(m_mutex);
    m_preset = preset;
}

std::optional<foundation::Value> MoviePixelBufferDestination::videoSettings() const
{
    std::lock_guard lock(m_mutex);
    return m_videoSettings;
}

void MoviePixelBufferDestination::setVideoSettings(std::optional<foundation::Value> settings)
{
    std::lock_guard lock(m_mutex);
    m_videoSettings = std::move(settings);
}

std::vector<media::MetadataItem> MoviePixelBufferDestination::metadata() const
{
    std::lock_guard lock(m_mutex);
    return m_metadata;
}

void MoviePixelBufferDestination::setMetadata(std::vector<media::MetadataItem> metadata)
{
    std::lock_guard lock(m_mutex);
    m_metadata = std::move(metadata);
}

media::AssetWriterPtr MoviePixelBufferDestination::assetWriter() const
{
    std::lock_guard lock(m_mutex);
    return m_assetWriter;
}

foundation::Value MoviePixelBufferDestination::presetVideoSettings(MoviePixelBufferDestinationPreset preset,
                                                                   double width, double height)
{
    using P = MoviePixelBufferDestinationPreset;
    const bool hevcEnabled = preset == P::highEfficiency && DeviceCapabilities::isHEVCEncodingEnabled();

    std::optional<std::string> assistantPreset;
    if (preset == P::h264 || (preset == P::highEfficiency && !hevcEnabled))
        assistantPreset = media::AVOutputSettingsPreset3840x2160;
    else if (preset == P::hevc || hevcEnabled)
        assistantPreset = media::AVOutputSettingsPresetHEVC3840x2160;

    Value settings = Value::dictionary();
    if (assistantPreset && fitsInt32(width) && fitsInt32(height)) {
        if (auto assistant = MVRAVOutputSettingsAssistant::outputSettingsAssistantWithPreset(*assistantPreset)) {
            assistant->setSourceVideoFormat(media::VideoFormatDescription::create(
                media::PixelFormatType_32BGRA, static_cast<int32_t>(width), static_cast<int32_t>(height)));
            if (auto offered = assistant->videoSettings(); offered && offered->isDictionary())
                settings = std::move(*offered);
        }
    }

    if (settings.dictionaryValue()->empty()) {
        std::string codec = media::AVVideoCodecTypeH264;
        if (preset == P::hevc || hevcEnabled)
            codec = media::AVVideoCodecTypeHEVC;
        else if (preset == P::proRes422)
            codec = media::AVVideoCodecTypeAppleProRes422;
        else if (preset == P::proRes4444)
            codec = media::AVVideoCodecTypeAppleProRes4444;
        settings[media::AVVideoCodecKey] = codec;
        settings[media::AVVideoScalingModeKey] = media::AVVideoScalingModeResizeAspectFill;
        settings[media::AVVideoColorPropertiesKey] = bt709ColorProperties();
    }

    if (preset == P::highEfficiency) {
        const Value* existing = settings.find(media::AVVideoCompressionPropertiesKey);
        Value compression = existing && existing->isDictionary() ? *existing : Value::dictionary();
        compression[media::AVVideoMaxKeyFrameIntervalKey] = 4;
        compression[media::AVVideoAllowFrameReorderingKey] = false;
        const double bitsPerPixel = hevcEnabled ? HEVCBitsPerPixel : H264BitsPerPixel;
        compression[media::AVVideoAverageBitRateKey] = std::min(MaxAverageBitRate, width * height * bitsPerPixel);
        settings[media::AVVideoCompressionPropertiesKey] = compression;
        // Previews and intermediates are written while the user waits and are thrown away or
        // re-encoded later: the encoder's fast mode suits them. Deliveries keep the default.
        settings[media::EncoderSpeedKey] = media::EncoderSpeedFast;
    }

    settings[media::AVVideoWidthKey] = width;
    settings[media::AVVideoHeightKey] = height;
    settings[media::AVVideoColorPropertiesKey] = bt709ColorProperties();
    return settings;
}

bool MoviePixelBufferDestination::prepareWithInfo(const std::shared_ptr<PixelBufferSourceInfo>& info,
                                                  bool shouldAllocate, foundation::ErrorPtr* error)
{
    bool ok = false;
    foundation::ErrorPtr e;
    auto work = [&] { ok = prepare(info, shouldAllocate, &e); };
    // Waiting for our own queue from one of its blocks would never end.
    if (m_videoQueue->isCurrent())
        work();
    else
        m_videoQueue->sync(work);
    if (!ok && error)
        *error = e;
    return ok;
}

bool MoviePixelBufferDestination::prepare(const std::shared_ptr<PixelBufferSourceInfo>& info, bool shouldAllocate,
                                          foundation::ErrorPtr* error)
{
    if (!info) {
        *error = writeFailure("The frames to write are not described.");
        return false;
    }
    const graphics::Size size = info->size();
    const graphics::AffineTransform transform = info->transform();

    std::optional<Value> explicitSettings;
    MoviePixelBufferDestinationPreset preset;
    std::vector<media::MetadataItem> metadata;
    {
        std::lock_guard lock(m_mutex);
        // A new preparation replaces the earlier writer; dropping it abandons its movie.
        m_assetWriter.reset();
        m_assetWriterInput.reset();
        m_assetWriterInputPixelBufferAdaptor.reset();
        m_hasStartedSession = false;
        explicitSettings = m_videoSettings;
        preset = m_preset;
        metadata = m_metadata;
    }

    // Nothing at the output URL is deleted here: the writer replaces it only once the new
    // movie is complete, so a failed or cancelled write keeps the user's file.
    auto writer = media::AssetWriter::assetWriterWithURL(m_outputURL, m_fileType, error);
    if (!writer)
        return false;
    writer->setMetadata(std::move(metadata));

    if (!explicitSettings && (!fitsInt32(size.width) || !fitsInt32(size.height))) {
        *error = writeFailure("Frames of this size cannot be written.");
        return false;
    }
    const Value settings = explicitSettings ? *explicitSettings : presetVideoSettings(preset, size.width, size.height);

    media::AssetWriterInputPtr input;
    media::AssetWriterInputPixelBufferAdaptorPtr adaptor;
    try {
        input = media::AssetWriterInput::assetWriterInputWithMediaType(media::AVMediaTypeVideo, settings);
        input->setExpectsMediaDataInRealTime(false);
        input->setTransform(transform);
        if (shouldAllocate)
            adaptor = media::AssetWriterInputPixelBufferAdaptor::assetWriterInputPixelBufferAdaptorWithAssetWriterInput(
                input, Value::dictionary({{media::kCVPixelBufferPixelFormatTypeKey,
                                           static_cast<int64_t>(media::PixelFormatType_32ARGB)}}));
    } catch (const foundation::Exception& exception) {
        // Settings can come from a file or a caller; a bad one is an error, not a crash.
        *error = writeFailure(exception.reason());
        return false;
    }

    if (!writer->canAddInput(input)) {
        *error = foundation::Error::make(MoviePixelBufferDestinationErrorDomain,
                                         MoviePixelBufferDestinationFailedToAddAssetWriterInput,
                                         "The video track cannot be added to a movie of this type.");
        return false;
    }
    writer->addInput(input);

    {
        std::lock_guard lock(m_mutex);
        m_assetWriter = writer;
        m_assetWriterInput = input;
        m_assetWriterInputPixelBufferAdaptor = adaptor;
    }
    if (!writer->startWriting()) {
        *error = writerError();
        return false;
    }
    if (!shouldAllocate)
        if (auto native = input->nativeFrameFormat())
            info->setPreferredFrameFormat(*native);
    return true;
}

foundation::ErrorPtr MoviePixelBufferDestination::writerError() const
{
    auto writer = assetWriter();
    if (!writer)
        return writeFailure("The movie writer has not been prepared.");
    const auto status = writer->status();
    const auto error = writer->error();
    if (status == media::AssetWriter::Status::Failed && error)
        return error;
    if (status == media::AssetWriter::Status::Cancelled && !error)
        return foundation::Error::userCancelled();
    return foundation::Error::make(media::AVFoundationErrorDomain, media::AVErrorUnknown);
}

bool MoviePixelBufferDestination::isReadyForMore()
{
    std::lock_guard lock(m_mutex);
    if (!m_assetWriterInput)
        return false;
    // A writer that failed (a full disk) will never be ready again: the next frame is taken
    // so that eating it reports the failure instead of leaving the job waiting for ever.
    if (m_assetWriter && m_assetWriter->status() == media::AssetWriter::Status::Failed)
        return true;
    return m_assetWriterInput->isReadyForMoreMediaData();
}

void MoviePixelBufferDestination::startEating(std::function<void()> block)
{
    media::AssetWriterInputPtr input;
    {
        std::lock_guard lock(m_mutex);
        input = m_assetWriterInput;
    }
    if (!input)
        throw foundation::Exception(foundation::NSInternalInconsistencyException,
                                    "startEating requires a successful preparation");
    input->requestMediaDataWhenReadyOnQueue(m_videoQueue, std::move(block));
}

bool MoviePixelBufferDestination::startSessionIfNeeded(const media::Time& time, foundation::ErrorPtr* error)
{
    media::AssetWriterPtr writer;
    {
        std::lock_guard lock(m_mutex);
        if (m_hasStartedSession)
            return true;
        writer = m_assetWriter;
    }
    if (!writer) {
        *error = writeFailure("The movie writer has not been prepared.");
        return false;
    }
    if (writer->status() != media::AssetWriter::Status::Writing) {
        *error = writerError();
        return false;
    }
    if (!time.isNumeric()) {
        *error = writeFailure("A frame has no valid time.");
        return false;
    }
    try {
        // The movie's timeline starts at this frame, whatever its source time.
        writer->startSessionAtSourceTime(time);
    } catch (const foundation::Exception&) {
        // The writer stopped between the check and the call (a cancel from another thread).
        *error = writerError();
        return false;
    }
    std::lock_guard lock(m_mutex);
    m_hasStartedSession = true;
    return true;
}

bool MoviePixelBufferDestination::eatSampleBuffer(const media::SampleBufferPtr& sampleBuffer, foundation::ErrorPtr* error)
{
    foundation::ErrorPtr e;
    media::AssetWriterInputPtr input;
    {
        std::lock_guard lock(m_mutex);
        input = m_assetWriterInput;
    }
    bool ok = false;
    if (!sampleBuffer || !input)
        e = writeFailure(input ? "A frame is missing." : "The movie writer has not been prepared.");
    else if (startSessionIfNeeded(sampleBuffer->outputPresentationTimeStamp(), &e))
        ok = input->appendSampleBuffer(sampleBuffer) || ((e = writerError()), false);
    if (!ok && error)
        *error = e;
    return ok;
}

media::PixelBufferPtr MoviePixelBufferDestination::createNextPixelBuffer()
{
    media::AssetWriterInputPixelBufferAdaptorPtr adaptor;
    {
        std::lock_guard lock(m_mutex);
        adaptor = m_assetWriterInputPixelBufferAdaptor;
    }
    auto pool = adaptor ? adaptor->pixelBufferPool() : nullptr;
    auto buffer = pool ? pool->createPixelBuffer() : nullptr;
    if (buffer && !buffer->hasColorSpace()) {
        buffer->setAttachment(media::kCVImageBufferColorPrimariesKey, media::kCVImageBufferColorPrimaries_ITU_R_709_2,
                              media::AttachmentMode::ShouldNotPropagate);
        buffer->setAttachment(media::kCVImageBufferTransferFunctionKey, media::kCVImageBufferTransferFunction_ITU_R_709_2,
                              media::AttachmentMode::ShouldNotPropagate);
        buffer->setAttachment(media::kCVImageBufferYCbCrMatrixKey, media::kCVImageBufferYCbCrMatrix_ITU_R_709_2,
                              media::AttachmentMode::ShouldNotPropagate);
    }
    return buffer;
}

bool MoviePixelBufferDestination::eatPixelBuffer(const media::PixelBufferPtr& pixelBuffer,
                                                 const media::Time& presentationTime, foundation::ErrorPtr* error)
{
    foundation::ErrorPtr e;
    media::AssetWriterInputPixelBufferAdaptorPtr adaptor;
    {
        std::lock_guard lock(m_mutex);
        adaptor = m_assetWriterInputPixelBufferAdaptor;
    }
    bool ok = false;
    if (!pixelBuffer || !adaptor)
        e = writeFailure(adaptor ? "A frame is missing." : "The movie writer was not prepared to hand out buffers.");
    else if (startSessionIfNeeded(presentationTime, &e))
        ok = adaptor->appendPixelBuffer(pixelBuffer, presentationTime) || ((e = writerError()), false);
    if (!ok && error)
        *error = e;
    return ok;
}

void MoviePixelBufferDestination::finishWithCompletionHandler(std::function<void(foundation::ErrorPtr)> completionHandler)
{
    media::AssetWriterPtr writer;
    media::AssetWriterInputPtr input;
    {
        std::lock_guard lock(m_mutex);
        writer = m_assetWriter;
        input = m_assetWriterInput;
    }
    if (!writer) {
        if (completionHandler)
            completionHandler(writeFailure("The movie writer has not been prepared."));
        return;
    }
    if (input)
        input->markAsFinished();
    // The handler owns the writer until it has reported, so the outcome can be read even if
    // this destination has gone meanwhile.
    writer->finishWritingWithCompletionHandler([writer, completionHandler = std::move(completionHandler)] {
        if (completionHandler)
            completionHandler(outcomeOf(*writer));
    });
}

void MoviePixelBufferDestination::cancel()
{
    std::weak_ptr<MoviePixelBufferDestination> weak = weak_from_this();
    m_videoQueue->async([weak] {
        auto self = weak.lock();
        if (!self)
            return;
        if (auto writer = self->assetWriter())
            writer->cancelWriting();
    });
}
