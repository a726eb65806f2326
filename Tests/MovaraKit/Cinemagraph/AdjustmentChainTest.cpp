// The cinemagraph graph's blend and adjustments run as one fused pass; these tests hold it to
// what the filters compute one after another, written out plainly below, pixel by pixel.

#include "MovaraKit/Cinemagraph/MVRFilterGraph.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <vector>

#include "MovaraKit/Cinemagraph/FilterImage+Movara.h"
#include "Platform/Graphics/ColorProgram.h"
#include "Platform/Graphics/FilterContext.h"
#include "Tests/Support/FilterFixtures.h"

using graphics::FilterImagePtr;
using graphics::FilterVector;

namespace {

// Wider than a run of the vector code and taller than a render tile, so seams show.
constexpr int kW = 300, kH = 70;

struct Pixel {
    float c[4];
};

float encode(float v) { return v < 0 ? -graphics::linearToSRGB(-v) : graphics::linearToSRGB(v); }
float decode(float v) { return v < 0 ? -graphics::srgbToLinear(-v) : graphics::srgbToLinear(v); }

// Runs `colour` on the pixel's unpremultiplied colour; clear pixels stay clear.
void unpremultiplied(Pixel& p, const std::function<void(float*)>& colour)
{
    const float a = p.c[3];
    if (!(a > 0.0f)) {
        p = Pixel{{0, 0, 0, 0}};
        return;
    }
    const float inverse = a == 1.0f ? 1.0f : 1.0f / a;
    float c[3] = {p.c[0] * inverse, p.c[1] * inverse, p.c[2] * inverse};
    colour(c);
    for (int k = 0; k < 3; ++k)
        p.c[k] = c[k] * a;
}

void colourControls(Pixel& p, float saturation, float brightness, float contrast)
{
    unpremultiplied(p, [&](float* c) {
        float e[3];
        for (int k = 0; k < 3; ++k)
            e[k] = encode(c[k]);
        const float luma = e[0] * 0.2126f + e[1] * 0.7152f + e[2] * 0.0722f;
        for (int k = 0; k < 3; ++k) {
            float v = luma + (e[k] - luma) * saturation;
            v += brightness;
            v = (v - 0.5f) * contrast + 0.5f;
            c[k] = decode(v);
        }
    });
}

float lookUp(const std::vector<float>& table, float v)
{
    const float p = std::clamp(v, 0.0f, 1.0f) * float(table.size() - 1);
    const size_t i = std::min(size_t(p), table.size() - 2);
    return table[i] + (table[i + 1] - table[i]) * (p - float(i));
}

// A curve per channel (none: untouched), on the encoded value of the clamped colour.
void curves(Pixel& p, const std::array<std::shared_ptr<const std::vector<float>>, 3>& tables)
{
    unpremultiplied(p, [&](float* c) {
        for (int k = 0; k < 3; ++k)
            if (tables[size_t(k)])
                c[k] = lookUp(*tables[size_t(k)], encode(std::clamp(c[k], 0.0f, 1.0f)));
    });
}

uint8_t toByte(float v)
{
    if (!(v > 0.0f))
        return 0;
    if (v >= 1.0f)
        return 255;
    return uint8_t(v * 255.0f + 0.5f);
}

// 8-bit sRGB as the renderer has always written it.
std::array<uint8_t, 4> toBytes(const Pixel& p, bool premultiplied)
{
    const float a = std::clamp(p.c[3], 0.0f, 1.0f);
    std::array<uint8_t, 4> out{};
    for (int k = 0; k < 3; ++k) {
        if (a >= 1.0f)
            out[size_t(k)] = uint8_t(std::lround(encode(std::clamp(p.c[k], 0.0f, 1.0f)) * 255.0f));
        else if (a > 0.0f)
            out[size_t(k)] = toByte(encode(std::clamp(p.c[k] / a, 0.0f, 1.0f)) * (premultiplied ? a : 1.0f));
    }
    out[3] = toByte(a);
    return out;
}

struct Settings {
    float ev = 1.2f;
    FilterVector neutral = FilterVector::make(7600, 12);
    float saturation = 0.8f, brightness = 0.05f, contrast = 1.3f;
    std::array<FilterVector, 5> redCurve{FilterVector::make(0, 0.05), FilterVector::make(0.25, 0.3), FilterVector::make(0.5, 0.55),
                                         FilterVector::make(0.75, 0.8), FilterVector::make(1, 0.95)};
    std::array<FilterVector, 5> toneCurve{FilterVector::make(0, 0), FilterVector::make(0.25, 0.2), FilterVector::make(0.5, 0.5),
                                          FilterVector::make(0.75, 0.82), FilterVector::make(1, 1)};
    float secondSaturation = 1.4f;
    float vignetteIntensity = 0.6f, vignetteRadius = 1.5f;
};

void applySettings(MVRFilterGraph& graph, const Settings& s)
{
    graph.exposureFilter()->setValue(double(s.ev), "inputEV");
    graph.tempTintFilter()->setValue(s.neutral, "inputNeutral");
    graph.colorControlsFilter()->setValue(double(s.saturation), "inputSaturation");
    graph.colorControlsFilter()->setValue(double(s.brightness), "inputBrightness");
    graph.colorControlsFilter()->setValue(double(s.contrast), "inputContrast");
    for (int i = 0; i < 5; ++i) {
        graph.rgbToneCurveFilter()->setValue(s.redCurve[size_t(i)], "inputRedPoint" + std::to_string(i));
        graph.toneCurveFilter()->setValue(s.toneCurve[size_t(i)], "inputPoint" + std::to_string(i));
    }
    graph.saturationColorControlsFilter()->setValue(double(s.secondSaturation), "inputSaturation");
    graph.vignetteFilter()->setValue(double(s.vignetteIntensity), "inputIntensity");
    graph.vignetteFilter()->setValue(double(s.vignetteRadius), "inputRadius");
}

std::vector<float> floats(const FilterImagePtr& image)
{
    return graphics::FilterContext().renderFloat(image, {0, 0, kW, kH});
}

// The white balance's gains, read off a white picture through the filter alone.
std::array<float, 3> whiteBalanceGains(const FilterVector& neutral)
{
    auto filter = graphics::Filter::filterWithName("CITemperatureAndTint");
    filter->setValue(neutral, "inputNeutral");
    filter->setValue(filtertest::solid(1, 1, {255, 255, 255, 255}), graphics::kCIInputImageKey);
    const auto white = graphics::FilterContext().renderFloat(filter->outputImage(), {0, 0, 1, 1});
    return {white[0], white[1], white[2]};
}

// The frame the seven filters make one after another, from the pictures as the engine reads them.
std::vector<uint8_t> expectedFrame(const FilterImagePtr& video, const FilterImagePtr& still, const FilterImagePtr& mask,
                                   const Settings& s, bool premultiplied)
{
    const auto v = floats(video), st = floats(still), m = floats(mask);
    const auto balance = whiteBalanceGains(s.neutral);
    const float exposure = std::exp2(s.ev);
    const auto red = graphics::toneCurveTable(s.redCurve), tone = graphics::toneCurveTable(s.toneCurve);
    const float cx = kW / 2.0f, cy = kH / 2.0f, reach = float(std::hypot(kW, kH) / 2);
    std::vector<uint8_t> bytes(size_t(kW) * kH * 4);
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) {
            const size_t i = (size_t(y) * kW + size_t(x)) * 4;
            const float w = std::clamp(m[i + 3], 0.0f, 1.0f);
            Pixel p;
            for (int k = 0; k < 4; ++k)
                p.c[k] = v[i + size_t(k)] * w + st[i + size_t(k)] * (1 - w);
            for (int k = 0; k < 3; ++k)
                p.c[k] *= balance[size_t(k)];
            for (int k = 0; k < 3; ++k)
                p.c[k] *= exposure;
            colourControls(p, s.saturation, s.brightness, s.contrast);
            curves(p, {red, nullptr, nullptr});
            curves(p, {tone, tone, tone});
            colourControls(p, s.secondSaturation, 0, 1);
            const float dx = (float(x) + 0.5f - cx) / reach, dy = (float(y) + 0.5f - cy) / reach;
            const float r2 = std::min(1.0f, dx * dx + dy * dy);
            const float falloff = s.vignetteRadius == 1.0f ? r2 : std::pow(r2, s.vignetteRadius);
            const float factor = std::max(0.0f, 1.0f - s.vignetteIntensity * falloff);
            for (int k = 0; k < 3; ++k)
                p.c[k] *= factor;
            const auto out = toBytes(p, premultiplied);
            // Floats are bottom row first, bytes top row first.
            std::copy(out.begin(), out.end(), bytes.begin() + std::ptrdiff_t((size_t(kH - 1 - y) * kW + size_t(x)) * 4));
        }
    return bytes;
}

