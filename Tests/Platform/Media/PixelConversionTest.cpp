#include "Platform/Graphics/ColorSpace.h"
#include "Platform/Graphics/Image.h"
#include "Platform/Media/PixelConversion.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

using namespace media;

namespace {

const OSType k420v = PixelFormatType_420YpCbCr8BiPlanarVideoRange;
const OSType k420f = PixelFormatType_420YpCbCr8BiPlanarFullRange;

struct RGB {
    uint8_t r, g, b;
};

PixelBufferPtr solidARGB(size_t w, size_t h, RGB c)
{
    auto b = PixelBuffer::create(w, h, PixelFormatType_32ARGB);
    for (size_t y = 0; y < h; ++y) {
        auto* row = static_cast<uint8_t*>(b->baseAddress()) + y * b->bytesPerRow();
        for (size_t x = 0; x < w; ++x) {
            row[4 * x + 0] = 255;
            row[4 * x + 1] = c.r;
            row[4 * x + 2] = c.g;
            row[4 * x + 3] = c.b;
        }
    }
    return b;
}

// Y, Cb, Cr at the top-left sample.
std::array<int, 3> ycbcrAt(const PixelBuffer& b, size_t x, size_t y)
{
    const auto* luma = static_cast<const uint8_t*>(b.baseAddressOfPlane(0));
    const auto* chroma = static_cast<const uint8_t*>(b.baseAddressOfPlane(1));
    const uint8_t* c = chroma + (y / 2) * b.bytesPerRowOfPlane(1) + (x / 2) * 2;
    return {luma[y * b.bytesPerRowOfPlane(0) + x], c[0], c[1]};
}

void expectNear(std::array<int, 3> actual, std::array<int, 3> expected, int tolerance, const std::string& what)
{
    for (int i = 0; i < 3; ++i)
        EXPECT_LE(std::abs(actual[i] - expected[i]), tolerance)
            << what << " component " << i << ": " << actual[i] << " vs " << expected[i];
}

} // namespace

TEST(PixelConversion, RGBToYCbCrUsesBT709)
{
    // Reference values from the BT.709 equations (video range: Y 16..235, C 16..240).
    struct Case {
        const char* name;
        RGB rgb;
        OSType format;
        std::array<int, 3> ycbcr;
    } cases[] = {
        {"white", {255, 255, 255}, k420v, {235, 128, 128}},
        {"black", {0, 0, 0}, k420v, {16, 128, 128}},
        {"red", {255, 0, 0}, k420v, {63, 102, 240}}, // BT.601 would give Y 81
        {"green", {0, 255, 0}, k420v, {173, 42, 26}},
        {"blue", {0, 0, 255}, k420v, {32, 240, 118}},
        {"white, full range", {255, 255, 255}, k420f, {255, 128, 128}},
        {"red, full range", {255, 0, 0}, k420f, {54, 99, 255}},
    };
    for (const auto& c : cases) {
        foundation::ErrorPtr error;
        auto out = createConvertedPixelBuffer(solidARGB(8, 6, c.rgb), c.format, &error);
        ASSERT_TRUE(out) << c.name << ": " << (error ? error->localizedDescription() : "");
        EXPECT_EQ(out->pixelFormatType(), c.format);
        expectNear(ycbcrAt(*out, 0, 0), c.ycbcr, 1, c.name);
        expectNear(ycbcrAt(*out, 7, 5), c.ycbcr, 1, c.name);
        auto matrix = out->attachment(kCVImageBufferYCbCrMatrixKey);
        ASSERT_TRUE(matrix);
        EXPECT_EQ(std::get<std::string>(*matrix), "ITU_R_709_2");
    }
}

TEST(PixelConversion, MatrixTagOfTheBufferIsHonoured)
{
    auto src = solidARGB(4, 4, {255, 0, 0});
    auto out = PixelBuffer::create(4, 4, k420v);
    out->setAttachment(kCVImageBufferYCbCrMatrixKey, std::string("ITU_R_601_4"), AttachmentMode::ShouldPropagate);
    PixelConverter converter;
    ASSERT_TRUE(converter.convert(src, out));
    expectNear(ycbcrAt(*out, 0, 0), {81, 90, 240}, 1, "BT.601 red");
}

TEST(PixelConversion, RoundTripsAndByteOrders)
{
    const RGB colours[] = {{200, 100, 50}, {10, 240, 130}, {128, 128, 128}};
    PixelConverter converter;
    for (const RGB& c : colours) {
        auto src = solidARGB(16, 10, c);
        src->setAttachment(kCVImageBufferICCProfileKey, std::vector<uint8_t>{1, 2}, AttachmentMode::ShouldPropagate);

        auto yuv = createConvertedPixelBuffer(src, k420v);
        ASSERT_TRUE(yuv);
        EXPECT_TRUE(yuv->attachment(kCVImageBufferICCProfileKey)); // propagated from the source
        auto back = PixelBuffer::create(16, 10, PixelFormatType_32ARGB);
        ASSERT_TRUE(converter.convert(yuv, back));
        const auto* p = static_cast<const uint8_t*>(back->baseAddress()) + 3 * back->bytesPerRow() + 4 * 5;
        EXPECT_NEAR(p[1], c.r, 3);
        EXPECT_NEAR(p[2], c.g, 3);
        EXPECT_NEAR(p[3], c.b, 3);

        // Packed RGB to packed RGB is a pure byte shuffle.
        auto bgra = createConvertedPixelBuffer(src, PixelFormatType_32BGRA);
        ASSERT_TRUE(bgra);
        const auto* q = static_cast<const uint8_t*>(bgra->baseAddress());
        EXPECT_EQ(q[0], c.b);
        EXPECT_EQ(q[1], c.g);
        EXPECT_EQ(q[2], c.r);
    }
}

