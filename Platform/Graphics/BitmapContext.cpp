#include "Platform/Graphics/BitmapContext.h"

#include <cairo.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "Platform/Graphics/PixelCopy.h"

namespace graphics {

namespace {

struct SurfaceDeleter {
    void operator()(cairo_surface_t* s) const { cairo_surface_destroy(s); }
};
struct CairoDeleter {
    void operator()(cairo_t* c) const { cairo_destroy(c); }
};
struct PatternDeleter {
    void operator()(cairo_pattern_t* p) const { cairo_pattern_destroy(p); }
};
using Surface = std::unique_ptr<cairo_surface_t, SurfaceDeleter>;
using Cairo = std::unique_ptr<cairo_t, CairoDeleter>;
using Pattern = std::unique_ptr<cairo_pattern_t, PatternDeleter>;

cairo_filter_t filterFor(InterpolationQuality q)
{
    switch (q) {
    case InterpolationQuality::none: return CAIRO_FILTER_NEAREST;
    case InterpolationQuality::low: return CAIRO_FILTER_BILINEAR;
    default: return CAIRO_FILTER_GOOD; // box-filters when shrinking, so photos don't alias
    }
}

struct IntRect {
    long x0 = 0, y0 = 0, x1 = 0, y1 = 0;
    bool empty() const { return x1 <= x0 || y1 <= y0; }
};

} // namespace

struct BitmapContext::Private {
    struct State {
        Color fill = Color::black();
        InterpolationQuality quality = InterpolationQuality::defaultQuality;
        bool clipped = false;
    };

    Surface surface;
    Cairo cr;
    std::vector<uint8_t> ownMemory;
    // Layouts cairo cannot draw in are drawn in `shadow` and written back into the bitmap.
    bool usesShadow = false;
    std::vector<uint8_t> shadowMemory;
    // The bitmap was written directly (fast image copy) and the shadow must re-read it.
    bool shadowStale = false;
    std::vector<State> states{State{}};

