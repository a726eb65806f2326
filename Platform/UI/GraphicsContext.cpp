#include "Platform/UI/GraphicsContext.h"

#include <cairo.h>
#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>

#include "Platform/Graphics/ColorSpace.h"
#include "Platform/UI/BezierPath.h"
#include "Platform/UI/Image.h"
#include "Platform/UI/PangoText.h"

namespace ui {

using graphics::Rect;

std::unique_ptr<GraphicsContext> GraphicsContext::bitmapContext(graphics::Size size, double scale)
{
    if (!(scale > 0) || !(size.width > 0) || !(size.height > 0))
        return nullptr;
    const double w = std::ceil(size.width * scale);
    const double h = std::ceil(size.height * scale);
    // Far beyond any window: refuse rather than try to allocate gigabytes.
    if (w > 16384 || h > 16384)
        return nullptr;
    std::unique_ptr<GraphicsContext> ctx(new GraphicsContext());
    ctx->m_surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, static_cast<int>(w), static_cast<int>(h));
    if (cairo_surface_status(ctx->m_surface) != CAIRO_STATUS_SUCCESS)
        return nullptr;
    ctx->m_cr = cairo_create(ctx->m_surface);
    ctx->m_scale = scale;
    ctx->m_size = size;
    ctx->m_appearance = Appearance::aqua();
    // The platform's user space: origin at the bottom left, y up, one unit per point.
    cairo_translate(ctx->m_cr, 0, h);
    cairo_scale(ctx->m_cr, scale, -scale);
    return ctx;
}

GraphicsContext::~GraphicsContext()
{
    if (m_cr)
        cairo_destroy(m_cr);
    if (m_surface)
        cairo_surface_destroy(m_surface);
}

void GraphicsContext::saveGState()
{
    cairo_save(m_cr);
    m_saved.emplace_back(m_fill, m_stroke);
}

void GraphicsContext::restoreGState()
{
    if (m_saved.empty())
        return; // unbalanced restore: keep cairo's stack intact
    cairo_restore(m_cr);
    m_fill = m_saved.back().first;
    m_stroke = m_saved.back().second;
    m_saved.pop_back();
}

void GraphicsContext::translate(double tx, double ty)
{
    cairo_translate(m_cr, tx, ty);
}

void GraphicsContext::scale(double sx, double sy)
{
    cairo_scale(m_cr, sx, sy);
}

void GraphicsContext::concat(const graphics::AffineTransform& t)
{
    cairo_matrix_t m;
    cairo_matrix_init(&m, t.a, t.b, t.c, t.d, t.tx, t.ty);
    cairo_transform(m_cr, &m);
}

bool GraphicsContext::isFlipped() const
{
    cairo_matrix_t m;
    cairo_get_matrix(m_cr, &m);
    // Device space grows downwards: a positive yy means user y grows downwards too.
    return m.yy > 0;
}

void GraphicsContext::setFillColor(const Color& color)
{
    m_fill = color;
}

void GraphicsContext::setStrokeColor(const Color& color)
{
    m_stroke = color;
}

void GraphicsContext::setCompositingOperation(CompositingOperation op)
{
    cairo_operator_t o = CAIRO_OPERATOR_OVER;
    switch (op) {
    case CompositingOperation::clear: o = CAIRO_OPERATOR_CLEAR; break;
    case CompositingOperation::copy: o = CAIRO_OPERATOR_SOURCE; break;
    case CompositingOperation::sourceOver: o = CAIRO_OPERATOR_OVER; break;
    case CompositingOperation::sourceIn: o = CAIRO_OPERATOR_IN; break;
    case CompositingOperation::sourceOut: o = CAIRO_OPERATOR_OUT; break;
    case CompositingOperation::sourceAtop: o = CAIRO_OPERATOR_ATOP; break;
    }
    cairo_set_operator(m_cr, o);
}

void GraphicsContext::setAlpha(double alpha)
{
    // Kept as a group opacity would need a push/pop; callers pass fractions to draw calls
    // instead. This scales later fill colours.
    m_fill = m_fill.withAlphaComponent(m_fill.alphaComponent() * alpha);
}

void GraphicsContext::applySourceColor(const Color& color)
{
    const auto c = color.rgba(m_appearance);
    cairo_set_source_rgba(m_cr, c.red, c.green, c.blue, c.alpha);
}

void GraphicsContext::fillRect(const Rect& rect)
{
    const Rect r = rect.standardized();
    if (r.isNull())
        return;
    applySourceColor(m_fill);
    cairo_new_path(m_cr);
    cairo_rectangle(m_cr, r.minX(), r.minY(), r.width(), r.height());
    cairo_fill(m_cr);
}