TEST(PixelConversion, ScalesWhenSizesDiffer)
{
    auto src = solidARGB(64, 32, {0, 0, 255});
    auto dst = PixelBuffer::create(16, 8, k420v);
    PixelConverter converter;
    ASSERT_TRUE(converter.convert(src, dst));
    expectNear(ycbcrAt(*dst, 15, 7), {32, 240, 118}, 1, "scaled blue");
    // The same converter handles a new shape afterwards.
    auto dst2 = PixelBuffer::create(30, 20, k420v);
    ASSERT_TRUE(converter.convert(src, dst2));
    expectNear(ycbcrAt(*dst2, 29, 19), {32, 240, 118}, 1, "second shape");
}

TEST(PixelConversion, RefusesMissingBuffers)
{
    PixelConverter converter;
    foundation::ErrorPtr error;
    auto b = PixelBuffer::create(4, 4, PixelFormatType_32ARGB);
    EXPECT_FALSE(converter.convert(nullptr, b, &error));
    EXPECT_TRUE(error);
    error.reset();
    EXPECT_FALSE(converter.convert(b, b, &error));
    EXPECT_TRUE(error);
    EXPECT_FALSE(createConvertedPixelBuffer(nullptr, k420v));
}

TEST(PixelConversion, DrawsImagesIntoXRGBBuffersKeepingOrReplacingTheColourSpace)
{
    // A 2 x 2 RGBA image: red, green / blue, white (row 0 on top).
    std::vector<uint8_t> rgba = {255, 0, 0, 255, 0, 255, 0, 255, 0, 0, 255, 255, 255, 255, 255, 255};
    auto srgb = graphics::ColorSpace::createWithName(graphics::kCGColorSpaceSRGB);
    auto image = graphics::Image::create(2, 2, 8, 32, 8, srgb, {graphics::AlphaInfo::noneSkipLast, {}}, rgba);
    ASSERT_TRUE(image);
    auto b = createPixelBufferWithImage(image);
    ASSERT_TRUE(b);
    EXPECT_EQ(b->pixelFormatType(), PixelFormatType_32ARGB);
    EXPECT_EQ(b->width(), 2u);
    const auto* row0 = static_cast<const uint8_t*>(b->baseAddress());
    const auto* row1 = row0 + b->bytesPerRow();
    EXPECT_EQ((std::array<int, 3>{row0[1], row0[2], row0[3]}), (std::array<int, 3>{255, 0, 0}));
    EXPECT_EQ((std::array<int, 3>{row0[5], row0[6], row0[7]}), (std::array<int, 3>{0, 255, 0}));
    EXPECT_EQ((std::array<int, 3>{row1[1], row1[2], row1[3]}), (std::array<int, 3>{0, 0, 255}));
    auto icc = b->attachment(kCVImageBufferICCProfileKey);
    ASSERT_TRUE(icc);
    EXPECT_EQ(std::get<std::vector<uint8_t>>(*icc), srgb->iccData());

    // A grey image is drawn in generic RGB, and the buffer says so.
    auto grey = graphics::Image::create(1, 1, 8, 8, 1, graphics::ColorSpace::createWithName(graphics::kCGColorSpaceGenericGray),
                                        {graphics::AlphaInfo::none, {}}, {128});
    ASSERT_TRUE(grey);
    auto g = createPixelBufferWithImage(grey);
    ASSERT_TRUE(g);
    auto generic = graphics::ColorSpace::createWithName(graphics::kCGColorSpaceGenericRGB);
    ASSERT_TRUE(g->attachment(kCVImageBufferICCProfileKey));
    EXPECT_EQ(std::get<std::vector<uint8_t>>(*g->attachment(kCVImageBufferICCProfileKey)), generic->iccData());
    const auto* px = static_cast<const uint8_t*>(g->baseAddress());
    EXPECT_EQ(px[1], px[2]);
    EXPECT_EQ(px[2], px[3]);

    EXPECT_FALSE(createPixelBufferWithImage(nullptr));
}

TEST(StripConverter, FillsTheBufferAsStripsArriveAndRefusesRowsBeyondTheImage)
{
    // A 4-row image of red over blue halves, B,G,R,X rows, arriving as 1 + 3 rows.
    std::vector<uint8_t> rows(8 * 4 * 4);
    for (size_t y = 0; y < 4; ++y)
        for (size_t x = 0; x < 8; ++x) {
            uint8_t* p = &rows[(y * 8 + x) * 4];
            p[0] = y < 2 ? 0 : 255; // blue
            p[2] = y < 2 ? 255 : 0; // red
        }
    auto out = PixelBuffer::create(4, 2, PixelFormatType_420YpCbCr8PlanarVideoRange);
    foundation::ErrorPtr error;
    auto converter = StripConverter::make(8, 4, out, &error);
    ASSERT_TRUE(converter) << error->localizedDescription();
    EXPECT_TRUE(converter->append(rows.data(), 32, 1, &error));
    EXPECT_FALSE(converter->isComplete());
    EXPECT_TRUE(converter->append(rows.data() + 32, 32, 3, &error));
    EXPECT_TRUE(converter->isComplete());
    auto* y = static_cast<const uint8_t*>(out->baseAddressOfPlane(0));
    const size_t stride = out->bytesPerRowOfPlane(0);
    EXPECT_NEAR(y[0], 63, 3);          // BT.709 red
    EXPECT_NEAR(y[stride], 32, 3);     // BT.709 blue
    EXPECT_FALSE(converter->append(rows.data(), 32, 1, &error));
    ASSERT_TRUE(error);

    EXPECT_FALSE(StripConverter::make(0, 4, out));
    EXPECT_FALSE(StripConverter::make(8, 4, nullptr));
}
