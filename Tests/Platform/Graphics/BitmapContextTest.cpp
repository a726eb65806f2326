#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "Platform/Graphics/BitmapContext.h"

using namespace graphics;

namespace {

const BitmapInfo kBGRAPremultiplied{AlphaInfo::premultipliedFirst, ByteOrder::order32Little};
const BitmapInfo kXRGB{AlphaInfo::noneSkipFirst, ByteOrder::orderDefault};

// An image from R,G,B,A bytes (straight alpha), row 0 at the top.
ImagePtr rgbaImage(size_t w, size_t h, std::vector<uint8_t> rgba)
{
    return Image::create(w, h, 8, 32, w * 4, ColorSpace::createWithName(kCGColorSpaceSRGB),
                         {AlphaInfo::last, ByteOrder::orderDefault}, std::move(rgba));
}

std::vector<uint8_t> pixelBytes(const BitmapContext& ctx, size_t x, size_t y)
{
    const size_t bpp = ctx.bitsPerPixel() / 8;
    const uint8_t* p = ctx.data() + y * ctx.bytesPerRow() + x * bpp;
    return std::vector<uint8_t>(p, p + bpp);
}

} // namespace

TEST(BitmapContext, RefusesLayoutsItCannotDraw)
{
    auto rgb = ColorSpace::createDeviceRGB();
    struct Case {
        const char* what;
        size_t w, h, bpc, bytesPerRow;
        ColorSpacePtr space;
        BitmapInfo info;
    } cases[] = {
        {"zero width", 0, 4, 8, 0, rgb, kXRGB},
        {"16 bits per component", 4, 4, 16, 0, rgb, kXRGB},
        {"row too short", 4, 4, 8, 12, rgb, kXRGB},
        {"RGB without a skip byte", 4, 4, 8, 0, rgb, {AlphaInfo::none, ByteOrder::orderDefault}},
        {"CMYK", 4, 4, 8, 0, ColorSpace::createDeviceCMYK(), {}},
        {"no colour space", 4, 4, 8, 0, nullptr, kXRGB},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(BitmapContext::create(nullptr, c.w, c.h, c.bpc, c.bytesPerRow, c.space, c.info), nullptr);
    }
}

