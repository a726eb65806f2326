#include <gtest/gtest.h>

#include <tuple>
#include <vector>

#include "Platform/UI/GraphicsContext.h"
#include "Quintor/TrimTrackView.h"

using graphics::Point;
using graphics::Rect;

namespace {

struct Report {
    double value;
    ChangedItem item;
    ChangeGesture gesture;
};

// A 220-point track: values map onto x = 10 + 200 v, so 0.3 sits at x = 70.
struct TrimTrackViewTest : ::testing::Test {
    std::shared_ptr<TrimTrackView> track = TrimTrackView::initWithFrame(Rect::make(0, 0, 220, 24));
    std::vector<Report> reports;

    void SetUp() override
    {
        track->setGestureHandler([this](double v, ChangedItem i, ChangeGesture g) { reports.push_back({ v, i, g }); });
        track->layoutKnobs();
    }
    static double x(double value) { return 10 + 200 * value; }
    // Takes the start knob by its inner edge and drags that edge to `value`.
    void dragStartKnob(double value)
    {
        const auto knob = track->startKnobRect();
        track->pan(PanState::began, Point { knob.maxX() - 1, knob.midY() });
        track->pan(PanState::changed, Point { x(value) - 1, knob.midY() });
        track->pan(PanState::ended, Point { x(value) - 1, knob.midY() });
        track->layoutKnobs();
    }
    void dragEndKnob(double value)
    {
        const auto knob = track->endKnobRect();
        track->pan(PanState::began, Point { knob.minX() + 1, knob.midY() });
        track->pan(PanState::changed, Point { x(value) + 1, knob.midY() });
        track->pan(PanState::ended, Point { x(value) + 1, knob.midY() });
        track->layoutKnobs();
    }
};

TEST(TrimTrackViewEnums, RawValuesOutsideTheirRangeYieldNothing)
{
    EXPECT_EQ(ChangedItemFromRawValue(2), ChangedItem::playhead);
    EXPECT_FALSE(ChangedItemFromRawValue(3));
    EXPECT_FALSE(ChangedItemFromRawValue(-1));
    EXPECT_EQ(ChangeGestureFromRawValue(3), ChangeGesture::clicked);
    EXPECT_FALSE(ChangeGestureFromRawValue(4));
}

TEST_F(TrimTrackViewTest, KnobsSnapToTheFramesOnlyWithTwoStopsOrMore)
{
    const std::vector<std::tuple<long, double, double>> cases = {
        { 5, 0.3, 0.25 },   // stops 0, 0.25, 0.5, 0.75, 1
        { 5, 0.375, 0.5 },  // half way rounds away from zero
        { 0, 0.3, 0.3 },
        { 1, 0.3, 0.3 },
        { 3, 0.2, 0.0 },
    };
    for (const auto& [stops, dragged, expected] : cases) {
        track->setStopCount(stops);
        track->setStartKnobValue(0.0);
        track->layoutKnobs();
        dragStartKnob(dragged);
        EXPECT_NEAR(track->startKnobValue(), expected, 1e-9) << stops << " stops, dragged to " << dragged;
    }
}

TEST_F(TrimTrackViewTest, WritingTheStopCountSnapsTheKnobs)
{
    track->setStartKnobValue(0.3);
    track->setEndKnobValue(0.9);
    track->setStopCount(5);
    EXPECT_DOUBLE_EQ(track->startKnobValue(), 0.25);
    EXPECT_DOUBLE_EQ(track->endKnobValue(), 1.0);
}

TEST_F(TrimTrackViewTest, KnobsStopAtEachOtherAndPushThePlayheadAlong)
{
    track->setPlayheadValue(0.5);
    dragStartKnob(0.7);
    EXPECT_DOUBLE_EQ(track->startKnobValue(), 0.7);
    EXPECT_DOUBLE_EQ(track->playheadValue(), 0.7);
    track->setEndKnobValue(0.8);
    track->layoutKnobs();
    // The start knob cannot pass the end knob...
    dragStartKnob(0.95);
    EXPECT_DOUBLE_EQ(track->startKnobValue(), 0.8);
    // ...nor the end knob the start knob.
    track->setStartKnobValue(0.4);
    track->setPlayheadValue(0.6);
    track->layoutKnobs();
    dragEndKnob(0.1);
    EXPECT_DOUBLE_EQ(track->endKnobValue(), 0.4);
    EXPECT_DOUBLE_EQ(track->playheadValue(), 0.4);
}

TEST_F(TrimTrackViewTest, ADragReportsBeganChangedEndedForTheKnobItHolds)
{
    dragEndKnob(0.6);
    ASSERT_EQ(reports.size(), 3u);
    EXPECT_EQ(reports[0].gesture, ChangeGesture::panBegan);
    EXPECT_DOUBLE_EQ(reports[0].value, 1.0);
    EXPECT_EQ(reports[1].gesture, ChangeGesture::panChanged);
    EXPECT_NEAR(reports[1].value, 0.6, 1e-9);
    EXPECT_EQ(reports[2].gesture, ChangeGesture::panEnded);
    for (const auto& r : reports)
        EXPECT_EQ(r.item, ChangedItem::endKnob);
    EXPECT_FALSE(track->isDraggingEndKnob());

    // A cancelled drag reports nothing more.
    reports.clear();
    track->pan(PanState::began, Point { 110, 12 });
    track->pan(PanState::cancelled, Point { 110, 12 });
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].item, ChangedItem::playhead);
    EXPECT_FALSE(track->isDraggingPlayhead());
}

