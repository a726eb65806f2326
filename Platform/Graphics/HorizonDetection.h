#pragma once
// Finds the horizon of a picture: the dominant long, straight, near-horizontal edge. The
// picture is reduced to a grey image of at most 256 pixels a side; edge pixels whose gradient
// points mostly up or down vote, Hough-style, for lines within 45 degrees of horizontal; the
// strongest line wins when it runs across at least half the picture's width.
// Pure; any thread.

#include <optional>

#include "Platform/Graphics/Image.h"

namespace graphics {

// The horizon's tilt in radians, y up, counter-clockwise positive (a horizon rising to the
// right is positive); none when the picture has no such line.
std::optional<double> detectHorizonAngle(const Image& image);

} // namespace graphics
