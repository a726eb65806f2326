#include "Tests/MovaraAppKit/Telemetry/TelemetryFixture.h"

#include "MovaraAppKit/Telemetry/Core/DelegateForwarder/BCNDelegateForwarder.h"
#include "Platform/Foundation/NotificationCenter.h"
#include "Platform/UI/Application.h"

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

namespace {

// Records the callbacks it hears, with the name of the notification it was handed.
struct Recorder : BCNDelegateForwarderListener {
    std::vector<std::string> heard;
    bool respondsTo(const std::string& selector) const override { return selector != "applicationWillTerminate:"; }
    std::any invoke(const std::string& selector, const std::vector<std::any>& arguments) override
    {
        const auto* notification = arguments.empty() ? nullptr : std::any_cast<foundation::Notification>(&arguments.front());
        heard.push_back(selector + (notification ? " " + notification->name : std::string(" ?")));
        return {};
    }
};

} // namespace

TEST_F(BCNDelegateForwarderTest, HookedCallbacksOfTheApplicationReachTheListenersWithTheirTraces)
{
    BCNAppDelegateForwarder forwarder;
    auto recorder = std::make_shared<Recorder>();
    forwarder.addDelegate(recorder);
    auto& center = foundation::NotificationCenter::defaultCenter();
    center.post(ui::NSApplicationDidBecomeActiveNotification, nullptr);
    EXPECT_TRUE(recorder->heard.empty()) << "nothing is followed before it is asked for";

    BCNDelegateForwarder::flushTraceBuffer(); // traces of this test show at once
    forwarder.addDelegateSelectorToSwizzle("applicationDidBecomeActive:");
    forwarder.addDelegateSelectorToSwizzle("applicationWillTerminate:");
    forwarder.addDelegateSelectorToSwizzle("application:openURLs:");
    EXPECT_TRUE(logged(BCNLogLevelDebug, "Selector 'applicationDidBecomeActive:' of class 'NSApplicationDelegate' is swizzled."));
    EXPECT_TRUE(logged(BCNLogLevelError, "Cannot swizzle selector 'application:openURLs:' of class 'NSApplicationDelegate'. "
                                         "You need to explicitly call the Beacon API from your app delegate implementation."));
    EXPECT_TRUE(forwarder.isSelectorHooked("applicationDidBecomeActive:"));
    EXPECT_FALSE(forwarder.isSelectorHooked("application:openURLs:"));

    center.post(ui::NSApplicationDidBecomeActiveNotification, nullptr);
    center.post(ui::NSApplicationWillTerminateNotification, nullptr); // hooked, but this listener does not answer it
    center.post(ui::NSApplicationDidResignActiveNotification, nullptr); // not hooked
    EXPECT_EQ(recorder->heard, std::vector<std::string> { "applicationDidBecomeActive: NSApplicationDidBecomeActiveNotification" });

    forwarder.setEnabled(false);
    center.post(ui::NSApplicationDidBecomeActiveNotification, nullptr);
    EXPECT_EQ(recorder->heard.size(), 1u) << "a disabled forwarder has no listeners";
}
