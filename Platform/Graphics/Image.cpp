#include "Platform/Graphics/Image.h"

#include "Platform/Graphics/PixelCopy.h"

namespace graphics {

PixelFormat pixelFormatFor(const ColorSpace& space, size_t bitsPerComponent, size_t bitsPerPixel, BitmapInfo info)
{
    if (bitsPerComponent != 8)
        return PixelFormat::unsupported;
    const bool little = info.byteOrder == ByteOrder::order32Little;
    const bool big = info.byteOrder == ByteOrder::orderDefault || info.byteOrder == ByteOrder::order32Big;
    switch (space.model()) {
    case ColorSpaceModel::monochrome:
        return bitsPerPixel == 8 && info.alpha == AlphaInfo::none ? PixelFormat::gray8 : PixelFormat::unsupported;
    case ColorSpaceModel::cmyk:
        return bitsPerPixel == 32 && info.alpha == AlphaInfo::none && !little ? PixelFormat::cmyk8
                                                                               : PixelFormat::unsupported;
    case ColorSpaceModel::rgb:
        if (bitsPerPixel != 32 || (!little && !big))
            return PixelFormat::unsupported;
        switch (info.alpha) {
        case AlphaInfo::first:
        case AlphaInfo::premultipliedFirst:
        case AlphaInfo::noneSkipFirst:
            return little ? PixelFormat::bgra8 : PixelFormat::argb8;
        case AlphaInfo::last:
        case AlphaInfo::premultipliedLast:
        case AlphaInfo::noneSkipLast:
            return little ? PixelFormat::abgr8 : PixelFormat::rgba8;
        default:
            return PixelFormat::unsupported;
        }
    default:
        return PixelFormat::unsupported;
    }
}

Image::Image(size_t width, size_t height, size_t bitsPerComponent, size_t bitsPerPixel, size_t bytesPerRow,
             ColorSpacePtr space, BitmapInfo info, PixelFormat format, const uint8_t* data, size_t size,
             std::shared_ptr<const void> owner)
    : m_width(width), m_height(height), m_bitsPerComponent(bitsPerComponent), m_bitsPerPixel(bitsPerPixel),
      m_bytesPerRow(bytesPerRow), m_space(std::move(space)), m_info(info), m_format(format), m_data(data),
      m_size(size), m_owner(std::move(owner))
{
}

ImagePtr Image::createWithData(size_t width, size_t height, size_t bitsPerComponent, size_t bitsPerPixel,
                               size_t bytesPerRow, ColorSpacePtr space, BitmapInfo info, const uint8_t* data,
                               size_t size, std::shared_ptr<const void> owner)
{
    if (!space || !data || width == 0 || height == 0)
        return nullptr;
    const PixelFormat format = pixelFormatFor(*space, bitsPerComponent, bitsPerPixel, info);
    if (format == PixelFormat::unsupported)
        return nullptr;
    const size_t rowBytes = width * detail::bytesPerPixel(format);
    if (bytesPerRow < rowBytes || rowBytes / detail::bytesPerPixel(format) != width)
        return nullptr;
    // The last row needs only its pixels; the padding after it may be absent.
    if (height - 1 > (SIZE_MAX - rowBytes) / bytesPerRow || size < bytesPerRow * (height - 1) + rowBytes)
        return nullptr;
    return std::make_shared<const Image>(width, height, bitsPerComponent, bitsPerPixel, bytesPerRow, std::move(space),
                                         info, format, data, size, std::move(owner));
}

ImagePtr Image::create(size_t width, size_t height, size_t bitsPerComponent, size_t bitsPerPixel, size_t bytesPerRow,
                       ColorSpacePtr space, BitmapInfo info, std::vector<uint8_t> bytes)
{
    auto owner = std::make_shared<std::vector<uint8_t>>(std::move(bytes));
    const uint8_t* data = owner->data();
    const size_t size = owner->size();
    return createWithData(width, height, bitsPerComponent, bitsPerPixel, bytesPerRow, std::move(space), info, data,
                          size, std::move(owner));
}

bool Image::copyPixels(uint8_t* dst, size_t dstBytesPerRow, PixelFormat format, bool premultiplied) const
{
    detail::PixelLayout src{m_format, m_info.alpha, m_space.get()};
    detail::PixelLayout out{format, premultiplied ? AlphaInfo::premultipliedLast : AlphaInfo::last, nullptr};
    if (format == PixelFormat::gray8)
        out.alpha = AlphaInfo::none;
    else if (format == PixelFormat::cmyk8 || format == PixelFormat::unsupported)
        return false;
    if (dstBytesPerRow < m_width * detail::bytesPerPixel(format))
        return false;
    return detail::convertPixels(m_data, m_bytesPerRow, src, m_width, m_height, dst, dstBytesPerRow, out);
}

Image::RGBA8 Image::pixelAt(size_t x, size_t y) const
{
    RGBA8 px;
    if (x >= m_width || y >= m_height)
        return px;
    const size_t bpp = detail::bytesPerPixel(m_format);
    detail::PixelLayout src{m_format, m_info.alpha, m_space.get()};
    detail::PixelLayout out{PixelFormat::rgba8, AlphaInfo::last, nullptr};
    uint8_t rgba[4] = {};
    detail::convertPixels(m_data + y * m_bytesPerRow + x * bpp, m_bytesPerRow, src, 1, 1, rgba, 4, out);
    px = {rgba[0], rgba[1], rgba[2], rgba[3]};
    return px;
}

} // namespace graphics
