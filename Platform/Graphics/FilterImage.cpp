#include "Platform/Graphics/FilterImage.h"
#include "Platform/Graphics/FilterTransfer.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

namespace graphics {

namespace {

// Far beyond any real picture, small enough that sizes and products stay exact in int64.
constexpr double kPixelLimit = 1 << 30;

int64_t clampCoordinate(double v)
{
    if (std::isnan(v))
        return 0;
    return int64_t(std::clamp(v, -kPixelLimit, kPixelLimit));
}

void clearTile(const PixelTile& tile)
{
    for (int64_t r = 0; r < tile.region.height; ++r)
        std::memset(tile.row(r), 0, size_t(tile.region.width) * 4 * sizeof(float));
}

// Intermediate tiles come from a small per-thread pool: a render walks the same chain of
// images for every tile, so the buffers of one tile serve the next without fresh pages.
std::vector<std::vector<float>>& scratchPool()
{
    thread_local std::vector<std::vector<float>> pool;
    return pool;
}

// A tile of its own memory for an intermediate result; its pixels start undefined.
struct OwnedTile {
    std::vector<float> storage;
    PixelTile tile;
    explicit OwnedTile(const PixelRect& region)
    {
        tile.region = region;
        tile.stride = size_t(std::max<int64_t>(region.width, 0)) * 4;
        const size_t size = tile.stride * size_t(std::max<int64_t>(region.height, 0));
        auto& pool = scratchPool();
        if (!pool.empty()) {
            storage = std::move(pool.back());
            pool.pop_back();
        }
        if (storage.size() < size)
            storage.resize(size);
        tile.data = storage.data();
    }
    ~OwnedTile()
    {
        auto& pool = scratchPool();
        if (storage.capacity() > 0 && pool.size() < 16 && storage.capacity() <= (size_t(1) << 22))
            pool.push_back(std::move(storage));
    }
    OwnedTile(OwnedTile&& other) noexcept : storage(std::move(other.storage)), tile(other.tile) { other.tile.data = nullptr; }
    OwnedTile(const OwnedTile&) = delete;
    OwnedTile& operator=(const OwnedTile&) = delete;
};

// Renders `image` over `inner` (a part of `tile`'s region) and clears the rest of the tile.
void renderClipped(const PixelTile& tile, const PixelRect& inner,
                   const std::function<void(const PixelTile&)>& renderInner)
{
    if (inner.isEmpty()) {
        clearTile(tile);
        return;
    }
    if (inner.x == tile.region.x && inner.y == tile.region.y && inner.width == tile.region.width
        && inner.height == tile.region.height) {
        renderInner(tile);
        return;
    }
    clearTile(tile);
    PixelTile sub;
    sub.region = inner;
    sub.stride = tile.stride;
    sub.data = tile.data + size_t(inner.y - tile.region.y) * tile.stride + size_t(inner.x - tile.region.x) * 4;
    renderInner(sub);
}

const std::array<float, 256>& decodeTable()
{
    static const std::array<float, 256> table = [] {
        std::array<float, 256> t{};
        for (int i = 0; i < 256; ++i)
            t[size_t(i)] = srgbToLinear(float(i) / 255.0f);
        return t;
    }();
    return table;
}

class BitmapImage final : public FilterImage {
public:
    BitmapImage(ImagePtr image, std::vector<uint8_t> converted)
        : FilterImage(Rect::make(0, 0, double(image->width()), double(image->height())))
        , m_image(std::move(image))
        , m_converted(std::move(converted))
    {
        if (!m_converted.empty()) {
            m_base = m_converted.data();
            m_stride = m_image->width() * 4;
            m_r = 0, m_g = 1, m_b = 2, m_a = 3;
            m_premultiplied = true;
            describePixels();
            return;
        }
        m_base = m_image->data();
        m_stride = m_image->bytesPerRow();
        const AlphaInfo alpha = m_image->alphaInfo();
        const bool alphaFirst = alpha == AlphaInfo::premultipliedFirst || alpha == AlphaInfo::first
            || alpha == AlphaInfo::noneSkipFirst;
        const bool hasAlpha = hasAlphaChannel(alpha);
        m_premultiplied = alphaIsPremultiplied(alpha);
        switch (m_image->pixelFormat()) {
        case PixelFormat::rgba8: m_r = 0, m_g = 1, m_b = 2, m_a = 3; break;
        case PixelFormat::argb8: m_a = 0, m_r = 1, m_g = 2, m_b = 3; break;
        case PixelFormat::bgra8: m_b = 0, m_g = 1, m_r = 2, m_a = 3; break;
        case PixelFormat::abgr8: m_a = 0, m_b = 1, m_g = 2, m_r = 3; break;
        default: break;
        }
        (void)alphaFirst;
        if (!hasAlpha)
            m_a = -1;
        describePixels();
    }

