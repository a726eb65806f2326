#include "MovaraKit/Canvas/CanvasObject.h"
#include "MovaraKit/Canvas/ImageCanvasObject.h"
#include "MovaraKit/Canvas/TextCanvasObject.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "MovaraKit/Support/CGColorArchiving.h"
#include "Platform/Foundation/UUID.h"
#include "Platform/UI/Layer.h"
#include "Tests/Support/ImageFixtures.h"
#include "Tests/Support/TempDir.h"

using graphics::AffineTransform;
using graphics::Point;
using graphics::Rect;
using graphics::Size;

namespace {

void expectRectNear(const Rect& actual, const Rect& expected)
{
    EXPECT_NEAR(actual.origin.x, expected.origin.x, 1e-9);
    EXPECT_NEAR(actual.origin.y, expected.origin.y, 1e-9);
    EXPECT_NEAR(actual.size.width, expected.size.width, 1e-9);
    EXPECT_NEAR(actual.size.height, expected.size.height, 1e-9);
}

// A PNG whose alpha at (x, y) is `alpha(x, y)` (rows counted from the top).
foundation::Data alphaPNG(int width, int height, const std::function<uint8_t(int, int)>& alpha)
{
    return fixtures::makePNG8(width, height, 6, [&](int x, int y) {
        return std::vector<uint8_t> {200, 100, 50, alpha(x, y)};
    });
}

foundation::Data jpeg(int width, int height, std::optional<int> orientation = std::nullopt)
{
    fixtures::JPEGSpec recipe;
    recipe.width = width;
    recipe.height = height;
    recipe.pixel = [](int x, int) { return std::vector<uint8_t> {static_cast<uint8_t>(x * 10), 0, 0}; };
    if (orientation)
        recipe.exif = fixtures::Exif {std::nullopt, std::nullopt, orientation};
    return fixtures::makeJPEG(recipe);
}

struct Recorder {
    std::vector<std::string> keys;
    std::vector<foundation::Observable::Token> tokens;
    void watch(foundation::Observable& object, std::initializer_list<const char*> names)
    {
        for (const char* name : names)
            tokens.push_back(object.addObserver(name, 0, [this, name](const foundation::KeyValueChange&) { keys.push_back(name); }));
    }
};

} // namespace

TEST(CanvasObject, NewObjectHasNoExtentAndHitsNothing)
{
    auto object = CanvasObject::init();
    EXPECT_EQ(object->rect(), Rect::zero());
    EXPECT_EQ(object->bounds(), Rect::zero());
    EXPECT_FALSE(object->hitTest({0, 0}));
    EXPECT_TRUE(object->preserveAspect());
    EXPECT_EQ(object->opacity(), 1.0);
    EXPECT_EQ(object->canvasDescription(), "Object");
    EXPECT_FALSE(object->applyAdjustments());
}

TEST(CanvasObject, BoundsIgnorePositionAndFollowTheTransform)
{
    auto object = CanvasObject::init();
    object->setSize({40, 20});
    object->setPosition({100, 100});
    EXPECT_EQ(object->bounds(), Rect::make(0, 0, 40, 20));
    object->setPosition({-7, 3});
    EXPECT_EQ(object->bounds(), Rect::make(0, 0, 40, 20));
    object->setTransform(AffineTransform::makeScale(2, 2));
    EXPECT_EQ(object->bounds(), Rect::make(0, 0, 80, 40));
    // Containment is half-open: the far edges are outside.
    EXPECT_TRUE(object->hitTest({0, 0}));
    EXPECT_FALSE(object->hitTest({80, 10}));
    EXPECT_FALSE(object->hitTest({10, 40}));
}

TEST(CanvasObject, AlignmentRectTurnsTheFrameAboutItsCentre)
{
    auto object = CanvasObject::init();
    object->setPosition({10, 10});
    object->setSize({4, 2});
    object->setAngle(std::numbers::pi / 2);
    object->setTransform(AffineTransform::makeScale(5, 5)); // plays no part
    expectRectNear(object->alignmentRect(), Rect::make(9, 8, 2, 4));
}

