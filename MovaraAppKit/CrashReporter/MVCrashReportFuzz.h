#pragma once
// Mutation runs of the report decoder and the text formatter: flipped, removed, inserted and
// repeated bytes, cut files and spliced fields, from a seed report. Used by a bounded test and by
// the mvcrash-fuzz tool for long runs; any crash, hang or leak shows up in whoever runs it.

#include <cstdint>
#include <vector>

struct MVCrashReportFuzzResult {
    std::uint64_t runs = 0;
    std::uint64_t decoded = 0;
    std::uint64_t refused = 0;
};

MVCrashReportFuzzResult mvcrash_fuzz_decoder(const std::vector<std::uint8_t>& seed, std::uint64_t runs, std::uint64_t randomSeed);
