#pragma once
// Fast sRGB transfer curves for the filter kernels (internal to Graphics): tables with linear
// interpolation inside 0...1, the exact curve outside. The encoding table is indexed by the
// square root of the linear value, which spends its entries where the eye sees steps.

#include <array>
#include <cmath>

#include "Platform/Graphics/FilterImage.h"

namespace graphics::detail {

constexpr int kTransferSteps = 4096;

struct TransferTables {
    std::array<float, kTransferSteps + 2> decode{}; // by encoded value
    std::array<float, kTransferSteps + 2> encode{}; // by sqrt(linear value)
    TransferTables()
    {
        for (int i = 0; i <= kTransferSteps + 1; ++i) {
            const float v = std::min(1.0f, float(i) / kTransferSteps);
            decode[size_t(i)] = srgbToLinear(v);
            encode[size_t(i)] = linearToSRGB(v * v);
        }
    }
};

inline const TransferTables& transferTables()
{
    static const TransferTables tables;
    return tables;
}

inline float lookUpTransfer(const std::array<float, kTransferSteps + 2>& table, float position)
{
    const float p = position * kTransferSteps;
    const int i = int(p);
    const float w = p - float(i);
    return table[size_t(i)] + (table[size_t(i) + 1] - table[size_t(i)]) * w;
}

inline float fastSRGBToLinear(float v)
{
    if (v >= 0.0f && v <= 1.0f)
        return lookUpTransfer(transferTables().decode, v);
    return v < 0 ? -srgbToLinear(-v) : srgbToLinear(v);
}

inline float fastLinearToSRGB(float v)
{
    if (v >= 0.0f && v <= 1.0f)
        return lookUpTransfer(transferTables().encode, std::sqrt(v));
    return v < 0 ? -linearToSRGB(-v) : linearToSRGB(v);
}

} // namespace graphics::detail