TEST(CanvasObject, RectSetsPositionFromTheStandardisedRectAndKeepsTheSizeAsGiven)
{
    struct Case {
        Rect rect;
        Point position;
        Size size;
    };
    for (const Case& c : {Case {Rect::make(-2, -1, 4, 2), {0, 0}, {4, 2}}, Case {Rect::make(4, 0, -4, 2), {2, 1}, {-4, 2}}}) {
        auto object = CanvasObject::init();
        object->setRect(c.rect);
        EXPECT_EQ(object->position(), c.position);
        EXPECT_EQ(object->size(), c.size);
    }
}

TEST(CanvasObject, PositionAndCoordinatesNotifyEachOther)
{
    auto object = CanvasObject::init();
    Recorder recorder;
    recorder.watch(*object, {"x", "position", "size"});
    auto heard = [&](const char* key) { return std::count(recorder.keys.begin(), recorder.keys.end(), key); };
    object->setPosition({3, 4});
    EXPECT_GE(heard("x"), 1);
    EXPECT_EQ(heard("position"), 2); // x, then y
    EXPECT_EQ(heard("size"), 0);
    recorder.keys.clear();
    object->setX(9);
    EXPECT_EQ(heard("x"), 1);
    EXPECT_EQ(heard("position"), 1);
    recorder.keys.clear();
    object->setWidth(5);
    EXPECT_EQ(recorder.keys, (std::vector<std::string> {"size"}));
}

TEST(CanvasObject, DescriptionFollowsTheDefaultUntilSomethingElseIsSet)
{
    auto text = TextCanvasObject::init();
    text->setText("Hello");
    text->setCanvasDescription("Hello"); // the default: nothing stored
    EXPECT_EQ(text->canvasDescriptionStorage(), "");
    Recorder recorder;
    recorder.watch(*text, {"canvasDescription"});
    text->setText("World");
    EXPECT_EQ(text->canvasDescription(), "World");
    EXPECT_EQ(recorder.keys, (std::vector<std::string> {"canvasDescription"}));
    text->setCanvasDescription("Title");
    text->setText("Again");
    EXPECT_EQ(text->canvasDescription(), "Title");
    text->setCanvasDescription("");
    EXPECT_EQ(text->canvasDescription(), "Again");

    std::any absent;
    std::any empty = std::string();
    std::any other = std::string("Name");
    EXPECT_TRUE(text->validateCanvasDescription(absent));
    EXPECT_TRUE(text->validateCanvasDescription(empty));
    EXPECT_TRUE(text->validateCanvasDescription(other));
    EXPECT_EQ(std::any_cast<std::string>(absent), "Again");
    EXPECT_EQ(std::any_cast<std::string>(empty), "Again");
    EXPECT_EQ(std::any_cast<std::string>(other), "Name");
}

TEST(CanvasObject, ArchiveRoundTripKeepsGeometryButNotAdjustments)
{
    auto text = TextCanvasObject::init();
    text->setPosition({12.5, -3});
    text->setSize({200, 50});
    text->setTransform(AffineTransform::make(1, 0.25, 0, -1, 4, 5));
    text->setAngle(0.3);
    text->setOpacity(0.4);
    text->setHidden(true);
    text->setCanvasDescription("Caption");
    text->setApplyAdjustments(true);
    text->setText("Hi there");
    text->setFont(ui::Font::fontWithName("Times-Bold", 40));
    text->setColor(graphics::Color::sRGB(1, 0, 0, 0.5));
    text->setUnderlineStyle(1);
    text->setTextAlignment(ui::TextAlignment::right);

    foundation::ErrorPtr error;
    foundation::Data data = foundation::KeyedArchiver::archivedDataWithRootObject(text, true, &error);
    ASSERT_FALSE(data.empty()) << (error ? error->localizedDescription() : "");
    auto back = foundation::KeyedUnarchiver::unarchivedObjectOfClass<TextCanvasObject>("CanvasObject", data, &error);
    ASSERT_TRUE(back) << (error ? error->localizedDescription() : "");
    EXPECT_EQ(back->position(), text->position());
    EXPECT_EQ(back->size(), text->size());
    EXPECT_EQ(back->transform(), text->transform());
    EXPECT_EQ(back->angle(), 0.3);
    EXPECT_EQ(back->opacity(), 0.4);
    EXPECT_TRUE(back->hidden());
    EXPECT_FALSE(back->preserveAspect());
    EXPECT_EQ(back->canvasDescription(), "Caption");
    EXPECT_FALSE(back->applyAdjustments());
    EXPECT_EQ(back->text(), "Hi there");
    EXPECT_EQ(back->font().fontName(), "Times-Bold");
    EXPECT_EQ(back->font().pointSize(), 40);
    EXPECT_TRUE(back->font().isBold());
    EXPECT_EQ(back->color(), text->color());
    EXPECT_EQ(back->underlineStyle(), 1);
    EXPECT_EQ(back->textAlignment(), ui::TextAlignment::right);
}