TEST_F(TrimTrackViewTest, APlayheadDragStaysInsideTheRange)
{
    track->setStartKnobValue(0.2);
    track->setEndKnobValue(0.6);
    track->layoutKnobs();
    track->pan(PanState::began, Point { 100, 12 });
    track->pan(PanState::changed, Point { 215, 12 });
    EXPECT_DOUBLE_EQ(track->playheadValue(), 0.6);
    track->pan(PanState::changed, Point { 1, 12 });
    EXPECT_DOUBLE_EQ(track->playheadValue(), 0.2);
    track->pan(PanState::ended, Point { 1, 12 });
    EXPECT_EQ(reports.back().item, ChangedItem::playhead);
    EXPECT_EQ(reports.back().gesture, ChangeGesture::panEnded);
}

TEST_F(TrimTrackViewTest, ClicksMoveThePlayheadOnlyStrictlyInsideTheRange)
{
    track->setStartKnobValue(0.25);
    track->setEndKnobValue(0.75);
    track->layoutKnobs();
    // Click values are (x - 10) / 200 with 10-point knobs on either side.
    for (double value : { 0.25, 0.75, 0.1, 0.9 }) {
        track->click(Point { 10 + 200 * value, 2 });
        EXPECT_TRUE(reports.empty()) << value;
        EXPECT_DOUBLE_EQ(track->playheadValue(), 0.0);
    }
    track->click(Point { 110, 2 });
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_DOUBLE_EQ(reports[0].value, 0.5);
    EXPECT_EQ(reports[0].gesture, ChangeGesture::clicked);
    EXPECT_DOUBLE_EQ(track->playheadValue(), 0.5);
}

TEST_F(TrimTrackViewTest, WrappingAndOutOfRangeWrites)
{
    track->setStartKnobValue(0.2);
    track->setEndKnobValue(0.6);
    track->setPlayheadValue(0.7);
    track->wrapPlayheadIntoRange();
    EXPECT_DOUBLE_EQ(track->playheadValue(), 0.2);
    track->setPlayheadValue(0.1);
    track->wrapPlayheadIntoRange();
    EXPECT_DOUBLE_EQ(track->playheadValue(), 0.6);

    track->setStartKnobValue(-0.1);
    track->setEndKnobValue(1.2);
    EXPECT_DOUBLE_EQ(track->startKnobValue(), 0.2);
    EXPECT_DOUBLE_EQ(track->endKnobValue(), 0.6);
}

TEST_F(TrimTrackViewTest, LayoutFramesTheKeptRangeAndDrawsWithoutError)
{
    track->setStartKnobValue(0.5);
    track->setEndKnobValue(0.5);
    track->layoutKnobs();
    EXPECT_EQ(track->startKnobRect().maxX(), 110);
    EXPECT_EQ(track->endKnobRect().minX(), 110);
    EXPECT_EQ(track->startKnobRect().width(), 10);
    auto context = ui::GraphicsContext::bitmapContext({ 220, 24 }, 1.0);
    track->draw(track->bounds(), *context);
}

} // namespace
