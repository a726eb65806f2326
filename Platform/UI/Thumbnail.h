#pragma once
// File thumbnails: the quick-look service's picture of a file, and the thumbnail a file may
// carry as a resource value. This desktop offers neither, so both answer none and
// isThumbnailServiceAvailable() is false; callers fall back to the file's icon. Any thread.

#include <string>

#include "Platform/Foundation/URL.h"
#include "Platform/Graphics/Geometry.h"
#include "Platform/UI/Image.h"

namespace ui {

bool isThumbnailServiceAvailable();
// A thumbnail of the file of at most `pixelSize`, drawn as an icon when `asIcon`.
ImagePtr quickLookThumbnailImage(const std::string& path, graphics::Size pixelSize, bool asIcon);
// The file's own thumbnail resource (a promised item's).
ImagePtr thumbnailResourceOfURL(const foundation::URL& url);

} // namespace ui