TEST(CanvasObject, ArchiveWithoutOptionalKeysDecodesToTheDocumentedDefaults)
{
    // A base object archive that lacks opacity, preserveAspect and transform.
    class Sparse : public foundation::Coding {
    public:
        std::string className() const override { return "TextCanvasObject"; }
        void encodeWithCoder(foundation::KeyedArchiver& coder) const override { coder.encodeString("{1, 2}", "position"); }
    };
    foundation::ErrorPtr error;
    auto data = foundation::KeyedArchiver::archivedDataWithRootObject(std::make_shared<Sparse>(), true, &error);
    auto back = foundation::KeyedUnarchiver::unarchivedObjectOfClass<TextCanvasObject>("CanvasObject", data, &error);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->position(), (Point {1, 2}));
    EXPECT_EQ(back->opacity(), 0.0);
    EXPECT_FALSE(back->preserveAspect());
    EXPECT_TRUE(back->transform().isIdentity());
    EXPECT_EQ(back->text(), "");
    EXPECT_EQ(back->canvasDescription(), "");
    EXPECT_EQ(back->textAlignment(), ui::TextAlignment::center);
}

TEST(ImageCanvasObject, OrientationIsAppliedAndSizesComeFromThePixels)
{
    struct Case {
        std::optional<int> orientation;
        size_t width, height;
    };
    for (const Case& c : {Case {std::nullopt, 40, 30}, Case {1, 40, 30}, Case {6, 30, 40}, Case {8, 30, 40}, Case {3, 40, 30}}) {
        foundation::ErrorPtr error;
        auto object = ImageCanvasObject::initWithOriginalImageData(jpeg(40, 30, c.orientation), "Beach.jpeg", &error);
        ASSERT_TRUE(object) << (error ? error->localizedDescription() : "");
        EXPECT_EQ(object->image()->width(), c.width);
        EXPECT_EQ(object->image()->height(), c.height);
        EXPECT_EQ(object->size(), (Size {double(c.width), double(c.height)}));
        EXPECT_EQ(object->naturalSize(), object->size());
        EXPECT_EQ(object->canvasDescription(), "Beach");
    }
}

TEST(ImageCanvasObject, UndecodableBytesFailWithAnError)
{
    for (const std::string& bytes : {std::string(), std::string("not a picture"), std::string("\x89PNG\r\n\x1a\n garbage", 17)}) {
        foundation::ErrorPtr error;
        EXPECT_FALSE(ImageCanvasObject::initWithOriginalImageData(foundation::Data(bytes.begin(), bytes.end()), "x.png", &error));
        EXPECT_TRUE(error);
    }
    foundation::ErrorPtr error;
    EXPECT_FALSE(ImageCanvasObject::initWithURL(foundation::URL::fileURLWithPath("/nonexistent/picture.png"), &error));
    EXPECT_TRUE(error);
}

