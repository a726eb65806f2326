#include "MovaraAppKit/Telemetry/Crashes/BCNErrorLogFormatter.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "MovaraAppKit/Telemetry/Core/BCNBeacon.h"
#include "MovaraAppKit/Telemetry/Core/BCNLogger.h"
#include "MovaraAppKit/Telemetry/Core/Context/BCNDeviceTracker.h"
#include "MovaraAppKit/Telemetry/Crashes/BCNWrapperExceptionManager.h"
#include "Platform/Foundation/URL.h"

namespace {

const char* const kTag = "BeaconCrashes";

std::string hex(std::uint64_t value)
{
    char text[32];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
    return text;
}

std::string lowercase(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::optional<std::string> processPathOf(const MVCrashReport& report)
{
    return report.processInfo() ? report.processInfo()->processPath : std::nullopt;
}

} // namespace

std::string BCNErrorLogFormatter::formatAddress(std::uint64_t address, bool is64bit)
{
    char text[32];
    std::snprintf(text, sizeof text, "0x%0*llx", is64bit ? 16 : 8, static_cast<unsigned long long>(address));
    return text;
}

std::string BCNErrorLogFormatter::errorIdForCrashReport(const MVCrashReport& report)
{
    return (report.uuidRef() ? *report.uuidRef() : foundation::UUID::random()).UUIDString();
}

void BCNErrorLogFormatter::addProcessInfoAndApplicationPathTo(BCNAppleErrorLog& log, const MVCrashReport& report)
{
    log.processId = 0;
    log.processName = "???";
    log.parentProcessName = "???";
    log.parentProcessId.reset();
    log.applicationPath = "???";
    if (const auto& info = report.processInfo()) {
        log.processId = static_cast<std::int64_t>(info->processID);
        if (info->processName)
            log.processName = info->processName;
        if (info->processPath)
            log.applicationPath = anonymizedPathFromPath(info->processPath);
        if (info->parentProcessName)
            log.parentProcessName = info->parentProcessName;
        log.parentProcessId = static_cast<std::int64_t>(info->parentProcessID);
    }
}

std::optional<foundation::Date> BCNErrorLogFormatter::getAppLaunchTimeFromReport(const MVCrashReport& report)
{
    if (report.processInfo())
        return report.processInfo()->processStartTime;
    return report.systemInfo().timestamp();
}

std::optional<foundation::Date> BCNErrorLogFormatter::getCrashTimeFromReport(const MVCrashReport& report)
{
    return report.systemInfo().timestamp();
}

const MVCrashReportThreadInfo* BCNErrorLogFormatter::findCrashedThreadInReport(const MVCrashReport& report)
{
    for (const auto& thread : report.threads())
        if (thread.crashed)
            return &thread;
    return nullptr;
}

std::optional<std::string> BCNErrorLogFormatter::extractExceptionReasonFromReport(const MVCrashReport& report)
{
    if (!report.exceptionInfo())
        return std::nullopt;
    return report.exceptionInfo()->exceptionReason;
}

std::shared_ptr<BCNAppleErrorLog> BCNErrorLogFormatter::errorLogFromCrashReport(const MVCrashReport& report)
{
    auto log = std::make_shared<BCNAppleErrorLog>();
    log->errorId = errorIdForCrashReport(report);
    addProcessInfoAndApplicationPathTo(*log, report);
    const MVCrashReportThreadInfo* crashed = findCrashedThreadInReport(report);
    log->errorThreadId = crashed ? crashed->threadNumber : 0;
    log->fatal = true;
    log->appLaunchTimestamp = getAppLaunchTimeFromReport(report);
    auto timestamp = getCrashTimeFromReport(report);
    // Whole seconds mean the time was cut to the second: put it at the end of that second.
    if (timestamp && std::floor(timestamp->timeIntervalSince1970()) == timestamp->timeIntervalSince1970())
        timestamp = foundation::Date::dateWithTimeIntervalSince1970(timestamp->timeIntervalSince1970() + 0.999);
    log->setTimestamp(timestamp);

    std::uint64_t type = 0, subtype = 0;
    if (report.machineInfo() && report.machineInfo()->processorInfo) {
        type = report.machineInfo()->processorInfo->type();
        subtype = report.machineInfo()->processorInfo->subtype();
    }
    for (const auto& image : report.images())
        if (image.codeType() && image.codeType()->typeEncoding() == MVCrashReportProcessorInfo::Mach) {
            type = image.codeType()->type();
            subtype = image.codeType()->subtype();
            break;
        }
    log->primaryArchitectureId = static_cast<std::int64_t>(type);
    log->architectureVariantId = static_cast<std::int64_t>(subtype);
    const bool is64bit = isCodeType64bit(type);

    log->osExceptionType = report.signalInfo().name;
    log->osExceptionCode = report.signalInfo().code;
    log->osExceptionAddress = hex(report.signalInfo().address);
    log->exceptionReason = extractExceptionReasonFromReport(report);
    if (report.exceptionInfo())
        log->exceptionType = report.exceptionInfo()->exceptionName;
    // There is no object runtime here whose selectors a register could name: no selector value.

    log->threads = extractThreadsFromReport(report, crashed, is64bit);
    if (crashed)
        log->registers = extractRegistersFromCrashedThread(*crashed, is64bit);
    log->binaries = extractBinaryImagesFromReport(report, is64bit);
    log->setDevice(BCNDeviceTracker::sharedInstance()->deviceForTimestamp(log->timestamp()));
    // A wrapper SDK's own account of this crash (its runtime's exception tree) takes the place
    // of the native exception.
    if (log->errorId)
        if (auto wrapper = BCNWrapperExceptionManager::loadWrapperExceptionWithUUIDString(*log->errorId))
            log->exception = wrapper->modelException;
    return log;
}

std::vector<std::shared_ptr<BCNThread>> BCNErrorLogFormatter::extractThreadsFromReport(const MVCrashReport& report,
                                                                                      const MVCrashReportThreadInfo* crashedThread,
                                                                                      bool is64bit)
{
    std::shared_ptr<BCNException> exception;
    if (const auto& info = report.exceptionInfo(); info && info->stackFrames && !info->stackFrames->empty()) {
        exception = std::make_shared<BCNException>();
        exception->frames.emplace();
        for (const auto& frame : *info->stackFrames) {
            auto f = std::make_shared<BCNStackFrame>();
            f->address = formatAddress(frame.instructionPointer, is64bit);
            exception->frames->push_back(f);
        }
        exception->message = info->exceptionReason;
        exception->type = info->exceptionName;
    }
    std::vector<std::shared_ptr<BCNThread>> threads;
    for (const auto& thread : report.threads()) {
        auto t = std::make_shared<BCNThread>();
        t->threadId = thread.threadNumber;
        if (crashedThread && exception && thread.threadNumber == crashedThread->threadNumber)
            t->exception = exception;
        // A thread the reporter could not stop (it blocks the suspension signal) comes without
        // a stack. A log's thread has frames: such a thread is left out, unless it carries the
        // exception, which is worth more than the rule.
        if (thread.stackFrames.empty() && !t->exception)
            continue;
        for (const auto& frame : thread.stackFrames) {
            auto f = std::make_shared<BCNStackFrame>();
            f->address = formatAddress(frame.instructionPointer, is64bit);
            f->code = formatStackFrame(frame, report);
            t->frames->push_back(f);
        }
        threads.push_back(t);
    }
    return threads;
}

std::string BCNErrorLogFormatter::formatStackFrame(const MVCrashReportStackFrameInfo& frame, const MVCrashReport& report)
{
    const std::uint64_t pc = frame.instructionPointer;
    const MVCrashReportBinaryImageInfo* image = report.imageForAddress(pc);
    std::uint64_t base = 0, offset = 0;
    if (image) {
        base = image->imageBaseAddress();
        offset = pc - base;
    } else if (pc != 0) {
        BCNLogWarning(kTag, "Cannot find image for " + hex(pc));
    }
    if (image && frame.symbolInfo && imageTypeForImagePath(image->imageName(), processPathOf(report)) == 2) {
        std::string name = frame.symbolInfo->symbolName;
        const int os = report.systemInfo().operatingSystem();
        if (name.size() > 1 && name[0] == '_' && os != 5) {
            if (os == 0 || os == 1 || os == 2 || os == 4)
                name.erase(0, 1);
            else if (os == 3)
                BCNLogWarning(kTag, "Symbol \"" + name + "\" prefix rules are unknown for this OS!");
        }
        return name + " + " + std::to_string(static_cast<long long>(pc - frame.symbolInfo->startAddress));
    }
    return hex(base) + " + " + std::to_string(static_cast<long long>(offset));
}

foundation::Value BCNErrorLogFormatter::extractRegistersFromCrashedThread(const MVCrashReportThreadInfo& thread, bool is64bit)
{
    foundation::Value registers = foundation::Value::dictionary();
    for (const auto& r : thread.registers)
        registers.set(r.registerName, formatAddress(r.registerValue, is64bit));
    return registers;
}

std::vector<std::uint64_t> BCNErrorLogFormatter::addressesFromReport(const MVCrashReport& report)
{
    std::vector<std::uint64_t> addresses;
    if (const auto& info = report.exceptionInfo(); info && info->stackFrames)
        for (const auto& frame : *info->stackFrames)
            addresses.push_back(frame.instructionPointer);
    for (const auto& thread : report.threads()) {
        for (const auto& frame : thread.stackFrames)
            addresses.push_back(frame.instructionPointer);
        for (const auto& r : thread.registers)
            addresses.push_back(r.registerValue);
    }
    return addresses;
}

bool BCNErrorLogFormatter::isBinaryWithStart(std::uint64_t start, std::uint64_t end, const std::vector<std::uint64_t>& addresses)
{
    return std::any_of(addresses.begin(), addresses.end(), [&](std::uint64_t a) { return a >= start && a <= end; });
}

std::vector<std::shared_ptr<BCNBinary>> BCNErrorLogFormatter::extractBinaryImagesFromReport(const MVCrashReport& report, bool is64bit)
{
    // Sorted once, so that whether an image holds one of them is a binary search: a report may
    // list a hundred thousand images and as many addresses.
    auto addresses = addressesFromReport(report);
    std::sort(addresses.begin(), addresses.end());
    auto holdsAnAddress = [&](std::uint64_t start, std::uint64_t end) {
        const auto first = std::lower_bound(addresses.begin(), addresses.end(), start);
        return first != addresses.end() && *first <= end;
    };
    std::vector<const MVCrashReportBinaryImageInfo*> images;
    for (const auto& image : report.images())
        images.push_back(&image);
    std::stable_sort(images.begin(), images.end(),
                     [](const auto* a, const auto* b) { return a->imageBaseAddress() < b->imageBaseAddress(); });
    const auto processPath = processPathOf(report);
    std::vector<std::shared_ptr<BCNBinary>> binaries;
    for (const auto* image : images) {
        const std::uint64_t start = image->imageBaseAddress();
        const std::uint64_t end = start + std::max<std::uint64_t>(image->imageSize(), 1) - 1;
        const std::optional<std::string> path = image->imageName().empty() ? std::nullopt : std::optional(image->imageName());
        if (!holdsAnAddress(start, end) && imageTypeForImagePath(path, processPath) == 2)
            continue;
        auto binary = std::make_shared<BCNBinary>();
        binary->binaryId = image->imageUUID().value_or("???");
        binary->startAddress = formatAddress(start, is64bit);
        binary->endAddress = formatAddress(end, is64bit);
        binary->path = anonymizedPathFromPath(path);
        binary->name = path ? foundation::URL::fileURLWithPath(*path).lastPathComponent() : "???";
        binary->primaryArchitectureId = image->codeType() ? static_cast<std::int64_t>(image->codeType()->type()) : 0;
        binary->architectureVariantId = image->codeType() ? static_cast<std::int64_t>(image->codeType()->subtype()) : 0;
        binaries.push_back(binary);
    }
    return binaries;
}

std::string BCNErrorLogFormatter::anonymizedPathFromPath(const std::optional<std::string>& path)
{
    if (!path || path->empty())
        return "";
    // The desktop platform's home folders and this system's both name their user: every
    // "<home>/<name>/" in the path becomes "<home>/USER/".
    for (const std::string home : { "/Users/", "/home/" }) {
        if (!path->starts_with(home))
            continue;
        std::string result;
        std::size_t pos = 0;
        for (std::size_t found; (found = path->find(home, pos)) != std::string::npos;) {
            const std::size_t nameEnd = path->find('/', found + home.size());
            if (nameEnd == std::string::npos || nameEnd == found + home.size())
                break;
            result += path->substr(pos, found - pos) + home + "USER/";
            pos = nameEnd + 1;
        }
        return result + path->substr(pos);
    }
    if (path->find("Users") != std::string::npos)
        return "";
    return *path;
}

int BCNErrorLogFormatter::imageTypeForImagePath(const std::optional<std::string>& imagePath, const std::optional<std::string>& processPath)
{
    if (!imagePath || !processPath)
        return 2;
    const std::string standardized = lowercase(foundation::URL::fileURLWithPath(*imagePath).standardizedURL().path());
    const std::string image = lowercase(*imagePath);
    const std::string process = lowercase(*processPath);
    const bool runtimeLibrary = standardized.find("frameworks/libswift") != std::string::npos && standardized.ends_with(".dylib");
    if (standardized.find(".app/") != std::string::npos && !runtimeLibrary)
        return (standardized == process || image.starts_with(process)) ? 0 : 1;
    return 2;
}

std::shared_ptr<BCNErrorReport> BCNErrorLogFormatter::errorReportFromCrashReport(const MVCrashReport* report)
{
    if (!report)
        return nullptr;
    return errorReportFromLog(*errorLogFromCrashReport(*report));
}

std::shared_ptr<BCNErrorReport> BCNErrorLogFormatter::errorReportFromLog(const BCNAppleErrorLog& log)
{
    const auto installId = BCNBeacon::installId();
    return std::make_shared<BCNErrorReport>(log.errorId, installId ? installId->UUIDString() : std::string(), log.osExceptionType,
                                            log.exceptionType, log.exceptionReason, log.appLaunchTimestamp, log.timestamp(),
                                            BCNDeviceTracker::sharedInstance()->deviceForTimestamp(log.timestamp()),
                                            static_cast<std::uint64_t>(log.processId.value_or(0)));
}
