#pragma once
// The control under the preview with which the user trims the timelapse and scrubs through
// it: a thin track with a start knob and an end knob that bound the kept range, and a
// playhead inside it. Positions are fractions; knobs snap to the frames of the sequence
// (stopCount). Every change the user makes is reported through gestureHandler; the main
// window writes the positions directly for undo, reset and the playing movie.
// Main thread only.

#include <functional>
#include <memory>
#include <optional>

#include "Platform/UI/Color.h"
#include "Platform/UI/View.h"

enum class ChangedItem { startKnob = 0, endKnob = 1, playhead = 2 };
enum class ChangeGesture { panBegan = 0, panChanged = 1, panEnded = 2, clicked = 3 };
std::optional<ChangedItem> ChangedItemFromRawValue(long rawValue);
std::optional<ChangeGesture> ChangeGestureFromRawValue(long rawValue);

// The states a drag goes through (a pan gesture's).
enum class PanState { began, changed, ended, cancelled };

class TrimTrackView : public ui::View {
public:
    using GestureHandler = std::function<void(double value, ChangedItem item, ChangeGesture gesture)>;

    static std::shared_ptr<TrimTrackView> initWithFrame(const graphics::Rect& frame);

    const GestureHandler& gestureHandler() const { return m_gestureHandler; }
    void setGestureHandler(GestureHandler handler) { m_gestureHandler = std::move(handler); }

    // Number of stops (the frames); below 2 nothing snaps. Writing it snaps the knobs.
    long stopCount() const { return m_stopCount; }
    void setStopCount(long count);
    double minValue() const { return m_minValue; }
    void setMinValue(double value);
    double maxValue() const { return m_maxValue; }
    void setMaxValue(double value);

    // A start below minValue or an end above maxValue is ignored (the old value stays).
    double startKnobValue() const { return m_startKnobValue; }
    void setStartKnobValue(double value);
    double endKnobValue() const { return m_endKnobValue; }
    void setEndKnobValue(double value);
    double playheadValue() const { return m_playheadValue; }
    void setPlayheadValue(double value);

    bool isDraggingStartKnob() const { return m_isDraggingStartKnob; }
    bool isDraggingEndKnob() const { return m_isDraggingEndKnob; }
    bool isDraggingPlayhead() const { return m_isDraggingPlayhead; }
    graphics::Rect startKnobRect() const { return m_startKnobRect; }
    graphics::Rect endKnobRect() const { return m_endKnobRect; }

    ui::Color midFillColor() const { return m_midFillColor; }
    ui::Color playheadFillColor() const { return m_playheadFillColor; }

    // A value on the stops (rounded half away from zero); unchanged below 2 stops.
    double snappedValue(double value) const;
    void snapKnobsToStops();
    // A playhead past the end starts again at the start; one before the start at the end.
    void wrapPlayheadIntoRange();

    // Places the knobs for the current bounds and values (drawing does this first).
    void layoutKnobs();
    // The user's gestures, at a location in the view's coordinates.
    void click(graphics::Point location);
    void pan(PanState state, graphics::Point location);

    void draw(const graphics::Rect& dirtyRect, ui::GraphicsContext& context) override;
    void resetCursorRects() override;
    bool mouseDownCanMoveWindow() const override { return false; }
    // A press that moves before it is released is a drag; one that does not is a click.
    void mouseDown(const ui::Event& event) override;
    void mouseDragged(const ui::Event& event) override;
    void mouseUp(const ui::Event& event) override;

protected:
    explicit TrimTrackView(const graphics::Rect& frame);

private:
    double playheadValueForPoint(graphics::Point location) const;
    double knobValueForPoint(graphics::Point location) const;
    void report(double value, ChangedItem item, ChangeGesture gesture);
    void endDrag();

    GestureHandler m_gestureHandler;
    long m_stopCount = 0;
    double m_minValue = 0.0;
    double m_maxValue = 1.0;
    double m_startKnobValue = 0.0;
    bool m_isDraggingStartKnob = false;
    graphics::Rect m_startKnobRect;
    double m_endKnobValue = 1.0;
    bool m_isDraggingEndKnob = false;
    graphics::Rect m_endKnobRect;
    double m_playheadValue = 0.0;
    bool m_isDraggingPlayhead = false;
    double m_knobWidth = 10.0;
    double m_knobHeight = 15.0;
    ui::Color m_knobStrokeColor = ui::Color::calibratedWhite(0.5, 0.5);
    ui::Color m_knobFillColor = ui::Color::calibratedWhite(0.95, 1.0);
    double m_trackHeight = 5.0;
    double m_trackCornerRadius = 2.5;
    ui::Color m_midFillColor = ui::Color::deviceRGB(59.0 / 255.0, 153.0 / 255.0, 252.0 / 255.0, 1.0);
    ui::Color m_playheadFillColor = ui::Color::calibratedWhite(1.0, 0.66);
    double m_grabOffset = 0.0;

    // Mouse tracking: a press becomes a drag once it moves.
    std::optional<graphics::Point> m_pressLocation;
    bool m_panning = false;
};
