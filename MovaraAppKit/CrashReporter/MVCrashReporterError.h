#pragma once
// How the class layer of crash capture reports failures: errors of one domain with fixed codes,
// and a named exception for programming errors.

#include <string>

#include "Platform/Foundation/Error.h"

extern const std::string MVCrashReporterErrorDomain;   // "MVCrashReporterErrorDomain"
extern const std::string MVCrashReporterException;     // "MVCrashReporterException"

enum MVCrashReporterError : long {
    MVCrashReporterErrorUnknown = 0,
    MVCrashReporterErrorOperatingSystem = 1,
    MVCrashReporterErrorCrashReportInvalid = 2,
    MVCrashReporterErrorResourceBusy = 3,
};

void mvcrash_populate_error(foundation::ErrorPtr* error, long code, const std::string& description, foundation::ErrorPtr underlying = nullptr);
// Wraps a POSIX error number (code 1 of the domain, the POSIX error underneath).
void mvcrash_populate_posix_error(foundation::ErrorPtr* error, int posixError, const std::string& description);
// Wraps a Mach return code of the simulated kernel interface the same way.
void mvcrash_populate_mach_error(foundation::ErrorPtr* error, int machError, const std::string& description);

extern const std::string MVCrashMachErrorDomain; // "NSMachErrorDomain"

// "[MVCrashReporter] ..." diagnostics go to the system log at informational level.
void mvcrash_log(const char* format, ...) __attribute__((format(printf, 1, 2)));
