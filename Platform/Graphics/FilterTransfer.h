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

// With the tables at hand (kernels fetch them once, outside their loops).
inline float fastSRGBToLinear(const TransferTables& t, float v)
{
    if (v >= 0.0f && v <= 1.0f)
        return lookUpTransfer(t.decode, v);
    return v < 0 ? -srgbToLinear(-v) : srgbToLinear(v);
}

inline float fastLinearToSRGB(const TransferTables& t, float v)
{
    if (v >= 0.0f && v <= 1.0f)
        return lookUpTransfer(t.encode, std::sqrt(v));
    return v < 0 ? -linearToSRGB(-v) : linearToSRGB(v);
}

inline float fastSRGBToLinear(float v)
{
    return fastSRGBToLinear(transferTables(), v);
}

inline float fastLinearToSRGB(float v)
{
    return fastLinearToSRGB(transferTables(), v);
}

// Runs `colour(in, out)` on the unpremultiplied colour (three floats) of each pixel of a
// one-input kernel row and premultiplies the result again; clear pixels stay clear.
template <class Colour> inline void forEachUnpremultiplied(const KernelRow& row, const Colour& colour)
{
    const float* __restrict s = row.inputs[0];
    float* __restrict d = row.output;
    for (int64_t i = 0; i < row.count * 4; i += 4) {
        const float a = s[i + 3];
        if (!(a > 0.0f)) {
            d[i] = d[i + 1] = d[i + 2] = d[i + 3] = 0.0f;
            continue;
        }
        const float inverse = a == 1.0f ? 1.0f : 1.0f / a;
        const float in[3] = {s[i] * inverse, s[i + 1] * inverse, s[i + 2] * inverse};
        float out[3];
        colour(in, out);
        d[i] = out[0] * a, d[i + 1] = out[1] * a, d[i + 2] = out[2] * a, d[i + 3] = a;
    }
}

} // namespace graphics::detail
