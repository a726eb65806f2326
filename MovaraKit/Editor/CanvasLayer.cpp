#include "MovaraKit/Editor/CanvasLayer.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

using graphics::Rect;

namespace {

bool sameRect(const Rect& a, const Rect& b)
{
    return a.equalTo(b);
}

std::string distanceText(double value)
{
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%0.f", value);
    return buffer;
}

} // namespace

std::shared_ptr<CanvasLayer> CanvasLayer::layer()
{
    return std::shared_ptr<CanvasLayer>(new CanvasLayer());
}

const std::shared_ptr<CanvasContentsLayer>& CanvasLayer::contentsLayer()
{
    if (!m_contentsLayer) {
        m_contentsLayer = CanvasContentsLayer::layer();
        addSublayer(m_contentsLayer);
    }
    return m_contentsLayer;
}

void CanvasLayer::setAlignmentLayerScale(double scale)
{
    m_alignmentLayerScale = scale;
    setNeedsLayout();
}

void CanvasLayer::setAlignmentFlags(int64_t flags)
{
    if (flags != m_alignmentFlags)
        setNeedsLayout();
    m_alignmentFlags = flags;
}

void CanvasLayer::setCornerAlignmentDistanceRect(const Rect& rect)
{
    if (!sameRect(rect, m_cornerAlignmentDistanceRect))
        setNeedsLayout();
    m_cornerAlignmentDistanceRect = rect;
}

void CanvasLayer::setMarqueeRect(const Rect& rect)
{
    if (!sameRect(rect, m_marqueeRect))
        setNeedsLayout();
    m_marqueeRect = rect;
}

std::shared_ptr<SelectionLayer> CanvasLayer::insertSelectionLayer(const CanvasObjectPtr& object)
{
    if (auto existing = selectionLayer(object))
        return existing;
    auto layer = SelectionLayer::layer();
    m_objToSelectionLayerMap[object.get()] = {object, layer};
    addSublayer(layer);
    return layer;
}

std::shared_ptr<SelectionLayer> CanvasLayer::selectionLayer(const CanvasObjectPtr& object) const
{
    auto it = m_objToSelectionLayerMap.find(object.get());
    return it == m_objToSelectionLayerMap.end() ? nullptr : it->second.second;
}

void CanvasLayer::removeSelectionLayer(const CanvasObjectPtr& object)
{
    auto it = m_objToSelectionLayerMap.find(object.get());
    if (it == m_objToSelectionLayerMap.end())
        return;
    it->second.second->removeFromSuperlayer();
    m_objToSelectionLayerMap.erase(it);
}

std::shared_ptr<AlignmentGuideLayer> CanvasLayer::alignmentGuideLayer(int64_t flag) const
{
    auto it = m_alignmentFlagToLayerMap.find(flag);
    return it == m_alignmentFlagToLayerMap.end() ? nullptr : it->second;
}

std::shared_ptr<AlignmentGuideLayer> CanvasLayer::guide(int64_t flag, bool create)
{
    if (auto existing = alignmentGuideLayer(flag))
        return existing;
    if (!create)
        return nullptr;
    auto layer = AlignmentGuideLayer::layer();
    layer->setAffineTransform(graphics::AffineTransform::makeScale(m_alignmentLayerScale, m_alignmentLayerScale));
    m_alignmentFlagToLayerMap[flag] = layer;
    // Guides go just above the contents layer, so the picture never hides them, and below the
    // selection layers and the marquee.
    size_t index = 0;
    const auto& subs = sublayers();
    auto contents = std::find(subs.begin(), subs.end(), std::static_pointer_cast<ui::Layer>(m_contentsLayer));
    if (m_contentsLayer && contents != subs.end())
        index = size_t(contents - subs.begin()) + 1;
    insertSublayer(layer, index);
    return layer;
}

void CanvasLayer::removeGuide(int64_t flag)
{
    auto it = m_alignmentFlagToLayerMap.find(flag);
    if (it == m_alignmentFlagToLayerMap.end())
        return;
    auto layer = it->second;
    m_alignmentFlagToLayerMap.erase(it);
    layer->removeFromSuperlayer();
}

void CanvasLayer::layoutSublayers()
{
    const auto& contents = contentsLayer();
    const Rect R = convertRectFromLayer(contents->bounds(), contents.get());
    const double t = m_alignmentLayerScale;

    const std::pair<int64_t, Rect> edges[] = {
        {minX, Rect::make(R.minX(), R.minY(), t, R.height())},
        {minY, Rect::make(R.minX(), R.minY(), R.width(), t)},
        {maxX, Rect::make(R.maxX(), R.minY(), t, R.height())},
        {maxY, Rect::make(R.minX(), R.maxY(), R.width(), t)},
        {centerX, Rect::make(R.midX(), R.minY(), t, R.height())},
        {centerY, Rect::make(R.minX(), R.midY(), R.width(), t)},
    };
    for (const auto& [flag, frame] : edges) {
        if (m_alignmentFlags & flag)
            guide(flag, true)->setFrame(frame);
        else
            removeGuide(flag);
    }

    const Rect D = m_cornerAlignmentDistanceRect;
    if (D.isNull()) {
        for (int64_t flag : {top, left, bottom, right})
            removeGuide(flag);
    } else {
        const Rect Dp = convertRectFromLayer(D, contents.get());
        const Rect B = contents->bounds();
        for (int64_t flag : {left, right, bottom, top}) {
            if (!(m_alignmentFlags & flag)) {
                removeGuide(flag);
                continue;
            }
            auto g = guide(flag, true);
            switch (flag) {
            case left:
                g->setLabel(distanceText(D.minX() - B.minX()));
                g->setFrame(Rect::make(R.minX(), std::floor(Dp.midY()), std::floor(Dp.minX()) - R.minX(), t));
                break;
            case right:
                g->setLabel(distanceText(B.maxX() - D.maxX()));
                g->setFrame(Rect::make(std::floor(Dp.maxX()), std::floor(Dp.midY()), R.maxX() - std::floor(Dp.maxX()), t));
                break;
            case bottom:
                g->setIsVertical(true);
                g->setLabel(distanceText(D.minY() - B.minY()));
                g->setFrame(Rect::make(std::floor(Dp.midX()), R.minY(), t, std::floor(Dp.minY()) - R.minY()));
                break;
            case top:
                g->setIsVertical(true);
                g->setLabel(distanceText(B.maxY() - D.maxY()));
                g->setFrame(Rect::make(std::floor(Dp.midX()), std::floor(Dp.maxY()), t, R.maxY() - std::floor(Dp.maxY())));
                break;
            }
        }
    }

    if (!m_marqueeRect.isNull()) {
        if (!m_marqueeLayer) {
            m_marqueeLayer = NoAnimationLayer::layer();
            m_marqueeLayer->setBackgroundColor(ui::Color::deviceWhite(1.0, 1.0 / 3.0));
            m_marqueeLayer->setBorderWidth(1.0);
            m_marqueeLayer->setBorderColor(ui::Color::deviceWhite(1.0, 2.0 / 3.0));
        }
        addSublayer(m_marqueeLayer);
        m_marqueeLayer->setFrame(convertRectFromLayer(m_marqueeRect, contents.get()));
    } else if (m_marqueeLayer) {
        m_marqueeLayer->removeFromSuperlayer();
        m_marqueeLayer.reset();
    }

    for (const auto& sub : sublayers())
        sub->setContentsScale(contentsScale());
}
