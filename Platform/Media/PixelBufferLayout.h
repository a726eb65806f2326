#pragma once
// Internal to the pixel-buffer code: plane geometry and building a buffer over known memory.

#include "Platform/Media/PixelBuffer.h"

namespace media::detail {

struct PlaneLayout {
    size_t offset = 0;
    size_t bytesPerRow = 0;
    size_t width = 0;
    size_t height = 0;
    size_t bytesPerPixel = 0;
};

bool isPlanarFormat(OSType format);
bool computeLayout(size_t width, size_t height, OSType format, size_t alignment, std::vector<PlaneLayout>& out,
                   size_t& totalBytes);
std::shared_ptr<PixelBuffer> makePixelBuffer(size_t width, size_t height, OSType format,
                                             const std::vector<PlaneLayout>& layout, uint8_t* memory,
                                             PixelBuffer::ReleaseCallback release,
                                             const PixelBufferAttributes& attributes);

} // namespace media::detail
