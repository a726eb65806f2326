#pragma once
// Shows what a media::Player plays: the frame at the player's current time, fitted into the
// bounds by the video gravity over a black background, each time the view is drawn. The
// player is observable under "player", so "player.currentItem.status" can be observed
// through the view. Main thread only.

#include <memory>

#include "Platform/Foundation/Observable.h"
#include "Platform/Media/Player.h"
#include "Platform/UI/View.h"

namespace ui {

// How the frame fills the bounds: whole and centred, covering them (cropped), or stretched.
enum class VideoGravity { resizeAspect, resizeAspectFill, resize };

class PlayerView : public View, public foundation::Observable {
public:
    static std::shared_ptr<PlayerView> initWithFrame(const graphics::Rect& frame);

    media::PlayerPtr player() const { return m_player; }
    void setPlayer(media::PlayerPtr player);
    VideoGravity videoGravity() const { return m_videoGravity; }
    void setVideoGravity(VideoGravity gravity);

    // Where a frame of `frameSize` pixels lands in the bounds under the video gravity.
    graphics::Rect videoRectForFrameSize(graphics::Size frameSize) const;

    void draw(const graphics::Rect& dirtyRect, GraphicsContext& context) override;
    bool isOpaque() const override { return true; }
    bool isAnimating() const override { return m_player && m_player->rate() != 0.0f; }
    const foundation::KeyTable& observableKeys() const override;

protected:
    explicit PlayerView(const graphics::Rect& frame);

private:
    media::PlayerPtr m_player;
    VideoGravity m_videoGravity = VideoGravity::resizeAspect;
};

using PlayerViewPtr = std::shared_ptr<PlayerView>;

} // namespace ui
