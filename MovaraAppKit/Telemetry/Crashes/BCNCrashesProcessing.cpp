// The road of a stored crash report on the launch after the crash: decoded, turned into a crash
// log, offered to the delegate and the user, sent with its attachments, then deleted.

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "MovaraAppKit/CrashReporter/MVCrashReport.h"
#include "MovaraAppKit/CrashReporter/MVCrashReporterError.h"
#include "MovaraAppKit/Telemetry/Core/BCNBeaconUserDefaults.h"
#include "MovaraAppKit/Telemetry/Core/BCNLogger.h"
#include "MovaraAppKit/Telemetry/Core/BCNUtility.h"
#include "MovaraAppKit/Telemetry/Core/Context/BCNSessionContext.h"
#include "MovaraAppKit/Telemetry/Core/Context/BCNUserIdContext.h"
#include "MovaraAppKit/Telemetry/Core/Util/BCNDispatcherUtil.h"
#include "MovaraAppKit/Telemetry/Crashes/BCNCrashes.h"
#include "MovaraAppKit/Telemetry/Crashes/BCNErrorLogFormatter.h"
#include "MovaraAppKit/Telemetry/Crashes/BCNWrapperExceptionManager.h"
#include "Platform/Dispatch/Queue.h"
#include "Platform/Dispatch/RunLoop.h"

namespace {

constexpr const char* kUserConfirmationKey = "CrashesUserConfirmation";
constexpr const char* kAnalyzerFileName = "BNCrashes.analyzer";

// Names in the crashes folder that are not crash reports.
bool isExcludedName(const std::string& name)
{
    static const char* const suffixes[] = { ".DS_Store", ".analyzer", ".plist", ".data", ".meta", ".desc" };
    return std::any_of(std::begin(suffixes), std::end(suffixes), [&](const char* suffix) { return name.ends_with(suffix); });
}

std::string describe(const foundation::ErrorPtr& error)
{
    return error ? error->localizedDescription() : std::string("unknown error");
}

std::string describe(const std::shared_ptr<BCNErrorReport>& report)
{
    return "incident " + (report ? report->incidentIdentifier().value_or("(null)") : std::string("(null)"));
}

} // namespace

std::vector<std::string> BCNCrashes::persistedCrashReports() const
{
    const std::filesystem::path directory = crashesDirectory();
    std::error_code ec;
    std::vector<std::string> files;
    std::filesystem::directory_iterator it(directory, ec);
    if (ec) {
        BCNLogError(logTag(), "No persisted crashes found.");
        return files;
    }
    for (std::filesystem::directory_iterator end; it != end; it.increment(ec)) {
        if (ec)
            break;
        const auto& entry = *it;
        std::error_code entryError;
        if (!entry.is_regular_file(entryError) || isExcludedName(entry.path().filename().string()))
            continue;
        const auto size = entry.file_size(entryError);
        if (entryError || size == 0)
            continue;
        files.push_back(entry.path().string());
    }
    // Names are the copy times: oldest first.
    std::sort(files.begin(), files.end());
    return files;
}

void BCNCrashes::startDelayedCrashProcessing()
{
    std::weak_ptr<BCNCrashes> weak = std::static_pointer_cast<BCNCrashes>(shared_from_this());
    dispatch::Queue::global()->asyncAfter(1.0, [weak] {
        auto self = weak.lock();
        if (!self)
            return;
        if (self->isAutomaticProcessingEnabled() && self->m_applicationState && self->m_applicationState() == 2) {
            BCNLogWarning(self->logTag(), "Crashes will not be processed because the application is in the background.");
            // Nothing comes for now: a wrapper waiting for the reports gets what there is.
            self->openProcessingGate();
            return;
        }
        std::call_once(self->m_delayedProcessingToken, [&] {
            self->startCrashProcessing();
            self->openProcessingGate();
        });
    });
}

void BCNCrashes::applicationWillEnterForeground()
{
    bool pending;
    {
        std::lock_guard state(m_stateMutex);
        pending = !m_crashFiles.empty();
    }
    if (pending)
        startDelayedCrashProcessing();
}

