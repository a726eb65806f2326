#pragma once
// Pixel-layout conversion shared by images and bitmap contexts (internal to Graphics).

#include <cstddef>
#include <cstdint>

#include "Platform/Graphics/Image.h"

namespace graphics::detail {

struct PixelLayout {
    PixelFormat format = PixelFormat::unsupported;
    AlphaInfo alpha = AlphaInfo::none;
    const ColorSpace* space = nullptr; // for grey and CMYK sources; may be null for RGB
};

// Converts a w x h block. 4-byte RGB targets get alpha in `dst.alpha`'s form (skip bytes are
// set to 255); grey targets get luminance. False when either layout is unsupported.
bool convertPixels(const uint8_t* src, size_t srcStride, const PixelLayout& srcLayout, size_t w, size_t h,
                   uint8_t* dst, size_t dstStride, const PixelLayout& dstLayout);

size_t bytesPerPixel(PixelFormat format);

// Where red, green, blue and alpha (or the skipped byte) sit in a 4-byte RGB pixel.
struct ByteOffsets {
    int r, g, b, a;
};
// False for a format that is not a 4-byte RGB layout.
bool byteOffsetsOf(PixelFormat format, ByteOffsets& offsets);

} // namespace graphics::detail
