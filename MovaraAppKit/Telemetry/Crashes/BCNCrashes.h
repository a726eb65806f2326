#pragma once
// The crash-reporting service. Its first start configures and enables the process's crash
// reporter (signal handlers and the C++ terminate path), after which a crash of the process
// leaves a full crash report. The next start copies that report into the service's "crashes"
// folder; about a second later the stored reports are decoded, turned into crash logs, offered
// to the application's delegate and its user-confirmation handler, and sent with their
// attachments through the service's channel unit, after which each stored file is deleted.
// Shell calls and delegate notices run on the main thread; the processing of stored crashes
// runs once per process on a global queue.

#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "MovaraAppKit/Telemetry/Core/BCNServiceAbstract.h"
#include "MovaraAppKit/Telemetry/Core/Util/BCNEncrypter.h"
#include "MovaraAppKit/Telemetry/Crashes/Model/BCNErrorLogs.h"
#include "Platform/Foundation/Error.h"
#include "Platform/System/MemoryPressure.h"

class BCNCrashes;
class BCNCrashesLogBuffer;
class MVCrashReport;
class MVCrashReporter;

// The application's delegate. Every operation is optional; the defaults change nothing.
class BCNCrashesDelegate {
public:
    virtual ~BCNCrashesDelegate() = default;
    // False drops the crash unsent (its file is deleted).
    virtual bool crashesShouldProcessErrorReport(BCNCrashes&, const std::shared_ptr<BCNErrorReport>&) { return true; }
    virtual void crashesWillSendErrorReport(BCNCrashes&, const std::shared_ptr<BCNErrorReport>&) { }
    virtual void crashesDidSucceedSendingErrorReport(BCNCrashes&, const std::shared_ptr<BCNErrorReport>&) { }
    virtual void crashesDidFailSendingErrorReport(BCNCrashes&, const std::shared_ptr<BCNErrorReport>&, const foundation::ErrorPtr&) { }
    // The files to send with a crash; none means the delegate has nothing to say.
    virtual std::optional<std::vector<std::shared_ptr<BCNErrorAttachmentLog>>> attachmentsWithCrashes(BCNCrashes&,
                                                                                                       const std::shared_ptr<BCNErrorReport>&)
    {
        return std::nullopt;
    }
};

// A wrapper SDK's view of the crash-handler set-up. Every operation is optional.
class BCNCrashHandlerSetupDelegate {
public:
    virtual ~BCNCrashHandlerSetupDelegate() = default;
    virtual void willSetUpCrashHandlers() { }
    virtual void didSetUpCrashHandlers() { }
    // False keeps the reporter's own uncaught-exception handler out (the wrapper has its own).
    virtual bool shouldEnableUncaughtExceptionHandler() { return true; }
};

// The user's answer to "send the crash reports?".
enum BCNUserConfirmation : int {
    BCNUserConfirmationDontSend = 0,
    BCNUserConfirmationSend = 1,
    BCNUserConfirmationAlways = 2,
};

using BCNErrorReports = std::vector<std::shared_ptr<BCNErrorReport>>;
using BCNErrorAttachments = std::vector<std::shared_ptr<BCNErrorAttachmentLog>>;
// True means the application asks its user and answers later through notifyWithUserConfirmation.
using BCNUserConfirmationHandler = std::function<bool(const BCNErrorReports& errorReports)>;

class BCNCrashes : public BCNServiceAbstract {
public:
    static std::shared_ptr<BCNCrashes> sharedInstance();
    // Forgets the instance and the once-per-process processing, so a new instance processes anew.
    static void resetSharedInstance();
    static std::string staticClassName() { return "BCNCrashes"; }