// Straight alpha, except where noted: mostly opaque, with dark, bright and saturated colours.
FilterImagePtr video()
{
    return graphics::FilterImage::imageWithCGImage(filtertest::bitmap(kW, kH, [](int x, int y) {
        return graphics::Image::RGBA8{uint8_t((x * 7 + y * 3) % 256), uint8_t((x * x / 7 + y * 11) % 256),
                                      uint8_t(x < 40 ? (x + y) % 12 : 255 - (x * y) % 256), 255};
    }));
}

// Premultiplied, with rows partly and wholly transparent.
FilterImagePtr premultipliedStill(int w, int h)
{
    std::vector<uint8_t> bytes(size_t(w) * size_t(h) * 4);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            uint8_t* p = &bytes[(size_t(y) * size_t(w) + size_t(x)) * 4];
            const int a = y < 8 ? 0 : y < 20 ? 40 + x % 200 : 255;
            const int c[3] = {(x * 3) % 256, 250 - (y * 3) % 200, (x + 2 * y) % 256};
            for (int k = 0; k < 3; ++k)
                p[k] = uint8_t(c[k] * a / 255);
            p[3] = uint8_t(a);
        }
    return graphics::FilterImage::imageWithCGImage(
        graphics::Image::create(size_t(w), size_t(h), 8, 32, size_t(w) * 4, graphics::ColorSpace::createWithName(graphics::kCGColorSpaceSRGB),
                                {graphics::AlphaInfo::premultipliedLast, graphics::ByteOrder::orderDefault}, std::move(bytes)));
}

