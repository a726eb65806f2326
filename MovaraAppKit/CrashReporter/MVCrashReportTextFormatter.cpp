#include "MovaraAppKit/CrashReporter/MVCrashReportTextFormatter.h"

#include <algorithm>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <ctime>

#include "MovaraAppKit/CrashReporter/MVCrashReporterError.h"

namespace {

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    char small[512];
    va_list copy;
    va_copy(copy, args);
    const int n = std::vsnprintf(small, sizeof small, fmt, copy);
    va_end(copy);
    std::string out;
    if (n < 0) {
        va_end(args);
        return out;
    }
    if (static_cast<std::size_t>(n) < sizeof small) {
        out.assign(small, static_cast<std::size_t>(n));
    } else {
        out.resize(static_cast<std::size_t>(n) + 1);
        std::vsnprintf(out.data(), out.size(), fmt, args);
        out.resize(static_cast<std::size_t>(n));
    }
    va_end(args);
    return out;
}

std::string lastPathComponent(const std::string& path)
{
    std::string trimmed = path;
    while (trimmed.size() > 1 && trimmed.back() == '/')
        trimmed.pop_back();
    const auto slash = trimmed.rfind('/');
    return slash == std::string::npos || trimmed == "/" ? trimmed : trimmed.substr(slash + 1);
}

std::string operatingSystemName(int os, const std::optional<std::string>& name)
{
    switch (os) {
    case 0:
    case 2: return "Mac OS X";
    case 1: return "iPhone OS";
    case 4: return "Apple tvOS";
    case 5: return name && !name->empty() ? *name : "Linux";
    default: return format("Unknown (%d)", os);
    }
}

struct CodeType {
    std::string name;
    bool lp64;
};

bool knownType(std::uint64_t type, CodeType* out)
{
    switch (type) {
    case 7: *out = { "X86", false }; return true;
    case 12: *out = { "ARM", false }; return true;
    case 18: *out = { "PPC", false }; return true;
    case 0x1000007: *out = { "X86-64", true }; return true;
    case 0x100000C: *out = { "ARM-64", true }; return true;
    default: return false;
    }
}

CodeType codeTypeOf(const MVCrashReport& report)
{
    CodeType result;
    for (const auto& image : report.images()) {
        const auto& codeType = image.codeType();
        if (codeType && codeType->typeEncoding() == MVCrashReportProcessorInfo::Mach && knownType(codeType->type(), &result))
            return result;
    }
    const auto& processor = report.systemInfo().processorInfo();
    if (processor && processor->typeEncoding() == MVCrashReportProcessorInfo::Mach) {
        if (knownType(processor->type(), &result))
            return result;
        return { format("Unknown (%llu)", static_cast<unsigned long long>(processor->type())), true };
    }
    return { "Unknown", true };
}

std::string architectureName(const MVCrashReportProcessorInfoPtr& codeType)
{
    if (!codeType || codeType->typeEncoding() != MVCrashReportProcessorInfo::Mach)
        return "???";
    const std::uint64_t subtype = codeType->subtype() & 0xFFFFFF;
    switch (codeType->type()) {
    case 7: return "i386";
    case 12: return subtype == 6 ? "armv6" : subtype == 9 ? "armv7" : subtype == 11 ? "armv7s" : "arm-unknown";
    case 18: return "powerpc";
    case 0x1000007: return "x86_64";
    case 0x100000C: return subtype == 0 ? "arm64" : subtype == 1 ? "armv8" : subtype == 2 ? "arm64e" : "arm64-unknown";
    default: return "???";
    }
}

// The platform's default description of a date: "2001-01-01 00:00:00 +0000".
std::string dateDescription(const foundation::Date& date)
{
    const std::time_t seconds = static_cast<std::time_t>(date.timeIntervalSince1970());
    std::tm tm {};
    ::gmtime_r(&seconds, &tm);
    char text[64];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S +0000", &tm);
    return text;
}

} // namespace

bool MVCrashReportTextFormatter::binaryImageSort(const MVCrashReportBinaryImageInfo& a, const MVCrashReportBinaryImageInfo& b)
{
    return a.imageBaseAddress() < b.imageBaseAddress();
}