void GraphicsContext::strokeRect(const Rect& rect, double lineWidth)
{
    const Rect r = rect.standardized();
    if (r.isNull())
        return;
    applySourceColor(m_stroke);
    cairo_new_path(m_cr);
    cairo_set_line_width(m_cr, lineWidth);
    cairo_rectangle(m_cr, r.minX(), r.minY(), r.width(), r.height());
    cairo_stroke(m_cr);
}

void GraphicsContext::clipToRect(const Rect& rect)
{
    const Rect r = rect.standardized();
    cairo_new_path(m_cr);
    if (!r.isNull())
        cairo_rectangle(m_cr, r.minX(), r.minY(), r.width(), r.height());
    cairo_clip(m_cr);
}

namespace {

void buildPath(cairo_t* cr, const BezierPath& path)
{
    cairo_new_path(cr);
    for (const auto& e : path.elements()) {
        switch (e.type) {
        case BezierPath::ElementType::moveTo:
            cairo_move_to(cr, e.points[0].x, e.points[0].y);
            break;
        case BezierPath::ElementType::lineTo:
            cairo_line_to(cr, e.points[0].x, e.points[0].y);
            break;
        case BezierPath::ElementType::curveTo:
            cairo_curve_to(cr, e.points[0].x, e.points[0].y, e.points[1].x, e.points[1].y, e.points[2].x,
                           e.points[2].y);
            break;
        case BezierPath::ElementType::closePath:
            cairo_close_path(cr);
            break;
        }
    }
    cairo_set_fill_rule(cr, path.windingRule() == WindingRule::evenOdd ? CAIRO_FILL_RULE_EVEN_ODD
                                                                        : CAIRO_FILL_RULE_WINDING);
}

} // namespace

void GraphicsContext::fillPath(const BezierPath& path)
{
    applySourceColor(m_fill);
    buildPath(m_cr, path);
    cairo_fill(m_cr);
}

void GraphicsContext::strokePath(const BezierPath& path)
{
    applySourceColor(m_stroke);
    buildPath(m_cr, path);
    cairo_set_line_width(m_cr, path.lineWidth());
    cairo_stroke(m_cr);
}

void GraphicsContext::clipToPath(const BezierPath& path)
{
    buildPath(m_cr, path);
    cairo_clip(m_cr);
}

void GraphicsContext::drawText(const AttributedString& text, const Rect& rect, bool centerVertically)
{
    if (text.string().empty())
        return;
    const Rect r = rect.standardized();
    if (r.isNull() || r.width() <= 0)
        return;
    auto layout = detail::makeLayout(m_cr, text, r.width());
    const graphics::Size size = detail::layoutSize(layout.get());
    cairo_save(m_cr);
    // Lay the text out top-down from the rectangle's visual top, whatever this space's orientation.
    if (isFlipped()) {
        cairo_translate(m_cr, r.minX(), r.minY());
    } else {
        cairo_translate(m_cr, r.minX(), r.maxY());
        cairo_scale(m_cr, 1, -1);
    }
    const double y = centerVertically ? (r.height() - size.height) / 2 : 0;
    applySourceColor(text.attributes().foregroundColor.value_or(Color::labelColor()));
    cairo_move_to(m_cr, 0, y);
    pango_cairo_update_layout(m_cr, layout.get());
    pango_cairo_show_layout(m_cr, layout.get());
    cairo_restore(m_cr);
}

Rect GraphicsContext::caretRectAtEndOfText(const AttributedString& text, const Rect& rect, bool centerVertically)
{
    const Rect r = rect.standardized();
    auto layout = detail::makeLayout(m_cr, text, std::max(1.0, r.width()));
    const graphics::Size size = detail::layoutSize(layout.get());
    PangoRectangle pos;
    pango_layout_get_cursor_pos(layout.get(), static_cast<int>(text.string().size()), &pos, nullptr);
    const double x = r.minX() + std::min(r.width(), double(pos.x) / PANGO_SCALE);
    const double top = (centerVertically ? (r.height() - size.height) / 2 : 0) + double(pos.y) / PANGO_SCALE;
    const double height = std::max(1.0, double(pos.height) / PANGO_SCALE);
    // Top-down in the layout; this space may run either way.
    return isFlipped() ? Rect::make(x, r.minY() + top, 1, height) : Rect::make(x, r.maxY() - top - height, 1, height);
}

void GraphicsContext::drawImage(const Image& image, const Rect& rect, double fraction)
{
    drawBitmap(image.bitmap(), rect, fraction);
}

