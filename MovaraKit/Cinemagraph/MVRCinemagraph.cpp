#include "MovaraKit/Cinemagraph/MVRCinemagraph.h"

#include <cmath>

#include "MovaraKit/Editor/CropController.h"
#include "MovaraKit/Media/Asset+Movara.h"

namespace {

graphics::Size oriented(graphics::Size size, const graphics::AffineTransform& t)
{
    return {std::abs(t.a * size.width + t.c * size.height), std::abs(t.b * size.width + t.d * size.height)};
}

} // namespace

MVRCinemagraphPtr MVRCinemagraph::initWithAsset(std::shared_ptr<media::Asset> asset,
                                                std::optional<media::VideoComposition> videoComposition,
                                                graphics::FilterImagePtr maskImage, graphics::FilterImagePtr stillImage,
                                                const MVRFilterGraph& filterGraph, uint64_t loopMode,
                                                const graphics::AffineTransform& transform)
{
    auto value = std::make_shared<MVRCinemagraph>();
    value->m_asset = std::move(asset);
    value->m_videoComposition = std::move(videoComposition);
    value->m_maskImage = std::move(maskImage);
    value->m_stillImage = std::move(stillImage);
    value->m_filterGraph = filterGraph.copy();
    value->m_loopMode = loopMode;
    value->m_transform = transform;
    value->m_self = value;
    return value;
}

graphics::Size MVRCinemagraph::renderSizeForScale(double scale) const
{
    auto track = m_asset ? mvr_videoTrack(m_asset) : nullptr;
    graphics::Size natural;
    if (m_videoComposition)
        natural = m_videoComposition->renderSize;
    else if (track)
        natural = mvr_presentationSize(*track);
    const graphics::AffineTransform preferred =
        track ? track->preferredTransform() : graphics::AffineTransform::make(0, 0, 0, 0, 0, 0);
    graphics::Size size = oriented(natural, preferred);
    // The crop is drawn on the still image; without a still of some area there is nothing
    // to measure it against, and it is ignored rather than divided by zero.
    const graphics::Size still = m_stillImage ? m_stillImage->extent().size : graphics::Size{};
    if (!m_filterGraph->cropRect().isNull() && still.width > 0 && still.height > 0 && std::isfinite(still.width)
        && std::isfinite(still.height))
        size = CropController::convertCropRect(m_filterGraph->cropRect(), still, size).size;
    size = oriented(size, m_transform);
    size = {std::round(size.width), std::round(size.height)};
    if (scale > 0 && scale < 1)
        size = {size.width * scale, size.height * scale};
    return {2 * std::round(size.width / 2), 2 * std::round(size.height / 2)};
}
