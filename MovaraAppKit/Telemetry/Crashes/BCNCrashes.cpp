#include "MovaraAppKit/Telemetry/Crashes/BCNCrashes.h"

#include <execinfo.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <iterator>

#include <chrono>
#include <filesystem>
#include <mutex>
#include <utility>

#include "MovaraAppKit/CrashReporter/MVCrashReport.h"
#include "MovaraAppKit/CrashReporter/MVCrashReporter.h"
#include "MovaraAppKit/Telemetry/Core/BCNBeacon.h"
#include "MovaraAppKit/Telemetry/Core/BCNBeaconUserDefaults.h"
#include "MovaraAppKit/Telemetry/Core/BCNLogger.h"
#include "MovaraAppKit/Telemetry/Core/BCNUtility.h"
#include "MovaraAppKit/Telemetry/Core/Context/BCNDeviceTracker.h"
#include "MovaraAppKit/Telemetry/Core/Context/BCNSessionContext.h"
#include "MovaraAppKit/Telemetry/Core/Context/BCNUserIdContext.h"
#include "MovaraAppKit/Telemetry/Core/Storage/BCNLogDBStorage.h"
#include "MovaraAppKit/Telemetry/Crashes/BCNApplicationForwarder.h"
#include "MovaraAppKit/Telemetry/Crashes/BCNCrashesCXXException.h"
#include "MovaraAppKit/Telemetry/Crashes/BCNCrashesLogBuffer.h"
#include "MovaraAppKit/Telemetry/Crashes/BCNCrashesUtil.h"
#include "MovaraAppKit/Telemetry/Crashes/BCNErrorLogFormatter.h"
#include "MovaraAppKit/Telemetry/Crashes/Model/BCNErrorLogs.h"
#include "Platform/Foundation/UUID.h"

namespace {

constexpr const char* kMemoryWarningKey = "AppDidReceiveMemoryWarning";

// The crash reporter is configured and enabled once per process and stays enabled: its
// handlers cannot be taken back safely while other threads may be crashing. Every instance of
// the service (tests make several) shares it; the service only decides whether it reads and
// reports what the reporter left.
struct ProcessReporter {
    std::mutex mutex;
    std::shared_ptr<MVCrashReporter> reporter;
    BCNCrashes::ExceptionHandler exceptionHandler = nullptr;
    // The terminate handler in place once everything was set up: another one later means a
    // component replaced ours.
    std::terminate_handler terminateHandlerAfterSetup = nullptr;
};

ProcessReporter& processReporter()
{
    static ProcessReporter state;
    return state;
}

// Runs in the crash handler once the report is written.
void mvcr_post_crash_callback(siginfo_t*, ucontext_t*, void*)
{
    bcn_save_log_buffer();
}

const MVCrashReporterCallbacks mvCrashCallbacks { 0, nullptr, mvcr_post_crash_callback };

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
void uncaught_cxx_exception_handler(const BCNCrashesUncaughtCXXExceptionInfo* info)
{
    const BCNCrashesCXXExceptionWrapperException wrapper(info);
    MVCrashReporter::handleUncaughtException(wrapper.name(), wrapper.reason(), wrapper.callStackReturnAddresses());
    std::abort();
}

// An exception the application reported ends the process as an uncaught one would, with the
// stack of the report.
void reportApplicationException(const foundation::Exception& exception)
{
    void* frames[128];
    const int count = ::backtrace(frames, 128);
    std::vector<std::uint64_t> stack;
    for (int i = 1; i < count; ++i)
        stack.push_back(reinterpret_cast<std::uintptr_t>(frames[i]));
    MVCrashReporter::handleUncaughtException(exception.name(), exception.reason(), stack);
    std::abort();
}

// Sees the logs of every channel unit of the group. Held by the group weakly and by the
// service, so the group never keeps the service alive.
class BCNCrashesChannelDelegate : public BCNChannelDelegate {
public:
    explicit BCNCrashesChannelDelegate(std::weak_ptr<BCNCrashes> crashes)
        : m_crashes(std::move(crashes))
    {
    }
    void channelDidPrepareLog(const BCNChannelPtr&, const BCNLogPtr& log, const std::string& internalId, BCNLogFlags) override
    {
        if (auto crashes = m_crashes.lock())
            crashes->bufferPreparedLog(log, internalId);
    }
    void channelDidCompleteEnqueueingLog(const BCNChannelPtr&, const BCNLogPtr& log, const std::string& internalId) override
    {
        if (auto crashes = m_crashes.lock()) {
            crashes->releaseBufferedLog(internalId);
            crashes->crashLogEnqueued(log);
        }
    }
    void channelWillSendLog(const BCNChannelPtr&, const BCNLogPtr& log) override
    {
        if (auto crashes = m_crashes.lock())
            crashes->channelWillSendLog(log);
    }
    void channelDidSucceedSendingLog(const BCNChannelPtr&, const BCNLogPtr& log) override
    {
        if (auto crashes = m_crashes.lock())
            crashes->channelDidSucceedSendingLog(log);
    }
    void channelDidFailSendingLog(const BCNChannelPtr&, const BCNLogPtr& log, const foundation::ErrorPtr& error) override
    {
        if (auto crashes = m_crashes.lock())
            crashes->channelDidFailSendingLog(log, error);
    }

private:
    std::weak_ptr<BCNCrashes> m_crashes;
};

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

std::mutex& setupDelegateMutex()
{
    static std::mutex mutex;
    return mutex;
}

std::weak_ptr<BCNCrashHandlerSetupDelegate>& setupDelegate()
{
    static std::weak_ptr<BCNCrashHandlerSetupDelegate> delegate;
    return delegate;
}

} // namespace

