#include "MovaraKit/Cinemagraph/FilterImage+Movara.h"

#include <gtest/gtest.h>

#include "Tests/Support/FilterFixtures.h"

using filtertest::render;
using graphics::Image;
using graphics::Rect;

TEST(FilterImageMovara, AlphaScalesOnlyAlpha)
{
    auto picture = filtertest::solid(4, 4, Image::RGBA8{200, 100, 50, 255});
    struct Case {
        double alpha;
        uint8_t expected;
    } cases[] = {{1.0, 255}, {3.0, 255}, {0.5, 128}, {0.0, 0}, {-2.0, 0}};
    for (const auto& c : cases) {
        const auto p = render(mvr_imageWithAlpha(picture, c.alpha))->pixelAt(1, 1);
        EXPECT_EQ(p.a, c.expected) << c.alpha;
        if (c.expected > 0) {
            EXPECT_NEAR(p.r, 200, 1) << c.alpha;
            EXPECT_NEAR(p.b, 50, 1) << c.alpha;
        }
    }
    EXPECT_FALSE(mvr_imageWithAlpha(nullptr, 0.5));
}

TEST(FilterImageMovara, SizeStretchesEachAxisToTheOrigin)
{
    // Left half red, right half blue, 200 x 100, squeezed into 100 x 100.
    auto picture = graphics::FilterImage::imageWithCGImage(filtertest::bitmap(200, 100, [](int x, int) {
        return x < 100 ? Image::RGBA8{255, 0, 0, 255} : Image::RGBA8{0, 0, 255, 255};
    }));
    auto squeezed = mvr_imageWithSize(picture, {100, 100});
    EXPECT_EQ(squeezed->extent(), Rect::make(0, 0, 100, 100));
    auto pixels = render(squeezed);
    EXPECT_EQ(pixels->pixelAt(10, 50), (Image::RGBA8{255, 0, 0, 255}));
    EXPECT_EQ(pixels->pixelAt(90, 50), (Image::RGBA8{0, 0, 255, 255}));

    auto moved = picture->imageByApplyingTransform(graphics::AffineTransform::makeTranslation(50, 50));
    EXPECT_EQ(mvr_imageWithSize(moved, {30, 20})->extent(), Rect::make(0, 0, 30, 20));
}

TEST(FilterImageMovara, CenteringLandsOnWholePixels)
{
    struct Case {
        int w, h;
        Rect bounds;
        graphics::Point origin;
    } cases[] = {
        {101, 51, Rect::make(0, 0, 200, 100), {49, 24}},
        {100, 100, Rect::make(10, 10, 50, 50), {-15, -15}},
    };
    for (const auto& c : cases) {
        auto image = filtertest::solid(c.w, c.h, {1, 2, 3, 255})->imageByApplyingTransform(
            graphics::AffineTransform::makeTranslation(7.5, -3));
        auto centred = mvr_imageByCenteringInBounds(image, c.bounds);
        EXPECT_EQ(centred->extent().origin, c.origin);
        EXPECT_EQ(centred->extent().size, (graphics::Size{double(c.w), double(c.h)}));
    }
}

TEST(FilterImageMovara, ResetRestoresIdentityThenDefaults)
{
    auto vignette = graphics::Filter::filterWithName("CIVignette");
    vignette->setValue(0.8, "inputIntensity");
    vignette->setValue(1.7, "inputRadius");
    auto falseColor = graphics::Filter::filterWithName("CIFalseColor");
    falseColor->setValue(graphics::Color::sRGB(0, 1, 0), "inputColor0");
    mvr_reset(*vignette);
    mvr_reset(*falseColor);
    EXPECT_TRUE(graphics::filterValuesEqual(vignette->value("inputIntensity"), 0.0));
    EXPECT_TRUE(graphics::filterValuesEqual(vignette->value("inputRadius"), 1.0));
    // No identity: the default.
    EXPECT_TRUE(graphics::filterValuesEqual(falseColor->value("inputColor0"), graphics::Color::sRGB(0.3, 0, 0)));
}
