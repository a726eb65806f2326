#pragma once
// Colour adjustments that run fused: each filter of the colour family adds a step to a program
// instead of a kernel of its own, and a chain of them (a mask blend of two pictures, white
// balance, exposure, colour controls, tone curves, a vignette) renders in one pass over each
// tile, vectorised, reading 8-bit bitmaps and writing 8-bit pixels without the float tiles in
// between. Results match the step-by-step kernels to well within one 8-bit level.
//
// Programs are immutable images like any other; adding a step makes a new one. Any thread.

#include <array>
#include <memory>
#include <vector>

#include "Platform/Graphics/FilterImage.h"

namespace graphics {

struct ColorStep {
    enum class Kind {
        gain,     // linear light times `gain` per channel (exposure, white balance)
        controls, // saturation, brightness and contrast of the sRGB-encoded colour
        curves,   // a curve per channel of the sRGB-encoded colour (clamped to 0...1 first)
        vignette, // darkens towards the corners of the program's extent
    };
    Kind kind = Kind::gain;
    std::array<float, 3> gain{1, 1, 1};
    float saturation = 1, brightness = 0, contrast = 1;
    // From encoded value (0...1, evenly spaced entries, linear in between) to linear light;
    // none leaves the channel as it is.
    std::array<std::shared_ptr<const std::vector<float>>, 3> curves;
    // Factor max(0, 1 - intensity * min(1, r^2)^halfExponent), r the distance of the pixel's
    // centre from (centerX, centerY) over `reach`.
    float intensity = 0, halfExponent = 1, centerX = 0, centerY = 0, reach = 1;

    static ColorStep makeGain(std::array<float, 3> gain);
    static ColorStep makeControls(float saturation, float brightness, float contrast);
    static ColorStep makeCurves(std::array<std::shared_ptr<const std::vector<float>>, 3> curves);
    static ColorStep makeVignette(float intensity, float halfExponent, float centerX, float centerY, float reach);
};

// `image` with `step` applied to every pixel (its extent); none for no image. A program
// image takes the step into its own pass.
FilterImagePtr imageByApplyingColorStep(const FilterImagePtr& image, const ColorStep& step);

// `image` where the mask's alpha is 1, `background` where it is 0, mixed in between (all four
// components, premultiplied linear light); the extent is that of both pictures together.
// Steps applied to the result run in the same pass as the blend.
FilterImagePtr imageByBlendingWithAlphaMask(const FilterImagePtr& image, const FilterImagePtr& background,
                                            const FilterImagePtr& mask);

// Curve tables as ColorStep::curves takes them.
std::shared_ptr<const std::vector<float>> toneCurveTable(std::array<FilterVector, 5> points);

} // namespace graphics