void BCNCrashes::processCrashReports()
{
    if (!isEnabled()) {
        BCNLogDebug(logTag(), "Crashes service is disabled; discard all crash reports");
        deleteAllFromCrashesDirectory();
        deleteAllWrapperExceptions();
        return;
    }
    std::vector<std::string> files;
    {
        std::lock_guard state(m_stateMutex);
        m_unprocessedLogs.emplace();
        m_unprocessedReports.emplace();
        m_unprocessedFilePaths.emplace();
        files = m_crashFiles;
    }
    struct Found {
        std::string path;
        std::shared_ptr<MVCrashReport> report;
        std::shared_ptr<BCNErrorReport> errorReport;
    };
    std::vector<Found> found;
    for (const auto& path : files) {
        foundation::ErrorPtr error;
        const auto bytes = MVCrashReport::readReportFile(path, &error);
        if (bytes && bytes->empty())
            continue;
        // A file too large to be a report is refused unread, as one that does not decode.
        auto report = bytes ? MVCrashReport::initWithData(*bytes, &error) : nullptr;
        if (!report && error && error->code() == MVCrashReporterErrorOperatingSystem)
            continue; // unreadable, as before: skipped
        if (!report) {
            // Kept where it is: the next launch tries again.
            BCNLogWarning(logTag(), "Crash report found but couldn't parse it, discard the crash report: " + describe(error));
            continue;
        }
        found.push_back({ path, report, BCNErrorLogFormatter::errorReportFromCrashReport(report.get()) });
    }
    BCNErrorReports errorReports;
    for (const auto& f : found)
        errorReports.push_back(f.errorReport);
    correlateWrapperExceptions(errorReports);

    const bool automatic = isAutomaticProcessingEnabled();
    for (const auto& f : found) {
        BCNLogVerbose(logTag(), "Crash reports found");
        auto log = BCNErrorLogFormatter::errorLogFromCrashReport(*f.report);
        if (automatic && !shouldProcessErrorReport(f.errorReport)) {
            BCNLogDebug(logTag(), "shouldProcessErrorReport returned NO, discard the crash report: " + describe(f.errorReport));
            deleteWrapperException(f.errorReport ? f.errorReport->incidentIdentifier() : std::nullopt);
            deleteCrashReportWithFileURL(f.path);
            removeFromCrashFiles(f.path);
            continue;
        }
        if (!automatic)
            BCNLogDebug(logTag(), "Automatic crash processing is disabled, storing the crash report for later processing: " + describe(f.errorReport));
        else
            BCNLogDebug(logTag(), "shouldProcessErrorReport is not implemented or returned YES, processing the crash report: " + describe(f.errorReport));
        std::lock_guard state(m_stateMutex);
        m_unprocessedLogs->push_back(log);
        m_unprocessedReports->push_back(f.errorReport);
        m_unprocessedFilePaths->push_back(f.path);
    }
    if (automatic)
        sendCrashReportsOrAwaitUserConfirmation();
}

bool BCNCrashes::shouldProcessErrorReport(const std::shared_ptr<BCNErrorReport>& errorReport)
{
    auto delegate = instanceDelegate();
    return !delegate || delegate->crashesShouldProcessErrorReport(*this, errorReport);
}

bool BCNCrashes::shouldAlwaysSend() const
{
    const auto value = BCNBeaconUserDefaults::shared().objectForKey(kUserConfirmationKey);
    return value.isNumber() && value.asBool();
}

