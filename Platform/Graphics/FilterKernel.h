#pragma once
// Colour kernels written in the platform's kernel language are kept as their source text; a
// library that ships one also registers a native function that computes the same thing, and
// "compiling" the text finds that function. Any thread.

#include <memory>
#include <string>
#include <vector>

#include "Platform/Graphics/FilterImage.h"

namespace graphics {

class ColorKernel;
using ColorKernelPtr = std::shared_ptr<const ColorKernel>;

class ColorKernel {
public:
    // Makes `native` the compiled form of exactly this source text.
    static void registerNativeKernel(const std::string& source, KernelFunction native);
    // The kernel for the text; none when no native equivalent was registered for it.
    static ColorKernelPtr kernelWithString(const std::string& source);

    const std::string& source() const { return m_source; }
    // The kernel run over `extent` with one sample of each argument image per pixel; none
    // when an argument is missing.
    FilterImagePtr applyWithExtent(const Rect& extent, const std::vector<FilterImagePtr>& arguments) const;

    ColorKernel(std::string source, KernelFunction native) : m_source(std::move(source)), m_native(std::move(native)) { }

private:
    std::string m_source;
    KernelFunction m_native;
};

} // namespace graphics