void GraphicsContext::drawBitmap(const graphics::ImagePtr& bitmap, const Rect& rect, double fraction)
{
    const Rect r = rect.standardized();
    if (!bitmap || r.isEmpty() || bitmap->width() == 0 || bitmap->height() == 0)
        return;
    const int w = static_cast<int>(bitmap->width());
    const int h = static_cast<int>(bitmap->height());
    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, w, h);
    if (cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS) {
        cairo_surface_destroy(surface);
        return;
    }
    cairo_surface_flush(surface);
    const bool copied = bitmap->copyPixels(cairo_image_surface_get_data(surface),
                                           static_cast<size_t>(cairo_image_surface_get_stride(surface)),
                                           graphics::PixelFormat::bgra8, true);
    cairo_surface_mark_dirty(surface);
    if (copied) {
        cairo_save(m_cr);
        if (isFlipped()) {
            cairo_translate(m_cr, r.minX(), r.minY());
        } else {
            cairo_translate(m_cr, r.minX(), r.maxY());
            cairo_scale(m_cr, 1, -1);
        }
        cairo_scale(m_cr, r.width() / w, r.height() / h);
        cairo_set_source_surface(m_cr, surface, 0, 0);
        cairo_pattern_set_filter(cairo_get_source(m_cr), CAIRO_FILTER_GOOD);
        // Edge pixels extend to the rectangle's border instead of fading out when scaled up.
        cairo_pattern_set_extend(cairo_get_source(m_cr), CAIRO_EXTEND_PAD);
        cairo_rectangle(m_cr, 0, 0, w, h);
        cairo_clip(m_cr);
        cairo_paint_with_alpha(m_cr, fraction);
        cairo_restore(m_cr);
    }
    cairo_surface_destroy(surface);
}

graphics::ImagePtr GraphicsContext::createImage() const
{
    cairo_surface_flush(m_surface);
    const int w = cairo_image_surface_get_width(m_surface);
    const int h = cairo_image_surface_get_height(m_surface);
    const int stride = cairo_image_surface_get_stride(m_surface);
    const uint8_t* data = cairo_image_surface_get_data(m_surface);
    std::vector<uint8_t> bytes(data, data + static_cast<size_t>(stride) * h);
    return graphics::Image::create(w, h, 8, 32, stride, graphics::ColorSpace::createWithName(graphics::kCGColorSpaceSRGB),
                                   graphics::BitmapInfo{graphics::AlphaInfo::premultipliedFirst,
                                                        graphics::ByteOrder::order32Little},
                                   std::move(bytes));
}

bool GraphicsContext::writePNG(const std::string& path, foundation::ErrorPtr* error) const
{
    cairo_surface_flush(m_surface);
    // Written into a new file of its own beside the target (made here, never opened through a
    // link, never one that was there) and moved over it, so a failed write never leaves half a
    // file in place of the one that was there, and nothing is written where a link leads.
    std::string temporary;
    int fd = -1;
    std::random_device random;
    for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
        char suffix[24];
        std::snprintf(suffix, sizeof suffix, ".%08x.partial", static_cast<unsigned>(random()));
        temporary = path + suffix;
        fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST)
            break;
    }
    int err = fd < 0 ? errno : 0;
    cairo_status_t status = CAIRO_STATUS_WRITE_ERROR;
    if (fd >= 0) {
        struct Sink {
            int fd;
            int err = 0;
        } sink {fd};
        status = cairo_surface_write_to_png_stream(m_surface, [](void* closure, const unsigned char* data, unsigned int length) {
            auto* out = static_cast<Sink*>(closure);
            while (length > 0) {
                const ssize_t n = ::write(out->fd, data, length);
                if (n < 0 && errno == EINTR)
                    continue;
                if (n <= 0) {
                    out->err = n < 0 ? errno : ENOSPC;
                    return CAIRO_STATUS_WRITE_ERROR;
                }
                data += n;
                length -= static_cast<unsigned int>(n);
            }
            return CAIRO_STATUS_SUCCESS;
        }, &sink);
        err = sink.err;
        if (::close(fd) != 0 && !err)
            err = errno;
        if (status == CAIRO_STATUS_SUCCESS && !err && std::rename(temporary.c_str(), path.c_str()) == 0)
            return true;
        if (!err && status == CAIRO_STATUS_SUCCESS)
            err = errno;
        ::unlink(temporary.c_str());
    }
    if (error) {
        const std::string reason = err ? std::strerror(err) : cairo_status_to_string(status);
        *error = foundation::Error::make(foundation::NSCocoaErrorDomain, foundation::NSFileWriteUnknownError,
                                         "The picture could not be written to \"" + path + "\": " + reason);
    }
    return false;
}

} // namespace ui