    // Class operations (the shared instance).
    static bool hasCrashedInLastSession();
    static bool hasReceivedMemoryWarningInLastSession();
    static std::shared_ptr<BCNErrorReport> lastSessionCrashReport();
    // The signal that ended the last session, when it crashed.
    static std::optional<int> lastSessionCrashSignal();
    static bool isServiceEnabled() { return sharedInstance()->classIsEnabled(); }
    static void setServiceEnabled(bool enabled) { sharedInstance()->classSetEnabled(enabled); }
    static void setDelegate(const std::shared_ptr<BCNCrashesDelegate>& delegate) { sharedInstance()->setInstanceDelegate(delegate); }
    static std::shared_ptr<BCNCrashesDelegate> delegate() { return sharedInstance()->instanceDelegate(); }
    static void setUserConfirmationHandler(BCNUserConfirmationHandler handler);
    static BCNUserConfirmationHandler userConfirmationHandler();
    static void notifyWithUserConfirmation(int userConfirmation) { sharedInstance()->notifyWithUserConfirmationInstance(userConfirmation); }
    // Ends the process with an illegal instruction, which the crash reporter records.
    static void generateTestCrash();
    // An exception the application object caught while dispatching an event: handed to the
    // exception handler, unless a debugger is attached (which would see it first).
    static void applicationDidReportException(const foundation::Exception& exception);
    // Before start only: this system has no Mach exception server, so signals are used anyway.
    static void disableMachExceptionHandler() { sharedInstance()->setEnableMachExceptionHandler(false); }
    static bool validatePropertiesForAttachment(const BCNErrorAttachmentLog& attachment);
    static void sendErrorAttachments(const BCNErrorAttachments& attachments, const std::string& incidentIdentifier)
    {
        sharedInstance()->sendErrorAttachmentsInstance(attachments, incidentIdentifier);
    }
    // The wrapper SDK's crash-handler set-up delegate, held weakly.
    static void setCrashHandlerSetupDelegate(const std::shared_ptr<BCNCrashHandlerSetupDelegate>& delegate);
    static std::shared_ptr<BCNCrashHandlerSetupDelegate> crashHandlerSetupDelegate();

    // Largest attachment sent, in bytes (7 MiB; exactly this size is sent).
    static constexpr std::size_t kMaxAttachmentSize = 7 * 1024 * 1024;

    std::string groupId() const override { return "Crashes"; }
    std::string serviceName() const override { return "Crashes"; }
    std::string logTag() const override { return "BeaconCrashes"; }
    std::string className() const override { return staticClassName(); }
    std::int64_t initializationPriority() const override { return 999; }
    std::optional<BCNChannelUnitConfiguration> channelUnitConfiguration() const override;

    void applyEnabledState(bool enabled) override;
    void startWithChannelGroup(std::shared_ptr<BCNChannelGroupProtocol> channelGroup, const std::optional<std::string>& appSecret,
        const std::optional<std::string>& transmissionTargetToken, bool fromApplication) override;
    void updateConfigurationWithAppSecret(const std::optional<std::string>& appSecret,
        const std::optional<std::string>& transmissionTargetToken) override;

    void setInstanceDelegate(const std::shared_ptr<BCNCrashesDelegate>& delegate);
    std::shared_ptr<BCNCrashesDelegate> instanceDelegate() const;
    void setInstanceUserConfirmationHandler(BCNUserConfirmationHandler handler);
    BCNUserConfirmationHandler instanceUserConfirmationHandler() const;

    // Signals are used whatever this says (see disableMachExceptionHandler).
    void setEnableMachExceptionHandler(bool enabled) { m_enableMachExceptionHandler = enabled; }
    bool isMachExceptionHandlerEnabled() const { return m_enableMachExceptionHandler; }
    void configureCrashReporterWithUncaughtExceptionHandlerEnabled(bool enableUncaughtExceptionHandler);
    std::shared_ptr<MVCrashReporter> crashReporter() const;
    // Where an exception the application reports goes: once the crash capture is set up with its
    // uncaught-exception handling, a handler that records it as the crash of the process and
    // aborts; none otherwise.
    using ExceptionHandler = void (*)(const foundation::Exception& exception);
    ExceptionHandler exceptionHandler() const { return m_exceptionHandler.load(); }
    void setExceptionHandler(ExceptionHandler handler) { m_exceptionHandler.store(handler); }

