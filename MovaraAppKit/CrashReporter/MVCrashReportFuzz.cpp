#include "MovaraAppKit/CrashReporter/MVCrashReportFuzz.h"

#include <random>

#include "MovaraAppKit/CrashReporter/MVCrashReport.h"
#include "MovaraAppKit/CrashReporter/MVCrashReportTextFormatter.h"

namespace {

void mutate(std::vector<std::uint8_t>& bytes, std::mt19937_64& random)
{
    auto pick = [&](std::size_t bound) { return bound == 0 ? 0 : static_cast<std::size_t>(random() % bound); };
    const int edits = 1 + static_cast<int>(random() % 4);
    for (int e = 0; e < edits; ++e) {
        // Most edits stay past the 8-byte header, where the interesting parsing happens.
        const std::size_t at = bytes.size() > 8 && random() % 8 ? 8 + pick(bytes.size() - 8) : pick(bytes.size());
        switch (random() % 7) {
        case 0:
            if (at < bytes.size())
                bytes[at] ^= static_cast<std::uint8_t>(1u << (random() % 8));
            break;
        case 1:
            if (at < bytes.size())
                bytes[at] = static_cast<std::uint8_t>(random());
            break;
        case 2:
            if (at < bytes.size())
                bytes.erase(bytes.begin() + static_cast<long>(at), bytes.begin() + static_cast<long>(std::min(bytes.size(), at + 1 + pick(16))));
            break;
        case 3:
            bytes.insert(bytes.begin() + static_cast<long>(std::min(at, bytes.size())), static_cast<std::uint8_t>(random()));
            break;
        case 4:
            bytes.resize(at);
            break;
        case 5: {
            // Lengths and varints at their extremes.
            static const std::uint8_t extremes[] = { 0x00, 0x7F, 0x80, 0xFF };
            if (at < bytes.size())
                bytes[at] = extremes[random() % 4];
            break;
        }
        default: {
            // A slice repeated elsewhere: duplicated fields and nested messages.
            if (bytes.size() < 2)
                break;
            const std::size_t from = pick(bytes.size() - 1);
            const std::size_t length = 1 + pick(std::min<std::size_t>(64, bytes.size() - from));
            std::vector<std::uint8_t> slice(bytes.begin() + static_cast<long>(from), bytes.begin() + static_cast<long>(from + length));
            bytes.insert(bytes.begin() + static_cast<long>(std::min(at, bytes.size())), slice.begin(), slice.end());
            break;
        }
        }
    }
}

} // namespace

MVCrashReportFuzzResult mvcrash_fuzz_decoder(const std::vector<std::uint8_t>& seed, std::uint64_t runs, std::uint64_t randomSeed)
{
    std::mt19937_64 random(randomSeed);
    MVCrashReportFuzzResult result;
    for (std::uint64_t i = 0; i < runs; ++i) {
        std::vector<std::uint8_t> bytes = seed;
        mutate(bytes, random);
        foundation::ErrorPtr error;
        auto report = MVCrashReport::initWithData(bytes, &error);
        ++result.runs;
        if (!report) {
            ++result.refused;
            continue;
        }
        ++result.decoded;
        // Everything a decoded report offers is read, as the formatter does.
        const std::string text = MVCrashReportTextFormatter::stringValueForCrashReport(*report, MVCrashReportTextFormatiOS);
        if (text.empty())
            ++result.refused;
    }
    return result;
}
