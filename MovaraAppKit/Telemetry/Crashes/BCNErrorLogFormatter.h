#pragma once
// Turns a decoded crash report into the crash log the service sends (threads, frames,
// registers, the binaries that matter, anonymised paths) and into the error report handed to
// the application. Stateless; any thread.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "MovaraAppKit/CrashReporter/MVCrashReport.h"
#include "MovaraAppKit/Telemetry/Crashes/Model/BCNErrorLogs.h"

class BCNErrorLogFormatter {
public:
    static std::shared_ptr<BCNAppleErrorLog> errorLogFromCrashReport(const MVCrashReport& report);
    static std::shared_ptr<BCNErrorReport> errorReportFromCrashReport(const MVCrashReport* report);
    static std::shared_ptr<BCNErrorReport> errorReportFromLog(const BCNAppleErrorLog& log);

    // The report's UUID in upper case; a fresh random one when it has none.
    static std::string errorIdForCrashReport(const MVCrashReport& report);
    static void addProcessInfoAndApplicationPathTo(BCNAppleErrorLog& log, const MVCrashReport& report);
    static std::optional<foundation::Date> getAppLaunchTimeFromReport(const MVCrashReport& report);
    static std::optional<foundation::Date> getCrashTimeFromReport(const MVCrashReport& report);
    static std::vector<std::shared_ptr<BCNThread>> extractThreadsFromReport(const MVCrashReport& report,
                                                                           const MVCrashReportThreadInfo* crashedThread, bool is64bit);
    // "<symbol> + <offset>" for a named frame outside the application, else "<image base> + <offset>".
    static std::string formatStackFrame(const MVCrashReportStackFrameInfo& frame, const MVCrashReport& report);
    static foundation::Value extractRegistersFromCrashedThread(const MVCrashReportThreadInfo& thread, bool is64bit);
    static std::optional<std::string> extractExceptionReasonFromReport(const MVCrashReport& report);
    // The images some frame or register points into, and every image of the application itself.
    static std::vector<std::shared_ptr<BCNBinary>> extractBinaryImagesFromReport(const MVCrashReport& report, bool is64bit);
    static bool isBinaryWithStart(std::uint64_t start, std::uint64_t end, const std::vector<std::uint64_t>& addresses);
    // Home folders ("/Users/<name>/", "/home/<name>/") lose the user's name.
    static std::string anonymizedPathFromPath(const std::optional<std::string>& path);
    // 0 the process's own executable, 1 an image inside the application bundle, 2 anything else.
    static int imageTypeForImagePath(const std::optional<std::string>& imagePath, const std::optional<std::string>& processPath);
    static bool isCodeType64bit(std::uint64_t type) { return type == 0x1000007 || type == 0x100000C; }
    static const MVCrashReportThreadInfo* findCrashedThreadInReport(const MVCrashReport& report);
    static std::vector<std::uint64_t> addressesFromReport(const MVCrashReport& report);
    // "0x" and 16 (64-bit) or 8 lower-case hex digits.
    static std::string formatAddress(std::uint64_t address, bool is64bit);
};
