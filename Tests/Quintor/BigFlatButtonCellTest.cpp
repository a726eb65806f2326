#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "Platform/UI/GraphicsContext.h"
#include "Platform/UI/View.h"
#include "Quintor/BigFlatButtonCell.h"

namespace {

bool near(graphics::Image::RGBA8 pixel, int r, int g, int b)
{
    return std::abs(pixel.r - r) <= 1 && std::abs(pixel.g - g) <= 1 && std::abs(pixel.b - b) <= 1 && pixel.a == 255;
}

} // namespace

TEST(BigFlatButtonCell, FillsBlueForTheDefaultButtonAndGreyOtherwiseDarkerWhilePressed)
{
    struct Case { std::string key; bool pressed; int r, g, b; };
    const Case cases[] = {
        { "\r", false, 59, 153, 252 },
        { "\r", true, 49, 127, 212 },
        { "", false, 63, 63, 63 },
        { "", true, 51, 51, 51 },
        { "\x1b", false, 63, 63, 63 },
        { "\r\r", true, 51, 51, 51 }, // only exactly Return makes the default button
    };
    const auto frame = graphics::Rect::make(0, 0, 100, 40);
    auto view = ui::View::initWithFrame(frame);
    for (const auto& c : cases) {
        auto cell = BigFlatButtonCell::initTextCell("Export");
        cell->setKeyEquivalent(c.key);
        cell->setHighlighted(c.pressed);
        auto context = ui::GraphicsContext::bitmapContext(frame.size, 1.0);
        cell->drawBezelWithFrame(frame, *view, *context);
        const auto image = context->createImage();
        // Row 0 is the top: the fill is 37 points high from the frame's origin at the bottom,
        // so the top three rows stay empty.
        EXPECT_TRUE(near(image->pixelAt(50, 20), c.r, c.g, c.b)) << c.pressed;
        EXPECT_TRUE(near(image->pixelAt(50, 4), c.r, c.g, c.b));
        EXPECT_TRUE(near(image->pixelAt(50, 39), c.r, c.g, c.b));
        EXPECT_EQ(image->pixelAt(50, 2).a, 0);
        // Rounded corners, no border.
        EXPECT_LT(image->pixelAt(0, 39).a, 32);
        EXPECT_TRUE(near(image->pixelAt(1, 20), c.r, c.g, c.b));
    }
}

TEST(BigFlatButtonCell, TitleIsAlwaysWhiteAndKeepsItsOtherAttributes)
{
    auto cell = BigFlatButtonCell::initTextCell("Export");
    EXPECT_EQ(cell->attributedTitle().attributes().foregroundColor, ui::Color::white());

    ui::TextAttributes attributes;
    attributes.font = ui::Font::boldSystemFontOfSize(18);
    attributes.foregroundColor = ui::Color::deviceRGB(1, 0, 0);
    attributes.underlineStyle = 1;
    cell->setAttributedTitle(ui::AttributedString("Share", attributes));
    const ui::AttributedString title = cell->attributedTitle();
    EXPECT_EQ(title.string(), "Share");
    EXPECT_EQ(title.attributes().foregroundColor, ui::Color::white());
    EXPECT_EQ(title.attributes().font, attributes.font);
    EXPECT_EQ(title.attributes().underlineStyle, 1);
}
