// Throughput of the image-filter engine on a 24-megapixel frame (6000 x 4000) through the
// cinemagraph filter graph's normal path: mask blend of video over still, the adjustment
// chain, the vignette, rendered into 8-bit BGRA on all cores. Reported as megapixels per
// second; compare the identity graph (the blend alone) with a graph whose adjustments all work.
//
// BM_FilterGraphBlendThenAdjusted renders the two graphs in turn, frame after frame, so both
// see the same load on a shared machine, and reports the ratio of their speeds by wall time
// and by the process's CPU time (the steadier figure when other work competes for the cores),
// with the load average. Run it with --benchmark_repetitions=5 for medians.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
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

MVRFilterGraphPtr makeGraph(bool adjusted)
{
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
    return graph;
}

const graphics::FilterImagePtr& video() { static const auto image = picture(0, false); return image; }
const graphics::FilterImagePtr& still() { static const auto image = picture(90, false); return image; }
const graphics::FilterImagePtr& mask() { static const auto image = picture(0, true); return image; }

void renderOnce(const MVRFilterGraphPtr& graph, const graphics::FilterContextPtr& context, std::vector<uint8_t>& out)
{
    graph->setInputVideoImage(video());
    graph->setInputStillImage(still());
    graph->setInputMaskImage(mask());
    context->render(graph->outputImage(), out.data(), size_t(kWidth) * 4, {0, 0, kWidth, kHeight},
                    graphics::PixelFormat::bgra8, true);
    benchmark::DoNotOptimize(out.data());
}

void renderGraph(benchmark::State& state, bool adjusted)
{
    auto graph = makeGraph(adjusted);
    std::vector<uint8_t> out(size_t(kWidth) * kHeight * 4);
    auto context = graphics::FilterContext::create();
    for (auto _ : state)
        renderOnce(graph, context, out);
    state.counters["MP/s"] = benchmark::Counter(double(kWidth) * kHeight / 1e6 * double(state.iterations()),
                                                benchmark::Counter::kIsRate);
}

double processSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

double wallSeconds()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double loadAverage()
{
    double load = 0;
    if (FILE* f = std::fopen("/proc/loadavg", "r")) {
        if (std::fscanf(f, "%lf", &load) != 1)
            load = 0;
        std::fclose(f);
    }
    return load;
}

void BM_FilterGraphBlendThenAdjusted(benchmark::State& state)
{
    const auto identity = makeGraph(false), adjusted = makeGraph(true);
    std::vector<uint8_t> out(size_t(kWidth) * kHeight * 4);
    auto context = graphics::FilterContext::create();
    double wall[2] = {0, 0}, cpu[2] = {0, 0};
    const double load = loadAverage();
    for (auto _ : state) {
        for (int k = 0; k < 2; ++k) {
            const double w0 = wallSeconds(), c0 = processSeconds();
            renderOnce(k == 0 ? identity : adjusted, context, out);
            wall[k] += wallSeconds() - w0, cpu[k] += processSeconds() - c0;
        }
    }
    const double mp = double(kWidth) * kHeight / 1e6 * double(state.iterations());
    state.counters["blend MP/s"] = mp / wall[0];
    state.counters["adjusted MP/s"] = mp / wall[1];
    state.counters["ratio(wall)"] = wall[0] / wall[1];
    state.counters["ratio(cpu)"] = cpu[0] / cpu[1];
    state.counters["adjusted MP/cpu-s"] = mp / cpu[1];
    state.counters["load"] = load;
}

void BM_FilterGraphNormalPathIdentity(benchmark::State& state) { renderGraph(state, false); }
void BM_FilterGraphNormalPathAdjusted(benchmark::State& state) { renderGraph(state, true); }

} // namespace

BENCHMARK(BM_FilterGraphNormalPathIdentity)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_FilterGraphNormalPathAdjusted)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_FilterGraphBlendThenAdjusted)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
