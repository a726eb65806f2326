#include <gtest/gtest.h>

#include "Platform/Graphics/Color.h"
#include "Platform/Graphics/ColorSpace.h"

using namespace graphics;

TEST(ColorSpace, NamedSpacesCarryNameModelAndProfile)
{
    struct Case {
        const std::string* name;
        ColorSpaceModel model;
        bool hasICC;
    } cases[] = {
        {&kCGColorSpaceSRGB, ColorSpaceModel::rgb, true},
        {&kCGColorSpaceGenericRGB, ColorSpaceModel::rgb, true},
        {&kCGColorSpaceDisplayP3, ColorSpaceModel::rgb, true},
        {&kCGColorSpaceGenericGrayGamma2_2, ColorSpaceModel::monochrome, true},
        {&kCGColorSpaceGenericCMYK, ColorSpaceModel::cmyk, false},
        {&kCGColorSpaceDeviceRGB, ColorSpaceModel::rgb, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(*c.name);
        auto cs = ColorSpace::createWithName(*c.name);
        ASSERT_TRUE(cs);
        EXPECT_EQ(cs->name(), *c.name);
        EXPECT_EQ(cs->model(), c.model);
        EXPECT_EQ(!cs->iccData().empty(), c.hasICC);
        // Shared instances: asking twice gives the same space.
        EXPECT_EQ(cs, ColorSpace::createWithName(*c.name));
    }
    EXPECT_EQ(ColorSpace::createWithName("kCGColorSpaceNoSuchThing"), nullptr);
}

TEST(ColorSpace, ProfileDataMakesAnUnnamedSpaceAndBadDataNone)
{
    auto srgb = ColorSpace::createWithName(kCGColorSpaceSRGB);
    auto fromICC = ColorSpace::createWithICCData(srgb->iccData());
    ASSERT_TRUE(fromICC);
    EXPECT_FALSE(fromICC->name());
    EXPECT_EQ(fromICC->model(), ColorSpaceModel::rgb);
    EXPECT_EQ(fromICC->iccData(), srgb->iccData());
    EXPECT_EQ(fromICC->description(), "sRGB IEC61966-2.1");

    std::vector<uint8_t> truncated(srgb->iccData().begin(), srgb->iccData().begin() + 100);
    std::vector<uint8_t> garbage(600, 0x5A);
    EXPECT_EQ(ColorSpace::createWithICCData({}), nullptr);
    EXPECT_EQ(ColorSpace::createWithICCData(truncated), nullptr);
    EXPECT_EQ(ColorSpace::createWithICCData(garbage), nullptr);
}

TEST(ColorSpace, IndexedSpaceKeepsItsTableAndRefusesShortOnes)
{
    auto base = ColorSpace::createDeviceRGB();
    std::vector<uint8_t> table = {255, 0, 0, 0, 255, 0, 0, 0, 255};
    auto indexed = ColorSpace::createIndexed(base, 2, table);
    ASSERT_TRUE(indexed);
    EXPECT_EQ(indexed->model(), ColorSpaceModel::indexed);
    EXPECT_EQ(indexed->colorTable(), table);
    EXPECT_EQ(indexed->colorTableCount(), 3);
    EXPECT_EQ(indexed->baseColorSpace(), base);

    EXPECT_EQ(ColorSpace::createIndexed(base, 3, table), nullptr); // needs 12 bytes
    EXPECT_EQ(ColorSpace::createIndexed(nullptr, 0, table), nullptr);
    EXPECT_EQ(ColorSpace::createIndexed(indexed, 0, table), nullptr);

    const uint8_t indices[] = {1, 2, 200}; // an index past the table clamps to the last entry
    uint8_t rgb[9] = {};
    indexed->convertToSRGB8(indices, 3, rgb);
    EXPECT_EQ(std::vector<uint8_t>(rgb, rgb + 9), (std::vector<uint8_t>{0, 255, 0, 0, 0, 255, 0, 0, 255}));
}

TEST(ColorSpace, ConvertsGreyAndCMYKWithoutProfiles)
{
    const uint8_t grey[] = {0, 128, 255};
    uint8_t out[9] = {};
    ColorSpace::createDeviceGray()->convertToSRGB8(grey, 3, out);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 9), (std::vector<uint8_t>{0, 0, 0, 128, 128, 128, 255, 255, 255}));

    const uint8_t cmyk[] = {0, 0, 0, 0, 0, 0, 0, 255, 255, 0, 0, 0, 0, 255, 255, 0};
    uint8_t rgb[12] = {};
    ColorSpace::createDeviceCMYK()->convertToSRGB8(cmyk, 4, rgb);
    EXPECT_EQ(std::vector<uint8_t>(rgb, rgb + 12),
              (std::vector<uint8_t>{255, 255, 255, 0, 0, 0, 0, 255, 255, 255, 0, 0}));
}

TEST(Color, CreateChecksComponentCountAndConvertsForDrawing)
{
    auto rgb = ColorSpace::createWithName(kCGColorSpaceSRGB);
    EXPECT_TRUE(Color::create(rgb, {1, 0, 0, 1}));
    EXPECT_FALSE(Color::create(rgb, {1, 0, 0}));       // alpha missing
    EXPECT_FALSE(Color::create(rgb, {1, 0, 0, 1, 1})); // one too many
    EXPECT_FALSE(Color::create(nullptr, {1}));

    const Color grey = Color::genericGray(0.5, 0.25);
    EXPECT_DOUBLE_EQ(grey.rgba().red, 0.5);
    EXPECT_DOUBLE_EQ(grey.rgba().blue, 0.5);
    EXPECT_DOUBLE_EQ(grey.rgba().alpha, 0.25);
    const Color cyan = Color::genericCMYK(1, 0, 0, 0);
    EXPECT_NEAR(cyan.rgba().red, 0.0, 1e-9);
    EXPECT_NEAR(cyan.rgba().green, 1.0, 1e-9);
    EXPECT_EQ(Color::sRGB(1, 0, 0), *Color::create(rgb, {1, 0, 0, 1}));
    EXPECT_FALSE(Color::sRGB(1, 0, 0) == Color::genericRGB(1, 0, 0));
}
