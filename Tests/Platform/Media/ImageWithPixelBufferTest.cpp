#include "Platform/Graphics/ColorSpace.h"
#include "Platform/Graphics/Image.h"
#include "Platform/Media/PixelConversion.h"

#include <gtest/gtest.h>

#include <cstdlib>

using namespace media;

namespace {

// Left half (60, 120, 200), right half (250, 10, 10), written as 32ARGB.
PixelBufferPtr twoColourARGB(size_t w, size_t h)
{
    auto b = PixelBuffer::create(w, h, PixelFormatType_32ARGB);
    for (size_t y = 0; y < h; ++y) {
        auto* row = static_cast<uint8_t*>(b->baseAddress()) + y * b->bytesPerRow();
        for (size_t x = 0; x < w; ++x) {
            const bool left = x < w / 2;
            row[4 * x + 0] = 0; // X: whatever is there must not become transparency
            row[4 * x + 1] = left ? 60 : 250;
            row[4 * x + 2] = left ? 120 : 10;
            row[4 * x + 3] = left ? 200 : 10;
        }
    }
    return b;
}

} // namespace

TEST(ImageWithPixelBuffer, ReadsEachPipelineFormat)
{
    const struct Case {
        OSType format;
        int tolerance; // 4:2:0 goes through Y'CbCr and back
    } cases[] = {{PixelFormatType_32ARGB, 0},
                 {PixelFormatType_32BGRA, 0},
                 {PixelFormatType_420YpCbCr8BiPlanarVideoRange, 6},
                 {PixelFormatType_420YpCbCr8BiPlanarFullRange, 6}};
    for (const auto& c : cases) {
        SCOPED_TRACE(pixelFormatName(c.format));
        auto argb = twoColourARGB(16, 10);
        auto buffer = c.format == PixelFormatType_32ARGB ? argb : createConvertedPixelBuffer(argb, c.format);
        ASSERT_TRUE(buffer);
        foundation::ErrorPtr error;
        auto image = createImageWithPixelBuffer(buffer, &error);
        ASSERT_TRUE(image) << error->localizedDescription();
        EXPECT_EQ(image->width(), 16u);
        EXPECT_EQ(image->height(), 10u);
        EXPECT_TRUE(image->colorSpace()->isRGBLike());
        const struct {
            size_t x, y;
            int r, g, b;
        } samples[] = {{1, 1, 60, 120, 200}, {14, 8, 250, 10, 10}};
        for (const auto& s : samples) {
            const auto px = image->pixelAt(s.x, s.y);
            EXPECT_LE(std::abs(px.r - s.r), c.tolerance) << int(px.r);
            EXPECT_LE(std::abs(px.g - s.g), c.tolerance) << int(px.g);
            EXPECT_LE(std::abs(px.b - s.b), c.tolerance) << int(px.b);
            EXPECT_EQ(px.a, 255);
        }
    }
}

TEST(ImageWithPixelBuffer, KeepsTheBufferAliveAndItsProfile)
{
    auto p3 = graphics::ColorSpace::createWithName(graphics::kCGColorSpaceDisplayP3);
    ASSERT_TRUE(p3);
    ASSERT_FALSE(p3->iccData().empty());
    auto buffer = twoColourARGB(4, 4);
    buffer->setAttachment(kCVImageBufferICCProfileKey, p3->iccData(), AttachmentMode::ShouldPropagate);
    auto image = createImageWithPixelBuffer(buffer);
    ASSERT_TRUE(image);
    EXPECT_TRUE(image->colorSpace()->isEqual(*p3));
    buffer.reset(); // the image's pixels must outlive the caller's reference
    EXPECT_EQ(image->pixelAt(3, 3).r, 250);
}

TEST(ImageWithPixelBuffer, RefusesAMissingBuffer)
{
    foundation::ErrorPtr error;
    EXPECT_FALSE(createImageWithPixelBuffer(nullptr, &error));
    EXPECT_TRUE(error);
}
