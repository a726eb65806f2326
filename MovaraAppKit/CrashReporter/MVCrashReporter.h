#pragma once
// Crash capture for the whole process. A reporter knows where the pending report lives, prepares
// the report writer ahead of any crash, installs the crash handlers and, on a later launch, hands
// back the report the crash left and deletes it. One reporter per process can be enabled.
//
// Signal handlers are the capture mechanism here (configuration type 0). The desktop platform's
// Mach exception server (type 1) has no counterpart on this system: asking for it fails with an
// operating-system error and installs nothing.
//
// The pending report is written to a temporary file next to it and renamed into place once
// complete, so a crash during the write (or a second crash) never leaves a torn report or
// destroys an earlier one that was not read yet. A pending report that cannot be decoded is moved
// aside to "quarantined_reports" by loadPendingCrashReport(), so it is not read again at every
// launch.

#include <signal.h>
#include <ucontext.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "MovaraAppKit/CrashReporter/MVCrashReport.h"
#include "Platform/Foundation/Error.h"
#include "Platform/System/Threads.h"

enum class MVCrashReporterSignalHandlerType : std::uint64_t {
    BSD = 0,
    Mach = 1,
};

enum MVCrashReporterSymbolicationStrategy : std::uint64_t {
    MVCrashReporterSymbolicationStrategyNone = 0,
    MVCrashReporterSymbolicationStrategySymbolTable = 1 << 0,
    MVCrashReporterSymbolicationStrategyObjC = 1 << 1,
    MVCrashReporterSymbolicationStrategyAll = 3,
};

class MVCrashReporterConfig {
public:
    static std::shared_ptr<MVCrashReporterConfig> defaultConfiguration();
    static std::shared_ptr<MVCrashReporterConfig> initWithSignalHandlerType(std::uint64_t type, std::uint64_t strategy, bool shouldRegisterUncaughtExceptionHandler = true);

    std::uint64_t signalHandlerType() const { return m_signalHandlerType; }
    std::uint64_t symbolicationStrategy() const { return m_symbolicationStrategy; }
    bool shouldRegisterUncaughtExceptionHandler() const { return m_shouldRegisterUncaughtExceptionHandler; }

private:
    std::uint64_t m_signalHandlerType = 0;
    std::uint64_t m_symbolicationStrategy = 0;
    bool m_shouldRegisterUncaughtExceptionHandler = true;
};

// Called in the crash handler after the report is written (async-signal-safe code only).
struct MVCrashReporterCallbacks {
    std::uint16_t version = 0;
    void* context = nullptr;
    void (*handleSignal)(siginfo_t* info, ucontext_t* uap, void* context) = nullptr;
};

class MVCrashReporter {
public:
    static std::shared_ptr<MVCrashReporter> sharedReporter();
    static std::shared_ptr<MVCrashReporter> init();
    static std::shared_ptr<MVCrashReporter> initWithConfiguration(std::shared_ptr<MVCrashReporterConfig> configuration);
    // The application's identity given directly rather than read from the main bundle.
    static std::shared_ptr<MVCrashReporter> initWithApplicationIdentifier(const std::string& identifier, const std::string& version,
        const std::optional<std::string>& marketingVersion, std::shared_ptr<MVCrashReporterConfig> configuration);

    bool enableCrashReporterAndReturnError(foundation::ErrorPtr* error);
    bool enableCrashReporter() { return enableCrashReporterAndReturnError(nullptr); }
    bool isEnabled() const { return m_enabled; }

    bool hasPendingCrashReport() const;
    std::optional<std::vector<std::uint8_t>> loadPendingCrashReportDataAndReturnError(foundation::ErrorPtr* error) const;
    std::optional<std::vector<std::uint8_t>> loadPendingCrashReportData() const { return loadPendingCrashReportDataAndReturnError(nullptr); }
    // Decodes the pending report; one that cannot be decoded is quarantined and none is returned.
    std::shared_ptr<MVCrashReport> loadPendingCrashReport(foundation::ErrorPtr* error) const;
    bool purgePendingCrashReportAndReturnError(foundation::ErrorPtr* error) const;
    bool purgePendingCrashReport() const { return purgePendingCrashReportAndReturnError(nullptr); }

    // Throws MVCrashReporterException once the reporter is enabled.
    void setCrashCallbacks(const MVCrashReporterCallbacks* callbacks);
    void setCustomData(std::optional<std::vector<std::uint8_t>> data);
    const std::optional<std::vector<std::uint8_t>>& customData() const { return m_customData; }

    // A report of a running thread (this one by default), as report data.
    std::optional<std::vector<std::uint8_t>> generateLiveReportWithThread(sys::ThreadId thread, foundation::ErrorPtr* error);
    std::optional<std::vector<std::uint8_t>> generateLiveReportAndReturnError(foundation::ErrorPtr* error);

    std::string crashReportDirectory() const { return m_crashReportDirectory; }
    std::string queuedCrashReportDirectory() const;
    std::string quarantinedCrashReportDirectory() const;
    std::string crashReportPath() const;

    const std::string& applicationIdentifier() const { return m_applicationIdentifier; }
    const std::string& applicationVersion() const { return m_applicationVersion; }
    std::shared_ptr<MVCrashReporterConfig> configuration() const { return m_config; }

    // Records an uncaught exception into the crash-time writer and aborts; the SIGABRT that
    // follows writes the report with it. A second call (another thread racing) returns at once.
    static void handleUncaughtException(const std::string& name, const std::string& reason, const std::vector<std::uint64_t>& callStack);

private:
    MVCrashReporter() = default;
    bool populateCrashReportDirectoryAndReturnError(foundation::ErrorPtr* error) const;

    std::shared_ptr<MVCrashReporterConfig> m_config;
    bool m_enabled = false;
    std::string m_applicationIdentifier;
    std::string m_applicationVersion;
    std::optional<std::string> m_applicationMarketingVersion;
    std::string m_crashReportDirectory;
    std::optional<std::vector<std::uint8_t>> m_customData;
};
