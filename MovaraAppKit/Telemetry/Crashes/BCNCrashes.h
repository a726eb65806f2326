#pragma once
// The crash-reporting service. Its first start enables the process's crash reporter, after which
// a crash of the process (a fatal signal, an uncaught exception) leaves a full crash report; the
// next start of the service reads it as "crashed in the last session", with the signal that
// ended that session, and removes it.

#include <memory>
#include <optional>
#include <string>

#include "MovaraAppKit/Telemetry/Core/BCNServiceAbstract.h"

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

    // The folder of crash files (…/crashes under the client's application-support folder).
    static std::string crashesDirectory();

    ~BCNCrashes() override;

private:
    BCNCrashes() = default;

    bool m_didCrashInLastSession = false;
    bool m_cxxHandlerRegistered = false;
    std::optional<int> m_lastSessionCrashSignal;
};
