#pragma once
// Colours on the 0 to 255 scale and the mask-overlay palette with its darkened companions.
// Any thread; the palette is built once and shared.

#include "Platform/Graphics/Color.h"

#include <vector>

// Components (alpha too) divided by 255; the three-component form is opaque.
graphics::Color mvr_RGB_colorWithR(double red, double green, double blue);
graphics::Color mvr_RGB_colorWithR(double red, double green, double blue, double alpha);
// Five colours, the same vector on every call.
const std::vector<graphics::Color>& mvr_standardOverlayColorsPalette();
// Red, green and blue scaled by fixed factors, opaque whatever the colour's alpha.
graphics::Color mvr_darkenedForOverlay(const graphics::Color& color);
