#include "MovaraKit/Cinemagraph/ColorFilters.h"

#include <gtest/gtest.h>

#include "MovaraKit/Cinemagraph/MVRFilterGraph.h"
#include "Tests/Support/FilterFixtures.h"

using filtertest::render;
using graphics::FilterVector;

TEST(ColorFilters, KernelSourceIsKeptWhole)
{
    EXPECT_EQ(MVRRGBChannelCompositingKernelSource.size(), 156u);
    EXPECT_EQ(MVRRGBChannelCompositingKernelSource.substr(MVRRGBChannelCompositingKernelSource.size() - 2), "\n}");
    EXPECT_TRUE(RGBChannelCompositing::init()->rgbChannelCompositingKernel());
    EXPECT_FALSE(graphics::ColorKernel::kernelWithString("kernel vec4 nothing() { return vec4(0.0); }"));
}

TEST(ColorFilters, ConstructorAnswersExactNamesAndRegistersThem)
{
    MovaraKitFilterConstructor constructor;
    EXPECT_TRUE(std::dynamic_pointer_cast<RGBToneCurve>(constructor.filterWithName("RGBToneCurve")));
    EXPECT_TRUE(std::dynamic_pointer_cast<RGBChannelCompositing>(constructor.filterWithName("RGBChannelCompositing")));
    EXPECT_FALSE(constructor.filterWithName("rgbtonecurve"));
    EXPECT_FALSE(constructor.filterWithName("CIExposureAdjust"));

    MVRFilterGraph::initialize();
    EXPECT_TRUE(std::dynamic_pointer_cast<RGBToneCurve>(graphics::Filter::filterWithName("RGBToneCurve")));
    EXPECT_EQ(graphics::Filter::classAttributesForName("RGBToneCurve")[graphics::kCIAttributeFilterCategories].asString(),
              "Custom");
}

TEST(ColorFilters, ChannelCompositingTakesOneChannelFromEach)
{
    auto red = filtertest::solid(3, 3, {200, 10, 10, 255});
    auto green = filtertest::solid(3, 3, {10, 150, 10, 255});
    auto blue = filtertest::solid(3, 3, {10, 10, 100, 255});
    auto compositing = RGBChannelCompositing::init();
    compositing->setInputRedImage(red);
    compositing->setInputGreenImage(green);
    EXPECT_FALSE(compositing->outputImage());
    compositing->setInputBlueImage(blue);
    EXPECT_EQ(render(compositing->outputImage())->pixelAt(1, 1), (graphics::Image::RGBA8{200, 150, 100, 255}));

    compositing->setInputGreenImage(red);
    compositing->setInputBlueImage(red);
    EXPECT_EQ(compositing->outputImage(), red);
    compositing->setDefaults();
    EXPECT_FALSE(compositing->inputRedImage());
}

TEST(ColorFilters, ToneCurvePerChannel)
{
    MVRFilterGraph::initialize();
    auto source = filtertest::gradient(16, 8);
    auto curve = RGBToneCurve::init();
    curve->setValue(source, graphics::kCIInputImageKey);
    EXPECT_EQ(filtertest::maxDifference(render(curve->outputImage()), render(source)), 0);

    for (int i = 0; i < 5; ++i)
        curve->setValue(FilterVector::make(i * 0.25, 1), RGBToneCurve::pointKey("Red", i));
    auto lifted = render(curve->outputImage());
    auto original = render(source);
    for (size_t x = 0; x < 16; x += 5) {
        const auto p = lifted->pixelAt(x, 3), q = original->pixelAt(x, 3);
        EXPECT_EQ(p.r, 255);
        EXPECT_EQ(p.g, q.g);
        EXPECT_EQ(p.b, q.b);
        EXPECT_EQ(p.a, q.a);
    }

    curve->setDefaults();
    EXPECT_EQ(filtertest::maxDifference(render(curve->outputImage()), original), 0);
    curve->setValue(std::any(), graphics::kCIInputImageKey);
    EXPECT_FALSE(curve->outputImage());
}

TEST(ColorFilters, ToneCurveArchivesItsPoints)
{
    MVRFilterGraph::initialize();
    auto curve = RGBToneCurve::init();
    curve->setValue(FilterVector::make(0.5, 0.9), RGBToneCurve::pointKey("Blue", 2));
    auto data = foundation::KeyedArchiver::archivedDataWithRootObject(curve, true);
    foundation::ErrorPtr error;
    auto back = foundation::KeyedUnarchiver::unarchivedObjectOfClass<RGBToneCurve>("CIFilter", data, &error);
    ASSERT_TRUE(back) << (error ? error->localizedDescription() : "");
    EXPECT_TRUE(graphics::filterValuesEqual(back->value("inputBluePoint2"), FilterVector::make(0.5, 0.9)));
    EXPECT_TRUE(graphics::filterValuesEqual(back->value("inputRedPoint2"), FilterVector::make(0.5, 0.5)));
}
