#include "Platform/Graphics/Color.h"

#include <algorithm>
#include <cmath>

namespace graphics {

Color::Color() : m_space(ColorSpace::createDeviceGray()), m_components{0.0, 1.0} { }

std::optional<Color> Color::create(const ColorSpacePtr& space, const std::vector<double>& components)
{
    if (!space || space->model() == ColorSpaceModel::pattern || space->model() == ColorSpaceModel::unknown)
        return std::nullopt;
    if (components.size() != static_cast<size_t>(space->numberOfComponents()) + 1)
        return std::nullopt;
    return Color(space, components);
}

Color Color::genericRGB(double red, double green, double blue, double alpha)
{
    return Color(ColorSpace::createWithName(kCGColorSpaceGenericRGB), {red, green, blue, alpha});
}

Color Color::sRGB(double red, double green, double blue, double alpha)
{
    return Color(ColorSpace::createWithName(kCGColorSpaceSRGB), {red, green, blue, alpha});
}

Color Color::genericGray(double gray, double alpha)
{
    return Color(ColorSpace::createWithName(kCGColorSpaceGenericGrayGamma2_2), {gray, alpha});
}

Color Color::genericCMYK(double cyan, double magenta, double yellow, double black, double alpha)
{
    return Color(ColorSpace::createWithName(kCGColorSpaceGenericCMYK), {cyan, magenta, yellow, black, alpha});
}

Color Color::black() { return genericGray(0.0, 1.0); }
Color Color::white() { return genericGray(1.0, 1.0); }
Color Color::clear() { return genericGray(0.0, 0.0); }

Color Color::withAlpha(double alpha) const
{
    Color c = *this;
    if (!c.m_components.empty())
        c.m_components.back() = alpha;
    return c;
}

Color::RGBA Color::rgba() const
{
    RGBA out;
    out.alpha = std::clamp(alpha(), 0.0, 1.0);
    if (!m_space)
        return out;
    auto clamp01 = [](double v) { return std::clamp(std::isfinite(v) ? v : 0.0, 0.0, 1.0); };
    switch (m_space->model()) {
    case ColorSpaceModel::rgb:
        out.red = clamp01(m_components[0]);
        out.green = clamp01(m_components[1]);
        out.blue = clamp01(m_components[2]);
        return out;
    case ColorSpaceModel::monochrome:
        // Grey is drawn as its value on every channel, as grey images are.
        out.red = out.green = out.blue = clamp01(m_components[0]);
        return out;
    default: {
        // Through the space's own conversion, at 8 bits: plenty for a fill colour.
        const size_t n = static_cast<size_t>(m_space->numberOfComponents());
        uint8_t in[4] = {};
        for (size_t i = 0; i < n && i < 4; ++i) {
            // Lab a and b are signed in the profile's 8-bit form: 0...255 maps -128...127.
            in[i] = static_cast<uint8_t>(std::lround(clamp01(m_components[i]) * 255.0));
        }
        uint8_t rgb[3] = {};
        m_space->convertToSRGB8(in, 1, rgb);
        out.red = rgb[0] / 255.0;
        out.green = rgb[1] / 255.0;
        out.blue = rgb[2] / 255.0;
        return out;
    }
    }
}

bool Color::operator==(const Color& other) const
{
    if (m_components != other.m_components)
        return false;
    if (m_space == other.m_space)
        return true;
    return m_space && other.m_space && m_space->isEqual(*other.m_space);
}

} // namespace graphics
