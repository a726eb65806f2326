#pragma once
// The small layer classes of the canvas editor. NoAnimationLayer and NoAnimationTextLayer
// never animate a change implicitly; every other editor layer is one of them or derives from
// NoAnimationLayer. SelectionLayer outlines one selected object with eight upright grabbers;
// AlignmentGuideLayer is one yellow guide line with an optional distance label. Main thread.

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Platform/UI/Layer.h"

class NoAnimationLayer : public ui::Layer {
public:
    static std::shared_ptr<NoAnimationLayer> layer();
    std::optional<std::string> defaultActionForKey(const std::string& key) const override;

protected:
    NoAnimationLayer() = default;
};

class NoAnimationTextLayer : public ui::TextLayer {
public:
    static std::shared_ptr<NoAnimationTextLayer> layer();
    std::optional<std::string> defaultActionForKey(const std::string& key) const override;

protected:
    NoAnimationTextLayer() = default;
};

class SelectionLayer : public NoAnimationLayer, public ui::LayerDelegate {
public:
    enum GrabberVisibilityMask : int64_t {
        top = 1,
        topLeft = 2,
        left = 4,
        bottomLeft = 8,
        bottom = 16,
        bottomRight = 32,
        right = 64,
        topRight = 128,
        all = 255,
    };
    static constexpr double grabberSize = 6.0;
    static constexpr double grabberMargin = 3.0;

    static std::shared_ptr<SelectionLayer> layer();

    const std::shared_ptr<NoAnimationLayer>& borderLayer() const { return m_borderLayer; }
    std::optional<ui::Color> selectionBorderColor() const { return m_borderLayer->borderColor(); }
    void setSelectionBorderColor(std::optional<ui::Color> color) { m_borderLayer->setBorderColor(std::move(color)); }
    int64_t grabberVisibilityMask() const { return m_grabberVisibilityMask; }
    // Hides each grabber whose bit is clear (the low eight bits count).
    void setGrabberVisibilityMask(int64_t mask);
    // top, topLeft, left, bottomLeft, bottom, bottomRight, right, topRight (made on first read).
    std::vector<ui::LayerPtr> grabbers();

    void setAffineTransform(const graphics::AffineTransform& transform) override;
    void setContentsScale(double scale) override;
    void layoutSublayers() override;
    // Draws a grabber: the shared image for the selection layer's contents scale.
    void displayLayer(ui::Layer& layer) override;

    // One picture per contents scale for the whole process: a white square with a black
    // outline and a soft shadow, (12 x scale) pixels a side.
    static graphics::ImagePtr grabberImage(double scale);

private:
    SelectionLayer();
    ui::LayerPtr& grabber(int index);
    void updateGrabberVisibility();

    std::shared_ptr<NoAnimationLayer> m_borderLayer;
    std::array<ui::LayerPtr, 8> m_grabbers;
    int64_t m_grabberVisibilityMask = all;
};

class AlignmentGuideLayer : public NoAnimationLayer {
public:
    static std::shared_ptr<AlignmentGuideLayer> layer();

    const ui::Color& alignmentGuideColor() const { return m_alignmentGuideColor; }
    const std::optional<std::string>& label() const { return m_label; }
    void setLabel(std::optional<std::string> label);
    bool isVertical() const { return m_isVertical; }
    void setIsVertical(bool value);
    // The label's text layer while there is a label (after a layout).
    const std::shared_ptr<NoAnimationTextLayer>& distanceLabel() const { return m_distanceLabel; }
    // The label's font: the system font with digits of one width, 12 points, medium.
    static ui::Font labelFont();

    void layoutSublayers() override;

private:
    AlignmentGuideLayer();

    ui::Color m_alignmentGuideColor;
    std::optional<std::string> m_label;
    bool m_isVertical = false;
    std::shared_ptr<NoAnimationTextLayer> m_distanceLabel;
};
