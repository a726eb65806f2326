#pragma once
// A colour: components in a colour space, alpha last. A plain value; any thread.

#include <optional>
#include <vector>

#include "Platform/Graphics/ColorSpace.h"

namespace graphics {

class Color {
public:
    Color(); // opaque black in device grey
    // nullptr-like empty optional when the space is missing, a pattern space, or the number of
    // components is not the space's count plus one (alpha).
    static std::optional<Color> create(const ColorSpacePtr& space, const std::vector<double>& components);

    // Named constructors (components 0...1).
    static Color genericRGB(double red, double green, double blue, double alpha = 1.0);
    static Color sRGB(double red, double green, double blue, double alpha = 1.0);
    static Color genericGray(double gray, double alpha = 1.0);
    static Color genericCMYK(double cyan, double magenta, double yellow, double black, double alpha = 1.0);
    static Color black();
    static Color white();
    static Color clear();

    const ColorSpacePtr& colorSpace() const { return m_space; }
    const std::vector<double>& components() const { return m_components; }
    size_t numberOfComponents() const { return m_components.size(); }
    double alpha() const { return m_components.empty() ? 1.0 : m_components.back(); }
    Color withAlpha(double alpha) const;

    struct RGBA { double red = 0, green = 0, blue = 0, alpha = 1; };
    // The colour as sRGB-ish device components for drawing: RGB spaces pass through as they
    // are, grey is replicated, CMYK and Lab go through their profile (or the naive formula).
    RGBA rgba() const;

    bool operator==(const Color& other) const;

private:
    Color(ColorSpacePtr space, std::vector<double> components)
        : m_space(std::move(space)), m_components(std::move(components)) { }

    ColorSpacePtr m_space;
    std::vector<double> m_components;
};

} // namespace graphics
