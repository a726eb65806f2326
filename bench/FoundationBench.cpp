// Micro-benchmarks of the platform's hot helpers. Whole-program comparisons against ffmpeg
// live in bench/*.sh.
#include <benchmark/benchmark.h>

#include <string>

static void BM_Placeholder(benchmark::State& state)
{
    std::string s;
    for (auto _ : state) {
        s.assign(64, 'x');
        benchmark::DoNotOptimize(s);
    }
}
BENCHMARK(BM_Placeholder);