std::string MVCrashReportTextFormatter::formatStackFrame(const MVCrashReportStackFrameInfo& frame, long index, const MVCrashReport& report, bool lp64)
{
    const std::uint64_t pc = frame.instructionPointer;
    std::string imageName = "???";
    std::uint64_t base = 0, offset = 0;
    if (const auto* image = report.imageForAddress(pc)) {
        imageName = lastPathComponent(image->imageName());
        base = image->imageBaseAddress();
        offset = pc - base;
    } else if (pc != 0) {
        mvcrash_log("[MVCrashReporter] Cannot find image for 0x%llx", static_cast<unsigned long long>(pc));
    }
    std::string symbol;
    if (frame.symbolInfo) {
        std::string name = frame.symbolInfo->symbolName;
        const int os = report.systemInfo().operatingSystem();
        // Linux symbols are as written: "_Z..." is a mangled name, not a prefixed one.
        if (name.size() > 1 && name[0] == '_' && os != 5) {
            if (os == 0 || os == 1 || os == 2 || os == 4)
                name = name.substr(1);
            else
                mvcrash_log("[MVCrashReporter] Symbol \"%s\" prefix rules are unknown for this OS!", name.c_str());
        }
        symbol = format("%s + %lld", name.c_str(), static_cast<long long>(pc - frame.symbolInfo->startAddress));
    } else {
        symbol = format("0x%llx + %lld", static_cast<unsigned long long>(base), static_cast<long long>(offset));
    }
    return format("%-4ld%-35s 0x%0*llx %s\n", index, imageName.c_str(), lp64 ? 16 : 8, static_cast<unsigned long long>(pc), symbol.c_str());
}

