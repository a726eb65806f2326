#include "MovaraKit/Media/AssetReaderPixelBufferSource.h"

#include "Platform/Media/MediaError.h"
#include "Platform/Media/VideoSettings.h"

#include <cstdio>

const std::string AssetReaderPixelBufferSourceErrorDomain = "MovaraKit.AssetReaderPixelBufferSource.Error";

namespace {

foundation::ErrorPtr sourceError(AssetReaderPixelBufferSourceErrorCode code, const std::string& description,
                                 foundation::ErrorPtr underlying = nullptr)
{
    return foundation::Error::make(AssetReaderPixelBufferSourceErrorDomain, code, description, std::move(underlying));
}

std::string describe(const foundation::ErrorPtr& error)
{
    if (!error)
        return "(null)";
    std::string text = error->localizedDescription();
    if (auto reason = error->localizedFailureReason())
        text += " " + *reason;
    return text + " (" + error->domain() + " " + std::to_string(error->code()) + ")";
}

} // namespace

AssetReaderPixelBufferSource::AssetReaderPixelBufferSource(media::AssetPtr asset,
                                                           std::optional<media::VideoComposition> videoComposition)
    : m_asset(std::move(asset))
    , m_videoComposition(std::move(videoComposition))
{
}

std::shared_ptr<AssetReaderPixelBufferSource> AssetReaderPixelBufferSource::init(
    media::AssetPtr asset, std::optional<media::VideoComposition> videoComposition)
{
    if (!asset)
        return nullptr;
    return std::shared_ptr<AssetReaderPixelBufferSource>(
        new AssetReaderPixelBufferSource(std::move(asset), std::move(videoComposition)));
}

AssetReaderPixelBufferSource::~AssetReaderPixelBufferSource()
{
    m_asset->cancelLoading();
}

void AssetReaderPixelBufferSource::setTimeRange(const media::TimeRange& range)
{
    std::lock_guard lock(m_mutex);
    m_timeRange = range;
}

media::TimeRange AssetReaderPixelBufferSource::timeRange()
{
    std::lock_guard lock(m_mutex);
    return m_timeRange;
}

media::AssetTrackPtr AssetReaderPixelBufferSource::videoTrack() const
{
    std::lock_guard lock(m_mutex);
    return m_videoTrack;
}

media::AssetReaderPtr AssetReaderPixelBufferSource::reader() const
{
    std::lock_guard lock(m_mutex);
    return m_reader;
}

std::shared_ptr<PixelBufferSourceInfo> AssetReaderPixelBufferSource::pixelBufferSourceInfo()
{
    return shared_from_this();
}

graphics::Size AssetReaderPixelBufferSource::size()
{
    auto track = videoTrack();
    if (!track || track->formatDescriptions().empty() || !track->formatDescriptions().front())
        return {};
    const auto d = track->formatDescriptions().front()->dimensions();
    return {static_cast<double>(d.width), static_cast<double>(d.height)};
}

graphics::AffineTransform AssetReaderPixelBufferSource::transform()
{
    auto track = videoTrack();
    return track ? track->preferredTransform() : graphics::AffineTransform::identity();
}

void AssetReaderPixelBufferSource::loadWithCompletionHandler(std::function<void(foundation::ErrorPtr)> completionHandler)
{
    std::weak_ptr<AssetReaderPixelBufferSource> weak = weak_from_this();
    m_asset->loadValuesAsynchronouslyForKeys({"tracks", "duration"}, [weak, completionHandler] {
        auto self = weak.lock();
        foundation::ErrorPtr error = self ? self->setUp() : foundation::Error::userCancelled();
        if (completionHandler)
            completionHandler(error);
    });
}

foundation::ErrorPtr AssetReaderPixelBufferSource::setUp()
{
    // A file that cannot be read at all says why, rather than looking like a movie without
    // video.
    foundation::ErrorPtr loadError;
    if (m_asset->statusOfValueForKey("tracks", &loadError) == media::KeyValueStatus::Failed && loadError)
        return loadError;

    const auto videoTracks = m_asset->tracksWithMediaType(media::AVMediaTypeVideo);
    if (videoTracks.empty())
        return sourceError(AssetReaderPixelBufferSourceNoVideoTrack, "The movie has no video track.");
    const auto track = videoTracks.front();
    {
        std::lock_guard lock(m_mutex);
        m_videoTrack = track;
    }

    foundation::ErrorPtr readerError;
    auto reader = media::AssetReader::assetReaderWithAsset(m_asset, &readerError);
    if (!reader)
        return readerError;
    media::TimeRange range;
    {
        std::lock_guard lock(m_mutex);
        m_reader = reader;
        if (!m_timeRange.isValid()) {
            // From zero to the end of the last edit that shows something.
            media::TimeRange computed = media::TimeRange::zero();
            for (const auto& segment : track->segments()) {
                if (segment.isEmpty())
                    continue;
                if (segment.timeMapping.target.isValid())
                    computed = computed.unionWith(segment.timeMapping.target);
            }
            m_timeRange = computed;
        }
        range = m_timeRange;
    }
    if (range.isValid())
        reader->setTimeRange(range);

    const auto settings = foundation::Value::dictionary(
        {{media::kCVPixelBufferPixelFormatTypeKey,
          static_cast<int64_t>(media::PixelFormatType_420YpCbCr8BiPlanarVideoRange)}});
    media::AssetReaderOutputPtr output;
    try {
        if (m_videoComposition) {
            auto compositionOutput =
                media::AssetReaderVideoCompositionOutput::assetReaderVideoCompositionOutputWithVideoTracks(videoTracks,
                                                                                                         settings);
            compositionOutput->setVideoComposition(*m_videoComposition);
            output = compositionOutput;
        } else {
            output = media::AssetReaderTrackOutput::assetReaderTrackOutputWithTrack(track, settings);
        }
    } catch (const foundation::Exception& exception) {
        return sourceError(AssetReaderPixelBufferSourceCantAddReaderTrackOutput, "The movie's frames cannot be read.",
                           foundation::Error::make(media::AVFoundationErrorDomain, media::AVErrorUnknown,
                                                   exception.reason()));
    }
    {
        std::lock_guard lock(m_mutex);
        m_output = output;
    }
    if (!reader->canAddOutput(output))
        return sourceError(AssetReaderPixelBufferSourceCantAddReaderTrackOutput, "The movie's frames cannot be read.");
    reader->addOutput(output);
    if (!reader->startReading())
        return sourceError(AssetReaderPixelBufferSourceReaderFailedToStart, "The movie cannot be read.",
                           reader->error());
    return nullptr;
}

media::SampleBufferPtr AssetReaderPixelBufferSource::copyNextSampleBuffer(foundation::ErrorPtr* error)
{
    media::AssetReaderPtr reader;
    media::AssetReaderOutputPtr output;
    {
        std::lock_guard lock(m_mutex);
        reader = m_reader;
        output = m_output;
    }
    if (!output)
        return nullptr;
    if (auto sample = output->copyNextSampleBuffer())
        return sample;
    if (reader && reader->status() == media::AssetReader::Status::Failed) {
        const auto readerError = reader->error();
        std::printf("asset reader failed with error: %s\n", describe(readerError).c_str());
        std::fflush(stdout);
        // The frames read so far are not the whole movie: the operation must fail, not finish
        // a truncated output as if it were complete.
        if (error)
            *error = readerError ? readerError
                                 : foundation::Error::make(media::AVFoundationErrorDomain, media::AVErrorUnknown);
    }
    return nullptr;
}
