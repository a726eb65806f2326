#pragma once
// The sun-over-the-hills scene that Quintor's resources and sample photographs are drawn
// from: one day, night to night, as `dayFraction` goes from 0 to 1 (0 and 1 look the same, so
// frames taken over the whole range loop without a jump). Drawn with cairo; deterministic.

#include <cairo.h>

namespace tools {

// Fills a `width` x `height` area of `cr` (user space, y down) with the scene.
void drawSunScape(cairo_t* cr, double width, double height, double dayFraction);

} // namespace tools
