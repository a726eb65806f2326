#include <gtest/gtest.h>

#include "MovaraAppKit/Controls/ColorfulSlider.h"
#include "Platform/Foundation/Observable.h"
#include "Tests/MovaraAppKit/Controls/ControlsTestSupport.h"

namespace {

using controlstest::colorNear;
using graphics::Rect;

class Adjustment : public foundation::Observable {
public:
    double value() const { return m_value; }
    void setValue(double v)
    {
        willChange("value");
        m_value = v;
        didChange("value");
    }
    const foundation::KeyTable& observableKeys() const override
    {
        static const foundation::KeyTable table = [] {
            foundation::KeyTable t;
            t.key("value", &Adjustment::value, &Adjustment::setValue);
            return t;
        }();
        return table;
    }

private:
    double m_value = 0;
};

class ColorfulSliderTest : public controlstest::ControlsTest {
protected:
    // 200 x 29 at (10, 10), from 0 to 100 around 50.
    std::shared_ptr<ColorfulSlider> makeSlider(double value)
    {
        auto s = ColorfulSlider::initWithCoder(Rect::make(10, 10, 200, 29));
        s->setMinValue(0);
        s->setMaxValue(100);
        s->setInitialValue(50);
        s->setDoubleValue(value);
        s->setLocalizeLabel(false);
        s->setLabel("Exposure");
        return s;
    }
};

TEST_F(ColorfulSliderTest, BandRunsFromTheNeutralValueWithTheKnobAtTheCurrentOne)
{
    struct Case {
        double value;
        Rect band;
        Rect knob; // in the band
        const char* text;
    };
    const Case cases[] = {
        {75, Rect::make(100, 0, 50, 29), Rect::make(48, 0, 2, 29), "75.0"},
        {25, Rect::make(50, 0, 50, 29), Rect::make(0, 0, 2, 29), "25.0"},
        {100, Rect::make(100, 0, 100, 29), Rect::make(98, 0, 2, 29), "100.0"},
        {0, Rect::make(0, 0, 100, 29), Rect::make(0, 0, 2, 29), "0.0"},
        {62.25, Rect::make(100, 0, 25, 29), Rect::make(23, 0, 2, 29), "62.2"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        auto s = makeSlider(c.value);
        s->updateLayer();
        EXPECT_EQ(s->deltaLayer()->frame(), c.band);
        EXPECT_EQ(s->deltaLayer()->knobLayer()->frame(), c.knob);
        EXPECT_EQ(s->valueTextField()->stringValue(), c.text);
        EXPECT_FALSE(s->valueTextField()->isHidden());
    }
}

TEST_F(ColorfulSliderTest, AtTheNeutralValueTheTextHidesAndTheBandIsAHairline)
{
    auto s = makeSlider(75);
    s->updateLayer();
    s->setDoubleValue(50);
    s->updateLayer();
    EXPECT_TRUE(s->valueTextField()->isHidden());
    // Half a point wide at x 100, rounded out to a whole one; the knob keeps its last edge.
    EXPECT_EQ(s->deltaLayer()->frame(), Rect::make(100, 0, 1, 29));
    EXPECT_EQ(s->deltaLayer()->knobEdge(), RectEdge::maxX);
}

TEST_F(ColorfulSliderTest, CaptionAndValueSitAtTheEdgesCentredVertically)
{
    auto s = makeSlider(75);
    s->updateLayer();
    const Rect label = s->labelTextField()->frame();
    const Rect value = s->valueTextField()->frame();
    EXPECT_EQ(label.minX(), 5);
    EXPECT_EQ(s->labelTextField()->stringValue(), "Exposure");
    EXPECT_NEAR(value.maxX(), 195, 1);
    EXPECT_NEAR(label.midY(), 14.5, 1);
    EXPECT_NEAR(value.midY(), 14.5, 1);
    EXPECT_EQ(s->intrinsicContentSize().height, 29);
}

TEST_F(ColorfulSliderTest, TrackStripNeedsTwoColours)
{
    auto s = makeSlider(50);
    s->setTrackColor(0, ui::Color::calibratedRGB(1, 0, 0));
    s->setTrackColor(2, ui::Color::calibratedRGB(0, 0, 1));
    s->updateLayer();
    auto gradient = s->backgroundLayer()->gradientLayer();
    ASSERT_TRUE(gradient);
    EXPECT_EQ(gradient->colors().size(), 2u);
    EXPECT_EQ(gradient->frame(), Rect::make(0, 27, 200, 2));

    auto single = makeSlider(50);
    single->setTrackColor(1, ui::Color::calibratedRGB(0, 1, 0));
    single->updateLayer();
    EXPECT_FALSE(single->backgroundLayer()->gradientLayer());
    EXPECT_EQ(single->backgroundLayer()->backgroundColor(), ui::Color::calibratedRGB(0, 1, 0));

    // Taking colours away again removes the strip.
    s->setTrackColor(2, std::nullopt);
    s->updateLayer();
    EXPECT_FALSE(s->backgroundLayer()->gradientLayer());
    EXPECT_TRUE(s->backgroundLayer()->sublayers().size() == 1); // the band only
}

TEST_F(ColorfulSliderTest, HoverLightsTheTextAndColoursTheBand)
{
    auto s = makeSlider(75);
    auto w = windowWith(s, 220, 50);
    s->updateLayer();
    EXPECT_EQ(s->valueTextField()->textColor(), ui::Color::secondaryLabelColor());
    mouse(w, ui::EventType::mouseMoved, 100, 20);
    EXPECT_TRUE(s->hilighted());
    s->updateLayer();
    EXPECT_EQ(s->labelTextField()->textColor(), ui::Color::labelColor());
    EXPECT_EQ(s->valueTextField()->textColor(), ui::Color::labelColor());
    EXPECT_EQ(s->deltaLayer()->backgroundColor(), ui::Color::calibratedRGB(0.302, 0.192, 0.667, 0.5));
    EXPECT_EQ(s->deltaLayer()->knobLayer()->backgroundColor(), ui::Color::calibratedRGB(0.486, 0.302, 1.0, 0.5));
    mouse(w, ui::EventType::mouseMoved, 100, 45);
    EXPECT_FALSE(s->hilighted());
    s->updateLayer();
    EXPECT_EQ(s->labelTextField()->textColor(), ui::Color::secondaryLabelColor());
    EXPECT_EQ(s->deltaLayer()->backgroundColor(), ui::Color::tertiaryLabelColor());
    EXPECT_EQ(s->deltaLayer()->knobLayer()->backgroundColor(), ui::Color::tertiaryLabelColor());
}

TEST_F(ColorfulSliderTest, DoubleClickAndActionsWriteThroughTheBinding)
{
    auto model = std::make_shared<Adjustment>();
    auto s = makeSlider(0);
    s->bind(ui::NSValueBinding, model, "value");
    model->setValue(80);
    EXPECT_EQ(s->doubleValue(), 80);
    auto mirror = ui::TextField::labelWithString("");
    s->setValueLabel(mirror);

    auto w = windowWith(s, 220, 50);
    mouse(w, ui::EventType::leftMouseDown, 170, 20, 2);
    mouse(w, ui::EventType::leftMouseUp, 170, 20, 2);
    EXPECT_EQ(model->value(), 50);
    EXPECT_EQ(s->doubleValue(), 50);
    EXPECT_EQ(mirror->doubleValue(), 50);

    EXPECT_TRUE(s->performAction("maximizeValue:", nullptr));
    EXPECT_EQ(model->value(), 100);
    EXPECT_TRUE(s->performAction("minimizeValue:", nullptr));
    EXPECT_EQ(model->value(), 0);
    EXPECT_TRUE(s->performAction("reset:", nullptr));
    EXPECT_EQ(model->value(), 50);

    // A single click moves the value and does not reset it.
    mouse(w, ui::EventType::leftMouseDown, 170, 20, 1);
    mouse(w, ui::EventType::leftMouseUp, 170, 20, 1);
    EXPECT_NE(s->doubleValue(), 50);
}

TEST_F(ColorfulSliderTest, RendersInEveryLook)
{
    for (const auto& look : controlstest::allLooks) {
        SCOPED_TRACE(look.name());
        auto s = makeSlider(75);
        s->setTrackColor(0, ui::Color::calibratedRGB(1, 0, 0));
        s->setTrackColor(4, ui::Color::calibratedRGB(0, 0, 1));
        auto w = windowWith(s, 220, 50, look);
        mouse(w, ui::EventType::mouseMoved, 60, 20);
        auto image = render(w, "slider-" + look.name());
        ASSERT_TRUE(image);
        const auto background = pixel(image, look.scale, 215, 45);
        // The band (violet while lit) differs from the plain track left of the neutral value.
        const auto band = pixel(image, look.scale, 10 + 140, 15);
        const auto track = pixel(image, look.scale, 10 + 60, 15);
        EXPECT_NE(band, track);
        EXPECT_GT(int(band.b), int(band.g));
        // The strip's left end is red, its right end blue.
        EXPECT_GT(int(pixel(image, look.scale, 12, 38).r), 150);
        EXPECT_GT(int(pixel(image, look.scale, 207, 38).b), 150);
        EXPECT_NE(track, background);
    }
}

} // namespace
