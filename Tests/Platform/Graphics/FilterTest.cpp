// The image-filter engine: lazy images, the render context and the built-in filters.
// Set QUINTOR_FILTER_SNAPSHOT_DIR to keep the rendered pictures for a person to look at.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>

#include "Platform/Foundation/KeyedArchiver.h"
#include "Platform/Graphics/Filter.h"
#include "Platform/Graphics/FilterContext.h"
#include "Tests/Support/FilterFixtures.h"

using namespace graphics;

namespace {

using filtertest::bitmap;
using filtertest::keepSnapshot;
using filtertest::maxDifference;
using filtertest::render;

// A gradient with every channel moving differently, so that mixed-up channels show.
ImagePtr gradient(int w = 40, int h = 30)
{
    return render(filtertest::gradient(w, h));
}

double meanChannel(const ImagePtr& image, int channel)
{
    double sum = 0;
    for (size_t y = 0; y < image->height(); ++y)
        for (size_t x = 0; x < image->width(); ++x) {
            const auto p = image->pixelAt(x, y);
            sum += channel == 0 ? p.r : channel == 1 ? p.g : channel == 2 ? p.b : p.a;
        }
    return sum / double(image->width() * image->height());
}

} // namespace

TEST(FilterImage, BitmapsComeBackExactlyThroughTheWorkingSpace)
{
    // Every 8-bit value, opaque, survives the trip to linear floats and back.
    auto ramp = bitmap(256, 2, [](int x, int y) {
        return Image::RGBA8{uint8_t(x), uint8_t(255 - x), uint8_t(y ? x : 0), 255};
    });
    EXPECT_EQ(maxDifference(render(FilterImage::imageWithCGImage(ramp)), ramp), 0);

    // Translucent pixels keep their alpha exactly; the bitmap stores colour premultiplied in
    // 8 bits, so compare colour that way too.
    auto glass = bitmap(16, 16, [](int x, int y) {
        return Image::RGBA8{uint8_t(x * 16), 200, uint8_t(y * 16), uint8_t(30 + x * 10)};
    });
    auto back = render(FilterImage::imageWithCGImage(glass));
    for (size_t y = 0; y < 16; ++y)
        for (size_t x = 0; x < 16; ++x) {
            const auto p = glass->pixelAt(x, y), q = back->pixelAt(x, y);
            ASSERT_EQ(p.a, q.a);
            for (auto [a, b] : {std::pair{p.r, q.r}, std::pair{p.g, q.g}, std::pair{p.b, q.b}})
                EXPECT_NEAR(a * p.a / 255.0, b * q.a / 255.0, 1.0) << x << "," << y;
        }

    EXPECT_FALSE(FilterImage::imageWithCGImage(nullptr));
    EXPECT_EQ(FilterImage::imageWithCGImage(glass)->extent(), Rect::make(0, 0, 16, 16));
}

