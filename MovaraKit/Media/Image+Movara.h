#pragma once
// Conversions between the user interface's images, bitmaps and filter images, and the
// rotate-and-crop step of the straighten tool. Any thread.

#include "Platform/Graphics/FilterImage.h"
#include "Platform/Graphics/Geometry.h"
#include "Platform/Graphics/Image.h"
#include "Platform/UI/Image.h"

// The bitmap of a user-interface image; none when it has none.
graphics::ImagePtr CGImage(const ui::ImagePtr& image);
// A user-interface image of the bitmap, sized to its pixels; none for no bitmap.
ui::ImagePtr imageWithCGImage(const graphics::ImagePtr& image);
// A filter image of the user-interface image's bitmap; none when it has none.
graphics::FilterImagePtr CIImage(const ui::ImagePtr& image);
// A user-interface image of the filter image, rendered over its extent and sized to it; none
// for no image or an extent that is empty, infinite or beyond what a bitmap can hold.
ui::ImagePtr imageWithCIImage(const graphics::FilterImagePtr& image);

// The image turned by `angle` radians (anticlockwise, y up) about the point (width / 2,
// height / 2) of its extent's size, then cropped to `cropRect`: a lazy image whose extent is
// the crop rectangle (where the turned image covers it). Callers give an image with a finite,
// non-empty extent; none for no image.
graphics::FilterImagePtr mvr_imageByApplyingRotation(const graphics::FilterImagePtr& image, double angle,
                                                     const graphics::Rect& cropRect);
