#pragma once
// The crash-reporting service. Its first start enables the process's crash reporter, after which
// a crash of the process (a fatal signal, an uncaught exception) leaves a full crash report; the
// next start of the service reads it as "crashed in the last session", with the signal that
// ended that session, and removes it.

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "MovaraAppKit/Telemetry/Core/BCNServiceAbstract.h"
#include "MovaraAppKit/Telemetry/Core/Util/BCNEncrypter.h"
#include "Platform/Foundation/Error.h"

class BCNCrashesLogBuffer;
class MVCrashReporter;

class BCNCrashes : public BCNServiceAbstract {
public:
    static std::shared_ptr<BCNCrashes> sharedInstance();
    // Forgets the instance (its crash capture is switched off first).
    static void resetSharedInstance();
    static std::string staticClassName() { return "BCNCrashes"; }

    static bool hasCrashedInLastSession();
    // The signal that ended the last session, when it crashed.
    static std::optional<int> lastSessionCrashSignal();
    static bool isServiceEnabled() { return sharedInstance()->classIsEnabled(); }
    static void setServiceEnabled(bool enabled) { sharedInstance()->classSetEnabled(enabled); }

    std::string groupId() const override { return "Crashes"; }
    std::string serviceName() const override { return "Crashes"; }
    std::string logTag() const override { return "BeaconCrashes"; }
    std::string className() const override { return staticClassName(); }
    std::int64_t initializationPriority() const override { return 999; }
    std::optional<BCNChannelUnitConfiguration> channelUnitConfiguration() const override;

    void applyEnabledState(bool enabled) override;
    void startWithChannelGroup(std::shared_ptr<BCNChannelGroupProtocol> channelGroup, const std::optional<std::string>& appSecret,
        const std::optional<std::string>& transmissionTargetToken, bool fromApplication) override;

    // Logs in flight: copied when a channel prepares them, dropped once stored, saved by the
    // crash handler and enqueued again by the next start.
    void bufferPreparedLog(const BCNLogPtr& log, const std::string& internalId);
    void releaseBufferedLog(const std::string& internalId);
    // The folder of the in-flight log files (…/crasheslogbuffer next to the crash folder).
    static std::string logBufferDirectory();
    BCNCrashesLogBuffer* logBuffer() const { return m_logBuffer.get(); }
    // Copies a crash report into the crash folder under a name no other report has, and keeps it
    // only when it reads back whole. The copy's path, or none.
    static std::optional<std::string> storeCrashReportCopy(const std::vector<std::uint8_t>& bytes);

    // The folder of crash files (…/crashes under the client's application-support folder).
    static std::string crashesDirectory();

    // Where an exception the application reports goes: while the service's crash capture is on,
    // a handler that records it as the crash of the process and aborts; none otherwise.
    using ExceptionHandler = void (*)(const foundation::Exception& exception);
    ExceptionHandler exceptionHandler() const { return m_exceptionHandler.load(); }
    void setExceptionHandler(ExceptionHandler handler) { m_exceptionHandler.store(handler); }
    // An exception the application object caught while dispatching an event: handed to the
    // exception handler, unless a debugger is attached (which would see it first).
    static void applicationDidReportException(const foundation::Exception& exception);

    ~BCNCrashes() override;

private:
    BCNCrashes() = default;

    bool m_didCrashInLastSession = false;
    bool m_cxxHandlerRegistered = false;
    std::optional<int> m_lastSessionCrashSignal;
    std::atomic<ExceptionHandler> m_exceptionHandler { nullptr };

    // The reporter's pending report: copied into the crash folder, then purged.
    void handleLatestCrashReport(MVCrashReporter& reporter);
    void setupLogBuffer();
    void processLogBufferAfterCrash();

    std::unique_ptr<BCNCrashesLogBuffer> m_logBuffer;
    std::shared_ptr<BCNChannelDelegate> m_bufferDelegate;
    std::shared_ptr<BCNChannelUnitProtocol> m_bufferChannelUnit;
    BCNEncrypter m_targetTokenEncrypter;
};