std::shared_ptr<BCNCrashes> BCNCrashes::sharedInstance()
{
    std::lock_guard lock(singletonMutex());
    auto& crashes = singleton();
    if (!crashes) {
        crashes.reset(new BCNCrashes());
        crashes->init();
    }
    return crashes;
}

void BCNCrashes::resetSharedInstance()
{
    std::shared_ptr<BCNCrashes> old;
    {
        std::lock_guard lock(singletonMutex());
        old = std::move(singleton());
    }
    // Whoever still waits for the old instance's first processing is let through.
    if (old)
        old->openProcessingGate();
}

void BCNCrashes::init()
{
    BCNBeaconUserDefaults::shared().migrateKeys({ { "BeaconSDKCrashesIsEnabled", std::string("kBNCrashesIsEnabledKey") },
                                                    { "BeaconSDKAppDidReceiveMemoryWarning", std::string("BNAppDidReceiveMemoryWarning") },
                                                    { "BeaconSDKCrashesUserConfirmation", std::string("BNUserConfirmation") } },
        "Crashes");
    BCNUtility::addMigrationClasses({ { "BNAppleErrorLog", "BCNAppleErrorLog" }, { "BNThread", "BCNThread" },
        { "BNWrapperException", "BCNWrapperException" }, { "BNAbstractErrorLog", "BCNAbstractErrorLog" },
        { "BNHandledErrorLog", "BCNHandledErrorLog" }, { "BNException", "BCNException" }, { "BNStackFrame", "BCNStackFrame" },
        { "BNBinary", "BCNBinary" }, { "BNErrorAttachmentLog", "BCNErrorAttachmentLog" }, { "BNErrorReport", "BCNErrorReport" } });
    m_appStartTime = foundation::Date::now();
    m_applicationState = [] { return BCNUtility::applicationState(); };
    std::lock_guard guard(lock());
    setupLogBuffer();
}

BCNCrashes::~BCNCrashes()
{
    if (m_channelDelegate && channelGroup())
        channelGroup()->removeDelegate(m_channelDelegate);
}

