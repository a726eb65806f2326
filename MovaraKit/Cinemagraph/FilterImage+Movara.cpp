#include "MovaraKit/Cinemagraph/FilterImage+Movara.h"

#include <algorithm>
#include <cmath>

graphics::FilterImagePtr mvr_imageWithAlpha(const graphics::FilterImagePtr& image, double alpha)
{
    if (!image)
        return nullptr;
    alpha = std::min(std::max(alpha, 0.0), 1.0);
    auto matrix = graphics::Filter::filterWithName("CIColorMatrix");
    matrix->setDefaults();
    matrix->setValue(graphics::FilterVector::make(0, 0, 0, alpha), "inputAVector");
    matrix->setValue(image, graphics::kCIInputImageKey);
    return matrix->outputImage();
}

graphics::FilterImagePtr mvr_imageWithSize(const graphics::FilterImagePtr& image, graphics::Size size)
{
    if (!image)
        return nullptr;
    const graphics::Rect e = image->extent();
    auto scaled = image->imageByApplyingTransform(
        graphics::AffineTransform::makeScale(size.width / e.width(), size.height / e.height()));
    const graphics::Rect s = scaled->extent();
    return scaled->imageByApplyingTransform(graphics::AffineTransform::makeTranslation(-s.minX(), -s.minY()))
        ->imageByCroppingToRect(graphics::Rect::make(0, 0, size.width, size.height));
}

graphics::FilterImagePtr mvr_imageByCenteringInBounds(const graphics::FilterImagePtr& image, const graphics::Rect& bounds)
{
    if (!image)
        return nullptr;
    const graphics::Rect e = image->extent();
    auto atOrigin = image->imageByApplyingTransform(graphics::AffineTransform::makeTranslation(-e.minX(), -e.minY()));
    const double x = std::floor(bounds.midX() - atOrigin->extent().width() / 2);
    const double y = std::floor(bounds.midY() - atOrigin->extent().height() / 2);
    return atOrigin->imageByApplyingTransform(graphics::AffineTransform::makeTranslation(x, y));
}

void mvr_reset(graphics::Filter& filter)
{
    filter.setDefaults();
    for (const auto& key : filter.inputKeys()) {
        const auto* input = filter.attributes().input(key);
        if (input && input->identity.has_value())
            filter.setValue(input->identity, key);
    }
}
