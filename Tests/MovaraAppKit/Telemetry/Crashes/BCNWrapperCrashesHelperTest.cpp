#include "MovaraAppKit/Telemetry/Crashes/BCNWrapperCrashesHelper.h"
#include "Tests/MovaraAppKit/Telemetry/TelemetryFixture.h"

namespace {

struct SetupDelegate : BCNCrashHandlerSetupDelegate {
    std::vector<std::string> calls;
    void willSetUpCrashHandlers() override { calls.push_back("will"); }
    void didSetUpCrashHandlers() override { calls.push_back("did"); }
};

} // namespace

TEST_F(TelemetryTest, AWrappersSetupDelegateIsKeptWeaklyWhereTheCrashServiceLooksForIt)
{
    EXPECT_EQ(&BCNWrapperCrashesHelper::sharedInstance(), &BCNWrapperCrashesHelper::sharedInstance());
    auto delegate = std::make_shared<SetupDelegate>();
    BCNWrapperCrashesHelper::setCrashHandlerSetupDelegate(delegate);
    EXPECT_EQ(BCNWrapperCrashesHelper::crashHandlerSetupDelegate(), delegate);
    EXPECT_EQ(BCNWrapperCrashesHelper::getCrashHandlerSetupDelegate(), delegate);

    BCNBeacon::start("secret", bothServices());
    EXPECT_EQ(delegate->calls, (std::vector<std::string> { "will", "did" })) << "the crash service asked the helper's delegate";

    delegate.reset();
    EXPECT_EQ(BCNWrapperCrashesHelper::crashHandlerSetupDelegate(), nullptr) << "released by the wrapper, so gone";
    EXPECT_EQ(BCNWrapperCrashesHelper::getCrashHandlerSetupDelegate(), nullptr);
}

TEST_F(TelemetryTest, AWrapperDrivesTheCrashServiceThroughTheHelper)
{
    auto exception = std::make_shared<BCNException>();
    exception->type = "System.InvalidOperationException";
    exception->frames = std::vector<std::shared_ptr<BCNStackFrame>> { std::make_shared<BCNStackFrame>() };
    EXPECT_FALSE(BCNWrapperCrashesHelper::trackModelException(exception, {}, std::nullopt)) << "the service can't be used before start";

    BCNWrapperCrashesHelper::setAutomaticProcessing(false);
    EXPECT_FALSE(BCNWrapperCrashesHelper::automaticProcessing());
    EXPECT_FALSE(BCNCrashes::sharedInstance()->isAutomaticProcessingEnabled());
    BCNBeacon::start("secret", bothServices());

    // Nothing crashed: the first processing finds nothing, and nothing waits for the user.
    EXPECT_TRUE(BCNWrapperCrashesHelper::unprocessedCrashReports().empty());
    EXPECT_FALSE(BCNWrapperCrashesHelper::sendCrashReportsOrAwaitUserConfirmationForFilteredIds({ "some-incident" }));

    const auto errorId = BCNWrapperCrashesHelper::trackModelException(exception, foundation::Value::dictionary({ { "screen", "export" } }),
                                                                      std::nullopt);
    ASSERT_TRUE(errorId);
    ASSERT_TRUE(waitFor([] { return !pendingOfType("Crashes", "handledError").empty(); }));
    const auto report = BCNWrapperCrashesHelper::buildHandledErrorReportWithErrorID(*errorId);
    ASSERT_NE(report, nullptr);
    EXPECT_EQ(report->incidentIdentifier(), errorId);

    BCNWrapperCrashesHelper::sendErrorAttachments({ BCNErrorAttachmentLog::attachmentWithText("details", "notes.txt") }, *errorId);
    ASSERT_TRUE(waitFor([] { return !pendingOfType("Crashes", "errorAttachment").empty(); }));
    auto attachment = std::dynamic_pointer_cast<BCNErrorAttachmentLog>(pendingOfType("Crashes", "errorAttachment").front());
    ASSERT_NE(attachment, nullptr);
    EXPECT_EQ(attachment->errorId, errorId);

    BCNWrapperCrashesHelper::setAutomaticProcessing(true);
    EXPECT_TRUE(BCNCrashes::sharedInstance()->isAutomaticProcessingEnabled());
}