bool BCNCrashes::hasCrashedInLastSession()
{
    return sharedInstance()->m_didCrashInLastSession;
}

bool BCNCrashes::hasReceivedMemoryWarningInLastSession()
{
    return sharedInstance()->m_didReceiveMemoryWarningInLastSession;
}

std::shared_ptr<BCNErrorReport> BCNCrashes::lastSessionCrashReport()
{
    auto crashes = sharedInstance();
    std::lock_guard state(crashes->m_stateMutex);
    return crashes->m_lastSessionCrashReport;
}

std::optional<int> BCNCrashes::lastSessionCrashSignal()
{
    return sharedInstance()->m_lastSessionCrashSignal;
}

void BCNCrashes::setUserConfirmationHandler(BCNUserConfirmationHandler handler)
{
    sharedInstance()->setInstanceUserConfirmationHandler(std::move(handler));
}

BCNUserConfirmationHandler BCNCrashes::userConfirmationHandler()
{
    return sharedInstance()->instanceUserConfirmationHandler();
}

void BCNCrashes::setInstanceDelegate(const std::shared_ptr<BCNCrashesDelegate>& delegate)
{
    std::lock_guard state(m_stateMutex);
    m_delegate = delegate;
}

std::shared_ptr<BCNCrashesDelegate> BCNCrashes::instanceDelegate() const
{
    std::lock_guard state(m_stateMutex);
    return m_delegate.lock();
}

void BCNCrashes::setInstanceUserConfirmationHandler(BCNUserConfirmationHandler handler)
{
    std::lock_guard state(m_stateMutex);
    m_userConfirmationHandler = std::move(handler);
}

BCNUserConfirmationHandler BCNCrashes::instanceUserConfirmationHandler() const
{
    std::lock_guard state(m_stateMutex);
    return m_userConfirmationHandler;
}

void BCNCrashes::setCrashHandlerSetupDelegate(const std::shared_ptr<BCNCrashHandlerSetupDelegate>& delegate)
{
    std::lock_guard lock(setupDelegateMutex());
    setupDelegate() = delegate;
}

std::shared_ptr<BCNCrashHandlerSetupDelegate> BCNCrashes::crashHandlerSetupDelegate()
{
    std::lock_guard lock(setupDelegateMutex());
    return setupDelegate().lock();
}

std::optional<BCNChannelUnitConfiguration> BCNCrashes::channelUnitConfiguration() const
{
    return BCNChannelUnitConfiguration(groupId(), 2, 1, 1, 3);
}

std::string BCNCrashes::crashesDirectory()
{
    return BCNUtility::fullURLForPathComponent(BCNCrashesUtil::crashesDir()).string();
}

std::optional<std::string> BCNCrashes::storeCrashReportCopy(const std::vector<std::uint8_t>& bytes)
{
    // Named by the seconds since 1 January 2001; a second crash stored in the same second gets a
    // suffix rather than replacing the first.
    const double sinceReferenceDate = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count() - 978307200.0;
    char base[32];
    std::snprintf(base, sizeof base, "%.0f", sinceReferenceDate);
    const std::filesystem::path directory = crashesDirectory();
    for (int attempt = 0; attempt < 1000; ++attempt) {
        const std::string name = attempt == 0 ? std::string(base) : std::string(base) + "-" + std::to_string(attempt);
        const auto path = directory / name;
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0) {
            if (errno == EEXIST)
                continue;
            return std::nullopt;
        }
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            done += static_cast<std::size_t>(n);
        }
        const bool synced = ::fsync(fd) == 0;
        ::close(fd);
        // Kept only when it reads back whole: the reporter's copy is purged on the strength of it.
        std::ifstream in(path, std::ios::binary);
        const std::vector<std::uint8_t> back { std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>() };
        if (done == bytes.size() && synced && back == bytes)
            return path.string();
        std::error_code ec;
        std::filesystem::remove(path, ec);
        return std::nullopt;
    }
    return std::nullopt;
}

