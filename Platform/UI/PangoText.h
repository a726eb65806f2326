#pragma once
// Internal: pango layouts for our fonts and attributed strings, shared by measuring and drawing.

#include <pango/pangocairo.h>

#include "Platform/UI/AttributedString.h"

namespace ui::detail {

// Owns a pango object and unrefs it.
struct GObjectDeleter {
    void operator()(void* object) const;
};
using LayoutPtr = std::unique_ptr<PangoLayout, GObjectDeleter>;

// A layout of `text` for cairo context `cr` (a private measuring context when null), wrapped
// or truncated to `width` points when it is positive.
LayoutPtr makeLayout(cairo_t* cr, const AttributedString& text, double width);
graphics::Size layoutSize(PangoLayout* layout);

} // namespace ui::detail
