#include "MovaraKit/Media/Image+Movara.h"

#include <cmath>

#include "Platform/Graphics/BitmapContext.h"
#include "Platform/Graphics/ColorSpace.h"

graphics::ImagePtr CGImage(const ui::ImagePtr& image)
{
    return image ? image->bitmap() : nullptr;
}

ui::ImagePtr imageWithCGImage(const graphics::ImagePtr& image)
{
    return image ? ui::Image::imageWithBitmap(image) : nullptr;
}

graphics::ImagePtr mvr_imageByApplyingRotation(const graphics::ImagePtr& image, double angle,
                                               const graphics::Rect& cropRect)
{
    if (!image || image->width() == 0 || image->height() == 0 || !std::isfinite(angle))
        return nullptr;
    if (cropRect.isNull() || cropRect.isInfinite() || cropRect.isEmpty())
        return nullptr;
    const graphics::Rect crop = cropRect.standardized();
    const double width = std::round(crop.width()), height = std::round(crop.height());
    // A crop is a part of a photo: anything far beyond a photo's size is a mistake, not a
    // request for gigabytes of transparent pixels.
    if (!(width >= 1 && height >= 1) || width > 65536 || height > 65536)
        return nullptr;
    auto context = graphics::BitmapContext::create(
        nullptr, size_t(width), size_t(height), 8, size_t(width) * 4, graphics::ColorSpace::createDeviceRGB(),
        {graphics::AlphaInfo::premultipliedFirst, graphics::ByteOrder::order32Little});
    if (!context)
        return nullptr;
    const double w = double(image->width()), h = double(image->height());
    // The bitmap's bottom-left corner is the crop's; the turn is about the middle of an
    // image whose own corner is at the origin.
    context->translateCTM(-crop.minX(), -crop.minY());
    context->translateCTM(w / 2, h / 2);
    context->rotateCTM(angle);
    context->translateCTM(-w / 2, -h / 2);
    context->drawImage(image, graphics::Rect::make(0, 0, w, h));
    return context->createImage();
}