void BCNCrashes::handleLatestCrashReport(MVCrashReporter& reporter)
{
    const std::filesystem::path marker = std::filesystem::path(crashesDirectory()) / "BNCrashes.analyzer";
    std::error_code ec;
    // A marker left behind means the last analysis ended the process: the report is dropped
    // unread rather than analysed (and crashed on) again.
    if (std::filesystem::exists(marker, ec)) {
        BCNLogError(logTag(), "Error on loading the crash report, it will be purged.");
        std::filesystem::remove(marker, ec);
        reporter.purgePendingCrashReport();
        return;
    }
    if (const int fd = ::open(marker.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600); fd >= 0)
        ::close(fd);
    else
        BCNLogError(logTag(), "Couldn't create crash analyzer file.");
    bool purge = true;
    foundation::ErrorPtr error;
    const auto describe = [&] { return error ? error->localizedDescription() : std::string("unknown error"); };
    if (auto data = reporter.loadPendingCrashReportDataAndReturnError(&error); !data) {
        BCNLogError(logTag(), "Couldn't load crash report: " + describe());
    } else if (auto report = MVCrashReport::initWithData(*data, &error); !report) {
        BCNLogWarning(logTag(), "Couldn't parse crash report: " + describe());
    } else {
        m_lastSessionCrashSignal = hostSignalNamed(report->signalInfo().name);
        auto errorReport = BCNErrorLogFormatter::errorReportFromCrashReport(report.get());
        {
            std::lock_guard state(m_stateMutex);
            m_lastSessionCrashReport = errorReport;
        }
        correlateWrapperExceptions({ errorReport });
        if (!storeCrashReportCopy(*data)) {
            // The only copy stays with the reporter, for the next start.
            BCNLogError(logTag(), "Couldn't store the crash report in " + crashesDirectory() + "; it is kept for the next launch.");
            purge = false;
        }
    }
    std::filesystem::remove(marker, ec);
    if (purge)
        reporter.purgePendingCrashReport();
}

std::string BCNCrashes::logBufferDirectory()
{
    return BCNUtility::fullURLForPathComponent(BCNCrashesUtil::logBufferDir()).string();
}

void BCNCrashes::startWithChannelGroup(std::shared_ptr<BCNChannelGroupProtocol> group, const std::optional<std::string>& appSecret,
    const std::optional<std::string>& transmissionTargetToken, bool fromApplication)
{
    BCNServiceAbstract::startWithChannelGroup(group, appSecret, transmissionTargetToken, fromApplication);
    if (group && !m_channelDelegate) {
        m_channelDelegate = std::make_shared<BCNCrashesChannelDelegate>(std::static_pointer_cast<BCNCrashes>(shared_from_this()));
        group->addDelegate(m_channelDelegate);
    }
    processLogBufferAfterCrash();
    processMemoryWarningInLastSession();
    BCNLogVerbose(logTag(), "Started crash service.");
}

void BCNCrashes::updateConfigurationWithAppSecret(const std::optional<std::string>& appSecret,
    const std::optional<std::string>& transmissionTargetToken)
{
    processLogBufferAfterCrash();
    BCNServiceAbstract::updateConfigurationWithAppSecret(appSecret, transmissionTargetToken);
}

void BCNCrashes::setupLogBuffer()
{
    if (m_logBuffer)
        return;
    m_logBuffer = std::make_unique<BCNCrashesLogBuffer>(logBufferDirectory());
    BCNCrashesLogBuffer::install(m_logBuffer.get());
}

