// Throughput of the image-filter engine on a 24-megapixel frame (6000 x 4000) through the
// cinemagraph filter graph's normal path: mask blend of video over still, the adjustment
// chain, the vignette, rendered into 8-bit BGRA on all cores. Reported as megapixels per
// second; compare the identity graph (the blend alone) with a graph whose adjustments all work.
#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

#include "MovaraKit/Cinemagraph/MVRFilterGraph.h"
#include "Platform/Graphics/FilterContext.h"

namespace {

constexpr int kWidth = 6000, kHeight = 4000;

graphics::FilterImagePtr picture(uint8_t seed, bool mask)
{
    std::vector<uint8_t> bytes(size_t(kWidth) * kHeight * 4);
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x) {
            uint8_t* p = &bytes[(size_t(y) * kWidth + x) * 4];
            if (mask) {
                const bool painted = std::hypot(x - kWidth / 2, y - kHeight / 2) < kHeight / 3;
                p[0] = p[1] = p[2] = p[3] = painted ? 255 : 0;
            } else {
                p[0] = uint8_t(x * 255 / kWidth + seed), p[1] = uint8_t(y * 255 / kHeight), p[2] = uint8_t((x ^ y) + seed);
                p[3] = 255;
            }
        }
    auto image = graphics::Image::create(kWidth, kHeight, 8, 32, size_t(kWidth) * 4,
                                         graphics::ColorSpace::createWithName(graphics::kCGColorSpaceSRGB),
                                         {graphics::AlphaInfo::premultipliedLast, graphics::ByteOrder::orderDefault},
                                         std::move(bytes));
    return graphics::FilterImage::imageWithCGImage(image);
}

void renderGraph(benchmark::State& state, bool adjusted)
{
    static const auto video = picture(0, false), still = picture(90, false), mask = picture(0, true);
    auto graph = MVRFilterGraph::init();
    if (adjusted) {
        graph->exposureFilter()->setValue(0.3, "inputEV");
        graph->tempTintFilter()->setValue(graphics::FilterVector::make(7200, 5), "inputNeutral");
        graph->colorControlsFilter()->setValue(1.1, "inputContrast");
        graph->toneCurveFilter()->setValue(graphics::FilterVector::make(0.5, 0.55), "inputPoint2");
        graph->rgbToneCurveFilter()->setValue(graphics::FilterVector::make(0.5, 0.47), "inputBluePoint2");
        graph->saturationColorControlsFilter()->setValue(1.2, "inputSaturation");
        graph->vignetteFilter()->setValue(0.4, "inputIntensity");
    }
    std::vector<uint8_t> out(size_t(kWidth) * kHeight * 4);
    auto context = graphics::FilterContext::create();
    for (auto _ : state) {
        graph->setInputVideoImage(video);
        graph->setInputStillImage(still);
        graph->setInputMaskImage(mask);
        context->render(graph->outputImage(), out.data(), size_t(kWidth) * 4, {0, 0, kWidth, kHeight},
                        graphics::PixelFormat::bgra8, true);
        benchmark::DoNotOptimize(out.data());
    }
    state.counters["MP/s"] = benchmark::Counter(double(kWidth) * kHeight / 1e6 * double(state.iterations()),
                                                benchmark::Counter::kIsRate);
}

void BM_FilterGraphNormalPathIdentity(benchmark::State& state) { renderGraph(state, false); }
void BM_FilterGraphNormalPathAdjusted(benchmark::State& state) { renderGraph(state, true); }

} // namespace

BENCHMARK(BM_FilterGraphNormalPathIdentity)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_FilterGraphNormalPathAdjusted)->Unit(benchmark::kMillisecond)->UseRealTime();
