#include "MovaraAppKit/CrashReporter/MVCrashReporterError.h"

#include <syslog.h>

#include <cstdarg>

const std::string MVCrashReporterErrorDomain = "MVCrashReporterErrorDomain";
const std::string MVCrashReporterException = "MVCrashReporterException";
const std::string MVCrashMachErrorDomain = "NSMachErrorDomain";

void mvcrash_populate_error(foundation::ErrorPtr* error, long code, const std::string& description, foundation::ErrorPtr underlying)
{
    if (!error)
        return;
    *error = foundation::Error::make(MVCrashReporterErrorDomain, code, description, std::move(underlying));
}

void mvcrash_populate_posix_error(foundation::ErrorPtr* error, int posixError, const std::string& description)
{
    if (!error)
        return;
    mvcrash_populate_error(error, MVCrashReporterErrorOperatingSystem, description, foundation::Error::make(foundation::NSPOSIXErrorDomain, posixError));
}

void mvcrash_populate_mach_error(foundation::ErrorPtr* error, int machError, const std::string& description)
{
    if (!error)
        return;
    mvcrash_populate_error(error, MVCrashReporterErrorOperatingSystem, description, foundation::Error::make(MVCrashMachErrorDomain, machError));
}

void mvcrash_log(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    ::vsyslog(LOG_INFO, format, args);
    va_end(args);
}
