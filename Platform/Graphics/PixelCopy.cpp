#include "Platform/Graphics/PixelCopy.h"

#include <cstring>
#include <vector>

namespace graphics::detail {

namespace {

using Offsets = ByteOffsets;

bool offsetsOf(PixelFormat f, Offsets& o)
{
    return byteOffsetsOf(f, o);
}

inline uint8_t mul255(unsigned v, unsigned a) { return static_cast<uint8_t>((v * a + 127) / 255); }
inline uint8_t div255(unsigned v, unsigned a)
{
    if (a == 0)
        return 0;
    const unsigned r = (v * 255 + a / 2) / a;
    return static_cast<uint8_t>(r > 255 ? 255 : r);
}

enum class AlphaKind { opaque, straight, premultiplied };

AlphaKind kindOf(AlphaInfo a)
{
    if (alphaIsPremultiplied(a))
        return AlphaKind::premultiplied;
    if (a == AlphaInfo::first || a == AlphaInfo::last)
        return AlphaKind::straight;
    return AlphaKind::opaque;
}

// Writes one pixel given colour components in the source's alpha form.
inline void store(uint8_t* d, const Offsets& o, uint8_t r, uint8_t g, uint8_t b, uint8_t a, AlphaKind from,
                  AlphaKind to)
{
    if (to == AlphaKind::opaque) {
        // Dropping alpha leaves the colour as it would look over black.
        if (from == AlphaKind::straight && a != 255) {
            r = mul255(r, a);
            g = mul255(g, a);
            b = mul255(b, a);
        }
        a = 255;
    } else if (from == AlphaKind::straight && to == AlphaKind::premultiplied && a != 255) {
        r = mul255(r, a);
        g = mul255(g, a);
        b = mul255(b, a);
    } else if (from == AlphaKind::premultiplied && to == AlphaKind::straight && a != 255) {
        r = div255(r, a);
        g = div255(g, a);
        b = div255(b, a);
    }
    d[o.r] = r;
    d[o.g] = g;
    d[o.b] = b;
    d[o.a] = a;
}

} // namespace

bool byteOffsetsOf(PixelFormat f, ByteOffsets& o)
{
    switch (f) {
    case PixelFormat::argb8: o = {1, 2, 3, 0}; return true;
    case PixelFormat::bgra8: o = {2, 1, 0, 3}; return true;
    case PixelFormat::rgba8: o = {0, 1, 2, 3}; return true;
    case PixelFormat::abgr8: o = {3, 2, 1, 0}; return true;
    default: return false;
    }
}

size_t bytesPerPixel(PixelFormat format)
{
    switch (format) {
    case PixelFormat::gray8: return 1;
    case PixelFormat::unsupported: return 0;
    default: return 4;
    }
}

bool convertPixels(const uint8_t* src, size_t srcStride, const PixelLayout& s, size_t w, size_t h, uint8_t* dst,
                   size_t dstStride, const PixelLayout& d)
{
    const bool dstGray = d.format == PixelFormat::gray8;
    Offsets dOff{};
    if (!dstGray && !offsetsOf(d.format, dOff))
        return false;
    const AlphaKind toKind = dstGray ? AlphaKind::opaque : kindOf(d.alpha);

    Offsets sOff{};
    if (offsetsOf(s.format, sOff)) {
        const AlphaKind fromKind = kindOf(s.alpha);
        // Same layout and alpha form: a straight copy of each row.
        if (s.format == d.format && fromKind == toKind && (fromKind != AlphaKind::opaque || s.alpha == d.alpha)) {
            for (size_t y = 0; y < h; ++y)
                std::memcpy(dst + y * dstStride, src + y * srcStride, w * 4);
            return true;
        }
        for (size_t y = 0; y < h; ++y) {
            const uint8_t* sp = src + y * srcStride;
            uint8_t* dp = dst + y * dstStride;
            for (size_t x = 0; x < w; ++x, sp += 4) {
                const uint8_t a = fromKind == AlphaKind::opaque ? 255 : sp[sOff.a];
                if (dstGray) {
                    uint8_t r = sp[sOff.r], g = sp[sOff.g], b = sp[sOff.b];
                    if (fromKind == AlphaKind::straight && a != 255) {
                        r = mul255(r, a);
                        g = mul255(g, a);
                        b = mul255(b, a);
                    }
                    dp[x] = static_cast<uint8_t>((r * 77u + g * 150u + b * 29u + 128) >> 8);
                } else {
                    store(dp + 4 * x, dOff, sp[sOff.r], sp[sOff.g], sp[sOff.b], a, fromKind, toKind);
                }
            }
        }
        return true;
    }

    if (s.format != PixelFormat::gray8 && s.format != PixelFormat::cmyk8)
        return false;
    if (s.format == PixelFormat::gray8 && dstGray && (!s.space || s.space->iccData().empty())) {
        for (size_t y = 0; y < h; ++y)
            std::memcpy(dst + y * dstStride, src + y * srcStride, w);
        return true;
    }
    // Grey and CMYK go through sRGB, one row at a time.
    const ColorSpacePtr fallback = s.format == PixelFormat::gray8 ? ColorSpace::createDeviceGray()
                                                                  : ColorSpace::createDeviceCMYK();
    const ColorSpace& space = s.space ? *s.space : *fallback;
    std::vector<uint8_t> rgb(w * 3);
    for (size_t y = 0; y < h; ++y) {
        space.convertToSRGB8(src + y * srcStride, w, rgb.data());
        uint8_t* dp = dst + y * dstStride;
        for (size_t x = 0; x < w; ++x) {
            const uint8_t* p = &rgb[3 * x];
            if (dstGray)
                dp[x] = static_cast<uint8_t>((p[0] * 77u + p[1] * 150u + p[2] * 29u + 128) >> 8);
            else
                store(dp + 4 * x, dOff, p[0], p[1], p[2], 255, AlphaKind::opaque, toKind);
        }
    }
    return true;
}

} // namespace graphics::detail
