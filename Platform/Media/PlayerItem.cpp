#include "Platform/Media/PlayerItem.h"

#include "Platform/Dispatch/Queue.h"
#include "Platform/Graphics/ColorSpace.h"
#include "Platform/Media/AssetReader.h"
#include "Platform/Media/MediaError.h"
#include "Platform/Media/Player.h"
#include "Platform/Media/VideoSettings.h"

namespace media {

const std::string AVPlayerItemDidPlayToEndTimeNotification = "AVPlayerItemDidPlayToEndTimeNotification";

std::shared_ptr<PlayerItem> PlayerItem::playerItemWithURL(const foundation::URL& url)
{
    return playerItemWithAsset(Asset::assetWithURL(url));
}

std::shared_ptr<PlayerItem> PlayerItem::playerItemWithAsset(AssetPtr asset)
{
    if (!asset)
        return nullptr;
    std::shared_ptr<PlayerItem> item(new PlayerItem());
    item->m_asset = std::move(asset);
    return item;
}

PlayerItem::~PlayerItem() = default;

const foundation::KeyTable& PlayerItem::observableKeys() const
{
    static const foundation::KeyTable table = [this] {
        foundation::KeyTable keys = Observable::observableKeys();
        keys.key("status", [](const Observable& o) -> std::any {
            return static_cast<const PlayerItem&>(o).status();
        });
        keys.key("duration", [](const Observable& o) -> std::any {
            return static_cast<const PlayerItem&>(o).duration();
        });
        return keys;
    }();
    return table;
}

Time PlayerItem::currentTime() const
{
    if (auto player = m_player.lock(); player && player->currentItem().get() == this)
        return player->currentTime();
    return m_time;
}

void PlayerItem::setVideoComposition(std::optional<VideoComposition> composition)
{
    m_videoComposition = std::move(composition);
    m_frame.reset();
    m_frameRange = TimeRange::invalid();
}

void PlayerItem::seekToTime(const Time& time, const Time& toleranceBefore, const Time& toleranceAfter,
                            std::function<void(bool finished)> completion)
{
    if (auto player = m_player.lock(); player && player->currentItem().get() == this) {
        player->seekToTime(time, toleranceBefore, toleranceAfter, std::move(completion));
        return;
    }
    const bool possible = time.isNumeric();
    if (possible) {
        m_time = maximum(time, Time::zero());
        if (m_duration.isNumeric())
            m_time = minimum(m_time, m_duration);
    }
    if (completion)
        dispatch::Queue::main()->async([completion = std::move(completion), possible] { completion(possible); });
}

void PlayerItem::attachToPlayer(const std::shared_ptr<Player>& player)
{
    m_player = player;
    startLoading();
}

void PlayerItem::detachFromPlayer(const Time& time)
{
    m_time = time;
    m_player.reset();
}

void PlayerItem::startLoading()
{
    if (m_loadingStarted)
        return;
    m_loadingStarted = true;
    std::weak_ptr<PlayerItem> weak = weak_from_this();
    // The asset is read on a background queue; the status changes on the main thread, where
    // the item's observers and its player live.
    m_asset->loadValuesAsynchronouslyForKeys({"duration", "tracks"}, [weak] {
        dispatch::Queue::main()->async([weak] {
            if (auto item = weak.lock())
                item->finishLoading();
        });
    });
}

void PlayerItem::finishLoading()
{
    if (m_status != PlayerItemStatus::unknown)
        return;
    foundation::ErrorPtr error;
    const KeyValueStatus status = m_asset->statusOfValueForKey("duration", &error);
    PlayerItemStatus newStatus = PlayerItemStatus::readyToPlay;
    Time duration = Time::indefinite();
    if (status == KeyValueStatus::Loaded) {
        duration = m_asset->duration();
        if (!duration.isNumeric() || duration < Time::zero())
            duration = Time::zero();
    } else {
        newStatus = PlayerItemStatus::failed;
        if (!error)
            error = makeMediaError(AVErrorFileFormatNotRecognized, "The movie could not be opened.");
    }
    willChange("duration");
    willChange("status");
    m_duration = duration;
    m_error = error;
    m_status = newStatus;
    didChange("status");
    didChange("duration");
    if (auto player = m_player.lock())
        player->itemBecameReady(this);
}

graphics::ImagePtr PlayerItem::copyImageAtTime(const Time& requested, Time* actualTime, foundation::ErrorPtr* error)
{
    auto fail = [&](const std::string& reason) -> graphics::ImagePtr {
        if (error)
            *error = m_error ? m_error : makeMediaError(AVErrorDecodeFailed, "The frame could not be shown.", reason);
        return nullptr;
    };
    if (m_status != PlayerItemStatus::readyToPlay)
        return fail("The movie is not ready to play.");
    if (!requested.isNumeric() || !m_duration.isNumeric() || m_duration <= Time::zero())
        return fail("The movie has no frame at that time.");

    // The end of the movie shows its last frame, which covers the instant just before it.
    Time time = maximum(requested, Time::zero());
    const Time lastInstant = subtract(m_duration, Time::make(1, 1000000000));
    if (time > lastInstant)
        time = maximum(lastInstant, Time::zero());

    if (m_frame && m_frameRange.containsTime(time)) {
        if (actualTime)
            *actualTime = m_frameRange.start;
        return m_frame;
    }

    const auto tracks = m_asset->tracksWithMediaType(AVMediaTypeVideo);
    if (tracks.empty())
        return fail("The movie has no video track.");
    foundation::ErrorPtr readError;
    auto reader = AssetReader::assetReaderWithAsset(m_asset, &readError);
    if (!reader) {
        if (error)
            *error = readError;
        return nullptr;
    }
    AssetReaderOutputPtr output;
    try {
        foundation::Value settings = foundation::Value::dictionary();
        settings.set(kCVPixelBufferPixelFormatTypeKey, foundation::Value(static_cast<int64_t>(PixelFormatType_32BGRA)));
        if (m_videoComposition) {
            auto composed = AssetReaderVideoCompositionOutput::assetReaderVideoCompositionOutputWithVideoTracks(tracks, settings);
            composed->setVideoComposition(*m_videoComposition);
            output = composed;
        } else {
            output = AssetReaderTrackOutput::assetReaderTrackOutputWithTrack(tracks.front(), settings);
        }
        reader->addOutput(output);
    } catch (const foundation::Exception& e) {
        return fail(e.reason());
    }
    reader->setTimeRange(TimeRange::make(time, Time::positiveInfinity()));
    if (!reader->startReading()) {
        if (error)
            *error = reader->error();
        return nullptr;
    }
    SampleBufferPtr sample = output->copyNextSampleBuffer();
    reader->cancelReading();
    if (!sample || !sample->imageBuffer()) {
        if (reader->error() && error) {
            *error = reader->error();
            return nullptr;
        }
        return fail("The movie has no frame at that time.");
    }

    const PixelBufferPtr buffer = sample->imageBuffer();
    PixelBufferLock lock(*buffer, PixelBufferLockReadOnly);
    const size_t bytesPerRow = buffer->bytesPerRow();
    const auto* data = static_cast<const uint8_t*>(buffer->baseAddress());
    // The bitmap borrows the decoded buffer's memory and keeps the buffer alive with it.
    graphics::ImagePtr image = graphics::Image::createWithData(
        buffer->width(), buffer->height(), 8, 32, bytesPerRow, graphics::ColorSpace::createWithName(graphics::kCGColorSpaceSRGB),
        graphics::BitmapInfo{graphics::AlphaInfo::noneSkipFirst, graphics::ByteOrder::order32Little}, data,
        bytesPerRow * buffer->height(), buffer);
    if (!image)
        return fail("The frame could not be converted.");

    m_frame = image;
    const Time start = sample->presentationTimeStamp();
    const Time frameDuration = sample->duration();
    m_frameRange = start.isNumeric() && frameDuration.isNumeric() && frameDuration > Time::zero()
        ? TimeRange::make(start, frameDuration)
        : TimeRange::invalid();
    if (actualTime)
        *actualTime = start;
    return image;
}

} // namespace media
