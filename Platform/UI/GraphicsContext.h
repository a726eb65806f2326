#pragma once
// Where views draw: a cairo context with the platform's conventions (y up unless a view is
// flipped, sizes in points, pixels at the backing scale), the current appearance for system
// colours, fill and stroke colours, paths, text through pango and images. One thread at a time.

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "Platform/Foundation/Error.h"
#include "Platform/Graphics/Geometry.h"
#include "Platform/Graphics/Image.h"
#include "Platform/UI/AttributedString.h"
#include "Platform/UI/Color.h"

typedef struct _cairo cairo_t;
typedef struct _cairo_surface cairo_surface_t;

namespace ui {

class BezierPath;
class Image;

enum class CompositingOperation { clear = 0, copy = 1, sourceOver = 2, sourceIn = 3, sourceOut = 4, sourceAtop = 5 };

class GraphicsContext {
public:
    // A transparent bitmap of `size` points at `scale` pixels per point, y up from the bottom
    // left. None for an empty or absurd size.
    static std::unique_ptr<GraphicsContext> bitmapContext(graphics::Size size, double scale);
    ~GraphicsContext();
    GraphicsContext(const GraphicsContext&) = delete;
    GraphicsContext& operator=(const GraphicsContext&) = delete;

    cairo_t* cairo() const { return m_cr; }
    double backingScaleFactor() const { return m_scale; }
    graphics::Size size() const { return m_size; }

    const AppearancePtr& appearance() const { return m_appearance; }
    void setAppearance(AppearancePtr appearance) { m_appearance = std::move(appearance); }

    void saveGState();
    void restoreGState();
    void translate(double tx, double ty);
    void scale(double sx, double sy);
    void concat(const graphics::AffineTransform& transform);
    // Whether y grows downwards on the page here.
    bool isFlipped() const;

    void setFillColor(const Color& color);
    void setStrokeColor(const Color& color);
    void setCompositingOperation(CompositingOperation op);
    void setAlpha(double alpha);

    void fillRect(const graphics::Rect& rect);
    void strokeRect(const graphics::Rect& rect, double lineWidth = 1.0);
    void clipToRect(const graphics::Rect& rect);
    void fillPath(const BezierPath& path);
    void strokePath(const BezierPath& path);
    void clipToPath(const BezierPath& path);

    // Draws the text inside `rect`, upright, vertically centred when `centerVertically`,
    // aligned by the attributes (left when none).
    void drawText(const AttributedString& text, const graphics::Rect& rect, bool centerVertically = true);
    // Where a text caret stands at the end of `text` laid out as drawText lays it out.
    graphics::Rect caretRectAtEndOfText(const AttributedString& text, const graphics::Rect& rect,
                                        bool centerVertically = true);
    // Draws the image scaled into `rect`, upright, at `fraction` opacity.
    void drawImage(const Image& image, const graphics::Rect& rect, double fraction = 1.0);
    void drawBitmap(const graphics::ImagePtr& bitmap, const graphics::Rect& rect, double fraction = 1.0);

    // What has been drawn, as an image (B,G,R,A premultiplied, sRGB).
    graphics::ImagePtr createImage() const;
    bool writePNG(const std::string& path, foundation::ErrorPtr* error = nullptr) const;

private:
    GraphicsContext() = default;
    void applySourceColor(const Color& color);

    cairo_surface_t* m_surface = nullptr;
    cairo_t* m_cr = nullptr;
    double m_scale = 1.0;
    graphics::Size m_size;
    AppearancePtr m_appearance;
    Color m_fill;
    Color m_stroke;
    std::vector<std::pair<Color, Color>> m_saved; // fill and stroke per saved state
};

} // namespace ui
