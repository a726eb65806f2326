// A bounded run of mutated reports through the decoder and the text formatter: nothing may
// crash, hang or leak, whatever the bytes. A longer run is the tools' mvcrash-fuzz.

#include <gtest/gtest.h>

#include "MovaraAppKit/CrashReporter/MVCrashReporter.h"
#include "MovaraAppKit/CrashReporter/MVCrashReportFuzz.h"

TEST(MVCrashReportFuzz, MutatedReportsNeverCrashTheDecoder)
{
    auto reporter = MVCrashReporter::initWithApplicationIdentifier("com.movara.fuzz", "1", std::nullopt, MVCrashReporterConfig::initWithSignalHandlerType(0, 1, false));
    auto seed = reporter->generateLiveReportAndReturnError(nullptr);
    ASSERT_TRUE(seed);
    const MVCrashReportFuzzResult result = mvcrash_fuzz_decoder(*seed, 1500, 20261210);
    EXPECT_EQ(result.runs, 1500u);
    // Mutations must reach past the header, and some must still decode.
    EXPECT_GT(result.decoded, 0u);
    EXPECT_GT(result.refused, 0u);
}
