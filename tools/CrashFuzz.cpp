// mvcrash-fuzz: a long mutation run of the crash report decoder.
//   mvcrash-fuzz [runs] [seed]      (defaults: 200000 runs, seed 1)
// The seed report is a live report of this program. Exit status 0 when the run completes; a
// crash, a hang or (under the sanitizers) a leak is the finding.

#include <cstdio>
#include <cstdlib>

#include "MovaraAppKit/CrashReporter/MVCrashReportFuzz.h"
#include "MovaraAppKit/CrashReporter/MVCrashReporter.h"

int main(int argc, char** argv)
{
    const std::uint64_t runs = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 200000;
    const std::uint64_t seed = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1;
    auto reporter = MVCrashReporter::initWithApplicationIdentifier("com.movara.fuzz", "1", std::nullopt,
        MVCrashReporterConfig::initWithSignalHandlerType(0, MVCrashReporterSymbolicationStrategySymbolTable, false));
    foundation::ErrorPtr error;
    auto report = reporter->generateLiveReportAndReturnError(&error);
    if (!report) {
        std::fprintf(stderr, "mvcrash-fuzz: no seed report: %s\n", error ? error->localizedDescription().c_str() : "?");
        return 1;
    }
    const auto result = mvcrash_fuzz_decoder(*report, runs, seed);
    std::printf("%llu runs: %llu decoded, %llu refused\n", static_cast<unsigned long long>(result.runs),
        static_cast<unsigned long long>(result.decoded), static_cast<unsigned long long>(result.refused));
    return 0;
}
