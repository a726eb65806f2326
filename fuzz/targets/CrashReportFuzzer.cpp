// Stored crash reports from hostile bytes: the decoder, then the text crash log of whatever it
// accepts, as the next launch's crash processing and mvcrash-log make it.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "FuzzSupport.h"
#include "MovaraAppKit/CrashReporter/MVCrashReport.h"
#include "MovaraAppKit/CrashReporter/MVCrashReportTextFormatter.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    foundation::ErrorPtr error;
    auto report = MVCrashReport::initWithData(std::vector<std::uint8_t>(data, data + size), &error);
    if (!report) {
        FUZZ_CHECK(error, "a refused report gave no error");
        return 0;
    }
    const std::string text = MVCrashReportTextFormatter::stringValueForCrashReport(*report, MVCrashReportTextFormatiOS);
    FUZZ_CHECK(!text.empty(), "a decoded report formats as nothing");
    return 0;
}
