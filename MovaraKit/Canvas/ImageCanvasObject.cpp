#include "MovaraKit/Canvas/ImageCanvasObject.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>

#include "MovaraKit/Support/Bundle+Movara.h"
#include "Platform/Foundation/Bundle.h"
#include "Platform/Foundation/FileManager.h"
#include "Platform/Foundation/UUID.h"
#include "Platform/Graphics/BitmapContext.h"
#include "Platform/Images/ImageDestination.h"
#include "Platform/Images/ImageSource.h"
#include "Platform/Images/UTType.h"

using graphics::Point;
using graphics::Rect;

namespace {

std::string stem(const std::string& filename)
{
    return std::filesystem::path(filename).stem().string();
}

} // namespace

graphics::ImagePtr ImageCanvasObject::decode(const foundation::Data& data, foundation::ErrorPtr* error)
{
    auto source = images::ImageSource::createWithData(data);
    if (!source || source->count() == 0) {
        if (error)
            *error = foundation::Error::make(images::ImageSourceErrorDomain, images::ImageSourceUnknownType,
                                             "The picture's data is not an image that can be read.");
        return nullptr;
    }
    graphics::ImagePtr decoded = source->createImageAtIndex(0, error);
    if (!decoded)
        return nullptr;
    const auto properties = source->propertiesAtIndex(0);
    const int orientation = properties ? properties->orientation : 1;
    if (orientation < 2 || orientation > 8)
        return decoded;
    graphics::ImagePtr upright = images::imageByApplyingOrientation(decoded, orientation);
    return upright ? upright : decoded;
}

ImageCanvasObjectPtr ImageCanvasObject::initWithOriginalImageData(foundation::Data data, const std::string& filename,
                                                                  foundation::ErrorPtr* error)
{
    graphics::ImagePtr image = decode(data, error);
    if (!image)
        return nullptr;
    ImageCanvasObjectPtr object(new ImageCanvasObject());
    object->m_originalImageData = std::move(data);
    object->m_originalFilename = filename;
    object->m_image = std::move(image);
    object->setWidth(static_cast<double>(object->m_image->width()));
    object->setHeight(static_cast<double>(object->m_image->height()));
    return object;
}

ImageCanvasObjectPtr ImageCanvasObject::initWithURL(const foundation::URL& url, foundation::ErrorPtr* error)
{
    auto bytes = foundation::FileManager::defaultManager().contentsAtPath(url.path(), error);
    if (!bytes)
        return nullptr;
    return initWithOriginalImageData(std::move(*bytes), url.lastPathComponent(), error);
}

ImageCanvasObjectPtr ImageCanvasObject::initWithImage(const graphics::ImagePtr& image)
{
    if (!image)
        return nullptr;
    foundation::Data png;
    auto destination = images::ImageDestination::createWithData(&png, images::kUTTypePNG, 1);
    if (!destination)
        return nullptr;
    destination->addImage(image);
    if (!destination->finalize() || png.empty())
        return nullptr;
    ImageCanvasObjectPtr object(new ImageCanvasObject());
    object->m_originalImageData = std::move(png);
    object->m_originalFilename = foundation::UUID::random().UUIDString() + ".png";
    object->m_image = image;
    object->setWidth(static_cast<double>(image->width()));
    object->setHeight(static_cast<double>(image->height()));
    return object;
}

graphics::Size ImageCanvasObject::naturalSize() const
{
    if (!m_image)
        return {};
    return {static_cast<double>(m_image->width()), static_cast<double>(m_image->height())};
}

bool ImageCanvasObject::hitTest(const Point& point) const
{
    const Rect b = bounds();
    if (!b.contains(point))
        return false;
    if (!m_image)
        return false;
    switch (m_image->alphaInfo()) {
    case graphics::AlphaInfo::none:
    case graphics::AlphaInfo::noneSkipLast:
    case graphics::AlphaInfo::noneSkipFirst:
        return true;
    default:
        break;
    }
    const double bw = b.width();
    const double bh = b.height();
    if (!(bw >= 1) || !(bh >= 1) || !std::isfinite(bw) || !std::isfinite(bh))
        return false;
    // An alpha mask of the bounds' size; the picture is drawn scaled into it.
    const size_t w = static_cast<size_t>(bw);
    const size_t h = static_cast<size_t>(bh);
    // A hostile size must not allocate gigabytes for one test: sample the picture directly
    // through the same scaling when the mask would be large.
    auto column = static_cast<long long>(std::floor(point.x));
    auto row = static_cast<long long>(std::floor(bh - point.y));
    column = std::clamp<long long>(column, 0, static_cast<long long>(w) - 1);
    row = std::clamp<long long>(row, 0, static_cast<long long>(h) - 1);
    if (w * h > 16u * 1024 * 1024) {
        const size_t px = std::min(m_image->width() - 1, static_cast<size_t>(column * m_image->width() / w));
        const size_t py = std::min(m_image->height() - 1, static_cast<size_t>(row * m_image->height() / h));
        return m_image->pixelAt(px, py).a > 1;
    }
    // Alpha is read from an RGBA mask: our bitmap contexts draw colour layouts only.
    auto context = graphics::BitmapContext::create(nullptr, w, h, 8, 0, graphics::ColorSpace::createDeviceRGB(),
                                                   {graphics::AlphaInfo::premultipliedLast});
    if (!context)
        return false;
    context->drawImage(m_image, Rect::make(0, 0, static_cast<double>(w), static_cast<double>(h)));
    return context->data()[static_cast<size_t>(row) * context->bytesPerRow() + static_cast<size_t>(column) * 4 + 3] > 1;
}

std::string ImageCanvasObject::defaultDescription() const
{
    const std::string base = stem(m_originalFilename);
    if (foundation::UUID::fromString(base))
        return mvr_movaraKitBundle()->localizedStringForKey("Image");
    return base;
}

void ImageCanvasObject::encodeWithCoder(foundation::KeyedArchiver& coder) const
{
    CanvasObject::encodeWithCoder(coder);
    coder.encodeData(m_originalImageData, "originalImageData");
    coder.encodeString(m_originalFilename, "originalFilename");
}

void ImageCanvasObject::registerCodingClass()
{
    foundation::KeyedArchiver::registerClass(
        {"ImageCanvasObject", {"CanvasObject"}, true, 0, [](foundation::KeyedUnarchiver& coder) -> foundation::CodingPtr {
             auto data = coder.decodeData("originalImageData");
             if (!data) {
                 coder.failWithError(foundation::Error::make(foundation::NSCocoaErrorDomain, foundation::NSCoderValueNotFoundError,
                                                             "The archived picture has no image data."));
                 return nullptr;
             }
             foundation::ErrorPtr error;
             graphics::ImagePtr image = decode(*data, &error);
             if (!image) {
                 coder.failWithError(error);
                 return nullptr;
             }
             ImageCanvasObjectPtr object(new ImageCanvasObject());
             object->m_originalImageData = std::move(*data);
             object->m_originalFilename = coder.decodeString("originalFilename").value_or(std::string());
             object->m_image = std::move(image);
             object->decodeBase(coder);
             return object;
         }});
}
