#pragma once
// Renders a decoded crash report as a human-readable crash log: a header block, the exception,
// every thread's frames, the crashed thread's registers and the sorted list of binary images.

#include <cstdint>
#include <string>
#include <vector>

#include "MovaraAppKit/CrashReporter/MVCrashReport.h"

enum MVCrashReportTextFormat : int {
    MVCrashReportTextFormatiOS = 0,
};

class MVCrashReportFormatter {
public:
    virtual ~MVCrashReportFormatter() = default;
    virtual std::vector<std::uint8_t> formatReport(const MVCrashReport& report, foundation::ErrorPtr* error) const = 0;
};

class MVCrashReportTextFormatter : public MVCrashReportFormatter {
public:
    // The text is always produced as UTF-8; the encoding is kept for callers that ask for it.
    MVCrashReportTextFormatter(MVCrashReportTextFormat format, const std::string& encoding = "UTF-8") : m_format(format), m_encoding(encoding) { }

    std::vector<std::uint8_t> formatReport(const MVCrashReport& report, foundation::ErrorPtr* error) const override;

    static std::string stringValueForCrashReport(const MVCrashReport& report, MVCrashReportTextFormat format);
    static std::string formatStackFrame(const MVCrashReportStackFrameInfo& frame, long index, const MVCrashReport& report, bool lp64);
    // Orders images by base address, ascending.
    static bool binaryImageSort(const MVCrashReportBinaryImageInfo& a, const MVCrashReportBinaryImageInfo& b);

private:
    MVCrashReportTextFormat m_format;
    std::string m_encoding;
};
