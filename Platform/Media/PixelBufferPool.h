#pragma once
// Recycles pixel buffers of one size and format: a buffer handed out returns its memory to the
// pool when its last reference goes, so steady streams of frames stop allocating. Thread-safe.

#include "Platform/Media/PixelBuffer.h"

#include <memory>

namespace media {

struct PixelBufferPoolAttributes {
    // Memory of at least this many buffers is kept when the pool is flushed.
    size_t minimumBufferCount = 0;
};

class PixelBufferPool {
public:
    // nullptr for a zero size or unknown format.
    static std::shared_ptr<PixelBufferPool> create(const PixelBufferPoolAttributes& poolAttributes, size_t width,
                                                   size_t height, OSType format,
                                                   const PixelBufferAttributes& bufferAttributes = {});
    ~PixelBufferPool();

    // A buffer with recycled (not cleared) or fresh memory and only the pool's attachments.
    PixelBufferPtr createPixelBuffer(PixelBufferReturn* result = nullptr);
    // Frees the memory of buffers not in use, beyond the minimum buffer count.
    void flush();

    size_t width() const { return m_width; }
    size_t height() const { return m_height; }
    OSType pixelFormatType() const { return m_format; }
    const PixelBufferPoolAttributes& attributes() const { return m_poolAttributes; }
    const PixelBufferAttributes& pixelBufferAttributes() const { return m_bufferAttributes; }
    // Memory blocks the pool holds for reuse right now.
    size_t freeBufferCount() const;

private:
    struct Storage;
    PixelBufferPool() = default;

    PixelBufferPoolAttributes m_poolAttributes;
    PixelBufferAttributes m_bufferAttributes;
    size_t m_width = 0;
    size_t m_height = 0;
    OSType m_format = 0;
    std::shared_ptr<Storage> m_storage;
};

using PixelBufferPoolPtr = std::shared_ptr<PixelBufferPool>;

} // namespace media
