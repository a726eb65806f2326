#pragma once
// What a Player plays: one asset with its load status, duration and play position. The status
// starts unknown and becomes readyToPlay or failed (observable "status", "duration") once the
// asset has been read in the background after the item is first given to a player; the
// change is made on the main thread. Main thread only.

#include "Platform/Foundation/Error.h"
#include "Platform/Foundation/Observable.h"
#include "Platform/Foundation/URL.h"
#include "Platform/Graphics/Image.h"
#include "Platform/Media/Asset.h"
#include "Platform/Media/Time.h"
#include "Platform/Media/VideoComposition.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace media {

class Player;

enum class PlayerItemStatus { unknown = 0, readyToPlay = 1, failed = 2 };

// Posted on the main thread, object the item, when playback reaches the item's end (or, played
// backwards, its start). Playback that starts at that end and so plays nothing posts nothing.
extern const std::string AVPlayerItemDidPlayToEndTimeNotification; // "AVPlayerItemDidPlayToEndTimeNotification"

class PlayerItem : public foundation::Observable, public std::enable_shared_from_this<PlayerItem> {
public:
    static std::shared_ptr<PlayerItem> playerItemWithURL(const foundation::URL& url);
    // nullptr for a null asset.
    static std::shared_ptr<PlayerItem> playerItemWithAsset(AssetPtr asset);
    ~PlayerItem() override;

    const AssetPtr& asset() const { return m_asset; }
    PlayerItemStatus status() const { return m_status; }
    // Why the item failed; null otherwise.
    foundation::ErrorPtr error() const { return m_error; }
    // Indefinite until the item is ready.
    Time duration() const { return m_duration; }
    // The play position: the player's while one plays the item, else where it was left.
    Time currentTime() const;

    // How the item's frames are rendered; none plays the first video track as it is.
    const std::optional<VideoComposition>& videoComposition() const { return m_videoComposition; }
    void setVideoComposition(std::optional<VideoComposition> composition);

    // Where playback stops going forwards and backwards; invalid (the default) means the
    // item's end and its start.
    const Time& forwardPlaybackEndTime() const { return m_forwardPlaybackEndTime; }
    void setForwardPlaybackEndTime(const Time& time) { m_forwardPlaybackEndTime = time; }
    const Time& reversePlaybackEndTime() const { return m_reversePlaybackEndTime; }
    void setReversePlaybackEndTime(const Time& time) { m_reversePlaybackEndTime = time; }

    // Moves the play position: through the player that plays the item, else for when one
    // will. The completion (on the main queue) gets whether the seek took place.
    void seekToTime(const Time& time, const Time& toleranceBefore, const Time& toleranceAfter,
                    std::function<void(bool finished)> completion = {});

    // The video frame shown at `time` (clamped into the movie), decoded on the calling thread;
    // `actualTime` gets the frame's start. Consecutive calls within one frame reuse it. None,
    // with `error`, before the item is ready or when the movie has no readable frame there.
    graphics::ImagePtr copyImageAtTime(const Time& time, Time* actualTime = nullptr,
                                       foundation::ErrorPtr* error = nullptr);

    const foundation::KeyTable& observableKeys() const override;

private:
    friend class Player;
    PlayerItem() = default;

    // The player that now plays this item (nullptr: none); the first one starts the loading.
    void attachToPlayer(const std::shared_ptr<Player>& player);
    void detachFromPlayer(const Time& time);
    void startLoading();
    void finishLoading();

    AssetPtr m_asset;
    std::optional<VideoComposition> m_videoComposition;
    Time m_forwardPlaybackEndTime = Time::invalid();
    Time m_reversePlaybackEndTime = Time::invalid();
    PlayerItemStatus m_status = PlayerItemStatus::unknown;
    foundation::ErrorPtr m_error;
    Time m_duration = Time::indefinite();
    Time m_time = Time::zero();
    std::weak_ptr<Player> m_player;
    bool m_loadingStarted = false;

    // The frame last decoded, with the span of time it covers.
    graphics::ImagePtr m_frame;
    TimeRange m_frameRange = TimeRange::invalid();
};

using PlayerItemPtr = std::shared_ptr<PlayerItem>;

} // namespace media
