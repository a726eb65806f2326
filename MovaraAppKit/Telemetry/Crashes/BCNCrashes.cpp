#include "MovaraAppKit/Telemetry/Crashes/BCNCrashes.h"

#include <signal.h>

#include <filesystem>
#include <mutex>
#include <utility>

#include "MovaraAppKit/CrashReporter/MVCrashReporter.h"
#include "MovaraAppKit/Telemetry/Core/BCNLogger.h"
#include "MovaraAppKit/Telemetry/Crashes/BCNCrashesCXXException.h"
#include "Platform/Foundation/Bundle.h"
#include "Platform/Foundation/FileManager.h"

namespace {

// The crash reporter is enabled once per process and stays enabled: its handlers cannot be taken
// back safely while other threads may be crashing. The service only decides whether it reads and
// reports what the reporter left.
std::mutex g_reporterMutex;

std::shared_ptr<MVCrashReporter> enabledReporter()
{
    std::lock_guard lock(g_reporterMutex);
    static std::shared_ptr<MVCrashReporter> reporter;
    if (!reporter) {
        auto candidate = MVCrashReporter::sharedReporter();
        foundation::ErrorPtr error;
        if (!candidate->isEnabled() && !candidate->enableCrashReporterAndReturnError(&error)) {
            BCNLogError("BeaconCrashes", "Cannot enable crash capture: " + (error ? error->localizedDescription() : std::string("unknown error")));
            return candidate;
        }
        reporter = candidate;
    }
    return reporter;
}

// The host's number of a signal the report names ("SIGABRT").
std::optional<int> hostSignalNamed(const std::string& name)
{
    static const std::pair<const char*, int> signals[] = {
        { "SIGABRT", SIGABRT }, { "SIGBUS", SIGBUS }, { "SIGFPE", SIGFPE }, { "SIGILL", SIGILL },
        { "SIGSEGV", SIGSEGV }, { "SIGTRAP", SIGTRAP }, { "SIGSYS", SIGSYS },
    };
    for (const auto& [text, number] : signals)
        if (name == text)
            return number;
    return std::nullopt;
}

// An uncaught C++ exception goes to the crash reporter with the stack of its throw, not the
// terminate handler's.
void reportUncaughtCXXException(const BCNCrashesUncaughtCXXExceptionInfo* info)
{
    const BCNCrashesCXXExceptionWrapperException wrapper(info);
    MVCrashReporter::handleUncaughtException(wrapper.name(), wrapper.reason(), wrapper.callStackReturnAddresses());
    std::abort();
}

std::mutex& singletonMutex()
{
    static std::mutex mutex;
    return mutex;
}

std::shared_ptr<BCNCrashes>& singleton()
{
    static std::shared_ptr<BCNCrashes> crashes;
    return crashes;
}

} // namespace

std::shared_ptr<BCNCrashes> BCNCrashes::sharedInstance()
{
    std::lock_guard lock(singletonMutex());
    auto& crashes = singleton();
    if (!crashes)
        crashes.reset(new BCNCrashes());
    return crashes;
}

void BCNCrashes::resetSharedInstance()
{
    std::shared_ptr<BCNCrashes> old;
    {
        std::lock_guard lock(singletonMutex());
        old = std::move(singleton());
    }
}

BCNCrashes::~BCNCrashes()
{
    if (m_cxxHandlerRegistered)
        BCNCrashesUncaughtCXXExceptionHandlerManager::removeCXXExceptionHandler(reportUncaughtCXXException);
}

bool BCNCrashes::hasCrashedInLastSession()
{
    return sharedInstance()->m_didCrashInLastSession;
}

std::optional<int> BCNCrashes::lastSessionCrashSignal()
{
    return sharedInstance()->m_lastSessionCrashSignal;
}

std::optional<BCNChannelUnitConfiguration> BCNCrashes::channelUnitConfiguration() const
{
    return BCNChannelUnitConfiguration(groupId(), 2, 1, 1, 3);
}

std::string BCNCrashes::crashesDirectory()
{
    auto support = foundation::FileManager::defaultManager().URLForDirectory(foundation::SearchPathDirectory::ApplicationSupport, false);
    std::string identifier;
    if (auto bundle = foundation::Bundle::main())
        identifier = bundle->bundleIdentifier();
    if (identifier.empty())
        identifier = "com.movara.quintor";
    std::filesystem::path base = support ? std::filesystem::path(support->path()) : std::filesystem::path("/tmp");
    return (base / identifier / "com.movara.beacon" / "crashes").string();
}

void BCNCrashes::applyEnabledState(bool enabled)
{
    BCNServiceAbstract::applyEnabledState(enabled);
    if (!enabled) {
        if (std::exchange(m_cxxHandlerRegistered, false))
            BCNCrashesUncaughtCXXExceptionHandlerManager::removeCXXExceptionHandler(reportUncaughtCXXException);
        BCNLogInfo(logTag(), "Crashes service has been disabled.");
        return;
    }
    const std::filesystem::path directory = crashesDirectory();
    std::error_code ec;
    std::filesystem::create_directories(directory, ec);
    if (ec) {
        BCNLogError(logTag(), "Cannot prepare the crash folder " + directory.string() + ": " + ec.message());
        return;
    }
    auto reporter = enabledReporter();
    if (reporter->isEnabled() && !std::exchange(m_cxxHandlerRegistered, true))
        BCNCrashesUncaughtCXXExceptionHandlerManager::addCXXExceptionHandler(reportUncaughtCXXException);
    if (reporter->hasPendingCrashReport()) {
        // Reported once: the pending report is consumed by the start that reads it. One that
        // cannot be decoded is set aside by the reporter and still counts as a crash.
        m_didCrashInLastSession = true;
        foundation::ErrorPtr error;
        if (auto report = reporter->loadPendingCrashReport(&error)) {
            m_lastSessionCrashSignal = hostSignalNamed(report->signalInfo().name);
            reporter->purgePendingCrashReport();
        } else {
            BCNLogError(logTag(), "The last session's crash report cannot be read: " + (error ? error->localizedDescription() : std::string("unknown error")));
        }
    }
    BCNLogInfo(logTag(), "Crashes service has been enabled.");
}