TEST(ImageCanvasObject, HitTestReadsAlphaAndNeverLeavesTheBitmap)
{
    // Four columns of alpha 0, 1, 2, 255 over two rows.
    const uint8_t alphas[] = {0, 1, 2, 255};
    auto object = ImageCanvasObject::initWithOriginalImageData(alphaPNG(4, 2, [&](int x, int) { return alphas[x]; }), "a.png");
    ASSERT_TRUE(object);
    EXPECT_FALSE(object->hitTest({0.5, 1}));
    EXPECT_FALSE(object->hitTest({1.5, 1}));
    EXPECT_TRUE(object->hitTest({2.5, 1}));
    EXPECT_TRUE(object->hitTest({3.5, 1}));
    // The bottom edge maps one row past the last; it is clamped, not read out of bounds.
    EXPECT_TRUE(object->hitTest({3.5, 0}));
    // The far edges are outside.
    EXPECT_FALSE(object->hitTest({4, 1}));
    EXPECT_FALSE(object->hitTest({3.5, 2}));
    // Fractional bounds: the column can reach one past the last.
    object->setSize({3.6, 1.5});
    EXPECT_TRUE(object->hitTest({3.59, 0.1}));
    // Bounds below one point give no mask to sample.
    object->setSize({0.5, 0.5});
    EXPECT_FALSE(object->hitTest({0.1, 0.1}));

    auto opaque = ImageCanvasObject::initWithOriginalImageData(jpeg(8, 8), "b.jpg");
    ASSERT_TRUE(opaque);
    EXPECT_TRUE(opaque->hitTest({0, 0}));
    EXPECT_TRUE(opaque->hitTest({7.9, 7.9}));
    EXPECT_FALSE(opaque->hitTest({8, 0}));
}

TEST(ImageCanvasObject, BitmapObjectsGetPNGBytesAndAGeneratedName)
{
    auto source = ImageCanvasObject::initWithOriginalImageData(jpeg(6, 4), "x.jpg");
    ASSERT_TRUE(source);
    auto object = ImageCanvasObject::initWithImage(source->image());
    ASSERT_TRUE(object);
    const std::string name = object->originalFilename();
    ASSERT_GT(name.size(), 4u);
    EXPECT_EQ(name.substr(name.size() - 4), ".png");
    EXPECT_TRUE(foundation::UUID::fromString(name.substr(0, name.size() - 4)));
    EXPECT_EQ(object->canvasDescription(), "Image");
    EXPECT_EQ(object->image(), source->image());
    auto decoded = ImageCanvasObject::initWithOriginalImageData(object->originalImageData(), name);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->size(), (Size {6, 4}));

    // Replacing the bytes decodes nothing again.
    const auto picture = object->makeImage();
    object->setOriginalImageData(jpeg(2, 2));
    EXPECT_EQ(object->makeImage(), picture);
}

TEST(ImageCanvasObject, ArchiveRestoresTheArchivedSizeAndRefusesMissingPictures)
{
    auto object = ImageCanvasObject::initWithOriginalImageData(jpeg(10, 10), "p.jpg");
    ASSERT_TRUE(object);
    object->setSize({33, 44});
    foundation::ErrorPtr error;
    auto data = foundation::KeyedArchiver::archivedDataWithRootObject(object, true, &error);
    auto back = foundation::KeyedUnarchiver::unarchivedObjectOfClass<ImageCanvasObject>("CanvasObject", data, &error);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->size(), (Size {33, 44}));
    EXPECT_EQ(back->originalFilename(), "p.jpg");
    EXPECT_EQ(back->originalImageData(), object->originalImageData());

    object->setOriginalImageData({1, 2, 3});
    data = foundation::KeyedArchiver::archivedDataWithRootObject(object, true, &error);
    error = nullptr;
    EXPECT_FALSE(foundation::KeyedUnarchiver::unarchivedObjectOfClasses({"CanvasObject"}, data, &error));
    EXPECT_TRUE(error);
}