bool BCNCrashes::sendCrashReportsOrAwaitUserConfirmation()
{
    const bool alwaysSend = shouldAlwaysSend();
    bool hasHandler;
    {
        std::lock_guard state(m_stateMutex);
        if (!m_unprocessedReports || m_unprocessedReports->empty())
            return alwaysSend;
        hasHandler = static_cast<bool>(m_userConfirmationHandler);
    }
    if (alwaysSend) {
        BCNLogDebug(logTag(), "The flag for user confirmation is set to BCNUserConfirmationAlways, continue sending logs");
        handleUserConfirmation(BCNUserConfirmationSend);
    } else if (isAutomaticProcessingEnabled() && (!hasHandler || !userPromptedForConfirmation())) {
        BCNLogDebug(logTag(), "The user confirmation handler is not implemented or returned NO, continue sending logs");
        handleUserConfirmation(BCNUserConfirmationSend);
    } else if (!isAutomaticProcessingEnabled()) {
        BCNLogDebug(logTag(), "Automatic crash processing is disabled and \"AlwaysSend\" is false. Awaiting user confirmation.");
    }
    // Otherwise the application asks its user and answers through notifyWithUserConfirmation.
    return alwaysSend;
}

bool BCNCrashes::userPromptedForConfirmation()
{
    BCNUserConfirmationHandler handler;
    BCNErrorReports reports;
    {
        std::lock_guard state(m_stateMutex);
        handler = m_userConfirmationHandler;
        if (m_unprocessedReports)
            reports = *m_unprocessedReports;
    }
    if (!handler)
        return false;
    if (dispatch::RunLoop::isMainThread())
        return handler(reports);
    bool answer = false;
    dispatch::Queue::main()->sync([&] { answer = handler(reports); });
    return answer;
}

void BCNCrashes::notifyWithUserConfirmationInstance(int userConfirmation)
{
    bool misuse;
    {
        std::lock_guard state(m_stateMutex);
        misuse = !m_userConfirmationHandler && !m_unprocessedReports;
    }
    if (misuse) {
        BCNLogError(logTag(), "Incorrect usage of notifyWithUserConfirmation: it should only be called from userConfirmationHandler. "
                              "For more information refer to the documentation.");
        return;
    }
    handleUserConfirmation(userConfirmation);
}

void BCNCrashes::handleUserConfirmation(int userConfirmation)
{
    if (userConfirmation == BCNUserConfirmationAlways)
        BCNBeaconUserDefaults::shared().setObjectForKey(true, kUserConfirmationKey);
    const auto [logs, reports, paths] = unprocessedSnapshot();
    const std::size_t count = std::min({ logs.size(), reports.size(), paths.size() });
    if (userConfirmation == BCNUserConfirmationDontSend) {
        for (std::size_t i = 0; i < count; ++i) {
            deleteCrashReportWithFileURL(paths[i]);
            deleteWrapperException(reports[i] ? reports[i]->incidentIdentifier() : std::nullopt);
            removeFromCrashFiles(paths[i]);
        }
    } else {
        auto delegate = instanceDelegate();
        for (std::size_t i = 0; i < count; ++i) {
            std::optional<BCNErrorAttachments> attachments;
            if (delegate)
                attachments = delegate->attachmentsWithCrashes(*this, reports[i]);
            if (!attachments)
                BCNLogDebug(logTag(), "attachmentsWithCrashes is not implemented");
            // The crash is charged to the session and user of its own time.
            auto& log = logs[i];
            if (log->timestamp()) {
                log->setSid(BCNSessionContext::sharedInstance()->sessionIdAt(*log->timestamp()));
                log->setUserId(BCNUserIdContext::sharedInstance()->userIdAt(*log->timestamp()));
            }
            const auto incident = reports[i] ? reports[i]->incidentIdentifier() : std::nullopt;
            if (channelUnit()) {
                // The file goes once the log is stored (crashLogEnqueued), not before.
                {
                    std::lock_guard state(m_stateMutex);
                    m_crashFilesAwaitingStore[log] = { paths[i], incident };
                }
                channelUnit()->enqueueItem(log, BCNLogFlagsCritical);
            }
            if (attachments && incident)
                sendErrorAttachmentsInstance(*attachments, *incident);
            removeFromCrashFiles(paths[i]);
        }
    }
    clearUnprocessedReports();
    clearContextHistoryAndKeepCurrentSession();
}

BCNCrashes::UnprocessedSnapshot BCNCrashes::unprocessedSnapshot() const
{
    std::lock_guard state(m_stateMutex);
    return { m_unprocessedLogs.value_or(std::vector<std::shared_ptr<BCNAppleErrorLog>> {}), m_unprocessedReports.value_or(BCNErrorReports {}),
             m_unprocessedFilePaths.value_or(std::vector<std::string> {}) };
}

