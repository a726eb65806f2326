#pragma once
// Renders lazy filter images into memory: bitmaps, raw 8-bit RGB pixels (pixel buffers) and
// working-space floats. The image is split into tiles that the worker pool renders in
// parallel; the calling thread works too, so rendering from inside a pool job cannot starve.
// A context holds no state between renders; any thread.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "Platform/Graphics/FilterImage.h"
#include "Platform/Graphics/Image.h"

namespace graphics {

class FilterContext;
using FilterContextPtr = std::shared_ptr<FilterContext>;

class FilterContext {
public:
    static FilterContextPtr create() { return std::make_shared<FilterContext>(); }

    // The part `fromRect` of the image (rounded out to whole pixels) as an sRGB bitmap,
    // B,G,R,A premultiplied. None for no image, an empty or infinite rectangle, or one beyond
    // 16384 x 16384 pixels.
    ImagePtr createCGImage(const FilterImagePtr& image, const Rect& fromRect) const;

    // Writes the `bounds` part of the image into 8-bit sRGB pixels at `base` (top row first),
    // in `format` (argb8, bgra8, rgba8 or abgr8), premultiplied or not; values clamp to 0...1.
    // False for an unsupported format, no image or empty bounds.
    bool render(const FilterImagePtr& image, uint8_t* base, size_t bytesPerRow, const PixelRect& bounds,
                PixelFormat format, bool premultiplied) const;

    // Working-space pixels of `bounds`, bottom row first, premultiplied linear RGBA.
    std::vector<float> renderFloat(const FilterImagePtr& image, const PixelRect& bounds) const;

    // Tile size of the parallel split; for benchmarks and tests of tile seams.
    static constexpr int64_t kTileWidth = 512;
    static constexpr int64_t kTileHeight = 64;
};

} // namespace graphics
