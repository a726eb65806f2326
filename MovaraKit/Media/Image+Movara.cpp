#include "MovaraKit/Media/Image+Movara.h"

#include "Platform/Graphics/FilterContext.h"

graphics::ImagePtr CGImage(const ui::ImagePtr& image)
{
    return image ? image->bitmap() : nullptr;
}

ui::ImagePtr imageWithCGImage(const graphics::ImagePtr& image)
{
    return image ? ui::Image::imageWithBitmap(image) : nullptr;
}

graphics::FilterImagePtr CIImage(const ui::ImagePtr& image)
{
    return image ? graphics::FilterImage::imageWithCGImage(image->bitmap()) : nullptr;
}

ui::ImagePtr imageWithCIImage(const graphics::FilterImagePtr& image)
{
    if (!image)
        return nullptr;
    auto bitmap = graphics::FilterContext::create()->createCGImage(image, image->extent());
    return bitmap ? ui::Image::imageWithBitmap(bitmap, image->extent().size) : nullptr;
}

graphics::FilterImagePtr mvr_imageByApplyingRotation(const graphics::FilterImagePtr& image, double angle,
                                                     const graphics::Rect& cropRect)
{
    if (!image)
        return nullptr;
    const double halfWidth = image->extent().width() / 2, halfHeight = image->extent().height() / 2;
    const auto turn = graphics::AffineTransform::makeTranslation(-halfWidth, -halfHeight)
                          .concatenating(graphics::AffineTransform::makeRotation(angle))
                          .concatenating(graphics::AffineTransform::makeTranslation(halfWidth, halfHeight));
    return image->imageByApplyingTransform(turn)->imageByCroppingToRect(cropRect);
}
