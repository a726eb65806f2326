#include "Platform/UI/Image.h"

#include <map>
#include <mutex>

#include "Platform/Foundation/Bundle.h"
#include "Platform/Images/ImageDestination.h"
#include "Platform/Images/ImageSource.h"
#include "Platform/Images/UTType.h"
#include "Platform/UI/GraphicsContext.h"

namespace ui {

namespace {

struct NamedImages {
    std::mutex mutex;
    std::map<std::string, ImagePtr> images;
};

NamedImages& namedImages()
{
    static NamedImages n;
    return n;
}

ImagePtr fromSource(const images::ImageSourcePtr& source, foundation::ErrorPtr* error, double scale)
{
    if (!source)
        return nullptr;
    graphics::ImagePtr bitmap = source->createImageAtIndex(0, error);
    if (!bitmap)
        return nullptr;
    return std::make_shared<Image>(bitmap, graphics::Size{bitmap->width() / scale, bitmap->height() / scale});
}

ImagePtr loadResource(const std::string& name)
{
    auto bundle = foundation::Bundle::main();
    if (!bundle)
        return nullptr;
    static const char* const extensions[] = {"png", "jpg", "jpeg", "tiff", "tif", "gif", "heic"};
    for (const char* ext : extensions) {
        if (auto path = bundle->pathForResource(name + "@2x", ext)) {
            if (auto image = fromSource(images::ImageSource::createWithPath(*path), nullptr, 2.0))
                return image;
        }
        if (auto path = bundle->pathForResource(name, ext)) {
            if (auto image = fromSource(images::ImageSource::createWithPath(*path), nullptr, 1.0))
                return image;
        }
    }
    // A name that carries its own extension ("Credits.png").
    if (auto path = bundle->pathForResource(name, ""))
        return fromSource(images::ImageSource::createWithPath(*path), nullptr, 1.0);
    return nullptr;
}

} // namespace

Image::Image(graphics::ImagePtr bitmap, graphics::Size size)
    : m_bitmap(std::move(bitmap))
    , m_size(size)
{
}

ImagePtr Image::imageNamed(const std::string& name)
{
    if (name.empty())
        return nullptr;
    auto& named = namedImages();
    {
        std::lock_guard lock(named.mutex);
        auto it = named.images.find(name);
        if (it != named.images.end())
            return it->second;
    }
    ImagePtr image = loadResource(name);
    if (!image)
        return nullptr;
    image->m_name = name;
    // Template images by the platform's naming rule.
    image->m_template = name.size() >= 8 && name.compare(name.size() - 8, 8, "Template") == 0;
    std::lock_guard lock(named.mutex);
    auto [it, inserted] = named.images.emplace(name, image);
    return it->second;
}

void Image::registerImageNamed(const std::string& name, ImagePtr image)
{
    auto& named = namedImages();
    std::lock_guard lock(named.mutex);
    if (!image) {
        named.images.erase(name);
        return;
    }
    image->m_name = name;
    named.images[name] = std::move(image);
}

ImagePtr Image::imageWithContentsOfFile(const std::string& path, foundation::ErrorPtr* error)
{
    return fromSource(images::ImageSource::createWithPath(path, error), error, 1.0);
}

ImagePtr Image::imageWithData(std::vector<uint8_t> bytes)
{
    return fromSource(images::ImageSource::createWithData(std::move(bytes)), nullptr, 1.0);
}

ImagePtr Image::imageWithBitmap(graphics::ImagePtr bitmap, graphics::Size size)
{
    if (!bitmap)
        return nullptr;
    if (size.width <= 0 || size.height <= 0)
        size = graphics::Size{static_cast<double>(bitmap->width()), static_cast<double>(bitmap->height())};
    return std::make_shared<Image>(std::move(bitmap), size);
}

ImagePtr Image::imageWithSize(graphics::Size size, bool flipped,
                              const std::function<void(GraphicsContext&, const graphics::Rect&)>& handler,
                              double scale)
{
    auto ctx = GraphicsContext::bitmapContext(size, scale);
    if (!ctx)
        return nullptr;
    if (flipped) {
        ctx->translate(0, size.height);
        ctx->scale(1, -1);
    }
    if (handler)
        handler(*ctx, graphics::Rect{{0, 0}, size});
    return std::make_shared<Image>(ctx->createImage(), size);
}

ImagePtr Image::copy() const
{
    auto c = std::make_shared<Image>(m_bitmap, m_size);
    c->m_template = m_template;
    return c;
}

std::vector<uint8_t> Image::PNGRepresentation() const
{
    std::vector<uint8_t> out;
    if (!m_bitmap)
        return out;
    auto destination = images::ImageDestination::createWithData(&out, images::kUTTypePNG, 1);
    if (!destination)
        return {};
    destination->addImage(m_bitmap);
    if (!destination->finalize())
        return {};
    return out;
}

} // namespace ui
