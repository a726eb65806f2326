#pragma once
// A lazy image of the image-filter engine: a recipe (a bitmap, a colour, a transform, a crop, a
// composite, a colour kernel over other images) with an extent, rendered only when a
// FilterContext asks for pixels. Images are immutable and shared; any thread.
//
// Geometry is y-up, in pixels; pixel (x, y) covers [x, x + 1] x [y, y + 1]. Pixels are four
// floats, premultiplied, in the working space: linear sRGB. Outside its extent an image is
// transparent.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "Platform/Graphics/Color.h"
#include "Platform/Graphics/ColorSpace.h"
#include "Platform/Graphics/Geometry.h"
#include "Platform/Graphics/Image.h"

namespace graphics {

// A short list of numbers: a point, a curve point, a row of a colour matrix.
class FilterVector {
public:
    FilterVector() = default;
    FilterVector(std::initializer_list<double> values) : m_values(values) { }
    explicit FilterVector(std::vector<double> values) : m_values(std::move(values)) { }
    static FilterVector make(double x, double y) { return FilterVector{x, y}; }
    static FilterVector make(double x, double y, double z, double w) { return FilterVector{x, y, z, w}; }

    size_t count() const { return m_values.size(); }
    // 0 past the end, as the platform's vectors answer.
    double valueAtIndex(size_t index) const { return index < m_values.size() ? m_values[index] : 0.0; }
    double x() const { return valueAtIndex(0); }
    double y() const { return valueAtIndex(1); }
    double z() const { return valueAtIndex(2); }
    double w() const { return valueAtIndex(3); }
    const std::vector<double>& values() const { return m_values; }
    bool operator==(const FilterVector& other) const = default;

private:
    std::vector<double> m_values;
};

// A whole-pixel rectangle of the y-up grid.
struct PixelRect {
    int64_t x = 0;
    int64_t y = 0;
    int64_t width = 0;
    int64_t height = 0;
    bool isEmpty() const { return width <= 0 || height <= 0; }
    PixelRect intersection(const PixelRect& other) const;
    // The pixels whose centres lie in `rect` (clamped to a sane range for infinite ones).
    static PixelRect covering(const Rect& rect);
    // The pixels touched by `rect` at all.
    static PixelRect enclosing(const Rect& rect);
};

// A block of working-space pixels: row r is y = region.y + r, four floats a pixel.
struct PixelTile {
    PixelRect region;
    float* data = nullptr;
    size_t stride = 0; // floats per row
    float* row(int64_t r) const { return data + size_t(r) * stride; }
};

// 8-bit pixels an image keeps in memory, for kernels that read them directly: row y of the
// picture (y up) starts at base + (height - 1 - y) * bytesPerRow, four bytes a pixel.
struct BitmapPixels {
    const uint8_t* base = nullptr;
    size_t bytesPerRow = 0;
    int64_t width = 0;
    int64_t height = 0;
    int r = 0, g = 1, b = 2, a = 3; // byte offsets; a < 0: opaque
    bool premultiplied = false;
};

// Where a render writes 8-bit sRGB pixels: pixel (x, y) of `bounds` (y up) at
// base + (bounds.y + bounds.height - 1 - y) * bytesPerRow + (x - bounds.x) * 4.
struct ByteTarget {
    uint8_t* base = nullptr;
    size_t bytesPerRow = 0;
    PixelRect bounds;
    int offsets[4] = {0, 1, 2, 3}; // red, green, blue, alpha
    bool premultiplied = true;
    uint8_t* pixel(int64_t x, int64_t y) const
    {
        return base + size_t(bounds.y + bounds.height - 1 - y) * bytesPerRow + size_t(x - bounds.x) * 4;
    }
};

class FilterImage;
using FilterImagePtr = std::shared_ptr<const FilterImage>;

// One row of a colour kernel's work: `count` pixels starting at (x, y) (pixel corners), one
// input row per input image, all premultiplied working-space RGBA.
struct KernelRow {
    const float* const* inputs = nullptr;
    float* output = nullptr;
    int64_t count = 0;
    int64_t x = 0;
    int64_t y = 0;
};
using KernelFunction = std::function<void(const KernelRow&)>;

class FilterImage : public std::enable_shared_from_this<FilterImage> {
public:
    virtual ~FilterImage() = default;

    // The bitmap's pixels brought into the working space (RGB spaces are read as sRGB; grey
    // and CMYK through their profiles); extent (0, 0, width, height). None for no bitmap.
    static FilterImagePtr imageWithCGImage(const ImagePtr& image);
    // An endless plane of one colour (its sRGB components); infinite extent.
    static FilterImagePtr imageWithColor(const Color& color);
    // Nothing at all: null extent.
    static FilterImagePtr emptyImage();
    // Working-space pixels given directly (rows bottom up, premultiplied linear RGBA).
    static FilterImagePtr imageWithPixels(int64_t width, int64_t height, std::vector<float> rgba);
    // A colour kernel over `inputs`, defined on `extent`.
    static FilterImagePtr imageWithKernel(const Rect& extent, std::vector<FilterImagePtr> inputs, KernelFunction kernel);

    const Rect& extent() const { return m_extent; }

    // Resampled bilinearly; whole-pixel translations move pixels exactly.
    FilterImagePtr imageByApplyingTransform(const AffineTransform& transform) const;
    FilterImagePtr imageByCroppingToRect(const Rect& rect) const;
    // This image over `background` (source-over, premultiplied).
    FilterImagePtr imageByCompositingOverImage(const FilterImagePtr& background) const;
    // From the linear-sRGB working space into `space`'s encoding and back. RGB spaces differ
    // only in their transfer curve here: linear sRGB passes unchanged, every other space
    // takes the sRGB curve.
    FilterImagePtr imageByColorMatchingWorkingSpaceToColorSpace(const ColorSpacePtr& space) const;
    FilterImagePtr imageByColorMatchingColorSpaceToWorkingSpace(const ColorSpacePtr& space) const;

    // Fills `tile` (every pixel of its region; transparent outside the extent). Thread-safe.
    virtual void render(const PixelTile& tile) const = 0;
    // Writes `region` (inside the target's bounds) straight into 8-bit pixels; false when this
    // image cannot, and the caller renders floats and encodes them. Thread-safe.
    virtual bool renderBytes(const PixelRect& region, const ByteTarget& target) const
    {
        (void)region, (void)target;
        return false;
    }
    // The bitmap behind the image, when its pixels are exactly that bitmap's bytes.
    virtual const BitmapPixels* bitmapPixels() const { return nullptr; }

protected:
    explicit FilterImage(Rect extent) : m_extent(extent) { }

private:
    Rect m_extent;
};

// sRGB transfer curve, for kernels that work on encoded values.
float srgbToLinear(float encoded);
float linearToSRGB(float linear);

} // namespace graphics
