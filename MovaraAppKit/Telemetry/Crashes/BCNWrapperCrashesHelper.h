#pragma once
// The surface through which a wrapper SDK (a binding of the client for another language runtime
// in the same process) reaches the crash service: its crash-handler set-up delegate, and the
// crash service's operations for driving crash processing itself. Every operation works on the
// crash service's shared instance and answers what the service answers.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "MovaraAppKit/Telemetry/Crashes/BCNCrashes.h"

class BCNWrapperCrashesHelper {
public:
    static BCNWrapperCrashesHelper& sharedInstance();

    // Kept weakly, where the crash service looks for it when it sets up its handlers: none once
    // the wrapper released its delegate.
    static void setCrashHandlerSetupDelegate(const std::shared_ptr<BCNCrashHandlerSetupDelegate>& delegate);
    static std::shared_ptr<BCNCrashHandlerSetupDelegate> crashHandlerSetupDelegate();
    static std::shared_ptr<BCNCrashHandlerSetupDelegate> getCrashHandlerSetupDelegate() { return crashHandlerSetupDelegate(); }

    // Off lets the wrapper decide which stored crashes are sent (see the filtered send below).
    static void setAutomaticProcessing(bool automaticProcessing);
    static bool automaticProcessing();
    // The crash reports waiting to be sent, once the first processing of stored crashes is over.
    static BCNErrorReports unprocessedCrashReports();
    // Keeps the waiting reports with these incident identifiers and drops the others, then sends
    // them or waits for the user; the stored choice to always send.
    static bool sendCrashReportsOrAwaitUserConfirmationForFilteredIds(const std::vector<std::string>& filteredIds);
    static void sendErrorAttachments(const BCNErrorAttachments& attachments, const std::string& incidentIdentifier);
    // A handled error described by the wrapper: the new error id, or none when the crash service
    // can't be used. Properties: a dictionary of strings, or null for none.
    static std::optional<std::string> trackModelException(const std::shared_ptr<BCNException>& exception, const foundation::Value& properties,
                                                          const std::optional<BCNErrorAttachments>& attachments);
    static std::shared_ptr<BCNErrorReport> buildHandledErrorReportWithErrorID(const std::string& errorId);

private:
    BCNWrapperCrashesHelper() = default;
};