// A half-transparent red fill lands in memory in each layout's own byte order.
TEST(BitmapContext, FillWritesEachLayoutsByteOrder)
{
    struct Case {
        const char* what;
        BitmapInfo info;
        bool gray;
        std::vector<uint8_t> expected;
    } cases[] = {
        {"B,G,R,A premultiplied (cairo's own)", kBGRAPremultiplied, false, {0, 0, 128, 128}},
        {"A,R,G,B premultiplied", {AlphaInfo::premultipliedFirst, ByteOrder::orderDefault}, false, {128, 128, 0, 0}},
        {"R,G,B,A straight", {AlphaInfo::last, ByteOrder::orderDefault}, false, {255, 0, 0, 128}},
        {"X,R,G,B (pixel buffers)", kXRGB, false, {255, 128, 0, 0}},
        {"R,G,B,X", {AlphaInfo::noneSkipLast, ByteOrder::orderDefault}, false, {128, 0, 0, 255}},
        {"grey", {}, true, {39}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto ctx = BitmapContext::create(nullptr, 2, 2, 8, 0,
                                         c.gray ? ColorSpace::createDeviceGray() : ColorSpace::createDeviceRGB(), c.info);
        ASSERT_TRUE(ctx);
        ctx->setFillColor(Color::sRGB(1, 0, 0, 128.0 / 255.0));
        ctx->fillRect(Rect::make(0, 0, 2, 2));
        EXPECT_EQ(pixelBytes(*ctx, 1, 1), c.expected);
    }
}

TEST(BitmapContext, OriginIsBottomLeftAndCallerMemoryIsKept)
{
    // Caller memory in X,R,G,B (drawn through a private surface) with content already there.
    std::vector<uint8_t> memory(4 * 4 * 4, 0);
    memory[0] = 255;
    memory[1] = 9; // top-left pixel: red 9
    auto ctx = BitmapContext::create(memory.data(), 4, 4, 8, 16, ColorSpace::createDeviceRGB(), kXRGB);
    ASSERT_TRUE(ctx);
    EXPECT_EQ(ctx->data(), memory.data());
    ctx->setFillColor(Color::sRGB(0, 0, 1));
    ctx->fillRect(Rect::make(0, 0, 4, 1)); // the bottom row in user space
    EXPECT_EQ(pixelBytes(*ctx, 2, 3), (std::vector<uint8_t>{255, 0, 0, 255}));
    EXPECT_EQ(pixelBytes(*ctx, 2, 2)[1], 0); // the row above is untouched (the skip byte is free)
    EXPECT_EQ(pixelBytes(*ctx, 0, 0), (std::vector<uint8_t>{255, 9, 0, 0}));
}

// An image drawn 1:1 comes out upright, whether it is copied straight into the bitmap or
// drawn by cairo (a clip forces the latter), and in every destination layout.
TEST(BitmapContext, DrawsImagesUprightOnEveryPath)
{
    auto image = rgbaImage(2, 2, {255, 0, 0, 255, 0, 255, 0, 255, /* bottom row */ 0, 0, 255, 255, 255, 255, 255, 255});
    for (bool clipped : {false, true}) {
        for (BitmapInfo info : {kXRGB, kBGRAPremultiplied}) {
            SCOPED_TRACE(std::string(clipped ? "clipped" : "direct") + (info == kXRGB ? " XRGB" : " BGRA"));
            auto ctx = BitmapContext::create(nullptr, 2, 2, 8, 0, ColorSpace::createDeviceRGB(), info);
            ASSERT_TRUE(ctx);
            if (clipped)
                ctx->clipToRect(Rect::make(0, 0, 2, 2));
            ctx->drawImage(image, Rect::make(0, 0, 2, 2));
            auto snapshot = ctx->createImage();
            EXPECT_EQ(snapshot->pixelAt(0, 0), (Image::RGBA8{255, 0, 0, 255}));
            EXPECT_EQ(snapshot->pixelAt(1, 0), (Image::RGBA8{0, 255, 0, 255}));
            EXPECT_EQ(snapshot->pixelAt(0, 1), (Image::RGBA8{0, 0, 255, 255}));
            EXPECT_EQ(snapshot->pixelAt(1, 1), (Image::RGBA8{255, 255, 255, 255}));
        }
    }
}

TEST(BitmapContext, TransformsComposeAsThePlatformsAndRotateDrawing)
{
    auto ctx = BitmapContext::create(nullptr, 1, 2, 8, 0, ColorSpace::createDeviceRGB(), kBGRAPremultiplied);
    ASSERT_TRUE(ctx);
    EXPECT_TRUE(ctx->getCTM().isIdentity());
    ctx->saveGState();
    ctx->translateCTM(10, 20);
    ctx->scaleCTM(2, 3);
    const AffineTransform t = ctx->getCTM();
    EXPECT_EQ(t, AffineTransform::make(2, 0, 0, 3, 10, 20));
    ctx->restoreGState();
    EXPECT_TRUE(ctx->getCTM().isIdentity());
    ctx->restoreGState(); // unbalanced: ignored

    // A 2 x 1 image (red, green) turned a quarter anticlockwise into a 1 x 2 bitmap:
    // red ends at the bottom, green on top.
    auto image = rgbaImage(2, 1, {255, 0, 0, 255, 0, 255, 0, 255});
    ctx->concatCTM(AffineTransform::make(0, 1, -1, 0, 1, 0));
    ctx->drawImage(image, Rect::make(0, 0, 2, 1));
    auto snapshot = ctx->createImage();
    EXPECT_EQ(snapshot->pixelAt(0, 0), (Image::RGBA8{0, 255, 0, 255}));
    EXPECT_EQ(snapshot->pixelAt(0, 1), (Image::RGBA8{255, 0, 0, 255}));
}

TEST(BitmapContext, ClipLimitsDrawingAndIsRestored)
{
    auto ctx = BitmapContext::create(nullptr, 4, 4, 8, 0, ColorSpace::createDeviceRGB(), kBGRAPremultiplied);
    ASSERT_TRUE(ctx);
    EXPECT_TRUE(ctx->getClipBoundingBox().equalTo(Rect::make(0, 0, 4, 4)));
    ctx->saveGState();
    ctx->translateCTM(1, 1);
    ctx->clipToRect(Rect::make(0, 0, 2, 2));
    EXPECT_TRUE(ctx->getClipBoundingBox().equalTo(Rect::make(0, 0, 2, 2)));
    ctx->setFillColor(Color::white());
    ctx->fillRect(Rect::make(-10, -10, 100, 100));
    ctx->restoreGState();
    auto img = ctx->createImage();
    EXPECT_EQ(img->pixelAt(0, 0).a, 0);
    EXPECT_EQ(img->pixelAt(1, 1), (Image::RGBA8{255, 255, 255, 255}));
    EXPECT_EQ(img->pixelAt(3, 3).a, 0);
    // The fill colour went back to black with the state.
    ctx->fillRect(Rect::make(0, 0, 1, 1));
    EXPECT_EQ(ctx->createImage()->pixelAt(0, 3), (Image::RGBA8{0, 0, 0, 255}));
}

TEST(BitmapContext, GreyAndCMYKImagesDrawAsRGB)
{
    auto grey = Image::create(1, 1, 8, 8, 1, ColorSpace::createDeviceGray(), {}, {200});
    auto cmyk = Image::create(1, 1, 8, 32, 4, ColorSpace::createDeviceCMYK(), {}, {255, 0, 0, 0});
    ASSERT_TRUE(grey && cmyk);
    auto ctx = BitmapContext::create(nullptr, 2, 1, 8, 0, ColorSpace::createWithName(kCGColorSpaceGenericRGB), kXRGB);
    ctx->drawImage(grey, Rect::make(0, 0, 1, 1));
    ctx->drawImage(cmyk, Rect::make(1, 0, 1, 1));
    EXPECT_EQ(pixelBytes(*ctx, 0, 0), (std::vector<uint8_t>{255, 200, 200, 200}));
    EXPECT_EQ(pixelBytes(*ctx, 1, 0), (std::vector<uint8_t>{255, 0, 255, 255}));
}

TEST(BitmapContext, DownscalingAveragesInsteadOfSkipping)
{
    // A one-pixel checkerboard shrunk to a quarter: a good filter gives mid grey, nearest
    // neighbour would give pure black or white.
    std::vector<uint8_t> px;
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x) {
            const uint8_t v = (x + y) % 2 ? 255 : 0;
            px.insert(px.end(), {v, v, v, 255});
        }
    auto ctx = BitmapContext::create(nullptr, 2, 2, 8, 0, ColorSpace::createDeviceRGB(), kBGRAPremultiplied);
    ctx->setInterpolationQuality(InterpolationQuality::high);
    ctx->drawImage(rgbaImage(8, 8, px), Rect::make(0, 0, 2, 2));
    const auto p = ctx->createImage()->pixelAt(0, 0);
    EXPECT_NEAR(p.r, 128, 20);
    EXPECT_EQ(p.a, 255);
}

TEST(BitmapContext, SnapshotDoesNotFollowLaterDrawing)
{
    auto ctx = BitmapContext::create(nullptr, 1, 1, 8, 0, ColorSpace::createDeviceRGB(), kBGRAPremultiplied);
    auto before = ctx->createImage();
    ctx->setFillColor(Color::white());
    ctx->fillRect(Rect::make(0, 0, 1, 1));
    EXPECT_EQ(before->pixelAt(0, 0).a, 0);
    EXPECT_EQ(ctx->createImage()->pixelAt(0, 0).a, 255);
    EXPECT_EQ(before->bitmapInfo(), kBGRAPremultiplied);
}