void BCNCrashes::bufferPreparedLog(const BCNLogPtr& log, const std::string& internalId)
{
    // Crash logs and their attachments have their own way back after a crash.
    if (!log || !isEnabled() || std::dynamic_pointer_cast<BCNAppleErrorLog>(log) || std::dynamic_pointer_cast<BCNErrorAttachmentLog>(log))
        return;
    std::lock_guard guard(lock());
    if (!m_logBuffer)
        return;
    auto archive = BCNUtility::archiveKeyedData(log);
    if (!archive || archive->empty())
        return;
    std::string token;
    if (auto tokens = log->transmissionTargetTokens(); tokens && !tokens->empty())
        token = m_targetTokenEncrypter.encryptString(*tokens->begin()).value_or(std::string());
    BCNLogVerbose(logTag(), "Storing a log to Crashes Buffer: (sid: " + log->sid().value_or("(null)") + ", type: " + log->type() + ")");
    const double now = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    m_logBuffer->bufferLog(*archive, token, internalId, now);
}

void BCNCrashes::releaseBufferedLog(const std::string& internalId)
{
    std::lock_guard guard(lock());
    if (m_logBuffer)
        m_logBuffer->releaseLog(internalId);
}

namespace {

std::mutex& memoryPressureSourcesMutex()
{
    static std::mutex mutex;
    return mutex;
}

std::optional<sys::MemoryPressureMonitor::Sources>& memoryPressureSources()
{
    static std::optional<sys::MemoryPressureMonitor::Sources> sources;
    return sources;
}

} // namespace

void BCNCrashes::setMemoryPressureSources(std::optional<sys::MemoryPressureMonitor::Sources> sources)
{
    std::lock_guard lock(memoryPressureSourcesMutex());
    memoryPressureSources() = std::move(sources);
}

void BCNCrashes::startMemoryPressureMonitor()
{
    if (m_memoryPressureMonitor)
        return;
    sys::MemoryPressureMonitor::Sources sources;
    {
        std::lock_guard lock(memoryPressureSourcesMutex());
        sources = memoryPressureSources().value_or(sys::MemoryPressureMonitor::Sources {});
    }
    std::weak_ptr<BCNCrashes> weak = std::static_pointer_cast<BCNCrashes>(shared_from_this());
    // Recorded from the monitor's own thread: the application's main loop may be busy or not
    // run at all, and the record is all there is to do.
    m_memoryPressureMonitor = sys::MemoryPressureMonitor::start([weak] {
        if (auto self = weak.lock())
            self->didReceiveMemoryWarning();
    }, sources);
    if (!m_memoryPressureMonitor)
        BCNLogDebug(logTag(), "No memory pressure information on this system: low-memory warnings come only from the application.");
}

void BCNCrashes::crashLogEnqueued(const BCNLogPtr& log)
{
    std::optional<CrashFileAwaitingStore> awaiting;
    {
        std::lock_guard state(m_stateMutex);
        if (auto it = m_crashFilesAwaitingStore.find(log); it != m_crashFilesAwaitingStore.end()) {
            awaiting = it->second;
            m_crashFilesAwaitingStore.erase(it);
        }
    }
    if (!awaiting)
        return;
    // Called on the channel group's queue, right after the store was asked to keep the log.
    bool stored = false;
    if (auto group = std::dynamic_pointer_cast<BCNChannelGroupDefault>(channelGroup()); group && group->storage())
        if (auto archive = BCNUtility::archiveKeyedData(log))
            stored = group->storage()->hasLogWithArchive(*archive);
    if (!stored) {
        BCNLogWarning(logTag(), "The crash log could not be stored; its crash file " + awaiting->path + " is kept for the next launch.");
        return;
    }
    deleteCrashReportWithFileURL(awaiting->path);
    deleteWrapperException(awaiting->incidentIdentifier);
}

