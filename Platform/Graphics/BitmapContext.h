#pragma once
// A drawing context over a bitmap (cairo underneath), with the platform's conventions: origin
// at the bottom left, y upwards, a current transform (CTM) and a stack of graphics states.
// Layouts cairo draws natively (B,G,R,A premultiplied or B,G,R,skip) are drawn in place;
// other layouts (X,R,G,B for pixel buffers, grey, R,G,B,A ...) are drawn in a private cairo
// surface and written back into the bitmap after each drawing call. One thread at a time.

#include <cstddef>
#include <cstdint>
#include <memory>

#include "Platform/Graphics/Color.h"
#include "Platform/Graphics/Geometry.h"
#include "Platform/Graphics/Image.h"

namespace graphics {

enum class InterpolationQuality { defaultQuality, none, low, medium, high };

class BitmapContext;
using BitmapContextPtr = std::shared_ptr<BitmapContext>;

class BitmapContext {
public:
    // Over `data` (caller's memory, which must outlive the context) or, when data is null,
    // over zeroed memory of its own (bytesPerRow 0 then picks the natural row length).
    // 8 bits per component; RGB layouts of 4 bytes, or grey without alpha. nullptr when the
    // layout is unsupported, the size is zero or bytesPerRow is too small.
    static BitmapContextPtr create(void* data, size_t width, size_t height, size_t bitsPerComponent,
                                   size_t bytesPerRow, const ColorSpacePtr& space, BitmapInfo info);
    ~BitmapContext();
    BitmapContext(const BitmapContext&) = delete;
    BitmapContext& operator=(const BitmapContext&) = delete;

    size_t width() const { return m_width; }
    size_t height() const { return m_height; }
    size_t bitsPerComponent() const { return 8; }
    size_t bitsPerPixel() const { return m_bitsPerPixel; }
    size_t bytesPerRow() const { return m_bytesPerRow; }
    BitmapInfo bitmapInfo() const { return m_info; }
    const ColorSpacePtr& colorSpace() const { return m_space; }
    // The bitmap's memory (the caller's, or the context's own).
    uint8_t* data() const { return m_data; }

    // Current transform, in the platform's user space (identity at creation).
    AffineTransform getCTM() const;
    void translateCTM(double tx, double ty);
    void scaleCTM(double sx, double sy);
    void rotateCTM(double radians);
    void concatCTM(const AffineTransform& transform);

    void saveGState();
    void restoreGState();

    void setFillColor(const Color& color);
    void setInterpolationQuality(InterpolationQuality quality);
    InterpolationQuality interpolationQuality() const;
    void setShouldAntialias(bool antialias);

    void fillRect(const Rect& rect);
    // Makes the rectangle transparent (zero), ignoring the fill colour.
    void clearRect(const Rect& rect);
    void clipToRect(const Rect& rect);
    // The clip's bounding box in user space (the whole bitmap, mapped back through the CTM,
    // when nothing clips).
    Rect getClipBoundingBox() const;
    // Draws the image upright into `rect` (user space) through the current transform, scaled
    // with the current interpolation quality. Grey and CMYK images convert to RGB.
    void drawImage(const ImagePtr& image, const Rect& rect);

    // A copy of the bitmap as it is now, in the context's layout and colour space.
    ImagePtr createImage() const;
    // Writes pending drawing into the bitmap (every drawing call already does).
    void flush() const;

    struct Private;

private:
    friend struct BitmapContextOps;
    BitmapContext() = default;

    size_t m_width = 0;
    size_t m_height = 0;
    size_t m_bitsPerPixel = 32;
    size_t m_bytesPerRow = 0;
    BitmapInfo m_info;
    PixelFormat m_format = PixelFormat::unsupported;
    ColorSpacePtr m_space;
    uint8_t* m_data = nullptr;
    std::unique_ptr<Private> m_private;
};

} // namespace graphics
