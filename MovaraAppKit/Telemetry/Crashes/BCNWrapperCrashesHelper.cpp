#include "MovaraAppKit/Telemetry/Crashes/BCNWrapperCrashesHelper.h"

BCNWrapperCrashesHelper& BCNWrapperCrashesHelper::sharedInstance()
{
    static BCNWrapperCrashesHelper* const helper = new BCNWrapperCrashesHelper();
    return *helper;
}

void BCNWrapperCrashesHelper::setCrashHandlerSetupDelegate(const std::shared_ptr<BCNCrashHandlerSetupDelegate>& delegate)
{
    BCNCrashes::setCrashHandlerSetupDelegate(delegate);
}

std::shared_ptr<BCNCrashHandlerSetupDelegate> BCNWrapperCrashesHelper::crashHandlerSetupDelegate()
{
    return BCNCrashes::crashHandlerSetupDelegate();
}

void BCNWrapperCrashesHelper::setAutomaticProcessing(bool automaticProcessing)
{
    BCNCrashes::sharedInstance()->setAutomaticProcessingEnabled(automaticProcessing);
}

bool BCNWrapperCrashesHelper::automaticProcessing()
{
    return BCNCrashes::sharedInstance()->isAutomaticProcessingEnabled();
}

BCNErrorReports BCNWrapperCrashesHelper::unprocessedCrashReports()
{
    return BCNCrashes::sharedInstance()->unprocessedCrashReports();
}

bool BCNWrapperCrashesHelper::sendCrashReportsOrAwaitUserConfirmationForFilteredIds(const std::vector<std::string>& filteredIds)
{
    return BCNCrashes::sharedInstance()->sendCrashReportsOrAwaitUserConfirmationForFilteredIds(filteredIds);
}

void BCNWrapperCrashesHelper::sendErrorAttachments(const BCNErrorAttachments& attachments, const std::string& incidentIdentifier)
{
    BCNCrashes::sendErrorAttachments(attachments, incidentIdentifier);
}

std::optional<std::string> BCNWrapperCrashesHelper::trackModelException(const std::shared_ptr<BCNException>& exception,
                                                                        const foundation::Value& properties,
                                                                        const std::optional<BCNErrorAttachments>& attachments)
{
    return BCNCrashes::sharedInstance()->trackModelException(exception, properties, attachments);
}

std::shared_ptr<BCNErrorReport> BCNWrapperCrashesHelper::buildHandledErrorReportWithErrorID(const std::string& errorId)
{
    return BCNCrashes::sharedInstance()->buildHandledErrorReportWithErrorID(errorId);
}