void BCNCrashes::clearUnprocessedReports()
{
    std::lock_guard state(m_stateMutex);
    if (m_unprocessedLogs)
        m_unprocessedLogs->clear();
    if (m_unprocessedReports)
        m_unprocessedReports->clear();
    if (m_unprocessedFilePaths)
        m_unprocessedFilePaths->clear();
}

bool BCNCrashes::validatePropertiesForAttachment(const BCNErrorAttachmentLog& attachment)
{
    const auto present = [](const std::optional<std::string>& text) { return text && !text->empty(); };
    return present(attachment.errorId) && present(attachment.attachmentId) && attachment.data.bytes && !attachment.data.bytes->empty()
        && present(attachment.contentType);
}

void BCNCrashes::sendErrorAttachmentsInstance(const BCNErrorAttachments& attachments, const std::string& incidentIdentifier)
{
    for (const auto& attachment : attachments) {
        if (!attachment)
            continue;
        attachment->errorId = incidentIdentifier;
        if (!validatePropertiesForAttachment(*attachment)) {
            BCNLogError(logTag(), "Not all required fields are present in BCNErrorAttachmentLog.");
            continue;
        }
        const std::size_t size = attachment->data.bytes->size();
        if (size > kMaxAttachmentSize) {
            BCNLogError(logTag(), "Discarding attachment with size above " + std::to_string(kMaxAttachmentSize) + " bytes: size="
                    + std::to_string(size) + ", fileName=" + attachment->filename.value_or("(null)") + ".");
            continue;
        }
        if (channelUnit())
            channelUnit()->enqueueItem(attachment, BCNLogFlagsNormal);
    }
}

bool BCNCrashes::sendCrashReportsOrAwaitUserConfirmationForFilteredIds(const std::vector<std::string>& filteredIds)
{
    const auto [logs, reports, paths] = unprocessedSnapshot();
    const std::size_t count = std::min({ logs.size(), reports.size(), paths.size() });
    std::vector<std::size_t> dropped;
    for (std::size_t i = 0; i < count; ++i) {
        const auto incident = reports[i] ? reports[i]->incidentIdentifier() : std::nullopt;
        if (incident && std::find(filteredIds.begin(), filteredIds.end(), *incident) != filteredIds.end())
            continue;
        dropped.push_back(i);
        deleteWrapperException(incident);
        deleteCrashReportWithFileURL(paths[i]);
        removeFromCrashFiles(paths[i]);
    }
    {
        std::lock_guard state(m_stateMutex);
        for (std::size_t i : dropped) {
            if (m_unprocessedLogs)
                std::erase(*m_unprocessedLogs, logs[i]);
            if (m_unprocessedReports)
                std::erase(*m_unprocessedReports, reports[i]);
            if (m_unprocessedFilePaths)
                std::erase(*m_unprocessedFilePaths, paths[i]);
        }
    }
    return sendCrashReportsOrAwaitUserConfirmation();
}

BCNErrorReports BCNCrashes::unprocessedCrashReports()
{
    // No processing comes for a service that is not running: answer with what there is.
    if (isStarted() && isEnabled() && !isProcessingGateOpen()) {
        if (dispatch::RunLoop::isMainThread()) {
            // The processing may need the main thread (the confirmation handler runs there).
            while (!isProcessingGateOpen())
                dispatch::RunLoop::main().runUntil([this] { return isProcessingGateOpen(); }, 60);
        } else {
            std::unique_lock gate(m_gateMutex);
            m_gateCondition.wait(gate, [this] { return isProcessingGateOpen(); });
        }
    }
    std::lock_guard state(m_stateMutex);
    return m_unprocessedReports.value_or(BCNErrorReports {});
}

void BCNCrashes::openProcessingGate()
{
    {
        std::lock_guard gate(m_gateMutex);
        m_processingGateOpen = true;
    }
    m_gateCondition.notify_all();
}