TEST(TextCanvasObject, DefaultsAndMeasuring)
{
    auto text = TextCanvasObject::init();
    EXPECT_EQ(text->text(), "Text");
    EXPECT_EQ(text->font().fontName(), "Helvetica");
    EXPECT_EQ(text->font().familyName(), "Liberation Sans");
    EXPECT_EQ(text->font().pointSize(), 128);
    EXPECT_EQ(text->textAlignment(), ui::TextAlignment::center);
    EXPECT_EQ(text->underlineStyle(), 0);
    EXPECT_EQ(text->color().components(), (std::vector<double> {1.0, 1.0}));
    EXPECT_FALSE(text->preserveAspect());
    const Size natural = text->naturalSize();
    EXPECT_EQ(text->size(), natural);
    EXPECT_EQ(natural.width, std::ceil(natural.width));
    EXPECT_GT(natural.width, 128);

    text->setText("one two three four five six");
    const double wide = text->heightForWidth(5000);
    const double narrow = text->heightForWidth(600);
    EXPECT_EQ(narrow, std::ceil(narrow));
    EXPECT_GT(narrow, wide);
}

TEST(TextCanvasObject, ColorThroughKeyValueCodingNotifies)
{
    auto text = TextCanvasObject::init();
    Recorder recorder;
    recorder.watch(*text, {"color"});
    const graphics::Color red = graphics::Color::sRGB(1, 0, 0);
    text->setValueForKey("color", red);
    EXPECT_EQ(text->color(), red);
    EXPECT_EQ(std::any_cast<graphics::Color>(text->valueForKey("color")), red);
    EXPECT_EQ(recorder.keys, (std::vector<std::string> {"color"}));
    text->setValueForKey("color", std::string("blue")); // not a colour: ignored
    EXPECT_EQ(text->color(), red);
}

TEST(TextCanvasObject, MakeImageTruncatesTheSizeAndDrawsTheText)
{
    auto text = TextCanvasObject::init();
    text->setText("Hi");
    text->setFont(ui::Font::fontWithName("Helvetica", 30));
    text->setSize({200.7, 50.2});
    auto image = text->makeImage();
    ASSERT_TRUE(image);
    EXPECT_EQ(image->width(), 200u);
    EXPECT_EQ(image->height(), 50u);
    int inked = 0;
    for (size_t y = 0; y < image->height(); ++y)
        for (size_t x = 0; x < image->width(); ++x)
            inked += image->pixelAt(x, y).a > 128;
    EXPECT_GT(inked, 50);

    ui::LayerPtr layer = ui::Layer::layer();
    text->display(*layer);
    EXPECT_TRUE(layer->contents());

    for (Size bad : {Size {0.5, 10}, Size {10, -3}, Size {NAN, 10}, Size {1e9, 10}}) {
        text->setSize(bad);
        EXPECT_FALSE(text->makeImage());
    }
}

TEST(TextCanvasObject, PatternlessColourArchivesAndUnreadableColourStaysWhite)
{
    auto text = TextCanvasObject::init();
    EXPECT_TRUE(CGColorArchiving::dictionary(text->color()));
    class BadColour : public foundation::Coding {
    public:
        std::string className() const override { return "TextCanvasObject"; }
        void encodeWithCoder(foundation::KeyedArchiver& coder) const override
        {
            coder.encodeValue(foundation::Value::dictionary({{"components", "nope"}}), "colorInfo");
            coder.encodeValue(foundation::Value::dictionary({{"attributes", 5}, {"size", 12}}), "fontInfo");
        }
    };
    auto data = foundation::KeyedArchiver::archivedDataWithRootObject(std::make_shared<BadColour>(), true);
    auto back = foundation::KeyedUnarchiver::unarchivedObjectOfClass<TextCanvasObject>("CanvasObject", data);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->color().components(), (std::vector<double> {1.0, 1.0}));
    EXPECT_EQ(back->font().fontName(), "Helvetica");
}

TEST(CanvasObjectDeathTest, MakeImageOfTheBaseClassStops)
{
    auto object = CanvasObject::init();
    EXPECT_DEATH(object->makeImage(), "CanvasObject.makeImage\\(\\) is an abstract method and must be overridden");
}