TEST(FilterImage, TransformsCropsAndCompositesPlacePixels)
{
    const Image::RGBA8 red{255, 0, 0, 255}, blue{0, 0, 255, 255};
    // Left half red, right half blue; row 0 is the top.
    auto image = FilterImage::imageWithCGImage(bitmap(20, 10, [&](int x, int) { return x < 10 ? red : blue; }));

    // A whole-pixel move keeps pixels exact and moves the extent.
    auto moved = image->imageByApplyingTransform(AffineTransform::makeTranslation(5, -3));
    EXPECT_EQ(moved->extent(), Rect::make(5, -3, 20, 10));
    EXPECT_EQ(render(moved)->pixelAt(4, 0), red);
    EXPECT_EQ(render(moved)->pixelAt(15, 9), blue);

    // A quarter turn anticlockwise (y up) puts the left (red) half at the bottom.
    auto turned = image->imageByApplyingTransform(AffineTransform::makeRotation(M_PI / 2));
    EXPECT_NEAR(turned->extent().width(), 10, 1e-9);
    EXPECT_NEAR(turned->extent().height(), 20, 1e-9);
    auto turnedBitmap = render(turned);
    EXPECT_EQ(turnedBitmap->pixelAt(5, 17), red);
    EXPECT_EQ(turnedBitmap->pixelAt(5, 2), blue);

    // Doubling the size resamples: flat areas stay flat, the seam blends.
    auto doubled = render(image->imageByApplyingTransform(AffineTransform::makeScale(2, 2)));
    ASSERT_EQ(doubled->width(), 40u);
    EXPECT_EQ(doubled->pixelAt(5, 5), red);
    EXPECT_EQ(doubled->pixelAt(35, 5), blue);
    const auto seam = doubled->pixelAt(20, 5);
    EXPECT_GT(seam.r, 0);
    EXPECT_GT(seam.b, 0);

    // A crop keeps the extent's part; outside it the image is clear.
    auto cropped = image->imageByCroppingToRect(Rect::make(8, 2, 4, 100));
    EXPECT_EQ(cropped->extent(), Rect::make(8, 2, 4, 8));
    auto whole = FilterContext::create()->createCGImage(cropped, Rect::make(0, 0, 20, 10));
    EXPECT_EQ(whole->pixelAt(0, 0).a, 0);
    EXPECT_EQ(whole->pixelAt(9, 5), red);
    EXPECT_EQ(whole->pixelAt(10, 5), blue);
    EXPECT_EQ(whole->pixelAt(10, 9).a, 0); // y 0...2 was cut away

    // Half-transparent green over the picture mixes in linear light.
    auto green = FilterImage::imageWithColor(Color::sRGB(0, 1, 0, 0.5))->imageByCroppingToRect(Rect::make(0, 0, 20, 10));
    auto mixed = render(green->imageByCompositingOverImage(image))->pixelAt(2, 2);
    EXPECT_EQ(mixed.a, 255);
    EXPECT_NEAR(mixed.r, 188, 1); // sRGB of 0.5 linear
    EXPECT_NEAR(mixed.g, 188, 1);
}

TEST(FilterImage, TilesMeetWithoutSeams)
{
    // Large enough for several tiles each way; a turn makes every tile read its neighbours' pixels.
    const int w = int(FilterContext::kTileWidth) + 70, h = int(FilterContext::kTileHeight) * 2 + 9;
    auto image = FilterImage::imageWithCGImage(gradient(w, h))->imageByApplyingTransform(
        AffineTransform::makeTranslation(-w / 2.0, -h / 2.0)
            .concatenating(AffineTransform::makeRotation(0.1))
            .concatenating(AffineTransform::makeTranslation(w / 2.0, h / 2.0)));
    const PixelRect all{0, 0, w, h};
    auto whole = FilterContext::create()->renderFloat(image, all);
    // The same pixels rendered one row at a time, so no tile boundary falls where it did.
    for (int64_t y : {int64_t(0), FilterContext::kTileHeight - 1, FilterContext::kTileHeight, int64_t(h - 1)}) {
        auto row = FilterContext::create()->renderFloat(image, PixelRect{0, y, w, 1});
        for (int64_t i = 0; i < int64_t(w) * 4; ++i)
            ASSERT_FLOAT_EQ(row[size_t(i)], whole[size_t(y * w * 4 + i)]) << "y " << y << " i " << i;
    }
}

struct FilterCase {
    const char* name;
    const char* key;
    std::any value;
    // The change the value must make to the gradient's mean red, green, blue.
    int red, green, blue;
};

