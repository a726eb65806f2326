#pragma once
// Draws what a canvas shows: a background picture and, above it, one layer per canvas
// object, which the object itself draws (it is the layer's delegate). This layer makes,
// finds, removes and orders those layers and keeps the background at the bottom; the caller
// sets each object layer's geometry from the object. Main thread.

#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "MovaraKit/Canvas/CanvasObject.h"
#include "MovaraKit/Editor/EditorLayers.h"

class CanvasContentsLayer : public NoAnimationLayer {
public:
    // True when the first object is drawn below the second.
    using Comparator = std::function<bool(const CanvasObjectPtr&, const CanvasObjectPtr&)>;

    static std::shared_ptr<CanvasContentsLayer> layer();

    // A new layer on top for an object that has none (text layers redraw when resized); an
    // object that already has one gets that one back.
    ui::LayerPtr insertLayer(const CanvasObjectPtr& object);
    // The object's layer, or none.
    ui::LayerPtr layer(const CanvasObjectPtr& object) const;
    // Unhooks the object from its layer and removes the layer; nothing for an unknown object.
    void removeLayer(const CanvasObjectPtr& object);

    const graphics::ImagePtr& backgroundImage() const { return m_backgroundImage; }
    // Shown at once, without waiting for a layout.
    void setBackgroundImage(graphics::ImagePtr image);
    const Comparator& objectLayerComparator() const { return m_comparator; }
    // Takes effect at the next layout.
    void setObjectLayerComparator(Comparator comparator) { m_comparator = std::move(comparator); }

    void layoutSublayers() override;

private:
    CanvasContentsLayer() = default;
    const std::shared_ptr<NoAnimationLayer>& backgroundImageLayer();

    struct Entry {
        CanvasObjectPtr object;
        ui::LayerPtr layer;
        uint64_t order = 0; // insertion order: a fixed starting point for sorting
    };
    std::map<const CanvasObject*, Entry> m_objToLayerMap;
    uint64_t m_nextOrder = 0;
    std::shared_ptr<NoAnimationLayer> m_backgroundImageLayer;
    graphics::ImagePtr m_backgroundImage;
    Comparator m_comparator;
};
