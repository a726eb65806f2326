#include <gtest/gtest.h>

#include "Platform/Graphics/Image.h"

using namespace graphics;

TEST(Image, RefusesBuffersTooSmallOrLayoutsUnknown)
{
    auto rgb = ColorSpace::createDeviceRGB();
    const BitmapInfo xrgb{AlphaInfo::noneSkipFirst, ByteOrder::orderDefault};
    EXPECT_TRUE(Image::create(2, 2, 8, 32, 8, rgb, xrgb, std::vector<uint8_t>(16)));
    // The last row's padding may be missing, its pixels may not.
    EXPECT_TRUE(Image::create(2, 2, 8, 32, 12, rgb, xrgb, std::vector<uint8_t>(20)));
    EXPECT_FALSE(Image::create(2, 2, 8, 32, 12, rgb, xrgb, std::vector<uint8_t>(19)));
    EXPECT_FALSE(Image::create(2, 2, 8, 32, 4, rgb, xrgb, std::vector<uint8_t>(64)));
    EXPECT_FALSE(Image::create(2, 2, 8, 24, 6, rgb, {}, std::vector<uint8_t>(12)));
    EXPECT_FALSE(Image::create(2, 2, 16, 64, 16, rgb, xrgb, std::vector<uint8_t>(32)));
    EXPECT_FALSE(Image::create(0, 2, 8, 32, 8, rgb, xrgb, std::vector<uint8_t>(16)));
}

TEST(Image, CopyPixelsConvertsAlphaFormAndOrder)
{
    // One straight-alpha pixel: red 200 at alpha 128.
    auto img = Image::create(1, 1, 8, 32, 4, ColorSpace::createDeviceRGB(), {AlphaInfo::last, ByteOrder::orderDefault},
                             {200, 0, 0, 128});
    ASSERT_TRUE(img);
    EXPECT_EQ(img->pixelFormat(), PixelFormat::rgba8);
    uint8_t out[4] = {};
    ASSERT_TRUE(img->copyPixels(out, 4, PixelFormat::bgra8, true));
    EXPECT_EQ(std::vector<uint8_t>(out, out + 4), (std::vector<uint8_t>{0, 0, 100, 128}));
    ASSERT_TRUE(img->copyPixels(out, 4, PixelFormat::argb8, false));
    EXPECT_EQ(std::vector<uint8_t>(out, out + 4), (std::vector<uint8_t>{128, 200, 0, 0}));

    // Premultiplied back to straight recovers the colour (to rounding), zero alpha gives zero.
    auto pre = Image::create(2, 1, 8, 32, 8, ColorSpace::createDeviceRGB(),
                             {AlphaInfo::premultipliedFirst, ByteOrder::order32Little}, {0, 0, 100, 128, 9, 9, 9, 0});
    EXPECT_EQ(pre->pixelAt(0, 0), (Image::RGBA8{199, 0, 0, 128}));
    EXPECT_EQ(pre->pixelAt(1, 0), (Image::RGBA8{0, 0, 0, 0}));
}