TEST(Filter, IdentityValuesKeepPixelsAndMainInputsMoveThem)
{
    auto source = gradient();
    auto input = FilterImage::imageWithCGImage(source);
    const FilterCase cases[] = {
        {"CIExposureAdjust", "inputEV", 1.0, +1, +1, +1},
        {"CIExposureAdjust", "inputEV", -1.0, -1, -1, -1},
        {"CIColorControls", "inputBrightness", 0.2, +1, +1, +1},
        {"CIColorControls", "inputSaturation", 0.0, 0, 0, 0}, // greys: checked below
        {"CIColorControls", "inputContrast", 0.5, 0, 0, 0},
        {"CITemperatureAndTint", "inputNeutral", FilterVector::make(9000, 0), +1, 0, -1},
        {"CITemperatureAndTint", "inputNeutral", FilterVector::make(4000, 0), -1, 0, +1},
        {"CIToneCurve", "inputPoint2", FilterVector::make(0.5, 0.8), +1, +1, +1},
        {"CIVignette", "inputIntensity", 1.0, -1, -1, -1},
        {"CIColorMatrix", "inputRVector", FilterVector::make(0, 0, 0, 0), -1, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " " + c.key);
        auto filter = Filter::filterWithName(c.name);
        ASSERT_TRUE(filter);
        filter->setValue(input, kCIInputImageKey);
        EXPECT_EQ(maxDifference(render(filter->outputImage()), source), 0);

        filter->setValue(c.value, c.key);
        auto changed = render(filter->outputImage());
        keepSnapshot(changed, std::string(c.name) + "-" + c.key);
        const int expected[3] = {c.red, c.green, c.blue};
        for (int channel = 0; channel < 3; ++channel) {
            const double before = meanChannel(source, channel), after = meanChannel(changed, channel);
            if (expected[channel] > 0) {
                EXPECT_GT(after, before + 2) << "channel " << channel;
            } else if (expected[channel] < 0) {
                EXPECT_LT(after, before - 2) << "channel " << channel;
            }
        }
        EXPECT_EQ(meanChannel(changed, 3), 255);
    }

    // No saturation leaves greys; half contrast pulls values towards the middle.
    auto controls = Filter::filterWithName("CIColorControls");
    controls->setValue(input, kCIInputImageKey);
    controls->setValue(0.0, "inputSaturation");
    const auto grey = render(controls->outputImage())->pixelAt(30, 10);
    EXPECT_NEAR(grey.r, grey.g, 1);
    EXPECT_NEAR(grey.g, grey.b, 1);
    controls->setDefaults();
    controls->setValue(0.5, "inputContrast");
    const auto flat = render(controls->outputImage());
    EXPECT_GT(flat->pixelAt(0, 0).r, source->pixelAt(0, 0).r);
    EXPECT_LT(flat->pixelAt(39, 0).r, source->pixelAt(39, 0).r);
}

TEST(Filter, FalseColorBlendAndSourceOverUseTheirImages)
{
    const Image::RGBA8 black{0, 0, 0, 255}, white{255, 255, 255, 255};
    auto picture = FilterImage::imageWithCGImage(bitmap(4, 1, [&](int x, int) { return x < 2 ? black : white; }));
    auto falseColor = Filter::filterWithName("CIFalseColor");
    falseColor->setValue(picture, kCIInputImageKey);
    falseColor->setValue(Color::sRGB(0, 0, 1), "inputColor0");
    falseColor->setValue(Color::sRGB(1, 1, 0), "inputColor1");
    auto tinted = render(falseColor->outputImage());
    EXPECT_EQ(tinted->pixelAt(0, 0), (Image::RGBA8{0, 0, 255, 255}));
    EXPECT_EQ(tinted->pixelAt(3, 0), (Image::RGBA8{255, 255, 0, 255}));

    // The mask's alpha picks the image, its absence the background.
    auto image = FilterImage::imageWithColor(Color::sRGB(1, 0, 0))->imageByCroppingToRect(Rect::make(0, 0, 4, 1));
    auto background = FilterImage::imageWithColor(Color::sRGB(0, 0, 1))->imageByCroppingToRect(Rect::make(0, 0, 4, 1));
    auto mask = FilterImage::imageWithCGImage(bitmap(4, 1, [](int x, int) {
        return Image::RGBA8{255, 255, 255, uint8_t(x < 2 ? 255 : 0)};
    }));
    auto blend = Filter::filterWithName("CIBlendWithAlphaMask");
    blend->setValue(image, kCIInputImageKey);
    blend->setValue(background, kCIInputBackgroundImageKey);
    blend->setValue(mask, "inputMaskImage");
    auto blended = render(blend->outputImage());
    EXPECT_EQ(blended->pixelAt(0, 0), (Image::RGBA8{255, 0, 0, 255}));
    EXPECT_EQ(blended->pixelAt(3, 0), (Image::RGBA8{0, 0, 255, 255}));

    auto over = Filter::filterWithName("CISourceOverCompositing");
    over->setValue(mask, kCIInputImageKey);
    over->setValue(background, kCIInputBackgroundImageKey);
    auto composed = render(over->outputImage());
    EXPECT_EQ(composed->pixelAt(0, 0), (Image::RGBA8{255, 255, 255, 255}));
    EXPECT_EQ(composed->pixelAt(3, 0), (Image::RGBA8{0, 0, 255, 255}));
    over->setValue(std::any(), kCIInputImageKey);
    EXPECT_FALSE(over->outputImage());
}

