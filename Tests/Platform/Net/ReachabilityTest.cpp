#include <gtest/gtest.h>

#include "Platform/Dispatch/RunLoop.h"
#include "Platform/Foundation/NotificationCenter.h"
#include "Platform/Net/Reachability.h"

using namespace net;

TEST(Reachability, LoopbackHostReportsOnceOnTheMainThreadAndPostsTheChange)
{
    auto reachability = Reachability::reachabilityWithHostName("127.0.0.1");
    EXPECT_EQ(reachability->lastStatus(), ReachabilityStatusUnknown);
    EXPECT_EQ(reachability->currentReachabilityStatus(), ReachableViaWiFi);

    std::vector<ReachabilityStatus> reports;
    bool onMain = false;
    long posted = -5;
    auto token = foundation::NotificationCenter::defaultCenter().addObserver(
        ReachabilityChangedNotification, reachability.get(), nullptr,
        [&](const foundation::Notification& n) { posted = *n.userInfoValue<long>("status"); });
    reachability->startNotifier([&](ReachabilityStatus status) {
        onMain = dispatch::RunLoop::isMainThread();
        reports.push_back(status);
    });
    ASSERT_TRUE(dispatch::RunLoop::main().runUntil([&] { return posted != -5; }, 5));
    EXPECT_EQ(reports, std::vector<ReachabilityStatus> { ReachableViaWiFi });
    EXPECT_TRUE(onMain);
    EXPECT_EQ(posted, ReachableViaWiFi);

    // Same status again: nothing new is reported.
    Reachability::networkConfigurationDidChange();
    dispatch::RunLoop::main().runUntil([] { return false; }, 0.2);
    EXPECT_EQ(reports.size(), 1u);

    reachability->stopNotifier();
    EXPECT_FALSE(reachability->isNotifying());
}