    // A low-memory notice, recorded for the next launch. While the service is enabled it hears
    // of them itself, from the kernel's memory pressure and the cgroup's memory events, on a
    // thread that leaves signals unblocked (the desktop session's monitor, GLib's, runs a D-Bus
    // thread that blocks every signal, which the crash capture could not walk); the application
    // may still call it when it learns of one another way.
    void didReceiveMemoryWarning();
    // Where the service watches for memory pressure (tests give files of their own); none: the
    // system's.
    static void setMemoryPressureSources(std::optional<sys::MemoryPressureMonitor::Sources> sources);
    void processMemoryWarningInLastSession();
    void startMemoryPressureMonitor();
    // Forgets the device, session and user-id histories but the current entries.
    void clearContextHistoryAndKeepCurrentSession();

    // Handled errors of wrapper SDKs: the new error id, or none while unusable or disabled.
    // Properties: a dictionary of strings, or null for none.
    std::optional<std::string> trackModelException(const std::shared_ptr<BCNException>& exception, const foundation::Value& properties,
        const std::optional<BCNErrorAttachments>& attachments);
    std::shared_ptr<BCNErrorReport> buildHandledErrorReportWithErrorID(const std::string& errorId) const;

    // --- The processing of stored crashes -----------------------------------------------------
    // The stored crash files, oldest first (names are creation times), without markers and
    // empty files.
    std::vector<std::string> persistedCrashReports() const;
    // Processing about a second from now, once per process (not while the application is hidden).
    void startDelayedCrashProcessing();
    void startCrashProcessing();
    void processCrashReports();
    bool shouldProcessErrorReport(const std::shared_ptr<BCNErrorReport>& errorReport);
    // Sends at once or waits for the user; the stored choice to always send.
    bool sendCrashReportsOrAwaitUserConfirmation();
    bool userPromptedForConfirmation();
    bool shouldAlwaysSend() const;
    void notifyWithUserConfirmationInstance(int userConfirmation);
    void handleUserConfirmation(int userConfirmation);
    void clearUnprocessedReports();
    void sendErrorAttachmentsInstance(const BCNErrorAttachments& attachments, const std::string& incidentIdentifier);
    void applicationWillEnterForeground();

    // Wrapper SDKs drive the processing themselves when automatic processing is off.
    void setAutomaticProcessingEnabled(bool enabled) { m_automaticProcessingEnabled = enabled; }
    bool isAutomaticProcessingEnabled() const { return m_automaticProcessingEnabled; }
    // The reports waiting to be sent, once the first processing is over. Never waits when no
    // processing can come (service not started or disabled, processing skipped).
    BCNErrorReports unprocessedCrashReports();
    // Keeps the waiting reports with these incident identifiers, drops the others.
    bool sendCrashReportsOrAwaitUserConfirmationForFilteredIds(const std::vector<std::string>& filteredIds);

    // What processing found and keeps waiting (tests and diagnostics).
    std::vector<std::string> crashFiles() const;
    std::vector<std::shared_ptr<BCNAppleErrorLog>> unprocessedLogs() const;
    std::vector<std::string> unprocessedFilePaths() const;

    // Where the service asks whether the application is shown (0), hidden (2) or unknown (3).
    void setApplicationStateProvider(std::function<int()> provider) { m_applicationState = std::move(provider); }

    // Channel notices about sending (from the channel group's queue).
    void channelWillSendLog(const BCNLogPtr& log);
    void channelDidSucceedSendingLog(const BCNLogPtr& log);
    void channelDidFailSendingLog(const BCNLogPtr& log, const foundation::ErrorPtr& error);

    // Logs in flight: copied when a channel prepares them, dropped once stored, saved by the
    // crash handler and enqueued again by the next start.
    void bufferPreparedLog(const BCNLogPtr& log, const std::string& internalId);
    void releaseBufferedLog(const std::string& internalId);
    // The channel has tried to store a log: a crash log's file (and wrapper exception) goes only
    // once the log is in the store, so that a store that cannot take it loses nothing.
    void crashLogEnqueued(const BCNLogPtr& log);
    // The folder of the in-flight log files (…/crasheslogbuffer next to the crash folder).
    static std::string logBufferDirectory();
    BCNCrashesLogBuffer* logBuffer() const { return m_logBuffer.get(); }
    // Copies a crash report into the crash folder under a name no other report has, and keeps it
    // only when it reads back whole. The copy's path, or none.
    static std::optional<std::string> storeCrashReportCopy(const std::vector<std::uint8_t>& bytes);

