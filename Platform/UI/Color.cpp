#include "Platform/UI/Color.h"

namespace ui {

namespace {

struct Shade {
    double r, g, b, a;
};

// The flat light and dark palettes. Greys are neutral; the accent is the platform's blue.
Shade shadeOf(SystemColor name, bool dark)
{
    switch (name) {
    case SystemColor::label:
    case SystemColor::controlText:
    case SystemColor::text:
        return dark ? Shade{1, 1, 1, 0.85} : Shade{0, 0, 0, 0.85};
    case SystemColor::secondaryLabel:
        return dark ? Shade{1, 1, 1, 0.55} : Shade{0, 0, 0, 0.5};
    case SystemColor::tertiaryLabel:
    case SystemColor::disabledControlText:
    case SystemColor::placeholderText:
        return dark ? Shade{1, 1, 1, 0.25} : Shade{0, 0, 0, 0.26};
    case SystemColor::quaternaryLabel:
        return dark ? Shade{1, 1, 1, 0.1} : Shade{0, 0, 0, 0.1};
    case SystemColor::selectedControlText:
        return Shade{1, 1, 1, 1};
    case SystemColor::control:
        return dark ? Shade{0.39, 0.39, 0.39, 1} : Shade{1, 1, 1, 1};
    case SystemColor::controlBackground:
    case SystemColor::textBackground:
        return dark ? Shade{0.12, 0.12, 0.12, 1} : Shade{1, 1, 1, 1};
    case SystemColor::controlShadow:
        return dark ? Shade{0, 0, 0, 1} : Shade{0.5, 0.5, 0.5, 1};
    case SystemColor::windowBackground:
        return dark ? Shade{0.2, 0.2, 0.2, 1} : Shade{0.93, 0.93, 0.93, 1};
    case SystemColor::separator:
    case SystemColor::gridColor:
        return dark ? Shade{1, 1, 1, 0.1} : Shade{0, 0, 0, 0.1};
    case SystemColor::keyboardFocusIndicator:
        return dark ? Shade{0.1, 0.52, 1, 0.5} : Shade{0, 0.4, 1, 0.25};
    case SystemColor::controlAccent:
        return dark ? Shade{0.04, 0.52, 1, 1} : Shade{0, 0.48, 1, 1};
    case SystemColor::titleBar:
        return dark ? Shade{0.16, 0.16, 0.16, 1} : Shade{0.9, 0.9, 0.9, 1};
    case SystemColor::systemYellow:
        return dark ? Shade{1, 0.839, 0.039, 1} : Shade{1, 0.8, 0, 1};
    case SystemColor::none:
        break;
    }
    return Shade{0, 0, 0, 1};
}

} // namespace

Color Color::calibratedRGB(double red, double green, double blue, double alpha)
{
    return Color(graphics::Color::genericRGB(red, green, blue, alpha));
}

Color Color::deviceRGB(double red, double green, double blue, double alpha)
{
    return Color(graphics::Color::sRGB(red, green, blue, alpha));
}

Color Color::calibratedWhite(double white, double alpha)
{
    return Color(graphics::Color::genericGray(white, alpha));
}

Color Color::deviceWhite(double white, double alpha)
{
    return Color(graphics::Color::genericGray(white, alpha));
}

Color Color::system(SystemColor name)
{
    Color c;
    c.m_system = name;
    return c;
}

graphics::Color Color::resolved(const AppearancePtr& appearance) const
{
    graphics::Color base = m_fixed;
    if (m_system != SystemColor::none) {
        const Shade s = shadeOf(m_system, appearance && appearance->isDark());
        base = graphics::Color::sRGB(s.r, s.g, s.b, s.a);
    }
    if (m_alphaOverride)
        base = base.withAlpha(*m_alphaOverride);
    return base;
}

double Color::alphaComponent() const
{
    return resolved().alpha();
}

Color Color::withAlphaComponent(double alpha) const
{
    Color c = *this;
    c.m_alphaOverride = alpha;
    return c;
}

bool Color::operator==(const Color& other) const
{
    return m_system == other.m_system && m_alphaOverride == other.m_alphaOverride
        && (m_system != SystemColor::none || m_fixed == other.m_fixed);
}

} // namespace ui
