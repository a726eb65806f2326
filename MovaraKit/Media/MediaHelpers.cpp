#include "MovaraKit/Media/MediaHelpers.h"

#include "MovaraKit/Media/MovieFormat.h"

#include "Platform/Foundation/Bundle.h"
#include "Platform/Graphics/BitmapContext.h"
#include "Platform/Graphics/ColorSpace.h"
#include "Platform/Media/VideoSettings.h"

#include <cmath>

std::optional<std::string> MVRStringFromVideoCodec(long code)
{
    if (const auto* format = MovieFormatForCode(code))
        return format->codec;
    return std::nullopt;
}

long MVRVideoCodecFromString(const std::optional<std::string>& identifier)
{
    const auto* format = identifier ? MovieFormatForCodec(*identifier) : nullptr;
    return format ? format->code : MVRVideoCodecUnknown;
}

std::string MVRLocalizedAppName()
{
    auto bundle = foundation::Bundle::main();
    if (bundle) {
        for (const char* key : {"CFBundleDisplayName", "CFBundleName"}) {
            const foundation::Value& v = bundle->objectForInfoDictionaryKey(key);
            if (v.isString())
                return v.asString();
        }
    }
    return "Stillara";
}

float normalizedValueInRange(float value, float min, float max)
{
    return (value - min) / (max - min);
}

float valueFromNormalizedValueInRange(float normalizedValue, float min, float max)
{
    return normalizedValue * (max - min) + min;
}

graphics::ImagePtr MVRImageByApplyingTransform(const graphics::ImagePtr& image, const graphics::AffineTransform& t)
{
    if (!image)
        return nullptr;
    if (t.isIdentity())
        return image;
    const double w = double(image->width()), h = double(image->height());
    // The bounding box of the transformed image. Taking |a·w + c·h| instead would make a
    // 45° turn of a square vanish and cut the corners off any other oblique turn.
    const double newWidth = std::round(std::fabs(t.a) * w + std::fabs(t.c) * h);
    const double newHeight = std::round(std::fabs(t.b) * w + std::fabs(t.d) * h);
    if (!(newWidth >= 1 && newHeight >= 1) || newWidth > 1e6 || newHeight > 1e6)
        return nullptr;
    const auto width = static_cast<size_t>(newWidth), height = static_cast<size_t>(newHeight);
    auto context = graphics::BitmapContext::create(
        nullptr, width, height, 8, width * 4, graphics::ColorSpace::createDeviceRGB(),
        {graphics::AlphaInfo::premultipliedFirst, graphics::ByteOrder::order32Little});
    if (!context)
        return nullptr;
    context->concatCTM(t);
    context->drawImage(image, context->getClipBoundingBox());
    return context->createImage();
}
