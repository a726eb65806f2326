#pragma once
// Conversions between the user interface's images and bitmaps, and the rotate-and-crop step of
// the straighten tool. Any thread.
//
// There is no image-filter engine here, so the rotation and crop are drawn into a bitmap at
// once; the bitmap has no origin of its own, so the crop rectangle becomes its whole area.

#include "Platform/Graphics/Geometry.h"
#include "Platform/Graphics/Image.h"
#include "Platform/UI/Image.h"

// The bitmap of a user-interface image; none when it has none.
graphics::ImagePtr CGImage(const ui::ImagePtr& image);
// A user-interface image of the bitmap, sized to its pixels; none for no bitmap.
ui::ImagePtr imageWithCGImage(const graphics::ImagePtr& image);

// The image turned by `angle` radians (anticlockwise, y up) about the point (width / 2,
// height / 2), then cut to `cropRect`; both in the image's own coordinates, origin at its
// bottom-left corner. The result is the crop rectangle (rounded to whole pixels), transparent
// where the turned image does not reach. None for no image, an empty image or a crop rectangle
// that is null, infinite, empty or unreasonably large.
graphics::ImagePtr mvr_imageByApplyingRotation(const graphics::ImagePtr& image, double angle,
                                               const graphics::Rect& cropRect);