void BCNCrashes::processLogBufferAfterCrash()
{
    if (!m_logBuffer || !channelGroup())
        return;
    if (!m_bufferChannelUnit)
        m_bufferChannelUnit = channelGroup()->addChannelUnitWithConfiguration(BCNChannelUnitConfiguration("CrashesBuffer", 2, 1, 50, 1));
    if (!m_bufferChannelUnit)
        return;
    // The buffer of an earlier run is the folder owner's to send.
    if (!BCNUtility::ownsBeaconDirectory())
        return;
    m_logBuffer->processSavedFiles([&](const std::vector<std::uint8_t>& bytes, const std::optional<std::string>& token) {
        auto log = std::dynamic_pointer_cast<BCNAbstractLog>(BCNUtility::unarchiveKeyedData(foundation::Data(bytes)));
        if (!log) {
            BCNLogError("Beacon", "Deserialization failed for log: The log deserialized to NULL.");
            return false;
        }
        if (token) {
            if (auto decrypted = m_targetTokenEncrypter.decryptString(*token))
                log->addTransmissionTargetToken(*decrypted);
            else
                BCNLogError("Beacon", "Failed to decrypt the target token.");
        }
        BCNLogDebug(logTag(), "Re-enqueueing buffered log, type: " + log->type() + ".");
        enqueueBufferedLog(log, bytes);
        return true;
    });
}

void BCNCrashes::enqueueBufferedLog(const BCNLogPtr& log, const std::vector<std::uint8_t>& archive)
{
    // A crash between the store's write of a log and the release of its slot leaves the log both
    // stored and saved: the stored copy is the one that goes out. The store is asked on its queue,
    // and the log is enqueued from here, before the other services start, so that it keeps the
    // session it was tracked in.
    bool stored = false;
    if (auto group = std::dynamic_pointer_cast<BCNChannelGroupDefault>(channelGroup()); group && group->storage())
        group->logsDispatchQueue()->sync([&] { stored = group->storage()->hasLogWithArchive(archive); });
    if (stored) {
        BCNLogDebug(logTag(), "Buffered log is stored already, not enqueued again, type: " + log->type() + ".");
        return;
    }
    m_bufferChannelUnit->enqueueItem(log, BCNLogFlagsNormal);
}

void BCNCrashes::applyEnabledState(bool enabled)
{
    BCNServiceAbstract::applyEnabledState(enabled);
    if (!enabled) {
        m_memoryPressureMonitor.reset();
        BCNLogDebug(logTag(), "Cleaning up all crash files.");
        deleteAllWrapperExceptions();
        deleteAllFromCrashesDirectory();
        if (m_logBuffer)
            m_logBuffer->emptyBufferFiles();
        removeAnalyzerFile();
        if (auto reporter = crashReporter())
            reporter->purgePendingCrashReport();
        clearUnprocessedReports();
        clearContextHistoryAndKeepCurrentSession();
        BCNBeaconUserDefaults::shared().removeObjectForKey(kMemoryWarningKey);
        // No processing comes while disabled: nobody waits for one.
        openProcessingGate();
        BCNLogInfo(logTag(), "Crashes service has been disabled.");
        return;
    }
    auto setup = crashHandlerSetupDelegate();
    const bool enableUncaughtExceptionHandler = !setup || setup->shouldEnableUncaughtExceptionHandler();
    if (setup)
        setup->willSetUpCrashHandlers();
    configureCrashReporterWithUncaughtExceptionHandlerEnabled(enableUncaughtExceptionHandler);
    if (setup)
        setup->didSetUpCrashHandlers();
    startMemoryPressureMonitor();
    auto reporter = crashReporter();
    // Enabled through setEnabled (the flag is stored after this runs): a report left while the
    // service was off is not this service's to send.
    if (!isEnabled() && reporter)
        reporter->purgePendingCrashReport();
    // The crashes of earlier runs are the folder owner's to send.
    const bool owner = BCNUtility::ownsBeaconDirectory();
    if (owner && reporter && reporter->hasPendingCrashReport()) {
        m_didCrashInLastSession = true;
        BCNLogDebug(logTag(), "The application crashed in the last session.");
        handleLatestCrashReport(*reporter);
    }
    const auto stored = owner ? persistedCrashReports() : std::vector<std::string> {};
    {
        std::lock_guard state(m_stateMutex);
        m_crashFiles = stored;
    }
    if (!stored.empty()) {
        startDelayedCrashProcessing();
    } else {
        openProcessingGate();
        // The histories are shared too: the owner charges earlier crashes to them.
        if (owner)
            clearContextHistoryAndKeepCurrentSession();
    }
    if (BCNBeacon::isDebuggerAttached())
        BCNLogInfo(logTag(), "Crashes service has been enabled but the service cannot detect crashes due to running the application with a debugger attached.");
    else
        BCNLogInfo(logTag(), "Crashes service has been enabled.");
}