    const BitmapPixels* bitmapPixels() const override { return &m_pixels; }

    void render(const PixelTile& tile) const override
    {
        const PixelRect bounds{0, 0, int64_t(m_image->width()), int64_t(m_image->height())};
        const PixelRect inner = tile.region.intersection(bounds);
        renderClipped(tile, inner, [&](const PixelTile& t) { renderInside(t); });
    }

private:
    void describePixels()
    {
        m_pixels.base = m_base;
        m_pixels.bytesPerRow = m_stride;
        m_pixels.width = int64_t(m_image->width());
        m_pixels.height = int64_t(m_image->height());
        m_pixels.r = m_r, m_pixels.g = m_g, m_pixels.b = m_b, m_pixels.a = m_a;
        m_pixels.premultiplied = m_premultiplied;
    }

    void renderInside(const PixelTile& t) const
    {
        const auto& lut = decodeTable();
        const int64_t height = int64_t(m_image->height());
        for (int64_t r = 0; r < t.region.height; ++r) {
            const int64_t y = t.region.y + r;
            const uint8_t* src = m_base + size_t(height - 1 - y) * m_stride + size_t(t.region.x) * 4;
            float* out = t.row(r);
            for (int64_t i = 0; i < t.region.width; ++i, src += 4, out += 4) {
                const uint8_t a8 = m_a >= 0 ? src[m_a] : 255;
                const float a = float(a8) / 255.0f;
                if (a8 == 255) {
                    out[0] = lut[src[m_r]], out[1] = lut[src[m_g]], out[2] = lut[src[m_b]], out[3] = 1.0f;
                } else if (a8 == 0) {
                    out[0] = out[1] = out[2] = out[3] = 0.0f;
                } else if (m_premultiplied) {
                    const float scale = 1.0f / float(a8);
                    out[0] = detail::fastSRGBToLinear(std::min(1.0f, float(src[m_r]) * scale)) * a;
                    out[1] = detail::fastSRGBToLinear(std::min(1.0f, float(src[m_g]) * scale)) * a;
                    out[2] = detail::fastSRGBToLinear(std::min(1.0f, float(src[m_b]) * scale)) * a;
                    out[3] = a;
                } else {
                    out[0] = lut[src[m_r]] * a, out[1] = lut[src[m_g]] * a, out[2] = lut[src[m_b]] * a;
                    out[3] = a;
                }
            }
        }
    }

    ImagePtr m_image;
    std::vector<uint8_t> m_converted;
    const uint8_t* m_base = nullptr;
    size_t m_stride = 0;
    int m_r = 0, m_g = 1, m_b = 2, m_a = 3;
    bool m_premultiplied = false;
    BitmapPixels m_pixels;
};

class ColorImage final : public FilterImage {
public:
    ColorImage(Rect extent, std::array<float, 4> pixel) : FilterImage(extent), m_pixel(pixel) { }
    void render(const PixelTile& tile) const override
    {
        if (extent().isNull()) {
            clearTile(tile);
            return;
        }
        for (int64_t r = 0; r < tile.region.height; ++r) {
            float* out = tile.row(r);
            for (int64_t i = 0; i < tile.region.width; ++i)
                std::memcpy(out + i * 4, m_pixel.data(), sizeof(m_pixel));
        }
    }

private:
    std::array<float, 4> m_pixel;
};

class PixelsImage final : public FilterImage {
public:
    PixelsImage(int64_t width, int64_t height, std::vector<float> rgba)
        : FilterImage(Rect::make(0, 0, double(width), double(height))), m_width(width), m_pixels(std::move(rgba))
    {
    }
    void render(const PixelTile& tile) const override
    {
        const PixelRect bounds = PixelRect::covering(extent());
        renderClipped(tile, tile.region.intersection(bounds), [&](const PixelTile& t) {
            for (int64_t r = 0; r < t.region.height; ++r)
                std::memcpy(t.row(r), m_pixels.data() + size_t((t.region.y + r) * m_width + t.region.x) * 4,
                            size_t(t.region.width) * 4 * sizeof(float));
        });
    }

private:
    int64_t m_width;
    std::vector<float> m_pixels;
};

class TransformImage final : public FilterImage {
public:
    TransformImage(FilterImagePtr source, const AffineTransform& transform)
        : FilterImage(source->extent().applying(transform)), m_source(std::move(source)), m_transform(transform)
        , m_inverse(transform.inverted())
    {
        const bool translation = transform.a == 1 && transform.b == 0 && transform.c == 0 && transform.d == 1;
        m_wholeShift = translation && transform.tx == std::round(transform.tx) && transform.ty == std::round(transform.ty)
            && std::abs(transform.tx) < kPixelLimit && std::abs(transform.ty) < kPixelLimit;
    }

