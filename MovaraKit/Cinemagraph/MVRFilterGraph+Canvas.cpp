// The filter graph's canvas step: text and image objects drawn over the frame in the blend
// colour space.
#include "MovaraKit/Cinemagraph/MVRFilterGraph.h"

#include "MovaraKit/Canvas/CanvasObject.h"
#include "MovaraKit/Canvas/TextCanvasObject.h"
#include "MovaraKit/Cinemagraph/FilterImage+Movara.h"

graphics::FilterImagePtr MVRFilterGraph::imageByCompositingCanvasObjects(const std::vector<CanvasObjectPtr>& objects,
                                                                         const graphics::FilterImagePtr& image)
{
    if (objects.empty() || !image)
        return image;
    using graphics::AffineTransform;
    const graphics::Rect extent = image->extent();
    graphics::FilterImagePtr b = image->imageByApplyingTransform(m_canvasTransform.inverted());
    const AffineTransform zero = AffineTransform::makeTranslation(-b->extent().minX(), -b->extent().minY());
    b = b->imageByApplyingTransform(zero)->imageByColorMatchingWorkingSpaceToColorSpace(m_canvasObjectBlendColorSpace);

    for (const auto& object : objects) {
        if (!object || object->hidden())
            continue;
        const graphics::Rect rect = object->rect();
        AffineTransform placement = AffineTransform::identity();
        if (!dynamic_cast<const TextCanvasObject*>(object.get())) {
            const graphics::Size natural = object->naturalSize();
            if (natural.width > 0 && natural.height > 0)
                placement = AffineTransform::makeScale(object->size().width / natural.width,
                                                       object->size().height / natural.height);
        }
        const AffineTransform centre = AffineTransform::makeTranslation(-rect.width() / 2, -rect.height() / 2);
        placement = placement.concatenating(centre)
                        .concatenating(AffineTransform::makeRotation(object->angle()))
                        .concatenating(centre.inverted())
                        .concatenating(AffineTransform::makeTranslation(rect.minX(), rect.minY()));

        graphics::FilterImagePtr picture = graphics::FilterImage::imageWithCGImage(object->makeImage());
        if (!picture)
            continue;
        if (object->applyAdjustments())
            picture = imageByApplyingAdjustmentFiltersToImage(picture);
        picture = mvr_imageWithAlpha(picture, object->opacity())
                      ->imageByColorMatchingWorkingSpaceToColorSpace(m_canvasObjectBlendColorSpace)
                      ->imageByApplyingTransform(object->transform());
        picture = imageByZeroingOriginOfImage(picture)->imageByApplyingTransform(placement);
        b = picture->imageByCompositingOverImage(b);
    }
    return b->imageByApplyingTransform(zero.inverted())
        ->imageByApplyingTransform(m_canvasTransform)
        ->imageByColorMatchingColorSpaceToWorkingSpace(m_canvasObjectBlendColorSpace)
        ->imageByCroppingToRect(extent);
}