std::shared_ptr<MVCrashReporter> BCNCrashes::crashReporter() const
{
    if (m_mvCrashReporter)
        return m_mvCrashReporter;
    auto& process = processReporter();
    std::lock_guard lock(process.mutex);
    return process.reporter;
}

void BCNCrashes::configureCrashReporterWithUncaughtExceptionHandlerEnabled(bool enableUncaughtExceptionHandler)
{
    if (m_mvCrashReporter) {
        BCNLogDebug(logTag(), "Already configured MVCrashReporter.");
        return;
    }
    auto& process = processReporter();
    std::lock_guard lock(process.mutex);
    if (process.reporter) {
        // An earlier instance of this process set the reporter up: it is this one's too.
        BCNLogDebug(logTag(), "Already configured MVCrashReporter.");
        m_mvCrashReporter = process.reporter;
        m_exceptionHandler = process.exceptionHandler;
        return;
    }
    if (enableUncaughtExceptionHandler)
        BCNLogDebug(logTag(), "EnableUncaughtExceptionHandler is set to YES");
    else
        BCNLogDebug(logTag(), "EnableUncaughtExceptionHandler is set to NO, we're running in a wrapper SDK runtime.");
    // This system has no Mach exception server: the reporter would refuse to enable. Signal
    // handlers catch the same crashes here.
    if (isMachExceptionHandlerEnabled())
        BCNLogDebug(logTag(), "Mach exception handling is not available on this system; using signal handlers.");
    const auto type = static_cast<std::uint64_t>(MVCrashReporterSignalHandlerType::BSD);
    m_mvCrashReporter = MVCrashReporter::initWithConfiguration(
        MVCrashReporterConfig::initWithSignalHandlerType(type, MVCrashReporterSymbolicationStrategyNone, enableUncaughtExceptionHandler));
    process.reporter = m_mvCrashReporter;
    if (BCNBeacon::isDebuggerAttached()) {
        BCNLogWarning(logTag(), "Detecting crashes is NOT enabled due to running the app with a debugger attached.");
        return;
    }
    m_mvCrashReporter->setCrashCallbacks(&mvCrashCallbacks);
    foundation::ErrorPtr error;
    const bool enabled = m_mvCrashReporter->enableCrashReporterAndReturnError(&error);
    if (!enabled)
        BCNLogError(logTag(), "Could not enable crash reporter: " + (error ? error->localizedDescription() : std::string("unknown error")));
    // The reporter handles uncaught exceptions only when asked to; a wrapper SDK that keeps
    // them for its own runtime leaves this process without one.
    if (enabled && enableUncaughtExceptionHandler) {
        m_exceptionHandler = reportApplicationException;
        BCNLogDebug(logTag(), "Exception handler successfully initialized.");
    } else {
        BCNLogError(logTag(), "Exception handler could not be set. Make sure there is no other exception handler set up!");
    }
    process.exceptionHandler = m_exceptionHandler;
    BCNCrashesUncaughtCXXExceptionHandlerManager::addCXXExceptionHandler(uncaught_cxx_exception_handler);
    process.terminateHandlerAfterSetup = std::get_terminate();
    BCNApplicationForwarder::registerForwarding();
}

