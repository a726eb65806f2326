#pragma once
// A decoded bitmap: size, pixel layout and colour space over immutable pixel memory. Made by
// the image decoders and by BitmapContext::createImage(). Immutable and shared; any thread.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "Platform/Graphics/ColorSpace.h"

namespace graphics {

// Where alpha sits in a pixel and whether the colour components are premultiplied by it.
enum class AlphaInfo { none, premultipliedLast, premultipliedFirst, last, first, noneSkipLast, noneSkipFirst, only };
// The order of a pixel's bytes: default and 32Big read components in memory order;
// 32Little reverses the four bytes (so premultipliedFirst + 32Little is B,G,R,A in memory,
// cairo's ARGB32 on this machine).
enum class ByteOrder { orderDefault, order16Little, order32Little, order16Big, order32Big };

struct BitmapInfo {
    AlphaInfo alpha = AlphaInfo::none;
    ByteOrder byteOrder = ByteOrder::orderDefault;
    bool operator==(const BitmapInfo&) const = default;
};

// The in-memory order of one pixel's bytes, for code that touches pixels directly.
enum class PixelFormat {
    unsupported,
    gray8, // one byte, grey (or any one-component space)
    cmyk8, // C, M, Y, K
    argb8, // A (or skip), R, G, B
    bgra8, // B, G, R, A (or skip)
    rgba8, // R, G, B, A (or skip)
    abgr8, // A (or skip), B, G, R
};

// Decoded images hold 8 bits per component: grey (1 byte), RGB with alpha or a skipped byte
// (4 bytes, any alpha position and byte order) and CMYK (4 bytes).
PixelFormat pixelFormatFor(const ColorSpace& space, size_t bitsPerComponent, size_t bitsPerPixel, BitmapInfo info);
inline bool alphaIsPremultiplied(AlphaInfo a) { return a == AlphaInfo::premultipliedFirst || a == AlphaInfo::premultipliedLast; }
inline bool hasAlphaChannel(AlphaInfo a)
{
    return a == AlphaInfo::premultipliedFirst || a == AlphaInfo::premultipliedLast || a == AlphaInfo::first
        || a == AlphaInfo::last || a == AlphaInfo::only;
}

class Image;
using ImagePtr = std::shared_ptr<const Image>;

class Image {
public:
    // nullptr when the layout is not one listed above or `bytes` is too small for it.
    static ImagePtr create(size_t width, size_t height, size_t bitsPerComponent, size_t bitsPerPixel,
                           size_t bytesPerRow, ColorSpacePtr space, BitmapInfo info, std::vector<uint8_t> bytes);
    // Over memory that `owner` keeps alive (a decoder's buffer, say); no copy is made.
    static ImagePtr createWithData(size_t width, size_t height, size_t bitsPerComponent, size_t bitsPerPixel,
                                   size_t bytesPerRow, ColorSpacePtr space, BitmapInfo info, const uint8_t* data,
                                   size_t size, std::shared_ptr<const void> owner);

    size_t width() const { return m_width; }
    size_t height() const { return m_height; }
    size_t bitsPerComponent() const { return m_bitsPerComponent; }
    size_t bitsPerPixel() const { return m_bitsPerPixel; }
    size_t bytesPerRow() const { return m_bytesPerRow; }
    BitmapInfo bitmapInfo() const { return m_info; }
    AlphaInfo alphaInfo() const { return m_info.alpha; }
    ByteOrder byteOrder() const { return m_info.byteOrder; }
    PixelFormat pixelFormat() const { return m_format; }
    const ColorSpacePtr& colorSpace() const { return m_space; }
    const uint8_t* data() const { return m_data; }
    size_t dataSize() const { return m_size; }
    bool isOpaque() const { return !hasAlphaChannel(m_info.alpha); }

    // Writes the pixels as 8-bit RGB in a 4-byte layout (`format` one of argb8, bgra8, rgba8,
    // abgr8; `premultiplied` chooses the alpha form) or grey (gray8). Grey, CMYK and Lab
    // pixels convert to sRGB; RGB pixels are copied exactly. False for an unsupported target.
    bool copyPixels(uint8_t* dst, size_t dstBytesPerRow, PixelFormat format, bool premultiplied) const;

    // The pixel at (x, y), row 0 at the top, as 8-bit non-premultiplied sRGB-ish R, G, B, A
    // (through copyPixels); for tests and sampling.
    struct RGBA8 { uint8_t r = 0, g = 0, b = 0, a = 0; bool operator==(const RGBA8&) const = default; };
    RGBA8 pixelAt(size_t x, size_t y) const;

    Image(size_t width, size_t height, size_t bitsPerComponent, size_t bitsPerPixel, size_t bytesPerRow,
          ColorSpacePtr space, BitmapInfo info, PixelFormat format, const uint8_t* data, size_t size,
          std::shared_ptr<const void> owner);

private:
    size_t m_width = 0;
    size_t m_height = 0;
    size_t m_bitsPerComponent = 8;
    size_t m_bitsPerPixel = 32;
    size_t m_bytesPerRow = 0;
    ColorSpacePtr m_space;
    BitmapInfo m_info;
    PixelFormat m_format = PixelFormat::unsupported;
    const uint8_t* m_data = nullptr;
    size_t m_size = 0;
    std::shared_ptr<const void> m_owner;
};

} // namespace graphics
