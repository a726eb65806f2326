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
#include "MovaraAppKit/Telemetry/Core/BCNLogger.h"
#include "MovaraAppKit/Telemetry/Core/BCNUtility.h"
#include "MovaraAppKit/Telemetry/Crashes/BCNApplicationForwarder.h"
#include "MovaraAppKit/Telemetry/Crashes/BCNCrashesCXXException.h"
#include "MovaraAppKit/Telemetry/Crashes/BCNCrashesLogBuffer.h"
#include "MovaraAppKit/Telemetry/Crashes/BCNCrashesUtil.h"
#include "MovaraAppKit/Telemetry/Crashes/Model/BCNErrorLogs.h"

namespace {

// The crash reporter is enabled once per process and stays enabled: its handlers cannot be taken
// back safely while other threads may be crashing. The service only decides whether it reads and
// reports what the reporter left.
std::mutex g_reporterMutex;

// Runs in the crash handler once the report is written.
void mvcr_post_crash_callback(siginfo_t*, ucontext_t*, void*)
{
    bcn_save_log_buffer();
}

std::shared_ptr<MVCrashReporter> enabledReporter()
{
    std::lock_guard lock(g_reporterMutex);
    static std::shared_ptr<MVCrashReporter> reporter;
    if (!reporter) {
        auto candidate = MVCrashReporter::sharedReporter();
        if (!candidate->isEnabled()) {
            static const MVCrashReporterCallbacks callbacks { 0, nullptr, mvcr_post_crash_callback };
            candidate->setCrashCallbacks(&callbacks);
        }
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

// Sees the logs of every channel unit of the group.
class BCNCrashesBufferDelegate : public BCNChannelDelegate {
public:
    explicit BCNCrashesBufferDelegate(std::weak_ptr<BCNCrashes> crashes)
        : m_crashes(std::move(crashes))
    {
    }
    void channelDidPrepareLog(const BCNChannelPtr&, const BCNLogPtr& log, const std::string& internalId, BCNLogFlags) override
    {
        if (auto crashes = m_crashes.lock())
            crashes->bufferPreparedLog(log, internalId);
    }
    void channelDidCompleteEnqueueingLog(const BCNChannelPtr&, const BCNLogPtr&, const std::string& internalId) override
    {
        if (auto crashes = m_crashes.lock())
            crashes->releaseBufferedLog(internalId);
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
    if (m_bufferDelegate && channelGroup())
        channelGroup()->removeDelegate(m_bufferDelegate);
    if (m_cxxHandlerRegistered)
        BCNCrashesUncaughtCXXExceptionHandlerManager::removeCXXExceptionHandler(reportUncaughtCXXException);
}

void BCNCrashes::applicationDidReportException(const foundation::Exception& exception)
{
    if (BCNBeacon::isDebuggerAttached())
        return;
    if (auto handler = sharedInstance()->exceptionHandler())
        handler(exception);
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
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
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
    if (!std::ofstream(marker, std::ios::binary | std::ios::app))
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
    {
        std::lock_guard guard(lock());
        setupLogBuffer();
    }
    if (group && !m_bufferDelegate) {
        m_bufferDelegate = std::make_shared<BCNCrashesBufferDelegate>(std::static_pointer_cast<BCNCrashes>(shared_from_this()));
        group->addDelegate(m_bufferDelegate);
    }
    BCNServiceAbstract::startWithChannelGroup(std::move(group), appSecret, transmissionTargetToken, fromApplication);
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

void BCNCrashes::processLogBufferAfterCrash()
{
    if (!m_logBuffer || !channelGroup())
        return;
    if (!m_bufferChannelUnit)
        m_bufferChannelUnit = channelGroup()->addChannelUnitWithConfiguration(BCNChannelUnitConfiguration("CrashesBuffer", 2, 1, 50, 1));
    if (!m_bufferChannelUnit)
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
        m_bufferChannelUnit->enqueueItem(log, BCNLogFlagsNormal);
        return true;
    });
}

void BCNCrashes::applyEnabledState(bool enabled)
{
    BCNServiceAbstract::applyEnabledState(enabled);
    if (!enabled) {
        if (m_logBuffer)
            m_logBuffer->emptyBufferFiles();
        if (std::exchange(m_cxxHandlerRegistered, false)) {
            BCNCrashesUncaughtCXXExceptionHandlerManager::removeCXXExceptionHandler(reportUncaughtCXXException);
            setExceptionHandler(nullptr);
        }
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
    if (reporter->isEnabled() && !std::exchange(m_cxxHandlerRegistered, true)) {
        BCNCrashesUncaughtCXXExceptionHandlerManager::addCXXExceptionHandler(reportUncaughtCXXException);
        setExceptionHandler(reportApplicationException);
        BCNApplicationForwarder::registerForwarding();
    }
    if (reporter->hasPendingCrashReport()) {
        m_didCrashInLastSession = true;
        handleLatestCrashReport(*reporter);
    }
    processLogBufferAfterCrash();
    BCNLogInfo(logTag(), "Crashes service has been enabled.");
}