void BCNCrashes::startCrashProcessing()
{
    BCNLogDebug(logTag(), "Start delayed CrashManager processing");
    std::terminate_handler expected = nullptr;
    {
        auto& process = processReporter();
        std::lock_guard lock(process.mutex);
        expected = process.terminateHandlerAfterSetup;
    }
    if (m_exceptionHandler && expected && std::get_terminate() != expected)
        BCNLogWarning(logTag(), "Another exception handler was added. If this invokes any kind of exit() after processing the exception, which "
                                "causes any subsequent error handler not to be invoked, these crashes will NOT be reported to Beacon!");
    processCrashReports();
}

void BCNCrashes::applicationDidReportException(const foundation::Exception& exception)
{
    if (BCNBeacon::isDebuggerAttached())
        return;
    if (auto handler = sharedInstance()->exceptionHandler())
        handler(exception);
}

void BCNCrashes::generateTestCrash()
{
    auto crashes = sharedInstance();
    std::lock_guard guard(crashes->lock());
    if (!crashes->canBeUsed())
        return;
    if (BCNUtility::currentAppEnvironment() == 0) {
        BCNLogWarning(crashes->logTag(), "GenerateTestCrash was just called in an App Store environment. The call will be ignored.");
        return;
    }
    if (BCNBeacon::isDebuggerAttached())
        BCNLogWarning(crashes->logTag(), "The debugger is attached. The following crash cannot be detected by the SDK!");
    __builtin_trap();
}

void BCNCrashes::didReceiveMemoryWarning()
{
    BCNBeaconUserDefaults::shared().setObjectForKey(true, kMemoryWarningKey);
}

void BCNCrashes::processMemoryWarningInLastSession()
{
    if (!isEnabled())
        return;
    const auto value = BCNBeaconUserDefaults::shared().objectForKey(kMemoryWarningKey);
    m_didReceiveMemoryWarningInLastSession = value.isNumber() && value.asBool();
    if (m_didReceiveMemoryWarningInLastSession)
        BCNLogDebug(logTag(), "The application received a low memory warning in the last session.");
    BCNBeaconUserDefaults::shared().removeObjectForKey(kMemoryWarningKey);
}

void BCNCrashes::clearContextHistoryAndKeepCurrentSession()
{
    BCNDeviceTracker::sharedInstance()->clearDevices();
    BCNSessionContext::sharedInstance()->clearSessionHistoryAndKeepCurrentSession(true);
    BCNUserIdContext::sharedInstance()->clearUserIdHistory();
}

std::optional<std::string> BCNCrashes::trackModelException(const std::shared_ptr<BCNException>& exception, const foundation::Value& properties,
    const std::optional<BCNErrorAttachments>& attachments)
{
    std::lock_guard guard(lock());
    if (!canBeUsed() || !isEnabled())
        return std::nullopt;
    auto log = std::make_shared<BCNHandledErrorLog>();
    log->setUserId(BCNUserIdContext::sharedInstance()->userId());
    log->errorId = foundation::UUID::random().UUIDString();
    log->exception = exception;
    if (properties.isDictionary() && !properties.asDictionary().empty())
        log->setProperties(BCNUtility::validateProperties(properties, "ErrorLog: " + *log->errorId, log->type()));
    if (channelUnit())
        channelUnit()->enqueueItem(log, BCNLogFlagsNormal);
    if (attachments)
        sendErrorAttachmentsInstance(*attachments, *log->errorId);
    return log->errorId;
}

std::shared_ptr<BCNErrorReport> BCNCrashes::buildHandledErrorReportWithErrorID(const std::string& errorId) const
{
    return std::make_shared<BCNErrorReport>(errorId, std::nullopt, std::nullopt, std::nullopt, std::nullopt, m_appStartTime,
        foundation::Date::now(), BCNDeviceTracker::sharedInstance()->device(), 0);
}
