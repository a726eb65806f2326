// mvcrash-log: decodes a crash report file and prints it as a text crash log.
//   mvcrash-log <report.mvcrash>

#include <cstdio>

#include "MovaraAppKit/CrashReporter/MVCrashReport.h"
#include "MovaraAppKit/CrashReporter/MVCrashReportTextFormatter.h"

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <report.mvcrash>\n", argv[0]);
        return 2;
    }
    foundation::ErrorPtr error;
    const auto data = MVCrashReport::readReportFile(argv[1], &error);
    if (!data) {
        std::fprintf(stderr, "%s: %s: %s\n", argv[0], argv[1], error ? error->localizedDescription().c_str() : "cannot read");
        return 1;
    }
    auto report = MVCrashReport::initWithData(*data, &error);
    if (!report) {
        std::fprintf(stderr, "%s: %s: %s\n", argv[0], argv[1], error ? error->localizedDescription().c_str() : "cannot decode");
        return 1;
    }
    const std::string text = MVCrashReportTextFormatter::stringValueForCrashReport(*report, MVCrashReportTextFormatiOS);
    std::fwrite(text.data(), 1, text.size(), stdout);
    if (report->isTruncated())
        std::printf("(The report was cut to fit its size limit: some threads, frames or images are missing.)\n");
    return 0;
}
