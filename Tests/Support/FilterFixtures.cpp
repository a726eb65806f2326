#include "Tests/Support/FilterFixtures.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "Platform/Graphics/FilterContext.h"
#include "Platform/Images/ImageDestination.h"
#include "Platform/Images/UTType.h"

namespace filtertest {

graphics::ImagePtr bitmap(int w, int h, const std::function<graphics::Image::RGBA8(int, int)>& pixel)
{
    std::vector<uint8_t> bytes(size_t(w * h) * 4);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const auto p = pixel(x, y);
            uint8_t* d = &bytes[size_t(y * w + x) * 4];
            d[0] = p.r, d[1] = p.g, d[2] = p.b, d[3] = p.a;
        }
    return graphics::Image::create(size_t(w), size_t(h), 8, 32, size_t(w) * 4,
                                   graphics::ColorSpace::createWithName(graphics::kCGColorSpaceSRGB),
                                   {graphics::AlphaInfo::last, graphics::ByteOrder::orderDefault}, std::move(bytes));
}

graphics::FilterImagePtr solid(int w, int h, graphics::Image::RGBA8 colour)
{
    return graphics::FilterImage::imageWithCGImage(bitmap(w, h, [=](int, int) { return colour; }));
}

graphics::FilterImagePtr gradient(int w, int h)
{
    return graphics::FilterImage::imageWithCGImage(bitmap(w, h, [=](int x, int y) {
        return graphics::Image::RGBA8{uint8_t(x * 255 / std::max(1, w - 1)), uint8_t(y * 255 / std::max(1, h - 1)),
                                      uint8_t(255 - x * 200 / std::max(1, w - 1)), 255};
    }));
}

graphics::ImagePtr render(const graphics::FilterImagePtr& image)
{
    return image ? render(image, image->extent()) : nullptr;
}

graphics::ImagePtr render(const graphics::FilterImagePtr& image, const graphics::Rect& rect)
{
    return graphics::FilterContext::create()->createCGImage(image, rect);
}

int maxDifference(const graphics::ImagePtr& a, const graphics::ImagePtr& b)
{
    if (!a || !b || a->width() != b->width() || a->height() != b->height()) {
        ADD_FAILURE() << "images of different sizes";
        return 256;
    }
    int worst = 0;
    for (size_t y = 0; y < a->height(); ++y)
        for (size_t x = 0; x < a->width(); ++x) {
            const auto p = a->pixelAt(x, y), q = b->pixelAt(x, y);
            worst = std::max({worst, std::abs(p.r - q.r), std::abs(p.g - q.g), std::abs(p.b - q.b), std::abs(p.a - q.a)});
        }
    return worst;
}

void keepSnapshot(const graphics::ImagePtr& image, const std::string& name)
{
    const char* dir = std::getenv("QUINTOR_FILTER_SNAPSHOT_DIR");
    if (!dir || !image)
        return;
    std::filesystem::create_directories(dir);
    auto destination = images::ImageDestination::createWithPath(std::string(dir) + "/" + name + ".png", images::kUTTypePNG, 1);
    ASSERT_TRUE(destination);
    destination->addImage(image);
    EXPECT_TRUE(destination->finalize());
}

} // namespace filtertest
