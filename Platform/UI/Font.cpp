#include "Platform/UI/Font.h"

#include <cairo.h>
#include <cmath>
#include <cstdlib>
#include <mutex>

#include "Platform/UI/PangoText.h"

namespace ui {

namespace detail {

void GObjectDeleter::operator()(void* object) const
{
    if (object)
        g_object_unref(object);
}

namespace {

PangoWeight pangoWeight(double weight)
{
    if (weight < -0.6)
        return PANGO_WEIGHT_ULTRALIGHT;
    if (weight < -0.2)
        return PANGO_WEIGHT_LIGHT;
    if (weight < 0.2)
        return PANGO_WEIGHT_NORMAL;
    if (weight < 0.27)
        return PANGO_WEIGHT_MEDIUM;
    if (weight < 0.35)
        return PANGO_WEIGHT_SEMIBOLD;
    if (weight < 0.5)
        return PANGO_WEIGHT_BOLD;
    return PANGO_WEIGHT_HEAVY;
}

// Fontconfig, pango and cairo keep their font caches for the life of the process. They are
// not handed back at exit: other threads may still be drawing then, and tearing the caches
// down under them aborts the process. Leak checkers are told about them instead.

// Measuring needs a cairo context but no pixels: one tiny surface per thread.
cairo_t* measuringContext()
{
    struct Holder {
        cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 1, 1);
        cairo_t* cr = cairo_create(surface);
        ~Holder()
        {
            cairo_destroy(cr);
            cairo_surface_destroy(surface);
        }
    };
    thread_local Holder holder;
    return holder.cr;
}

} // namespace

LayoutPtr makeLayout(cairo_t* cr, const AttributedString& text, double width)
{
    LayoutPtr layout(pango_cairo_create_layout(cr ? cr : measuringContext()));
    // One point is one unit of user space, as on the platform: 72 dots per inch.
    pango_cairo_context_set_resolution(pango_layout_get_context(layout.get()), 72.0);
    pango_layout_context_changed(layout.get());

    const TextAttributes& a = text.attributes();
    const Font font = a.font.value_or(Font::systemFontOfSize(Font::systemFontSize()));
    PangoFontDescription* desc = pango_font_description_new();
    pango_font_description_set_family(desc, font.familyName().c_str());
    pango_font_description_set_absolute_size(desc, font.pointSize() * PANGO_SCALE);
    pango_font_description_set_weight(desc, pangoWeight(font.weight()));
    if (font.isItalic())
        pango_font_description_set_style(desc, PANGO_STYLE_ITALIC);
    pango_layout_set_font_description(layout.get(), desc);
    pango_font_description_free(desc);

    PangoAttrList* attrs = pango_attr_list_new();
    if (font.hasMonospacedDigits())
        pango_attr_list_insert(attrs, pango_attr_font_features_new("tnum 1"));
    if (a.underlineStyle != 0)
        pango_attr_list_insert(attrs, pango_attr_underline_new(PANGO_UNDERLINE_SINGLE));
    pango_layout_set_attributes(layout.get(), attrs);
    pango_attr_list_unref(attrs);

    pango_layout_set_text(layout.get(), text.string().c_str(), static_cast<int>(text.string().size()));
    if (width > 0) {
        pango_layout_set_width(layout.get(), static_cast<int>(width * PANGO_SCALE));
        switch (a.lineBreakMode) {
        case LineBreakMode::wordWrapping:
            pango_layout_set_wrap(layout.get(), PANGO_WRAP_WORD_CHAR);
            break;
        case LineBreakMode::charWrapping:
            pango_layout_set_wrap(layout.get(), PANGO_WRAP_CHAR);
            break;
        case LineBreakMode::clipping:
            pango_layout_set_single_paragraph_mode(layout.get(), true);
            break;
        case LineBreakMode::truncatingHead:
            pango_layout_set_ellipsize(layout.get(), PANGO_ELLIPSIZE_START);
            break;
        case LineBreakMode::truncatingMiddle:
            pango_layout_set_ellipsize(layout.get(), PANGO_ELLIPSIZE_MIDDLE);
            break;
        case LineBreakMode::truncatingTail:
            pango_layout_set_ellipsize(layout.get(), PANGO_ELLIPSIZE_END);
            break;
        }
        switch (a.alignment.value_or(TextAlignment::natural)) {
        case TextAlignment::center:
            pango_layout_set_alignment(layout.get(), PANGO_ALIGN_CENTER);
            break;
        case TextAlignment::right:
            pango_layout_set_alignment(layout.get(), PANGO_ALIGN_RIGHT);
            break;
        case TextAlignment::justified:
            pango_layout_set_justify(layout.get(), true);
            break;
        default:
            pango_layout_set_alignment(layout.get(), PANGO_ALIGN_LEFT);
            break;
        }
    }
    return layout;
}

graphics::Size layoutSize(PangoLayout* layout)
{
    PangoRectangle logical {};
    pango_layout_get_extents(layout, nullptr, &logical);
    return graphics::Size{static_cast<double>(logical.width) / PANGO_SCALE,
                          static_cast<double>(logical.height) / PANGO_SCALE};
}

} // namespace detail

