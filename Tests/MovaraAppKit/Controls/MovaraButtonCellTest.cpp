#include <gtest/gtest.h>

#include "MovaraAppKit/Controls/MovaraButtonCell.h"
#include "Platform/UI/Button.h"
#include "Tests/MovaraAppKit/Controls/ControlsTestSupport.h"

namespace {

using controlstest::colorNear;
using controlstest::Look;

class MovaraButtonCellTest : public controlstest::ControlsTest {
protected:
    // A 120 x 40 button at (10, 10) of a 140 x 60 window; its bezel is (17, 14, 106, 28).
    std::shared_ptr<MovaraButtonCell> makeButton()
    {
        m_button = ui::Button::initWithFrame(graphics::Rect::make(10, 10, 120, 40));
        auto cell = MovaraButtonCell::initTextCell("");
        m_button->setCell(cell);
        return cell;
    }
    graphics::ImagePtr draw(Look look, const std::string& name)
    {
        m_window = windowWith(m_button, 140, 60, look);
        return render(m_window, "button-" + name + "-" + look.name());
    }

    ui::ButtonPtr m_button;
    ui::WindowPtr m_window;
};

struct FillCase {
    const char* name;
    bool isDefault;
    bool pressed;
    bool enabled;
    bool dark;
    int grey; // -1: the built-in blue (pressed: 0.2 darker)
};

// The fill at the middle of the bezel, in every look, at both scales.
TEST_F(MovaraButtonCellTest, FillFollowsRoleStateAndAppearance)
{
    const FillCase cases[] = {
        {"default", true, false, true, false, -1},
        {"default-pressed", true, true, true, true, -1},
        {"plain-light", false, false, true, false, 220},
        {"plain-dark", false, false, true, true, 59},
        {"plain-pressed-light", false, true, true, false, 118}, // 220/255 - 0.4
        {"plain-pressed-dark", false, true, true, true, 118},
        {"disabled-light", false, false, false, false, 170},    // 0.667
        {"disabled-dark", false, false, false, true, 50},
        {"disabled-default-dark", true, false, false, true, 50}, // a disabled default button is not blue
    };
    for (const auto& c : cases) {
        for (double scale : {1.0, 2.0}) {
            SCOPED_TRACE(std::string(c.name) + (scale == 1 ? " @1x" : " @2x"));
            auto cell = makeButton();
            if (c.isDefault)
                cell->setKeyEquivalent("\r");
            cell->setHighlighted(c.pressed);
            cell->setEnabled(c.enabled);
            auto image = draw({c.dark, scale}, c.name);
            const auto p = pixel(image, scale, 70, 28);
            if (c.grey >= 0)
                EXPECT_TRUE(colorNear(p, c.grey, c.grey, c.grey));
            else if (c.pressed)
                EXPECT_TRUE(colorNear(p, 8, 102, 201));
            else
                EXPECT_TRUE(colorNear(p, 59, 153, 252));
        }
    }
}

TEST_F(MovaraButtonCellTest, OwnColoursReplaceTheBuiltInOnesOnlyWhileEnabled)
{
    auto cell = makeButton();
    cell->setKeyEquivalent("\r");
    cell->setDefaultBgColor(ui::Color::calibratedRGB(1, 0, 0));
    cell->setBgColor(ui::Color::calibratedRGB(0, 1, 0));
    EXPECT_TRUE(colorNear(pixel(draw({}, "own-default"), 1, 70, 28), 255, 0, 0));
    cell->setHighlighted(true);
    EXPECT_TRUE(colorNear(pixel(draw({}, "own-default-pressed"), 1, 70, 28), 204, 0, 0));
    cell->setHighlighted(false);
    cell->setKeyEquivalent("");
    EXPECT_TRUE(colorNear(pixel(draw({}, "own-plain"), 1, 70, 28), 0, 255, 0));
    cell->setEnabled(false);
    EXPECT_TRUE(colorNear(pixel(draw({}, "own-disabled"), 1, 70, 28), 170, 170, 170));
}

TEST_F(MovaraButtonCellTest, BorderIsATenthDarkerAndFallsOnWholePixelsAtEveryScale)
{
    for (double scale : {1.0, 2.0}) {
        SCOPED_TRACE(scale);
        auto cell = makeButton();
        cell->setKeyEquivalent("\r");
        auto image = draw({false, scale}, "border");
        // At 1x the bezel is inset by half a point so the line covers pixel column 17 whole;
        // at 2x the line covers device columns 33 and 34.
        const double x = scale == 1 ? 17.5 : 16.75;
        EXPECT_TRUE(colorNear(pixel(image, scale, x, 28), 34, 128, 227, 3));
    }
}

TEST_F(MovaraButtonCellTest, AClearBackgroundDrawsNoBezelPressedOrNot)
{
    for (bool pressed : {false, true}) {
        auto cell = makeButton();
        cell->setBgColor(ui::Color::clear());
        cell->setHighlighted(pressed);
        auto image = draw({}, pressed ? "clear-pressed" : "clear");
        const auto background = pixel(image, 1, 2, 2);
        EXPECT_EQ(pixel(image, 1, 70, 28), background);
        EXPECT_EQ(pixel(image, 1, 17, 28), background);
    }
}

TEST_F(MovaraButtonCellTest, BezelRectangleInTheContentAndInTheTitleBar)
{
    auto cell = makeButton();
    // Fractions are rounded outwards to whole points.
    EXPECT_EQ(cell->bezelRectForFrame(graphics::Rect::make(0.3, 0.4, 100, 32)), graphics::Rect::make(7, 4, 87, 21));
    EXPECT_EQ(cell->bezelRectForFrame(graphics::Rect::make(0, 0, 100, 32)), graphics::Rect::make(7, 4, 86, 20));
    cell->setIsDrawingInTitleBar(true);
    EXPECT_EQ(cell->bezelRectForFrame(graphics::Rect::make(0, 0, 100, 32)), graphics::Rect::make(2, 4, 96, 24));
}

TEST_F(MovaraButtonCellTest, TitleColourFollowsTheState)
{
    auto cell = makeButton();
    cell->setTitle("Go");
    // No own colour: the platform's title.
    EXPECT_EQ(cell->attributedTitle(), static_cast<const ui::ButtonCell&>(*cell).ui::ButtonCell::attributedTitle());
    cell->setHighlighted(true);
    auto pressed = cell->attributedTitle();
    EXPECT_EQ(pressed.attributes().foregroundColor, ui::Color::controlTextColor());
    EXPECT_EQ(pressed.attributes().alignment, ui::TextAlignment::center);
    EXPECT_EQ(pressed.string(), "Go");
    cell->setHighlighted(false);
    cell->setTextColor(ui::Color::calibratedRGB(1, 0, 0));
    EXPECT_EQ(cell->attributedTitle().attributes().foregroundColor, ui::Color::calibratedRGB(1, 0, 0));
    cell->setEnabled(false);
    EXPECT_EQ(cell->attributedTitle().attributes().foregroundColor, ui::Color::disabledControlTextColor());
}

TEST_F(MovaraButtonCellTest, BackgroundImageWithTintedVariants)
{
    auto cell = makeButton();
    cell->setBackgroundImageName("shadow-box");
    ASSERT_TRUE(cell->backgroundImage());
    ASSERT_TRUE(cell->highlightedBackgroundImage());
    ASSERT_TRUE(cell->disabledBackgroundImage());
    // The centre of the picture is opaque white: pressed, grey 0.3 at 0.3 over it; disabled,
    // white over white. Only opaque parts are tinted: the faint corner keeps its alpha.
    auto centre = [](const ui::ImagePtr& image) {
        return image->bitmap()->pixelAt(image->bitmap()->width() / 2, image->bitmap()->height() / 2);
    };
    EXPECT_TRUE(colorNear(centre(cell->highlightedBackgroundImage()), 201, 201, 201));
    EXPECT_TRUE(colorNear(centre(cell->disabledBackgroundImage()), 255, 255, 255));
    EXPECT_EQ(cell->highlightedBackgroundImage()->bitmap()->pixelAt(0, 0).a, cell->backgroundImage()->bitmap()->pixelAt(0, 0).a);

    // An unknown name keeps the images.
    auto before = cell->backgroundImage();
    cell->setBackgroundImageName("no-such-picture");
    EXPECT_EQ(cell->backgroundImage(), before);

    // The image is the whole bezel: nothing else is drawn.
    auto image = draw({}, "image");
    EXPECT_TRUE(colorNear(pixel(image, 1, 70, 28), 255, 255, 255));
}

TEST_F(MovaraButtonCellTest, CopyKeepsTheLookButOwnsItsImages)
{
    auto cell = makeButton();
    cell->setTitle("Copy me");
    cell->setBgColor(ui::Color::calibratedRGB(0, 0, 1));
    cell->setBackgroundImageName("shadow-box");
    auto copy = cell->copy();
    EXPECT_EQ(copy->title(), "Copy me");
    EXPECT_EQ(copy->bgColor(), cell->bgColor());
    ASSERT_TRUE(copy->backgroundImage());
    EXPECT_NE(copy->backgroundImage(), cell->backgroundImage());
}

} // namespace