// Painted inside an ellipse with a soft edge, clear outside.
FilterImagePtr softMask()
{
    return graphics::FilterImage::imageWithCGImage(filtertest::bitmap(kW, kH, [](int x, int y) {
        const double d = std::hypot((x - kW * 0.45) / (kW * 0.3), (y - kH * 0.5) / (kH * 0.4));
        return graphics::Image::RGBA8{255, 255, 255, uint8_t(std::clamp((1.2 - d) * 5 * 255, 0.0, 255.0))};
    }));
}

struct ChainCase {
    const char* name;
    Settings settings;
    int stillWidth; // the still is stretched to the video's size when it differs
    bool premultiplied;
};

} // namespace

TEST(AdjustmentChain, FusedPassMatchesTheFiltersRunOneAfterAnotherWithinOneLevel)
{
    Settings darkening;
    darkening.vignetteRadius = 1; // the plain falloff
    Settings brightening;
    brightening.ev = -0.7f;
    brightening.contrast = 0.6f;
    brightening.brightness = -0.1f;
    brightening.saturation = 1.6f;
    brightening.secondSaturation = 0.3f;
    brightening.vignetteIntensity = -0.5f; // lightens towards the corners
    brightening.toneCurve = {FilterVector::make(0, 0.1), FilterVector::make(0.3, 0.2), FilterVector::make(0.5, 0.6),
                             FilterVector::make(0.8, 0.7), FilterVector::make(1, 0.9)};
    const ChainCase cases[] = {
        {"all steps, premultiplied output", Settings{}, kW, true},
        {"plain vignette, straight output", darkening, kW, false},
        {"lightening vignette, stretched still", brightening, 97, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const FilterImagePtr v = video(), s = premultipliedStill(c.stillWidth, kH), m = softMask();
        auto graph = MVRFilterGraph::init();
        applySettings(*graph, c.settings);
        graph->setInputVideoImage(v);
        graph->setInputStillImage(s);
        graph->setInputMaskImage(m);
        std::vector<uint8_t> actual(size_t(kW) * kH * 4);
        ASSERT_TRUE(graphics::FilterContext().render(graph->outputImage(), actual.data(), size_t(kW) * 4, {0, 0, kW, kH},
                                                     graphics::PixelFormat::rgba8, c.premultiplied));
        const auto expected = expectedFrame(v, mvr_imageWithSize(s, {double(kW), double(kH)}), m, c.settings, c.premultiplied);
        int worst = 0;
        size_t worstAt = 0;
        for (size_t i = 0; i < actual.size(); ++i) {
            const int d = std::abs(int(actual[i]) - int(expected[i]));
            if (d > worst)
                worst = d, worstAt = i;
        }
        EXPECT_LE(worst, 1) << "pixel " << worstAt / 4 % kW << ", " << worstAt / 4 / kW << " channel " << worstAt % 4
                            << ": " << int(actual[worstAt]) << " instead of " << int(expected[worstAt]);

        // The steps did change the picture: the blend alone is far from it.
        auto plain = MVRFilterGraph::init();
        plain->setInputVideoImage(v);
        plain->setInputStillImage(s);
        plain->setInputMaskImage(m);
        std::vector<uint8_t> blended(actual.size());
        graphics::FilterContext().render(plain->outputImage(), blended.data(), size_t(kW) * 4, {0, 0, kW, kH},
                                         graphics::PixelFormat::rgba8, c.premultiplied);
        int changed = 0;
        for (size_t i = 0; i < actual.size(); ++i)
            changed = std::max(changed, std::abs(int(actual[i]) - int(blended[i])));
        EXPECT_GT(changed, 40);
    }
}

TEST(AdjustmentChain, FloatRendersMatchTheBytes)
{
    // What the next filter sees (floats) and what lands in a frame (bytes) are the same picture.
    const FilterImagePtr v = video(), s = premultipliedStill(kW, kH), m = softMask();
    auto graph = MVRFilterGraph::init();
    applySettings(*graph, Settings{});
    graph->setInputVideoImage(v);
    graph->setInputStillImage(s);
    graph->setInputMaskImage(m);
    const auto image = graph->outputImage();
    std::vector<uint8_t> direct(size_t(kW) * kH * 4), viaFloats(direct.size());
    graphics::FilterContext().render(image, direct.data(), size_t(kW) * 4, {0, 0, kW, kH}, graphics::PixelFormat::rgba8, true);
    // The floats as a picture of their own reach the bytes through the generic encoder.
    const auto floatsOnly = graphics::FilterImage::imageWithPixels(kW, kH, floats(image));
    ASSERT_TRUE(floatsOnly);
    graphics::FilterContext().render(floatsOnly, viaFloats.data(), size_t(kW) * 4, {0, 0, kW, kH},
                                     graphics::PixelFormat::rgba8, true);
    int worst = 0;
    for (size_t i = 0; i < direct.size(); ++i)
        worst = std::max(worst, std::abs(int(direct[i]) - int(viaFloats[i])));
    EXPECT_LE(worst, 1);
}
