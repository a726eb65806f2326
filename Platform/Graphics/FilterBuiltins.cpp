// The built-in filters: each is a table of inputs and a function that builds its output from
// native kernels. Kernels work on premultiplied linear-sRGB floats; the ones whose controls
// are perceptual (colour controls, tone curve) work on sRGB-encoded values. A filter whose
// inputs all hold their identity values hands back its input image untouched.

#include "Platform/Graphics/FilterBuiltins.h"
#include "Platform/Graphics/ColorProgram.h"
#include "Platform/Graphics/FilterTransfer.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <map>

namespace graphics::detail {

namespace {

class BuiltinFilter;
using Builder = FilterImagePtr (*)(const BuiltinFilter&);

struct BuiltinDescription {
    FilterAttributes attributes;
    Builder build = nullptr;
};

class BuiltinFilter final : public Filter {
public:
    BuiltinFilter(const BuiltinDescription& description) : Filter(description.attributes), m_description(description) { }
    FilterImagePtr outputImage() const override { return m_description.build(*this); }

    using Filter::color;
    using Filter::image;
    using Filter::input;
    using Filter::number;
    using Filter::vector;

    // Every non-image input holds its identity value.
    bool isIdentity() const
    {
        for (const auto& in : attributes().inputs) {
            if (in.type == FilterInputType::image)
                continue;
            if (!in.identity.has_value() || !filterValuesEqual(input(in.key), in.identity))
                return false;
        }
        return true;
    }

private:
    const BuiltinDescription& m_description;
};

FilterInputAttributes numberInput(const std::string& key, const std::string& displayName, double value,
                                  std::optional<double> identity, double sliderMin, double sliderMax)
{
    FilterInputAttributes in;
    in.key = key;
    in.type = FilterInputType::number;
    in.displayName = displayName;
    in.defaultValue = value;
    if (identity)
        in.identity = *identity;
    in.sliderMin = sliderMin;
    in.sliderMax = sliderMax;
    return in;
}

FilterInputAttributes vectorInput(const std::string& key, const std::string& displayName, FilterVector value,
                                  bool identity)
{
    FilterInputAttributes in;
    in.key = key;
    in.type = FilterInputType::vector;
    in.displayName = displayName;
    in.defaultValue = value;
    if (identity)
        in.identity = value;
    return in;
}

FilterInputAttributes colorInput(const std::string& key, const std::string& displayName, Color value)
{
    FilterInputAttributes in;
    in.key = key;
    in.type = FilterInputType::color;
    in.displayName = displayName;
    in.defaultValue = value;
    return in;
}

FilterInputAttributes mainImage() { return FilterInputAttributes::image(kCIInputImageKey, "Image"); }

// ---- kernels --------------------------------------------------------------------------------

constexpr float kLumaR = 0.2126f, kLumaG = 0.7152f, kLumaB = 0.0722f;


FilterImagePtr oneInput(const FilterImagePtr& input, KernelFunction kernel)
{
    return FilterImage::imageWithKernel(input->extent(), {input}, std::move(kernel));
}

FilterImagePtr exposure(const BuiltinFilter& f)
{
    FilterImagePtr in = f.image(kCIInputImageKey);
    if (!in || f.isIdentity())
        return in;
    const float gain = float(std::exp2(f.number("inputEV")));
    return imageByApplyingColorStep(in, ColorStep::makeGain({gain, gain, gain}));
}

// Saturation mixes each sRGB-encoded component with the luma, then brightness is added and
// contrast stretches around the middle grey.
FilterImagePtr colorControls(const BuiltinFilter& f)
{
    FilterImagePtr in = f.image(kCIInputImageKey);
    if (!in || f.isIdentity())
        return in;
    return imageByApplyingColorStep(in, ColorStep::makeControls(float(f.number("inputSaturation")),
                                                                float(f.number("inputBrightness")),
                                                                float(f.number("inputContrast"))));
}

// The white of a light of `kelvin` with a green-magenta `tint`, as linear RGB of luminance 1.
std::array<float, 3> whitePoint(double kelvin, double tint)
{
    // A fit of the black-body colours in sRGB.
    const double t = std::clamp(kelvin, 1000.0, 40000.0) / 100.0;
    double r, g, b;
    if (t <= 66) {
        r = 255;
        g = 99.4708025861 * std::log(t) - 161.1195681661;
        b = t <= 19 ? 0 : 138.5177312231 * std::log(t - 10) - 305.0447927307;
    } else {
        r = 329.698727446 * std::pow(t - 60, -0.1332047592);
        g = 288.1221695283 * std::pow(t - 60, -0.0755148492);
        b = 255;
    }
    std::array<float, 3> w{};
    const double rgb[3] = {r, g, b};
    for (int k = 0; k < 3; ++k)
        w[size_t(k)] = srgbToLinear(float(std::clamp(rgb[k], 1.0, 255.0) / 255.0));
    // A positive tint is a light with less green in it.
    w[1] *= float(std::clamp(1.0 - tint * 0.002, 0.2, 2.0));
    const float luma = w[0] * kLumaR + w[1] * kLumaG + w[2] * kLumaB;
    for (auto& v : w)
        v /= luma;
    return w;
}

// The picture is taken to have been lit by `inputNeutral` and is corrected to look as if lit
// by `inputTargetNeutral`: a neutral above the target warms the picture.
FilterImagePtr temperatureAndTint(const BuiltinFilter& f)
{
    FilterImagePtr in = f.image(kCIInputImageKey);
    if (!in || f.isIdentity())
        return in;
    const FilterVector neutral = f.vector("inputNeutral"), target = f.vector("inputTargetNeutral");
    const auto from = whitePoint(neutral.x(), neutral.y()), to = whitePoint(target.x(), target.y());
    return imageByApplyingColorStep(in, ColorStep::makeGain({to[0] / from[0], to[1] / from[1], to[2] / from[2]}));
}

FilterImagePtr toneCurve(const BuiltinFilter& f)
{
    FilterImagePtr in = f.image(kCIInputImageKey);
    if (!in || f.isIdentity())
        return in;
    std::array<FilterVector, 5> points;
    for (int i = 0; i < 5; ++i)
        points[size_t(i)] = f.vector("inputPoint" + std::to_string(i));
    auto table = toneCurveTable(points);
    return imageByApplyingColorStep(in, ColorStep::makeCurves({table, table, table}));
}

// Darkens (or, with a negative intensity, lightens) towards the corners of the input's extent;
// a larger radius keeps more of the middle untouched.
FilterImagePtr vignette(const BuiltinFilter& f)
{
    FilterImagePtr in = f.image(kCIInputImageKey);
    if (!in || f.isIdentity())
        return in;
    const Rect e = in->extent();
    if (e.isInfinite() || e.isEmpty())
        return in;
    const float intensity = float(f.number("inputIntensity"));
    // The falloff is r^(2 radius) with r the distance from the middle over the half diagonal.
    const float halfExponent = std::max(0.05f, float(f.number("inputRadius")));
    const float cx = float(e.midX()), cy = float(e.midY());
    const float reach = float(std::hypot(e.width(), e.height()) / 2);
    return imageByApplyingColorStep(in, ColorStep::makeVignette(intensity, halfExponent, cx, cy, reach));
}

std::array<float, 3> linearRGB(const Color& color)
{
    const Color::RGBA c = color.rgba();
    return {fastSRGBToLinear(float(c.red)), fastSRGBToLinear(float(c.green)), fastSRGBToLinear(float(c.blue))};
}

// Dark areas take the first colour, light ones the second, by luminance.
FilterImagePtr falseColor(const BuiltinFilter& f)
{
    FilterImagePtr in = f.image(kCIInputImageKey);
    if (!in)
        return nullptr;
    const auto c0 = linearRGB(f.color("inputColor0")), c1 = linearRGB(f.color("inputColor1"));
    return oneInput(in, [c0, c1](const KernelRow& row) {
        const float* __restrict s = row.inputs[0];
        float* __restrict d = row.output;
        for (int64_t i = 0; i < row.count * 4; i += 4) {
            const float a = s[i + 3];
            const float luma = a > 0 ? std::clamp((s[i] * kLumaR + s[i + 1] * kLumaG + s[i + 2] * kLumaB) / a, 0.0f, 1.0f)
                                     : 0.0f;
            for (int k = 0; k < 3; ++k)
                d[i + k] = (c0[size_t(k)] + (c1[size_t(k)] - c0[size_t(k)]) * luma) * a;
            d[i + 3] = a;
        }
    });
}

// The image where the mask is opaque, the background where it is clear.
FilterImagePtr blendWithAlphaMask(const BuiltinFilter& f)
{
    FilterImagePtr in = f.image(kCIInputImageKey);
    if (!in)
        return nullptr;
    FilterImagePtr background = f.image(kCIInputBackgroundImageKey);
    FilterImagePtr mask = f.image("inputMaskImage");
    if (!mask)
        return nullptr;
    return imageByBlendingWithAlphaMask(in, background, mask);
}

FilterImagePtr sourceOver(const BuiltinFilter& f)
{
    FilterImagePtr in = f.image(kCIInputImageKey);
    if (!in)
        return nullptr;
    return in->imageByCompositingOverImage(f.image(kCIInputBackgroundImageKey));
}

// Each unpremultiplied component becomes the dot product of the pixel with its row, plus bias.
FilterImagePtr colorMatrix(const BuiltinFilter& f)
{
    FilterImagePtr in = f.image(kCIInputImageKey);
    if (!in || f.isIdentity())
        return in;
    std::array<float, 20> m{};
    const char* rows[5] = {"inputRVector", "inputGVector", "inputBVector", "inputAVector", "inputBiasVector"};
    for (size_t r = 0; r < 5; ++r) {
        const FilterVector v = f.vector(rows[r]);
        for (size_t c = 0; c < 4; ++c)
            m[r * 4 + c] = float(v.valueAtIndex(c));
    }
    return oneInput(in, [m](const KernelRow& row) {
        const float* __restrict s = row.inputs[0];
        float* __restrict d = row.output;
        for (int64_t i = 0; i < row.count * 4; i += 4) {
            const float a = s[i + 3];
            const float inv = a > 0 ? 1.0f / a : 0.0f;
            const float p[4] = {s[i] * inv, s[i + 1] * inv, s[i + 2] * inv, a};
            float o[4];
            for (size_t r = 0; r < 4; ++r)
                o[r] = m[r * 4] * p[0] + m[r * 4 + 1] * p[1] + m[r * 4 + 2] * p[2] + m[r * 4 + 3] * p[3] + m[16 + r];
            const float alpha = std::clamp(o[3], 0.0f, 1.0f);
            d[i] = o[0] * alpha, d[i + 1] = o[1] * alpha, d[i + 2] = o[2] * alpha, d[i + 3] = alpha;
        }
    });
}

const std::map<std::string, BuiltinDescription>& descriptions()
{
    static const std::map<std::string, BuiltinDescription> table = [] {
        std::map<std::string, BuiltinDescription> t;
        auto add = [&](const std::string& name, const std::string& displayName, std::vector<std::string> categories,
                       std::vector<FilterInputAttributes> inputs, Builder build) {
            t[name] = BuiltinDescription{FilterAttributes{name, displayName, std::move(categories), std::move(inputs)}, build};
        };
        const FilterVector white = FilterVector::make(6500, 0);
        add("CITemperatureAndTint", "Temperature and Tint", {"CICategoryColorAdjustment"},
            {mainImage(), vectorInput("inputNeutral", "Neutral", white, true),
             vectorInput("inputTargetNeutral", "Target Neutral", white, true)},
            temperatureAndTint);
        add("CIExposureAdjust", "Exposure Adjust", {"CICategoryColorAdjustment"},
            {mainImage(), numberInput("inputEV", "EV", 0, 0.0, -10, 10)}, exposure);
        add("CIColorControls", "Color Controls", {"CICategoryColorAdjustment"},
            {mainImage(), numberInput("inputSaturation", "Saturation", 1, 1.0, 0, 2),
             numberInput("inputBrightness", "Brightness", 0, 0.0, -1, 1),
             numberInput("inputContrast", "Contrast", 1, 1.0, 0.25, 4)},
            colorControls);
        std::vector<FilterInputAttributes> curve{mainImage()};
        for (int i = 0; i < 5; ++i)
            curve.push_back(vectorInput("inputPoint" + std::to_string(i), "Point " + std::to_string(i),
                                        FilterVector::make(i * 0.25, i * 0.25), true));
        add("CIToneCurve", "Tone Curve", {"CICategoryColorAdjustment"}, curve, toneCurve);
        add("CIVignette", "Vignette", {"CICategoryColorEffect"},
            {mainImage(), numberInput("inputIntensity", "Intensity", 0, 0.0, -1, 1),
             numberInput("inputRadius", "Radius", 1, 1.0, 0, 2)},
            vignette);
        add("CIFalseColor", "False Color", {"CICategoryColorEffect"},
            {mainImage(), colorInput("inputColor0", "Color 1", Color::sRGB(0.3, 0, 0)),
             colorInput("inputColor1", "Color 2", Color::sRGB(1, 0.9, 0.8))},
            falseColor);
        add("CIBlendWithAlphaMask", "Blend With Alpha Mask", {"CICategoryStylize"},
            {mainImage(), FilterInputAttributes::image(kCIInputBackgroundImageKey, "Background Image"), FilterInputAttributes::image("inputMaskImage", "Mask Image")},
            blendWithAlphaMask);
        add("CISourceOverCompositing", "Source Over Compositing", {"CICategoryCompositeOperation"},
            {mainImage(), FilterInputAttributes::image(kCIInputBackgroundImageKey, "Background Image")}, sourceOver);
        add("CIColorMatrix", "Color Matrix", {"CICategoryColorAdjustment"},
            {mainImage(), vectorInput("inputRVector", "Red Vector", FilterVector::make(1, 0, 0, 0), true),
             vectorInput("inputGVector", "Green Vector", FilterVector::make(0, 1, 0, 0), true),
             vectorInput("inputBVector", "Blue Vector", FilterVector::make(0, 0, 1, 0), true),
             vectorInput("inputAVector", "Alpha Vector", FilterVector::make(0, 0, 0, 1), true),
             vectorInput("inputBiasVector", "Bias Vector", FilterVector::make(0, 0, 0, 0), true)},
            colorMatrix);
        return t;
    }();
    return table;
}

} // namespace

const FilterAttributes* builtinFilterAttributes(const std::string& name)
{
    auto it = descriptions().find(name);
    return it == descriptions().end() ? nullptr : &it->second.attributes;
}

FilterPtr makeBuiltinFilter(const std::string& name)
{
    auto it = descriptions().find(name);
    if (it == descriptions().end())
        return nullptr;
    return std::make_shared<BuiltinFilter>(it->second);
}

} // namespace graphics::detail
