#pragma once
// The vectorised loops behind colour programs and 8-bit output (internal to Graphics). They
// work on a run of at most kChunk pixels held as four planes (red, green, blue, alpha), so a
// whole program runs over pixels that stay in the first-level cache; each picks the widest
// instruction set the processor has when first called.

#include <cstddef>
#include <cstdint>

#include "Platform/Graphics/FilterImage.h"

namespace graphics::detail {

constexpr int64_t kChunk = 256; // a multiple of the widest vector

struct Planes {
    float* c[4]; // red, green, blue, alpha; kChunk floats each, 64-byte aligned
};

// Where a colour run stands between operations: premultiplied or not, linear light or
// sRGB-encoded.
struct PlaneState {
    bool premultiplied = true;
    bool encoded = false;
};

struct ProgramOp {
    // vignetteEncoded: the vignette's factor applied in linear light to encoded colour, which
    // stays encoded.
    enum class Kind { unpremultiply, toEncoded, toLinear, gain, controls, curves, vignette, vignetteEncoded };
    Kind kind = Kind::gain;
    float gain[3] = {1, 1, 1};
    float saturation = 1, brightness = 0, contrast = 1;
    // Encoded to encoded over kCurveSteps + 1 entries; null leaves the channel alone.
    const float* curves[3] = {nullptr, nullptr, nullptr};
    float intensity = 0, halfExponent = 1, centerX = 0, centerY = 0, reach = 1;
};
constexpr int kCurveSteps = 4096;

// 8-bit pixels of a bitmap, premultiplied linear light as the bitmap image reads them: `count`
// pixels from `src`. Only alpha when `alphaOnly`.
void decodeBitmapRun(const BitmapPixels& bitmap, const uint8_t* src, int64_t count, const Planes& out, bool alphaOnly);
// The same pixels as unpremultiplied sRGB-encoded colour times `gain` in linear light: opaque
// pixels through `tables` (256 entries a channel, already encoded), others computed.
void decodeBitmapRunEncoded(const BitmapPixels& bitmap, const uint8_t* src, int64_t count, const Planes& out,
                            const float* const tables[3], const float gain[3]);
// Premultiplied float RGBA pixels into planes.
void loadFloatRun(const float* rgba, int64_t count, const Planes& out);
// 1 when every mask alpha is at least 1, 2 when every one is at most 0, else 0.
int classifyMask(const float* alpha, int64_t count);
// image = image * w + background * (1 - w), w the mask's alpha clamped to 0...1.
void blendRun(const Planes& image, const Planes& background, const float* maskAlpha, int64_t count);
// Runs the operations in order; (x, y) is the first pixel's corner.
void runOps(const ProgramOp* ops, size_t opCount, const Planes& planes, int64_t count, int64_t x, int64_t y);
// Back to premultiplied linear float RGBA.
void storeFloatRun(const Planes& planes, PlaneState state, int64_t count, float* rgba);
// To 8-bit sRGB at the byte offsets given (all four bytes written), premultiplied or not;
// values clamp to 0...1.
void storeByteRun(const Planes& planes, PlaneState state, int64_t count, uint8_t* dst, const int offsets[4],
                  bool premultiplied);

// The exact sRGB curves the vector code uses, for building tables.
float encodeExact(float linear);
float decodeExact(float encoded);

} // namespace graphics::detail
