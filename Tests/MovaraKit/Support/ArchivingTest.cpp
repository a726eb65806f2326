#include "MovaraKit/Support/Archiving+Movara.h"
#include "MovaraKit/Support/CGColorArchiving.h"

#include <gtest/gtest.h>

#include <cstring>
#include <numbers>

namespace {

using foundation::Value;
using graphics::AffineTransform;

// A document object with a point and a size, archived through the coder helpers.
class Placed : public foundation::Coding {
public:
    graphics::Point origin;
    graphics::Size size;
    std::string className() const override { return "MVRTestPlaced"; }
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override
    {
        mvr_encodeCGPoint(coder, origin, "origin");
        mvr_encodeCGSize(coder, size, "size");
    }
};

std::shared_ptr<Placed> roundTrip(const Placed& object)
{
    static const bool registered = [] {
        foundation::KeyedArchiver::registerClass({"MVRTestPlaced", {}, true, 0, [](foundation::KeyedUnarchiver& coder) {
                                                      auto decoded = std::make_shared<Placed>();
                                                      decoded->origin = mvr_decodeCGPointForKey(coder, "origin");
                                                      decoded->size = mvr_decodeCGSizeForKey(coder, "size");
                                                      return decoded;
                                                  }});
        return true;
    }();
    (void)registered;
    auto data = foundation::KeyedArchiver::archivedDataWithRootObject(std::make_shared<Placed>(object));
    return foundation::KeyedUnarchiver::unarchivedObjectOfClass<Placed>("MVRTestPlaced", data);
}

// A small valid RGB profile without a name: the generic RGB space's bytes.
const std::vector<uint8_t>& rgbProfile()
{
    static const std::vector<uint8_t> icc = graphics::ColorSpace::createWithName(graphics::kCGColorSpaceGenericRGB)->iccData();
    return icc;
}

} // namespace

TEST(CGColorArchiving, NamedColourRoundTrips)
{
    const graphics::Color red = graphics::Color::sRGB(1, 0, 0, 1);
    auto dictionary = CGColorArchiving::dictionary(red);
    ASSERT_TRUE(dictionary);
    EXPECT_EQ(*dictionary, Value::dictionary({{"colorSpace", Value::dictionary({{"name", graphics::kCGColorSpaceSRGB}})},
                                              {"components", Value::array({1.0, 0.0, 0.0, 1.0})}}));
    auto back = CGColorArchiving::color(*dictionary);
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, red);
}

TEST(CGColorArchiving, SpacesWithoutANameWriteTheirProfileOrTable)
{
    auto profiled = graphics::ColorSpace::createWithICCData(rgbProfile());
    ASSERT_TRUE(profiled);
    ASSERT_FALSE(profiled->name());
    auto written = CGColorArchiving::dictionary(profiled);
    ASSERT_TRUE(written);
    EXPECT_EQ(*written, Value::dictionary({{"iccData", foundation::Data(rgbProfile())}}));
    auto read = CGColorArchiving::colorSpace(*written);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->model(), graphics::ColorSpaceModel::rgb);
    EXPECT_EQ(read->iccData(), rgbProfile());

    // Three entries over RGB: nine table bytes and the base space.
    const std::vector<uint8_t> table = {255, 0, 0, 0, 255, 0, 0, 0, 255};
    auto indexed = graphics::ColorSpace::createIndexed(graphics::ColorSpace::createWithName(graphics::kCGColorSpaceSRGB), 2, table);
    ASSERT_TRUE(indexed);
    written = CGColorArchiving::dictionary(indexed);
    ASSERT_TRUE(written);
    EXPECT_EQ((*written)["colorTable"], Value::array({255, 0, 0, 0, 255, 0, 0, 0, 255}));
    EXPECT_EQ((*written)["baseColorSpace"], Value::dictionary({{"name", graphics::kCGColorSpaceSRGB}}));
    read = CGColorArchiving::colorSpace(*written);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->model(), graphics::ColorSpaceModel::indexed);
    EXPECT_EQ(read->colorTableCount(), 3); // last index 2
    EXPECT_EQ(read->colorTable(), table);

    // An indexed colour round-trips through its space.
    auto colour = graphics::Color::create(indexed, {1, 1});
    ASSERT_TRUE(colour);
    auto back = CGColorArchiving::color(*CGColorArchiving::dictionary(*colour));
    ASSERT_TRUE(back);
    EXPECT_EQ(back->components(), (std::vector<double> {1, 1}));
}

