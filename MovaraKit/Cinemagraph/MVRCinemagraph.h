#pragma once
// One cinemagraph as the export side sees it: the source movie and how to present it, the
// still image and painted mask, the filter graph that renders a frame, the loop mode and the
// output orientation. Immutable; it keeps its own copy of the filter graph, so edits after it
// is made do not reach it. Any thread may read it; the graph belongs to whoever renders.

#include <cstdint>
#include <memory>
#include <optional>

#include "MovaraKit/Cinemagraph/MVRFilterGraph.h"
#include "Platform/Graphics/FilterImage.h"
#include "Platform/Graphics/Geometry.h"
#include "Platform/Media/Asset.h"
#include "Platform/Media/VideoComposition.h"

class MVRCinemagraph;
using MVRCinemagraphPtr = std::shared_ptr<const MVRCinemagraph>;

class MVRCinemagraph {
public:
    static MVRCinemagraphPtr initWithAsset(std::shared_ptr<media::Asset> asset,
                                           std::optional<media::VideoComposition> videoComposition,
                                           graphics::FilterImagePtr maskImage, graphics::FilterImagePtr stillImage,
                                           const MVRFilterGraph& filterGraph, uint64_t loopMode,
                                           const graphics::AffineTransform& transform);

    const std::shared_ptr<media::Asset>& asset() const { return m_asset; }
    const std::optional<media::VideoComposition>& videoComposition() const { return m_videoComposition; }
    const graphics::FilterImagePtr& maskImage() const { return m_maskImage; }
    const graphics::FilterImagePtr& stillImage() const { return m_stillImage; }
    const MVRFilterGraphPtr& filterGraph() const { return m_filterGraph; }
    // 0: forward, then backward; anything else: forward only.
    uint64_t loopMode() const { return m_loopMode; }
    bool isReverseLoopEnabled() const { return m_loopMode == 0; }
    const graphics::AffineTransform& transform() const { return m_transform; }

    // The size of a rendered frame at `scale` (only 0 < scale < 1 shrinks it): the movie's
    // oriented size, cut to the crop, turned by the transform, always even.
    graphics::Size renderSizeForScale(double scale) const;

    // The value is immutable: a copy is the same object.
    MVRCinemagraphPtr copy() const { return m_self.lock(); }

    MVRCinemagraph() = default;

private:
    std::shared_ptr<media::Asset> m_asset;
    std::optional<media::VideoComposition> m_videoComposition;
    graphics::FilterImagePtr m_maskImage;
    graphics::FilterImagePtr m_stillImage;
    MVRFilterGraphPtr m_filterGraph;
    uint64_t m_loopMode = 0;
    graphics::AffineTransform m_transform;
    std::weak_ptr<const MVRCinemagraph> m_self;
};