Font Font::systemFontOfSize(double size, double weight)
{
    Font f;
    f.m_size = size > 0 ? size : systemFontSize();
    f.m_weight = weight;
    return f;
}

Font Font::boldSystemFontOfSize(double size)
{
    return systemFontOfSize(size, FontWeight::bold);
}

Font Font::monospacedDigitSystemFontOfSize(double size, double weight)
{
    Font f = systemFontOfSize(size, weight);
    f.m_monospacedDigits = true;
    return f;
}

Font Font::userFixedPitchFontOfSize(double size)
{
    return fontWithName("DejaVu Sans Mono", size);
}

const std::string NSFontNameAttribute = "NSFontNameAttribute";
const std::string NSFontFamilyAttribute = "NSFontFamilyAttribute";

std::string Font::fallbackFamily(const std::string& family)
{
    // Liberation's faces have the same advance widths as these, so text set for them keeps
    // its line breaks and sizes here.
    static const std::pair<const char*, const char*> map[] = {
        {"Helvetica", "Liberation Sans"},       {"Helvetica Neue", "Liberation Sans"},
        {"HelveticaNeue", "Liberation Sans"},   {"Arial", "Liberation Sans"},
        {"ArialMT", "Liberation Sans"},         {"Times", "Liberation Serif"},
        {"Times New Roman", "Liberation Serif"}, {"TimesNewRomanPSMT", "Liberation Serif"},
        {"Courier", "Liberation Mono"},         {"Courier New", "Liberation Mono"},
        {"CourierNewPSMT", "Liberation Mono"},  {"DINAlternate", "DejaVu Sans Condensed"},
        {"DIN Alternate", "DejaVu Sans Condensed"},
    };
    for (const auto& [from, to] : map) {
        if (family == from)
            return to;
    }
    return family;
}

Font Font::fontWithName(const std::string& name, double size)
{
    Font f = systemFontOfSize(size);
    f.m_name = name;
    std::string family = name;
    const auto dash = name.rfind('-');
    if (dash != std::string::npos && dash > 0) {
        const std::string style = name.substr(dash + 1);
        const bool bold = style.find("Bold") != std::string::npos;
        const bool italic = style.find("Italic") != std::string::npos || style.find("Oblique") != std::string::npos;
        if (bold || italic || style == "Regular" || style == "Roman" || style == "Medium") {
            family = name.substr(0, dash);
            if (bold)
                f.m_weight = FontWeight::bold;
            if (style == "Medium")
                f.m_weight = FontWeight::medium;
            f.m_italic = italic;
        }
    }
    f.m_family = fallbackFamily(family);
    return f;
}

std::optional<Font> Font::fontWithDescriptor(const foundation::Value& attributes, double size)
{
    if (!std::isfinite(size) || size <= 0)
        return std::nullopt;
    if (const auto name = attributes[NSFontNameAttribute].stringValue(); name && !name->empty())
        return fontWithName(*name, size);
    if (const auto family = attributes[NSFontFamilyAttribute].stringValue(); family && !family->empty())
        return fontWithName(*family, size);
    return std::nullopt;
}

foundation::Value Font::fontDescriptorAttributes() const
{
    return foundation::Value::dictionary({{NSFontNameAttribute, fontName()}});
}

Font Font::withSize(double size) const
{
    Font f = *this;
    f.m_size = size;
    return f;
}

graphics::Size Font::sizeOfString(const std::string& text, double maxWidth) const
{
    TextAttributes a;
    a.font = *this;
    a.lineBreakMode = LineBreakMode::wordWrapping;
    auto layout = detail::makeLayout(nullptr, AttributedString(text, a), maxWidth);
    return detail::layoutSize(layout.get());
}

double Font::lineHeight() const
{
    return sizeOfString("Xg").height;
}

graphics::Size AttributedString::size(double maxWidth) const
{
    auto layout = detail::makeLayout(nullptr, *this, maxWidth);
    return detail::layoutSize(layout.get());
}

} // namespace ui