    State& state() { return states.back(); }
};

BitmapContextPtr BitmapContext::create(void* data, size_t width, size_t height, size_t bitsPerComponent,
                                       size_t bytesPerRow, const ColorSpacePtr& space, BitmapInfo info)
{
    if (!space || width == 0 || height == 0 || width > 32767 || height > 32767)
        return nullptr; // cairo's limit on image surfaces
    const PixelFormat format = pixelFormatFor(*space, bitsPerComponent, space->model() == ColorSpaceModel::monochrome ? 8 : 32, info);
    if (format == PixelFormat::unsupported || format == PixelFormat::cmyk8)
        return nullptr;
    const size_t bpp = detail::bytesPerPixel(format);
    if (bytesPerRow == 0 && !data)
        bytesPerRow = width * bpp;
    if (bytesPerRow < width * bpp)
        return nullptr;

    BitmapContextPtr ctx(new BitmapContext());
    ctx->m_width = width;
    ctx->m_height = height;
    ctx->m_bitsPerPixel = bpp * 8;
    ctx->m_bytesPerRow = bytesPerRow;
    ctx->m_info = info;
    ctx->m_format = format;
    ctx->m_space = space;
    ctx->m_private = std::make_unique<Private>();
    Private& p = *ctx->m_private;
    if (!data) {
        p.ownMemory.assign(bytesPerRow * height, 0);
        data = p.ownMemory.data();
    }
    ctx->m_data = static_cast<uint8_t*>(data);

    const bool native = format == PixelFormat::bgra8 && bytesPerRow % 4 == 0
        && (info.alpha == AlphaInfo::premultipliedFirst || info.alpha == AlphaInfo::noneSkipFirst);
    if (native) {
        const cairo_format_t cf = info.alpha == AlphaInfo::premultipliedFirst ? CAIRO_FORMAT_ARGB32 : CAIRO_FORMAT_RGB24;
        p.surface.reset(cairo_image_surface_create_for_data(ctx->m_data, cf, static_cast<int>(width),
                                                            static_cast<int>(height), static_cast<int>(bytesPerRow)));
    } else {
        p.usesShadow = true;
        p.shadowMemory.resize(width * 4 * height);
        p.surface.reset(cairo_image_surface_create_for_data(p.shadowMemory.data(), CAIRO_FORMAT_ARGB32,
                                                            static_cast<int>(width), static_cast<int>(height),
                                                            static_cast<int>(width * 4)));
        p.shadowStale = true; // picks up whatever the caller's memory holds
    }
    if (cairo_surface_status(p.surface.get()) != CAIRO_STATUS_SUCCESS)
        return nullptr;
    p.cr.reset(cairo_create(p.surface.get()));
    if (cairo_status(p.cr.get()) != CAIRO_STATUS_SUCCESS)
        return nullptr;
    // The platform's user space has its origin at the bottom left with y upwards.
    cairo_matrix_t flip;
    cairo_matrix_init(&flip, 1, 0, 0, -1, 0, static_cast<double>(height));
    cairo_set_matrix(p.cr.get(), &flip);
    return ctx;
}

BitmapContext::~BitmapContext()
{
    if (m_private) {
        m_private->cr.reset();
        m_private->surface.reset();
    }
}

// Reads the bitmap into the shadow surface when it changed behind cairo's back.
static void refreshShadow(BitmapContext& ctx, BitmapContext::Private& p, PixelFormat format, const ColorSpace* space)
{
    if (!p.usesShadow || !p.shadowStale)
        return;
    cairo_surface_flush(p.surface.get());
    detail::convertPixels(ctx.data(), ctx.bytesPerRow(), {format, ctx.bitmapInfo().alpha, space}, ctx.width(),
                          ctx.height(), p.shadowMemory.data(), ctx.width() * 4,
                          {PixelFormat::bgra8, AlphaInfo::premultipliedFirst, nullptr});
    cairo_surface_mark_dirty(p.surface.get());
    p.shadowStale = false;
}

struct BitmapContextOps {
    // Before cairo draws: make the shadow current.
    static void begin(BitmapContext& c)
    {
        refreshShadow(c, *c.m_private, c.m_format, c.m_space.get());
    }

    // Device pixels touched by a user-space rectangle under the current matrix.
    static IntRect deviceBounds(BitmapContext& c, const Rect& r)
    {
        cairo_t* cr = c.m_private->cr.get();
        double xs[4] = {r.minX(), r.maxX(), r.minX(), r.maxX()};
        double ys[4] = {r.minY(), r.minY(), r.maxY(), r.maxY()};
        double x0 = INFINITY, y0 = INFINITY, x1 = -INFINITY, y1 = -INFINITY;
        for (int i = 0; i < 4; ++i) {
            cairo_user_to_device(cr, &xs[i], &ys[i]);
            x0 = std::min(x0, xs[i]);
            y0 = std::min(y0, ys[i]);
            x1 = std::max(x1, xs[i]);
            y1 = std::max(y1, ys[i]);
        }
        if (!std::isfinite(x0) || !std::isfinite(y0) || !std::isfinite(x1) || !std::isfinite(y1))
            return {0, 0, static_cast<long>(c.m_width), static_cast<long>(c.m_height)};
        IntRect b;
        // One pixel of margin for antialiased edges and filter footprints.
        b.x0 = std::max(0L, static_cast<long>(std::floor(std::max(x0, -1.0))) - 1);
        b.y0 = std::max(0L, static_cast<long>(std::floor(std::max(y0, -1.0))) - 1);
        b.x1 = std::min(static_cast<long>(c.m_width), static_cast<long>(std::ceil(std::min(x1, 1e9))) + 1);
        b.y1 = std::min(static_cast<long>(c.m_height), static_cast<long>(std::ceil(std::min(y1, 1e9))) + 1);
        return b;
    }

