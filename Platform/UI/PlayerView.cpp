#include "Platform/UI/PlayerView.h"

#include <algorithm>
#include <cmath>

#include "Platform/UI/Color.h"
#include "Platform/UI/GraphicsContext.h"

namespace ui {

using graphics::Rect;

PlayerView::PlayerView(const Rect& frame)
    : View(frame)
{
}

std::shared_ptr<PlayerView> PlayerView::initWithFrame(const Rect& frame)
{
    return std::shared_ptr<PlayerView>(new PlayerView(frame));
}

const foundation::KeyTable& PlayerView::observableKeys() const
{
    static const foundation::KeyTable table = [this] {
        foundation::KeyTable keys = Observable::observableKeys();
        keys.key("player", &PlayerView::player);
        return keys;
    }();
    return table;
}

void PlayerView::setPlayer(media::PlayerPtr player)
{
    if (player == m_player)
        return;
    willChange("player");
    m_player = std::move(player);
    didChange("player");
    setNeedsDisplay(true);
}

void PlayerView::setVideoGravity(VideoGravity gravity)
{
    m_videoGravity = gravity;
    setNeedsDisplay(true);
}

Rect PlayerView::videoRectForFrameSize(graphics::Size frameSize) const
{
    const Rect b = bounds();
    if (m_videoGravity == VideoGravity::resize || frameSize.width <= 0 || frameSize.height <= 0)
        return b;
    const double sx = b.size.width / frameSize.width;
    const double sy = b.size.height / frameSize.height;
    const double scale = m_videoGravity == VideoGravity::resizeAspect ? std::min(sx, sy) : std::max(sx, sy);
    const double w = frameSize.width * scale;
    const double h = frameSize.height * scale;
    return Rect::make(b.origin.x + (b.size.width - w) / 2, b.origin.y + (b.size.height - h) / 2, w, h);
}

void PlayerView::draw(const Rect&, GraphicsContext& context)
{
    context.setFillColor(Color::black());
    context.fillRect(bounds());
    if (!m_player)
        return;
    const media::PlayerItemPtr item = m_player->currentItem();
    if (!item || item->status() != media::PlayerItemStatus::readyToPlay)
        return;
    const graphics::ImagePtr frame = item->copyImageAtTime(m_player->currentTime());
    if (!frame)
        return;
    const graphics::Size size{static_cast<double>(frame->width()), static_cast<double>(frame->height())};
    context.drawBitmap(frame, videoRectForFrameSize(size));
}

} // namespace ui
