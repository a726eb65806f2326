#include "Tests/MovaraAppKit/Telemetry/TelemetryFixture.h"

#include "MovaraAppKit/Telemetry/Core/DelegateForwarder/BCNDelegateForwarder.h"

namespace {

// Answers "…returnedValue:" callbacks with what it was given plus its own step.
struct Adder : BCNDelegateForwarderListener {
    explicit Adder(int step) : step(step) { }
    bool respondsTo(const std::string& selector) const override { return selector == "application:openURLs:returnedValue:"; }
    std::any invoke(const std::string&, const std::vector<std::any>& arguments) override
    {
        return std::any_cast<int>(arguments.back()) + step;
    }
    int step;
};

} // namespace

using BCNDelegateForwarderTest = TelemetryTest;

TEST_F(BCNDelegateForwarderTest, ReturnedValuesPassFromListenerToListener)
{
    BCNAppDelegateForwarder forwarder;
    const std::string selector = "application:openURLs:returnedValue:";
    EXPECT_EQ(std::any_cast<int>(*forwarder.forwardInvocation(selector, { std::any(std::string("app")), std::any(1) })), 1)
        << "no listener: the value it was given";
    auto first = std::make_shared<Adder>(10);
    auto second = std::make_shared<Adder>(100);
    forwarder.addDelegate(first);
    forwarder.addDelegate(second);
    EXPECT_EQ(std::any_cast<int>(*forwarder.forwardInvocation(selector, { std::any(std::string("app")), std::any(1) })), 111);
    EXPECT_FALSE(forwarder.forwardInvocation("applicationDidBecomeActive:", { std::any(1) }));

    forwarder.setEnabled(false);
    EXPECT_EQ(std::any_cast<int>(*forwarder.forwardInvocation(selector, { std::any(std::string("app")), std::any(1) })), 1)
        << "disabling forgets the listeners";
    forwarder.addDelegateSelectorToSwizzle("applicationWillTerminate:");
    EXPECT_FALSE(forwarder.isSelectorHooked("applicationWillTerminate:"));
}

TEST_F(BCNDelegateForwarderTest, TracesWaitForTheFirstFlush)
{
    // The buffer is process-wide and flushed for good once; whatever ran first, a trace added
    // after a flush runs at once.
    BCNDelegateForwarder::flushTraceBuffer();
    bool ran = false;
    BCNDelegateForwarder::addTraceBlock([&] { ran = true; });
    EXPECT_TRUE(ran);
    BCNDelegateForwarder::flushTraceBuffer();
    BCNAppDelegateForwarder::resetSharedInstance();
    EXPECT_TRUE(BCNAppDelegateForwarder::sharedInstance()->isEnabled()) << "no Info.plist key means enabled";
    EXPECT_TRUE(logged(BCNLogLevelDebug, "Delegate forwarder for info.plist key 'BeaconAppDelegateForwarderEnabled' enabled. It may use swizzling."));
}
