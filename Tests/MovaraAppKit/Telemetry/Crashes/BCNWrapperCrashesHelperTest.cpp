#include "MovaraAppKit/Telemetry/Crashes/BCNWrapperCrashesHelper.h"

#include <gtest/gtest.h>

namespace {

class Delegate : public BCNCrashHandlerSetupDelegate { };

} // namespace

TEST(BCNWrapperCrashesHelper, TheSetupDelegateIsKeptWeakly)
{
    EXPECT_EQ(&BCNWrapperCrashesHelper::sharedInstance(), &BCNWrapperCrashesHelper::sharedInstance());
    auto delegate = std::make_shared<Delegate>();
    BCNWrapperCrashesHelper::setCrashHandlerSetupDelegate(delegate);
    EXPECT_EQ(BCNWrapperCrashesHelper::crashHandlerSetupDelegate(), delegate);
    EXPECT_EQ(BCNWrapperCrashesHelper::getCrashHandlerSetupDelegate(), delegate);
    EXPECT_TRUE(BCNWrapperCrashesHelper::crashHandlerSetupDelegate()->shouldEnableUncaughtExceptionHandler())
        << "a delegate that doesn't answer wants the handler";

    delegate.reset();
    EXPECT_EQ(BCNWrapperCrashesHelper::crashHandlerSetupDelegate(), nullptr) << "released by the wrapper, so gone";
    EXPECT_EQ(BCNWrapperCrashesHelper::getCrashHandlerSetupDelegate(), nullptr);

    auto replaced = std::make_shared<Delegate>();
    BCNWrapperCrashesHelper::setCrashHandlerSetupDelegate(replaced);
    BCNWrapperCrashesHelper::setCrashHandlerSetupDelegate(nullptr);
    EXPECT_EQ(BCNWrapperCrashesHelper::crashHandlerSetupDelegate(), nullptr);
}
