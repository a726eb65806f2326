#include "MovaraKit/Editor/StraightenLinearControl.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <numbers>

#include "Platform/UI/Event.h"
#include "Platform/UI/GraphicsContext.h"
#include "Tests/Support/TempDir.h"

using graphics::Point;
using graphics::Rect;
using Impl = StraightenLinearControlImpl;

namespace {

std::shared_ptr<StraightenLinearControl> makeControl()
{
    auto control = StraightenLinearControl::initWithFrame(Rect::make(0, 0, 400, 60));
    control->setNeedsDisplay();
    return control;
}

// Where the tick of `v` lies in the control, horizontally.
double tickX(StraightenLinearControl& control, double v)
{
    auto& impl = control.impl();
    return control.layer()->convertPointFromLayer({impl.dialPosition(v), 0}, impl.dialLayer().get()).x;
}


} // namespace

TEST(StraightenLinearControl, TheDialHasItsTicksLabelsAndIndicator)
{
    auto control = StraightenLinearControl::initWithFrame(Rect::make(0, 0, 400, 60));
    EXPECT_EQ(control->value(), 0);
    EXPECT_FALSE(control->didSnap());
    control->setNeedsDisplay();
    auto& impl = control->impl();
    EXPECT_EQ(impl.dialLayer()->bounds(), Rect::make(0, 0, 1260, 21));
    EXPECT_EQ(impl.dialLayer()->position(), (Point {200, 30}));
    ASSERT_EQ(impl.decorations().size(), 181u);
    std::vector<std::string> labels;
    for (const auto& d : impl.decorations())
        if (d.label)
            labels.push_back(d.label->string());
    ASSERT_EQ(labels.size(), 37u);
    EXPECT_EQ(labels.front(), "-90");
    EXPECT_EQ(labels[18], "0");
    EXPECT_EQ(labels.back(), "90");
    EXPECT_NEAR(tickX(*control, 0), 200, 1e-9);
    EXPECT_EQ(impl.indicator()->position(), (Point {200, 0}));

    // Negative labels centre their digits, not the minus sign.
    for (const auto& d : impl.decorations()) {
        if (!d.label)
            continue;
        if (d.value < 0)
            EXPECT_GT(d.label->anchorPoint().x, 0.5) << d.value;
        else
            EXPECT_EQ(d.label->anchorPoint().x, 0.5) << d.value;
    }
    // Out-of-range ticks are dimmed; the bounds keep their colours.
    auto tickColour = [&](double v) {
        for (const auto& d : impl.decorations())
            if (d.value == v)
                return d.shapeLayer->fillColor()->rgba().red;
        return -1.0;
    };
    EXPECT_NEAR(tickColour(-46), 0.1, 1e-9);
    EXPECT_NEAR(tickColour(50), 0.1, 1e-9);
    EXPECT_NEAR(tickColour(45), 214.0 / 255.0, 1e-9);
    EXPECT_NEAR(tickColour(-44), 121.0 / 255.0, 1e-9);
    // A second refresh makes no more ticks.
    control->setNeedsDisplay();
    EXPECT_EQ(impl.decorations().size(), 181u);
}

TEST(StraightenLinearControl, ValuesAreClampedAndDragsMoveTheDial)
{
    auto control = makeControl();
    control->setValue(60);
    EXPECT_EQ(control->value(), 45);
    EXPECT_NEAR(tickX(*control, -45), 200, 1e-9);
    control->setValue(-50);
    EXPECT_EQ(control->value(), -45);
    EXPECT_NEAR(tickX(*control, 45), 200, 1e-9);

    struct Case {
        double drag, expected;
    };
    for (const Case& c : {Case {35, 5.0}, Case {-35, -5.0}, Case {400, 45.0}}) {
        control->setValue(0);
        control->touchesBegan({{100, 30}});
        control->touchesMoved({{100 + c.drag, 30}});
        EXPECT_DOUBLE_EQ(control->value(), c.expected);
        control->touchesEnded({});
    }
}

TEST(StraightenLinearControl, SnappingStartsOnlyAfterFiveDegrees)
{
    auto crop = CropController::init();
    crop->appendSnapAngle(0);
    crop->appendSnapAngle(0.1);
    auto control = makeControl();
    control->setCropController(crop);
    std::vector<StraightenLinearControl::Event> events;
    std::vector<bool> snappedAtEvent;
    control->setEventHandler([&](const StraightenLinearControl::Event& e) {
        events.push_back(e);
        snappedAtEvent.push_back(control->didSnap());
    });
    auto moveTo = [&](double degrees) { control->touchesMoved({{100 + degrees * Impl::pointsPerDegree, 30}}); };

    control->touchesBegan({{100, 30}});
    ASSERT_EQ(events.size(), 1u);
    EXPECT_TRUE(std::holds_alternative<StraightenLinearControl::BeginTracking>(events[0]));
    moveTo(1.0);
    EXPECT_DOUBLE_EQ(control->value(), 1.0);
    EXPECT_FALSE(control->didSnap());
    moveTo(4.9);
    EXPECT_DOUBLE_EQ(control->value(), 4.9);
    moveTo(12);
    EXPECT_DOUBLE_EQ(control->value(), 12);
    moveTo(6.5);
    EXPECT_NEAR(control->value(), 0.1 * 180 / std::numbers::pi, 1e-9);
    EXPECT_TRUE(snappedAtEvent.back());
    moveTo(1.5);
    EXPECT_EQ(control->value(), 0);
    ASSERT_TRUE(std::holds_alternative<StraightenLinearControl::ContinueTracking>(events.back()));
    EXPECT_EQ(std::get<StraightenLinearControl::ContinueTracking>(events.back()).value, 0);
    control->touchesEnded({});
    EXPECT_FALSE(control->didSnap());
    EXPECT_EQ(control->value(), 0);
    ASSERT_TRUE(std::holds_alternative<StraightenLinearControl::EndTracking>(events.back()));
    EXPECT_FALSE(std::get<StraightenLinearControl::EndTracking>(events.back()).cancelled);
}