    void render(const PixelTile& tile) const override
    {
        if (m_wholeShift) {
            PixelTile shifted = tile;
            shifted.region.x -= int64_t(m_transform.tx);
            shifted.region.y -= int64_t(m_transform.ty);
            m_source->render(shifted);
            return;
        }
        const PixelRect inner = tile.region.intersection(PixelRect::enclosing(extent()));
        renderClipped(tile, inner, [&](const PixelTile& t) { resample(t); });
    }

    const FilterImagePtr& source() const { return m_source; }
    const AffineTransform& transform() const { return m_transform; }

private:
    void resample(const PixelTile& t) const
    {
        const Rect wanted = Rect::make(double(t.region.x), double(t.region.y), double(t.region.width),
                                       double(t.region.height))
                                .applying(m_inverse)
                                .insetBy(-1, -1);
        PixelRect sourceRegion = PixelRect::enclosing(wanted);
        if (!m_source->extent().isInfinite())
            sourceRegion = sourceRegion.intersection(PixelRect::enclosing(m_source->extent()));
        if (sourceRegion.isEmpty()) {
            clearTile(t);
            return;
        }
        OwnedTile source(sourceRegion);
        m_source->render(source.tile);
        const float* sp = source.tile.data;
        const int64_t sw = sourceRegion.width, sh = sourceRegion.height;
        const AffineTransform& m = m_inverse;
        // The source's extent in the sample grid of the tile (pixel centres at whole numbers).
        const Rect se = m_source->extent();
        const double minX = se.isInfinite() ? -1e300 : se.minX() - 0.5 - double(sourceRegion.x);
        const double maxX = se.isInfinite() ? 1e300 : se.maxX() - 0.5 - double(sourceRegion.x);
        const double minY = se.isInfinite() ? -1e300 : se.minY() - 0.5 - double(sourceRegion.y);
        const double maxY = se.isInfinite() ? 1e300 : se.maxY() - 0.5 - double(sourceRegion.y);
        for (int64_t r = 0; r < t.region.height; ++r) {
            float* out = t.row(r);
            const double py = double(t.region.y + r) + 0.5;
            const double px0 = double(t.region.x) + 0.5;
            // Source position of the pixel centre, relative to the source tile's sample grid.
            double qx = m.a * px0 + m.c * py + m.tx - 0.5 - double(sourceRegion.x);
            double qy = m.b * px0 + m.d * py + m.ty - 0.5 - double(sourceRegion.y);
            for (int64_t i = 0; i < t.region.width; ++i, qx += m.a, qy += m.b, out += 4) {
                // Inside the source's extent the nearest edge pixels stand in for missing
                // neighbours, so a stretched picture stays opaque to its edges; beyond it the
                // result is clear.
                if (!(qx >= minX && qx <= maxX && qy >= minY && qy <= maxY)) {
                    out[0] = out[1] = out[2] = out[3] = 0.0f;
                    continue;
                }
                const double cx = std::clamp(qx, 0.0, double(sw - 1)), cy = std::clamp(qy, 0.0, double(sh - 1));
                const double fx = std::floor(cx), fy = std::floor(cy);
                const int64_t x0 = int64_t(fx), y0 = int64_t(fy);
                const int64_t x1 = std::min(x0 + 1, sw - 1), y1 = std::min(y0 + 1, sh - 1);
                const float wx = float(cx - fx), wy = float(cy - fy);
                const float* s00 = sp + size_t(y0) * source.tile.stride + size_t(x0) * 4;
                const float* s10 = sp + size_t(y0) * source.tile.stride + size_t(x1) * 4;
                const float* s01 = sp + size_t(y1) * source.tile.stride + size_t(x0) * 4;
                const float* s11 = sp + size_t(y1) * source.tile.stride + size_t(x1) * 4;
                for (int c = 0; c < 4; ++c) {
                    const float bottom = s00[c] + (s10[c] - s00[c]) * wx;
                    const float top = s01[c] + (s11[c] - s01[c]) * wx;
                    out[c] = bottom + (top - bottom) * wy;
                }
            }
        }
    }