std::vector<std::string> BCNCrashes::crashFiles() const
{
    std::lock_guard state(m_stateMutex);
    return m_crashFiles;
}

std::vector<std::shared_ptr<BCNAppleErrorLog>> BCNCrashes::unprocessedLogs() const
{
    std::lock_guard state(m_stateMutex);
    return m_unprocessedLogs.value_or(std::vector<std::shared_ptr<BCNAppleErrorLog>> {});
}

std::vector<std::string> BCNCrashes::unprocessedFilePaths() const
{
    std::lock_guard state(m_stateMutex);
    return m_unprocessedFilePaths.value_or(std::vector<std::string> {});
}

void BCNCrashes::deleteAllFromCrashesDirectory()
{
    // The folder itself stays: the next crash report is copied into it.
    std::error_code ec;
    for (std::filesystem::directory_iterator it(crashesDirectory(), ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code removeError;
        std::filesystem::remove_all(it->path(), removeError);
    }
    std::lock_guard state(m_stateMutex);
    m_crashFiles.clear();
}

void BCNCrashes::deleteCrashReportWithFileURL(const std::string& path)
{
    BCNUtility::deleteFileAtURL(path);
}

void BCNCrashes::removeAnalyzerFile()
{
    std::error_code ec;
    std::filesystem::remove(std::filesystem::path(crashesDirectory()) / kAnalyzerFileName, ec);
}

void BCNCrashes::removeFromCrashFiles(const std::string& path)
{
    std::lock_guard state(m_stateMutex);
    std::erase(m_crashFiles, path);
}

void BCNCrashes::notifyDelegateAboutLog(const BCNLogPtr& log,
    std::function<void(BCNCrashesDelegate&, BCNCrashes&, const std::shared_ptr<BCNErrorReport>&)> call)
{
    auto errorLog = std::dynamic_pointer_cast<BCNAppleErrorLog>(log);
    if (!errorLog || !instanceDelegate())
        return;
    auto report = BCNErrorLogFormatter::errorReportFromLog(*errorLog);
    std::weak_ptr<BCNCrashes> weak = std::static_pointer_cast<BCNCrashes>(shared_from_this());
    BCNDispatcherUtil::performBlockOnMainThread([weak, report, call = std::move(call)] {
        auto self = weak.lock();
        if (!self)
            return;
        if (auto delegate = self->instanceDelegate())
            call(*delegate, *self, report);
    });
}

void BCNCrashes::channelWillSendLog(const BCNLogPtr& log)
{
    notifyDelegateAboutLog(log, [](BCNCrashesDelegate& delegate, BCNCrashes& crashes, const std::shared_ptr<BCNErrorReport>& report) {
        delegate.crashesWillSendErrorReport(crashes, report);
    });
}

void BCNCrashes::channelDidSucceedSendingLog(const BCNLogPtr& log)
{
    notifyDelegateAboutLog(log, [](BCNCrashesDelegate& delegate, BCNCrashes& crashes, const std::shared_ptr<BCNErrorReport>& report) {
        delegate.crashesDidSucceedSendingErrorReport(crashes, report);
    });
}

void BCNCrashes::channelDidFailSendingLog(const BCNLogPtr& log, const foundation::ErrorPtr& error)
{
    notifyDelegateAboutLog(log, [error](BCNCrashesDelegate& delegate, BCNCrashes& crashes, const std::shared_ptr<BCNErrorReport>& report) {
        delegate.crashesDidFailSendingErrorReport(crashes, report, error);
    });
}

void BCNCrashes::deleteWrapperException(const std::optional<std::string>& incidentIdentifier)
{
    if (incidentIdentifier)
        BCNWrapperExceptionManager::deleteWrapperExceptionWithUUIDString(*incidentIdentifier);
}

void BCNCrashes::deleteAllWrapperExceptions()
{
    BCNWrapperExceptionManager::deleteAllWrapperExceptions();
}

void BCNCrashes::correlateWrapperExceptions(const BCNErrorReports& reports)
{
    BCNWrapperExceptionManager::correlateLastSavedWrapperExceptionToReport(reports);
}
