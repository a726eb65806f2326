#include "MovaraAppKit/Telemetry/Crashes/BCNWrapperCrashesHelper.h"

BCNWrapperCrashesHelper& BCNWrapperCrashesHelper::sharedInstance()
{
    static BCNWrapperCrashesHelper* const helper = new BCNWrapperCrashesHelper();
    return *helper;
}

void BCNWrapperCrashesHelper::setCrashHandlerSetupDelegate(const std::shared_ptr<BCNCrashHandlerSetupDelegate>& delegate)
{
    auto& helper = sharedInstance();
    std::lock_guard guard(helper.m_mutex);
    helper.m_crashHandlerSetupDelegate = delegate;
}

std::shared_ptr<BCNCrashHandlerSetupDelegate> BCNWrapperCrashesHelper::crashHandlerSetupDelegate()
{
    auto& helper = sharedInstance();
    std::lock_guard guard(helper.m_mutex);
    return helper.m_crashHandlerSetupDelegate.lock();
}
