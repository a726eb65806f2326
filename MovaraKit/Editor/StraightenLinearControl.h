#pragma once
// The straighten dial: a ruler of degree ticks (-90 to 90, labelled every five degrees) that
// slides under a fixed centre indicator. Dragging it with the mouse or touches changes the
// value (degrees, held within -45...45), which snaps to the crop controller's snap angles
// once the drag has gone more than five degrees from where it began. Everything is drawn by
// layers in the control's backing layer. Touch tracking is reported through the event
// handler; mouse tracking only changes the value. Main thread.

#include <functional>
#include <memory>
#include <optional>
#include <variant>
#include <vector>

#include "MovaraKit/Editor/CropController.h"
#include "Platform/UI/Control.h"
#include "Platform/UI/Layer.h"

class StraightenLinearControlImpl;

class StraightenLinearControl : public ui::Control {
public:
    struct BeginTracking { };
    struct ContinueTracking {
        double value = 0;
    };
    struct EndTracking {
        bool cancelled = false;
    };
    using Event = std::variant<BeginTracking, ContinueTracking, EndTracking>;
    // The touches of one touch event that belong to the control, as locations in it.
    using Touches = std::vector<graphics::Point>;

    static std::shared_ptr<StraightenLinearControl> initWithFrame(const graphics::Rect& frame);
    ~StraightenLinearControl() override;

    double value();
    void setValue(double value);
    std::shared_ptr<CropController> cropController();
    // Markers follow at the next refresh.
    void setCropController(const std::shared_ptr<CropController>& controller);
    // Whether the latest tracking step snapped (false outside tracking).
    bool didSnap();
    const std::function<void(const Event&)>& eventHandler() const { return m_eventHandler; }
    void setEventHandler(std::function<void(const Event&)> handler) { m_eventHandler = std::move(handler); }

    void setFrame(const graphics::Rect& frame) override;
    // Takes the window's backing scale (1 without a window), then rebuilds and lays out.
    void setNeedsDisplay();
    void viewDidMoveToWindow() override;
    bool acceptsFirstMouse(const ui::Event*) const { return true; }

    void mouseDown(const ui::Event& event) override;
    void mouseDragged(const ui::Event& event) override;
    void mouseUp(const ui::Event& event) override;
    void touchesBegan(const Touches& touches);
    void touchesMoved(const Touches& touches);
    void touchesEnded(const Touches& touches);
    void touchesCancelled(const Touches& touches);

    // For tests and hosts that draw the dial elsewhere.
    StraightenLinearControlImpl& impl();

private:
    explicit StraightenLinearControl(const graphics::Rect& frame);
    void send(const Event& event);

    std::unique_ptr<StraightenLinearControlImpl> m_impl;
    std::function<void(const Event&)> m_eventHandler;
};

// The dial's geometry and state, and its layers.
class StraightenLinearControlImpl {
public:
    struct Decoration {
        std::shared_ptr<ui::TextLayer> label;
        std::shared_ptr<ui::ShapeLayer> shapeLayer;
        double value = 0;
    };

    explicit StraightenLinearControlImpl(ui::LayerPtr layer);

    const ui::LayerPtr& layer() const { return m_layer; }
    std::weak_ptr<CropController> cropController;

    static constexpr double startValue = -90.0;
    static constexpr double endValue = 90.0;
    static constexpr double pointsPerDegree = 7.0;
    static constexpr double minValue = -45.0;
    static constexpr double maxValue = 45.0;

    double value = 0.0;
    double contentsScale = 1.0;
    double touchStartValue = 0.0;
    graphics::Point touchStartPoint;
    bool didSnap = false;
    bool rotationCanSnap = false;

    const std::vector<Decoration>& decorations() const { return m_decorations; }
    const std::vector<Decoration>& snapAngleDecorations() const { return m_snapAngleDecorations; }
    const ui::LayerPtr& dialLayer() const { return m_dialLayer; }
    const std::shared_ptr<ui::ShapeLayer>& indicator() const { return m_indicator; }

    // Holds the value within the accepted range and moves the dial.
    void applyValue();
    std::optional<double> snappedValue(double value);
    void track(const graphics::Point& point);
    void beginTracking(const graphics::Point& point);
    void resetTracking();
    void refresh();
    void layoutLayers();
    // Where the tick of `value` lies, in the dial's coordinates.
    double dialPosition(double value) const;

private:
    void buildLayers();
    Decoration makeDecoration(double value, bool isLong, bool isSnapMarker);
    void placeDecoration(const Decoration& decoration);

    ui::LayerPtr m_layer;
    std::optional<double> m_minusGlyphWidth;
    std::vector<Decoration> m_decorations;
    std::vector<Decoration> m_snapAngleDecorations;
    ui::LayerPtr m_dialLayer;
    std::shared_ptr<ui::GradientLayer> m_minGradient;
    std::shared_ptr<ui::GradientLayer> m_maxGradient;
    std::shared_ptr<ui::ShapeLayer> m_indicator;
};