    // The folder of crash files (…/crashes under the client's application-support folder).
    static std::string crashesDirectory();

    ~BCNCrashes() override;

private:
    BCNCrashes() = default;
    void init();

    // The reporter's pending report: copied into the crash folder, then purged.
    void handleLatestCrashReport(MVCrashReporter& reporter);
    void setupLogBuffer();
    void processLogBufferAfterCrash();
    void deleteAllFromCrashesDirectory();
    void deleteCrashReportWithFileURL(const std::string& path);
    void removeAnalyzerFile();
    void removeFromCrashFiles(const std::string& path);
    void notifyDelegateAboutLog(const BCNLogPtr& log,
        std::function<void(BCNCrashesDelegate&, BCNCrashes&, const std::shared_ptr<BCNErrorReport>&)> call);
    // A copy of the three waiting lists (entry i of each belongs to one crash).
    struct UnprocessedSnapshot {
        std::vector<std::shared_ptr<BCNAppleErrorLog>> logs;
        BCNErrorReports reports;
        std::vector<std::string> paths;
    };
    UnprocessedSnapshot unprocessedSnapshot() const;
    // Lets every caller of unprocessedCrashReports through, now and later.
    void openProcessingGate();
    bool isProcessingGateOpen() const { return m_processingGateOpen.load(); }
    void deleteWrapperException(const std::optional<std::string>& incidentIdentifier);
    void deleteAllWrapperExceptions();
    void correlateWrapperExceptions(const BCNErrorReports& reports);

    bool m_didCrashInLastSession = false;
    bool m_didReceiveMemoryWarningInLastSession = false;
    std::optional<int> m_lastSessionCrashSignal;
    std::shared_ptr<BCNErrorReport> m_lastSessionCrashReport;
    // Open once the first processing of stored crashes is over, or when none can come.
    std::atomic<bool> m_processingGateOpen { false };
    std::mutex m_gateMutex;
    std::condition_variable m_gateCondition;
    std::once_flag m_delayedProcessingToken;
    std::atomic<bool> m_automaticProcessingEnabled { true };
    bool m_enableMachExceptionHandler = false;
    foundation::Date m_appStartTime;
    std::atomic<ExceptionHandler> m_exceptionHandler { nullptr };
    std::shared_ptr<MVCrashReporter> m_mvCrashReporter;
    std::function<int()> m_applicationState;

    // Guards the lists below, the delegate and the handler; never held while calling out.
    mutable std::mutex m_stateMutex;
    struct CrashFileAwaitingStore {
        std::string path;
        std::optional<std::string> incidentIdentifier;
    };
    std::map<BCNLogPtr, CrashFileAwaitingStore> m_crashFilesAwaitingStore; // under m_stateMutex
    std::weak_ptr<BCNCrashesDelegate> m_delegate;
    BCNUserConfirmationHandler m_userConfirmationHandler;
    std::vector<std::string> m_crashFiles;
    // Entry i of each belongs to one crash; none until the first processing.
    std::optional<std::vector<std::shared_ptr<BCNAppleErrorLog>>> m_unprocessedLogs;
    std::optional<BCNErrorReports> m_unprocessedReports;
    std::optional<std::vector<std::string>> m_unprocessedFilePaths;
    // Enqueues a log saved at the crash on the buffer unit, unless the store holds it already.
    void enqueueBufferedLog(const BCNLogPtr& log, const std::vector<std::uint8_t>& archive);

    std::unique_ptr<BCNCrashesLogBuffer> m_logBuffer;
    // The memory-pressure source, while enabled.
    std::unique_ptr<sys::MemoryPressureMonitor> m_memoryPressureMonitor;
    std::shared_ptr<BCNChannelDelegate> m_channelDelegate;
    std::shared_ptr<BCNChannelUnitProtocol> m_bufferChannelUnit;
    BCNEncrypter m_targetTokenEncrypter;
};
