#pragma once
// A font: family, size in points, weight, and whether digits are set at one width (for
// counters that must not jitter). Measured and drawn through pango. A plain value; any thread.

#include <string>

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
    static Font fontWithName(const std::string& family, double size);

    static double systemFontSize() { return 13.0; }
    static double smallSystemFontSize() { return 11.0; }
    static double labelFontSize() { return 10.0; }

    const std::string& familyName() const { return m_family; }
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
    std::string m_family = "DejaVu Sans";
    double m_size = 13.0;
    double m_weight = FontWeight::regular;
    bool m_monospacedDigits = false;
};

} // namespace ui
