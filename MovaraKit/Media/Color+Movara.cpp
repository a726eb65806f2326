#include "MovaraKit/Media/Color+Movara.h"

graphics::Color mvr_RGB_colorWithR(double red, double green, double blue)
{
    return graphics::Color::sRGB(red / 255.0, green / 255.0, blue / 255.0, 1.0);
}

graphics::Color mvr_RGB_colorWithR(double red, double green, double blue, double alpha)
{
    return graphics::Color::sRGB(red / 255.0, green / 255.0, blue / 255.0, alpha / 255.0);
}

const std::vector<graphics::Color>& mvr_standardOverlayColorsPalette()
{
    static const std::vector<graphics::Color> palette = {
        mvr_RGB_colorWithR(219, 207, 255), mvr_RGB_colorWithR(232, 223, 81), mvr_RGB_colorWithR(208, 2, 27),
        mvr_RGB_colorWithR(126, 211, 33),  mvr_RGB_colorWithR(74, 144, 226),
    };
    return palette;
}

graphics::Color mvr_darkenedForOverlay(const graphics::Color& color)
{
    const graphics::Color::RGBA c = color.rgba();
    return graphics::Color::sRGB(c.red * 0.082191780821918, c.green * 0.004830917874396, c.blue * 0.266666666666667, 1.0);
}