TEST(StraightenLinearControl, SnapMarkersFollowTheControllerAndNeverPileUp)
{
    auto crop = CropController::init();
    crop->appendSnapAngle(0.1);
    auto control = makeControl();
    control->setCropController(crop);
    control->setNeedsDisplay();
    control->setNeedsDisplay();
    auto& impl = control->impl();
    ASSERT_EQ(impl.snapAngleDecorations().size(), 1u);
    EXPECT_NEAR(impl.snapAngleDecorations()[0].value, -5.7296, 1e-3);
    size_t markers = 0;
    for (const auto& sub : impl.dialLayer()->sublayers())
        for (const auto& d : impl.snapAngleDecorations())
            markers += sub == d.shapeLayer;
    EXPECT_EQ(markers, 1u);
    control->setValue(0.1 * 180 / std::numbers::pi);
    EXPECT_NEAR(tickX(*control, impl.snapAngleDecorations()[0].value), 200, 1e-9);

    crop->resetSnapAngles();
    control->setNeedsDisplay();
    EXPECT_TRUE(impl.snapAngleDecorations().empty());
    size_t dialSublayers = impl.dialLayer()->sublayers().size();
    EXPECT_EQ(dialSublayers, 181u + 37u);
}

TEST(StraightenLinearControl, CancelRestoresAndEmptyTouchesDoNothing)
{
    auto control = makeControl();
    control->setValue(3);
    std::vector<StraightenLinearControl::Event> events;
    control->setEventHandler([&](const StraightenLinearControl::Event& e) { events.push_back(e); });
    control->touchesBegan({});
    control->touchesMoved({});
    EXPECT_TRUE(events.empty());
    control->touchesBegan({{10, 10}});
    control->touchesMoved({{80, 10}});
    EXPECT_DOUBLE_EQ(control->value(), 13);
    control->touchesCancelled({});
    EXPECT_EQ(control->value(), 3);
    ASSERT_EQ(events.size(), 3u);
    EXPECT_TRUE(std::get<StraightenLinearControl::EndTracking>(events.back()).cancelled);
    control->touchesEnded({});
    EXPECT_EQ(events.size(), 4u);
}

TEST(StraightenLinearControl, MouseDragsMoveTheDialWithoutEvents)
{
    auto control = makeControl();
    int events = 0;
    control->setEventHandler([&](const StraightenLinearControl::Event&) { ++events; });
    control->mouseDown(ui::Event::mouseEvent(ui::EventType::leftMouseDown, {100, 30}, nullptr));
    control->mouseDragged(ui::Event::mouseEvent(ui::EventType::leftMouseDragged, {128, 30}, nullptr));
    EXPECT_DOUBLE_EQ(control->value(), 4);
    control->mouseUp(ui::Event::mouseEvent(ui::EventType::leftMouseUp, {135, 30}, nullptr));
    EXPECT_DOUBLE_EQ(control->value(), 5);
    EXPECT_EQ(events, 0);
    EXPECT_FALSE(control->didSnap());
}

// The dial as a user sees it, with a snap marker. Look at the snapshot.
TEST(StraightenLinearControl, SnapshotOfTheDial)
{
    testsupport::TempDir dir;
    auto crop = CropController::init();
    crop->appendSnapAngle(0.1);
    auto control = StraightenLinearControl::initWithFrame(Rect::make(0, 0, 420, 48));
    control->setCropController(crop);
    control->setNeedsDisplay();
    control->setValue(-12);
    auto snapshot = control->layer()->snapshot(2.0);
    ASSERT_TRUE(snapshot);
    const char* keep = std::getenv("EDITOR_SNAPSHOT_DIR");
    const std::string path = keep ? std::string(keep) + "/straighten-dial.png" : (dir / "straighten-dial.png").string();
    ASSERT_TRUE(snapshot->writePNG(path));
    auto image = snapshot->createImage();
    EXPECT_EQ(image->width(), 840u);
    // The middle of the indicator (light grey) at the bottom centre.
    const auto indicator = image->pixelAt(420, 95);
    EXPECT_GT(indicator.r, 150);
    // The edges fade to black.
    EXPECT_LT(image->pixelAt(1, 40).r, 20);
}
