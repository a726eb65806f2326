#include "Platform/Graphics/FilterKernel.h"

#include <map>
#include <mutex>

namespace graphics {

namespace {

struct Natives {
    std::mutex mutex;
    std::map<std::string, KernelFunction> bySource;
};

Natives& natives()
{
    static Natives* n = new Natives; // asked for by filters made during exit too
    return *n;
}

} // namespace

void ColorKernel::registerNativeKernel(const std::string& source, KernelFunction native)
{
    auto& n = natives();
    std::lock_guard lock(n.mutex);
    n.bySource[source] = std::move(native);
}

ColorKernelPtr ColorKernel::kernelWithString(const std::string& source)
{
    auto& n = natives();
    std::lock_guard lock(n.mutex);
    auto it = n.bySource.find(source);
    if (it == n.bySource.end())
        return nullptr;
    return std::make_shared<ColorKernel>(source, it->second);
}

FilterImagePtr ColorKernel::applyWithExtent(const Rect& extent, const std::vector<FilterImagePtr>& arguments) const
{
    return FilterImage::imageWithKernel(extent, arguments, m_native);
}

} // namespace graphics
