#include "MovaraKit/Editor/CanvasContentsLayer.h"

#include <algorithm>

#include "MovaraKit/Canvas/TextCanvasObject.h"

std::shared_ptr<CanvasContentsLayer> CanvasContentsLayer::layer()
{
    return std::shared_ptr<CanvasContentsLayer>(new CanvasContentsLayer());
}

const std::shared_ptr<NoAnimationLayer>& CanvasContentsLayer::backgroundImageLayer()
{
    if (!m_backgroundImageLayer)
        m_backgroundImageLayer = NoAnimationLayer::layer();
    return m_backgroundImageLayer;
}

ui::LayerPtr CanvasContentsLayer::insertLayer(const CanvasObjectPtr& object)
{
    if (!object)
        return nullptr;
    if (auto existing = layer(object))
        return existing;
    auto l = NoAnimationLayer::layer();
    l->setDelegate(object);
    l->setNeedsDisplay();
    if (std::dynamic_pointer_cast<TextCanvasObject>(object))
        l->setNeedsDisplayOnBoundsChange(true);
    m_objToLayerMap[object.get()] = {object, l, m_nextOrder++};
    addSublayer(l);
    return l;
}

ui::LayerPtr CanvasContentsLayer::layer(const CanvasObjectPtr& object) const
{
    auto it = m_objToLayerMap.find(object.get());
    return it == m_objToLayerMap.end() ? nullptr : it->second.layer;
}

void CanvasContentsLayer::removeLayer(const CanvasObjectPtr& object)
{
    auto it = m_objToLayerMap.find(object.get());
    if (it == m_objToLayerMap.end())
        return;
    it->second.layer->setDelegate(nullptr);
    it->second.layer->removeFromSuperlayer();
    m_objToLayerMap.erase(it);
}

void CanvasContentsLayer::setBackgroundImage(graphics::ImagePtr image)
{
    m_backgroundImage = std::move(image);
    backgroundImageLayer()->setContents(m_backgroundImage);
}

void CanvasContentsLayer::layoutSublayers()
{
    const auto& background = backgroundImageLayer();
    background->setFrame(bounds());
    if (!background->superlayer())
        insertSublayer(background, 0);
    if (m_comparator) {
        std::vector<const Entry*> entries;
        for (const auto& [key, entry] : m_objToLayerMap)
            entries.push_back(&entry);
        std::sort(entries.begin(), entries.end(), [](const Entry* a, const Entry* b) { return a->order < b->order; });
        // An insertion sort from insertion order: stable, and it never reads outside the list
        // or loops whatever the comparator answers (it need not be a strict order).
        for (size_t i = 1; i < entries.size(); ++i) {
            for (size_t j = i; j > 0 && m_comparator(entries[j]->object, entries[j - 1]->object); --j)
                std::swap(entries[j], entries[j - 1]);
        }
        std::vector<ui::LayerPtr> layers {background};
        for (const Entry* e : entries)
            layers.push_back(e->layer);
        setSublayers(layers);
    }
}
