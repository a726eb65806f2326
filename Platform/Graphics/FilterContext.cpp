#include "Platform/Graphics/FilterContext.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "Platform/Dispatch/Queue.h"
#include "Platform/Graphics/ColorProgramKernels.h"
#include "Platform/Graphics/FilterTransfer.h"
#include "Platform/Graphics/PixelCopy.h"

namespace graphics {

namespace {

constexpr int64_t kMaxSide = 16384;

// Runs `work(i)` for i in [0, count) on the calling thread and on pool helpers. The caller
// waits only for items that were taken, never for helpers that have not started yet, so a
// saturated pool merely leaves the caller to do the work alone.
void parallelFor(int64_t count, const std::function<void(int64_t)>& work)
{
    if (count <= 1) {
        if (count == 1)
            work(0);
        return;
    }
    struct State {
        std::atomic<int64_t> next{0};
        std::mutex mutex;
        std::condition_variable done;
        int64_t finished = 0;
        int64_t count = 0;
        std::function<void(int64_t)> work;
    };
    auto state = std::make_shared<State>();
    state->count = count;
    state->work = work;
    auto drain = [](const std::shared_ptr<State>& s) {
        for (;;) {
            const int64_t i = s->next.fetch_add(1);
            if (i >= s->count)
                return;
            s->work(i);
            std::lock_guard lock(s->mutex);
            if (++s->finished == s->count)
                s->done.notify_all();
        }
    };
    const int64_t helpers = std::min<int64_t>(count - 1, std::max(1u, std::thread::hardware_concurrency()) - 1);
    for (int64_t h = 0; h < helpers; ++h)
        dispatch::Queue::global(dispatch::QoS::UserInitiated)->async([state, drain] { drain(state); });
    drain(state);
    std::unique_lock lock(state->mutex);
    state->done.wait(lock, [&] { return state->finished == state->count; });
    // The helpers keep `state` alive; `work` refers to the caller's frame, so make sure no
    // late helper can call it.
    state->next.store(state->count);
}

template <class PerTile> void forEachTile(const PixelRect& bounds, const PerTile& perTile)
{
    const int64_t columns = (bounds.width + FilterContext::kTileWidth - 1) / FilterContext::kTileWidth;
    const int64_t rows = (bounds.height + FilterContext::kTileHeight - 1) / FilterContext::kTileHeight;
    parallelFor(columns * rows, [&](int64_t index) {
        const int64_t col = index % columns, row = index / columns;
        PixelRect region;
        region.x = bounds.x + col * FilterContext::kTileWidth;
        region.y = bounds.y + row * FilterContext::kTileHeight;
        region.width = std::min(FilterContext::kTileWidth, bounds.x + bounds.width - region.x);
        region.height = std::min(FilterContext::kTileHeight, bounds.y + bounds.height - region.y);
        // Every tile of a render has the same size: one buffer per thread serves them all.
        thread_local std::vector<float> storage;
        const size_t size = size_t(region.width * region.height) * 4;
        if (storage.size() < size)
            storage.resize(size);
        PixelTile tile{region, storage.data(), size_t(region.width) * 4};
        perTile(tile);
    });
}

} // namespace

bool FilterContext::render(const FilterImagePtr& image, uint8_t* base, size_t bytesPerRow, const PixelRect& bounds,
                           PixelFormat format, bool premultiplied) const
{
    detail::ByteOffsets o{};
    if (!image || !base || bounds.isEmpty() || !detail::byteOffsetsOf(format, o))
        return false;
    ByteTarget target;
    target.base = base;
    target.bytesPerRow = bytesPerRow;
    target.bounds = bounds;
    target.offsets[0] = o.r, target.offsets[1] = o.g, target.offsets[2] = o.b, target.offsets[3] = o.a;
    target.premultiplied = premultiplied;
    forEachTile(bounds, [&](const PixelTile& tile) {
        // Colour programs write bytes themselves, without a float tile in between.
        if (image->renderBytes(tile.region, target))
            return;
        image->render(tile);
        alignas(64) float planes[4][detail::kChunk];
        const detail::Planes p{{planes[0], planes[1], planes[2], planes[3]}};
        for (int64_t r = 0; r < tile.region.height; ++r) {
            const int64_t y = tile.region.y + r;
            for (int64_t x = 0; x < tile.region.width; x += detail::kChunk) {
                const int64_t count = std::min(detail::kChunk, tile.region.width - x);
                detail::loadFloatRun(tile.row(r) + x * 4, count, p);
                detail::storeByteRun(p, detail::PlaneState{}, count, target.pixel(tile.region.x + x, y), target.offsets,
                                     premultiplied);
            }
        }
    });
    return true;
}

std::vector<float> FilterContext::renderFloat(const FilterImagePtr& image, const PixelRect& bounds) const
{
    if (!image || bounds.isEmpty())
        return {};
    std::vector<float> pixels(size_t(bounds.width * bounds.height) * 4);
    forEachTile(bounds, [&](const PixelTile& tile) {
        image->render(tile);
        for (int64_t r = 0; r < tile.region.height; ++r)
            std::memcpy(pixels.data() + size_t((tile.region.y + r - bounds.y) * bounds.width + tile.region.x - bounds.x) * 4,
                        tile.row(r), size_t(tile.region.width) * 4 * sizeof(float));
    });
    return pixels;
}

ImagePtr FilterContext::createCGImage(const FilterImagePtr& image, const Rect& fromRect) const
{
    if (!image || fromRect.isNull() || fromRect.isInfinite() || fromRect.isEmpty())
        return nullptr;
    const PixelRect bounds = PixelRect::enclosing(fromRect);
    if (bounds.isEmpty() || bounds.width > kMaxSide || bounds.height > kMaxSide)
        return nullptr;
    const size_t stride = size_t(bounds.width) * 4;
    std::vector<uint8_t> bytes(stride * size_t(bounds.height));
    if (!render(image, bytes.data(), stride, bounds, PixelFormat::bgra8, true))
        return nullptr;
    return Image::create(size_t(bounds.width), size_t(bounds.height), 8, 32, stride,
                         ColorSpace::createWithName(kCGColorSpaceSRGB),
                         {AlphaInfo::premultipliedFirst, ByteOrder::order32Little}, std::move(bytes));
}

} // namespace graphics
