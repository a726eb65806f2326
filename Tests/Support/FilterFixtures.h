#pragma once
// Tiny pictures for the filter tests, and a way to read their pixels back.

#include <functional>
#include <string>

#include "Platform/Graphics/FilterImage.h"
#include "Platform/Graphics/Image.h"

namespace filtertest {

// A w x h sRGB bitmap of `pixel(x, y)` (not premultiplied), row 0 at the top.
graphics::ImagePtr bitmap(int w, int h, const std::function<graphics::Image::RGBA8(int x, int y)>& pixel);
// One colour everywhere.
graphics::FilterImagePtr solid(int w, int h, graphics::Image::RGBA8 colour);
// A gradient whose channels all move differently.
graphics::FilterImagePtr gradient(int w, int h);
// The image rendered over its extent (or `rect`).
graphics::ImagePtr render(const graphics::FilterImagePtr& image);
graphics::ImagePtr render(const graphics::FilterImagePtr& image, const graphics::Rect& rect);
// Largest difference of any channel of any pixel.
int maxDifference(const graphics::ImagePtr& a, const graphics::ImagePtr& b);
// Writes a PNG into $QUINTOR_FILTER_SNAPSHOT_DIR when that is set, for a person to look at.
void keepSnapshot(const graphics::ImagePtr& image, const std::string& name);

} // namespace filtertest
