#include "Platform/Media/PixelBufferPool.h"

#include "Platform/Media/PixelBufferLayout.h"

#include <cstdlib>
#include <mutex>

namespace media {

namespace {

struct FreeDeleter {
    void operator()(uint8_t* p) const { std::free(p); }
};
using Block = std::unique_ptr<uint8_t, FreeDeleter>;

} // namespace

// Shared between the pool and the buffers it handed out, so a buffer that outlives its pool
// simply frees its memory instead of touching a dead pool.
struct PixelBufferPool::Storage {
    std::mutex mutex;
    std::vector<Block> free;
    size_t outstanding = 0;
    size_t minimumBufferCount = 0;

    void giveBack(Block block)
    {
        std::lock_guard lock(mutex);
        --outstanding;
        free.push_back(std::move(block));
    }
};

std::shared_ptr<PixelBufferPool> PixelBufferPool::create(const PixelBufferPoolAttributes& poolAttributes,
                                                         size_t width, size_t height, OSType format,
                                                         const PixelBufferAttributes& bufferAttributes)
{
    std::vector<detail::PlaneLayout> layout;
    size_t total = 0;
    if (!detail::computeLayout(width, height, format, bufferAttributes.bytesPerRowAlignment, layout, total))
        return nullptr;
    std::shared_ptr<PixelBufferPool> pool(new PixelBufferPool());
    pool->m_poolAttributes = poolAttributes;
    pool->m_bufferAttributes = bufferAttributes;
    pool->m_width = width;
    pool->m_height = height;
    pool->m_format = format;
    pool->m_storage = std::make_shared<Storage>();
    pool->m_storage->minimumBufferCount = poolAttributes.minimumBufferCount;
    return pool;
}

PixelBufferPool::~PixelBufferPool() = default;

PixelBufferPtr PixelBufferPool::createPixelBuffer(PixelBufferReturn* result)
{
    std::vector<detail::PlaneLayout> layout;
    size_t total = 0;
    detail::computeLayout(m_width, m_height, m_format, m_bufferAttributes.bytesPerRowAlignment, layout, total);

    Block block;
    {
        std::lock_guard lock(m_storage->mutex);
        if (!m_storage->free.empty()) {
            block = std::move(m_storage->free.back());
            m_storage->free.pop_back();
        }
        ++m_storage->outstanding;
    }
    if (!block) {
        const size_t a = m_bufferAttributes.bytesPerRowAlignment < 64 ? 64 : m_bufferAttributes.bytesPerRowAlignment;
        block.reset(static_cast<uint8_t*>(std::aligned_alloc(a, (total + a - 1) & ~(a - 1))));
        if (!block) {
            std::lock_guard lock(m_storage->mutex);
            --m_storage->outstanding;
            if (result)
                *result = ReturnAllocationFailed;
            return nullptr;
        }
    }
    uint8_t* memory = block.get();
    // std::function needs a copyable callable, so the block travels in a shared holder.
    auto holder = std::make_shared<Block>(std::move(block));
    std::weak_ptr<Storage> weakStorage = m_storage;
    auto release = [holder, weakStorage] {
        if (auto storage = weakStorage.lock())
            storage->giveBack(std::move(*holder));
    };
    if (result)
        *result = ReturnSuccess;
    return detail::makePixelBuffer(m_width, m_height, m_format, layout, memory, release, m_bufferAttributes);
}

void PixelBufferPool::flush()
{
    std::vector<Block> doomed;
    {
        std::lock_guard lock(m_storage->mutex);
        const size_t keepTotal = m_storage->minimumBufferCount;
        const size_t keepFree = keepTotal > m_storage->outstanding ? keepTotal - m_storage->outstanding : 0;
        while (m_storage->free.size() > keepFree) {
            doomed.push_back(std::move(m_storage->free.back()));
            m_storage->free.pop_back();
        }
    }
}

size_t PixelBufferPool::freeBufferCount() const
{
    std::lock_guard lock(m_storage->mutex);
    return m_storage->free.size();
}

} // namespace media
