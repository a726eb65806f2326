#pragma once
// The shell's image operations: images found by resource name in a bundle, tinted copies, a
// bitmap rendering of an image, its PNG and JPEG encodings, and a preview picture of a file.
// Main thread only.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Foundation/URL.h"
#include "Platform/Graphics/Image.h"
#include "Platform/UI/Color.h"
#include "Platform/UI/Image.h"

namespace foundation {
class Bundle;
}

// The image resource "name" (png, jpg, tiff, gif; a "@2x" variant preferred) of `bundle`;
// none when the bundle has none or it does not decode.
ui::ImagePtr mvr_imageForResource(const std::shared_ptr<foundation::Bundle>& bundle, const std::string& name);

// A copy of `image` with `color` painted over its opaque parts only (source-atop).
ui::ImagePtr mvr_imageTinted(const ui::Image& image, const ui::Color& color);

// The image drawn into an 8-bit RGBA bitmap of its size in points (truncated to whole
// pixels); none when that size is empty, not finite or absurdly large.
graphics::ImagePtr mvr_bitmapImageRep(const ui::Image& image);
// Encodings of that bitmap; none when there is no bitmap or the encoder refuses it.
std::optional<std::vector<uint8_t>> mvr_PNGRepresentation(const ui::Image& image);
std::optional<std::vector<uint8_t>> mvr_JPEGRepresentation(const ui::Image& image);

// A picture of the file: its quick-look thumbnail, else its own thumbnail, else the
// workspace's icon for it. None for a URL that is not a file URL.
ui::ImagePtr mvr_previewImageOfFileAtURL(const foundation::URL& url, graphics::Size size, bool asIcon, double scaleFactor);