    FilterImagePtr m_source;
    AffineTransform m_transform;
    AffineTransform m_inverse;
    bool m_wholeShift = false;
};

class CropImage final : public FilterImage {
public:
    CropImage(FilterImagePtr source, const Rect& rect)
        : FilterImage(source->extent().intersection(rect)), m_source(std::move(source))
    {
    }
    void render(const PixelTile& tile) const override
    {
        const PixelRect inner = tile.region.intersection(PixelRect::covering(extent()));
        renderClipped(tile, inner, [&](const PixelTile& t) { m_source->render(t); });
    }
    bool renderBytes(const PixelRect& region, const ByteTarget& target) const override
    {
        const PixelRect inner = region.intersection(PixelRect::covering(extent()));
        if (inner.x != region.x || inner.y != region.y || inner.width != region.width || inner.height != region.height)
            return false;
        return m_source->renderBytes(region, target);
    }

private:
    FilterImagePtr m_source;
};

class KernelImage final : public FilterImage {
public:
    KernelImage(const Rect& extent, std::vector<FilterImagePtr> inputs, KernelFunction kernel)
        : FilterImage(extent), m_inputs(std::move(inputs)), m_kernel(std::move(kernel))
    {
    }
    void render(const PixelTile& tile) const override
    {
        const PixelRect inner = tile.region.intersection(PixelRect::covering(extent()));
        renderClipped(tile, inner, [&](const PixelTile& t) { run(t); });
    }

private:
    void run(const PixelTile& t) const
    {
        std::vector<OwnedTile> inputs;
        inputs.reserve(m_inputs.size());
        for (const auto& input : m_inputs) {
            inputs.emplace_back(t.region);
            input->render(inputs.back().tile);
        }
        std::vector<const float*> rows(m_inputs.size());
        for (int64_t r = 0; r < t.region.height; ++r) {
            for (size_t k = 0; k < inputs.size(); ++k)
                rows[k] = inputs[k].tile.row(r);
            KernelRow row;
            row.inputs = rows.data();
            row.output = t.row(r);
            row.count = t.region.width;
            row.x = t.region.x;
            row.y = t.region.y + r;
            m_kernel(row);
        }
    }

