#include "MovaraAppKit/Controls/Image+Movara.h"

#include <cmath>

#include "Platform/Foundation/Bundle.h"
#include "Platform/Images/ImageDestination.h"
#include "Platform/Images/UTType.h"
#include "Platform/UI/GraphicsContext.h"
#include "Platform/UI/Thumbnail.h"
#include "Platform/UI/Workspace.h"

ui::ImagePtr mvr_imageForResource(const std::shared_ptr<foundation::Bundle>& bundle, const std::string& name)
{
    if (!bundle || name.empty())
        return nullptr;
    for (const char* ext : {"png", "jpg", "tiff", "gif"}) {
        if (auto path = bundle->pathForResource(name + "@2x", ext)) {
            if (auto image = ui::Image::imageWithContentsOfFile(*path)) {
                image->setSize({image->size().width / 2, image->size().height / 2});
                return image;
            }
        }
        if (auto path = bundle->pathForResource(name, ext)) {
            if (auto image = ui::Image::imageWithContentsOfFile(*path))
                return image;
        }
    }
    return nullptr;
}

ui::ImagePtr mvr_imageTinted(const ui::Image& image, const ui::Color& color)
{
    const graphics::Size size = image.size();
    const double scale = image.bitmap() && size.width > 0 ? double(image.bitmap()->width()) / size.width : 1.0;
    return ui::Image::imageWithSize(size, false, [&](ui::GraphicsContext& context, const graphics::Rect& rect) {
        context.drawImage(image, rect);
        // Only where the picture is opaque: a transparent margin stays transparent.
        context.setCompositingOperation(ui::CompositingOperation::sourceAtop);
        context.setFillColor(color);
        context.fillRect(graphics::Rect{{0, 0}, size});
        context.setCompositingOperation(ui::CompositingOperation::sourceOver);
    }, scale > 0 ? scale : 1.0);
}

graphics::ImagePtr mvr_bitmapImageRep(const ui::Image& image)
{
    const graphics::Size size = image.size();
    if (!std::isfinite(size.width) || !std::isfinite(size.height) || size.width < 1 || size.height < 1)
        return nullptr;
    const double w = std::trunc(size.width);
    const double h = std::trunc(size.height);
    auto context = ui::GraphicsContext::bitmapContext({w, h}, 1.0);
    if (!context)
        return nullptr;
    context->setCompositingOperation(ui::CompositingOperation::copy);
    context->drawImage(image, graphics::Rect::make(0, 0, size.width, size.height));
    return context->createImage();
}

namespace {

std::optional<std::vector<uint8_t>> encode(const ui::Image& image, const std::string& type)
{
    auto bitmap = mvr_bitmapImageRep(image);
    if (!bitmap)
        return std::nullopt;
    std::vector<uint8_t> out;
    auto destination = images::ImageDestination::createWithData(&out, type, 1);
    if (!destination)
        return std::nullopt;
    destination->addImage(bitmap);
    if (!destination->finalize() || out.empty())
        return std::nullopt;
    return out;
}

} // namespace

std::optional<std::vector<uint8_t>> mvr_PNGRepresentation(const ui::Image& image)
{
    return encode(image, images::kUTTypePNG);
}

std::optional<std::vector<uint8_t>> mvr_JPEGRepresentation(const ui::Image& image)
{
    return encode(image, images::kUTTypeJPEG);
}

ui::ImagePtr mvr_previewImageOfFileAtURL(const foundation::URL& url, graphics::Size size, bool asIcon, double scaleFactor)
{
    if (!url.isFileURL())
        return nullptr;
    ui::ImagePtr icon = ui::Workspace::shared().iconForFile(url.path());
    if (auto thumbnail = ui::quickLookThumbnailImage(url.path(), {size.width * scaleFactor, size.height * scaleFactor}, asIcon))
        return ui::Image::imageWithBitmap(thumbnail->bitmap());
    if (auto own = ui::thumbnailResourceOfURL(url))
        return own;
    return icon;
}
