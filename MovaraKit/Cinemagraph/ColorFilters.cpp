#include "MovaraKit/Cinemagraph/ColorFilters.h"

#include <array>
#include <mutex>

#include "Platform/Graphics/ColorProgram.h"

#include "Platform/Foundation/Error.h"

const std::string MVRRGBChannelCompositingKernelSource =
    "kernel vec4 rgbChannelCompositing(__sample red, __sample green, __sample blue) {    return vec4(red.r, "
    "green.g, blue.b, (red.a + green.a + blue.a) / 3.0);\n}";

namespace {

using graphics::FilterInputAttributes;
using graphics::FilterInputType;
using graphics::FilterVector;

const char* const kChannels[] = {"Red", "Green", "Blue"};

const graphics::FilterAttributes& compositingAttributes()
{
    static const graphics::FilterAttributes attributes{
        "RGBChannelCompositing",
        "RGB Compositing",
        {"Custom"},
        {FilterInputAttributes::image("inputRedImage", "Red Image"), FilterInputAttributes::image("inputGreenImage", "Green Image"),
         FilterInputAttributes::image("inputBlueImage", "Blue Image")}};
    return attributes;
}

// The identity curve, shared by every channel.
const FilterVector& defaultPoint(int index)
{
    static const FilterVector points[5] = {FilterVector::make(0, 0), FilterVector::make(0.25, 0.25),
                                           FilterVector::make(0.5, 0.5), FilterVector::make(0.75, 0.75),
                                           FilterVector::make(1, 1)};
    return points[index];
}

const graphics::FilterAttributes& toneCurveAttributes()
{
    static const graphics::FilterAttributes attributes = [] {
        graphics::FilterAttributes a{"RGBToneCurve", "RGB Tone Curve", {"Custom"}, {FilterInputAttributes::image("inputImage", "Image")}};
        for (const char* channel : kChannels)
            for (int i = 0; i < 5; ++i) {
                FilterInputAttributes input;
                input.key = RGBToneCurve::pointKey(channel, i);
                input.type = FilterInputType::vector;
                input.displayName = std::string(channel) + " Point " + std::to_string(i);
                input.defaultValue = defaultPoint(i);
                a.inputs.push_back(std::move(input));
            }
        return a;
    }();
    return attributes;
}

// What the compositing kernel computes, on premultiplied samples as the kernel sees them.
void compositeChannels(const graphics::KernelRow& row)
{
    const float* __restrict red = row.inputs[0];
    const float* __restrict green = row.inputs[1];
    const float* __restrict blue = row.inputs[2];
    float* __restrict out = row.output;
    for (int64_t i = 0; i < row.count * 4; i += 4) {
        out[i] = red[i];
        out[i + 1] = green[i + 1];
        out[i + 2] = blue[i + 2];
        out[i + 3] = (red[i + 3] + green[i + 3] + blue[i + 3]) / 3.0f;
    }
}

void registerNativeKernels()
{
    static std::once_flag once;
    std::call_once(once, [] { graphics::ColorKernel::registerNativeKernel(MVRRGBChannelCompositingKernelSource, compositeChannels); });
}

} // namespace

// ---- RGBChannelCompositing ------------------------------------------------------------------

RGBChannelCompositing::RGBChannelCompositing() : Filter(compositingAttributes())
{
    registerNativeKernels();
    m_kernel = graphics::ColorKernel::kernelWithString(MVRRGBChannelCompositingKernelSource);
}

std::shared_ptr<RGBChannelCompositing> RGBChannelCompositing::init()
{
    return std::make_shared<RGBChannelCompositing>();
}

void RGBChannelCompositing::setDefaults()
{
    Filter::setDefaults();
    setInputRedImage(nullptr);
    setInputGreenImage(nullptr);
    setInputBlueImage(nullptr);
}

graphics::FilterImagePtr RGBChannelCompositing::outputImage() const
{
    auto red = inputRedImage(), green = inputGreenImage(), blue = inputBlueImage();
    if (!red || !green || !blue || !m_kernel)
        return nullptr;
    if (red == blue && blue == green)
        return red;
    const graphics::Rect extent = red->extent().unionWith(green->extent()).unionWith(blue->extent());
    return m_kernel->applyWithExtent(extent, {red, green, blue});
}

// ---- RGBToneCurve ---------------------------------------------------------------------------

RGBToneCurve::RGBToneCurve() : Filter(toneCurveAttributes()) { }

std::shared_ptr<RGBToneCurve> RGBToneCurve::init()
{
    return std::make_shared<RGBToneCurve>();
}

std::string RGBToneCurve::pointKey(const std::string& channel, int index)
{
    return "input" + channel + "Point" + std::to_string(index);
}

void RGBToneCurve::setDefaults()
{
    Filter::setDefaults();
    for (const char* channel : kChannels)
        for (int i = 0; i < 5; ++i)
            setValue(defaultPoint(i), pointKey(channel, i));
}

graphics::FilterImagePtr RGBToneCurve::outputImage() const
{
    auto in = inputImage();
    if (!in)
        return nullptr;
    // Each channel through its own curve in one pass; a channel whose curve is the identity
    // keeps its values as they are (beyond 0...1 too).
    std::array<std::shared_ptr<const std::vector<float>>, 3> tables;
    for (int c = 0; c < 3; ++c) {
        std::array<FilterVector, 5> points;
        bool identity = true;
        for (int i = 0; i < 5; ++i) {
            const std::any value = input(pointKey(kChannels[c], i));
            const auto* point = std::any_cast<FilterVector>(&value);
            points[size_t(i)] = point ? *point : defaultPoint(i);
            identity = identity && points[size_t(i)] == defaultPoint(i);
        }
        if (!identity)
            tables[size_t(c)] = graphics::toneCurveTable(points);
    }
    return graphics::imageByApplyingColorStep(in, graphics::ColorStep::makeCurves(tables));
}

// ---- constructor ----------------------------------------------------------------------------

graphics::FilterPtr MovaraKitFilterConstructor::filterWithName(const std::string& name)
{
    if (name == "RGBChannelCompositing")
        return RGBChannelCompositing::init();
    if (name == "RGBToneCurve")
        return RGBToneCurve::init();
    return nullptr;
}

void MovaraKitFilterConstructor::registerFilters()
{
    static std::once_flag once;
    std::call_once(once, [] {
        auto constructor = std::make_shared<MovaraKitFilterConstructor>();
        const auto attributes = foundation::Value::dictionary({{graphics::kCIAttributeFilterCategories, "Custom"}});
        graphics::Filter::registerFilterName("RGBChannelCompositing", constructor, attributes);
        graphics::Filter::registerFilterName("RGBToneCurve", constructor, attributes);
        graphics::Filter::registerCodingClass();
        for (const char* name : {"RGBChannelCompositing", "RGBToneCurve"}) {
            foundation::KeyedArchiver::registerClass(foundation::CodingClass{
                name, {"CIFilter"}, true, 0, [name = std::string(name)](foundation::KeyedUnarchiver& coder) -> foundation::CodingPtr {
                    graphics::FilterPtr filter = MovaraKitFilterConstructor().filterWithName(name);
                    if (!filter || !graphics::Filter::decodeInputs(*filter, coder))
                        return nullptr;
                    return filter;
                }});
        }
    });
}
