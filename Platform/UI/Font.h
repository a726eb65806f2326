#pragma once
// A font: family, size in points, weight, slant, and whether digits are set at one width (for
// counters that must not jitter). Measured and drawn through pango. A plain value; any thread.
//
// Fonts named the platform's way ("Helvetica", "Helvetica-Bold", "Times-Italic") keep that
// name, which documents store, and draw with the metric-compatible Debian family
// (fonts-liberation) or, for families we have no match for, the system face.

#include <optional>
#include <string>

#include "Platform/Foundation/Value.h"
#include "Platform/Graphics/Geometry.h"

namespace ui {

// The platform's weights, -1 (ultra light) to 1 (black).
namespace FontWeight {
inline constexpr double ultraLight = -0.8;
inline constexpr double light = -0.4;
inline constexpr double regular = 0.0;
inline constexpr double medium = 0.23;
inline constexpr double semibold = 0.3;
inline constexpr double bold = 0.4;
inline constexpr double heavy = 0.56;
} // namespace FontWeight

class Font {
public:
    Font() = default;
    static Font systemFontOfSize(double size, double weight = FontWeight::regular);
    static Font boldSystemFontOfSize(double size);
    static Font monospacedDigitSystemFontOfSize(double size, double weight = FontWeight::regular);
    static Font userFixedPitchFontOfSize(double size);
    // A font by PostScript-style name ("Family-Style", style one of Bold, Italic, Oblique,
    // BoldItalic, BoldOblique) or by family name.
    static Font fontWithName(const std::string& name, double size);
    // The font a descriptor's attributes describe (NSFontNameAttribute, else
    // NSFontFamilyAttribute); none when they name nothing.
    static std::optional<Font> fontWithDescriptor(const foundation::Value& attributes, double size);
    // The Debian family drawn for a platform family name ("Helvetica" -> "Liberation Sans").
    static std::string fallbackFamily(const std::string& family);

    static double systemFontSize() { return 13.0; }
    static double smallSystemFontSize() { return 11.0; }
    static double labelFontSize() { return 10.0; }

    const std::string& familyName() const { return m_family; }
    // The name the font was asked for by (the family when it was made otherwise).
    const std::string& fontName() const { return m_name.empty() ? m_family : m_name; }
    // {NSFontNameAttribute: fontName()}: what rebuilds this font with fontWithDescriptor.
    foundation::Value fontDescriptorAttributes() const;
    bool isItalic() const { return m_italic; }
    double pointSize() const { return m_size; }
    double weight() const { return m_weight; }
    bool isBold() const { return m_weight >= FontWeight::semibold; }
    bool hasMonospacedDigits() const { return m_monospacedDigits; }
    Font withSize(double size) const;

    // The size that `text` takes on one line (or wrapped to `maxWidth` when it is positive).
    graphics::Size sizeOfString(const std::string& text, double maxWidth = 0) const;
    // Ascender plus descender: the natural height of one line.
    double lineHeight() const;

    bool operator==(const Font& other) const = default;

private:
    std::string m_name;
    std::string m_family = "DejaVu Sans";
    double m_size = 13.0;
    double m_weight = FontWeight::regular;
    bool m_monospacedDigits = false;
    bool m_italic = false;
};

extern const std::string NSFontNameAttribute;   // "NSFontNameAttribute"
extern const std::string NSFontFamilyAttribute; // "NSFontFamilyAttribute"

} // namespace ui
