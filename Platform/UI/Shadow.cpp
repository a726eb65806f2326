#include "Platform/UI/Shadow.h"

#include <cairo.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

#include "Platform/UI/BezierPath.h"
#include "Platform/UI/GraphicsContext.h"

namespace ui {

namespace {

struct SurfaceDeleter {
    void operator()(cairo_surface_t* s) const { cairo_surface_destroy(s); }
};
struct ContextDeleter {
    void operator()(cairo_t* c) const { cairo_destroy(c); }
};
using SurfacePtr = std::unique_ptr<cairo_surface_t, SurfaceDeleter>;
using CairoPtr = std::unique_ptr<cairo_t, ContextDeleter>;

void addPath(cairo_t* cr, const BezierPath& path)
{
    cairo_new_path(cr);
    for (const auto& e : path.elements()) {
        switch (e.type) {
        case BezierPath::ElementType::moveTo: cairo_move_to(cr, e.points[0].x, e.points[0].y); break;
        case BezierPath::ElementType::lineTo: cairo_line_to(cr, e.points[0].x, e.points[0].y); break;
        case BezierPath::ElementType::curveTo:
            cairo_curve_to(cr, e.points[0].x, e.points[0].y, e.points[1].x, e.points[1].y, e.points[2].x, e.points[2].y);
            break;
        case BezierPath::ElementType::closePath: cairo_close_path(cr); break;
        }
    }
    cairo_set_fill_rule(cr, path.windingRule() == WindingRule::evenOdd ? CAIRO_FILL_RULE_EVEN_ODD : CAIRO_FILL_RULE_WINDING);
}

// One pass of a running-sum box blur of width 2r+1 over a line of `n` values `step` apart.
void boxLine(uint8_t* data, int n, int step, int r, std::vector<int>& tmp)
{
    tmp.assign(static_cast<size_t>(n), 0);
    for (int i = 0; i < n; ++i)
        tmp[static_cast<size_t>(i)] = data[i * step];
    const int w = 2 * r + 1;
    long sum = 0;
    for (int i = -r; i <= r; ++i)
        sum += (i >= 0 && i < n) ? tmp[static_cast<size_t>(i)] : 0;
    for (int i = 0; i < n; ++i) {
        data[i * step] = static_cast<uint8_t>((sum + w / 2) / w);
        const int out = i - r;
        const int in = i + r + 1;
        if (out >= 0)
            sum -= tmp[static_cast<size_t>(out)];
        if (in < n)
            sum += tmp[static_cast<size_t>(in)];
    }
}

// Three box passes each way approximate a Gaussian of standard deviation sigma.
void blurA8(cairo_surface_t* surface, double sigma)
{
    if (sigma < 0.5)
        return;
    cairo_surface_flush(surface);
    uint8_t* data = cairo_image_surface_get_data(surface);
    const int w = cairo_image_surface_get_width(surface);
    const int h = cairo_image_surface_get_height(surface);
    const int stride = cairo_image_surface_get_stride(surface);
    const int r = std::max(1, static_cast<int>(std::lround(std::sqrt(12.0 * sigma * sigma / 3.0 + 1.0) / 2.0 - 0.5)));
    std::vector<int> tmp;
    for (int pass = 0; pass < 3; ++pass) {
        for (int y = 0; y < h; ++y)
            boxLine(data + y * stride, w, 1, r, tmp);
        for (int x = 0; x < w; ++x)
            boxLine(data + x, h, stride, r, tmp);
    }
    cairo_surface_mark_dirty(surface);
}

} // namespace

void fillPathWithShadow(GraphicsContext& context, const BezierPath& path, const Shadow& shadow)
{
    cairo_t* cr = context.cairo();
    const double scale = context.backingScaleFactor();
    const auto shade = shadow.shadowColor().rgba(context.appearance());
    if (!path.isEmpty() && shade.alpha > 0) {
        // The shape's extent in device pixels, grown by room for the blur.
        addPath(cr, path);
        double x1, y1, x2, y2;
        cairo_fill_extents(cr, &x1, &y1, &x2, &y2);
        double xs[4] = {x1, x2, x1, x2}, ys[4] = {y1, y1, y2, y2};
        double minX = INFINITY, minY = INFINITY, maxX = -INFINITY, maxY = -INFINITY;
        for (int i = 0; i < 4; ++i) {
            cairo_user_to_device(cr, &xs[i], &ys[i]);
            minX = std::min(minX, xs[i]);
            maxX = std::max(maxX, xs[i]);
            minY = std::min(minY, ys[i]);
            maxY = std::max(maxY, ys[i]);
        }
        const double sigma = shadow.shadowBlurRadius() * scale / 2.0;
        const int pad = static_cast<int>(std::ceil(sigma * 3)) + 1;
        const double ox = std::floor(minX) - pad;
        const double oy = std::floor(minY) - pad;
        const double w = std::ceil(maxX) + pad - ox;
        const double h = std::ceil(maxY) + pad - oy;
        // A degenerate or enormous shape casts no shadow rather than exhausting memory.
        if (w > 0 && h > 0 && w <= 16384 && h <= 16384) {
            SurfacePtr mask(cairo_image_surface_create(CAIRO_FORMAT_A8, static_cast<int>(w), static_cast<int>(h)));
            if (cairo_surface_status(mask.get()) == CAIRO_STATUS_SUCCESS) {
                CairoPtr mc(cairo_create(mask.get()));
                cairo_matrix_t m;
                cairo_get_matrix(cr, &m);
                m.x0 -= ox;
                m.y0 -= oy;
                cairo_set_matrix(mc.get(), &m);
                addPath(mc.get(), path);
                cairo_set_source_rgba(mc.get(), 0, 0, 0, 1);
                cairo_fill(mc.get());
                mc.reset();
                blurA8(mask.get(), sigma);
                // Offsets are on the page: y up, so device y goes the other way.
                const double dx = shadow.shadowOffset().width * scale;
                const double dy = -shadow.shadowOffset().height * scale;
                cairo_save(cr);
                cairo_identity_matrix(cr);
                cairo_set_source_rgba(cr, shade.red, shade.green, shade.blue, shade.alpha);
                cairo_mask_surface(cr, mask.get(), ox + dx, oy + dy);
                cairo_restore(cr);
            }
        }
    }
    context.fillPath(path);
}

} // namespace ui