TEST(Filter, NamesAttributesAndObservation)
{
    EXPECT_FALSE(Filter::filterWithName("CINoSuchFilter"));
    auto exposure = Filter::filterWithName("CIExposureAdjust");
    ASSERT_TRUE(exposure);
    EXPECT_EQ(exposure->inputKeys(), (std::vector<std::string>{"inputImage", "inputEV"}));
    EXPECT_EQ(exposure->attributes().displayName, "Exposure Adjust");
    const auto* ev = exposure->attributes().input("inputEV");
    ASSERT_TRUE(ev);
    EXPECT_EQ(ev->displayName, "EV");
    EXPECT_EQ(ev->className(), "NSNumber");
    EXPECT_TRUE(filterValuesEqual(ev->identity, 0.0));

    std::vector<std::pair<double, double>> seen;
    auto token = exposure->addObserver("inputEV", foundation::KeyValueObservingOptionNew | foundation::KeyValueObservingOptionOld,
                                       [&](const foundation::KeyValueChange& change) {
                                           seen.emplace_back(*change.oldAs<double>(), *change.newAs<double>());
                                       });
    exposure->setValue(2, "inputEV"); // an integer is stored as a number
    EXPECT_EQ(seen, (std::vector<std::pair<double, double>>{{0.0, 2.0}}));
    EXPECT_THROW(exposure->setValue(std::string("bright"), "inputEV"), foundation::Exception);
    EXPECT_THROW(exposure->setValue(1.0, "inputNoSuchKey"), foundation::Exception);

    auto copy = exposure->copy();
    EXPECT_TRUE(filterValuesEqual(copy->value("inputEV"), 2.0));
    exposure->setDefaults();
    EXPECT_TRUE(filterValuesEqual(exposure->value("inputEV"), 0.0));
    EXPECT_TRUE(filterValuesEqual(copy->value("inputEV"), 2.0));
}

TEST(Filter, ArchivesKeepValuesAndRefuseDamage)
{
    auto curve = Filter::filterWithName("CIToneCurve");
    curve->setValue(FilterVector::make(0.5, 0.7), "inputPoint2");
    curve->setValue(FilterImage::imageWithColor(Color::white()), kCIInputImageKey);
    const auto data = foundation::KeyedArchiver::archivedDataWithRootObject(curve, true);
    ASSERT_FALSE(data.empty());
    foundation::ErrorPtr error;
    auto back = foundation::KeyedUnarchiver::unarchivedObjectOfClass<Filter>("CIFilter", data, &error);
    ASSERT_TRUE(back) << (error ? error->localizedDescription() : "");
    EXPECT_EQ(back->name(), "CIToneCurve");
    EXPECT_TRUE(filterValuesEqual(back->value("inputPoint2"), FilterVector::make(0.5, 0.7)));
    EXPECT_FALSE(back->inputImage()); // frames are never archived

    // Hand-made archives: an unknown name, a number where a vector belongs, a non-finite number.
    struct Case {
        std::string name, key;
        foundation::Value value;
    };
    struct Hostile : foundation::Coding {
        explicit Hostile(Case c) : content(std::move(c)) { }
        Case content;
        std::string className() const override { return "CIFilter"; }
        void encodeWithCoder(foundation::KeyedArchiver& coder) const override
        {
            coder.encodeString(content.name, "CIFilterName");
            coder.encodeValue(content.value, content.key);
        }
    };
    const Case hostile[] = {
        {"CIEvilFilter", "inputEV", 1.0},
        {"CIToneCurve", "inputPoint0", 3.0},
        {"CIExposureAdjust", "inputEV", foundation::Value::array({1.0})},
        {"CIExposureAdjust", "inputEV", std::nan("")},
        {"CIFalseColor", "inputColor0", foundation::Value::array({1.0, 0.0})},
    };
    for (const auto& h : hostile) {
        auto bytes = foundation::KeyedArchiver::archivedDataWithRootObject(std::make_shared<Hostile>(h), true);
        foundation::ErrorPtr failure;
        EXPECT_FALSE(foundation::KeyedUnarchiver::unarchivedObjectOfClass<Filter>("CIFilter", bytes, &failure)) << h.name;
        EXPECT_TRUE(failure) << h.name;
    }
}