    // After cairo drew: write the touched pixels back into the caller's layout.
    static void end(BitmapContext& c, const IntRect& b)
    {
        BitmapContext::Private& p = *c.m_private;
        cairo_surface_flush(p.surface.get());
        if (!p.usesShadow || b.empty())
            return;
        const size_t bpp = detail::bytesPerPixel(c.m_format);
        const uint8_t* src = p.shadowMemory.data() + static_cast<size_t>(b.y0) * c.m_width * 4 + static_cast<size_t>(b.x0) * 4;
        uint8_t* dst = c.m_data + static_cast<size_t>(b.y0) * c.m_bytesPerRow + static_cast<size_t>(b.x0) * bpp;
        detail::convertPixels(src, c.m_width * 4, {PixelFormat::bgra8, AlphaInfo::premultipliedFirst, nullptr},
                              static_cast<size_t>(b.x1 - b.x0), static_cast<size_t>(b.y1 - b.y0), dst,
                              c.m_bytesPerRow, {c.m_format, c.m_info.alpha, nullptr});
    }

    // An opaque image drawn 1:1 onto whole pixels, upright and unclipped, is converted
    // straight into the bitmap: the common case of rendering a photo into a frame buffer.
    static bool tryDirectCopy(BitmapContext& c, const Image& image, const Rect& r)
    {
        BitmapContext::Private& p = *c.m_private;
        if (p.state().clipped || !image.isOpaque())
            return false;
        if (r.size.width != static_cast<double>(image.width()) || r.size.height != static_cast<double>(image.height()))
            return false;
        cairo_matrix_t m;
        cairo_get_matrix(p.cr.get(), &m);
        if (m.xx != 1 || m.yx != 0 || m.xy != 0 || m.yy != -1)
            return false;
        const double left = r.origin.x + m.x0;
        const double top = m.y0 - (r.origin.y + r.size.height);
        if (left != std::floor(left) || top != std::floor(top) || std::abs(left) > 1e9 || std::abs(top) > 1e9)
            return false;
        const long x0 = std::max(0L, static_cast<long>(left));
        const long y0 = std::max(0L, static_cast<long>(top));
        const long x1 = std::min(static_cast<long>(c.m_width), static_cast<long>(left) + static_cast<long>(image.width()));
        const long y1 = std::min(static_cast<long>(c.m_height), static_cast<long>(top) + static_cast<long>(image.height()));
        if (x1 <= x0 || y1 <= y0)
            return true; // entirely outside: nothing to draw
        const size_t sx = static_cast<size_t>(x0 - static_cast<long>(left));
        const size_t sy = static_cast<size_t>(y0 - static_cast<long>(top));
        const size_t sbpp = detail::bytesPerPixel(image.pixelFormat());
        const uint8_t* src = image.data() + sy * image.bytesPerRow() + sx * sbpp;

        if (!p.usesShadow)
            cairo_surface_flush(p.surface.get());
        const size_t dbpp = detail::bytesPerPixel(c.m_format);
        uint8_t* dst = c.m_data + static_cast<size_t>(y0) * c.m_bytesPerRow + static_cast<size_t>(x0) * dbpp;
        const bool ok = detail::convertPixels(src, image.bytesPerRow(), {image.pixelFormat(), image.alphaInfo(), image.colorSpace().get()},
                                              static_cast<size_t>(x1 - x0), static_cast<size_t>(y1 - y0), dst,
                                              c.m_bytesPerRow, {c.m_format, c.m_info.alpha, nullptr});
        if (!ok)
            return false;
        if (p.usesShadow)
            p.shadowStale = true;
        else
            cairo_surface_mark_dirty_rectangle(p.surface.get(), static_cast<int>(x0), static_cast<int>(y0),
                                               static_cast<int>(x1 - x0), static_cast<int>(y1 - y0));
        return true;
    }
};

AffineTransform BitmapContext::getCTM() const
{
    cairo_matrix_t m, flip, user;
    cairo_get_matrix(m_private->cr.get(), &m);
    cairo_matrix_init(&flip, 1, 0, 0, -1, 0, static_cast<double>(m_height));
    // cairo's matrix is the user transform followed by the flip; the flip is its own inverse.
    cairo_matrix_multiply(&user, &m, &flip);
    return AffineTransform::make(user.xx, user.yx, user.xy, user.yy, user.x0, user.y0);
}

void BitmapContext::translateCTM(double tx, double ty) { cairo_translate(m_private->cr.get(), tx, ty); }
void BitmapContext::scaleCTM(double sx, double sy)
{
    // cairo refuses a singular matrix and then stops drawing altogether; the platform just
    // draws nothing, which the empty clip reproduces.
    if (sx == 0 || sy == 0 || !std::isfinite(sx) || !std::isfinite(sy)) {
        cairo_new_path(m_private->cr.get());
        cairo_rectangle(m_private->cr.get(), 0, 0, 0, 0);
        cairo_clip(m_private->cr.get());
        m_private->state().clipped = true;
        return;
    }
    cairo_scale(m_private->cr.get(), sx, sy);
}
void BitmapContext::rotateCTM(double radians)
{
    if (std::isfinite(radians))
        cairo_rotate(m_private->cr.get(), radians);
}
void BitmapContext::concatCTM(const AffineTransform& t)
{
    const double det = t.a * t.d - t.b * t.c;
    if (det == 0 || !std::isfinite(det) || !std::isfinite(t.tx) || !std::isfinite(t.ty)) {
        scaleCTM(0, 0);
        return;
    }
    cairo_matrix_t m;
    cairo_matrix_init(&m, t.a, t.b, t.c, t.d, t.tx, t.ty);
    cairo_transform(m_private->cr.get(), &m);
}

void BitmapContext::saveGState()
{
    cairo_save(m_private->cr.get());
    m_private->states.push_back(m_private->state());
}

void BitmapContext::restoreGState()
{
    // An unbalanced restore is ignored, as the platform does, instead of upsetting cairo.
    if (m_private->states.size() <= 1)
        return;
    cairo_restore(m_private->cr.get());
    m_private->states.pop_back();
}

void BitmapContext::setFillColor(const Color& color) { m_private->state().fill = color; }
void BitmapContext::setInterpolationQuality(InterpolationQuality q) { m_private->state().quality = q; }
InterpolationQuality BitmapContext::interpolationQuality() const { return m_private->state().quality; }
void BitmapContext::setShouldAntialias(bool antialias)
{
    cairo_set_antialias(m_private->cr.get(), antialias ? CAIRO_ANTIALIAS_DEFAULT : CAIRO_ANTIALIAS_NONE);
}

void BitmapContext::fillRect(const Rect& rect)
{
    const Rect r = rect.standardized();
    if (r.isNull() || r.isEmpty())
        return;
    BitmapContextOps::begin(*this);
    cairo_t* cr = m_private->cr.get();
    const Color::RGBA c = m_private->state().fill.rgba();
    cairo_set_source_rgba(cr, c.red, c.green, c.blue, c.alpha);
    cairo_new_path(cr);
    cairo_rectangle(cr, r.origin.x, r.origin.y, r.size.width, r.size.height);
    cairo_fill(cr);
    BitmapContextOps::end(*this, BitmapContextOps::deviceBounds(*this, r));
}

void BitmapContext::clearRect(const Rect& rect)
{
    const Rect r = rect.standardized();
    if (r.isNull() || r.isEmpty())
        return;
    BitmapContextOps::begin(*this);
    cairo_t* cr = m_private->cr.get();
    cairo_save(cr);
    cairo_set_operator(cr, CAIRO_OPERATOR_CLEAR);
    cairo_new_path(cr);
    cairo_rectangle(cr, r.origin.x, r.origin.y, r.size.width, r.size.height);
    cairo_fill(cr);
    cairo_restore(cr);
    BitmapContextOps::end(*this, BitmapContextOps::deviceBounds(*this, r));
}

void BitmapContext::clipToRect(const Rect& rect)
{
    cairo_t* cr = m_private->cr.get();
    const Rect r = rect.standardized();
    cairo_new_path(cr);
    if (!r.isNull() && !r.isInfinite())
        cairo_rectangle(cr, r.origin.x, r.origin.y, r.size.width, r.size.height);
    else if (r.isNull())
        cairo_rectangle(cr, 0, 0, 0, 0);
    else
        return; // an infinite rectangle clips nothing
    cairo_clip(cr);
    m_private->state().clipped = true;
}

Rect BitmapContext::getClipBoundingBox() const
{
    double x1 = 0, y1 = 0, x2 = 0, y2 = 0;
    cairo_clip_extents(m_private->cr.get(), &x1, &y1, &x2, &y2);
    if (x2 <= x1 || y2 <= y1)
        return Rect::null();
    return Rect::make(x1, y1, x2 - x1, y2 - y1);
}

void BitmapContext::drawImage(const ImagePtr& image, const Rect& rect)
{
    const Rect r = rect.standardized();
    if (!image || r.isNull() || r.isEmpty() || r.isInfinite())
        return;
    if (BitmapContextOps::tryDirectCopy(*this, *image, r))
        return;

    // cairo draws from premultiplied B,G,R,A; other layouts are converted first.
    const int iw = static_cast<int>(image->width());
    const int ih = static_cast<int>(image->height());
    std::vector<uint8_t> converted;
    Surface src;
    const bool native = image->pixelFormat() == PixelFormat::bgra8 && image->bytesPerRow() % 4 == 0
        && (image->alphaInfo() == AlphaInfo::premultipliedFirst || image->alphaInfo() == AlphaInfo::noneSkipFirst);
    if (native) {
        src.reset(cairo_image_surface_create_for_data(const_cast<uint8_t*>(image->data()),
                                                      image->isOpaque() ? CAIRO_FORMAT_RGB24 : CAIRO_FORMAT_ARGB32, iw,
                                                      ih, static_cast<int>(image->bytesPerRow())));
    } else {
        converted.resize(image->width() * 4 * image->height());
        if (!image->copyPixels(converted.data(), image->width() * 4, PixelFormat::bgra8, true))
            return;
        src.reset(cairo_image_surface_create_for_data(converted.data(),
                                                      image->isOpaque() ? CAIRO_FORMAT_RGB24 : CAIRO_FORMAT_ARGB32, iw,
                                                      ih, iw * 4));
    }
    if (cairo_surface_status(src.get()) != CAIRO_STATUS_SUCCESS)
        return;

    BitmapContextOps::begin(*this);
    cairo_t* cr = m_private->cr.get();
    Pattern pattern(cairo_pattern_create_for_surface(src.get()));
    // User space to image pixels: x scales across, y runs downwards from the rect's top.
    cairo_matrix_t pm;
    const double sx = iw / r.size.width;
    const double sy = ih / r.size.height;
    cairo_matrix_init(&pm, sx, 0, 0, -sy, -r.origin.x * sx, (r.origin.y + r.size.height) * sy);
    cairo_pattern_set_matrix(pattern.get(), &pm);
    // Edge pixels extend instead of fading into transparency at the image's border.
    cairo_pattern_set_extend(pattern.get(), CAIRO_EXTEND_PAD);
    cairo_pattern_set_filter(pattern.get(), filterFor(m_private->state().quality));
    cairo_save(cr);
    cairo_set_source(cr, pattern.get());
    cairo_new_path(cr);
    cairo_rectangle(cr, r.origin.x, r.origin.y, r.size.width, r.size.height);
    cairo_fill(cr);
    cairo_restore(cr);
    BitmapContextOps::end(*this, BitmapContextOps::deviceBounds(*this, r));
}

ImagePtr BitmapContext::createImage() const
{
    flush();
    std::vector<uint8_t> bytes(m_data, m_data + m_bytesPerRow * m_height);
    return Image::create(m_width, m_height, 8, m_bitsPerPixel, m_bytesPerRow, m_space, m_info, std::move(bytes));
}

void BitmapContext::flush() const
{
    if (!m_private->usesShadow)
        cairo_surface_flush(m_private->surface.get());
}

} // namespace graphics