    std::vector<FilterImagePtr> m_inputs;
    KernelFunction m_kernel;
};

bool isLinearSpace(const ColorSpacePtr& space)
{
    return space && space->name() && *space->name() == kCGColorSpaceLinearSRGB;
}

} // namespace

// ---- PixelRect ------------------------------------------------------------------------------

PixelRect PixelRect::intersection(const PixelRect& o) const
{
    const int64_t x0 = std::max(x, o.x), y0 = std::max(y, o.y);
    const int64_t x1 = std::min(x + width, o.x + o.width), y1 = std::min(y + height, o.y + o.height);
    if (x1 <= x0 || y1 <= y0)
        return PixelRect{x0, y0, 0, 0};
    return PixelRect{x0, y0, x1 - x0, y1 - y0};
}

PixelRect PixelRect::covering(const Rect& rect)
{
    if (rect.isNull() || rect.isEmpty())
        return {};
    if (rect.isInfinite())
        return PixelRect{-int64_t(kPixelLimit), -int64_t(kPixelLimit), 2 * int64_t(kPixelLimit), 2 * int64_t(kPixelLimit)};
    const int64_t x0 = clampCoordinate(std::ceil(rect.minX() - 0.5)), x1 = clampCoordinate(std::ceil(rect.maxX() - 0.5));
    const int64_t y0 = clampCoordinate(std::ceil(rect.minY() - 0.5)), y1 = clampCoordinate(std::ceil(rect.maxY() - 0.5));
    return PixelRect{x0, y0, std::max<int64_t>(0, x1 - x0), std::max<int64_t>(0, y1 - y0)};
}

PixelRect PixelRect::enclosing(const Rect& rect)
{
    if (rect.isNull() || rect.isEmpty())
        return {};
    if (rect.isInfinite())
        return covering(rect);
    const int64_t x0 = clampCoordinate(std::floor(rect.minX())), x1 = clampCoordinate(std::ceil(rect.maxX()));
    const int64_t y0 = clampCoordinate(std::floor(rect.minY())), y1 = clampCoordinate(std::ceil(rect.maxY()));
    return PixelRect{x0, y0, std::max<int64_t>(0, x1 - x0), std::max<int64_t>(0, y1 - y0)};
}

// ---- transfer curve -------------------------------------------------------------------------

float srgbToLinear(float v)
{
    return v <= 0.04045f ? v / 12.92f : std::pow((v + 0.055f) / 1.055f, 2.4f);
}

float linearToSRGB(float v)
{
    return v <= 0.0031308f ? v * 12.92f : 1.055f * std::pow(v, 1.0f / 2.4f) - 0.055f;
}

// ---- makers ---------------------------------------------------------------------------------

FilterImagePtr FilterImage::imageWithCGImage(const ImagePtr& image)
{
    if (!image)
        return nullptr;
    std::vector<uint8_t> converted;
    const PixelFormat format = image->pixelFormat();
    const bool direct = image->colorSpace() && image->colorSpace()->isRGBLike()
        && (format == PixelFormat::rgba8 || format == PixelFormat::argb8 || format == PixelFormat::bgra8
            || format == PixelFormat::abgr8);
    if (!direct) {
        converted.resize(image->width() * image->height() * 4);
        if (!image->copyPixels(converted.data(), image->width() * 4, PixelFormat::rgba8, true))
            return nullptr;
    }
    return std::make_shared<BitmapImage>(image, std::move(converted));
}

FilterImagePtr FilterImage::imageWithColor(const Color& color)
{
    const Color::RGBA c = color.rgba();
    const float a = float(std::clamp(c.alpha, 0.0, 1.0));
    return std::make_shared<ColorImage>(Rect::infinite(),
                                        std::array<float, 4>{srgbToLinear(float(c.red)) * a, srgbToLinear(float(c.green)) * a,
                                                             srgbToLinear(float(c.blue)) * a, a});
}

FilterImagePtr FilterImage::emptyImage()
{
    static const FilterImagePtr empty = std::make_shared<ColorImage>(Rect::null(), std::array<float, 4>{});
    return empty;
}

FilterImagePtr FilterImage::imageWithPixels(int64_t width, int64_t height, std::vector<float> rgba)
{
    if (width <= 0 || height <= 0 || rgba.size() != size_t(width) * size_t(height) * 4)
        return nullptr;
    return std::make_shared<PixelsImage>(width, height, std::move(rgba));
}

FilterImagePtr FilterImage::imageWithKernel(const Rect& extent, std::vector<FilterImagePtr> inputs, KernelFunction kernel)
{
    for (const auto& input : inputs)
        if (!input)
            return nullptr;
    return std::make_shared<KernelImage>(extent, std::move(inputs), std::move(kernel));
}

// ---- operations -----------------------------------------------------------------------------

FilterImagePtr FilterImage::imageByApplyingTransform(const AffineTransform& transform) const
{
    if (transform.isIdentity())
        return shared_from_this();
    // Transforms in a row resample once.
    if (auto earlier = dynamic_cast<const TransformImage*>(this))
        return earlier->source()->imageByApplyingTransform(earlier->transform().concatenating(transform));
    return std::make_shared<TransformImage>(shared_from_this(), transform);
}

FilterImagePtr FilterImage::imageByCroppingToRect(const Rect& rect) const
{
    if (rect.isInfinite())
        return shared_from_this();
    return std::make_shared<CropImage>(shared_from_this(), rect);
}

FilterImagePtr FilterImage::imageByCompositingOverImage(const FilterImagePtr& background) const
{
    if (!background)
        return shared_from_this();
    return imageWithKernel(extent().unionWith(background->extent()), {shared_from_this(), background},
                           [](const KernelRow& row) {
                               const float* __restrict s = row.inputs[0];
                               const float* __restrict d = row.inputs[1];
                               float* __restrict out = row.output;
                               for (int64_t i = 0; i < row.count * 4; i += 4) {
                                   const float keep = 1.0f - s[i + 3];
                                   for (int c = 0; c < 4; ++c)
                                       out[i + c] = s[i + c] + d[i + c] * keep;
                               }
                           });
}

namespace {

// Applies `curve` to each unpremultiplied colour component of every pixel.
template <class Curve> KernelFunction unpremultipliedCurve(Curve curve)
{
    return [curve](const KernelRow& row) {
        detail::forEachUnpremultiplied(row, [&](const float* in, float* out) {
            for (int c = 0; c < 3; ++c)
                out[c] = curve(in[c]);
        });
    };
}

} // namespace

FilterImagePtr FilterImage::imageByColorMatchingWorkingSpaceToColorSpace(const ColorSpacePtr& space) const
{
    if (isLinearSpace(space))
        return shared_from_this();
    return imageWithKernel(extent(), {shared_from_this()},
                           unpremultipliedCurve([](float v) { return detail::fastLinearToSRGB(v); }));
}

FilterImagePtr FilterImage::imageByColorMatchingColorSpaceToWorkingSpace(const ColorSpacePtr& space) const
{
    if (isLinearSpace(space))
        return shared_from_this();
    return imageWithKernel(extent(), {shared_from_this()},
                           unpremultipliedCurve([](float v) { return detail::fastSRGBToLinear(v); }));
}

} // namespace graphics