TEST(CGColorArchiving, UnusableDictionariesGiveNone)
{
    const Value srgb = Value::dictionary({{"name", graphics::kCGColorSpaceSRGB}});
    struct Case {
        std::string name;
        Value dictionary;
    } cases[] = {
        {"no components", Value::dictionary({{"colorSpace", srgb}})},
        {"no space", Value::dictionary({{"components", Value::array({1, 0, 0, 1})}})},
        {"too few components", Value::dictionary({{"colorSpace", srgb}, {"components", Value::array({1, 0, 1})}})},
        {"too many components", Value::dictionary({{"colorSpace", srgb}, {"components", Value::array({1, 0, 0, 1, 1})}})},
        {"text component", Value::dictionary({{"colorSpace", srgb}, {"components", Value::array({1, "0", 0, 1})}})},
        {"unknown name", Value::dictionary({{"colorSpace", Value::dictionary({{"name", "kCGColorSpaceNowhere"}})},
                                            {"components", Value::array({1, 0, 0, 1})}})},
        {"rejected profile", Value::dictionary({{"colorSpace", Value::dictionary({{"iccData", foundation::Data {1, 2, 3}}})},
                                                {"components", Value::array({1, 0, 0, 1})}})},
        {"not a dictionary", Value::array({1, 2})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_FALSE(CGColorArchiving::color(c.dictionary));
    }
}

TEST(CGColorArchiving, KeysOfTheWrongTypeFallThroughToTheNextForm)
{
    // "name" holding a number is skipped, and the profile is read.
    auto space = CGColorArchiving::colorSpace(Value::dictionary({{"name", 7}, {"iccData", foundation::Data(rgbProfile())}}));
    ASSERT_TRUE(space);
    EXPECT_EQ(space->iccData(), rgbProfile());

    const Value base = Value::dictionary({{"name", graphics::kCGColorSpaceSRGB}});
    struct Case {
        std::string name;
        Value dictionary;
    } refused[] = {
        {"table entry out of range", Value::dictionary({{"colorTable", Value::array({256, 0, 0})}, {"baseColorSpace", base}})},
        {"table of text", Value::dictionary({{"colorTable", "abc"}, {"baseColorSpace", base}})},
        {"table shorter than one entry", Value::dictionary({{"colorTable", Value::array({1, 2})}, {"baseColorSpace", base}})},
        {"indexed base", Value::dictionary({{"colorTable", Value::array({1, 2, 3})},
                                            {"baseColorSpace", Value::dictionary({{"colorTable", Value::array({1, 2, 3})},
                                                                                  {"baseColorSpace", base}})}})},
        {"empty", Value::dictionary({})},
    };
    for (const auto& c : refused) {
        SCOPED_TRACE(c.name);
        EXPECT_FALSE(CGColorArchiving::colorSpace(c.dictionary));
    }
}

TEST(TransformArchiving, TextFormRoundTrips)
{
    struct Case {
        AffineTransform transform;
        std::string text;
    } cases[] = {
        {AffineTransform::identity(), "{1, 0, 0, 1, 0, 0}"},
        {AffineTransform::makeTranslation(10.5, -3), "{1, 0, 0, 1, 10.5, -3}"},
        {AffineTransform::make(2, 0.25, -0.5, 3, 1e-7, 12345), "{2, 0.25, -0.5, 3, 1e-07, 12345}"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(transformString(c.transform), c.text);
        EXPECT_EQ(transform(c.text), c.transform);
    }
    EXPECT_EQ(transform("  { 1 ,0, 0,1 , +4, 5 } and more"), AffineTransform::makeTranslation(4, 5));
}

TEST(TransformArchiving, UnreadableTextIsTheIdentity)
{
    for (const char* text : {"", "{1, 0, 0, 1, 10.5}", "1, 0, 0, 1, 0, 0}", "{1, 0, 0, 1, 0, 0", "{1; 0, 0, 1, 0, 0}",
                             "{nan, 0, 0, 1, 0, 0}", "{inf, 0, 0, 1, 0, 0}", "{1, 0, 0, 1, x, 0}"}) {
        SCOPED_TRACE(text);
        EXPECT_EQ(transform(text), AffineTransform::identity());
    }
}

TEST(TransformArchiving, BoxedTransformsUnboxOnlyFromTheirOwnType)
{
    const AffineTransform rotation = AffineTransform::makeRotation(std::numbers::pi / 3).translatedBy(4, 5);
    const MVRBoxedValue boxed = mvr_valueWithCGAffineTransform(rotation);
    EXPECT_EQ(boxed.objCType, "{CGAffineTransform=dddddd}");
    EXPECT_EQ(boxed.bytes.size(), 6 * sizeof(double));
    EXPECT_EQ(mvr_CGAffineTransformValue(boxed), rotation);

    const double point[2] = {3, 4};
    MVRBoxedValue boxedPoint {"{CGPoint=dd}", std::vector<uint8_t>(sizeof point)};
    std::memcpy(boxedPoint.bytes.data(), point, sizeof point);
    EXPECT_EQ(mvr_CGAffineTransformValue(boxedPoint), AffineTransform::identity());
    // The right tag over too few bytes is not read past its end.
    boxedPoint.objCType = MVRAffineTransformObjCType;
    EXPECT_EQ(mvr_CGAffineTransformValue(boxedPoint), AffineTransform::identity());
}

TEST(CoderArchiving, PointsAndSizesRoundTripAndMissingKeysReadZero)
{
    Placed placed;
    placed.origin = {12.25, -0.1};
    placed.size = {640, 1.0 / 3};
    auto back = roundTrip(placed);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->origin, placed.origin);
    EXPECT_EQ(back->size, placed.size);

    foundation::KeyedArchiver archiver;
    archiver.encodeString("not a point", "origin");
    auto unarchiver = foundation::KeyedUnarchiver::initForReadingFromData(archiver.encodedData());
    ASSERT_TRUE(unarchiver);
    EXPECT_EQ(mvr_decodeCGPointForKey(*unarchiver, "origin"), graphics::Point {});
    EXPECT_EQ(mvr_decodeCGSizeForKey(*unarchiver, "missing"), graphics::Size {});
}

TEST(TextAlignmentArchiving, DocumentValueIsTheRawValue)
{
    for (auto alignment : {ui::TextAlignment::left, ui::TextAlignment::right, ui::TextAlignment::center,
                           ui::TextAlignment::justified, ui::TextAlignment::natural}) {
        EXPECT_EQ(documentValue(alignment), static_cast<int64_t>(alignment));
        EXPECT_EQ(textAlignmentWithDocumentValue(documentValue(alignment)), alignment);
    }
    EXPECT_EQ(documentValue(ui::TextAlignment::center), 2);
    EXPECT_EQ(documentValue(textAlignmentWithDocumentValue(42)), 42); // any integer is kept
}
