#pragma once
// A user-interface colour: either a fixed colour or a named system colour (label, control
// background, accent, ...) that takes its value from the appearance it is drawn in, so one
// colour serves the light and the dark look. A plain value; any thread.

#include <optional>

#include "Platform/Graphics/Color.h"
#include "Platform/UI/Appearance.h"

namespace ui {

enum class SystemColor {
    none,
    label,
    secondaryLabel,
    tertiaryLabel,
    quaternaryLabel,
    controlText,
    disabledControlText,
    selectedControlText,
    control,
    controlBackground,
    controlShadow,
    windowBackground,
    textBackground,
    text,
    separator,
    gridColor,
    keyboardFocusIndicator,
    controlAccent,
    placeholderText,
    titleBar,
    systemYellow,
};

class Color {
public:
    Color() = default; // opaque black
    Color(const graphics::Color& fixed) : m_fixed(fixed) { }

    static Color calibratedRGB(double red, double green, double blue, double alpha = 1.0);
    static Color deviceRGB(double red, double green, double blue, double alpha = 1.0);
    static Color calibratedWhite(double white, double alpha = 1.0);
    static Color deviceWhite(double white, double alpha = 1.0);
    static Color system(SystemColor name);

    static Color black() { return calibratedWhite(0); }
    static Color white() { return calibratedWhite(1); }
    static Color clear() { return calibratedWhite(0, 0); }
    static Color labelColor() { return system(SystemColor::label); }
    static Color secondaryLabelColor() { return system(SystemColor::secondaryLabel); }
    static Color tertiaryLabelColor() { return system(SystemColor::tertiaryLabel); }
    static Color quaternaryLabelColor() { return system(SystemColor::quaternaryLabel); }
    static Color controlTextColor() { return system(SystemColor::controlText); }
    static Color disabledControlTextColor() { return system(SystemColor::disabledControlText); }
    static Color controlColor() { return system(SystemColor::control); }
    static Color controlBackgroundColor() { return system(SystemColor::controlBackground); }
    static Color controlShadowColor() { return system(SystemColor::controlShadow); }
    static Color windowBackgroundColor() { return system(SystemColor::windowBackground); }
    static Color textBackgroundColor() { return system(SystemColor::textBackground); }
    static Color textColor() { return system(SystemColor::text); }
    static Color separatorColor() { return system(SystemColor::separator); }
    static Color keyboardFocusIndicatorColor() { return system(SystemColor::keyboardFocusIndicator); }
    static Color controlAccentColor() { return system(SystemColor::controlAccent); }
    static Color placeholderTextColor() { return system(SystemColor::placeholderText); }
    static Color systemYellowColor() { return system(SystemColor::systemYellow); }

    bool isSystemColor() const { return m_system != SystemColor::none; }
    SystemColor systemColor() const { return m_system; }

    // The colour as drawn in `appearance` (light when none).
    graphics::Color resolved(const AppearancePtr& appearance = nullptr) const;
    graphics::Color::RGBA rgba(const AppearancePtr& appearance = nullptr) const { return resolved(appearance).rgba(); }
    double alphaComponent() const;
    Color withAlphaComponent(double alpha) const;

    bool operator==(const Color& other) const;

private:
    graphics::Color m_fixed;
    SystemColor m_system = SystemColor::none;
    std::optional<double> m_alphaOverride;
};

} // namespace ui