std::string MVCrashReportTextFormatter::stringValueForCrashReport(const MVCrashReport& report, MVCrashReportTextFormat)
{
    std::string text;
    const CodeType codeType = codeTypeOf(report);
    const bool lp64 = codeType.lp64;
    const auto& process = report.processInfo();

    text += format("Incident Identifier: %s\n", report.uuidRef() ? report.uuidRef()->UUIDString().c_str() : "???");
    text += format("Hardware Model:      %s\n", report.machineInfo() && report.machineInfo()->modelName ? report.machineInfo()->modelName->c_str() : "???");
    if (process) {
        text += format("Process:         %s [%llu]\n", process->processName ? process->processName->c_str() : "???", static_cast<unsigned long long>(process->processID));
        text += format("Path:            %s\n", process->processPath ? process->processPath->c_str() : "???");
    } else {
        text += "Process:         ??? [???]\n";
        text += "Path:            ???\n";
    }
    const auto& app = report.applicationInfo();
    text += format("Identifier:      %s\n", app.applicationIdentifier.c_str());
    if (app.applicationMarketingVersion)
        text += format("Version:         %s (%s)\n", app.applicationMarketingVersion->c_str(), app.applicationVersion.c_str());
    else
        text += format("Version:         %s\n", app.applicationVersion.c_str());
    text += format("Code Type:       %s\n", codeType.name.c_str());
    if (process)
        text += format("Parent Process:  %s [%llu]\n", process->parentProcessName ? process->parentProcessName->c_str() : "???", static_cast<unsigned long long>(process->parentProcessID));
    else
        text += "Parent Process:  ??? [???]\n";
    text += "\n";
    const auto& system = report.systemInfo();
    text += format("Date/Time:       %s\n", system.timestamp() ? dateDescription(*system.timestamp()).c_str() : "???");
    text += format("OS Version:      %s %s (%s)\n", operatingSystemName(system.operatingSystem(), system.operatingSystemName()).c_str(), system.operatingSystemVersion().c_str(),
        system.operatingSystemBuild() ? system.operatingSystemBuild()->c_str() : "???");
    text += "Report Version:  104\n\n";
    text += format("Exception Type:  %s\n", report.signalInfo().name.c_str());
    text += format("Exception Codes: %s at 0x%llx\n", report.signalInfo().code.c_str(), static_cast<unsigned long long>(report.signalInfo().address));
    for (const auto& thread : report.threads()) {
        if (thread.crashed) {
            text += format("Crashed Thread:  %ld\n", thread.threadNumber);
            break;
        }
    }
    text += "\n";
    if (const auto& exception = report.exceptionInfo()) {
        text += "Application Specific Information:\n";
        text += format("*** Terminating app due to uncaught exception '%s', reason: '%s'\n\n", exception->exceptionName.c_str(), exception->exceptionReason.c_str());
        if (exception->stackFrames && !exception->stackFrames->empty()) {
            text += "Last Exception Backtrace:\n";
            long index = 0;
            for (const auto& frame : *exception->stackFrames)
                text += formatStackFrame(frame, index++, report, lp64);
            text += "\n";
        }
    }
    const MVCrashReportThreadInfo* crashed = nullptr;
    for (const auto& thread : report.threads()) {
        text += thread.crashed ? format("Thread %ld Crashed:\n", thread.threadNumber) : format("Thread %ld:\n", thread.threadNumber);
        long index = 0;
        for (const auto& frame : thread.stackFrames)
            text += formatStackFrame(frame, index++, report, lp64);
        text += "\n";
        if (thread.crashed)
            crashed = &thread;
    }
    if (crashed) {
        text += format("Thread %ld crashed with %s Thread State:\n", crashed->threadNumber, codeType.name.c_str());
        const auto& machine = report.machineInfo();
        const bool arm = machine && machine->processorInfo && machine->processorInfo->typeEncoding() == MVCrashReportProcessorInfo::Mach
            && (machine->processorInfo->type() & 0xFFFFFF) == 12;
        std::size_t column = 0;
        for (const auto& reg : crashed->registers) {
            const std::string name = arm && reg.registerName == "r12" ? "ip" : reg.registerName;
            text += lp64 ? format("%6s: 0x%016llx ", name.c_str(), static_cast<unsigned long long>(reg.registerValue))
                         : format("%6s: 0x%08llx ", name.c_str(), static_cast<unsigned long long>(reg.registerValue));
            if (++column == 4) {
                text += "\n";
                column = 0;
            }
        }
        if (column != 0)
            text += "\n";
        text += "\n";
    }
    text += "Binary Images:\n";
    std::vector<const MVCrashReportBinaryImageInfo*> images;
    for (const auto& image : report.images())
        images.push_back(&image);
    std::stable_sort(images.begin(), images.end(), [](auto* a, auto* b) { return binaryImageSort(*a, *b); });
    std::uint64_t lastBase = 0;
    const std::string processPath = process && process->processPath ? *process->processPath : std::string();
    for (const auto* image : images) {
        if (image->imageBaseAddress() == lastBase)
            continue;
        lastBase = image->imageBaseAddress();
        const std::uint64_t size = std::max<std::uint64_t>(image->imageSize(), 1);
        const std::uint64_t end = image->imageBaseAddress() + size - 1;
        const char* marker = !processPath.empty() && image->imageName() == processPath ? "+" : " ";
        const std::string uuid = image->imageUUID() ? *image->imageUUID() : "???";
        text += lp64 ? format("%#18llx - %#18llx %s%s %s  <%s> %s\n", static_cast<unsigned long long>(image->imageBaseAddress()), static_cast<unsigned long long>(end), marker,
                           lastPathComponent(image->imageName()).c_str(), architectureName(image->codeType()).c_str(), uuid.c_str(), image->imageName().c_str())
                     : format("%#10llx - %#10llx %s%s %s  <%s> %s\n", static_cast<unsigned long long>(image->imageBaseAddress()), static_cast<unsigned long long>(end), marker,
                           lastPathComponent(image->imageName()).c_str(), architectureName(image->codeType()).c_str(), uuid.c_str(), image->imageName().c_str());
    }
    return text;
}

std::vector<std::uint8_t> MVCrashReportTextFormatter::formatReport(const MVCrashReport& report, foundation::ErrorPtr*) const
{
    const std::string text = stringValueForCrashReport(report, m_format);
    return std::vector<std::uint8_t>(text.begin(), text.end());
}
