#pragma once
// The root layer of the canvas editor: it owns the contents layer (the picture and one layer
// per object) and adds the editor's feedback on top: a selection layer per selected object,
// alignment guides (with distance labels for the four corner-distance guides) and a marquee.
// The host decides what is selected, which guides show, the measured rectangle and the
// marquee; this layer turns them into layers at layout. Main thread.

#include <cstdint>
#include <map>
#include <memory>

#include "MovaraKit/Canvas/CanvasObject.h"
#include "MovaraKit/Editor/CanvasContentsLayer.h"
#include "MovaraKit/Editor/EditorLayers.h"

class CanvasLayer : public NoAnimationLayer {
public:
    enum AlignmentFlags : int64_t {
        centerX = 1,
        centerY = 2,
        minX = 4,
        minY = 8,
        maxX = 16,
        maxY = 32,
        top = 256,
        left = 512,
        bottom = 1024,
        right = 2048,
    };

    static std::shared_ptr<CanvasLayer> layer();

    // Made and added on top on first read; a replacement is neither added nor removed here.
    const std::shared_ptr<CanvasContentsLayer>& contentsLayer();
    void setContentsLayer(std::shared_ptr<CanvasContentsLayer> layer) { m_contentsLayer = std::move(layer); }

    double alignmentLayerScale() const { return m_alignmentLayerScale; }
    void setAlignmentLayerScale(double scale);
    int64_t alignmentFlags() const { return m_alignmentFlags; }
    void setAlignmentFlags(int64_t flags);
    // In contents-layer coordinates; null shows none of the corner-distance guides.
    graphics::Rect cornerAlignmentDistanceRect() const { return m_cornerAlignmentDistanceRect; }
    void setCornerAlignmentDistanceRect(const graphics::Rect& rect);
    // In contents-layer coordinates; null shows no marquee.
    graphics::Rect marqueeRect() const { return m_marqueeRect; }
    void setMarqueeRect(const graphics::Rect& rect);

    // A new selection layer on top for an object without one (an object that has one gets
    // it back); the caller sizes and turns it to match the object.
    std::shared_ptr<SelectionLayer> insertSelectionLayer(const CanvasObjectPtr& object);
    // The object's selection layer, or none.
    std::shared_ptr<SelectionLayer> selectionLayer(const CanvasObjectPtr& object) const;
    void removeSelectionLayer(const CanvasObjectPtr& object);

    // The guide layer of one flag, or none (for tests and hosts that style guides).
    std::shared_ptr<AlignmentGuideLayer> alignmentGuideLayer(int64_t flag) const;
    const std::shared_ptr<NoAnimationLayer>& marqueeLayer() const { return m_marqueeLayer; }

    void layoutSublayers() override;

private:
    CanvasLayer() = default;
    std::shared_ptr<AlignmentGuideLayer> guide(int64_t flag, bool create);
    void removeGuide(int64_t flag);

    std::shared_ptr<CanvasContentsLayer> m_contentsLayer;
    double m_alignmentLayerScale = 1.0;
    int64_t m_alignmentFlags = 0;
    graphics::Rect m_cornerAlignmentDistanceRect = graphics::Rect::null();
    std::shared_ptr<NoAnimationLayer> m_marqueeLayer;
    graphics::Rect m_marqueeRect = graphics::Rect::null();
    std::map<int64_t, std::shared_ptr<AlignmentGuideLayer>> m_alignmentFlagToLayerMap;
    std::map<const CanvasObject*, std::pair<CanvasObjectPtr, std::shared_ptr<SelectionLayer>>> m_objToSelectionLayerMap;
};
