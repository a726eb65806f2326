#include "Platform/UI/Thumbnail.h"

namespace ui {

bool isThumbnailServiceAvailable()
{
    return false;
}

ImagePtr quickLookThumbnailImage(const std::string&, graphics::Size, bool)
{
    return nullptr;
}

ImagePtr thumbnailResourceOfURL(const foundation::URL&)
{
    return nullptr;
}

} // namespace ui
