#pragma once
// Small helpers on filter images and filters used by the filter graph and the cinemagraph
// reader. Stateless; any thread (a filter itself belongs to one thread at a time).

#include "Platform/Graphics/Filter.h"
#include "Platform/Graphics/FilterImage.h"

// Every pixel's alpha multiplied by `alpha` clamped to 0...1 (a colour matrix); none for no image.
graphics::FilterImagePtr mvr_imageWithAlpha(const graphics::FilterImagePtr& image, double alpha);
// Stretched (each axis on its own) to fill (0, 0, size.width, size.height).
graphics::FilterImagePtr mvr_imageWithSize(const graphics::FilterImagePtr& image, graphics::Size size);
// Moved, unscaled, so that it sits centred in `bounds` on whole pixels (rounded down).
graphics::FilterImagePtr mvr_imageByCenteringInBounds(const graphics::FilterImagePtr& image, const graphics::Rect& bounds);
// Every input back to its default, then to its identity value where it has one.
void mvr_reset(graphics::Filter& filter);
